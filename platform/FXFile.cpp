#include "platform/FXFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include <boost/algorithm/string/replace.hpp>

CNyError FXFile::ZQGetFileSize(const std::string& path, long long& size) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return CNyError::FromErrno(errno, "stat [" + path + "]");
  size = static_cast<long long>(info.st_size);
  return CNyError();
}

CNyError FXFile::RemoveFile(const std::string& path) {
  if (::remove(path.c_str()) != 0) return CNyError::FromErrno(errno, "remove [" + path + "]");
  return CNyError();
}

CNyError FXFile::GetFileTimes(const std::string& path, long* createTime, long* modifyTime, long* accessTime) {
  struct statx info {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return CNyError::FromErrno(errno, "statx [" + path + "]");
  }
  const long modified = static_cast<long>(info.stx_mtime.tv_sec);
  // A zero creation time would stamp 1970 on the guest's file: fall back to the modification time
  // where the file system does not record a birth time.
  const bool hasBirthTime = (info.stx_mask & STATX_BTIME) != 0 && info.stx_btime.tv_sec != 0;
  if (createTime != nullptr) *createTime = hasBirthTime ? static_cast<long>(info.stx_btime.tv_sec) : modified;
  if (modifyTime != nullptr) *modifyTime = modified;
  if (accessTime != nullptr) *accessTime = static_cast<long>(info.stx_atime.tv_sec);
  return CNyError();
}

CNyError FXPath::SplitParentPath(const std::string& path, std::string& parent, std::string& leaf) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos || slash + 1 >= trimmed.size()) {
    return CNyError(EINVAL, "path [" + path + "] has no parent folder");
  }
  parent = slash == 0 ? "/" : trimmed.substr(0, slash);
  leaf = trimmed.substr(slash + 1);
  return CNyError();
}

void FXString::ReplaceAll(std::string& text, const std::string& find, const std::string& replacement, size_t start) {
  if (find.empty() || start >= text.size()) return;
  std::string tail = text.substr(start);
  boost::algorithm::replace_all(tail, find, replacement);
  text.replace(start, std::string::npos, tail);
}

void FXString::TrimRight(std::string& text, const std::string& characters) {
  const size_t keep = text.find_last_not_of(characters);
  text.erase(keep == std::string::npos ? 0 : keep + 1);
}

std::vector<std::string> FXString::Split(const std::string& text, const std::string& delimiter, int options) {
  std::vector<std::string> fields;
  if (delimiter.empty()) {
    if (!(options == SkipEmpty && text.empty())) fields.push_back(text);
    return fields;
  }
  size_t begin = 0;
  while (true) {
    const size_t found = text.find(delimiter, begin);
    const std::string field = text.substr(begin, found == std::string::npos ? std::string::npos : found - begin);
    if (!(options == SkipEmpty && field.empty())) fields.push_back(field);
    if (found == std::string::npos) break;
    begin = found + delimiter.size();
  }
  return fields;
}
