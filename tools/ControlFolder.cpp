#include "tools/ControlFolder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <vector>

#include "platform/PrivateFolderChain.h"
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

// Publishes a fresh random key as `kKeyName` in the folder held by `folderFd` unless another
// process did so first: the key is written to a private temporary file and linked into place,
// which fails on an existing key.
bool CreateKey(int folderFd, const std::string& keyPath, std::string& problem) {
  unsigned char key[kKeyLength];
  unsigned char suffix[8];
  if (RAND_bytes(key, sizeof key) != 1 || RAND_bytes(suffix, sizeof suffix) != 1) {
    problem = "no random bytes for the reuse key";
    return false;
  }
  const std::string temporary = std::string(kKeyName) + "." + HexPrefix(suffix, 2 * sizeof suffix);
  FileDescriptor fd(::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    problem = ErrnoText("cannot create a temporary file beside", keyPath);
    return false;
  }
  bool ok = WriteAll(fd.get(), key, sizeof key) && ::fsync(fd.get()) == 0;
  if (ok && ::linkat(folderFd, temporary.c_str(), folderFd, kKeyName, 0) != 0 && errno != EEXIST) ok = false;
  if (!ok) problem = ErrnoText("cannot store the reuse key", keyPath);
  ::unlinkat(folderFd, temporary.c_str(), 0);
  OPENSSL_cleanse(key, sizeof key);
  return ok;
}

bool ReadKey(int folderFd, const std::string& keyPath, unsigned char (&key)[kKeyLength], std::string& problem) {
  FileDescriptor fd(::openat(folderFd, kKeyName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
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

// A folder no one but this user may enter.
bool IsPrivateFolder(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// Why the folder held by `fd`, at `path`, may not lead to the control folder; empty when it may.
std::string AncestorRefusal(int fd, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return ErrnoText("cannot examine", path);
  const std::string refusal = PrivateFolderChain::Refusal(info, true);
  return refusal.empty() ? refusal : "the folder " + path + " " + refusal;
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

int Open(const std::string& folder, bool create, std::string& problem) {
  if (folder.size() > kMaxFolderLength) {
    problem = "the folder " + folder + " is longer than " + std::to_string(kMaxFolderLength) +
              " characters, too long for socket names";
    return -1;
  }
  if (folder.empty() || folder.front() != '/') {
    problem = "the folder [" + folder + "] is not an absolute path";
    return -1;
  }
  std::vector<std::string> names;
  for (size_t start = 1; start <= folder.size();) {
    const size_t end = std::min(folder.find('/', start), folder.size());
    if (end > start) names.push_back(folder.substr(start, end - start));
    start = end + 1;
  }
  int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    problem = ErrnoText("cannot open", "/");
    return -1;
  }
  std::string path;
  for (const std::string& name : names) {
    // Each folder on the way belongs to this user or to root and no one else may change what is
    // in it (unless it is sticky, as /tmp is): no one else can put a folder or a link of theirs
    // in place of the next one, now or later.
    problem = AncestorRefusal(fd, path.empty() ? "/" : path);
    if (!problem.empty() || name == "." || name == "..") {
      if (problem.empty()) problem = "the folder [" + folder + "] is not a plain path";
      ::close(fd);
      return -1;
    }
    path += "/" + name;
    if (create && ::mkdirat(fd, name.c_str(), 0700) != 0 && errno != EEXIST) {
      problem = ErrnoText("cannot create", path);
      ::close(fd);
      return -1;
    }
    const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int openError = errno;
    ::close(fd);
    if (child < 0) {
      errno = openError;
      problem = openError == ELOOP || openError == ENOTDIR ? "the folder " + path + " is a link or not a folder"
                                                           : ErrnoText("cannot open", path);
      return -1;
    }
    fd = child;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !IsPrivateFolder(info)) {
    problem = "the folder " + folder + " is not a private folder of this user (owner only, mode 0700)";
    ::close(fd);
    return -1;
  }
  return fd;
}

bool MakePrivate(const std::string& folder, std::string& problem) {
  const int fd = Open(folder, true, problem);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool IsReady(const std::string& folder) {
  std::string problem;
  FileDescriptor fd(Open(folder, false, problem));
  struct stat info {};
  return fd.get() >= 0 && ::fstatat(fd.get(), kKeyName, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

bool SecretTag(const std::string& folder, const std::string& secret, std::string& tag, std::string& problem) {
  FileDescriptor folderFd(Open(folder, false, problem));
  if (folderFd.get() < 0) return false;
  const std::string keyPath = folder + "/" + kKeyName;
  struct stat info {};
  if (::fstatat(folderFd.get(), kKeyName, &info, AT_SYMLINK_NOFOLLOW) != 0 &&
      !CreateKey(folderFd.get(), keyPath, problem)) {
    return false;
  }
  unsigned char key[kKeyLength];
  if (!ReadKey(folderFd.get(), keyPath, key, problem)) return false;
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

std::string ThroughFolder(int folderFd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
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
