// How the proxy's SSH tools drive OpenSSH's ssh and scp: the options every run carries, the
// password hand-over through SSH_ASKPASS, running the client, and naming its failures.
#pragma once

#include <string>
#include <vector>

#include "tools/SshToolSettings.h"
#include "toolscontract/SshToolsContract.h"

// Whom a tool logs in as.
struct SshLogin {
  std::string user;
  std::string address;
  std::string port;  // empty: OpenSSH's choice (the configuration file or 22)
};

enum class SshFailure {
  None,
  HostKeyChanged,
  AuthenticationRefused,
  ConnectionRefused,
  CannotConnect,
  NoSftpService,
  Stalled,  // ended by the tool: no progress within the inactivity limit
  Other
};

namespace OpenSshCommand {

// Name of the environment variable that holds the guest password.
constexpr const char* kPasswordVariable = SshToolsContract::kPasswordVariable;
// Holds the process id of the tool that started OpenSSH when OpenSSH runs a tool as its askpass
// program.
constexpr const char* kAskPassMarker = "ZQ_SSH_ASKPASS_MODE";
// The user and host of the login whose password prompt the askpass run answers.
constexpr const char* kAskPassUser = "ZQ_SSH_ASKPASS_USER";
constexpr const char* kAskPassHost = "ZQ_SSH_ASKPASS_HOST";

// The login name OpenSSH sends for `user`: a Windows domain login in the form "alice:CORP" becomes
// "CORP\alice", the form a Windows OpenSSH server takes; every other name stays as it is.
std::string LoginName(const std::string& user);

// The environment ssh and scp get, taken from this process's: HOME, PATH, USER, LOGNAME, TZ, the
// locale (LANG, LANGUAGE, LC_*), the askpass hand-over (SSH_ASKPASS, SSH_ASKPASS_REQUIRE and the
// variables above), and SSH_AUTH_SOCK only when `useKeys`. Nothing else, ZQ_PUTTY_PASS least of all.
std::vector<std::string> ChildEnvironment(bool useKeys);

// The options every ssh and scp run carries: the configuration file (or none at all), its
// known_hosts file with new keys accepted and changed keys refused, one password attempt, no key
// of this machine and no agent unless the settings ask for keys (keys the configuration file names
// are still used), connect and keep-alive time-outs, quiet logging, and connection reuse through
// `controlPattern` (empty: no reuse).
std::vector<std::string> CommonOptions(const SshToolSettings& settings, const std::string& controlPattern);

// The ControlPath pattern for a login with `password`, or empty when the control folder is not
// usable; then a warning naming the reason goes to standard error and connections are not reused.
std::string ControlPatternFor(const SshToolSettings& settings, const std::string& password,
                              const std::string& toolName);

// Creates the folder of the known_hosts file when it is missing.
void PrepareKnownHostsFolder(const SshToolSettings& settings);

// Lets OpenSSH ask this very program for the password of `login`: SSH_ASKPASS names the running
// program, SSH_ASKPASS_REQUIRE=force keeps it from ever prompting on a terminal, and the marker
// variable tells the program it runs as the askpass helper and which process holds the password.
void PrepareAskPass(const std::string& programPath, const SshLogin& login);

// A configuration file that makes every connection, a jump host's too, try one password only, and
// then includes the installation's file `configFile`; kept in `privateFolder` (the control folder,
// made private when needed). Empty when it cannot be written (then `configFile` is used as it is).
std::string OnePasswordConfig(const std::string& configFile, const std::string& privateFolder);

// Makes this process end (SIGTERM) when the process that started it ends, so that a copy or a
// command of a killed restore does not go on; a parent that ended before the request took effect
// ends this process at once. The tools call it first thing.
void EndWithParent();

// Everything a tool does before it starts OpenSSH: turns a domain login in `login` into the form
// OpenSSH sends, reads the settings, sets up the askpass hand-over and the known_hosts folder, and
// returns the common options for the password in ZQ_PUTTY_PASS.
std::vector<std::string> BeginRun(const std::string& toolName, SshToolSettings& settings, SshLogin& login);

// Runs `argv` (argv[0] looked up in PATH) with ChildEnvironment and the tool's standard input
// and output; its standard error is passed on as it comes and its last part kept in `errorText`.
// With `inactivitySeconds` > 0 the program is ended (with every process of its group) once it has
// neither read nor written a byte for that long, and `errorText` then ends with kStalledText.
// Returns the exit status, 255 when the program could not run or was killed.
int Run(const std::vector<std::string>& argv, std::string& errorText, long long inactivitySeconds = 0);

// What Run adds to the error text of a program it ended for inactivity.
constexpr const char* kStalledText = "ended: no progress within the inactivity limit";

// What went wrong in a run, judged from the client's messages.
SshFailure Classify(const std::string& errorText);

// The host that OpenSSH names in its last message of a refused login, a changed host key or a
// failed connection ("alice@jump: Permission denied (...)", "Host key for [jump]:2222 has
// changed", "connect to host jump port 22: ..."), without brackets and port; empty when none.
std::string FailingHost(const std::string& errorText);

// Whether `host` (from FailingHost) is the guest of `login`; an empty host counts as the guest.
bool IsGuest(const std::string& host, const SshLogin& login);

// The tool's one-line explanation of a failure, e.g. "zqplink.exe: authentication refused for
// alice at 10.0.0.5". When `failingHost` is another host than the guest (a ProxyJump host of the
// configuration), the line names that host: "zqplink.exe: authentication refused by the jump
// host jump.example on the way to 10.0.0.5 (the guest was not asked)". Empty for SshFailure::None.
std::string Describe(SshFailure failure, const std::string& toolName, const SshLogin& login,
                     const SshToolSettings& settings, const std::string& failingHost = "");

// How long a refused password is remembered for its login (user, address and port).
constexpr int kRefusalMemorySeconds = 60;

// Whether the password of this run was refused for `login` within the last kRefusalMemorySeconds
// (by any tool run of this user); then the refusal is explained again on standard error as Describe
// says, and the server is not asked again, so that one job's probes cost the account one failed
// login, not one each. The memory is a marker file in the private control folder named by an HMAC
// of the password and the login (never the password itself). Call after BeginRun.
bool RefusedRecently(const std::string& toolName, const SshToolSettings& settings, const SshLogin& login);

// Explains `failure` on standard error as Describe says, with the host FailingHost finds in
// `errorText` (nothing for SshFailure::None), and, for a login the guest itself refused, remembers
// the refusal for RefusedRecently.
void Report(SshFailure failure, const std::string& toolName, const SshLogin& login, const SshToolSettings& settings,
            const std::string& errorText);

// What a tool says on standard error, after its name and before the reason, when the control
// folder cannot be used safely: every command then logs in on its own.
constexpr const char* kControlFolderUnsafeText =
    "guest sessions and connection reuse are off (every command logs in on its own), the control folder is not safe";

// `text` as one value of an OpenSSH option given with -o: in double quotes, with backslash and
// double quote escaped, when it holds a blank, a quote or a backslash; as it is otherwise.
std::string OptionValue(const std::string& text);

// `text` with every '%' doubled, for options whose values OpenSSH expands (%h, %C, ...).
std::string LiteralPercent(const std::string& text);

}  // namespace OpenSshCommand
