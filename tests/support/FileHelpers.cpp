#include "FileHelpers.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace zqtest {

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct stat StatOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    ADD_FAILURE() << "cannot examine " << path << ": " << std::strerror(errno);
    info = {};
  }
  return info;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsLink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

void SetTimes(const std::string& path, const timespec& accessTime, const timespec& modifyTime) {
  const timespec times[2] = {accessTime, modifyTime};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    ADD_FAILURE() << "cannot set the times of " << path << ": " << std::strerror(errno);
  }
}

void SetTimes(const std::string& path, long long accessTime, long long modifyTime) {
  SetTimes(path, timespec{static_cast<time_t>(accessTime), 0}, timespec{static_cast<time_t>(modifyTime), 0});
}

void SetTimes(const std::string& path, long long seconds) { SetTimes(path, seconds, seconds); }

void SetFileModifyTime(const std::string& path, long long seconds) { SetTimes(path, seconds, seconds); }

}  // namespace zqtest
