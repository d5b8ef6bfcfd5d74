#include "guestapi/ZQGuestAPI.h"

#include <sys/stat.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/find.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "guestapi/ZQGuestAPIOrigins.h"
#include "platform/CNyPath.h"
#include "platform/ZQPlatformInfo.h"
#include "platform/ZqProcess.h"
#include "platform/pstring.h"
#include "tools/GuestSessionShortcut.h"
#include "tools/OpenSshCommand.h"
#include "toolscontract/CommandTimeLimits.h"
#include "toolscontract/SshToolsContract.h"

using namespace ZQGuestAPIOrigins;

std::mutex CGuestAPI::c_CmdLock;

namespace {

// Banner lines of a remote-execution tool, compared without regard to letter case.
const char* const kExecBanners[] = {"Connecting to ", "Starting PSEXESVC service on ", "Connecting with PsExec service on ",
                                    "Starting cmd on  ", "cmd exited on "};

bool IsExecBanner(const std::string& line) {
  for (const char* banner : kExecBanners) {
    if (boost::algorithm::ifind_first(line, banner)) return true;
  }
  return false;
}

using SshToolsContract::kPasswordVariable;

// The "ZQ_PUTTY_PASS=..." text the environment points to while a command runs. It is handed to
// putenv, not setenv, because glibc keeps every text given to setenv for the life of the process;
// this buffer is the only copy and is wiped when the command ends. Used under c_CmdLock only.
std::vector<char>& PasswordEntry() {
  static std::vector<char> entry;
  return entry;
}

void Wipe(std::vector<char>& bytes) {
  if (!bytes.empty()) explicit_bzero(bytes.data(), bytes.size());
}

// Takes the password variable out of the environment and wipes its text (which stays allocated,
// wiped, until the next command replaces it).
void ClearPasswordVariable() {
  unsetenv(kPasswordVariable);
  Wipe(PasswordEntry());
}

long long LimitSetting(const char* key, long long fallback) {
  long long value = fallback;
  if (!ZQPlatformInfo::getInteger(CommandTimeLimits::kSection, key, &value) || value < 0) value = fallback;
  return value;
}

// A copy is limited by inactivity, so that large files pass; the copy tool enforces the copy's own
// inactivity limit, this is the outer bound on the tool. Every other command, a helper-script or
// PowerShell one-liner, gets a total time limit. What the channel asked for decides, never the
// command line read back (a quoted base folder would hide the tool's name).
CommandLimits LimitsFor(bool copy) {
  using namespace CommandTimeLimits;
  CommandLimits limits;
  if (copy) {
    const long long quiet = LimitSetting(kCopyInactivityLimitKey, kDefaultCopyInactivityLimit);
    limits.inactivitySeconds = quiet == 0 ? 0 : static_cast<int>(quiet + kCopyToolGraceSeconds);
  } else {
    limits.totalSeconds = static_cast<int>(LimitSetting(kCommandTimeLimitKey, kDefaultCommandTimeLimit));
  }
  return limits;
}

// The reason a command failed, for the operator: the last line in which a tool or the command
// runner explains it ("zqplink.exe: authentication refused ...", "command ended: ..."); empty
// when there is none.
std::string FailureReason(const std::string& errorText) {
  std::istringstream lines(errorText);
  std::string reason;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(std::string(SshToolsContract::kCommandTool) + ": ", 0) == 0 ||
        line.rfind(std::string(SshToolsContract::kCopyTool) + ": ", 0) == 0 || line.rfind("command ended: ", 0) == 0) {
      reason = line;
    }
  }
  return reason;
}

}  // namespace

CGuestAPI::CGuestAPI(IVMInfo* vmInfo) : m_pVMInfo(vmInfo) {}

// The login's password is wiped before its memory goes back to the heap.
CGuestAPI::~CGuestAPI() { WipeString(m_loginCred.password); }

CGuestAPI::ExecuteCmdCtx::ExecuteCmdCtx(CGuestAPI& owner, const std::string& command)
    : m_owner(owner), m_command(command) {
  c_CmdLock.lock();
  m_owner.PreExecuteCommand(m_command);
}

CGuestAPI::ExecuteCmdCtx::~ExecuteCmdCtx() {
  m_owner.PostExecuteCommand(m_command);
  // The password stays in the environment no longer than the command.
  ClearPasswordVariable();
  c_CmdLock.unlock();
}

bool CGuestAPI::Init(const GuestLoginCred& cred) {
  if (!ZQPlatformInfo::getString("Base", "dBASEHOME", &m_baseHome)) {
    m_log.Error(kInitOrigin, "Failed to get ZQPI_BASEHOME");
    return false;
  }
  m_loginCred = cred;
  return true;
}

void CGuestAPI::SetLastGuestApiErrorDetails(const std::string& text) { m_lastErrorDetails = text; }

std::string CGuestAPI::MaskPasswdInStr(const std::string& text, const std::string& password) {
  if (password.empty()) return text;
  return boost::algorithm::replace_all_copy(text, password, "*****");
}

bool CGuestAPI::ExecuteCommand(const std::string& command, std::string& output) {
  ExecuteCmdCtx guard(*this, command);
  const std::string maskedCommand = MaskPasswdInStr(command, m_loginCred.password);
  bool result = true;
  output.clear();
  std::string errorText;
  m_log.DebugLvl(kExecuteOrigin, 2, "Executing command %s", maskedCommand.c_str());
  const auto started = std::chrono::steady_clock::now();
  const int status = RunCommand(command, output, errorText);
  // Each command's time, for the benchmark's split of the time by kind of command.
  m_log.DebugLvl(kExecuteOrigin, 2, "Command took %.3f ms",
                 std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
  ReportSessionsOff(errorText);
  if (status != 0) {
    const std::string maskedOutput = MaskPasswdInStr(output, m_loginCred.password);
    const std::string maskedError = MaskPasswdInStr(errorText, m_loginCred.password);
    m_log.Error(kExecuteOrigin, "Command failed Cmd [%s] Outout [%s] Err [%s]", maskedCommand.c_str(),
                maskedOutput.c_str(), maskedError.c_str());
    // The tool's own explanation (refused login, changed host key, time limit) follows, so that
    // the reason reaches whoever shows the last error, not only the log.
    const std::string reason = FailureReason(maskedError);
    SetLastGuestApiErrorDetails("Cmd " + maskedCommand + "failed!" + (reason.empty() ? "" : " " + reason));
    result = false;
  }
  return result;
}

// The tools say on every run, also a successful one, when the control folder is not safe and they
// log in for each command; the first such line of a channel goes to the log for the summary.
void CGuestAPI::ReportSessionsOff(const std::string& errorText) {
  if (m_sessionsOffReported) return;
  const size_t found = errorText.find(OpenSshCommand::kControlFolderUnsafeText);
  if (found == std::string::npos) return;
  const size_t end = errorText.find('\n', found);
  const std::string line = errorText.substr(found, end == std::string::npos ? std::string::npos : end - found);
  m_log.DebugLvl(kExecuteOrigin, 0, "%s%s", SshToolsContract::kSessionsOffLogText,
                 MaskPasswdInStr(line, m_loginCred.password).c_str());
  m_sessionsOffReported = true;
}

int CGuestAPI::RunCommand(const std::string& command, std::string& output, std::string& errorText) {
  // A command a running guest session can answer goes to it from this process, without starting a
  // shell and a tool for it; only with the real command runner, so that a runner a test put in its
  // place still sees every command.
  GuestSessionChannel::Answer answer;
  if (dynamic_cast<ShellCommandRunner*>(CurrentCommandRunner().get()) != nullptr &&
      GuestSessionShortcut::TryRun(command, m_baseHome, answer)) {
    m_log.DebugLvl(kExecuteOrigin, 2, "Command answered by the guest session");
    output = std::move(answer.output);
    errorText = std::move(answer.errors);
    return answer.status;
  }
  return ZqProcess::system(command, &output, &errorText, LimitsFor(m_runningCopy));
}

bool CGuestAPI::ExecuteCopyCommand(const std::string& command, std::string& output) {
  m_runningCopy = true;
  const bool copied = ExecuteCommand(command, output);
  m_runningCopy = false;
  return copied;
}

bool CGuestAPI::PreExecuteCommand(const std::string&) { return true; }

bool CGuestAPI::PostExecuteCommand(const std::string&) { return true; }

int CGuestAPI::SetEnv(const char* name, const char* value) {
  if (std::strcmp(name, kPasswordVariable) != 0) return setenv(name, value, 1);
  const size_t nameLength = std::strlen(name);
  const size_t valueLength = std::strlen(value);
  std::vector<char> entry(nameLength + 1 + valueLength + 1, '\0');
  std::memcpy(entry.data(), name, nameLength);
  entry[nameLength] = '=';
  std::memcpy(entry.data() + nameLength + 1, value, valueLength);
  if (putenv(entry.data()) != 0) {
    Wipe(entry);
    return -1;
  }
  // The environment now points to the new text; the earlier one is wiped and freed.
  PasswordEntry().swap(entry);
  Wipe(entry);
  return 0;
}

void CGuestAPI::ScrubZqPAExecOutput(std::string& text) {
  if (text.empty()) return;
  std::istringstream lines(text);
  std::string kept;
  std::string line;
  while (std::getline(lines, line, '\n')) {
    if (line.empty() || IsExecBanner(line)) continue;
    kept += line;
    kept += "\n";
  }
  text = kept;
}

int CGuestAPI::CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                                    bool overwrite) {
  if (!CreateGuestFolder(ctx, guestDir)) {
    m_log.Error(kCopyDirOrigin, "Failed to create guest dir[%s]", guestDir.c_str());
    return 0;
  }
  ZQDirectory reader;
  if (reader.open(localDir) != 0) {
    m_log.Error(kCopyDirOrigin, "Failed to open folder path [%s]", localDir.c_str());
    return 0;
  }
  while (const char* entry = reader.read()) {
    const std::string name = entry;
    if (name == "." || name == "..") continue;
    // lstat: a link in the caller's tree is never followed, so no file of the proxy outside the
    // tree reaches the guest; it is refused like any entry that is neither a file nor a folder.
    struct stat info {};
    if (::lstat((localDir + "/" + name).c_str(), &info) != 0) {
      const CNyError error = CNyError::FromErrno(errno, "lstat");
      m_log.Error(kCopyDirOrigin, "Failed to check path[%s] is a directory. Error[%d:%s]", name.c_str(), error.Code(),
                  error.AsString().c_str());
      return 0;
    }
    const bool isDirectory = S_ISDIR(info.st_mode);
    if (!isDirectory && !S_ISREG(info.st_mode)) {
      m_log.Error(kCopyDirOrigin, "Path [%s] in [%s] is a link or not a regular file and is not copied", name.c_str(),
                  localDir.c_str());
      SetLastGuestApiErrorDetails("[" + localDir + "/" + name + "] is a link or not a regular file; it is not copied");
      return 0;
    }
    const std::string localChild = CNyPath::Append(localDir, name);
    const std::string guestChild = CNyPath::Append(guestDir, name);
    const int copied = isDirectory ? CopyDirectoryToGuest(ctx, localChild, guestChild, overwrite)
                                   : CopyFileToGuest(ctx, localChild, guestChild, overwrite);
    if (!copied) {
      m_log.Error(kCopyDirOrigin, "Failed to copy file from [%s] to guest VM[%s]", localChild.c_str(),
                  guestChild.c_str());
      return 0;
    }
  }
  return 1;
}

int CGuestAPI::CopyFileFromGuest(const GuestCtx&, const std::string&, const std::string&) { return 1; }

int CGuestAPI::PrepareGuestForFileCopy(const GuestCtx&) { return 1; }

int CGuestAPI::ExecuteScriptInGuest(const GuestCtx&, const std::string&, const std::string&, const std::string&, int,
                                    const std::string&, int& exitCode) {
  exitCode = 0;
  return 0;
}

int CGuestAPI::ExecuteScriptInGuest(const GuestCtx&, const std::string&, int) { return 1; }

int CGuestAPI::ExecuteProcessInGuest(const GuestCtx&, const std::string&, const std::string&, const std::string&, int,
                                     int& exitCode) {
  exitCode = 0;
  return 0;
}

int CGuestAPI::IsProcessRunningInGuest(const GuestCtx&, const std::string&, long&, bool& running) {
  running = false;
  return 0;
}

int CGuestAPI::GetGuestTempFolder(const GuestCtx&, std::string& folder) {
  folder.clear();
  return 0;
}

int CGuestAPI::DeleteDirectoryInGuest(const GuestCtx&, std::string&) { return 0; }

std::string CGuestAPI::GetLastGuestApiErrorDetails() { return m_lastErrorDetails; }

int CGuestAPI::InitStagingFolder(long long, const std::string&, const std::string&) { return 1; }

int CGuestAPI::DeInitStagingFolder(const std::string& stagingDir, const std::string&) {
  m_log.Debug(kDeInitOrigin, "clean up the staging dir [%s]", stagingDir.c_str());
  CNyError error = CNyDirectory::Remove(stagingDir, true, true);
  if (error.IsError()) {
    m_log.Error(kDeInitOrigin, "failed to unmap staging loc [%s]. Error %s", stagingDir.c_str(),
                error.AsString().c_str());
    return 0;
  }
  return 1;
}

bool CGuestAPI::IsZqGuestAPI() { return false; }
