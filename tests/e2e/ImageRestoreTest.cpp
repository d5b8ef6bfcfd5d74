// zqrestore end to end from a VM's disk image: one small qcow2 with an ext4 file system, made once
// for the whole program with virt-make-fs from Debian's packages, restored from into a guest of the
// embedded hypervisor. Each run of zqrestore starts libguestfs's appliance once under emulation
// (20-40 s here), so the program keeps to one image and as few runs as it can.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "RestoreHarness.h"
#include "support/FileHelpers.h"
#include "testbeds/sshd/SshdGuestEnvironment.h"
#include "toolscontract/ShellQuote.h"

namespace {

using e2e::RestoreHarness;
using e2e::RunResult;
using zqtest::SshTestUsers;

constexpr const char* kVm = "image-vm";
constexpr const char* kGuid = "564d0000-0000-4000-8000-00000000e2e7";
constexpr const char* kGuestPassword = "image-guest-secret";
constexpr long long kConfTime = 1577934245;  // 2020-01-02 03:04:05 UTC
constexpr int kVMwareType = 101;
constexpr int kSshOnlyType = 601;

// The image, made once: /etc/nginx with a file of another owner, a link beside it, and a pipe.
class ImageEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const std::string tree = m_dir.Join("tree");
    ASSERT_EQ(system(("mkdir -p " + ShellQuote::Word(tree + "/etc/nginx")).c_str()), 0);
    zqtest::WriteFile(tree + "/etc/nginx/nginx.conf", "worker_processes 4;\n");
    ASSERT_EQ(chmod((tree + "/etc/nginx/nginx.conf").c_str(), 0640), 0);
    ASSERT_EQ(lchown((tree + "/etc/nginx/nginx.conf").c_str(), 1003, 1004), 0);
    zqtest::SetTimes(tree + "/etc/nginx/nginx.conf", kConfTime);
    ASSERT_EQ(symlink("nginx.conf", (tree + "/etc/nginx/default").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/etc/nginx/pipe").c_str(), 0600), 0);
    std::string output;
    const int status = zqtest::RunBounded(
        "LIBGUESTFS_BACKEND_SETTINGS=force_tcg virt-make-fs --format=qcow2 --type=ext4 --size=+8M " +
            ShellQuote::Word(tree) + " " + ShellQuote::Word(Image()),
        600, output);
    ASSERT_EQ(status, 0) << "virt-make-fs (package libguestfs-tools) could not make the image: " << output;
  }
  static std::string Image() { return m_dir.Join("vm1.qcow2"); }

 private:
  static zqtest::TempDir m_dir;
};

zqtest::TempDir ImageEnvironment::m_dir;

TEST(ImageRestore, RestoresAFolderOfAQcow2ImageWithItsRecordsAndReportsWhatItSkipped) {
  RestoreHarness harness(kVMwareType);
  zqtest::TempDir guest;
  harness.server().AddVm(kVm).Guid(kGuid).Tools(3, "guestToolsRunning").UnixGuest(guest.path()).GuestLogin(
      "root", kGuestPassword);
  const nlohmann::json job = harness.Job(kVm, kGuid, "/srv/nginx", "root", kGuestPassword);
  const struct stat before = zqtest::StatOf(ImageEnvironment::Image());

  const RunResult result =
      harness.Restore(job, ImageEnvironment::Image(), 600, {"--list", "--source-path", "/etc/nginx", "--max-entries", "3"});
  EXPECT_EQ(result.status, 0) << result.output;  // the link and the pipe are skipped, not failed
  EXPECT_EQ(result.summary["source"], "disk image, file system /dev/sda") << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], 1) << result.output;
  EXPECT_EQ(result.summary["failed"], 0);
  EXPECT_EQ(result.summary["skipped"], 2);
  EXPECT_NE(result.output.find("skipped   default: symbolic links are not restored"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("skipped   pipe: named pipes are not restored"), std::string::npos) << result.output;
  const std::string restored = guest.Join("srv/nginx/nginx.conf");
  EXPECT_EQ(zqtest::ReadFile(restored), "worker_processes 4;\n");
  const struct stat info = zqtest::StatOf(restored);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_mtime, kConfTime);
  EXPECT_FALSE(zqtest::Exists(guest.Join("srv/nginx/default")));
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
  // Read-only: the image is as it was.
  const struct stat after = zqtest::StatOf(ImageEnvironment::Image());
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// The same image into a Linux guest over SSH: the owner and group come from the image's records,
// not from the proxy's user that staged the file.
TEST(ImageRestore, RestoresFromTheImageIntoALinuxGuestOverSsh) {
  static auto* environment = new zqtest::SshdGuestEnvironment("127.0.0.8");
  REQUIRE_SSHD_GUEST(*environment);
  RestoreHarness harness(kSshOnlyType);
  harness.AddSshGuest(kVm, kGuid, environment->server());
  zqtest::TempDir guest;
  const nlohmann::json job =
      harness.Job(kVm, kGuid, guest.Join("nginx"), SshTestUsers::kRootUser, SshTestUsers::RootPassword());
  const RunResult result = harness.Restore(job, ImageEnvironment::Image(), 600, {"--source-path", "etc/nginx"});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], 1) << result.output;
  EXPECT_EQ(result.summary["skipped"], 2) << result.output;
  const std::string restored = guest.Join("nginx/nginx.conf");
  EXPECT_EQ(zqtest::ReadFile(restored), "worker_processes 4;\n");
  const struct stat info = zqtest::StatOf(restored);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_uid, 1003u);
  EXPECT_EQ(info.st_gid, 1004u);
  EXPECT_EQ(info.st_mtime, kConfTime);
  EXPECT_TRUE(harness.LeftoverStagingFolders().empty());
}

// The bounds hold for images too: the folder above holds 3 entries, one fewer is refused; its one
// file holds 20 bytes, and a dry run with a limit of 19 is refused.
TEST(ImageRestore, RefusesATreePastTheEntryOrSizeLimit) {
  RestoreHarness harness(kVMwareType);
  RunResult result = harness.Command(
      nlohmann::json::object(), {"source", "browse", "--max-entries", "2", ImageEnvironment::Image(), "etc/nginx"}, false,
      600);
  EXPECT_EQ(result.status, 2) << result.output;
  EXPECT_NE(result.output.find("the image holds more than 2 entries, past the limit (--max-entries)"),
            std::string::npos)
      << result.output;
  const nlohmann::json job = harness.Job(kVm, kGuid, "/srv/nginx", "root", kGuestPassword);
  result = harness.Restore(job, ImageEnvironment::Image(), 600,
                           {"--dry-run", "--source-path", "etc/nginx", "--max-expanded-size", "19"});
  EXPECT_EQ(result.status, 2) << result.output;
  EXPECT_NE(result.output.find("the image's files add up to more than 19 bytes, past the limit (--max-expanded-size)"),
            std::string::npos)
      << result.output;
}

// An ext4 file system whose group descriptors were wiped: the image is refused with the reader's
// own reason, within the time limit, and no guest is touched.
TEST(ImageRestore, RefusesABrokenFileSystemWithTheReadersReason) {
  zqtest::TempDir dir;
  const std::string image = dir.Join("broken.img");
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("truncate -s 16M " + ShellQuote::Word(image) + " && mkfs.ext4 -q -F -b 4096 " +
                                   ShellQuote::Word(image) + " && dd if=/dev/zero of=" + ShellQuote::Word(image) +
                                   " bs=4096 seek=1 count=1 conv=notrunc status=none",
                               60, output),
            0)
      << output;
  RestoreHarness harness(kVMwareType);
  const RunResult result = harness.Command(nlohmann::json::object(), {"source", "browse", image}, false, 600);
  EXPECT_EQ(result.status, 2) << result.output;
  EXPECT_NE(result.output.find(": cannot mount /dev/sda: mount_ro: "), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("dmesg"), std::string::npos) << "one line of the reader's reason: " << result.output;
}

// A crafted partition table (129 GPT partitions, one past the limit, made with sfdisk) is refused once the appliance
// has read it, before inspection walks them, with the count and the limit.
TEST(ImageRestore, RefusesAnImageWithMorePartitionsThanTheLimit) {
  zqtest::TempDir dir;
  const std::string image = dir.Join("parts.img");
  std::string table = "label: gpt\ntable-length: 1000\n";
  for (int i = 0; i < 129; ++i) table += ",8\n";
  zqtest::WriteFile(dir.Join("table"), table);
  std::string output;
  ASSERT_EQ(zqtest::RunBounded("truncate -s 8M " + ShellQuote::Word(image) + " && sfdisk -q " +
                                   ShellQuote::Word(image) + " < " + ShellQuote::Word(dir.Join("table")),
                               60, output),
            0)
      << output;
  RestoreHarness harness(kVMwareType);
  const RunResult result = harness.Command(nlohmann::json::object(), {"source", "browse", image}, false, 600);
  EXPECT_EQ(result.status, 2) << result.output;
  EXPECT_NE(result.output.find("the image holds 129 partitions; more than 128 are refused"), std::string::npos)
      << result.output;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new ImageEnvironment);
  return RUN_ALL_TESTS();
}
