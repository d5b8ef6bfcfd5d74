#include "hypervisor/GuestPathResolver.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

namespace {

constexpr int kOpenEntryFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

std::string Shown(const std::vector<std::string>& names) { return "/" + boost::algorithm::join(names, "/"); }

std::string Shown(const std::vector<std::string>& names, const std::string& name) {
  return names.empty() ? "/" + name : Shown(names) + "/" + name;
}

VMInfoStatus Outside(const std::string& guestPath, const std::string& why) {
  return VMInfoStatus::Fail(VMInfoError::GuestPathRefused,
                            "Guest path [" + guestPath + "] is refused: " + why + " leads outside the guest folder");
}

VMInfoStatus SystemError(const std::string& guestPath, const std::string& what, int error) {
  return VMInfoStatus::Fail(VMInfoError::GuestFileError,
                            "Guest path [" + guestPath + "]: " + what + ": " + std::strerror(error));
}

// The target text of the symbolic link held open (O_PATH | O_NOFOLLOW) by `linkFd`.
bool ReadLinkTarget(int linkFd, std::string& target) {
  char buffer[PATH_MAX + 1];
  const ssize_t length = ::readlinkat(linkFd, "", buffer, sizeof buffer);
  if (length < 0) return false;
  if (length == 0 || static_cast<size_t>(length) >= sizeof buffer) {
    errno = length == 0 ? EINVAL : ENAMETOOLONG;
    return false;
  }
  target.assign(buffer, static_cast<size_t>(length));
  return true;
}

VMInfoStatus LinkBelowDestination(const std::string& guestPath, const std::string& shown) {
  return VMInfoStatus::Fail(VMInfoError::GuestPathRefused,
                            "Guest path [" + guestPath + "] is refused: " + shown +
                                " is a symbolic link below the destination folder, and such links are not followed");
}

// One name still to walk; `trusted` when it belongs to the destination folder's own path (or to
// the target of a link met there), so that a link at it may be followed.
struct PendingName {
  std::string name;
  bool trusted;
};

std::vector<std::string> SplitLinkTarget(const std::string& target) {
  std::vector<std::string> pieces, names;
  boost::algorithm::split(pieces, target, boost::algorithm::is_any_of("/"));
  for (std::string& piece : pieces) {
    if (!piece.empty()) names.push_back(std::move(piece));
  }
  return names;
}

}  // namespace

GuestPathResolver::GuestPathResolver(int rootFd, std::vector<std::string> rootHostPaths)
    : m_rootFd(rootFd), m_rootHostPaths(std::move(rootHostPaths)) {}

bool GuestPathResolver::BelowRoot(const std::string& hostPath, std::string& below) const {
  for (const std::string& root : m_rootHostPaths) {
    if (hostPath == root) {
      below.clear();
      return true;
    }
    if (hostPath.size() > root.size() && hostPath.compare(0, root.size(), root) == 0 &&
        (hostPath[root.size()] == '/' || root == "/")) {
      below = hostPath.substr(root.size());
      return true;
    }
  }
  return false;
}

VMInfoStatus GuestPathResolver::Resolve(const std::string& guestPath, const GuestPathParts& parts,
                                        const ResolveOptions& options, ResolvedGuestEntry& resolved) const {
  resolved = ResolvedGuestEntry();
  std::deque<PendingName> pending;
  for (size_t i = 0; i < parts.names.size(); ++i) pending.push_back({parts.names[i], i < options.trustedNames});
  // Folders at or above this depth were reached through trusted names; an untrusted ".." must not
  // climb back to them.
  size_t trustedDepth = 0;
  // folders[i + 1] is the folder reached through names[i]; folders[0] is the root.
  std::vector<UniqueFd> folders;
  std::vector<std::string> names;
  folders.emplace_back(::fcntl(m_rootFd, F_DUPFD_CLOEXEC, 0));
  if (!folders.back().valid()) return SystemError(guestPath, "cannot open the guest folder", errno);
  int linksFollowed = 0;

  while (!pending.empty()) {
    std::string name = std::move(pending.front().name);
    const bool trusted = pending.front().trusted;
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      if (names.size() <= parts.fixedDepth) return Outside(guestPath, "\"..\" in " + Shown(names));
      if (!trusted && names.size() <= trustedDepth) {
        return VMInfoStatus::Fail(VMInfoError::GuestPathRefused,
                                  "Guest path [" + guestPath + "] is refused: \"..\" climbs out of the destination folder");
      }
      folders.pop_back();
      names.pop_back();
      if (trusted) trustedDepth = names.size();
      continue;
    }
    const bool isLast = pending.empty();
    const int folderFd = folders.back().get();

    UniqueFd entry(::openat(folderFd, name.c_str(), kOpenEntryFlags));
    if (!entry.valid()) {
      const int error = errno;
      if (error != ENOENT) return SystemError(guestPath, "cannot open " + Shown(names, name), error);
      if (names.size() < parts.fixedDepth) {
        return VMInfoStatus::Fail(VMInfoError::GuestFileError,
                                  "Guest path [" + guestPath + "]: drive " + name + ": does not exist in the guest");
      }
      if (isLast) {
        resolved.parent = std::move(folders.back());
        resolved.name = name;
        resolved.shownPath = Shown(names, name);
        resolved.depth = names.size() + 1;
        return VMInfoStatus::Ok();
      }
      if (!options.createFolders) {
        return VMInfoStatus::Fail(VMInfoError::GuestFileError,
                                  "Guest path [" + guestPath + "]: folder " + Shown(names, name) + " does not exist");
      }
      if (::mkdirat(folderFd, name.c_str(), 0755) != 0 && errno != EEXIST) {
        return SystemError(guestPath, "cannot create folder " + Shown(names, name), errno);
      }
      entry.Reset(::openat(folderFd, name.c_str(), kOpenEntryFlags));
      if (!entry.valid()) return SystemError(guestPath, "cannot open " + Shown(names, name), errno);
    }

    struct stat info {};
    if (::fstat(entry.get(), &info) != 0) return SystemError(guestPath, "cannot examine " + Shown(names, name), errno);

    if (S_ISLNK(info.st_mode) && !(isLast && options.finalLink == FinalLink::Keep)) {
      if (!trusted) return LinkBelowDestination(guestPath, Shown(names, name));
      if (++linksFollowed > kMaxLinks) {
        return SystemError(guestPath, "too many symbolic links at " + Shown(names, name), ELOOP);
      }
      std::string target;
      if (!ReadLinkTarget(entry.get(), target)) {
        return SystemError(guestPath, "cannot read symbolic link " + Shown(names, name), errno);
      }
      if (target.front() == '/') {
        std::string below;
        if (!BelowRoot(target, below)) return Outside(guestPath, "symbolic link " + Shown(names, name));
        target = below;
        folders.resize(1);
        trustedDepth = 0;
        names.clear();
      }
      const std::vector<std::string> targetNames = SplitLinkTarget(target);
      for (auto targetName = targetNames.rbegin(); targetName != targetNames.rend(); ++targetName) {
        pending.push_front({*targetName, true});
      }
      continue;
    }

    if (isLast) {
      resolved.parent = std::move(folders.back());
      resolved.name = name;
      resolved.entry = std::move(entry);
      resolved.info = info;
      resolved.shownPath = Shown(names, name);
      resolved.depth = names.size() + 1;
      return VMInfoStatus::Ok();
    }
    if (!S_ISDIR(info.st_mode)) {
      return SystemError(guestPath, Shown(names, name) + " is not a folder", ENOTDIR);
    }
    folders.push_back(std::move(entry));
    names.push_back(name);
    if (trusted) trustedDepth = names.size();
  }

  // The path ends on a folder the walk already holds: the root, or a folder reached by "." or "..".
  resolved.entry = std::move(folders.back());
  if (!names.empty()) {
    resolved.parent = std::move(folders[folders.size() - 2]);
    resolved.name = names.back();
  }
  resolved.shownPath = Shown(names);
  resolved.depth = names.size();
  if (::fstat(resolved.entry.get(), &resolved.info) != 0) {
    return SystemError(guestPath, "cannot examine " + resolved.shownPath, errno);
  }
  return VMInfoStatus::Ok();
}
