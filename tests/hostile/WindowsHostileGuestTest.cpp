// What a Windows guest whose users plant links, fill the disk or keep another clock can do to a
// restore: whole restores with zqrestore over SSH into the Windows guest stand-in, one row per
// threat. Each row plants its trap in the guest, restores a small tree into D:\Restore and then
// checks the guest's files and the summary's counts. In every row the folder D:\Secret outside
// the destination stays exactly as it was, and no temporary file of an upload is left behind.
// The proxy runs on UTC.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "e2e/RestoreHarness.h"

namespace {

namespace fs = std::filesystem;
using e2e::RestoreHarness;
using e2e::RunResult;

constexpr const char* kVm = "win-hostile";
constexpr const char* kGuid = "8a1e0000-0000-4000-8000-00000000b0a7";
constexpr const char* kGuestPassword = "Win guest pass";
constexpr int kSshOnlyType = 601;

constexpr long long k1999 = 936000000;  // 1999-08-30
constexpr long long k2019 = 1560000000;
constexpr long long kJuly2020 = 1593604800;  // 2020-07-01 12:00 UTC, 08:00 in New York
constexpr long long kHour = 3600;

using zqtest::SetTimes;

void WriteFile(const std::string& path, const std::string& content, long long modify) {
  fs::create_directories(fs::path(path).parent_path());
  zqtest::WriteFile(path, content);
  SetTimes(path, modify);
}

// Every item below `root` with its kind, size, modification time and content, for comparing.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> items;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const struct stat info = zqtest::StatOf(it->path().string());
    std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtime);
    if (S_ISREG(info.st_mode)) state += " " + zqtest::ReadFile(it->path().string());
    if (S_ISLNK(info.st_mode)) state += " -> " + fs::read_symlink(it->path()).string();
    items[fs::relative(it->path(), root).string()] = state;
  }
  return items;
}

// One guest and one source tree.
struct Scene {
  zqtest::TempDir drives;
  zqtest::TempDir source;
  std::string Guest(const std::string& relative) const { return drives.Join("D/Restore/" + relative); }
  std::string Secret(const std::string& relative) const { return drives.Join("D/Secret/" + relative); }
  std::string Source(const std::string& relative) const { return source.Join(relative); }
};

// The summary's counts. No row restores a folder.
struct Counts {
  int restoredFiles;
  int notRestored;  // kept and failed together
  int kept;         // -1: a planted junction's folder entry may count as kept or as failed
};

struct HostileRow {
  const char* name;
  nlohmann::json guestConfig;  // merged into the stand-in's configuration; {} for none
  const char* address;
  void (*plant)(Scene&);  // the guest's state and the source tree
  Counts expected;
  void (*check)(const Scene&);  // the guest afterwards
  const char* said = "";          // in the restore's output
  nlohmann::json job = nlohmann::json::object();  // merged into the job
};
void PrintTo(const HostileRow& row, std::ostream* out) { *out << row.name; }

class WindowsHostileGuest : public testing::TestWithParam<HostileRow> {};

TEST_P(WindowsHostileGuest, LeavesTheGuestIntactAndReportsWhatHappened) {
  const HostileRow& row = GetParam();
  const char* engine = std::getenv("ZQ_TEST_WINGUEST_ENGINE");
  if (row.guestConfig.contains("swap") && row.guestConfig["swap"]["moment"] != "upload" && engine &&
      std::string(engine) == "pwsh") {
    GTEST_SKIP() << "pwsh runs its own Move-Item, which the stand-in's swap cannot interrupt";
  }
  if (row.guestConfig.contains("freeBytes") && row.job.contains("backup") && engine && std::string(engine) == "pwsh") {
    GTEST_SKIP() << "pwsh runs its own Copy-Item, which the stand-in's full disk cannot cut short";
  }
  Scene scene;
  fs::create_directories(scene.drives.Join("C/Users/alice"));
  fs::create_directories(scene.Guest(""));
  WriteFile(scene.Secret("secret.conf"), "root only\n", k1999);
  nlohmann::json config = {{"root", scene.drives.path()},
                           {"user", "CORP\\alice"},
                           {"password", kGuestPassword},
                           {"addresses", {row.address}},
                           {"stateFile", scene.drives.Join("state.json")}};
  if (row.guestConfig.is_object()) config.update(row.guestConfig);
  zqtest::WriteFile(scene.drives.Join("guest.json"), config.dump());
  row.plant(scene);
  const auto secretBefore = Snapshot(scene.Secret(""));

  RestoreHarness harness(kSshOnlyType);
  harness.UseWindowsGuest(scene.drives.Join("guest.json"));
  harness.SetEnvironment("TZ", "UTC");
  harness.server().AddVm(kVm).Guid(kGuid).IpAddresses({row.address});
  const RunResult result =
      harness.Restore(harness.Job(kVm, kGuid, "D:\\Restore", "CORP\\alice", kGuestPassword, row.job),
                      scene.source.path(), 300);

  ASSERT_FALSE(result.summary.is_null()) << result.output;
  EXPECT_EQ(result.summary["restoredFiles"], row.expected.restoredFiles) << result.output;
  EXPECT_EQ(result.summary["restoredFolders"], 0) << result.output;
  EXPECT_EQ(result.summary["kept"].get<int>() + result.summary["failed"].get<int>(), row.expected.notRestored)
      << result.output;
  if (row.expected.kept >= 0) {
    EXPECT_EQ(result.summary["kept"], row.expected.kept) << result.output;
  }
  EXPECT_NE(result.output.find(row.said), std::string::npos) << result.output;
  EXPECT_EQ(Snapshot(scene.Secret("")), secretBefore);
  for (const auto& [path, state] : Snapshot(scene.drives.Join("D"))) {
    EXPECT_EQ(path.find(".zqpscp-"), std::string::npos) << "upload left behind: " << path;
  }
  row.check(scene);
}

using zqtest::IsLink;
time_t ModifyTime(const std::string& path) { return zqtest::StatOf(path).st_mtime; }

// A guest user swaps D:\Restore\docs for a junction to `link` at `moment`, while docs\a.txt is
// restored into the existing folder.
nlohmann::json SwapDocs(const char* moment, const char* link) {
  return {{"swap", {{"moment", moment}, {"folder", "D:\\Restore\\docs"}, {"link", link}}}};
}
void PlantDocs(Scene& s) {
  fs::create_directories(s.Guest("docs"));
  WriteFile(s.Source("docs/a.txt"), "restored\n", k2019);
}

INSTANTIATE_TEST_SUITE_P(
    Threats, WindowsHostileGuest,
    testing::Values(
        // Replace-or-keep: a link at the file's name is neither kept as a file nor written
        // through; the entry fails naming it.
        HostileRow{"LinkAtAFileFailsNotWrittenThroughNorKept", {}, "192.0.2.80",
                   [](Scene& s) {
                     fs::create_symlink("../Secret/secret.conf", s.Guest("notes.txt"));
                     SetTimes(s.Guest("notes.txt"), k1999);
                     WriteFile(s.Source("notes.txt"), "restored notes\n", k2019);
                   },
                   {0, 1, 0},
                   [](const Scene& s) { EXPECT_TRUE(IsLink(s.Guest("notes.txt"))); }},
        HostileRow{"JunctionToAFolderInsideTheDestination", {}, "192.0.2.81",
                   [](Scene& s) {
                     fs::create_directories(s.Guest("inner"));
                     fs::create_directory_symlink("inner", s.Guest("docs"));
                     WriteFile(s.Source("docs/a.txt"), "a\n", k2019);
                   },
                   {0, 2, -1},  // the folder docs and the file in it
                   [](const Scene& s) {
                     EXPECT_TRUE(fs::is_empty(s.Guest("inner")));
                     EXPECT_TRUE(IsLink(s.Guest("docs")));
                   }},
        HostileRow{"JunctionToAFolderOutsideTheDestination", {}, "192.0.2.82",
                   [](Scene& s) {
                     fs::create_directory_symlink("../Secret", s.Guest("docs"));
                     WriteFile(s.Source("docs/secret.conf"), "planted\n", k2019);
                     WriteFile(s.Source("docs/new.txt"), "planted\n", k2019);
                   },
                   {0, 3, -1},
                   [](const Scene& s) { EXPECT_TRUE(IsLink(s.Guest("docs"))); }},
        HostileRow{"FolderWhereAFileIsRestored", {}, "192.0.2.83",
                   [](Scene& s) {
                     WriteFile(s.Guest("report.txt/inside.txt"), "guest's own\n", k1999);
                     SetTimes(s.Guest("report.txt"), k1999);
                     WriteFile(s.Source("report.txt"), "restored\n", k2019);
                   },
                   {0, 1, 0},
                   [](const Scene& s) {
                     EXPECT_TRUE(fs::is_directory(s.Guest("report.txt")));
                     EXPECT_EQ(ModifyTime(s.Guest("report.txt")), k1999);
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("report.txt/inside.txt")), "guest's own\n");
                   }},
        HostileRow{"EmptyFolderWhereAFileIsRestored", {}, "192.0.2.84",
                   [](Scene& s) {
                     fs::create_directories(s.Guest("report.txt"));
                     SetTimes(s.Guest("report.txt"), k1999);
                     WriteFile(s.Source("report.txt"), "restored\n", k2019);
                   },
                   {0, 1, 0},
                   [](const Scene& s) {
                     EXPECT_TRUE(fs::is_directory(s.Guest("report.txt")));
                     EXPECT_EQ(ModifyTime(s.Guest("report.txt")), k1999);
                   }},
        HostileRow{"NamesWithCommas", {}, "192.0.2.85",
                   [](Scene& s) {
                     WriteFile(s.Guest("Report, final.docx"), "guest's newer edit\n", kJuly2020);
                     WriteFile(s.Source("Report, final.docx"), "backed up\n", k2019);
                     WriteFile(s.Guest("Budget, 2020.xlsx"), "old\n", k1999);
                     WriteFile(s.Source("Budget, 2020.xlsx"), "backed up\n", k2019);
                   },
                   {1, 1, 1},
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("Report, final.docx")), "guest's newer edit\n");
                     EXPECT_EQ(ModifyTime(s.Guest("Report, final.docx")), kJuly2020);
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("Budget, 2020.xlsx")), "backed up\n");
                     EXPECT_EQ(ModifyTime(s.Guest("Budget, 2020.xlsx")), k2019);
                   }},
        HostileRow{"FullDiskKeepsTheOriginal", {{"freeBytes", 200 * 1024}}, "192.0.2.86",
                   [](Scene& s) {
                     WriteFile(s.Guest("big.bin"), std::string(100 * 1024, 'o'), k1999);
                     WriteFile(s.Source("big.bin"), std::string(300 * 1024, 'n'), k2019);
                   },
                   {0, 1, 0},
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("big.bin")), std::string(100 * 1024, 'o'));
                     EXPECT_EQ(ModifyTime(s.Guest("big.bin")), k1999);
                     EXPECT_EQ(Snapshot(s.Guest("")).size(), 1u);
                   }},
        HostileRow{"GuestInAnotherTimeZone", {{"timeZone", "America/New_York"}}, "192.0.2.87",
                   [](Scene& s) {
                     WriteFile(s.Guest("edited.txt"), "guest's newer edit\n", kJuly2020);
                     WriteFile(s.Source("edited.txt"), "backed up\n", kJuly2020 - 2 * kHour);
                     WriteFile(s.Guest("stale.txt"), "stale\n", kJuly2020 - 4 * kHour);
                     WriteFile(s.Source("stale.txt"), "backed up\n", kJuly2020 - 2 * kHour);
                   },
                   {1, 1, 1},
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("edited.txt")), "guest's newer edit\n");
                     EXPECT_EQ(ModifyTime(s.Guest("edited.txt")), kJuly2020);
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("stale.txt")), "backed up\n");
                     EXPECT_EQ(ModifyTime(s.Guest("stale.txt")), kJuly2020 - 2 * kHour);
                   }},
        HostileRow{"IPv6Guest", {}, "fe80::1",
                   [](Scene& s) { WriteFile(s.Source("a.txt"), "over IPv6\n", k2019); },
                   {1, 0, 0},
                   [](const Scene& s) { EXPECT_EQ(zqtest::ReadFile(s.Guest("a.txt")), "over IPv6\n"); }},
        // Swaps raced against the write: the check, the rename and the re-check run in one request
        // of the guest, after the upload to a staged name in the destination folder itself.
        HostileRow{"FolderSwappedBetweenTheCheckAndTheWriteIsRefused", SwapDocs("upload", "D:\\Secret"), "192.0.2.88",
                   PlantDocs, {0, 2, 1},  // the folder docs is kept
                   [](const Scene& s) {
                     EXPECT_TRUE(IsLink(s.Guest("docs")));
                     EXPECT_TRUE(fs::is_empty(s.Guest("docs.moved")));
                   },
                   "is a link or junction (reparse point)"},
        // What remains of the window: a swap inside the request, between its check and its rename,
        // sends the file through the junction; the re-check reports it and says where it went.
        HostileRow{"FolderSwappedBetweenTheCheckAndTheRenameIsReported", SwapDocs("rename", "D:\\Elsewhere"),
                   "192.0.2.89",
                   [](Scene& s) {
                     PlantDocs(s);
                     fs::create_directories(s.drives.Join("D/Elsewhere"));
                   },
                   {0, 2, 1},
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.drives.Join("D/Elsewhere/a.txt")), "restored\n");
                     EXPECT_TRUE(fs::is_empty(s.Guest("docs.moved")));
                   },
                   "a link appeared in the destination path while the file was written"},
        HostileRow{"FolderSwappedRightAfterTheRenameIsReported", SwapDocs("renamed", "D:\\Secret"), "192.0.2.90",
                   PlantDocs, {0, 2, 1},  // the folder docs is kept
                   [](const Scene& s) {
                     EXPECT_TRUE(IsLink(s.Guest("docs")));
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("docs.moved/a.txt")), "restored\n");
                   },
                   "a link appeared in the destination path while the file was written"},
        // Another file put at the name right after the rename: the look after it tells.
        HostileRow{"FileReplacedRightAfterTheRenameIsReported", SwapDocs("replaced", "D:\\Secret"), "192.0.2.92",
                   PlantDocs, {0, 2, 1},  // the folder docs is kept
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("docs/a.txt")), "another file of another length\n");
                   },
                   "the name does not hold the file just written after the rename"},
        // A junction planted deeper in the chain before the restore.
        HostileRow{"JunctionDeeperInTheChain", {}, "192.0.2.91",
                   [](Scene& s) {
                     fs::create_directories(s.Guest("docs"));
                     fs::create_directory_symlink("../../Secret", s.Guest("docs/inner"));
                     WriteFile(s.Source("docs/inner/secret.conf"), "planted\n", k2019);
                   },
                   {0, 3, -1},  // docs is kept; docs\inner and the file in it fail
                   [](const Scene& s) { EXPECT_TRUE(IsLink(s.Guest("docs/inner"))); },
                   "[D:\\Restore\\docs\\inner] is a link"},
        // Backups: a link or junction at the backup name is neither followed nor replaced, and a
        // backup copy cut short leaves neither a copy nor a changed file.
        HostileRow{"LinkAtTheBackupNameFailsTheReplace", {}, "192.0.2.92",
                   [](Scene& s) {
                     WriteFile(s.Guest("notes.txt"), "guest's notes\n", k1999);
                     fs::create_symlink("../Secret/secret.conf", s.Guest("notes.txt~"));
                     WriteFile(s.Source("notes.txt"), "restored notes\n", k2019);
                   },
                   {0, 1, 0},
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("notes.txt")), "guest's notes\n");
                     EXPECT_EQ(ModifyTime(s.Guest("notes.txt")), k1999);
                     EXPECT_TRUE(IsLink(s.Guest("notes.txt~")));
                   },
                   "a folder or a link stands at the backup name", {{"backup", true}}},
        HostileRow{"JunctionAtTheBackupNameIsNotEntered", {}, "192.0.2.93",
                   [](Scene& s) {
                     WriteFile(s.Guest("docs/a.txt"), "guest's a\n", k1999);
                     fs::create_directory_symlink("../../Secret", s.Guest("docs/a.txt.bak"));
                     WriteFile(s.Source("docs/a.txt"), "restored\n", k2019);
                   },
                   {0, 2, 1},  // the folder docs is kept
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("docs/a.txt")), "guest's a\n");
                     EXPECT_TRUE(IsLink(s.Guest("docs/a.txt.bak")));
                   },
                   "a folder or a link stands at the backup name", {{"backup", true}, {"backupSuffix", ".bak"}}},
        HostileRow{"FullDiskCutsTheBackupShortAndKeepsTheOriginal", {{"freeBytes", 200 * 1024}}, "192.0.2.94",
                   [](Scene& s) {
                     WriteFile(s.Guest("big.bin"), std::string(300 * 1024, 'o'), k1999);
                     WriteFile(s.Source("big.bin"), std::string(100 * 1024, 'n'), k2019);
                   },
                   {0, 1, 0},
                   [](const Scene& s) {
                     EXPECT_EQ(zqtest::ReadFile(s.Guest("big.bin")), std::string(300 * 1024, 'o'));
                     EXPECT_EQ(ModifyTime(s.Guest("big.bin")), k1999);
                     EXPECT_EQ(Snapshot(s.Guest("")).size(), 1u);
                   },
                   "the backup copy of the guest's file could not be made", {{"backup", true}}}),
    [](const testing::TestParamInfo<HostileRow>& info) { return info.param.name; });

}  // namespace
