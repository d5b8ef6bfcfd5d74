// OpenSSH's ssh and sftp for the Windows guest stand-in, so that the real
// zqplink.exe and zqpscp.exe (which run `[SSH] SshProgram` and `SftpProgram`)
// can be tested against it. The program plays the client and the guest's SSH
// server: what it does is chosen by the name it runs under.
//
//   ssh [options] -l USER [-p PORT] -- ADDRESS COMMAND...
//     logs in (below), joins the command words with blanks and runs the line as
//     the guest's SSH server does, through cmd.exe /c
//     (GuestSession::RunRemoteCommand). The command that starts the PowerShell
//     session's loop (WindowsShellSession::GuestLoopCommand) instead starts one
//     powershell.exe and serves the loop's framed requests over standard input
//     and output.
//   sftp [options] [-o User=USER] [-P PORT] -b - -- ADDRESS
//     logs in and runs the batch on standard input: put -- LOCAL REMOTE, rename
//     FROM TO, rm NAME (a leading "-" ignores a failure). A put is kept until
//     the rename lands it complete under its final name, as the guest's SFTP
//     server plus a rename do.
//
// The login: the address must be one the guest answers at; the password comes
// from the askpass program (SSH_ASKPASS) asked "USER@ADDRESS's password: ", as
// ssh asks it, and must be the guest's. Failures print OpenSSH's messages and
// end with status 255.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "GuestSession.h"
#include "PowerShellHost.h"
#include "tools/WindowsShellSession.h"

using namespace winguest;

namespace {

struct ClientArguments {
  std::string user;
  std::string port = "22";
  std::string address;
  std::vector<std::string> command;
};

// OpenSSH's options that take a value; the others stand alone.
bool TakesValue(char option) { return std::string("BbcDEeFIiJLlmOoPpQRSWw").find(option) != std::string::npos; }

bool ParseClient(const std::vector<std::string>& arguments, ClientArguments& parsed) {
  size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word == "--") {
      ++i;
      break;
    }
    if (word.size() < 2 || word[0] != '-') break;
    if (!TakesValue(word[1])) continue;
    std::string value = word.size() > 2 ? word.substr(2) : (i + 1 < arguments.size() ? arguments[++i] : "");
    if (word[1] == 'l') parsed.user = value;
    if (word[1] == 'p' || word[1] == 'P') parsed.port = value;
    if (word[1] == 'o' && value.rfind("User=", 0) == 0) parsed.user = value.substr(5);
  }
  if (i >= arguments.size()) return false;
  parsed.address = arguments[i++];
  parsed.command.assign(arguments.begin() + static_cast<long>(i), arguments.end());
  return true;
}

// Asks the askpass program for the password, as ssh does; empty when there is
// no answer.
std::string AskPassword(const std::string& user, const std::string& address) {
  const char* program = std::getenv("SSH_ASKPASS");
  if (!program || !*program) return "";
  int out[2];
  if (::pipe(out) != 0) return "";
  const std::string prompt = user + "@" + address + "'s password: ";
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(program, program, prompt.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string answer;
  char buffer[256];
  for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0 && answer.size() < 4096;) {
    answer.append(buffer, static_cast<size_t>(got));
  }
  ::close(out[0]);
  int status = 1;
  if (child > 0) ::waitpid(child, &status, 0);
  if (child <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer;
}

bool LogIn(GuestSession& session, const ClientArguments& parsed, const char* program) {
  std::string error;
  if (!session.Config().Answers(parsed.address)) {
    std::cerr << program << ": connect to host " << parsed.address << " port " << parsed.port
              << ": Connection timed out\n";
    return false;
  }
  if (!session.LogIn(parsed.address, parsed.user, AskPassword(parsed.user, parsed.address), error)) {
    std::cerr << parsed.user << "@" << parsed.address
              << ": Permission denied (publickey,password,keyboard-interactive).\n";
    return false;
  }
  return true;
}

bool ReadExactly(std::istream& in, size_t length, std::string& text) {
  text.assign(length, '\0');
  return length == 0 || static_cast<bool>(in.read(&text[0], static_cast<std::streamsize>(length)));
}

// The session's loop: one powershell.exe start, then one script per request
// until the input ends.
int ServePowerShellLoop(GuestSession& session) {
  const auto environment = GuestEnvironment(session.AccountName());
  PowerShellHost powershell(session.Files(), session.Config(), environment, session.Record());
  powershell.Start();
  std::cout << "zqsession-ready\n" << std::flush;
  std::string header;
  while (std::getline(std::cin, header)) {
    if (header.size() < 2 || header[0] != 'S' || header.size() > 10 ||
        header.find_first_not_of("0123456789", 1) != std::string::npos) {
      break;
    }
    const size_t length = std::stoul(header.substr(1));
    std::string script;
    if (length > WindowsShellSession::kMaxScriptBytes || !ReadExactly(std::cin, length, script)) break;
    const CommandResult result = powershell.RunScript(script);
    const int status = ToolExitStatus(result.status);
    std::cout << "O" << result.out.size() << "\n"
              << result.out << "E" << result.err.size() << "\n"
              << result.err << "C" << status << "\n"
              << std::flush;
    // One record per script, so that a test sees each; the start belongs to the
    // first.
    session.Record().Finish(status);
    session.Record().Start("ssh", {"(session)"});
  }
  session.Record().Finish(0);
  return 0;
}

int RunSsh(GuestSession& session, const ClientArguments& parsed) {
  std::string remoteCommand;
  for (const std::string& word : parsed.command) remoteCommand += (remoteCommand.empty() ? "" : " ") + word;
  if (remoteCommand.empty()) {
    std::cerr << "this guest takes remote commands only\n";
    session.Record().Finish(255);
    return 255;
  }
  if (session.Config().sessionLoop && remoteCommand == WindowsShellSession::GuestLoopCommand()) {
    session.Record().Set("remoteCommand", "(PowerShell session loop)");
    return ServePowerShellLoop(session);
  }
  const CommandResult result = session.RunRemoteCommand(remoteCommand);
  std::cout << result.out << std::flush;
  std::cerr << result.err << std::flush;
  const int status = ToolExitStatus(result.status);
  session.Record().Finish(status);
  return status;
}

// One word of an sftp batch line: in double quotes with \" and \\ escaped, or
// bare.
bool NextWord(const std::string& line, size_t& at, std::string& word) {
  word.clear();
  while (at < line.size() && line[at] == ' ') ++at;
  if (at >= line.size()) return false;
  if (line[at] != '"') {
    while (at < line.size() && line[at] != ' ') word += line[at++];
    return true;
  }
  for (++at; at < line.size(); ++at) {
    if (line[at] == '\\' && at + 1 < line.size()) {
      word += line[++at];
    } else if (line[at] == '"') {
      ++at;
      return true;
    } else {
      word += line[at];
    }
  }
  return false;
}

bool ParseGuestPath(GuestSession& session, std::string text, WindowsPath& path, std::string& error) {
  // The SFTP server of a Windows guest takes "/C:/x" for C:\x.
  if (text.size() >= 3 && text[0] == '/' && text[2] == ':') text.erase(0, 1);
  return session.Files().Parse(text, path, error);
}

int RunSftp(GuestSession& session) {
  std::map<std::string, std::string> uploads;  // put but not yet renamed into place
  std::string line;
  while (std::getline(std::cin, line)) {
    const bool ignoreFailure = !line.empty() && line[0] == '-';
    size_t at = ignoreFailure ? 1 : 0;
    std::string verb, first, second, error;
    NextWord(line, at, verb);
    bool ok = true;
    if (verb == "put") {
      ok = NextWord(line, at, first) && (first != "--" || NextWord(line, at, first)) && NextWord(line, at, second);
      std::ifstream in(first, std::ios::binary);
      std::ostringstream content;
      ok = ok && in && (content << in.rdbuf(), true);
      if (ok) uploads[second] = content.str();
    } else if (verb == "rename") {
      WindowsPath target;
      ok = NextWord(line, at, first) && NextWord(line, at, second) && uploads.count(first) &&
           ParseGuestPath(session, second, target, error);
      if (ok) {
        auto existing = session.Files().Find(target);
        ok = !(existing && existing->isDirectory) &&
             session.Files().ReplaceFile(target, uploads[first], session.Config().freeBytes, error);
        if (ok) session.Record().Add("copy", target.Text());
        uploads.erase(first);
      }
    } else if (verb == "rm") {
      ok = NextWord(line, at, first) && uploads.erase(first) > 0;
    } else {
      ok = false;
    }
    if (!ok && !ignoreFailure) {
      std::cerr << "remote " << verb << " \"" << second << "\": Failure" << (error.empty() ? "" : " (" + error + ")")
                << "\n";
      session.Record().Finish(1);
      return 1;
    }
  }
  session.Record().Finish(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string program = argv[0];
  program = program.substr(program.find_last_of('/') + 1);
  const bool sftp = program == "sftp";
  GuestSession session;
  std::string error;
  if (!session.Open(sftp ? "sftp" : "ssh", arguments, error)) {
    std::cerr << program << " (Windows guest stand-in): " << error << "\n";
    return 255;
  }
  ClientArguments parsed;
  if (!ParseClient(arguments, parsed)) {
    std::cerr << "usage: " << program << " [options] -- destination [command]\n";
    session.Record().Finish(255);
    return 255;
  }
  if (!LogIn(session, parsed, program.c_str())) {
    session.Record().Finish(255);
    return 255;
  }
  return sftp ? RunSftp(session) : RunSsh(session, parsed);
}
