// zqrestore end to end into VMs of the embedded hypervisor, reached through the hypervisor's own
// guest operations: the demo's setting (a VMware-type instance, a local guest folder).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "GuestRestoreScenarios.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;

constexpr const char* kVm = "e2e-vm";
constexpr const char* kGuid = "564d0000-0000-4000-8000-0000000e2e01";
constexpr const char* kGuestUser = "root";
constexpr const char* kGuestPassword = "e2e-guest-secret";
constexpr int kVMwareType = 101;

// The demo's guest: a VM of the embedded hypervisor whose file system is a local folder.
class NativeGuest {
 public:
  static constexpr int kSeconds = 120;
  static constexpr long long kChangedInGuestAt = 1600000000 + 3600;  // newer than the backup
  static constexpr const char* kWrongPasswordCode = "0x5B0000C3";
  static constexpr const char* kWrongPasswordText =
      "Cannot connect to the guest of virtual machine [e2e-vm] as user [root].";

  void SetUp(const std::string&) {
    harness.server().AddVm(kVm).Guid(kGuid).Tools(3, "guestToolsRunning").UnixGuest(guest.path()).GuestLogin(
        kGuestUser, kGuestPassword);
    harness.server().AddVm("off-vm").Guid("564d0000-0000-4000-8000-0000000e2e02").PoweredOff();
  }
  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object(),
                     const std::string& password = kGuestPassword) const {
    return harness.Job(kVm, kGuid, "/restore", kGuestUser, password, extra);
  }
  std::string InGuest(const std::string& relative) const { return guest.Join("restore/" + relative); }
  std::vector<std::string> Secrets() const { return {kGuestPassword, RestoreHarness::kServerPassword}; }

  void ExpectFile(const e2e::SampleFile& file, const struct stat& info) const {
    EXPECT_EQ(info.st_mode & 07777, file.mode);
  }
  void ExpectFolder(const std::string&, const struct stat&) const {}
  void ExpectCompleted(const RunResult& result) const {
    EXPECT_NE(result.output.find("Restore into VM [e2e-vm] folder [/restore]: completed"), std::string::npos)
        << result.output;
    EXPECT_TRUE(result.summary["counter"]["seen"]) << "the plug-in's counter is read from its log";
  }
  void BeforeWrongPassword() {}
  void ExpectWrongPassword(const RunResult& result) const {
    EXPECT_NE(result.output.find(": refused while checking the VM and the guest login"), std::string::npos) << result.output;
  }

  RestoreHarness harness{kVMwareType};
  zqtest::TempDir guest;
};

}  // namespace

namespace e2e {
INSTANTIATE_TYPED_TEST_SUITE_P(Native, GuestRestore, NativeGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Native, GuestLogin, NativeGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Native, GuestChecksum, NativeGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Native, GuestBackups, NativeGuest);
INSTANTIATE_TYPED_TEST_SUITE_P(Native, UnixGuestRestore, NativeGuest);
}  // namespace e2e

namespace {

// What only the native channel does: the plug-in's counter, refusals of the hypervisor, guest
// commands through the hypervisor's operations.
class NativeRestore : public testing::Test {
 protected:
  void SetUp() override {
    native.SetUp(source.path());
    e2e::WriteSampleTree(source.path());
  }

  nlohmann::json Job(const nlohmann::json& extra = nlohmann::json::object()) { return native.Job(extra); }
  void ExpectNoSecrets(const RunResult& result) { e2e::ExpectNoSecrets(harness, result, native.Secrets()); }

  NativeGuest native;
  RestoreHarness& harness = native.harness;
  zqtest::TempDir& guest = native.guest;
  zqtest::TempDir source;
};

struct RefusalRow {
  const char* name;
  const char* vm;
  const char* guid;
  const char* guestPassword;
  const char* serverPassword;
  const char* code;
  const char* text;
};

void PrintTo(const RefusalRow& row, std::ostream* out) { *out << row.name; }

class NativeRefusal : public NativeRestore, public testing::WithParamInterface<RefusalRow> {};

TEST_P(NativeRefusal, EndsWithTheRefusedStatusAndTheCataloguesText) {
  const RefusalRow& row = GetParam();
  nlohmann::json job = harness.Job(row.vm, row.guid, "/restore", kGuestUser, row.guestPassword);
  if (row.serverPassword != nullptr) {
    job["serverCredentials"] = {{"userName", "admin"}, {"password", row.serverPassword}};
  }
  const RunResult result = harness.Restore(job, source.path());
  EXPECT_EQ(result.status, 3) << result.output;
  EXPECT_NE(result.output.find(": refused while checking the VM and the guest login"), std::string::npos) << result.output;
  ASSERT_EQ(result.summary["pendingCauses"].size(), 1u) << result.output;
  EXPECT_EQ(result.summary["pendingCauses"][0]["code"], row.code);
  EXPECT_NE(result.output.find(row.text), std::string::npos) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], 0);
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
  ExpectNoSecrets(result);
  if (row.serverPassword != nullptr) {
    EXPECT_EQ(result.output.find(row.serverPassword), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NativeRefusal,
    testing::Values(
        RefusalRow{"PoweredOff", "off-vm", "564d0000-0000-4000-8000-0000000e2e02", kGuestPassword, nullptr,
                   "0x5B0000C1", "Virtual machine [off-vm] is not powered on. Power it on and run the restore again."},
        RefusalRow{"UnknownVm", "ghost-vm", "564d0000-0000-4000-8000-00000000dead", kGuestPassword, nullptr,
                   "0x5B0000C0", "Virtual machine [ghost-vm] was not found."},
        RefusalRow{"WrongServerPassword", kVm, kGuid, kGuestPassword, "not-the-server-password", "0x5B00008B",
                   "The connection to server [vc-e2e] as user [admin] was refused: "}),
    [](const testing::TestParamInfo<RefusalRow>& row) { return std::string(row.param.name); });

TEST_F(NativeRestore, GuestCommandsReachTheVmTheWayARestoreWould) {
  ASSERT_EQ(harness.Restore(Job(), source.path()).status, 0);
  const RunResult listing = harness.Guest(Job(), {"browse", "/restore"});
  ASSERT_EQ(listing.status, 0) << listing.output;
  EXPECT_NE(listing.output.find("reached through native guest operations"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("- 0644 "), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("  a.txt\n"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("d 0755 "), std::string::npos) << listing.output;

  const RunResult made = harness.Guest(Job(), {"mkdir", "/checks/one"});
  EXPECT_EQ(made.status, 0) << made.output;
  EXPECT_TRUE(S_ISDIR(zqtest::StatOf(guest.Join("checks/one")).st_mode));

  zqtest::WriteFile(source.Join("probe.txt"), "probe");
  const RunResult put = harness.Guest(Job(), {"put", source.Join("probe.txt"), "/checks/one/probe.txt"});
  EXPECT_EQ(put.status, 0) << put.output;
  EXPECT_EQ(zqtest::ReadFile(guest.Join("checks/one/probe.txt")), "probe");

  const RunResult refused = harness.Guest(harness.Job(kVm, kGuid, "/restore", kGuestUser, "wrong"), {"browse", "/"});
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("cannot browse [/]"), std::string::npos) << refused.output;
  EXPECT_EQ(refused.output.find(kGuestPassword), std::string::npos);
}

TEST_F(NativeRestore, ReportsAPlugInThatCannotBeLoaded) {
  const RunResult result = harness.Restore(Job(), source.path(), 60, {"--plugin", "/nonexistent/libNoPlugin.so"});
  EXPECT_EQ(result.status, 4) << result.output;
  EXPECT_NE(result.output.find("cannot load /nonexistent/libNoPlugin.so"), std::string::npos) << result.output;
}

TEST_F(NativeRestore, RejectsAJobFileWithAMisspeltKey) {
  const RunResult result = harness.Restore(Job({{"overwriteAllways", true}}), source.path());
  EXPECT_EQ(result.status, 2) << result.output;
  EXPECT_NE(result.output.find("unknown key [overwriteAllways]"), std::string::npos) << result.output;
  EXPECT_TRUE(result.summary.is_null()) << "nothing was started";
}

}  // namespace
