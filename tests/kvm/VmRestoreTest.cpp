// zqrestore into a real QEMU VM under libvirtd, through the QEMU guest agent: the end-to-end proof
// of the KVM back-end. One VM serves the whole program: a guest made at test time from this
// machine's kernel and programs (make-guest-image.sh), booted as a transient libvirt domain with
// the agent's virtio-serial channel. Everything is checked inside the guest, through the agent.
//
// The VM runs on QEMU's emulation (TCG) unless ZQ_TEST_VM_ACCEL=kvm asks for KVM. libvirtd and
// virtlogd are started when they do not run, and stopped again at the end. The suite skips, loudly,
// only when this machine has no QEMU or no kernel to boot.
#include <libvirt/libvirt-qemu.h>
#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/RestoreHarness.h"
#include "hypervisor/AgentTransport.h"
#include "testbeds/sshd/SshdFixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::RestoreHarness;
using e2e::RunResult;

constexpr const char* kLibvirtUri = "qemu:///system";
constexpr int kLibvirtType = 701;
constexpr int kBootSeconds = 150;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What a guest program left, run through the agent directly (not through the component).
struct GuestRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// The test VM, shared by every test of the program.
class TestVM : public testing::Environment {
 public:
  static TestVM* instance;

  void SetUp() override {
    if (!zqtest::Exists("/usr/bin/qemu-system-x86_64") || KernelVersion().empty()) {
      m_skipReason = "THIS MACHINE CANNOT RUN QEMU (no qemu-system-x86_64 or no kernel in /boot): the KVM VM suite "
                     "did NOT run";
      std::cerr << "\n*** " << m_skipReason << " ***\n\n";
      return;
    }
    ::virSetErrorFunc(nullptr, [](void*, virErrorPtr) {});
    const Clock::time_point started = Clock::now();
    ASSERT_TRUE(ConnectToLibvirtd()) << "libvirtd does not answer at " << kLibvirtUri << ": " << virGetLastErrorMessage();
    std::string output;
    const std::string image = m_folder.Join("guest.cpio.gz");
    ASSERT_EQ(zqtest::RunBounded(std::string(ZQ_GUEST_IMAGE_SCRIPT) + " " + image + " " + KernelVersion(), 120, output), 0)
        << output;
    m_domainName = "zq-kvm-test-" + std::to_string(::getpid());
    m_domain = virDomainCreateXML(m_connection, DomainXml(image).c_str(), 0);
    ASSERT_NE(m_domain, nullptr) << "the test VM cannot be started: " << virGetLastErrorMessage();
    char uuid[VIR_UUID_STRING_BUFLEN] = {};
    ASSERT_EQ(virDomainGetUUIDString(m_domain, uuid), 0);
    m_uuid = uuid;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kBootSeconds);
    while (!Answers() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(Answers()) << "the guest agent did not answer within " << kBootSeconds << " s; console:\n"
                           << zqtest::ReadFile(m_folder.Join("console.log"));
    m_bootSeconds = SecondsSince(started);
    std::cout << "[ measure ] test VM (" << Accel() << ") started and its agent answered after " << m_bootSeconds
              << " s\n";
  }

  void TearDown() override {
    if (m_domain != nullptr) {
      virDomainDestroy(m_domain);
      virDomainFree(m_domain);
    }
    if (m_connection != nullptr) virConnectClose(m_connection);
    // Daemons this program started end with it, so the machine is left as it was found.
    for (const char* daemon : {"libvirtd", "virtlogd"}) {
      if (!m_startedDaemons) break;
      std::ifstream pidFile(std::string("/run/") + daemon + ".pid");
      pid_t pid = 0;
      if (pidFile >> pid && pid > 1) ::kill(pid, SIGTERM);
    }
  }

  const std::string& skipReason() const { return m_skipReason; }
  const std::string& name() const { return m_domainName; }
  const std::string& uuid() const { return m_uuid; }

  // One agent command, straight through libvirt; null when it failed.
  nlohmann::json Agent(const std::string& command, const nlohmann::json& arguments, int seconds = 30) {
    nlohmann::json request = {{"execute", command}};
    if (!arguments.is_null()) request["arguments"] = arguments;
    char* answer = virDomainQemuAgentCommand(m_domain, request.dump().c_str(), seconds, 0);
    if (answer == nullptr) return nullptr;
    const std::string text(answer);
    free(answer);
    nlohmann::json result;
    AgentFailure failure = AgentFailure::None;
    return ReadAgentAnswer(command, text, result, failure).ok() ? result : nlohmann::json();
  }

  // Runs a program in the guest and waits for it (30 s at most).
  GuestRun Run(const std::vector<std::string>& argv) {
    GuestRun run;
    const nlohmann::json started = Agent("guest-exec", {{"path", argv[0]},
                                                         {"arg", std::vector<std::string>(argv.begin() + 1, argv.end())},
                                                         {"capture-output", true}});
    if (!started.is_object()) return run;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      const nlohmann::json state = Agent("guest-exec-status", {{"pid", started["pid"]}});
      if (!state.is_object()) return run;
      if (state.value("exited", false)) {
        DecodeBase64(state.value("out-data", ""), run.out);
        DecodeBase64(state.value("err-data", ""), run.err);
        run.exitCode = state.value("exitcode", -1);
        return run;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return run;
  }

 private:
  static std::string KernelVersion() {
    std::string output;
    zqtest::RunBounded("ls /boot | sed -n 's/^vmlinuz-//p' | sort -V | tail -n 1", 10, output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return zqtest::Exists("/boot/vmlinuz-" + output) && zqtest::Exists("/lib/modules/" + output) ? output : "";
  }
  static std::string Accel() {
    const char* accel = std::getenv("ZQ_TEST_VM_ACCEL");
    return accel != nullptr && std::string(accel) == "kvm" ? "kvm" : "qemu";
  }

  bool ConnectToLibvirtd() {
    m_connection = virConnectOpen(kLibvirtUri);
    if (m_connection != nullptr) return true;
    std::string output;
    zqtest::RunBounded("virtlogd -d && libvirtd -d", 30, output);
    m_startedDaemons = true;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (m_connection == nullptr && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      m_connection = virConnectOpen(kLibvirtUri);
    }
    return m_connection != nullptr;
  }

  bool Answers() { return Agent("guest-ping", nullptr, 5).is_object(); }

  // A transient domain: nothing is defined on the host. QEMU runs as root without relabelling,
  // so it can read the kernel and the image in the test's folder.
  std::string DomainXml(const std::string& image) const {
    const std::string version = KernelVersion();
    return "<domain type='" + Accel() + "'><name>" + m_domainName +
           "</name><memory unit='MiB'>512</memory><vcpu>1</vcpu>"
           "<os><type arch='x86_64' machine='q35'>hvm</type><kernel>/boot/vmlinuz-" + version +
           "</kernel><initrd>" + image + "</initrd><cmdline>console=ttyS0 quiet panic=-1</cmdline></os>"
           "<on_poweroff>destroy</on_poweroff><on_reboot>destroy</on_reboot><on_crash>destroy</on_crash>"
           "<devices><serial type='file'><source path='" + m_folder.Join("console.log") + "'/></serial>"
           "<channel type='unix'><source mode='bind'/><target type='virtio' name='org.qemu.guest_agent.0'/></channel>"
           "<interface type='user'><model type='virtio'/></interface><memballoon model='none'/></devices>"
           "<seclabel type='static' model='dac' relabel='no'><label>+0:+0</label></seclabel></domain>";
  }

  zqtest::TempDir m_folder;
  virConnectPtr m_connection = nullptr;
  virDomainPtr m_domain = nullptr;
  bool m_startedDaemons = false;
  std::string m_domainName;
  std::string m_uuid;
  std::string m_skipReason;
  double m_bootSeconds = 0;
};

TestVM* TestVM::instance = nullptr;

class VmRestore : public testing::Test {
 protected:
  void SetUp() override {
    if (!vm.skipReason().empty()) GTEST_SKIP() << vm.skipReason();
    ASSERT_FALSE(vm.uuid().empty()) << "the test VM did not start";
  }

  nlohmann::json Job(const std::string& destination) {
    nlohmann::json job = harness.Job(vm.name(), vm.uuid(), destination, "root", "not checked on this kind");
    job["vm"]["server"] = kLibvirtUri;
    return job;
  }

  std::string GuestFile(const std::string& path) {
    const GuestRun run = vm.Run({"cat", "--", path});
    EXPECT_EQ(run.exitCode, 0) << path << ": " << run.err;
    return run.out;
  }

  // Every file name directly in a guest folder, read NUL-separated; a restore's temporary files
  // (".zqrestore-...") are left out.
  std::set<std::string> GuestNames(const std::string& folder) {
    const GuestRun run = vm.Run({"find", folder, "-mindepth", "1", "-maxdepth", "1", "-type", "f", "!", "-name",
                                 ".zqrestore-*", "-printf", "%f\\0"});
    std::set<std::string> names;
    for (size_t start = 0, end; (end = run.out.find('\0', start)) != std::string::npos; start = end + 1) {
      names.insert(run.out.substr(start, end - start));
    }
    return names;
  }

  // Runs a shell command line in the guest as the ordinary user "guest" (uid 1000).
  GuestRun AsGuestUser(const std::string& command) {
    return vm.Run({"/sbin/busybox", "su", "-s", "/bin/sh", "guest", "-c", command});
  }

  std::string GuestMd5(const std::string& path) {
    const GuestRun run = vm.Run({"md5sum", "--", path});
    EXPECT_EQ(run.exitCode, 0) << path << ": " << run.err;
    return run.out.substr(0, run.out.find(' '));
  }

  static std::string LocalMd5(const std::string& path) {
    std::string output;
    zqtest::RunBounded("md5sum < '" + path + "'", 30, output);
    return output.substr(0, output.find(' '));
  }

  void Measure(const RunResult& result, size_t entries) {
    std::cout << "[ measure ] " << entries << " entries in " << result.seconds << " s: "
              << 1000.0 * result.seconds / static_cast<double>(entries) << " ms per entry (emulated VM)\n";
  }

  TestVM& vm = *TestVM::instance;
  RestoreHarness harness{kLibvirtType};
  zqtest::TempDir source;
};

TEST_F(VmRestore, RestoresTheTreeWithContentOwnerModeAndTimesThenKeepsItOnTheSecondRun) {
  e2e::WriteSampleTree(source.path());
  const std::vector<e2e::SampleFile> files = e2e::SampleFiles();
  const std::string owned = files.front().path;  // restored with another owner and group
  ASSERT_EQ(::chown(source.Join(owned).c_str(), 1234, 2345), 0);
  const RunResult result = harness.Restore(Job("/restore"), source.path(), 150);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], e2e::SampleFiles().size());
  EXPECT_EQ(result.summary["failed"], 0);
  Measure(result, e2e::SampleFiles().size() + e2e::SampleFolders().size());

  std::vector<std::string> statArgs = {"stat", "--printf=%a %u %g %Y\\n", "--"};
  for (const e2e::SampleFile& file : files) statArgs.push_back("/restore/" + file.path);
  const GuestRun stats = vm.Run(statArgs);
  ASSERT_EQ(stats.exitCode, 0) << stats.err;
  std::istringstream lines(stats.out);
  for (const e2e::SampleFile& file : files) {
    SCOPED_TRACE(file.path);
    unsigned mode = 0;
    unsigned uid = 0;
    unsigned gid = 0;
    long long mtime = 0;
    lines >> std::oct >> mode >> std::dec >> uid >> gid >> mtime;
    EXPECT_EQ(mode, file.mode);
    EXPECT_EQ(uid, file.path == owned ? 1234u : 0u);
    EXPECT_EQ(gid, file.path == owned ? 2345u : 0u);
    EXPECT_EQ(mtime, file.mtime);
    EXPECT_EQ(GuestFile("/restore/" + file.path), file.content);
  }
  for (const std::string& folder : e2e::SampleFolders()) {
    EXPECT_EQ(vm.Run({"test", "-d", "/restore/" + folder}).exitCode, 0) << folder;
  }

  const RunResult again = harness.Restore(Job("/restore"), source.path(), 150);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(again.summary["kept"], e2e::SampleFiles().size() + e2e::SampleFolders().size());
  EXPECT_EQ(again.summary["restoredFiles"], 0);
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
}

TEST_F(VmRestore, HostileNamesLandIntactOrAreRefusedWithReasons) {
  e2e::WriteHostileTree(source.path());
  const RunResult result = harness.Restore(Job("/hostile"), source.path(), 150);
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_EQ(result.summary["failed"], 2) << result.output;
  EXPECT_NE(result.output.find("back\\slash: the name holds a backslash"), std::string::npos) << result.output;
  const std::vector<std::string> restorable = e2e::RestorableHostileNames();
  EXPECT_EQ(GuestNames("/hostile"), std::set<std::string>(restorable.begin(), restorable.end()));
  for (const std::string& name : restorable) EXPECT_EQ(GuestFile("/hostile/" + name), "content of " + name) << name;
  EXPECT_EQ(GuestFile(std::string("/hostile/") + e2e::kHostileInner), "inner");
  EXPECT_NE(vm.Run({"test", "-e", "/pwned"}).exitCode, 0);
}

// A guest user who may write the destination swaps every temporary file of the restore for a link
// to /etc/shadow as fast as the guest lets them: nothing reaches /etc/shadow, and every entry is
// restored intact or fails.
TEST_F(VmRestore, HostileUserRacingTheTemporaryNameNeverRedirectsTheWrite) {
  constexpr int kFiles = 10;
  ASSERT_EQ(vm.Run({"mkdir", "-m", "0755", "/shared"}).exitCode, 0);
  ASSERT_EQ(vm.Run({"chown", "1000:1000", "/shared"}).exitCode, 0);
  const std::string shadow = GuestFile("/etc/shadow");
  for (int i = 0; i < kFiles; ++i) zqtest::WriteFile(source.Join("r" + std::to_string(i)), "backup " + std::to_string(i));
  // The racer runs until /shared/.stop appears; its output is not waited for.
  const nlohmann::json racer = vm.Agent(
      "guest-exec",
      {{"path", "/sbin/busybox"},
       {"arg", {"su", "-s", "/bin/sh", "guest", "-c",
                "cd /shared && while [ ! -e .stop ]; do for f in .zqrestore-*; do "
                "if [ -f \"$f\" ] && [ ! -L \"$f\" ]; then rm -f \"$f\"; ln -s /etc/shadow \"$f\"; fi; done; done"}}});
  ASSERT_TRUE(racer.is_object());
  nlohmann::json job = Job("/shared");
  job["overwriteAlways"] = true;
  const RunResult result = harness.Restore(job, source.path(), 200);
  ASSERT_EQ(vm.Run({"touch", "/shared/.stop"}).exitCode, 0);
  EXPECT_EQ(result.summary["restoredFiles"].get<int>() + result.summary["failed"].get<int>(), kFiles) << result.output;
  EXPECT_EQ(GuestFile("/etc/shadow"), shadow);
  EXPECT_EQ(vm.Run({"stat", "-c", "%a %u", "/etc/shadow"}).out, "600 0\n");
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "/shared/r" + std::to_string(i);
    // A restored name is root's file with the backup's content; a failed one may hold what the
    // user put there, never a file of ours reaching elsewhere.
    if (vm.Run({"test", "-L", name}).exitCode == 0) continue;
    if (vm.Run({"test", "-f", name}).exitCode == 0) {
      EXPECT_EQ(GuestFile(name), "backup " + std::to_string(i)) << name;
    }
  }
  std::cout << "[ measure ] with a racing user: " << result.summary["restoredFiles"] << " restored, "
            << result.summary["failed"] << " failed\n";
}

TEST_F(VmRestore, LargeFileAndALinkAtTheEntrysNameUnderOverwrite) {
  std::string big(5u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919 + i / 4096) & 0xff);
  zqtest::WriteFile(source.Join("five-mib.bin"), big);
  // Far past the largest chunk the agent answers: every chunk, and the move into place, counts.
  big.resize(64u << 20);
  for (size_t i = 5u << 20; i < big.size(); ++i) big[i] = static_cast<char>((i * 31 + i / 65536) & 0xff);
  zqtest::WriteFile(source.Join("sixty-four-mib.bin"), big);
  zqtest::WriteFile(source.Join("report.txt"), "the backed-up report");
  ASSERT_EQ(vm.Run({"mkdir", "-m", "0777", "/big"}).exitCode, 0);
  ASSERT_EQ(AsGuestUser("ln -s /etc/shadow /big/report.txt").exitCode, 0);
  const std::string shadow = GuestFile("/etc/shadow");
  nlohmann::json job = Job("/big");
  job["overwriteAlways"] = true;
  const RunResult result = harness.Restore(job, source.path(), 450);
  ASSERT_EQ(result.status, 0) << result.output;
  Measure(result, 3);
  EXPECT_EQ(GuestMd5("/big/five-mib.bin"), LocalMd5(source.Join("five-mib.bin")));
  EXPECT_EQ(GuestMd5("/big/sixty-four-mib.bin"), LocalMd5(source.Join("sixty-four-mib.bin")));
  EXPECT_NE(vm.Run({"test", "-L", "/big/report.txt"}).exitCode, 0) << "the link is replaced";
  EXPECT_EQ(GuestFile("/big/report.txt"), "the backed-up report");
  EXPECT_EQ(GuestFile("/etc/shadow"), shadow);
  EXPECT_TRUE(GuestNames("/big").count("five-mib.bin"));
  const GuestRun leftovers = vm.Run({"find", "/big", "/var/tmp", "-name", ".zqrestore-*"});
  EXPECT_EQ(leftovers.out, "") << "no temporary file or private folder is left";
}

// Under replace-or-keep a link at the entry's name is no "file as new or newer": the entry fails
// and names the link; nothing is written through it.
TEST_F(VmRestore, LinkAtTheEntrysNameUnderReplaceOrKeepFailsNamingTheLink) {
  zqtest::WriteFile(source.Join("report.txt"), "the backed-up report");
  ASSERT_EQ(vm.Run({"mkdir", "-m", "0777", "/linked"}).exitCode, 0);
  ASSERT_EQ(AsGuestUser("ln -s /nonexistent/gone /linked/report.txt").exitCode, 0);
  const RunResult result = harness.Restore(Job("/linked"), source.path(), 150);
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_EQ(result.summary["failed"], 1) << result.output;
  EXPECT_EQ(result.summary["kept"], 0) << result.output;
  EXPECT_NE(result.output.find("link"), std::string::npos) << result.output;
  EXPECT_EQ(vm.Run({"test", "-L", "/linked/report.txt"}).exitCode, 0) << "the user's link stays as it was";
  EXPECT_NE(vm.Run({"test", "-e", "/nonexistent/gone"}).exitCode, 0);
}

// A user's folder of 12,000 long names: its listing is far beyond libvirt's 4 MiB per message.
TEST_F(VmRestore, FolderOfTwelveThousandLongNamesDoesNotBlockARestoreIntoIt) {
  ASSERT_EQ(vm.Run({"mkdir", "-m", "0777", "/many"}).exitCode, 0);
  const GuestRun made = AsGuestUser("cd /many && /usr/bin/seq -f '%0250.0f' 1 12000 | /usr/bin/xargs /bin/touch");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  zqtest::WriteFile(source.Join("new.txt"), "arrived");
  const std::string existing(250 - 5, '0');
  zqtest::WriteFile(source.Join(existing + "12000"), "older than the guest's");
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, source.Join(existing + "12000").c_str(), old, 0), 0);
  const RunResult result = harness.Restore(Job("/many"), source.path(), 200);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], 1) << result.output;
  EXPECT_EQ(result.summary["kept"], 1) << result.output;
  EXPECT_EQ(GuestFile("/many/new.txt"), "arrived");
  EXPECT_EQ(GuestFile("/many/" + existing + "12000"), "");
}

// The agent frozen (SIGSTOP) in the middle of a job: the job fails the remaining entries at once
// after the first time limit. A guest program started beforehand lets the agent go on half a minute
// later, for the tests after this one.
TEST_F(VmRestore, AgentFrozenMidJobFailsTheRemainingEntriesAtOnce) {
  constexpr int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) zqtest::WriteFile(source.Join("f" + std::to_string(100 + i)), "entry");
  auto job = std::async(std::launch::async, [&]() { return harness.Restore(Job("/frozen"), source.path(), 170); });
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(120);
  while (GuestNames("/frozen").size() < 3 && Clock::now() < deadline &&
         job.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
  }
  if (job.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
    FAIL() << "the job ended before the agent was frozen:\n" << job.get().output;
  }
  ASSERT_GE(GuestNames("/frozen").size(), 3u) << "the restore did not get going";
  const std::string agentPid = GuestFile("/run/qemu-ga.pid");
  const std::string pid = agentPid.substr(0, agentPid.find('\n'));
  const nlohmann::json freezer = vm.Agent(
      "guest-exec", {{"path", "/bin/sh"},
                     {"arg", {"-c", "(kill -STOP " + pid + "; sleep 30; kill -CONT " + pid + ") </dev/null >/dev/null 2>&1 &"}}});
  ASSERT_TRUE(freezer.is_object());
  const Clock::time_point frozen = Clock::now();
  const RunResult result = job.get();
  const double afterFreeze = SecondsSince(frozen);
  std::cout << "[ measure ] the job ended " << afterFreeze << " s after the agent was frozen\n";
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_GE(result.summary["failed"].get<int>(), 1) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"].get<int>() + result.summary["failed"].get<int>(), kFiles) << result.output;
  EXPECT_NE(result.output.find("stopped answering"), std::string::npos) << result.output;
  EXPECT_LT(afterFreeze, 45.0);
  // The agent goes on again before the next test.
  const Clock::time_point back = Clock::now() + std::chrono::seconds(120);
  while (!vm.Agent("guest-ping", nullptr, 5).is_object() && Clock::now() < back) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
}

// Last: the agent stays stopped for the rest of the VM's life.
TEST_F(VmRestore, AgentStoppedMidJobFailsTheRemainingEntriesAndTheJobEnds) {
  constexpr int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) zqtest::WriteFile(source.Join("f" + std::to_string(100 + i)), "entry");
  auto job = std::async(std::launch::async, [&]() { return harness.Restore(Job("/stopped"), source.path(), 170); });
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(120);
  // Looking once a second leaves the agent to the restore (libvirt runs one agent command at a time).
  while (GuestNames("/stopped").size() < 3 && Clock::now() < deadline &&
         job.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
  }
  if (job.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
    FAIL() << "the job ended before the agent was stopped:\n" << job.get().output;
  }
  ASSERT_GE(GuestNames("/stopped").size(), 3u) << "the restore did not get going";
  const std::string agentPid = GuestFile("/run/qemu-ga.pid");
  const Clock::time_point stopped = Clock::now();
  vm.Run({"kill", "-9", agentPid.substr(0, agentPid.find('\n'))});
  const RunResult result = job.get();
  const double afterStop = SecondsSince(stopped);
  std::cout << "[ measure ] the job ended " << afterStop << " s after the agent was stopped\n";
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_GE(result.summary["failed"].get<int>(), 1) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"].get<int>() + result.summary["failed"].get<int>(), kFiles) << result.output;
  EXPECT_LT(afterStop, 90.0);
}

}  // namespace

int main(int argc, char** argv) {
  // libvirt's client expects SIGPIPE to be ignored: a daemon that goes away fails a call instead.
  signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  TestVM::instance = new TestVM;
  testing::AddGlobalTestEnvironment(TestVM::instance);
  return RUN_ALL_TESTS();
}
