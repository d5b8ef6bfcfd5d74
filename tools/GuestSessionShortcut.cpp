#include "tools/GuestSessionShortcut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tools/GuestFileCopy.h"
#include "tools/GuestShellSession.h"
#include "tools/PuttyArguments.h"
#include "tools/SshToolSettings.h"
#include "toolscontract/ShellWords.h"
#include "toolscontract/SshToolsContract.h"

namespace GuestSessionShortcut {

namespace {

using GuestSessionChannel::Answer;
using GuestShellSession::Outcome;

// Hands the request to the login's running session with the settings the tools in `toolFolder`
// read. False when no session takes it.
bool AskSession(const std::string& toolFolder, SshLogin login, const std::string& scriptPath,
                const std::string& arguments, const std::string& input, const char* toolName, Answer& answer) {
  const SshToolSettings settings = SshToolSettings::Load(toolFolder);
  if (settings.guestSessionIdle <= 0) return false;
  std::string script;
  if (!GuestFileCopy::ReadWholeFile(scriptPath.empty() ? settings.baseHome + "/" + GuestFileCopy::kHelperScript
                                                       : scriptPath,
                                    script)) {
    return false;
  }
  login.user = OpenSshCommand::LoginName(login.user);
  return GuestShellSession::AskRunningSession(settings, login, script, arguments, input, toolName, answer) !=
         Outcome::NotTaken;
}

// zqplink.exe ADDRESS -l USER "bash -s" -- ARGS... < SCRIPT
bool RunHelperCommand(const std::string& toolFolder, const std::vector<std::string>& words,
                      const std::string& scriptPath, Answer& answer) {
  PlinkArguments parsed;
  std::string problem, arguments;
  bool helpRequested = false;
  return !scriptPath.empty() && ParsePlinkArguments(words, parsed, problem, helpRequested) &&
         GuestShellSession::IsHelperScriptCommand(parsed.command, arguments) &&
         AskSession(toolFolder, parsed.login, scriptPath, arguments, "", SshToolsContract::kCommandTool, answer);
}

// zqpscp.exe LOCAL USER@ADDRESS:/PATH, for a file small enough to travel inline.
bool RunCopy(const std::string& toolFolder, const std::vector<std::string>& words, Answer& answer) {
  PscpArguments parsed;
  std::string problem;
  bool helpRequested = false;
  if (!ParsePscpArguments(words, parsed, problem, helpRequested) || !GuestFileCopy::IsUnixTarget(parsed.remotePath)) {
    return false;
  }
  struct stat info {};
  const int fd = GuestFileCopy::OpenLocalFile(parsed.localFile, info, problem, O_CLOEXEC);
  if (fd < 0) return false;
  const auto size = static_cast<unsigned long long>(info.st_size);
  std::string content;
  const bool read = GuestFileCopy::FitsInline(size) && GuestFileCopy::ReadExactly(fd, size, content);
  ::close(fd);
  const std::string arguments = GuestFileCopy::InlineWriteArguments(parsed.remotePath, info, parsed.backupSuffix, parsed.owner);
  if (!read || !AskSession(toolFolder, parsed.login, "", arguments, content + GuestFileCopy::EndWord(size),
                           SshToolsContract::kCopyTool, answer)) {
    return false;
  }
  answer.status = GuestFileCopy::ToolStatus(answer.status);
  return true;
}

}  // namespace

bool TryRun(const std::string& commandLine, const std::string& toolFolder, Answer& answer) {
  answer = Answer{};
  ShellWords::CommandLine parsed;
  if (toolFolder.empty() || !ShellWords::Split(commandLine, parsed)) return false;
  const std::string& program = parsed.words.front();
  const std::vector<std::string> words(parsed.words.begin() + 1, parsed.words.end());
  if (program == toolFolder + "/" + SshToolsContract::kCommandTool) {
    return RunHelperCommand(toolFolder, words, parsed.inputFile, answer);
  }
  if (program == toolFolder + "/" + SshToolsContract::kCopyTool && parsed.inputFile.empty()) {
    return RunCopy(toolFolder, words, answer);
  }
  return false;
}

}  // namespace GuestSessionShortcut
