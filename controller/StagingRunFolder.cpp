#include "controller/StagingRunFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/CNyPath.h"

namespace {

constexpr const char* kRunPrefix = "run-";
// A folder being made carries this prefix until its lock is taken.
constexpr const char* kNewPrefix = ".new-";
// A folder under its temporary name is left alone for this long: its maker may not hold the lock yet.
constexpr std::chrono::seconds kNewFolderGrace{60};
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Describe(const std::string& what, const std::string& name, int error) {
  return what + " [" + name + "]: " + std::strerror(error);
}

}  // namespace

StagingRunFolder::~StagingRunFolder() {
  if (m_folderFd >= 0) ::close(m_folderFd);  // releases the lock
  if (m_idsFd >= 0) ::close(m_idsFd);
}

std::string StagingRunFolder::NewName() {
  std::random_device device;
  const unsigned long long random = (static_cast<unsigned long long>(device()) << 32) ^ device();
  char name[64];
  std::snprintf(name, sizeof name, "%s%ld-%016llx", kRunPrefix, static_cast<long>(::getpid()), random);
  return name;
}

bool StagingRunFolder::IsRunName(const std::string& name) {
  if (!StartsWith(name, kRunPrefix) || name.size() <= std::strlen(kRunPrefix)) return false;
  return name.find_first_not_of("0123456789abcdef-", std::strlen(kRunPrefix)) == std::string::npos;
}

bool StagingRunFolder::Create(int idsFd, const std::string& name, std::string& error) {
  if (Created() || !IsRunName(name)) {
    error = "[" + name + "] is not a new run folder";
    return false;
  }
  const std::string building = kNewPrefix + name;
  if (::mkdirat(idsFd, building.c_str(), 0700) != 0) {
    error = Describe("cannot create run folder", building, errno);
    return false;
  }
  const int folder = ::openat(idsFd, building.c_str(), kFolderFlags);
  if (folder < 0) {
    error = Describe("cannot open run folder", building, errno);
    ::unlinkat(idsFd, building.c_str(), AT_REMOVEDIR);
    return false;
  }
  if (::flock(folder, LOCK_EX | LOCK_NB) != 0 ||
      ::renameat2(idsFd, building.c_str(), idsFd, name.c_str(), RENAME_NOREPLACE) != 0) {
    error = Describe("cannot take run folder", name, errno);
    ::unlinkat(idsFd, building.c_str(), AT_REMOVEDIR);
    ::close(folder);
    return false;
  }
  m_idsFd = ::fcntl(idsFd, F_DUPFD_CLOEXEC, 0);
  m_folderFd = folder;
  m_name = name;
  return true;
}

std::vector<std::string> StagingRunFolder::ClearAbandoned(int idsFd, std::vector<std::string>& problems) {
  std::vector<std::string> removed;
  const int listFd = ::openat(idsFd, ".", kFolderFlags);
  DIR* listing = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (listing == nullptr) {
    problems.push_back(Describe("cannot list the job's run folders", ".", errno));
    if (listFd >= 0) ::close(listFd);
    return removed;
  }
  std::vector<std::string> candidates;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (IsRunName(name) || (StartsWith(name, kNewPrefix) && IsRunName(name.substr(std::strlen(kNewPrefix))))) {
      candidates.push_back(name);
    }
  }
  ::closedir(listing);

  const auto now = std::chrono::system_clock::now();
  for (const std::string& name : candidates) {
    struct stat info {};
    if (::fstatat(idsFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) continue;               // not one of ours
    if (StartsWith(name, kNewPrefix) &&
        now - std::chrono::system_clock::from_time_t(info.st_mtime) < kNewFolderGrace) {
      continue;
    }
    const int folder = ::openat(idsFd, name.c_str(), kFolderFlags);
    if (folder < 0) continue;
    // Held by a live run: its folder stays.
    if (::flock(folder, LOCK_EX | LOCK_NB) != 0) {
      ::close(folder);
      continue;
    }
    const CNyError emptied = CNyDirectory::RemoveContents(folder, name);
    if (emptied.IsError()) {
      problems.push_back(emptied.AsString());
    } else if (::unlinkat(idsFd, name.c_str(), AT_REMOVEDIR) != 0) {
      problems.push_back(Describe("cannot remove run folder", name, errno));
    } else {
      removed.push_back(name);
    }
    ::close(folder);
  }
  return removed;
}

void StagingRunFolder::RemoveIfEmpty() {
  if (!Created()) return;
  ::unlinkat(m_idsFd, m_name.c_str(), AT_REMOVEDIR);  // fails, harmlessly, while anything is left in it
}
