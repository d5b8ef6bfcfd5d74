#include "tools/GuestFileCopy.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/GuestShellSession.h"
#include "tools/WriteAll.h"
#include "toolscontract/ShellQuote.h"

namespace GuestFileCopy {

bool IsUnixTarget(const std::string& remotePath) { return !remotePath.empty() && remotePath[0] == '/'; }

std::string UnixWriterCommand(const std::string& script, const std::string& remotePath, const struct stat& staged,
                              const std::string& backupSuffix, const std::string& owner) {
  return "bash -c " + ShellQuote::SingleQuoted(script) + " " + kHelperScript + " " +
         InlineWriteArguments(remotePath, staged, backupSuffix, owner);
}

int ToolStatus(int status) { return status == 0 ? 0 : (status == 255 ? 255 : 1); }

std::string InlineWriteArguments(const std::string& remotePath, const struct stat& staged,
                                 const std::string& backupSuffix, const std::string& owner) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(staged.st_mode & 0777));
  std::string arguments = std::string(kWriteOption) + " " + ShellQuote::SingleQuoted(remotePath) + " " +
                          std::to_string(static_cast<unsigned long long>(staged.st_size)) + " " + mode +
                          (owner.empty() ? "" : ":" + owner) + " " +
                          std::to_string(static_cast<long long>(staged.st_atime)) + " " +
                          std::to_string(static_cast<long long>(staged.st_mtime));
  if (!backupSuffix.empty()) arguments += " " + ShellQuote::SingleQuoted(backupSuffix);
  return arguments;
}

std::string EndWord(unsigned long long size) { return "zq-end " + std::to_string(size) + "\n"; }

bool FitsInline(unsigned long long size) { return size + EndWord(size).size() <= GuestShellSession::kMaxInlineBytes; }

bool FeedWithEndWord(int fd, unsigned long long size, int out) {
  char buffer[65536];
  unsigned long long left = size;
  for (;;) {
    const size_t wanted = left < sizeof buffer ? static_cast<size_t>(left) : sizeof buffer;
    // One byte past the size: a file that grew gets no end word either.
    const ssize_t got = ::read(fd, buffer, left == 0 ? 1 : wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (left == 0) {
      if (got != 0) return false;
      break;
    }
    if (got == 0) return false;
    if (!WriteAll(out, buffer, static_cast<size_t>(got))) return false;
    left -= static_cast<unsigned long long>(got);
  }
  char word[40];
  const int length = std::snprintf(word, sizeof word, "zq-end %llu\n", size);
  return length > 0 && WriteAll(out, word, static_cast<size_t>(length));
}

std::string SftpPath(const std::string& target) {
  const bool drivePath = target.size() >= 3 && std::isalpha(static_cast<unsigned char>(target[0])) &&
                         target[1] == ':' && (target[2] == '\\' || target[2] == '/');
  if (!drivePath) return target;
  std::string path = "/" + target;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string TemporaryBeside(const std::string& target, const std::string& token) {
  const size_t separator = target.find_last_of("/\\");
  const std::string folder = separator == std::string::npos ? std::string() : target.substr(0, separator + 1);
  return folder + ".zqrestore-" + token + ".tmp";
}

std::string SftpWord(const std::string& text) {
  std::string word = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') word += '\\';
    word += c;
  }
  return word + "\"";
}

std::string SftpPutAndRename(const std::string& localFile, const std::string& temporary, const std::string& target) {
  return "put -- " + SftpWord(localFile) + " " + SftpWord(temporary) + "\nrename " + SftpWord(temporary) + " " +
         SftpWord(target) + "\n";
}

std::string SftpRemove(const std::string& temporary) { return "-rm " + SftpWord(temporary) + "\n"; }

bool FitsSftpBatch(const std::string& path) { return path.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

std::string RandomToken() {
  unsigned char bytes[9];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
  std::string token;
  char hex[3];
  for (unsigned char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    token += hex;
  }
  return token;
}

int OpenLocalFile(const std::string& path, struct stat& info, std::string& problem, int flags) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOATIME | flags);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), O_RDONLY | flags);
  if (fd < 0) {
    problem = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = path + " is not a regular file";
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadExactly(int fd, unsigned long long size, std::string& content) {
  content.resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::read(fd, content.data() + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  char extra;
  return ::read(fd, &extra, 1) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return !text.empty();
}

}  // namespace GuestFileCopy
