// zqpscp.exe: copies one file into a guest with OpenSSH, PuTTY-style arguments. The file lands
// complete under the target's name or not at all (GuestFileCopy.h says how): a Unix target is
// written by the helper script in the guest over one ssh session, any other target over SFTP to
// a temporary name that is then renamed over it. A small Unix file rides inline on the guest
// session of the same login where one runs (GuestShellSession.h). The local file is read without
// touching its access time where the system allows it. The tool, its ssh and the process that
// feeds ssh end with the tool's parent.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/AskPass.h"
#include "tools/GuestFileCopy.h"
#include "tools/GuestShellSession.h"
#include "tools/OpenSshCommand.h"
#include "tools/PuttyArguments.h"
#include "toolscontract/SshToolsContract.h"

namespace {

constexpr const char* kToolName = SshToolsContract::kCopyTool;

// Makes `fd` the standard input of this process (and so of the OpenSSH client it starts).
bool UseAsStandardInput(int fd) { return ::dup2(fd, STDIN_FILENO) == STDIN_FILENO; }

// Standard input that reads `text` (a few hundred bytes, so one pipe buffer holds it).
bool TextAsStandardInput(const std::string& text) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return false;
  bool written = ::write(pipeFds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(pipeFds[1]);
  bool ok = written && UseAsStandardInput(pipeFds[0]);
  ::close(pipeFds[0]);
  return ok;
}

std::vector<std::string> SshCommandLine(const SshToolSettings& settings, const std::vector<std::string>& options,
                                        const SshLogin& login, const std::string& remoteCommand) {
  std::vector<std::string> argv{settings.sshProgram, "-T"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (!login.user.empty()) argv.insert(argv.end(), {"-l", login.user});
  if (!login.port.empty()) argv.insert(argv.end(), {"-p", login.port});
  argv.insert(argv.end(), {"--", login.address, remoteCommand});
  return argv;
}

std::vector<std::string> SftpCommandLine(const SshToolSettings& settings, const std::vector<std::string>& options,
                                         const SshLogin& login) {
  // The common options come before -b, so their BatchMode=no wins over the one -b implies and the
  // password still comes through the askpass hand-over.
  std::vector<std::string> argv{settings.sftpProgram};
  argv.insert(argv.end(), options.begin(), options.end());
  if (!login.user.empty()) argv.insert(argv.end(), {"-o", "User=" + login.user});
  if (!login.port.empty()) argv.insert(argv.end(), {"-P", login.port});
  argv.insert(argv.end(), {"-b", "-", "--", login.address});
  return argv;
}

// Starts the process that feeds ssh's standard input: the file's `size` bytes, then the end word
// (GuestFileCopy::EndWord), which it writes only when the file held exactly those bytes. It ends
// with this tool, so the end word of a killed copy never reaches the guest. -1 when it cannot start.
pid_t StartFeeder(int localFd, unsigned long long size) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t self = ::getpid();
  std::fflush(nullptr);
  const pid_t feeder = ::fork();
  if (feeder == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != self) ::_exit(1);
    ::close(pipeFds[0]);
    ::_exit(GuestFileCopy::FeedWithEndWord(localFd, size, pipeFds[1]) ? 0 : 1);
  }
  ::close(pipeFds[1]);
  const bool ok = feeder > 0 && UseAsStandardInput(pipeFds[0]);
  ::close(pipeFds[0]);
  if (!ok && feeder > 0) {
    ::kill(feeder, SIGKILL);
    ::waitpid(feeder, nullptr, 0);
  }
  return ok ? feeder : -1;
}

// Writes a Unix target through the helper script's --write_file in the guest, with the staged
// file's mode and times (`info`), so the new file has them before it takes the target's name.
int CopyToUnixTarget(const SshToolSettings& settings, const std::vector<std::string>& options,
                     const PscpArguments& parsed, int localFd, const struct stat& info, std::string& errorText) {
  const std::string scriptPath = settings.baseHome + "/" + GuestFileCopy::kHelperScript;
  std::string script;
  if (!GuestFileCopy::ReadWholeFile(scriptPath, script)) {
    std::fprintf(stderr, "%s: cannot read the helper script %s\n", kToolName, scriptPath.c_str());
    return 1;
  }
  const auto size = static_cast<unsigned long long>(info.st_size);
  // A small file travels inline through the login's guest session when one runs already (the
  // helper-script commands before a copy start it); a copy never starts one.
  std::string content;
  if (GuestFileCopy::FitsInline(size) && GuestFileCopy::ReadExactly(localFd, size, content)) {
    const std::string arguments = GuestFileCopy::InlineWriteArguments(parsed.remotePath, info, parsed.backupSuffix, parsed.owner);
    int status = 255;
    if (GuestShellSession::RunScript(settings, options, parsed.login, script, arguments,
                                     content + GuestFileCopy::EndWord(size), false, kToolName,
                                     status) != GuestShellSession::Outcome::NotTaken) {
      // The session's own failures carry their explanation already.
      return status;
    }
  }
  const pid_t feeder = ::lseek(localFd, 0, SEEK_SET) == 0 ? StartFeeder(localFd, size) : -1;
  if (feeder < 0) {
    std::fprintf(stderr, "%s: cannot pass %s to ssh\n", kToolName, parsed.localFile.c_str());
    return 1;
  }
  const std::string command = GuestFileCopy::UnixWriterCommand(script, parsed.remotePath, info, parsed.backupSuffix, parsed.owner);
  const int status = OpenSshCommand::Run(SshCommandLine(settings, options, parsed.login, command), errorText,
                                         settings.copyInactivityLimit);
  // ssh is done: whatever the feeder has not written yet goes nowhere.
  ::kill(feeder, SIGKILL);
  while (::waitpid(feeder, nullptr, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Puts any other target over SFTP to a temporary name beside it and renames that over it; the
// temporary file is removed again when anything fails.
int CopyOverSftp(const SshToolSettings& settings, const std::vector<std::string>& options,
                 const PscpArguments& parsed, int localFd, std::string& errorText) {
  if (!GuestFileCopy::FitsSftpBatch(parsed.remotePath)) {
    std::fprintf(stderr, "%s: the target path holds a line break, which SFTP cannot carry\n", kToolName);
    return 1;
  }
  const std::string token = GuestFileCopy::RandomToken();
  if (token.empty()) {
    std::fprintf(stderr, "%s: the system gives no random bytes for a temporary name\n", kToolName);
    return 1;
  }
  const std::string target = GuestFileCopy::SftpPath(parsed.remotePath);
  const std::string temporary = GuestFileCopy::TemporaryBeside(target, token);
  // The local file goes by its descriptor: sftp expands patterns in local names.
  const std::string local = "/dev/fd/" + std::to_string(localFd);
  if (!TextAsStandardInput(GuestFileCopy::SftpPutAndRename(local, temporary, target))) return 1;
  int status =
      OpenSshCommand::Run(SftpCommandLine(settings, options, parsed.login), errorText, settings.copyInactivityLimit);
  if (status != 0 && status != 255 && TextAsStandardInput(GuestFileCopy::SftpRemove(temporary))) {
    std::string ignored;
    OpenSshCommand::Run(SftpCommandLine(settings, options, parsed.login), ignored);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (AskPass::IsRequested()) return AskPass::Answer(argc > 1 ? argv[1] : "");
  OpenSshCommand::EndWithParent();
  PscpArguments parsed;
  std::string problem;
  bool helpRequested = false;
  if (!ParsePscpArguments(std::vector<std::string>(argv + 1, argv + argc), parsed, problem, helpRequested)) {
    const std::string prefix = helpRequested ? std::string() : std::string(kToolName) + ": ";
    std::fprintf(helpRequested ? stdout : stderr, "%s%s\n", prefix.c_str(), problem.c_str());
    return helpRequested ? 0 : 1;
  }
  struct stat info {};
  const int localFd = GuestFileCopy::OpenLocalFile(parsed.localFile, info, problem);
  if (localFd < 0) {
    std::fprintf(stderr, "%s: %s\n", kToolName, problem.c_str());
    return 1;
  }
  SshToolSettings settings;
  auto options = OpenSshCommand::BeginRun(kToolName, settings, parsed.login);
  if (OpenSshCommand::RefusedRecently(kToolName, settings, parsed.login)) {
    ::close(localFd);
    return 255;
  }
  std::string errorText;
  const bool unixTarget = GuestFileCopy::IsUnixTarget(parsed.remotePath);
  const int status =
      unixTarget
          ? CopyToUnixTarget(settings, options, parsed, localFd, info, errorText)
          : CopyOverSftp(settings, options, parsed, localFd, errorText);
  ::close(localFd);
  // The guest's own failures come with the helper script's message; only OpenSSH's failures, and
  // a guest without SFTP for a non-Unix target, get a line of their own.
  auto failure = status == 0 ? SshFailure::None : OpenSshCommand::Classify(errorText);
  // sftp's only word for a refused subsystem on a shared connection.
  if (!unixTarget && failure == SshFailure::Other && errorText.find("Connection closed") != std::string::npos) {
    failure = SshFailure::NoSftpService;
  }
  if (status == 255 || (!unixTarget && failure != SshFailure::None && failure != SshFailure::Other)) {
    OpenSshCommand::Report(failure, kToolName, parsed.login, settings, errorText);
  }
  return GuestFileCopy::ToolStatus(status);
}
