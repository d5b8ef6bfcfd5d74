// File, path and string helpers of the host framework.
#pragma once

#include <string>
#include <vector>

#include "platform/CNyError.h"

class FXFile {
 public:
  static CNyError ZQGetFileSize(const std::string& path, long long& size);
  // Removes a file, a symbolic link or an empty folder.
  static CNyError RemoveFile(const std::string& path);
  // Times in seconds since 1970-01-01 00:00 UTC. The creation time is the birth time where the
  // file system records it, otherwise the modification time; never 0.
  static CNyError GetFileTimes(const std::string& path, long* createTime, long* modifyTime,
                               long* accessTime);
};

class FXPath {
 public:
  // "/a/b/c" -> "/a/b" and "c"; "/c" -> "/" and "c". Trailing separators are ignored.
  // A path without a separator or with an empty leaf is an error.
  static CNyError SplitParentPath(const std::string& path, std::string& parent, std::string& leaf);
};

class FXString {
 public:
  enum SplitOptions { KeepEmpty = 0, SkipEmpty = 1 };
  // Replaces every occurrence of `find` at or after `start`; an empty `find` changes nothing.
  static void ReplaceAll(std::string& text, const std::string& find, const std::string& replacement,
                         size_t start = 0);
  // Removes trailing characters that occur in `characters`.
  static void TrimRight(std::string& text, const std::string& characters);
  // Splits at every occurrence of `delimiter`. With KeepEmpty, n delimiters give n+1 fields and an
  // empty text gives one empty field.
  static std::vector<std::string> Split(const std::string& text, const std::string& delimiter,
                                        int options = KeepEmpty);
};
