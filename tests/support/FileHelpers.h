// File helpers shared by the test suites: write and read whole files, examine entries without
// following links, and set their times.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace zqtest {

void WriteFile(const std::string& path, const std::string& content);
// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// lstat of `path`; fails the test (and answers a zeroed record) when it cannot be examined.
struct stat StatOf(const std::string& path);
// True when anything stands at `path`, a dangling link too.
bool Exists(const std::string& path);
// A folder itself, not a link to one.
bool IsDirectory(const std::string& path);
bool IsLink(const std::string& path);

// Access and modification times of the entry itself (of a link, not of its target); fails the test
// when they cannot be set.
void SetTimes(const std::string& path, long long accessTime, long long modifyTime);
void SetTimes(const std::string& path, const timespec& accessTime, const timespec& modifyTime);
// Both times to `seconds`.
void SetTimes(const std::string& path, long long seconds);
void SetFileModifyTime(const std::string& path, long long seconds);

}  // namespace zqtest
