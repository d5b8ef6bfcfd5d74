#include "OpenSshCommand.h"

#include <fcntl.h>
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
#include <filesystem>
#include <system_error>

#include "ControlFolder.h"

namespace OpenSshCommand {

namespace {

constexpr size_t kKeptErrorBytes = 16 * 1024;

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

void WriteAllToStderr(const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// Passes the child's standard error on as it comes, keeping its last part.
void ForwardErrors(int fd, std::string& kept) {
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    WriteAllToStderr(buffer, static_cast<size_t>(got));
    kept.append(buffer, static_cast<size_t>(got));
    if (kept.size() > 2 * kKeptErrorBytes) kept.erase(0, kept.size() - kKeptErrorBytes);
  }
}

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, int errorWriteFd) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  ::dup2(errorWriteFd, STDERR_FILENO);
  // The askpass run reads the password from this tool; OpenSSH's processes never carry it.
  ::unsetenv(kPasswordVariable);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
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
  if (settings.controlPersist == 0) return "";
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

void PrepareAskPass(const std::string& programPath) {
  ::setenv("SSH_ASKPASS", programPath.c_str(), 1);
  ::setenv("SSH_ASKPASS_REQUIRE", "force", 1);
  ::setenv(kAskPassMarker, std::to_string(::getpid()).c_str(), 1);
}

std::vector<std::string> BeginRun(const std::string& toolName, SshToolSettings& settings) {
  std::string program = RunningProgramPath();
  settings = SshToolSettings::Load(ParentFolder(program));
  PrepareAskPass(program);
  PrepareKnownHostsFolder(settings);
  const char* password = std::getenv(kPasswordVariable);
  return CommonOptions(settings, ControlPatternFor(settings, password ? password : "", toolName));
}

int Run(const std::vector<std::string>& argv, std::string& errorText) {
  int pipeFds[2];
  if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return 255;
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return 255;
  }
  if (child == 0) ExecChild(argv, pipeFds[1]);
  ::close(pipeFds[1]);
  ForwardErrors(pipeFds[0], errorText);
  ::close(pipeFds[0]);
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
  if (ContainsAny(errorText, {"Permission denied", "Too many authentication failures"})) {
    return SshFailure::AuthenticationRefused;
  }
  if (ContainsAny(errorText, {"Connection timed out", "Connection refused", "No route to host",
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

std::string Describe(SshFailure failure, const std::string& toolName, const SshLogin& login,
                     const SshToolSettings& settings) {
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
    case SshFailure::CannotConnect:
      return toolName + ": cannot connect to " + where;
    case SshFailure::NoSftpService:
      return toolName + ": " + where + " offers no SFTP service";
    case SshFailure::Other:
      break;
  }
  return toolName + ": failed at " + where + " (see the messages above)";
}

}  // namespace OpenSshCommand
