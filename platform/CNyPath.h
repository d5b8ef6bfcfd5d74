// Folder helpers of the host framework.
#pragma once

#include <dirent.h>

#include <string>

#include "platform/CNyError.h"

class CNyPath {
 public:
  // Follows symbolic links. A path that cannot be examined sets `error` and returns false.
  static bool IsDirectory(const std::string& path, CNyError& error);
  // Joins with "/" unless `base` already ends in "/" or "\"; an empty base yields `name`.
  static std::string Append(const std::string& base, const std::string& name);
};

class CNyDirectory {
 public:
  // Creates the folder; with `recursive` also its missing parents. An existing folder is success.
  static CNyError Create(const char* path, bool recursive);
  // With `recursive`, removes the contents first (symbolic links are removed, never followed);
  // with `removeSelf` the folder itself goes too. A missing folder is success.
  static CNyError Remove(const std::string& path, bool recursive, bool removeSelf);
  // Removes everything inside the folder open as `folderFd` (which stays open and is not removed),
  // never following symbolic links; `label` names the folder in the error.
  static CNyError RemoveContents(int folderFd, const std::string& label);
};

// Reads the entry names of one folder, "." and ".." included, in the order the system returns them.
class ZQDirectory {
 public:
  ZQDirectory() = default;
  ~ZQDirectory();
  ZQDirectory(const ZQDirectory&) = delete;
  ZQDirectory& operator=(const ZQDirectory&) = delete;

  int open(const std::string& path);  // 0 on success, else an errno value
  const char* read();                 // the next name, or null at the end
  void close();

 private:
  DIR* m_dir = nullptr;
};
