// zqpscp.exe for a Windows guest stand-in: "zqpscp.exe [-l USER] LOCAL [USER@]ADDRESS:TARGET".
// Logs in as the guest's SSH server would and writes LOCAL to the Windows path TARGET as the
// guest's SFTP server does: the path is taken literally (no shell reads it), "\" and "/" both
// separate, a target that is a folder receives the file under its own name, and the folder the
// file goes to must exist.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <sstream>

#include "GuestSession.h"

using namespace winguest;

namespace {

int Fail(GuestSession& session, const std::string& message) {
  std::cerr << message << "\n";
  session.Record().Finish(1);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  CLI::App app{"Windows guest stand-in: SSH copy"};
  std::string user;
  std::string local;
  std::string target;
  app.add_option("-l", user, "login name");
  app.add_option("local", local, "file to copy")->required();
  app.add_option("target", target, "[USER@]ADDRESS:PATH")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  GuestSession session;
  std::string error;
  if (!session.Open("zqpscp.exe", arguments, error)) {
    std::cerr << "zqpscp.exe (Windows guest stand-in): " << error << "\n";
    return 3;
  }
  const size_t colon = target.find(':');
  if (colon == std::string::npos) return Fail(session, "pscp: target " + target + " names no remote host");
  std::string address = target.substr(0, colon);
  std::string guestPath = target.substr(colon + 1);
  const size_t at = address.find('@');
  if (at != std::string::npos) {
    const std::string named = address.substr(0, at);
    if (!user.empty() && user != named) return Fail(session, "pscp: two different login names given");
    user = named;
    address = address.substr(at + 1);
  }
  if (!session.LogIn(address, user, error)) return Fail(session, error);

  std::ifstream in(local, std::ios::binary);
  if (!in) return Fail(session, "pscp: unable to open " + local + ": no such file or directory");
  std::ostringstream content;
  content << in.rdbuf();

  // The SFTP server of a Windows guest also takes "/C:/x" for C:\x.
  if (guestPath.size() >= 3 && guestPath[0] == '/' && guestPath[2] == ':') guestPath.erase(0, 1);
  WindowsPath path;
  if (!session.Files().Parse(guestPath, path, error)) return Fail(session, "pscp: " + guestPath + ": " + error);
  if (auto existing = session.Files().Find(path); existing && existing->isDirectory) {
    const size_t slash = local.find_last_of('/');
    path = path.Child(slash == std::string::npos ? local : local.substr(slash + 1));
  }
  if (!session.Files().WriteFile(path, content.str(), error)) {
    return Fail(session, "pscp: unable to open " + guestPath + ": " + error);
  }
  session.Record().Add("copy", path.Text());
  std::cout << path.Name() << " | " << content.str().size() / 1024 << " kB | 100%\n";
  session.Record().Finish(0);
  return 0;
}
