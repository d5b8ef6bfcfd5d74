// zqpscp.exe for a Windows guest stand-in: "zqpscp.exe [-l USER] LOCAL [USER@]ADDRESS:TARGET",
// with an IPv6 address in brackets ([fe80::1]:TARGET). Logs in as the guest's SSH server would and
// writes LOCAL to the Windows path TARGET as the copy tool does through the guest's SFTP server:
// the path is taken literally (no shell reads it), "\" and "/" both separate, a target that is a
// folder receives the file under its own name, the folder the file goes to must exist, and the
// file is uploaded to a temporary name in that folder and renamed over the target once complete,
// so a failed copy (a full disk) leaves the old file as it was.
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
  // [USER@]HOST:PATH, where HOST may be an IPv6 address in brackets.
  const size_t at = target.find('@');
  const size_t hostStart = at == std::string::npos || at > target.find(':') ? 0 : at + 1;
  size_t colon = std::string::npos;
  if (hostStart < target.size() && target[hostStart] == '[') {
    const size_t close = target.find(']', hostStart);
    if (close != std::string::npos && close + 1 < target.size() && target[close + 1] == ':') colon = close + 1;
  } else {
    colon = target.find(':', hostStart);
  }
  if (colon == std::string::npos) return Fail(session, "pscp: target " + target + " names no remote host");
  std::string address = target.substr(hostStart, colon - hostStart);
  if (address.size() >= 2 && address.front() == '[') address = address.substr(1, address.size() - 2);
  std::string guestPath = target.substr(colon + 1);
  if (hostStart > 0) {
    const std::string named = target.substr(0, hostStart - 1);
    if (!user.empty() && user != named) return Fail(session, "pscp: two different login names given");
    user = named;
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
  if (!session.Files().ReplaceFile(path, content.str(), session.Config().freeBytes, error)) {
    return Fail(session, "pscp: unable to open " + guestPath + ": " + error);
  }
  session.Record().Add("copy", path.Text());
  std::cout << path.Name() << " | " << content.str().size() / 1024 << " kB | 100%\n";
  session.Record().Finish(0);
  return 0;
}
