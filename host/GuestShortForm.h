// The one-command form of zqrestore for one SSH guest: "--guest [user@]address[:port] --guest-os
// linux|windows" and a password from a file, an environment variable or a prompt. zqrestore then
// builds the inventory, application configuration and settings such a job needs in a private
// folder of its own (mode 0700), hands the job to the plug-in in memory, and removes the folder
// when it ends. The guest's password is never written: it goes to the plug-in as the job file's
// password does.
#pragma once

#include <sys/types.h>

#include <string>

#include "host/JobFile.h"

// One guest as the operator names it.
struct GuestAddress {
  std::string user;     // empty: the name of the account that runs zqrestore, as ssh does
  std::string address;  // a host name, an IPv4 address, or an IPv6 address (without brackets)
  std::string port;     // empty: 22, or what the installation's OpenSSH configuration says
};

// Reads "[user@]address[:port]" (an IPv6 address in brackets: "[fe80::1]:2222"). False with
// `error` in the operator's words when it is not one.
bool ParseGuestAddress(const std::string& text, GuestAddress& out, std::string& error);

// The short form's options as given on the command line.
struct ShortFormOptions {
  std::string guest;         // --guest
  std::string guestOs;       // --guest-os: linux or windows
  std::string passwordFile;  // --password-file
  std::string passwordEnv;   // --password-env
};

// What the command line as a whole says beyond the options themselves.
struct CommandShape {
  bool jobGiven = false;          // --job
  bool destinationGiven = false;  // --destination
  bool needsDestination = false;  // restore (a guest command works without one)
  bool canPrompt = false;         // standard input is a terminal
};

// Why the short form (or the long form) cannot run as given: both forms mixed, neither given, a
// piece of the short form missing, two password sources. Empty when it can.
std::string ShortFormProblem(const ShortFormOptions& options, const CommandShape& shape);

// The guest's password: from the file (at most 64 KiB, without one trailing line break), from
// the environment variable (which is then wiped and removed, so no program zqrestore starts
// inherits it), or asked for on the terminal without echo ("Password for WHO: "). False with
// `error` when none serves.
bool ReadGuestPassword(const ShortFormOptions& options, const std::string& who, std::string& password,
                       std::string& error);

// The job the short form stands for, with the password already read. `destination` may be empty
// for a guest command.
void BuildShortFormJob(const GuestAddress& guest, bool windowsGuest, const std::string& destination,
                       std::string password, JobFile& job);

// The private folder of one short-form run, removed with everything in it when the object goes,
// or by RemoveNow from a signal handler.
class PrivateInstallation {
 public:
  PrivateInstallation() = default;
  ~PrivateInstallation();
  PrivateInstallation(const PrivateInstallation&) = delete;
  PrivateInstallation& operator=(const PrivateInstallation&) = delete;

  // Makes the folder below $TMPDIR (else /tmp) and writes the inventory, the application
  // configuration, an OpenSSH configuration that carries the port and includes the
  // installation's own, and the settings: those of `settingsFile` (empty or missing: the
  // package's defaults) with the inventory, the application configuration and the OpenSSH
  // configuration replaced. False with `error` when any of it cannot be made; what was made is
  // removed again.
  bool Create(const std::string& settingsFile, const GuestAddress& guest, const JobFile& job, std::string& error);

  const std::string& Folder() const { return m_folder; }
  std::string SettingsFile() const;

  // Removes the folder of the run, if any, with only async-signal-safe calls.
  static void RemoveNow();

 private:
  bool WriteFile(const char* name, const std::string& text, std::string& error);

  std::string m_folder;
  // The process that removes the folder once this one has ended in any way, a SIGKILL included:
  // it waits for the end of a pipe whose only writer is this process.
  pid_t m_janitor = -1;
  int m_janitorPipe = -1;
};

// What the package's settings would say, for a run without a settings file: found from where the
// running program is installed, and from the running account.
struct PackageDefaults {
  std::string baseHome;        // <prefix>/libexec/zqrestore
  std::string sshConfigFile;   // /etc/zqrestore/ssh_config (<prefix>/etc/... outside /usr)
  // root: /var/lib/zqrestore/known_hosts; another account: $XDG_STATE_HOME/zqrestore/known_hosts,
  // else ~/.local/state/zqrestore/known_hosts; empty when neither is known.
  std::string knownHostsFile;

  static PackageDefaults ForThisProgram();
  static PackageDefaults ForAccount(uid_t account);
};

// The settings text the private installation uses: `installationText` (an INI text) with the
// inventory, the application configuration and the OpenSSH configuration of `folder`. Without an
// installation's settings, `defaults` give the tools' folder and known_hosts, and `folder` holds
// the job results.
std::string PrivateSettingsText(const std::string& installationText, bool installationPresent,
                                const std::string& folder, const PackageDefaults& defaults);

// The OpenSSH configuration of the private installation: the guest's port, if given, then the
// installation's own configuration file `included` when it is not empty.
std::string PrivateSshConfigText(const GuestAddress& guest, const std::string& included);
