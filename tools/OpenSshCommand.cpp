#include "tools/OpenSshCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <system_error>

#include <openssl/evp.h>

#include "tools/ControlFolder.h"
#include "tools/WindowsLogin.h"

extern char** environ;

namespace OpenSshCommand {

namespace {

constexpr size_t kKeptErrorBytes = 16 * 1024;

// Whether ssh and scp may use this machine's agent; set by BeginRun from the settings.
bool g_useKeys = false;

// The marker file that remembers a refusal of this run's password for its login; empty when there
// is no password or no private control folder. Set by BeginRun.
std::string g_refusalMarker;

// 16 hex digits of the SHA-256 of `text`; empty when the digest fails.
std::string ShortDigest(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 8) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < 8; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

bool IsPassedOn(const std::string& name, bool useKeys) {
  static const char* const kNames[] = {"HOME", "PATH", "USER", "LOGNAME", "TZ", "LANG", "LANGUAGE",
                                       "SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", kAskPassMarker, kAskPassUser,
                                       kAskPassHost};
  for (const char* allowed : kNames) {
    if (name == allowed) return true;
  }
  if (name.rfind("LC_", 0) == 0) return true;
  return useKeys && name == "SSH_AUTH_SOCK";
}

// Bytes read and written so far by process `pid`; -1 when its counters cannot be read.
long long IoCount(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = 0, total = 0;
  bool found = false;
  while (io >> key >> value) {
    if (key == "rchar:" || key == "wchar:") {
      total += value;
      found = true;
    }
  }
  return found ? total : -1;
}

void AddOption(std::vector<std::string>& options, const std::string& name, const std::string& value) {
  options.push_back("-o");
  options.push_back(name + "=" + value);
}

bool ContainsAny(const std::string& text, std::initializer_list<const char*> needles) {
  for (const char* needle : needles) {
    if (boost::algorithm::icontains(text, needle)) return true;
  }
  return false;
}

// OpenSSH's words for a refused login: "user@host: Permission denied (publickey,password)." and
// the like. A guest that refuses a write says "Permission denied" too, but never followed by the
// list of authentication methods: sftp's "remote open(...): Permission denied", the helper
// script's or a shell's "...: Permission denied".
bool IsAuthenticationRefusal(const std::string& errorText) {
  static const std::regex kRefusedLine(R"((^|: )Permission denied \([a-z0-9@.,+-]+\)\.?\r?$)");
  static const std::regex kOtherLine(R"((^|: )(Too many authentication failures|Authentication failed\.?)\r?$)");
  std::istringstream lines(errorText);
  std::string line;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, kRefusedLine) || std::regex_search(line, kOtherLine)) return true;
  }
  return false;
}

void WriteAllToStderr(const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// Passes the child's standard error on as it comes, keeping its last part. With
// `inactivitySeconds` > 0, returns false as soon as `child` has neither read nor written for that
// long (its I/O counters, looked at once a second); true when the child closed its standard error.
bool ForwardErrors(int fd, std::string& kept, pid_t child, long long inactivitySeconds) {
  char buffer[4096];
  long long lastCount = inactivitySeconds > 0 ? IoCount(child) : -1;
  int quietSeconds = 0;
  for (;;) {
    if (lastCount >= 0) {
      pollfd wait{fd, POLLIN, 0};
      int ready = ::poll(&wait, 1, 1000);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        long long count = IoCount(child);
        quietSeconds = count == lastCount ? quietSeconds + 1 : 0;
        lastCount = count;
        if (count < 0) lastCount = -1;  // the counters went away: the program is ending
        if (quietSeconds >= inactivitySeconds) return false;
        continue;
      }
    }
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    quietSeconds = 0;
    WriteAllToStderr(buffer, static_cast<size_t>(got));
    kept.append(buffer, static_cast<size_t>(got));
    if (kept.size() > 2 * kKeptErrorBytes) kept.erase(0, kept.size() - kKeptErrorBytes);
  }
}

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                            int errorWriteFd, bool ownGroup, pid_t parent) {
  // Ends with this tool; a tool that ended before the request took effect is not outlived.
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(255);
  // In a group of its own, the program and the ssh it starts can be ended together.
  if (ownGroup) ::setpgid(0, 0);
  ::dup2(errorWriteFd, STDERR_FILENO);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The askpass run reads the password from this tool; OpenSSH's processes never carry it.
  std::vector<char*> variables;
  for (const auto& variable : environment) variables.push_back(const_cast<char*>(variable.c_str()));
  variables.push_back(nullptr);
  ::execvpe(args[0], args.data(), variables.data());
  std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
  ::_exit(255);
}

}  // namespace

std::string OptionValue(const std::string& text) {
  if (text.find_first_of(" \t\"'\\") == std::string::npos) return text;
  std::string value = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') value += '\\';
    value += c;
  }
  return value + "\"";
}

std::string LiteralPercent(const std::string& text) {
  std::string value;
  for (char c : text) {
    value += c;
    if (c == '%') value += '%';
  }
  return value;
}

std::string LoginName(const std::string& user) { return WindowsLogin::ForOpenSsh(user); }

std::vector<std::string> ChildEnvironment(bool useKeys) {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const auto equals = variable.find('=');
    if (equals != std::string::npos && IsPassedOn(variable.substr(0, equals), useKeys)) {
      environment.push_back(variable);
    }
  }
  return environment;
}

std::vector<std::string> CommonOptions(const SshToolSettings& settings, const std::string& controlPattern) {
  std::vector<std::string> options;
  std::error_code error;
  bool haveConfig = !settings.configFile.empty() && std::filesystem::is_regular_file(settings.configFile, error);
  options.push_back("-F");
  options.push_back(haveConfig ? settings.configFile : "none");
  AddOption(options, "UserKnownHostsFile", OptionValue(LiteralPercent(settings.knownHostsFile)));
  AddOption(options, "StrictHostKeyChecking", "accept-new");
  AddOption(options, "BatchMode", "no");
  AddOption(options, "NumberOfPasswordPrompts", "1");
  if (!settings.useKeys) {
    // IdentityFile=none keeps ssh from adding its default key files; files the configuration
    // names are still offered.
    AddOption(options, "IdentitiesOnly", "yes");
    AddOption(options, "IdentityAgent", "none");
    AddOption(options, "IdentityFile", "none");
  }
  AddOption(options, "ConnectTimeout", std::to_string(settings.connectTimeout));
  AddOption(options, "ServerAliveInterval", std::to_string(settings.keepAliveInterval));
  AddOption(options, "ServerAliveCountMax", std::to_string(settings.keepAliveCountMax));
  AddOption(options, "LogLevel", "ERROR");
  if (controlPattern.empty()) {
    AddOption(options, "ControlMaster", "no");
    AddOption(options, "ControlPath", "none");
  } else {
    AddOption(options, "ControlMaster", "auto");
    AddOption(options, "ControlPath", OptionValue(controlPattern));
    AddOption(options, "ControlPersist", std::to_string(settings.controlPersist));
  }
  return options;
}

std::string ControlPatternFor(const SshToolSettings& settings, const std::string& password,
                              const std::string& toolName) {
  // An empty folder: BeginRun found it unusable and said so.
  if (settings.controlPersist == 0 || settings.controlDir.empty()) return "";
  std::string problem;
  std::string pattern;
  if (!ControlFolder::MakePrivate(settings.controlDir, problem) ||
      !ControlFolder::SocketPattern(settings.controlDir, password, pattern, problem)) {
    std::fprintf(stderr, "%s: connections are not reused: %s\n", toolName.c_str(), problem.c_str());
    return "";
  }
  return pattern;
}

void PrepareKnownHostsFolder(const SshToolSettings& settings) {
  auto folder = std::filesystem::path(settings.knownHostsFile).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::exists(folder, error)) {
    std::filesystem::create_directories(folder, error);
  }
}

void PrepareAskPass(const std::string& programPath, const SshLogin& login) {
  ::setenv("SSH_ASKPASS", programPath.c_str(), 1);
  ::setenv("SSH_ASKPASS_REQUIRE", "force", 1);
  ::setenv(kAskPassMarker, std::to_string(::getpid()).c_str(), 1);
  ::setenv(kAskPassUser, login.user.c_str(), 1);
  ::setenv(kAskPassHost, login.address.c_str(), 1);
}

namespace {

// Whether `path` is a regular file of this user (not a link) that holds exactly `text`.
bool SameFileText(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  std::string found(text.size() + 1, '\0');
  const bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                      static_cast<size_t>(info.st_size) == text.size();
  const ssize_t got = usable ? ::read(fd, found.data(), found.size()) : -1;
  ::close(fd);
  return got == static_cast<ssize_t>(text.size()) && found.compare(0, text.size(), text) == 0;
}

}  // namespace

std::string OnePasswordConfig(const std::string& configFile, const std::string& privateFolder) {
  std::string problem;
  const std::string digest = ShortDigest(configFile);
  if (digest.empty() || !ControlFolder::MakePrivate(privateFolder, problem)) return "";
  // One file per installation file, rewritten whole and moved into place by every run, so that
  // runs at the same time never see a half-written one and a killed run leaves nothing behind.
  const std::string path = privateFolder + "/config-" + digest;
  // Options before any Host line win over the included file's, for every host.
  const std::string text = "NumberOfPasswordPrompts 1\nInclude " + OptionValue(configFile) + "\n";
  // Every command of a job starts a tool: the file that is there already with these words is kept.
  if (SameFileText(path, text)) return path;
  const std::string temporary = path + "." + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      ::unlink(temporary.c_str());
      return "";
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return "";
  }
  return path;
}

namespace {

// The refusal marker of `login` with `password`, in the private control folder; empty when there
// is no password to remember or the folder is not usable.
std::string RefusalMarker(const SshToolSettings& settings, const std::string& password, const SshLogin& login) {
  std::string problem;
  std::string tag;
  if (password.empty() || settings.controlDir.empty() ||
      !ControlFolder::SecretTag(settings.controlDir,
                                password + '\n' + login.user + '\n' + login.address + '\n' + login.port, tag,
                                problem)) {
    return "";
  }
  return settings.controlDir + "/refused-" + tag;
}

}  // namespace

void EndWithParent() {
  const pid_t parent = ::getppid();
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(255);
}

std::vector<std::string> BeginRun(const std::string& toolName, SshToolSettings& settings, SshLogin& login) {
  login.user = LoginName(login.user);
  std::string program = RunningProgramPath();
  settings = SshToolSettings::Load(ParentFolder(program));
  g_useKeys = settings.useKeys;
  PrepareAskPass(program, login);
  PrepareKnownHostsFolder(settings);
  std::string problem;
  if (!ControlFolder::MakePrivate(settings.controlDir, problem)) {
    std::fprintf(stderr, "%s: %s: %s\n", toolName.c_str(), kControlFolderUnsafeText, problem.c_str());
    settings.controlDir.clear();
  }
  std::error_code error;
  if (!settings.configFile.empty() && std::filesystem::is_regular_file(settings.configFile, error)) {
    std::string wrapper =
        settings.controlDir.empty() ? std::string() : OnePasswordConfig(settings.configFile, settings.controlDir);
    if (!wrapper.empty()) settings.configFile = wrapper;
  }
  const char* password = std::getenv(kPasswordVariable);
  g_refusalMarker = RefusalMarker(settings, password ? password : "", login);
  return CommonOptions(settings, ControlPatternFor(settings, password ? password : "", toolName));
}

bool RefusedRecently(const std::string& toolName, const SshToolSettings& settings, const SshLogin& login) {
  if (g_refusalMarker.empty()) return false;
  struct stat info {};
  if (::lstat(g_refusalMarker.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    return false;
  }
  const time_t age = ::time(nullptr) - info.st_mtime;
  if (age < 0 || age > kRefusalMemorySeconds) return false;
  std::fprintf(stderr, "%s\n", Describe(SshFailure::AuthenticationRefused, toolName, login, settings).c_str());
  return true;
}

void Report(SshFailure failure, const std::string& toolName, const SshLogin& login, const SshToolSettings& settings,
            const std::string& errorText) {
  const std::string host = FailingHost(errorText);
  const std::string explanation = Describe(failure, toolName, login, settings, host);
  if (!explanation.empty()) std::fprintf(stderr, "%s\n", explanation.c_str());
  // A refusal is remembered for the host that refused: the guest's login only when the guest did.
  // A jump host never gets the guest's password (the askpass answers only the guest's prompt),
  // so asking it again costs no account a failed login.
  if (failure != SshFailure::AuthenticationRefused || g_refusalMarker.empty() || !IsGuest(host, login)) return;
  // A fresh marker, or a fresh time on the one that is there.
  const int fd = ::open(g_refusalMarker.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ::futimens(fd, nullptr);
  ::close(fd);
}

int Run(const std::vector<std::string>& argv, std::string& errorText, long long inactivitySeconds) {
  int pipeFds[2];
  if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return 255;
  const std::vector<std::string> environment = ChildEnvironment(g_useKeys);
  const bool limited = inactivitySeconds > 0;
  std::fflush(nullptr);
  const pid_t self = ::getpid();
  pid_t child = ::fork();
  if (child < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return 255;
  }
  if (child == 0) ExecChild(argv, environment, pipeFds[1], limited, self);
  if (limited) ::setpgid(child, child);  // also here: no race with the first look at the group
  ::close(pipeFds[1]);
  const bool finished = ForwardErrors(pipeFds[0], errorText, child, inactivitySeconds);
  ::close(pipeFds[0]);
  if (!finished) {
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
    errorText += std::string("\n") + kStalledText + "\n";
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 255;
  }
  if (errorText.size() > kKeptErrorBytes) errorText.erase(0, errorText.size() - kKeptErrorBytes);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

SshFailure Classify(const std::string& errorText) {
  if (ContainsAny(errorText, {"REMOTE HOST IDENTIFICATION HAS CHANGED", "Host key verification failed"})) {
    return SshFailure::HostKeyChanged;
  }
  if (ContainsAny(errorText, {kStalledText})) return SshFailure::Stalled;
  if (IsAuthenticationRefusal(errorText)) return SshFailure::AuthenticationRefused;
  if (ContainsAny(errorText, {"Connection refused"})) return SshFailure::ConnectionRefused;
  if (ContainsAny(errorText, {"Connection timed out", "No route to host",
                              "Network is unreachable", "Could not resolve hostname", "Connection closed by",
                              "Connection reset by", "Timeout, server", "timed out"})) {
    return SshFailure::CannotConnect;
  }
  // Without multiplexing ssh reports the refused subsystem itself; through a shared connection
  // only scp's own last words remain.
  if (ContainsAny(errorText, {"subsystem request failed", "scp: Connection closed"})) {
    return SshFailure::NoSftpService;
  }
  return errorText.empty() ? SshFailure::None : SshFailure::Other;
}

std::string FailingHost(const std::string& errorText) {
  // "user@host: Permission denied (...)", "Host key for host (or [host]:port) has changed",
  // "connect to host HOST port N: ...", "Received disconnect from HOST port N:..." : the last
  // such line names the host whose failure ended the run.
  static const std::regex kNamed(R"((?:^|\s)\S*@(\S+): Permission denied \(|Host key for (\S+) has changed|)"
                                 R"(connect to host (\S+) port \d+:|Received disconnect from (\S+) port \d+:)");
  std::string host;
  std::istringstream lines(errorText);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (!std::regex_search(line, match, kNamed)) continue;
    for (size_t group = 1; group < match.size(); ++group) {
      if (match[group].matched) host = match[group].str();
    }
  }
  // OpenSSH writes a host with a port other than 22 as [host]:port.
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.find(']') - 1);
  return host;
}

bool IsGuest(const std::string& host, const SshLogin& login) { return host.empty() || host == login.address; }

std::string Describe(SshFailure failure, const std::string& toolName, const SshLogin& login,
                     const SshToolSettings& settings, const std::string& failingHost) {
  if (!IsGuest(failingHost, login)) {
    // The guest was never reached: name the jump host that failed, not the guest.
    const std::string jump = "the jump host " + failingHost + " on the way to " + login.address;
    switch (failure) {
      case SshFailure::HostKeyChanged:
        return toolName + ": refused: the host key of " + jump + " differs from the one recorded in " +
               settings.knownHostsFile + "; if its key was changed on purpose, remove its old line from " +
               settings.knownHostsFile;
      case SshFailure::AuthenticationRefused:
        return toolName + ": authentication refused by " + jump + " (the guest was not asked)";
      case SshFailure::ConnectionRefused:
      case SshFailure::CannotConnect:
        return toolName + ": cannot connect to " + jump;
      default:
        break;
    }
  }
  std::string where = login.address + (login.port.empty() ? "" : " port " + login.port);
  switch (failure) {
    case SshFailure::None:
      return "";
    case SshFailure::HostKeyChanged:
      return toolName + ": refused: the host key of " + where + " differs from the one recorded in " +
             settings.knownHostsFile + "; if the guest's key was changed on purpose, remove its old line from " +
             settings.knownHostsFile;
    case SshFailure::AuthenticationRefused: {
      const char* password = std::getenv(kPasswordVariable);
      bool noPassword = password == nullptr || *password == '\0';
      return toolName + ": authentication refused for " + login.user + " at " + where +
             (noPassword ? std::string(" (") + kPasswordVariable + " holds no password)" : "");
    }
    case SshFailure::ConnectionRefused:
      return toolName + ": cannot connect to " + where + ": connection refused (no SSH server listens there)";
    case SshFailure::CannotConnect:
      return toolName + ": cannot connect to " + where;
    case SshFailure::Stalled:
      return toolName + ": the copy to " + where + " made no progress for " +
             std::to_string(settings.copyInactivityLimit) + " s (CopyInactivityLimit) and was ended";
    case SshFailure::NoSftpService:
      return toolName + ": " + where + " offers no SFTP service";
    case SshFailure::Other:
      break;
  }
  return toolName + ": failed at " + where + " (see the messages above)";
}

}  // namespace OpenSshCommand
