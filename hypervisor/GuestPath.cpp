#include "hypervisor/GuestPath.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cctype>

namespace {

VMInfoStatus Refused(const std::string& guestPath, const std::string& why) {
  return VMInfoStatus::Fail(VMInfoError::GuestPathRefused, "Guest path [" + guestPath + "] " + why);
}

// Appends the non-empty names of `text` split at any of `separators`.
void AppendNames(const std::string& text, const char* separators, std::vector<std::string>& names) {
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(separators));
  for (std::string& piece : pieces) {
    if (!piece.empty()) names.push_back(std::move(piece));
  }
}

VMInfoStatus SplitUnixPath(const std::string& guestPath, GuestPathParts& parts) {
  if (guestPath.front() != '/') return Refused(guestPath, "is not an absolute Unix path");
  AppendNames(guestPath, "/", parts.names);
  return VMInfoStatus::Ok();
}

VMInfoStatus SplitWindowsPath(const std::string& guestPath, GuestPathParts& parts) {
  const bool hasDrive = guestPath.size() >= 2 && std::isalpha(static_cast<unsigned char>(guestPath[0])) &&
                        guestPath[1] == ':';
  if (!hasDrive) return Refused(guestPath, "does not begin with a drive letter (such as C:\\)");
  if (guestPath.size() > 2 && guestPath[2] != '\\' && guestPath[2] != '/') {
    return Refused(guestPath, "is relative to the drive's current folder; give it as " + guestPath.substr(0, 2) +
                                  "\\...");
  }
  parts.names.push_back(std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(guestPath[0])))));
  parts.fixedDepth = FixedDepth(GuestOsFamily::Windows);
  AppendNames(guestPath.substr(2), "\\/", parts.names);
  return VMInfoStatus::Ok();
}

}  // namespace

size_t FixedDepth(GuestOsFamily family) { return family == GuestOsFamily::Windows ? 1 : 0; }

bool IsGuestRootListing(const std::string& guestPath) { return guestPath.empty() || guestPath == "\\"; }

VMInfoStatus SplitGuestPath(GuestOsFamily family, const std::string& guestPath, GuestPathParts& parts) {
  parts = GuestPathParts();
  if (guestPath.empty()) return Refused(guestPath, "is empty");
  if (guestPath.find('\0') != std::string::npos) return Refused(guestPath, "holds a NUL character");
  return family == GuestOsFamily::Windows ? SplitWindowsPath(guestPath, parts) : SplitUnixPath(guestPath, parts);
}
