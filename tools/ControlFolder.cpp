#include "tools/ControlFolder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/WriteAll.h"

namespace ControlFolder {

namespace {

constexpr const char* kKeyName = ".reuse-key";
constexpr size_t kKeyLength = 32;
constexpr size_t kTagDigits = 16;

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// A descriptor closed when the holder goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// Publishes a fresh random key under `keyPath` unless another process did so first: the key is
// written to a private temporary file and linked into place, which fails on an existing key.
bool CreateKey(const std::string& keyPath, std::string& problem) {
  unsigned char key[kKeyLength];
  if (RAND_bytes(key, sizeof key) != 1) {
    problem = "no random bytes for the reuse key";
    return false;
  }
  std::string temporary = keyPath + ".XXXXXX";
  FileDescriptor fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) {
    problem = ErrnoText("cannot create", temporary);
    return false;
  }
  bool ok = ::fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), key, sizeof key) && ::fsync(fd.get()) == 0;
  if (ok && ::link(temporary.c_str(), keyPath.c_str()) != 0 && errno != EEXIST) ok = false;
  if (!ok) problem = ErrnoText("cannot store the reuse key", keyPath);
  ::unlink(temporary.c_str());
  OPENSSL_cleanse(key, sizeof key);
  return ok;
}

bool ReadKey(const std::string& keyPath, unsigned char (&key)[kKeyLength], std::string& problem) {
  FileDescriptor fd(::open(keyPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
    problem = ErrnoText("cannot read", keyPath);
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0 ||
      info.st_size != static_cast<off_t>(kKeyLength)) {
    problem = "the reuse key " + keyPath + " is not a private key file of this user";
    return false;
  }
  ssize_t got = ::read(fd.get(), key, kKeyLength);
  if (got != static_cast<ssize_t>(kKeyLength)) {
    problem = ErrnoText("cannot read", keyPath);
    return false;
  }
  return true;
}

// A folder no one but this user may enter, as lstat describes it.
bool IsPrivateFolder(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

}  // namespace

std::string HexPrefix(const unsigned char* bytes, size_t digits) {
  static const char* kHex = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; text.size() < digits; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0f];
  }
  return text.substr(0, digits);
}

bool MakePrivate(const std::string& folder, std::string& problem) {
  if (folder.size() > kMaxFolderLength) {
    problem = "the folder " + folder + " is longer than " + std::to_string(kMaxFolderLength) +
              " characters, too long for socket names";
    return false;
  }
  std::error_code error;
  auto parent = std::filesystem::path(folder).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, error);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = ErrnoText("cannot create", folder);
    return false;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    problem = ErrnoText("cannot examine", folder);
    return false;
  }
  if (!IsPrivateFolder(info)) {
    problem = "the folder " + folder + " is not a private folder of this user (owner only, mode 0700)";
    return false;
  }
  return true;
}

bool IsReady(const std::string& folder) {
  struct stat info {};
  if (folder.size() > kMaxFolderLength || ::lstat(folder.c_str(), &info) != 0 || !IsPrivateFolder(info)) return false;
  const std::string keyPath = folder + "/" + kKeyName;
  return ::lstat(keyPath.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool SecretTag(const std::string& folder, const std::string& secret, std::string& tag, std::string& problem) {
  std::string keyPath = folder + "/" + kKeyName;
  struct stat info {};
  if (::lstat(keyPath.c_str(), &info) != 0 && !CreateKey(keyPath, problem)) return false;
  unsigned char key[kKeyLength];
  if (!ReadKey(keyPath, key, problem)) return false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(secret.data());
  bool ok = HMAC(EVP_sha256(), key, sizeof key, data, secret.size(), digest, &digestLength) != nullptr;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    problem = "cannot compute the reuse key of the login";
    return false;
  }
  tag = HexPrefix(digest, kTagDigits);
  return true;
}

bool SocketPattern(const std::string& folder, const std::string& password, std::string& pattern,
                   std::string& problem) {
  std::string tag;
  if (!SecretTag(folder, password, tag, problem)) return false;
  std::string literalFolder;
  for (char c : folder) literalFolder += c == '%' ? std::string("%%") : std::string(1, c);
  pattern = literalFolder + "/" + tag + "%C";
  return true;
}

}  // namespace ControlFolder
