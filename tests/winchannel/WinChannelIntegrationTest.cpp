// The Windows channel through the real command runner (/bin/sh -c) against the Windows guest
// stand-in: its zqplink.exe and zqpscp.exe are the base folder's tools, its drives a temporary
// folder. The guest and the proxy share the time zone Europe/Berlin, which has daylight saving.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "RealPowerShell.h"
#include "guestapi/ZQWinGuestAPI.h"
#include "support/Credentials.h"
#include "support/TestSupport.h"
#include "winchannel/WindowsHostileNames.h"

namespace {

namespace fs = std::filesystem;
using VMInfoStructs::SGuestFile;

const std::string kAddress = "192.0.2.10";
const std::string kPassword = "Gu3st pass";
const int64_t kSummer = 1593604800;  // 2020-07-01 12:00 UTC, 14:00 in Berlin
const int64_t kWinter = 1578236645;  // 2020-01-05 15:04:05 UTC

class WinGuestIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = RealPwsh() ? winguest::PwshMissingReason() : "";
    if (!why.empty() && winguest::PwshRequired()) FAIL() << why;
    if (!why.empty()) GTEST_SKIP() << why;
    m_tz = std::make_unique<zqtest::ScopedEnv>("TZ", "Europe/Berlin");
    tzset();
    fs::create_directories(Host("C/Users/alice"));
    fs::create_directories(Host("C/Hostile"));
    fs::create_directories(Host("D"));
    WriteConfig();
    m_settings.Set("Base", "dBASEHOME", WINGUEST_BASE);
    zqtest::WriteFile(m_dir.Join("local.txt"), "new content");
  }
  void TearDown() override {
    m_tz.reset();
    tzset();
  }

  void WriteConfig(const nlohmann::json& extra = nlohmann::json::object()) {
    nlohmann::json config = {{"root", m_dir.Join("root")},
                             {"user", "CORP\\alice"},
                             {"password", kPassword},
                             {"addresses", {kAddress}},
                             {"journal", m_dir.Join("journal.jsonl")}};
    if (RealPwsh()) config["engine"] = "pwsh";
    config.update(extra);
    zqtest::WriteFile(m_dir.Join("guest.json"), config.dump());
  }

  bool InitChannel(const std::string& addresses = kAddress, const std::string& password = kPassword) {
    return m_channel.Init(zqtest::MakeLogin("CORP\\alice", password, addresses));
  }

  std::string Host(const std::string& relative) { return m_dir.Join("root/" + relative); }
  // Whether real pwsh runs the guest's scripts (ZQ_TEST_WINGUEST_ENGINE=pwsh) instead of the
  // stand-in's interpreter.
  static bool RealPwsh() {
    const char* engine = std::getenv("ZQ_TEST_WINGUEST_ENGINE");
    return engine && std::string(engine) == "pwsh";
  }

  std::vector<nlohmann::json> Journal() {
    std::vector<nlohmann::json> records;
    std::ifstream in(m_dir.Join("journal.jsonl"));
    std::string line;
    while (std::getline(in, line)) records.push_back(nlohmann::json::parse(line));
    return records;
  }

  std::vector<SGuestFile> Browse(const std::string& path) {
    std::vector<SGuestFile> entries;
    EXPECT_EQ(m_channel.BrowseGuest(m_ctx, path, entries), 1) << path;
    return entries;
  }

  static const SGuestFile* Named(const std::vector<SGuestFile>& entries, const std::string& name) {
    for (const SGuestFile& entry : entries) {
      if (entry.name == name) return &entry;
    }
    return nullptr;
  }

  std::unique_ptr<zqtest::ScopedEnv> m_tz;
  zqtest::TempDir m_dir;
  zqtest::ScopedEnv m_config{"ZQ_WINGUEST_CONFIG", m_dir.Join("guest.json")};
  zqtest::ScopedSettings m_settings;
  zqtest::ScopedLogCapture m_log;
  ZQWinGuestAPI m_channel{nullptr};
  GuestCtx m_ctx;
};

TEST_F(WinGuestIntegration, ProbeSkipsADeadAddress) {
  ASSERT_TRUE(InitChannel("192.0.2.1,," + kAddress));
  const auto records = Journal();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["argv"][0], "192.0.2.1");
  EXPECT_NE(records[0]["exit"], 0);
  EXPECT_EQ(records[1]["argv"][0], kAddress);
  EXPECT_EQ(records[1]["argv"][2], "alice:CORP");
  EXPECT_EQ(records[1]["powershell"][0], "systeminfo");
  const auto drives = Browse("");  // later commands go to the address that answered
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(Journal().back()["argv"][0], kAddress);
}

TEST_F(WinGuestIntegration, WrongPasswordIsRefused) {
  EXPECT_FALSE(InitChannel(kAddress, "wrong pass"));
  EXPECT_EQ(m_channel.GetLastGuestApiErrorDetails().rfind("Cmd ", 0), 0u);
  EXPECT_TRUE(m_log.sink().AnyContains("Access denied"));
  EXPECT_FALSE(m_log.sink().AnyContains("wrong pass"));
  EXPECT_EQ(getenv("ZQ_PUTTY_PASS"), nullptr);
  EXPECT_FALSE(Journal().back().contains("powershell"));
}

TEST_F(WinGuestIntegration, AGuestThatIsNotWindowsIsRefused) {
  WriteConfig({{"osName", "Ubuntu 22.04"}});
  EXPECT_FALSE(InitChannel());
  EXPECT_TRUE(m_log.sink().AnyContains("resp \r\nHost Name:"));
}

TEST_F(WinGuestIntegration, BrowsesDrivesAndFolders) {
  fs::create_directories(Host("C/Data/Sub"));
  fs::create_directories(Host("C/Data/Empty"));
  zqtest::WriteFile(Host("C/Data/a.txt"), "12345");
  zqtest::SetFileModifyTime(Host("C/Data/a.txt"), kSummer);
  ASSERT_TRUE(InitChannel());

  const auto drives = Browse("\\");
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(drives[0].name, "\\C:");
  EXPECT_EQ(drives[1].name, "\\D:");
  EXPECT_EQ(drives[0].type, VMInfoStructs::GuestFileDirectory);

  const auto items = Browse("C:\\Data");
  ASSERT_EQ(items.size(), 3u);
  const SGuestFile* file = Named(items, "a.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->size, 5);
  EXPECT_EQ(file->type, VMInfoStructs::GuestFileRegular);
  EXPECT_EQ(file->modifyTime, kSummer);
  ASSERT_NE(Named(items, "Sub"), nullptr);
  EXPECT_EQ(Named(items, "Sub")->type, VMInfoStructs::GuestFileDirectory);

  const auto single = Browse("C:\\Data\\a.txt");
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].modifyTime, kSummer);
  EXPECT_TRUE(Browse("C:\\Data\\Empty").empty());
  EXPECT_TRUE(Browse("C:\\Nope").empty());

  std::vector<SGuestFile> folders;
  ASSERT_EQ(m_channel.BrowseGuestFolders(m_ctx, "C:\\Data", folders), 1);
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0].name, "Empty");
  EXPECT_EQ(folders[1].name, "Sub");
  folders.clear();
  EXPECT_EQ(m_channel.BrowseGuestFolders(m_ctx, "C:\\Nope", folders), 1);
  EXPECT_TRUE(folders.empty());
}

TEST_F(WinGuestIntegration, ListsOnlyFixedDrivesWithALetter) {
  WriteConfig({{"volumes",
                {{{"driveLetter", "C"}, {"driveType", "Fixed"}},
                 {{"driveLetter", "E"}, {"driveType", "CD-ROM"}},
                 {{"driveType", "Fixed"}}}}});
  ASSERT_TRUE(InitChannel());
  const auto drives = Browse("");
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(drives[0].name, "\\C:");
}

TEST_F(WinGuestIntegration, CreatesAndDeletesFolders) {
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\New\\Deep"), 1);
  EXPECT_TRUE(fs::is_directory(Host("C/New/Deep")));
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\New\\Deep"), 1);
  std::string path = "C:\\New\\Deep";
  ASSERT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, path), 1);
  EXPECT_FALSE(fs::exists(Host("C/New/Deep")));
  EXPECT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, path), 0);
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "Q:\\x"), 0);
}

TEST_F(WinGuestIntegration, CopiesWithAndWithoutOverwrite) {
  fs::create_directories(Host("C/Restore"));
  zqtest::WriteFile(Host("C/Restore/a.txt"), "old content");
  ASSERT_TRUE(InitChannel());
  const std::string local = m_dir.Join("local.txt");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, local, "C:\\Restore\\a.txt", false), 0);  // kept
  EXPECT_EQ(zqtest::ReadFile(Host("C/Restore/a.txt")), "old content");
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, local, "C:\\Restore\\a.txt", true), 1);
  EXPECT_EQ(zqtest::ReadFile(Host("C/Restore/a.txt")), "new content");
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, local, "C:\\Fresh\\Deeper\\b.txt", false), 1);
  EXPECT_EQ(zqtest::ReadFile(Host("C/Fresh/Deeper/b.txt")), "new content");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, m_dir.Join("missing.txt"), "C:\\Restore\\c.txt", true), 0);
}

// A file's digest, and "no file" for a folder, a missing path and a link (a reparse point) at the
// name, whose target is never read; a junction on the way fails the request.
TEST_F(WinGuestIntegration, HashesFilesButNoReparsePoint) {
  fs::create_directories(Host("C/Restore/sub"));
  fs::create_directories(m_dir.Join("elsewhere"));
  zqtest::WriteFile(Host("C/Restore/a.txt"), "abc");
  zqtest::WriteFile(m_dir.Join("elsewhere/secret"), "abc");
  fs::create_symlink(m_dir.Join("elsewhere/secret"), Host("C/Restore/link.txt"));
  fs::create_directory_symlink(m_dir.Join("elsewhere"), Host("C/Restore/junction"));
  ASSERT_TRUE(InitChannel());
  m_channel.InitStagingFolder(1, "/stage", "C:\\Restore");
  std::vector<std::string> digests;
  ASSERT_EQ(m_channel.HashGuestFiles(m_ctx, {"C:\\Restore\\a.txt", "C:\\Restore\\link.txt", "C:\\Restore\\sub",
                                             "C:\\Restore\\missing.txt"},
                                     digests),
            1);
  EXPECT_EQ(digests, (std::vector<std::string>{"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "",
                                                "", ""}));
  EXPECT_EQ(m_channel.HashGuestFiles(m_ctx, {"C:\\Restore\\junction\\secret"}, digests), 0);
  EXPECT_TRUE(digests.empty());
}

struct TimeRow {
  const char* name;
  const char* culture;
  int64_t modify;
};
void PrintTo(const TimeRow& row, std::ostream* out) { *out << row.name; }

class TimesOnTheGuest : public WinGuestIntegration, public ::testing::WithParamInterface<TimeRow> {};

TEST_P(TimesOnTheGuest, SetsTheThreeTimesAndReadsTheWriteTimeBack) {
  WriteConfig({{"culture", GetParam().culture}});
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, m_dir.Join("local.txt"), "C:\\T\\a.txt", true), 1);
  SGuestFile times;
  times.createTime = 60;
  times.modifyTime = GetParam().modify;
  times.accessTime = kWinter;
  ASSERT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "C:\\T\\a.txt", times), 1);
  struct stat st {};
  ASSERT_EQ(stat(Host("C/T/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, GetParam().modify);
  EXPECT_EQ(st.st_atime, kWinter);
  // Linux has no creation time to set: the home-made engine keeps it in its state file, pwsh cannot.
  if (!RealPwsh()) {
    const auto state = nlohmann::json::parse(zqtest::ReadFile(m_dir.Join("guest.json.state.json")));
    EXPECT_EQ(state["creationTimes"][Host("C/T/a.txt")], 60);
  }
  const auto entries = Browse("C:\\T\\a.txt");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].modifyTime, GetParam().modify);
}

INSTANTIATE_TEST_SUITE_P(Table, TimesOnTheGuest,
                         ::testing::Values(TimeRow{"Summer", "en-US", kSummer}, TimeRow{"Winter", "en-US", kWinter},
                                           TimeRow{"SummerOnAGermanGuest", "de-DE", kSummer},
                                           TimeRow{"WinterOnABritishGuest", "en-GB", kWinter},
                                           TimeRow{"LastSecondOfSummerTime", "de-DE", 1603583999},
                                           TimeRow{"Midnight", "en-US", 1593554400}),
                         [](const ::testing::TestParamInfo<TimeRow>& info) { return info.param.name; });

TEST_F(WinGuestIntegration, FailsToSetTimesOnAMissingFile) {
  ASSERT_TRUE(InitChannel());
  EXPECT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "C:\\nope.txt", SGuestFile()), 0);
  EXPECT_TRUE(m_log.sink().Contains("Failed to update createTime C:\\nope.txt"));
  EXPECT_TRUE(m_log.sink().Contains("Failed to update modifiedTime C:\\nope.txt"));
  EXPECT_TRUE(m_log.sink().Contains("Failed to update accessTime C:\\nope.txt"));
}

// Backups of replaced files: the placing request copies the old file beside it under the suffix
// with its times, or fails the copy with the old file in place and no temporary copy left.
struct BackupRow {
  const char* name;
  const char* suffix;
  const char* file;  // below C:\Restore
  // Plants the guest's files in `restore` (C:\Restore on this machine) and `outside`.
  void (*plant)(const std::string& restore, const std::string& outside);
  int result;
  void (*check)(const std::string& restore, const std::string& outside);
  nlohmann::json guest = nlohmann::json::object();  // merged into the stand-in's configuration
  bool standInOnly = false;  // pwsh writes real files: no full disk to play
};
void PrintTo(const BackupRow& row, std::ostream* out) { *out << row.name; }

class BackupsOnTheGuest : public WinGuestIntegration, public ::testing::WithParamInterface<BackupRow> {};

TEST_P(BackupsOnTheGuest, KeepTheOldFileOrLeaveItInPlace) {
  const BackupRow& row = GetParam();
  if (row.standInOnly && RealPwsh()) GTEST_SKIP() << "the stand-in alone plays a full disk";
  WriteConfig(row.guest);
  fs::create_directories(Host("C/Restore/docs"));
  fs::create_directories(m_dir.Join("outside"));
  row.plant(Host("C/Restore"), m_dir.Join("outside"));
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.InitStagingFolder(1, m_dir.Join("stage"), "C:\\Restore"), 1);
  ASSERT_EQ(m_channel.SetBackupSuffix(row.suffix), 1);
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, m_dir.Join("local.txt"), std::string("C:\\Restore\\") + row.file, true),
            row.result)
      << m_channel.GetLastGuestApiErrorDetails();
  row.check(Host("C/Restore"), m_dir.Join("outside"));
  for (auto it = fs::recursive_directory_iterator(Host("C/Restore")); it != fs::recursive_directory_iterator(); ++it) {
    EXPECT_EQ(it->path().filename().string().find(".zqpscp-"), std::string::npos) << "left behind: " << it->path();
  }
}

void PlantOld(const std::string& path) {
  zqtest::WriteFile(path, "old content");
  zqtest::SetTimes(path, kWinter);
}
void ExpectOldAt(const std::string& path) {
  EXPECT_EQ(zqtest::ReadFile(path), "old content");
  EXPECT_EQ(zqtest::StatOf(path).st_mtime, kWinter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BackupsOnTheGuest,
    ::testing::Values(
        BackupRow{"InTheDestinationFolder", "~", "a.txt",
                  [](const std::string& r, const std::string&) { PlantOld(r + "/a.txt"); }, 1,
                  [](const std::string& r, const std::string&) {
                    EXPECT_EQ(zqtest::ReadFile(r + "/a.txt"), "new content");
                    ExpectOldAt(r + "/a.txt~");
                  }},
        BackupRow{"BelowItReplacingAFileAtTheBackupName", ".bak", "docs\\b.txt",
                  [](const std::string& r, const std::string&) {
                    PlantOld(r + "/docs/b.txt");
                    zqtest::WriteFile(r + "/docs/b.txt.bak", "stale backup");
                  },
                  1,
                  [](const std::string& r, const std::string&) {
                    EXPECT_EQ(zqtest::ReadFile(r + "/docs/b.txt"), "new content");
                    ExpectOldAt(r + "/docs/b.txt.bak");
                  }},
        BackupRow{"NoneForAFileTheGuestDidNotHave", "~", "docs\\new.txt",
                  [](const std::string&, const std::string&) {}, 1,
                  [](const std::string& r, const std::string&) {
                    EXPECT_EQ(zqtest::ReadFile(r + "/docs/new.txt"), "new content");
                    EXPECT_FALSE(fs::exists(fs::symlink_status(r + "/docs/new.txt~")));
                  }},
        BackupRow{"NoneOfALinkAtTheName", "~", "a.txt",
                  [](const std::string& r, const std::string& o) {
                    PlantOld(o + "/target");
                    fs::create_symlink(o + "/target", r + "/a.txt");
                  },
                  1,
                  [](const std::string& r, const std::string& o) {
                    EXPECT_EQ(zqtest::ReadFile(r + "/a.txt"), "new content");
                    EXPECT_FALSE(zqtest::IsLink(r + "/a.txt"));
                    EXPECT_FALSE(fs::exists(fs::symlink_status(r + "/a.txt~")));
                    ExpectOldAt(o + "/target");
                  }},
        BackupRow{"LinkAtTheBackupNameIsNeitherFollowedNorReplaced", "~", "a.txt",
                  [](const std::string& r, const std::string& o) {
                    PlantOld(r + "/a.txt");
                    zqtest::WriteFile(o + "/target", "outside");
                    fs::create_symlink(o + "/target", r + "/a.txt~");
                  },
                  0,
                  [](const std::string& r, const std::string& o) {
                    ExpectOldAt(r + "/a.txt");
                    EXPECT_TRUE(zqtest::IsLink(r + "/a.txt~"));
                    EXPECT_EQ(zqtest::ReadFile(o + "/target"), "outside");
                  }},
        BackupRow{"JunctionAtTheBackupNameIsNotEntered", "~", "docs\\b.txt",
                  [](const std::string& r, const std::string& o) {
                    PlantOld(r + "/docs/b.txt");
                    fs::create_directory_symlink(o, r + "/docs/b.txt~");
                  },
                  0,
                  [](const std::string& r, const std::string& o) {
                    ExpectOldAt(r + "/docs/b.txt");
                    EXPECT_TRUE(fs::is_empty(o));
                  }},
        BackupRow{"FolderAtTheBackupName", "~", "a.txt",
                  [](const std::string& r, const std::string&) {
                    PlantOld(r + "/a.txt");
                    fs::create_directories(r + "/a.txt~");
                  },
                  0,
                  [](const std::string& r, const std::string&) {
                    ExpectOldAt(r + "/a.txt");
                    EXPECT_TRUE(fs::is_empty(r + "/a.txt~"));
                  }},
        BackupRow{"CopyCutShortByAFullDisk", "~", "a.txt",
                  [](const std::string& r, const std::string&) {
                    zqtest::WriteFile(r + "/a.txt", std::string(4096, 'o'));
                    zqtest::SetTimes(r + "/a.txt", kWinter);
                  },
                  0,
                  [](const std::string& r, const std::string&) {
                    EXPECT_EQ(zqtest::ReadFile(r + "/a.txt"), std::string(4096, 'o'));
                    EXPECT_FALSE(fs::exists(fs::symlink_status(r + "/a.txt~")));
                  },
                  {{"freeBytes", 1024}}, true}),
    [](const ::testing::TestParamInfo<BackupRow>& info) { return info.param.name; });

// Each name of the corpus must land in the guest byte for byte.
class HostilePaths : public WinGuestIntegration, public ::testing::WithParamInterface<std::string> {};

TEST_P(HostilePaths, ArriveIntact) {
  const std::string name = GetParam();
  ASSERT_TRUE(InitChannel());
  ASSERT_EQ(m_channel.InitStagingFolder(1, m_dir.Join("stage"), "C:\\Hostile"), 1);  // guards every write below
  const std::string folder = "C:\\Hostile\\" + name;
  ASSERT_EQ(m_channel.CreateGuestFolder(m_ctx, folder), 1);
  EXPECT_TRUE(fs::is_directory(Host("C/Hostile/" + name)));

  const std::string file = folder + "\\" + name + ".txt";
  ASSERT_EQ(m_channel.CopyFileToGuest(m_ctx, m_dir.Join("local.txt"), file, false), 1);
  EXPECT_EQ(zqtest::ReadFile(Host("C/Hostile/" + name + "/" + name + ".txt")), "new content");
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, m_dir.Join("local.txt"), folder + "-new\\f.txt", false), 1);
  EXPECT_TRUE(fs::exists(Host("C/Hostile/" + name + "-new/f.txt")));

  SGuestFile times;
  times.modifyTime = kSummer;
  times.accessTime = kSummer;
  times.createTime = kSummer;
  ASSERT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, file, times), 1);
  const auto listing = Browse(folder);
  const SGuestFile* listed = Named(listing, name + ".txt");
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->modifyTime, kSummer);
  const auto parent = Browse("C:\\Hostile");
  ASSERT_NE(Named(parent, name), nullptr);
  EXPECT_EQ(Named(parent, name)->type, VMInfoStructs::GuestFileDirectory);
  std::vector<SGuestFile> folders;
  ASSERT_EQ(m_channel.BrowseGuestFolders(m_ctx, "C:\\Hostile", folders), 1);
  EXPECT_NE(Named(folders, name), nullptr);

  const std::string empty = folder + "-empty";
  ASSERT_EQ(m_channel.CreateGuestFolder(m_ctx, empty), 1);
  std::string doomed = empty;
  ASSERT_EQ(m_channel.DeleteDirectoryInGuest(m_ctx, doomed), 1);
  EXPECT_FALSE(fs::exists(Host("C/Hostile/" + name + "-empty")));
  EXPECT_EQ(fs::exists(Host("C/Hostile/" + name + "-new")), true);

  // Nothing else appeared anywhere: no folder from an injected command, no expanded variable.
  size_t items = 0;
  for (auto it = fs::recursive_directory_iterator(Host("C")); it != fs::recursive_directory_iterator(); ++it) ++items;
  EXPECT_EQ(items, 7u);  // Users, Users\alice, Hostile, the folder, its file, -new, -new\f.txt
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostilePaths, ::testing::ValuesIn(zqtest::WindowsHostileNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return "Row" + std::to_string(info.index); });

TEST_F(WinGuestIntegration, PathsWindowsCannotTakeRunNothing) {
  ASSERT_TRUE(InitChannel());
  const size_t before = Journal().size();
  std::vector<SGuestFile> entries;
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\a|b"), 0);
  EXPECT_EQ(m_channel.CreateGuestFolder(m_ctx, "C:\\line\nbreak"), 0);
  EXPECT_EQ(m_channel.BrowseGuest(m_ctx, "C:\\trailing.", entries), 0);
  EXPECT_EQ(m_channel.CopyFileToGuest(m_ctx, m_dir.Join("local.txt"), "C:\\what?.txt", true), 0);
  EXPECT_EQ(m_channel.ChangeGuestFileAttributes(m_ctx, "C:\\a.txt:stream", SGuestFile()), 0);
  EXPECT_EQ(Journal().size(), before);
}

}  // namespace
