// zqplink.exe for a Windows guest stand-in: "zqplink.exe ADDRESS -l USER command words...".
// Logs in as the guest's SSH server would, joins the command words with single blanks into the
// remote command line (as PuTTY's plink does) and runs it the way the guest's SSH server does,
// through "cmd.exe /c". Prints the guest's output and exits with its status.
#include <CLI/CLI.hpp>

#include <iostream>

#include "GuestSession.h"

using namespace winguest;

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  CLI::App app{"Windows guest stand-in: SSH client"};
  std::string address;
  std::string user;
  app.add_option("-l", user, "login name");
  app.add_option("address", address, "guest address")->required();
  app.prefix_command();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  GuestSession session;
  std::string error;
  if (!session.Open("zqplink.exe", arguments, error)) {
    std::cerr << "zqplink.exe (Windows guest stand-in): " << error << "\n";
    return 3;
  }
  const size_t at = address.find('@');
  if (at != std::string::npos) {
    if (user.empty()) user = address.substr(0, at);
    address = address.substr(at + 1);
  }
  if (!session.LogIn(address, user, error)) {
    std::cerr << error << "\n";
    session.Record().Finish(1);
    return 1;
  }
  std::string remoteCommand;
  for (const std::string& word : app.remaining()) remoteCommand += (remoteCommand.empty() ? "" : " ") + word;
  if (remoteCommand.empty()) {
    std::cerr << "FATAL ERROR: this guest takes remote commands only\n";
    session.Record().Finish(1);
    return 1;
  }
  const CommandResult result = session.RunRemoteCommand(remoteCommand);
  std::cout << result.out << std::flush;
  std::cerr << result.err << std::flush;
  const int status = ToolExitStatus(result.status);
  session.Record().Finish(status);
  return status;
}
