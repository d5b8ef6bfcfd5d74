// The PuTTY-style command lines of zqplink.exe and zqpscp.exe. The input is the argument list,
// one argument per NUL-separated piece; the first byte chooses the tool.
#include "FuzzSupport.h"
#include "tools/PuttyArguments.h"

namespace {

// Whatever a successful parse hands to OpenSSH must not be read as an option.
void CheckLoginIsSafe(const SshLogin& login) {
  std::string problem;
  ZQFUZZ_CHECK(CheckLogin(login, problem));
  ZQFUZZ_CHECK(!login.address.empty() && login.address[0] != '-');
  ZQFUZZ_CHECK(login.user.empty() || login.user[0] != '-');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool plink = (data[0] & 1) != 0;
  std::vector<std::string> args = zqfuzz::Pieces(zqfuzz::Text(data + 1, size - 1));
  std::string problem;
  bool helpRequested = false;
  if (plink) {
    PlinkArguments parsed;
    if (ParsePlinkArguments(args, parsed, problem, helpRequested)) {
      CheckLoginIsSafe(parsed.login);
      ZQFUZZ_CHECK(!parsed.command.empty());
    } else {
      ZQFUZZ_CHECK(!problem.empty());
    }
  } else {
    PscpArguments parsed;
    if (ParsePscpArguments(args, parsed, problem, helpRequested)) {
      CheckLoginIsSafe(parsed.login);
    } else {
      ZQFUZZ_CHECK(!problem.empty());
    }
  }
  // The target splitter on its own, on every piece.
  for (const std::string& target : args) {
    SshLogin login;
    std::string path;
    if (SplitRemoteTarget(target, login, path)) ZQFUZZ_CHECK(path.size() < target.size());
  }
  return 0;
}
