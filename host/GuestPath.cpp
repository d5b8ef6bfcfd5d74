#include "host/GuestPath.h"

#include <cctype>

namespace {

bool HasDotName(const std::string& path, char separator) {
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type end = path.find(separator, start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    if (name == "." || name == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool IsWindowsAbsolute(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) != 0 && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

std::string DestinationProblem(const std::string& destination, bool unixGuest) {
  const std::string quoted = "the destination [" + destination + "]";
  if (!destination.empty() && destination.front() == '/') {
    if (HasDotName(destination, '/')) return quoted + " must not hold \".\" or \"..\" names";
    return "";
  }
  if (IsWindowsAbsolute(destination)) {
    if (unixGuest) return quoted + " is a Windows path, but the job says the guest is a Unix guest (unixGuest)";
    std::string unified = destination;
    for (char& c : unified) {
      if (c == '/') c = '\\';
    }
    if (HasDotName(unified.substr(3), '\\')) return quoted + " must not hold \".\" or \"..\" names";
    return "";
  }
  return quoted + " is not an absolute path of the guest: use /path on a Unix guest" +
         (unixGuest ? std::string() : std::string(", D:\\path on a Windows guest"));
}

std::string GuestChildPath(const std::string& destination, const std::string& relative) {
  if (relative.empty()) return destination;
  const bool windows = IsWindowsAbsolute(destination);
  const char separator = windows ? '\\' : '/';
  std::string path = destination;
  if (path.empty() || path.back() != separator) path.push_back(separator);
  for (char c : relative) path.push_back(c == '/' ? separator : c);
  return path;
}
