#include "SshdFixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <crypt.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/CNyPath.h"

namespace zqtest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr const char* kSftpServer = "/usr/lib/openssh/sftp-server";
constexpr int kCommandSeconds = 30;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc);
  out << content;
}

// Parent process id of `pid`, from /proc; -1 when it is gone.
pid_t ParentOf(pid_t pid) {
  std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  pid_t parent = -1;
  fields >> state >> parent;
  return parent;
}

std::vector<pid_t> AllProcesses() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

std::vector<pid_t> DescendantsOf(pid_t root) {
  std::set<pid_t> family{root};
  std::vector<pid_t> found;
  bool grew = true;
  while (grew) {
    grew = false;
    for (pid_t pid : AllProcesses()) {
      if (family.count(pid) == 0 && family.count(ParentOf(pid)) != 0) {
        family.insert(pid);
        found.push_back(pid);
        grew = true;
      }
    }
  }
  return found;
}

// Waits for our child `pid` for at most `seconds`; true when it was reaped, its wait status in
// `status`.
bool ReapWithin(pid_t pid, double seconds, int* status = nullptr) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  int ignored = 0;
  if (status == nullptr) status = &ignored;
  do {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return false;
}

}  // namespace

int FreeLoopbackPort(const std::string& address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &where.sin_addr);
  socklen_t length = sizeof where;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
    port = ntohs(where.sin_port);
  }
  close(fd);
  return port;
}

namespace {

// Whether a server on address:port sends an SSH greeting within `milliseconds`.
bool Greets(const std::string& address, int port, int milliseconds) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &where.sin_addr);
  bool greeted = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
    pollfd wait{fd, POLLIN, 0};
    char banner[4] = {};
    greeted = poll(&wait, 1, milliseconds) == 1 && recv(fd, banner, sizeof banner, MSG_WAITALL) == 4 &&
              std::memcmp(banner, "SSH-", 4) == 0;
  }
  close(fd);
  return greeted;
}

bool RunOrExplain(const std::string& command, std::string& problem) {
  std::string output;
  int status = RunBounded(command, kCommandSeconds, output);
  if (status != 0) problem = "'" + command + "' failed (" + std::to_string(status) + "): " + output;
  return status == 0;
}

}  // namespace

int RunBounded(const std::string& command, int seconds, std::string& output) {
  output.clear();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    setpgid(0, 0);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  bool timedOut = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd wait{pipeFds[0], POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    output.append(buffer, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  double left = std::chrono::duration<double>(deadline - Clock::now()).count();
  int status = 0;
  if (timedOut || !ReapWithin(child, left > 0 ? left : 0, &status)) {
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return 124;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

namespace {

constexpr const char* kShadowAging = ":19000:0:99999:7:::";
constexpr uid_t kFirstTestId = 61000;

// The account world of this test program: private account files and the test user's home in one
// temporary folder, removed when the program ends.
struct AccountWorld {
  std::string folder;
  std::string password;
  std::string rootPassword;
  uid_t uid = 0;
  bool ready = false;

  ~AccountWorld() {
    if (!folder.empty()) CNyDirectory::Remove(folder, true, true);
  }
};

AccountWorld& World() {
  static AccountWorld world;
  return world;
}

std::mutex& WorldMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string RandomText(size_t bytes) {
  std::ifstream random("/dev/urandom", std::ios::binary);
  std::string text;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes; ++i) {
    unsigned char byte = static_cast<unsigned char>(random.get());
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// The crypt(3) hash of `password` with a fresh SHA-512 salt; empty when libcrypt fails.
std::string HashPassword(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return "";
  crypt_data data{};
  const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
  return hash != nullptr && hash[0] != '*' ? hash : "";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string FirstField(const std::string& line) { return line.substr(0, line.find(':')); }

// Whether a line of passwd or group uses `id` as its third field.
bool UsesId(const std::string& line, uid_t id) {
  std::istringstream fields(line);
  std::string field;
  for (int i = 0; i < 3 && std::getline(fields, field, ':'); ++i) {
  }
  return field == std::to_string(id);
}

bool WriteFileWithMode(const std::string& path, const std::string& content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  return close(fd) == 0 && ok;
}

bool BuildWorld(AccountWorld& world, std::string& problem) {
  const std::string realPasswd = ReadWholeFile("/etc/passwd");
  const std::string realGroup = ReadWholeFile("/etc/group");
  if (realPasswd.find("root:") != 0) {
    problem = "cannot read /etc/passwd";
    return false;
  }
  uid_t id = kFirstTestId;
  auto taken = [&](uid_t candidate) {
    for (const std::string& line : Lines(realPasswd)) {
      if (UsesId(line, candidate)) return true;
    }
    for (const std::string& line : Lines(realGroup)) {
      if (UsesId(line, candidate)) return true;
    }
    return false;
  };
  while (taken(id)) ++id;

  char pattern[] = "/tmp/zqaccounts.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    problem = "cannot create a folder for the test accounts";
    return false;
  }
  world.folder = pattern;
  world.uid = id;
  world.password = "Zq-test pass'1$" + RandomText(8);
  world.rootPassword = "Zq-root pass\"2`" + RandomText(8);
  const std::string home = world.folder + "/home";
  // The test user's shell must be able to walk into its home.
  chmod(world.folder.c_str(), 0755);
  if (mkdir(home.c_str(), 0755) != 0 || chown(home.c_str(), id, id) != 0) {
    problem = "cannot create the test user's home " + home;
    return false;
  }
  const std::string userHash = HashPassword(world.password);
  const std::string rootHash = HashPassword(world.rootPassword);
  if (userHash.empty() || rootHash.empty()) {
    problem = "libcrypt cannot hash a password";
    return false;
  }

  std::string passwd, shadow, group;
  for (const std::string& line : Lines(realPasswd)) {
    const std::string name = FirstField(line);
    if (name == SshTestUsers::kUser) continue;
    passwd += line + "\n";
    shadow += name + ":" + (name == "root" ? rootHash : "*") + kShadowAging + "\n";
  }
  const std::string ids = std::to_string(id);
  passwd += std::string(SshTestUsers::kUser) + ":x:" + ids + ":" + ids + "::" + home + ":/bin/bash\n";
  shadow += std::string(SshTestUsers::kUser) + ":" + userHash + kShadowAging + "\n";
  for (const std::string& line : Lines(realGroup)) {
    if (FirstField(line) != SshTestUsers::kUser) group += line + "\n";
  }
  group += std::string(SshTestUsers::kUser) + ":x:" + ids + ":\n";
  if (!WriteFileWithMode(world.folder + "/passwd", passwd, 0644) ||
      !WriteFileWithMode(world.folder + "/group", group, 0644) ||
      !WriteFileWithMode(world.folder + "/shadow", shadow, 0600)) {
    problem = "cannot write the private account files in " + world.folder;
    return false;
  }
  return true;
}

// Puts the private account files in place of the machine's, for this process and what it starts
// only. Runs in the child between fork and exec: system calls only.
bool EnterAccountNamespace(const std::string& passwd, const std::string& shadow, const std::string& group) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  // A slave of the caller's mounts: nothing mounted here reaches the caller's namespace or the
  // machine's, while what a test mounts later in its own namespace (a small file system at a
  // guest folder, say) still reaches the server.
  if (mount("none", "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) return false;
  return mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0 &&
         mount(shadow.c_str(), "/etc/shadow", nullptr, MS_BIND, nullptr) == 0 &&
         mount(group.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace

bool SshTestUsers::Ensure(std::string& problem) {
  std::lock_guard<std::mutex> guard(WorldMutex());
  AccountWorld& world = World();
  if (world.ready) return true;
  if (!world.folder.empty()) CNyDirectory::Remove(world.folder, true, true);
  world.folder.clear();
  world.ready = BuildWorld(world, problem);
  return world.ready;
}

const std::string& SshTestUsers::Password() {
  std::string ignored;
  Ensure(ignored);
  return World().password;
}

const std::string& SshTestUsers::RootPassword() {
  std::string ignored;
  Ensure(ignored);
  return World().rootPassword;
}

uid_t SshTestUsers::UserId() {
  std::string ignored;
  Ensure(ignored);
  return World().uid;
}

gid_t SshTestUsers::GroupId() { return static_cast<gid_t>(UserId()); }

std::string SshTestUsers::Home() {
  std::string ignored;
  return Ensure(ignored) ? World().folder + "/home" : "";
}

std::string SshTestUsers::AccountFolder() {
  std::lock_guard<std::mutex> guard(WorldMutex());
  return World().folder;
}

SshdServer::SshdServer(SshdOptions options) : m_options(std::move(options)) {}

SshdServer::~SshdServer() {
  Stop();
  if (!m_folder.empty()) CNyDirectory::Remove(m_folder, true, true);
}

bool SshdServer::CanRun(std::string& reason) {
  if (geteuid() != 0) {
    reason = "the sshd tests need root (to run sshd in a mount namespace of its own)";
    return false;
  }
  if (access(kSshd, X_OK) != 0) {
    reason = std::string(kSshd) + " is missing (Debian package openssh-server)";
    return false;
  }
  return true;
}

bool SshdServer::PrepareFolder(std::string& problem) {
  char pattern[] = "/tmp/zqsshd.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    problem = "cannot create a folder for sshd";
    return false;
  }
  m_folder = pattern;
  mkdir("/run/sshd", 0755);  // sshd's privilege-separation folder
  if (!RunOrExplain("ssh-keygen -q -t ed25519 -N '' -f " + m_folder + "/host_key", problem)) return false;
  std::ostringstream config;
  config << "ListenAddress " << m_options.address << ":" << m_port << "\n"
         << "HostKey " << m_folder << "/host_key\n"
         << "PidFile none\nUsePAM no\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
         << "PubkeyAuthentication no\nAuthorizedKeysFile none\nPermitRootLogin yes\nStrictModes no\n"
         << "UseDNS no\nPrintMotd no\nPrintLastLog no\nX11Forwarding no\nMaxStartups 100\nMaxSessions 100\n"
         << "LoginGraceTime 20\nLogLevel VERBOSE\n";
  if (m_options.sftp) config << "Subsystem sftp " << kSftpServer << "\n";
  if (!m_options.sessionEnvironment.empty()) {
    config << "SetEnv";
    for (const std::string& variable : m_options.sessionEnvironment) config << " \"" << variable << "\"";
    config << "\n";
  }
  WriteWholeFile(m_folder + "/sshd_config", config.str());
  return true;
}

bool SshdServer::Start(std::string& problem) {
  if (IsRunning()) return true;
  if (!CanRun(problem) || !SshTestUsers::Ensure(problem)) return false;
  m_port = m_options.port != 0 ? m_options.port : FreeLoopbackPort(m_options.address);
  if (m_port == 0) {
    problem = "no free port on " + m_options.address;
    return false;
  }
  if (m_folder.empty() && !PrepareFolder(problem)) return false;
  std::string logPath = m_folder + "/sshd.log";
  std::string configPath = m_folder + "/sshd_config";
  const std::string accounts = SshTestUsers::AccountFolder();
  const std::string passwd = accounts + "/passwd";
  const std::string shadow = accounts + "/shadow";
  const std::string group = accounts + "/group";
  pid_t child = fork();
  if (child < 0) {
    problem = "cannot fork for sshd";
    return false;
  }
  if (child == 0) {
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    if (!EnterAccountNamespace(passwd, shadow, group)) {
      static const char kNoNamespace[] = "cannot give sshd private account files (mount namespace)\n";
      ssize_t ignored = write(STDERR_FILENO, kNoNamespace, sizeof kNoNamespace - 1);
      (void)ignored;
      _exit(126);
    }
    execl(kSshd, kSshd, "-D", "-e", "-f", configPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  m_pid = child;
  if (!WaitForGreeting(problem)) {
    Stop();
    return false;
  }
  return true;
}

bool SshdServer::WaitForGreeting(std::string& problem) {
  auto deadline = Clock::now() + std::chrono::seconds(m_options.startSeconds);
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      problem = "sshd ended at once: " + Log();
      return false;
    }
    if (Greets(m_options.address, m_port, 500)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  problem = "sshd did not greet on " + m_options.address + ":" + std::to_string(m_port) + ": " + Log();
  return false;
}

void SshdServer::Stop() {
  if (m_pid <= 0) return;
  // The whole family first: once the listener is gone its sessions would be orphans.
  std::vector<pid_t> family = DescendantsOf(m_pid);
  kill(m_pid, SIGKILL);
  for (pid_t pid : family) {
    kill(pid, SIGCONT);
    kill(pid, SIGKILL);
  }
  ReapWithin(m_pid, 5);
  m_pid = -1;
}

std::string SshdServer::HostPublicKey() const {
  std::string line = ReadWholeFile(m_folder + "/host_key.pub");
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

std::string SshdServer::Log() const { return m_folder.empty() ? "" : ReadWholeFile(m_folder + "/sshd.log"); }

std::vector<pid_t> SshdServer::SessionProcesses() const {
  return m_pid > 0 ? DescendantsOf(m_pid) : std::vector<pid_t>{};
}

}  // namespace zqtest
