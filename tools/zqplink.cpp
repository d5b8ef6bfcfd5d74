// zqplink.exe: runs a command in a guest over SSH with OpenSSH's ssh, PuTTY-style arguments.
// Standard input goes to the remote command, its standard output comes back, and its exit status
// is the tool's. The tool's own failures (cannot connect, login refused, host key changed) end
// with a one-line explanation on standard error and status 255. Helper-script commands ("bash -s"
// -- ARGS, the script on standard input) run through a guest session (GuestShellSession.h), and
// the Windows channel's PowerShell one-liners through a PowerShell session (WindowsShellSession.h).
#include <cstdio>
#include <string>
#include <vector>

#include "tools/AskPass.h"
#include "tools/GuestShellSession.h"
#include "tools/OpenSshCommand.h"
#include "tools/PuttyArguments.h"
#include "tools/WindowsShellSession.h"
#include "toolscontract/SshToolsContract.h"

namespace {

constexpr const char* kToolName = SshToolsContract::kCommandTool;

std::vector<std::string> SshCommandLine(const SshToolSettings& settings, const std::vector<std::string>& options,
                                        const PlinkArguments& parsed) {
  std::vector<std::string> argv{settings.sshProgram, "-T"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {"-l", parsed.login.user});
  if (!parsed.login.port.empty()) argv.insert(argv.end(), {"-p", parsed.login.port});
  // "--" before the address: neither the address nor any command word is read as an option.
  argv.insert(argv.end(), {"--", parsed.login.address});
  argv.insert(argv.end(), parsed.command.begin(), parsed.command.end());
  return argv;
}

}  // namespace

int main(int argc, char** argv) {
  if (AskPass::IsRequested()) return AskPass::Answer(argc > 1 ? argv[1] : "");
  OpenSshCommand::EndWithParent();
  PlinkArguments parsed;
  std::string problem;
  bool helpRequested = false;
  if (!ParsePlinkArguments(std::vector<std::string>(argv + 1, argv + argc), parsed, problem, helpRequested)) {
    const std::string prefix = helpRequested ? std::string() : std::string(kToolName) + ": ";
    std::fprintf(helpRequested ? stdout : stderr, "%s%s\n", prefix.c_str(), problem.c_str());
    return helpRequested ? 0 : 1;
  }
  SshToolSettings settings;
  auto options = OpenSshCommand::BeginRun(kToolName, settings, parsed.login);
  // A password the server refused a moment ago is not offered again: one failed login per job.
  if (OpenSshCommand::RefusedRecently(kToolName, settings, parsed.login)) return 255;
  // A helper-script command goes through the login's guest session where one can run.
  std::string scriptArguments;
  if (GuestShellSession::IsHelperScriptCommand(parsed.command, scriptArguments)) {
    int status = 255;
    if (GuestShellSession::RunHelperCommand(settings, options, parsed.login, scriptArguments, kToolName, status) !=
        GuestShellSession::Outcome::NotTaken) {
      return status;
    }
  }
  // A PowerShell one-liner of the Windows channel goes to the login's PowerShell session.
  std::string powerShellScript;
  if (WindowsShellSession::PowerShellScriptOf(parsed.command, powerShellScript)) {
    int status = 255;
    if (WindowsShellSession::RunScript(settings, options, parsed.login, powerShellScript, kToolName, status) !=
        GuestShellSession::Outcome::NotTaken) {
      return status;
    }
  }
  std::string errorText;
  int status = OpenSshCommand::Run(SshCommandLine(settings, options, parsed), errorText);
  if (status == 255) {
    OpenSshCommand::Report(OpenSshCommand::Classify(errorText), kToolName, parsed.login, settings, errorText);
  }
  return status;
}
