// zqpscp.exe: copies one file into a guest with OpenSSH's scp, PuTTY-style arguments. The copy
// runs over SFTP, which takes the target path literally, so no shell in the guest ever reads it.
// Only a guest without the SFTP service gets the legacy scp protocol, and then the path is
// quoted for the guest's shell.
#include <cstdio>
#include <string>
#include <vector>

#include "AskPass.h"
#include "OpenSshCommand.h"
#include "PuttyArguments.h"
#include "guestapi/ShellQuote.h"

namespace {

constexpr const char* kToolName = "zqpscp.exe";

enum class Protocol { Sftp, LegacyScp };

// scp would read "a:b" as a remote file: a relative local path gets "./" in front.
std::string LocalOperand(const std::string& localFile) {
  return localFile.empty() || localFile[0] == '/' ? localFile : "./" + localFile;
}

std::string RemoteOperand(const PscpArguments& parsed, Protocol protocol) {
  const std::string& address = parsed.login.address;
  std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
  std::string path = protocol == Protocol::Sftp ? parsed.remotePath : ShellQuote::SingleQuoted(parsed.remotePath);
  return host + ":" + path;
}

std::vector<std::string> ScpCommandLine(const SshToolSettings& settings, const std::vector<std::string>& options,
                                        const PscpArguments& parsed, Protocol protocol) {
  std::vector<std::string> argv{settings.scpProgram, protocol == Protocol::Sftp ? "-s" : "-O"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (!parsed.login.user.empty()) argv.insert(argv.end(), {"-o", "User=" + parsed.login.user});
  if (!parsed.login.port.empty()) argv.insert(argv.end(), {"-P", parsed.login.port});
  argv.insert(argv.end(), {"--", LocalOperand(parsed.localFile), RemoteOperand(parsed, protocol)});
  return argv;
}

}  // namespace

int main(int argc, char** argv) {
  if (AskPass::IsRequested()) return AskPass::Answer(argc > 1 ? argv[1] : "");
  PscpArguments parsed;
  std::string problem;
  bool helpRequested = false;
  if (!ParsePscpArguments(std::vector<std::string>(argv + 1, argv + argc), parsed, problem, helpRequested)) {
    std::fprintf(helpRequested ? stdout : stderr, "%s%s\n", helpRequested ? "" : "zqpscp.exe: ", problem.c_str());
    return helpRequested ? 0 : 1;
  }
  SshToolSettings settings;
  auto options = OpenSshCommand::BeginRun(kToolName, settings, parsed.login);
  std::string errorText;
  int status = OpenSshCommand::Run(ScpCommandLine(settings, options, parsed, Protocol::Sftp), errorText,
                                   settings.copyInactivityLimit);
  auto failure = status == 0 ? SshFailure::None : OpenSshCommand::Classify(errorText);
  if (failure == SshFailure::NoSftpService) {
    std::fprintf(stderr, "%s: no SFTP service at %s; copying with the legacy scp protocol\n", kToolName,
                 parsed.login.address.c_str());
    errorText.clear();
    status = OpenSshCommand::Run(ScpCommandLine(settings, options, parsed, Protocol::LegacyScp), errorText,
                                 settings.copyInactivityLimit);
    failure = status == 0 ? SshFailure::None : OpenSshCommand::Classify(errorText);
  }
  if (failure != SshFailure::None) {
    std::fprintf(stderr, "%s\n", OpenSshCommand::Describe(failure, kToolName, parsed.login, settings).c_str());
  }
  return status == 0 ? 0 : (status == 255 ? 255 : 1);
}
