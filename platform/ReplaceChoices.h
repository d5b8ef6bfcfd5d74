// What decides whether a guest file is replaced, and what is kept of it, besides its time: the
// content digest (--checksum) and the backup beside a replaced file (--backup). The host, the
// controller and the guest channels agree on these facts through this header.
#pragma once

#include <cstddef>
#include <string>

namespace ReplaceChoices {

// The name a replaced guest file is kept under is its own name followed by this suffix unless the
// job names another one (as rsync's and Ansible's backups do).
constexpr const char* kDefaultBackupSuffix = "~";
// A longer suffix is refused: together with a long file name it would pass the file system's limit
// of 255 bytes a name anyway, and a short bound keeps every command line that carries it small.
constexpr size_t kMaxBackupSuffixBytes = 32;

// Why `suffix` cannot be a backup suffix (empty, too long, or holding "/", "\\", a NUL byte or
// another control character, or being "." or ".." alone); empty when it can.
std::string BackupSuffixProblem(const std::string& suffix);

// Digits of a SHA-256 digest in hexadecimal.
constexpr size_t kSha256HexDigits = 64;

// `answer` as a digest when it is exactly 64 hexadecimal digits (either letter case), in lower
// case; empty otherwise. A guest's answer is outside input: nothing else is taken for a digest.
std::string Sha256FromAnswer(const std::string& answer);

// The SHA-256 digest (64 lower-case hexadecimal digits) of everything `fd` reads from its start
// position on; false with `problem` set when it cannot be read.
bool Sha256OfDescriptor(int fd, std::string& digest, std::string& problem);

// The SHA-256 digest of the regular file `path`, opened without following a final link; false with
// `problem` set when it is no regular file or cannot be read.
bool Sha256OfFile(const std::string& path, std::string& digest, std::string& problem);

}  // namespace ReplaceChoices
