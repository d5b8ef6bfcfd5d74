#include "host/GuestShortForm.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "host/SecretMask.h"
#include "platform/InputLimits.h"
#include "platform/ProxyInputFile.h"
#include "platform/ZQPlatformInfo.h"
#include "platform/pstring.h"

#ifndef ZQ_INSTALL_BASEDIR
#define ZQ_INSTALL_BASEDIR "libexec/zqrestore"
#endif

namespace {

// Names inside the private installation; the one server of its inventory lists the one guest.
constexpr const char* kInventoryName = "inventory.json";
constexpr const char* kAppsName = "apps.json";
constexpr const char* kSshConfigName = "ssh_config";
constexpr const char* kSettingsName = "zqrestore.ini";
constexpr const char* kJobResultsName = "jobresults";
constexpr const char* kServerName = "zqrestore-guest";
constexpr const char* kServerUser = "zqrestore";
constexpr int kSshOnlyInstanceType = 601;
constexpr int kAppId = 1;
constexpr int kInstanceId = 1;
constexpr size_t kSettingsMaxBytes = 1024 * 1024;
constexpr size_t kPasswordMaxBytes = 64 * 1024;
// Deeper than any staging tree (ZQ_JobResults/A/B/C/run-*/ForGuestVM/...) a removal never goes.
constexpr int kRemoveMaxDepth = 64;

// The folder of the running short form, for removal from a signal handler: fixed storage only.
char g_folder[PATH_MAX];
std::atomic<bool> g_folderSet{false};

bool IsHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

bool IsIpv6Character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// A user name as it may stand before "@": no blanks, no control characters, not an option.
bool IsUsableUser(const std::string& user) {
  if (user.empty() || user.front() == '-') return false;
  for (unsigned char c : user) {
    if (c <= ' ' || c == 0x7f || c == '@' || c == ':') return false;
  }
  return true;
}

std::string AccountName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  const char* fromEnvironment = getenv("USER");
  return fromEnvironment != nullptr ? fromEnvironment : "";
}

std::string RandomGuid() {
  unsigned char bytes[16] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0f]);
  }
  return text;
}

// Reads one line from the terminal on standard input without echo. The terminal's settings are
// put back whatever happens.
bool PromptPassword(const std::string& who, std::string& password, std::string& error) {
  const std::string prompt = "Password for " + who + ": ";
  const ssize_t ignored = write(STDERR_FILENO, prompt.data(), prompt.size());
  (void)ignored;
  struct termios saved {};
  const bool haveSettings = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (haveSettings) {
    struct termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
    quiet.c_lflag |= ICANON;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  bool ended = false;
  bool tooLong = false;
  char c = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (password.size() >= kPasswordMaxBytes) {
      tooLong = true;
    } else {
      password.push_back(c);
    }
  }
  c = 0;
  if (haveSettings) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  const ssize_t ignoredToo = write(STDERR_FILENO, "\n", 1);
  (void)ignoredToo;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (tooLong || !ended) {
    WipeString(password);
    error = tooLong ? "the password typed is longer than 65536 bytes" : "no password was typed";
    return false;
  }
  return true;
}

// Removes `name` in the folder `parent` with everything below it, without following links and
// with async-signal-safe calls only (the entries are read with getdents64 into a fixed buffer).
bool RemoveTreeAt(int parent, const char* name, int depth) {
  if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return true;
  if (depth >= kRemoveMaxDepth) return false;
  const int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return false;
  struct LinuxDirent {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
  };
  alignas(8) char buffer[4096];
  for (;;) {
    const long got = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
    if (got <= 0) break;
    bool removedAny = false;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const LinuxDirent*>(buffer + at);
      at += entry->reclen;
      const char* child = buffer + (at - entry->reclen) + offsetof(LinuxDirent, name);
      if (strcmp(child, ".") == 0 || strcmp(child, "..") == 0) continue;
      if (RemoveTreeAt(folder, child, depth + 1)) removedAny = true;
    }
    // Entries were removed while reading: read the folder again from its start, until a pass
    // removes nothing more.
    if (!removedAny) break;
    lseek(folder, 0, SEEK_SET);
  }
  close(folder);
  return unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

void RemoveFolder(const char* path) {
  if (path[0] == '\0') return;
  RemoveTreeAt(AT_FDCWD, path, 0);
}

std::string QuotedForSshConfig(const std::string& path) { return "\"" + path + "\""; }

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The installation zqrestore runs from: the folder above its bin folder (/usr for the package).
std::string InstallationPrefix() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "/usr";
  return ParentOf(ParentOf(std::string(buffer, static_cast<size_t>(length))));
}

// Makes the missing folders of `folder` (mode 0700), each in the one before it.
void MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    mkdir(folder.substr(0, slash).c_str(), 0700);
    if (slash == std::string::npos) break;
  }
}

}  // namespace

bool ParseGuestAddress(const std::string& text, GuestAddress& out, std::string& error) {
  out = GuestAddress();
  const std::string shown = "--guest [" + text + "]";
  std::string rest = text;
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    out.user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    if (!IsUsableUser(out.user)) {
      error = shown + ": the user name before \"@\" is empty or holds blanks or control characters";
      return false;
    }
  }
  if (rest.empty()) {
    error = shown + ": no address; give [user@]address[:port], such as root@192.0.2.10:2222";
    return false;
  }
  if (rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      error = shown + ": an IPv6 address opened with \"[\" needs its \"]\"";
      return false;
    }
    out.address = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    bool valid = !out.address.empty() && out.address.find(':') != std::string::npos;
    for (char c : out.address) valid = valid && IsIpv6Character(c);
    if (!valid) {
      error = shown + ": [" + out.address + "] is not an IPv6 address";
      return false;
    }
    if (!rest.empty() && rest.front() != ':') {
      error = shown + ": only \":port\" may follow the IPv6 address in brackets";
      return false;
    }
  } else {
    const size_t colon = rest.find(':');
    if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
      error = shown + ": an IPv6 address goes in brackets, such as [fe80::1]:22";
      return false;
    }
    out.address = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon);
    bool valid = !out.address.empty() && out.address.front() != '-' && out.address.front() != '.';
    for (char c : out.address) valid = valid && IsHostNameCharacter(c);
    if (!valid) {
      error = shown + ": [" + out.address + "] is not a host name or an IP address";
      return false;
    }
  }
  if (!rest.empty()) {
    out.port = rest.substr(1);
    bool digits = !out.port.empty() && out.port.size() <= 5;
    for (char c : out.port) digits = digits && c >= '0' && c <= '9';
    const long number = digits ? std::strtol(out.port.c_str(), nullptr, 10) : 0;
    if (!digits || number < 1 || number > 65535) {
      error = shown + ": the port [" + out.port + "] is not a number from 1 to 65535";
      return false;
    }
    out.port = std::to_string(number);
  }
  return true;
}

std::string ShortFormProblem(const ShortFormOptions& options, const CommandShape& shape) {
  const bool anyShort = !options.guest.empty() || !options.guestOs.empty() || !options.passwordFile.empty() ||
                        !options.passwordEnv.empty();
  if (shape.jobGiven) {
    if (!anyShort) return "";
    return "--job and the options of one guest (--guest, --guest-os, --password-file, --password-env) do not "
           "go together: use either the job file or the guest's options";
  }
  if (options.guest.empty()) {
    if (anyShort) return "--guest-os, --password-file and --password-env need --guest [user@]address[:port]";
    return std::string("name the guest: --job FILE, or --guest [user@]address[:port] --guest-os linux|windows") +
           (shape.needsDestination ? " --destination FOLDER" : "");
  }
  if (options.guestOs.empty()) return "--guest needs --guest-os linux or --guest-os windows";
  if (options.guestOs != "linux" && options.guestOs != "windows") {
    return "--guest-os [" + options.guestOs + "]: say linux or windows";
  }
  if (!options.passwordFile.empty() && !options.passwordEnv.empty()) {
    return "give the guest's password once: --password-file or --password-env, not both";
  }
  if (options.passwordFile.empty() && options.passwordEnv.empty() && !shape.canPrompt) {
    return "no password for the guest: give --password-file FILE or --password-env NAME (zqrestore asks for it "
           "only on a terminal)";
  }
  if (shape.needsDestination && !shape.destinationGiven) {
    return "--guest needs --destination FOLDER: the folder inside the guest that receives the entries";
  }
  return "";
}

namespace {

// Reads the guest's password from the one place the options name; `where` says which, in the
// operator's words.
bool ReadGuestPasswordFrom(const ShortFormOptions& options, const std::string& who, std::string& password,
                           std::string& where, std::string& error) {
  if (!options.passwordFile.empty()) {
    where = "--password-file " + options.passwordFile;
    std::string problem;
    if (!ReadPasswordFile(options.passwordFile, password, problem)) {
      error = where + " " + problem;
      return false;
    }
    return true;
  }
  if (!options.passwordEnv.empty()) {
    where = "--password-env " + options.passwordEnv;
    char* value = getenv(options.passwordEnv.c_str());
    if (value == nullptr) {
      error = where + ": the environment variable is not set";
      return false;
    }
    password = value;
    explicit_bzero(value, strlen(value));
    unsetenv(options.passwordEnv.c_str());
    return true;
  }
  where = "the password typed for " + who;
  return PromptPassword(who, password, error);
}

}  // namespace

bool ReadGuestPassword(const ShortFormOptions& options, const std::string& who, std::string& password,
                       std::string& error) {
  WipeString(password);
  std::string where;
  if (!ReadGuestPasswordFrom(options, who, password, where, error)) return false;
  const std::string shortPassword = ShortPasswordProblem(password);
  if (shortPassword.empty()) return true;
  WipeString(password);
  error = where + ": " + shortPassword;
  return false;
}

void BuildShortFormJob(const GuestAddress& guest, bool windowsGuest, const std::string& destination,
                       std::string password, JobFile& job) {
  job.vmName = guest.address;
  job.vmGuid = RandomGuid();
  job.serverName = kServerName;
  job.server.userName = kServerUser;
  job.guest.userName = guest.user.empty() ? AccountName() : guest.user;
  job.guest.password = std::move(password);
  WipeString(password);
  job.destination = destination;
  job.unixGuest = !windowsGuest;
  job.restoreACLs = !windowsGuest;
  job.instanceId = kInstanceId;
  job.instanceType = kSshOnlyInstanceType;
  job.ids.jobId = 1;
  job.ids.initIdA = 1;
  job.ids.initAppId = kAppId;
  job.ids.initIdB = 1;
  job.ids.initIdC = 1;
}

PackageDefaults PackageDefaults::ForThisProgram() { return ForAccount(geteuid()); }

PackageDefaults PackageDefaults::ForAccount(uid_t account) {
  PackageDefaults defaults;
  const std::string prefix = InstallationPrefix();
  defaults.baseHome = (prefix == "/" ? "" : prefix) + "/" + ZQ_INSTALL_BASEDIR;
  defaults.sshConfigFile = (prefix == "/usr" ? std::string() : prefix) + "/etc/zqrestore/ssh_config";
  if (account == 0) {
    defaults.knownHostsFile = "/var/lib/zqrestore/known_hosts";
  } else {
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    if (state != nullptr && state[0] == '/') {
      defaults.knownHostsFile = std::string(state) + "/zqrestore/known_hosts";
    } else if (home != nullptr && home[0] == '/') {
      defaults.knownHostsFile = std::string(home) + "/.local/state/zqrestore/known_hosts";
    }
  }
  return defaults;
}

std::string PrivateSettingsText(const std::string& installationText, bool installationPresent,
                                const std::string& folder, const PackageDefaults& defaults) {
  auto sections = ParseIniText(installationText);
  if (!installationPresent) {
    sections["Base"]["dBASEHOME"] = defaults.baseHome;
    if (!defaults.knownHostsFile.empty()) sections["SSH"]["KnownHostsFile"] = defaults.knownHostsFile;
    sections["JobResults"]["Directory"] = folder + "/" + kJobResultsName;
  }
  sections["VirtualServer"]["InventoryFile"] = folder + "/" + kInventoryName;
  sections["VirtualServer"]["AppConfigFile"] = folder + "/" + kAppsName;
  sections["SSH"]["ConfigFile"] = folder + "/" + kSshConfigName;
  std::string text = "; Made by zqrestore for one run; removed when it ends.\n";
  for (const auto& [section, keys] : sections) {
    text += "[" + section + "]\n";
    for (const auto& [key, value] : keys) text += key + " = " + value + "\n";
  }
  return text;
}

std::string PrivateSshConfigText(const GuestAddress& guest, const std::string& included) {
  // OpenSSH takes the first value it meets: the port given on the command line comes first, the
  // installation's own settings (jump hosts, key files) after it.
  std::string text;
  if (!guest.port.empty()) text += "Host " + guest.address + "\n  Port " + guest.port + "\n";
  if (!included.empty()) text += "Host *\n  Include " + QuotedForSshConfig(included) + "\n";
  return text;
}

PrivateInstallation::~PrivateInstallation() {
  if (m_folder.empty()) return;
  g_folderSet.store(false);
  RemoveFolder(m_folder.c_str());
  g_folder[0] = '\0';
  if (m_janitorPipe >= 0) close(m_janitorPipe);
  if (m_janitor > 0) {
    while (waitpid(m_janitor, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

namespace {

// Starts the janitor of `folder`: a shell that reads its standard input, a pipe whose write end
// only this process holds (close-on-exec, so no child keeps it), and removes the folder when that
// pipe ends, that is when this process has ended however it ended. rm never follows a link inside
// the folder, and the folder itself, in a sticky or private folder, can only be renamed by us.
// -1 when it cannot be started; the folder is then removed only by this process.
pid_t StartJanitor(const std::string& folder, int& writeEnd) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group: Ctrl-C on the terminal must not end it before the folder is gone.
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  const char* argv[] = {"sh", "-c", "cat >/dev/null; exec rm -rf -- \"$1\"", "zqrestore-janitor", folder.c_str(),
                        nullptr};
  const char* environment[] = {"PATH=/usr/bin:/bin", "LC_ALL=C", nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char* const*>(argv),
                                  const_cast<char* const*>(environment));
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[0]);
  if (spawned != 0) {
    close(ends[1]);
    return -1;
  }
  writeEnd = ends[1];
  return pid;
}

}  // namespace

void PrivateInstallation::RemoveNow() {
  if (g_folderSet.exchange(false)) RemoveFolder(g_folder);
}

std::string PrivateInstallation::SettingsFile() const { return m_folder + "/" + kSettingsName; }

bool PrivateInstallation::WriteFile(const char* name, const std::string& text, std::string& error) {
  const std::string path = m_folder + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (!ok) error = "cannot write " + path + ": " + strerror(errno);
  return ok;
}

bool PrivateInstallation::Create(const std::string& settingsFile, const GuestAddress& guest, const JobFile& job,
                                 std::string& error) {
  std::string installationText;
  bool installationPresent = false;
  struct stat info {};
  if (!settingsFile.empty() && stat(settingsFile.c_str(), &info) == 0) {
    std::string problem;
    if (!ProxyInputFile::ReadText(settingsFile, ProxyInputFile::Role::Config, kSettingsMaxBytes, installationText,
                                  problem)) {
      error = "settings file " + settingsFile + " " + problem;
      return false;
    }
    installationPresent = true;
  }
  const char* temporary = getenv("TMPDIR");
  const std::string base = temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp";
  std::string pattern = base + "/zqrestore-XXXXXX";
  if (pattern.size() >= sizeof g_folder) {
    error = "the temporary folder " + base + " has too long a path";
    return false;
  }
  // mkdtemp makes a new folder of mode 0700 under a name nobody could have chosen first.
  if (mkdtemp(pattern.data()) == nullptr) {
    error = "cannot make a private folder in " + base + ": " + strerror(errno);
    return false;
  }
  m_folder = pattern;
  memcpy(g_folder, m_folder.c_str(), m_folder.size() + 1);
  g_folderSet.store(true);
  m_janitor = StartJanitor(m_folder, m_janitorPipe);

  // The installation's own OpenSSH configuration (its port, jump host and key lines) still counts.
  const auto sections = ParseIniText(installationText);
  auto lookup = [&sections](const char* section, const char* key) -> std::string {
    const auto found = sections.find(section);
    if (found == sections.end()) return "";
    const auto value = found->second.find(key);
    return value == found->second.end() ? "" : value->second;
  };
  const PackageDefaults defaults = PackageDefaults::ForThisProgram();
  std::string included = defaults.sshConfigFile;
  if (installationPresent) {
    std::string baseHome = lookup("Base", "dBASEHOME");
    if (baseHome.empty()) baseHome = defaults.baseHome;
    included = lookup("SSH", "ConfigFile");
    if (included.empty()) included = baseHome + "/ssh_config";
  } else if (!defaults.knownHostsFile.empty()) {
    // OpenSSH records a host key only in a folder that is there.
    MakeFolders(ParentOf(defaults.knownHostsFile));
  }
  if (included.find('"') != std::string::npos) {
    error = "the OpenSSH configuration file [" + included + "] of the settings holds a double quote";
    return false;
  }

  const nlohmann::json inventory = {
      {"servers",
       {{{"name", kServerName},
         {"instanceType", kSshOnlyInstanceType},
         {"credentials", {{{"user", kServerUser}, {"password", ""}}}},
         {"vms",
          {{{"name", job.vmName},
            {"guid", job.vmGuid},
            {"guestIpAddresses", {guest.address}},
            {"guestOs", job.unixGuest ? "unix" : "windows"}}}}}}}};
  const nlohmann::json apps = {
      {"applications", {{{"id", kAppId}, {"instance", kInstanceId}}}},
      {"instances", {{{"id", kInstanceId}, {"type", kSshOnlyInstanceType}, {"credentials", nlohmann::json::array()}}}}};
  const bool written = WriteFile(kInventoryName, inventory.dump(2) + "\n", error) &&
                       WriteFile(kAppsName, apps.dump(2) + "\n", error) &&
                       WriteFile(kSshConfigName, PrivateSshConfigText(guest, included), error) &&
                       WriteFile(kSettingsName,
                                 PrivateSettingsText(installationText, installationPresent, m_folder, defaults), error);
  WipeString(installationText);
  if (!written) return false;
  if (!installationPresent && mkdir((m_folder + "/" + kJobResultsName).c_str(), 0700) != 0) {
    error = "cannot make " + m_folder + "/" + kJobResultsName + ": " + strerror(errno);
    return false;
  }
  return true;
}
