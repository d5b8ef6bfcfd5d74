#include "RealPowerShell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/WindowsShellSession.h"
#include "toolscontract/SshToolsContract.h"
#include "tools/WriteAll.h"

extern char** environ;

namespace winguest {

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Executable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string PwshProgram() {
  const char* chosen = std::getenv("ZQ_PWSH");
  if (chosen && *chosen) return chosen;
#ifdef ZQ_PWSH_DEFAULT
  return Executable(ZQ_PWSH_DEFAULT) ? ZQ_PWSH_DEFAULT : "";
#else
  return "";
#endif
}

std::string PwshMissingReason() {
  const std::string program = PwshProgram();
  if (program.empty()) {
    return "needs pwsh (PowerShell 7): ./scripts/test installs it into <build>/pwsh where the .NET SDK is present; "
           "or configure with -DZQ_PWSH=PATH or set ZQ_PWSH";
  }
  if (!Executable(program)) return "needs pwsh, and " + program + " is not an executable program";
  return "";
}

bool PwshRequired() {
  const char* ci = std::getenv("CI");
  return ci && boost::algorithm::iequals(ci, "true");
}

RealPowerShell::~RealPowerShell() { Stop(); }

bool RealPowerShell::Start(const std::string& home, std::string& error, const std::vector<std::string>& extra,
                           int seconds) {
  Stop();
  const std::string program = PwshProgram();
  if (!Executable(program)) {
    error = PwshMissingReason();
    return false;
  }
  // The session's own command line, with pwsh in the place of powershell.exe.
  std::vector<std::string> words;
  boost::algorithm::split(words, WindowsShellSession::GuestLoopCommand(), [](char c) { return c == ' '; });
  words[0] = program;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment = extra;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('=') + 1);
    // The proxy's password for the guest never reaches the guest's PowerShell.
    if (name == "HOME=" || boost::algorithm::starts_with(name, "XDG_") ||
        name == std::string(SshToolsContract::kPasswordVariable) + "=") {
      continue;
    }
    bool replaced = false;
    for (const std::string& given : extra) replaced = replaced || boost::algorithm::starts_with(given, name);
    if (!replaced) environment.push_back(text);
  }
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
    environment.push_back(std::string(name) + "=" + home);
  }
  environment.push_back("POWERSHELL_TELEMETRY_OPTOUT=1");
  environment.push_back("POWERSHELL_UPDATECHECK=Off");
  environment.push_back("DOTNET_CLI_TELEMETRY_OPTOUT=1");
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(toChild[0]);
    ::close(toChild[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int spawned = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  m_in = toChild[1];
  m_out = fromChild[0];
  if (spawned != 0) {
    m_pid = -1;
    error = "cannot start " + program + ": " + std::strerror(spawned);
    Stop();
    return false;
  }
  std::string line;
  if (!ReadLine(line, NowMs() + seconds * 1000LL) || line != "zqsession-ready") {
    error = program + " did not start the session loop within " + std::to_string(seconds) + " s";
    Stop(true);
    return false;
  }
  return true;
}

bool RealPowerShell::Run(const std::string& script, CommandResult& result, int seconds) {
  result = CommandResult();
  if (m_pid <= 0) return false;
  const long long deadline = NowMs() + seconds * 1000LL;
  std::string status;
  if (!WriteAll(m_in, "S" + std::to_string(script.size()) + "\n" + script) || !ReadFrame('O', result.out, deadline) ||
      !ReadFrame('E', result.err, deadline) || !ReadLine(status, deadline) || status.size() < 2 || status[0] != 'C') {
    Stop(true);
    result.status = 255;
    result.err += "pwsh gave no complete answer within " + std::to_string(seconds) + " s\n";
    return false;
  }
  result.status = std::atoi(status.c_str() + 1);
  return true;
}

bool RealPowerShell::Shapes(const std::vector<std::string>& scripts, std::vector<std::vector<std::string>>& shapes) {
  // The scripts travel as base64, so no quoting of ours stands between them and the parser.
  std::string list;
  for (const std::string& script : scripts) {
    std::string encoded(4 * ((script.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(script.data()), static_cast<int>(script.size()));
    encoded.resize(length < 0 ? 0 : static_cast<size_t>(length));
    list += (list.empty() ? "'" : ",'") + encoded + "'";
  }
  static const std::string kShape =
      "$z=[Text.Encoding]::UTF8;$all=[Collections.Generic.List[string]]::new();"
      "foreach($b64 in $b64s){$t=$null;$e=$null;"
      "$a=[Management.Automation.Language.Parser]::ParseInput($z.GetString([Convert]::FromBase64String($b64)),"
      "[ref]$t,[ref]$e);"
      "$o=[Collections.Generic.List[string]]::new();$o.Add('errors '+$e.Count);"
      "foreach($x in $e){$o.Add('! '+$x.ErrorId+' '+$x.Message)};"
      "foreach($n in $a.FindAll({$true},$true)){$k=$n.GetType().Name;"
      "if($n -is [Management.Automation.Language.StringConstantExpressionAst]){$k+=' '+$n.StringConstantType+' '+$n.Value}"
      "elseif($n -is [Management.Automation.Language.VariableExpressionAst]){$k+=' '+$n.VariablePath.UserPath}"
      "elseif($n -is [Management.Automation.Language.CommandAst]){$k+=' '+$n.GetCommandName()}"
      "elseif($n -is [Management.Automation.Language.CommandParameterAst]){$k+=' '+$n.ParameterName}"
      "elseif($n -is [Management.Automation.Language.ConstantExpressionAst]){$k+=' '+$n.Value};"
      "$o.Add($k)};"
      "$all.Add((($o|ForEach-Object {$_ -replace \"[`r`n]\",'?'}) -join \"`n\"))};"
      "$all -join \"`n--`n\"";
  CommandResult result;
  if (!Run("$b64s=@(" + list + ");" + kShape, result) || result.status != 0) return false;
  std::vector<std::string> lines;
  boost::algorithm::split(lines, result.out, [](char c) { return c == '\n'; });
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  shapes.assign(1, {});
  for (const std::string& line : lines) {
    if (line == "--") {
      shapes.emplace_back();
    } else {
      shapes.back().push_back(line);
    }
  }
  return shapes.size() == scripts.size();
}

bool RealPowerShell::Fill(long long deadline) {
  for (;;) {
    const long long left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd ready{m_out, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    char chunk[65536];
    const ssize_t got = ::read(m_out, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    m_buffer.append(chunk, static_cast<size_t>(got));
    return true;
  }
}

bool RealPowerShell::ReadBytes(size_t count, std::string& bytes, long long deadline) {
  while (m_buffer.size() < count) {
    if (!Fill(deadline)) return false;
  }
  bytes = m_buffer.substr(0, count);
  m_buffer.erase(0, count);
  return true;
}

bool RealPowerShell::ReadLine(std::string& line, long long deadline) {
  size_t end;
  while ((end = m_buffer.find('\n')) == std::string::npos) {
    if (m_buffer.size() > 64 || !Fill(deadline)) return false;  // no header is that long
  }
  line = m_buffer.substr(0, end);
  m_buffer.erase(0, end + 1);
  return true;
}

bool RealPowerShell::ReadFrame(char kind, std::string& text, long long deadline) {
  std::string header;
  if (!ReadLine(header, deadline) || header.size() < 2 || header[0] != kind ||
      header.find_first_not_of("0123456789", 1) != std::string::npos || header.size() > 12) {
    return false;
  }
  return ReadBytes(std::stoull(header.substr(1)), text, deadline);
}

void RealPowerShell::Stop(bool now) {
  if (m_in >= 0) ::close(m_in);  // the loop ends with its input
  m_in = -1;
  if (m_pid > 0) {
    int status = 0;
    const long long deadline = NowMs() + (now ? 0 : 5000);
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
      if (NowMs() > deadline) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  m_pid = -1;
  if (m_out >= 0) ::close(m_out);
  m_out = -1;
  m_buffer.clear();
}

}  // namespace winguest
