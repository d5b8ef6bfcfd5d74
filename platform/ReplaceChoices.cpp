#include "platform/ReplaceChoices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include <openssl/evp.h>

namespace ReplaceChoices {

std::string BackupSuffixProblem(const std::string& suffix) {
  if (suffix.empty()) return "the backup suffix is empty";
  if (suffix.size() > kMaxBackupSuffixBytes) {
    return "the backup suffix is longer than " + std::to_string(kMaxBackupSuffixBytes) + " bytes";
  }
  if (suffix == "." || suffix == "..") return "the backup suffix is \"" + suffix + "\"";
  for (const char c : suffix) {
    if (c == '/' || c == '\\') return "the backup suffix holds a folder separator";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "the backup suffix holds a control character";
  }
  return std::string();
}

std::string Sha256FromAnswer(const std::string& answer) {
  if (answer.size() != kSha256HexDigits) return std::string();
  std::string digest = answer;
  for (char& c : digest) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string();
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digest;
}

bool Sha256OfDescriptor(int fd, std::string& digest, std::string& problem) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    problem = "no SHA-256 digest is available";
    return false;
  }
  unsigned char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      problem = std::strerror(errno);
      return false;
    }
    if (EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(got)) != 1) {
      problem = "the SHA-256 digest failed";
      return false;
    }
  }
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), value, &length) != 1) {
    problem = "the SHA-256 digest failed";
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  digest.clear();
  for (unsigned int i = 0; i < length; ++i) {
    digest += kHex[value[i] >> 4];
    digest += kHex[value[i] & 0xf];
  }
  return true;
}

bool Sha256OfFile(const std::string& path, std::string& digest, std::string& problem) {
  // O_NONBLOCK: a FIFO in the file's place must not block the open; regular files ignore it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    problem = std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "not a regular file";
    ok = false;
  } else {
    ok = Sha256OfDescriptor(fd, digest, problem);
  }
  ::close(fd);
  return ok;
}

}  // namespace ReplaceChoices
