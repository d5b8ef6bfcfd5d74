#include "tools/PuttyArguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "platform/ReplaceChoices.h"
#include "toolscontract/SshToolsContract.h"

namespace {

// The first line of a tool's help: what it does and where its password comes from.
std::string ToolDescription(const std::string& what) {
  return what + "; the password comes from " + SshToolsContract::kPasswordVariable + ".";
}

bool IsPlainWord(const std::string& word) {
  if (word.empty() || word[0] == '-') return false;
  return std::none_of(word.begin(), word.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '\\' || c == '#' || c == '%';
  });
}

// CLI11 wants argv[0] first and the rest in reverse order.
std::vector<std::string> ForCli(const std::vector<std::string>& args) {
  return std::vector<std::string>(args.rbegin(), args.rend());
}

bool RunParser(CLI::App& app, const std::vector<std::string>& args, std::string& problem, bool& helpRequested) {
  helpRequested = false;
  try {
    auto reversed = ForCli(args);
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    helpRequested = true;
    problem = app.help();
    return false;
  } catch (const CLI::ParseError& error) {
    problem = std::string(error.what()) + "\n" + app.help();
    return false;
  }
  return true;
}

}  // namespace

bool CheckLogin(const SshLogin& login, std::string& problem) {
  if (!login.user.empty() && !IsPlainWord(login.user)) {
    problem = "unusable user name '" + login.user + "'";
    return false;
  }
  if (!IsPlainWord(login.address)) {
    problem = "unusable address '" + login.address + "'";
    return false;
  }
  if (!login.port.empty() &&
      (login.port.size() > 5 ||
       !std::all_of(login.port.begin(), login.port.end(), [](char c) { return c >= '0' && c <= '9'; }))) {
    problem = "unusable port '" + login.port + "'";
    return false;
  }
  return true;
}

bool ParsePlinkArguments(const std::vector<std::string>& args, PlinkArguments& parsed, std::string& problem,
                         bool& helpRequested) {
  CLI::App app{ToolDescription("Runs a command in a guest over SSH"), SshToolsContract::kCommandTool};
  app.add_option("-l", parsed.login.user, "user name")->required();
  app.add_option("-P", parsed.login.port, "port");
  app.add_option("address", parsed.login.address, "address of the guest")->required();
  app.prefix_command();
  app.footer("The words after the address and its options form the remote command.");
  if (!RunParser(app, args, problem, helpRequested)) return false;
  parsed.command = app.remaining();
  if (!parsed.command.empty() && parsed.command.front() == "--") {
    parsed.command.erase(parsed.command.begin());
  } else if (!parsed.command.empty() && parsed.command.front().rfind("-", 0) == 0) {
    problem = "unknown option " + parsed.command.front() + "\n" + app.help();
    return false;
  }
  if (parsed.command.empty()) {
    problem = "no remote command given\n" + app.help();
    return false;
  }
  return CheckLogin(parsed.login, problem);
}

bool SplitRemoteTarget(const std::string& target, SshLogin& login, std::string& path) {
  size_t hostStart = 0;
  size_t colon = std::string::npos;
  bool inBrackets = false;
  for (size_t i = 0; i < target.size() && colon == std::string::npos; ++i) {
    char c = target[i];
    if (c == '@' && !inBrackets) hostStart = i + 1;
    if (c == '[' && i == hostStart) inBrackets = true;
    if (c == ']') inBrackets = false;
    if (c == ':' && !inBrackets) colon = i;
  }
  if (colon == std::string::npos) return false;
  if (hostStart > 0) login.user = target.substr(0, hostStart - 1);
  login.address = target.substr(hostStart, colon - hostStart);
  if (login.address.size() >= 2 && login.address.front() == '[' && login.address.back() == ']') {
    login.address = login.address.substr(1, login.address.size() - 2);
  }
  path = target.substr(colon + 1);
  return true;
}

bool ParsePscpArguments(const std::vector<std::string>& args, PscpArguments& parsed, std::string& problem,
                        bool& helpRequested) {
  CLI::App app{ToolDescription("Copies a file into a guest, complete or not at all"), SshToolsContract::kCopyTool};
  std::string user;
  std::string target;
  app.add_option("-l", user, "user name (else the one in the target)");
  app.add_option("-P", parsed.login.port, "port");
  app.add_option("local", parsed.localFile, "file on this machine")->required();
  app.add_option("target", target, "[USER@]ADDRESS:PATH in the guest")->required();
  app.add_option("--backup-suffix", parsed.backupSuffix,
                 "keep a file the copy replaces beside it, under its name and this suffix (Unix targets)");
  app.add_option("--owner", parsed.owner,
                 "give the new file this numeric owner and group (UID:GID) before it replaces the target (Unix "
                 "targets)");
  if (!RunParser(app, args, problem, helpRequested)) return false;
  if (!SplitRemoteTarget(target, parsed.login, parsed.remotePath)) {
    problem = "the target '" + target + "' names no guest (USER@ADDRESS:PATH)\n";
    return false;
  }
  if (app.count("--owner") != 0) {
    const size_t colon = parsed.owner.find(':');
    const auto isId = [](const std::string& id) {
      return !id.empty() && id.size() <= 10 && id.find_first_not_of("0123456789") == std::string::npos &&
             std::stoull(id) <= 4294967294ULL;
    };
    if (colon == std::string::npos || !isId(parsed.owner.substr(0, colon)) || !isId(parsed.owner.substr(colon + 1))) {
      problem = "the owner '" + parsed.owner + "' is not UID:GID (two numbers below 4294967295)\n";
      return false;
    }
    if (parsed.remotePath.empty() || parsed.remotePath[0] != '/') {
      problem = "an owner needs a Unix target (a path that begins with \"/\")\n";
      return false;
    }
  }
  if (app.count("--backup-suffix") != 0) {
    const std::string suffixProblem = ReplaceChoices::BackupSuffixProblem(parsed.backupSuffix);
    if (!suffixProblem.empty()) {
      problem = suffixProblem + "\n";
      return false;
    }
    if (parsed.remotePath.empty() || parsed.remotePath[0] != '/') {
      problem = "a backup suffix needs a Unix target (a path that begins with \"/\")\n";
      return false;
    }
  }
  if (!user.empty()) parsed.login.user = user;
  return CheckLogin(parsed.login, problem);
}
