// Mapping a staged entry to its path inside the guest.
#include "ControllerTestFixture.h"
#include "controller/StagingFolderLayout.h"

namespace zqtest {
namespace {

constexpr const char* kStaging = "/opt/jr/ZQ_JobResults/2/17/45/ForGuestVM";

struct PathRow {
  const char* name;
  const char* guestDir;
  long long instanceType;
  const char* stagedBelowStaging;  // appended to the staging folder as it is
  const char* expectedGuestPath;
};
void PrintTo(const PathRow& row, std::ostream* out) { *out << row.name; }

class GuestFilePathMapping : public ::testing::Test {
 protected:
  GuestFilePathMapping() {
    controller.Init(&initData, &initDataVer2, &setParams, nullptr, nullptr, "");
    setParams.destinationPath = strdup(kStaging);
  }
  ~GuestFilePathMapping() override { std::free(setParams.destinationPath); }

  std::string Map(const PathRow& row) {
    controller.m_guestDir = row.guestDir;
    initDataVer2.instanceType = row.instanceType;
    std::string guestPath = "previous content";
    controller.GenerateGuestFilePath(std::string(kStaging) + row.stagedBelowStaging, guestPath);
    return guestPath;
  }

  ScopedLogCapture log;
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  TestableController controller;
};

class GuestFilePath : public GuestFilePathMapping, public ::testing::WithParamInterface<PathRow> {};

TEST_P(GuestFilePath, MapsStagedEntry) {
  const PathRow& row = GetParam();
  EXPECT_EQ(row.expectedGuestPath, Map(row));
  EXPECT_TRUE(log.sink().Records().empty());
}

// The documented worked examples, one row each.
const PathRow kWorkedExamples[] = {
    {"WindowsFolder", "D:\\Restore", 101, "/Users/a.txt", "D:\\Restore\\Users\\a.txt"},
    {"WindowsFolderEndingInSeparator", "D:\\Restore\\", 101, "/a.txt", "D:\\Restore\\a.txt"},
    {"UnixFolder", "//tmp/r", 101, "/etc/hosts", "//tmp/r/etc/hosts"},
    {"UnixColonToken", "//tmp/r", 101, "/dirZqColonZqx/f", "//tmp/r/dir:x/f"},
    {"HyperVUnixNestedEntry", "//tmp/r", 102, "/etc/hosts", "//tmp/r/etc"},
    {"HyperVUnixTopEntry", "//tmp/r", 102, "/hosts", "//tmp/r/"},
};
INSTANTIATE_TEST_SUITE_P(WorkedExamples, GuestFilePath, ::testing::ValuesIn(kWorkedExamples),
                         [](const ::testing::TestParamInfo<PathRow>& info) { return std::string(info.param.name); });

const PathRow kEdgeCases[] = {
    {"UnixFolderEndingInSeparator", "/data/", 101, "/a", "/data/a"},
    {"UnixBackslashesBecomeSlashes", "//tmp/r", 101, "/a\\b\\c.txt", "//tmp/r/a/b/c.txt"},
    {"WindowsKeepsColonToken", "D:\\Restore", 101, "/dirZqColonZqx/f", "D:\\Restore\\dirZqColonZqx\\f"},
    {"UnixDecodesEveryColonToken", "//tmp/r", 101, "/aZqColonZqbZqColonZqc", "//tmp/r/a:b:c"},
    {"HyperVUnixDeepEntry", "//tmp/r", 102, "/a/b/c.txt", "//tmp/r/a/b"},
    {"HyperVWindowsIsNotCut", "D:\\Restore", 102, "/Users/a.txt", "D:\\Restore\\Users\\a.txt"},
    {"OtherInstanceTypeIsNotCut", "//tmp/r", 601, "/etc/hosts", "//tmp/r/etc/hosts"},
    {"DotsInsideNamesAreKept", "//tmp/r", 101, "/.../a..b/..c", "//tmp/r/.../a..b/..c"},
};
INSTANTIATE_TEST_SUITE_P(EdgeCases, GuestFilePath, ::testing::ValuesIn(kEdgeCases),
                         [](const ::testing::TestParamInfo<PathRow>& info) { return std::string(info.param.name); });

// The job's GuestMapping as a pure function: one row per kind of guest, each with the guest path a
// staged entry maps to and the entry's own guest path.
struct MappingRow {
  const char* name;
  const char* guestFolder;
  long long instanceType;
  const char* stagedBelowStaging;  // appended to the staging folder as it is
  bool createsFolders;
  const char* guestPath;
  const char* entryPath;
};
void PrintTo(const MappingRow& row, std::ostream* out) { *out << row.name; }

class GuestMappingRows : public ::testing::TestWithParam<MappingRow> {};

TEST_P(GuestMappingRows, MapsGuestPathAndEntryPath) {
  const MappingRow& row = GetParam();
  const GuestMapping mapping = GuestMappingOf(row.guestFolder, row.instanceType);
  EXPECT_EQ(row.createsFolders, mapping.CreatesFolders());
  const StagedEntryMapping mapped = MapStagedEntry(mapping, kStaging, std::string(kStaging) + row.stagedBelowStaging);
  EXPECT_EQ("", mapped.refusal);
  EXPECT_EQ(row.guestPath, mapped.guestPath);
  EXPECT_EQ(row.entryPath, mapped.entryPath);
}

// Only Hyper-V Unix guests map an entry to its holding folder; the copy there names the guest file
// after the staged one, so the entry's own path keeps the name as the proxy spells it.
const MappingRow kRows[] = {
    {"WindowsGuest", "D:\\Restore", 101, "/a/b.txt", true, "D:\\Restore\\a\\b.txt", "D:\\Restore\\a\\b.txt"},
    {"UnixGuest", "//tmp/r", 101, "/a/b.txt", true, "//tmp/r/a/b.txt", "//tmp/r/a/b.txt"},
    {"HyperVWindowsGuest", "D:\\Restore", 102, "/a/b.txt", false, "D:\\Restore\\a\\b.txt", "D:\\Restore\\a\\b.txt"},
    {"HyperVUnixNestedEntry", "//tmp/r", 102, "/a/b.txt", false, "//tmp/r/a", "//tmp/r/a/b.txt"},
    {"HyperVUnixTopEntry", "//tmp/r", 102, "/b.txt", false, "//tmp/r/", "//tmp/r/b.txt"},
    {"HyperVUnixKeepsStagedSpelling", "//tmp/r", 102, "/a/xZqColonZqy", false, "//tmp/r/a", "//tmp/r/a/xZqColonZqy"},
    {"OtherKindIsNotCut", "//tmp/r", 601, "/a/b.txt", true, "//tmp/r/a/b.txt", "//tmp/r/a/b.txt"},
};
INSTANTIATE_TEST_SUITE_P(Kinds, GuestMappingRows, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<MappingRow>& info) { return std::string(info.param.name); });

TEST(GuestMapping, RefusedEntryGetsNoPaths) {
  const StagedEntryMapping mapped = MapStagedEntry(GuestMappingOf("", 102), kStaging, std::string(kStaging) + "/a");
  EXPECT_EQ("the guest folder has not been prepared", mapped.refusal);
  EXPECT_EQ("", mapped.guestPath);
  EXPECT_EQ("", mapped.entryPath);
}

// Paths that do not lie inside the staging folder are refused without reading past them.
// A destination in another guest's style is refused before anything is created; a guest whose
// style is not known yet takes its destination's own style.
TEST(DestinationStyle, TakesOnlyTheGuestsOwnAbsoluteForm) {
  struct {
    const char* destination;
    GuestPathStyle style;
    bool rootedByHost;
    bool accepted;
  } const rows[] = {
      {"/srv/restore", GuestPathStyle::Unix, false, true}, {"/", GuestPathStyle::Unix, false, true},
      {"D:\\Restore", GuestPathStyle::Unix, false, false}, {"D:\\Restore", GuestPathStyle::Unix, true, false},
      {"restore/x", GuestPathStyle::Unix, false, false},   {"restore/x", GuestPathStyle::Unix, true, true},
      {"", GuestPathStyle::Unix, true, false},             {"D:\\Restore", GuestPathStyle::Windows, false, true},
      {"c:/data", GuestPathStyle::Windows, false, true},   {"/srv/x", GuestPathStyle::Windows, false, false},
      {"D:", GuestPathStyle::Windows, false, false},       {"Restore\\x", GuestPathStyle::Windows, false, false},
      {"1:\\x", GuestPathStyle::Windows, false, false},    {"D:\\Restore", GuestPathStyle::Unknown, false, true},
      {"/srv/x", GuestPathStyle::Unknown, false, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.accepted, DestinationStyleProblem(row.destination, row.style, row.rootedByHost).empty())
        << row.destination << " style " << static_cast<int>(row.style);
  }
}

struct RefusalRow {
  const char* name;
  std::string stagedPath;
};

TEST_F(GuestFilePathMapping, RefusesEntriesOutsideTheStagingFolder) {
  const RefusalRow rows[] = {
      {"StagingFolderItself", kStaging},
      {"ShorterThanStagingFolder", "/opt/jr"},
      {"EmptyPath", ""},
      {"SiblingWithLongerName", std::string(kStaging) + "x/a.txt"},
      {"BackslashAfterStagingFolder", std::string(kStaging) + "\\a.txt"},
      {"UnrelatedPath", "/etc/passwd/and/some/more/text/than/the/staging/folder"},
  };
  controller.m_guestDir = "//tmp/r";
  for (const RefusalRow& row : rows) {
    SCOPED_TRACE(row.name);
    log.sink().Clear();
    std::string guestPath = "previous content";
    controller.GenerateGuestFilePath(row.stagedPath, guestPath);
    EXPECT_EQ("", guestPath);
    ASSERT_EQ(1u, log.sink().Records().size());
    const LogRecord record = log.sink().Records()[0];
    EXPECT_EQ(LogLevel::Error, record.level);
    EXPECT_EQ(kGuestFilePathOrigin, record.origin);
    EXPECT_EQ(
        "Cannot map staged entry [" + row.stagedPath + "] into the guest: the entry is not inside the staging folder",
        record.text);
  }
}

// Once "\\" is a separator, every name of the entry must be a plain one; anything else could land
// on the destination folder itself or outside it. One error line, and no guest path.
TEST_F(GuestFilePathMapping, RefusesNamesThatAreNotPlain) {
  const RefusalRow rows[] = {
      {"ParentByBackslashes", std::string(kStaging) + "/..\\..\\etc\\cron.d\\evil"},
      {"ParentBySlashes", std::string(kStaging) + "/a/../../etc/passwd"},
      {"ParentAtTheEnd", std::string(kStaging) + "/a/.."},
      {"CurrentFolder", std::string(kStaging) + "/./a.txt"},
      {"CurrentFolderByBackslash", std::string(kStaging) + "/a\\.\\b"},
      {"EmptyRelativePath", std::string(kStaging) + "/"},
      {"DoubledSeparator", std::string(kStaging) + "//etc/hosts"},
      {"TrailingSeparator", std::string(kStaging) + "/etc/sub/"},
      {"BackslashAndSlash", std::string(kStaging) + "/a\\/b"},
  };
  for (const char* guestDir : {"//tmp/r", "D:\\Restore"}) {
    controller.m_guestDir = guestDir;
    for (const RefusalRow& row : rows) {
      SCOPED_TRACE(std::string(guestDir) + " " + row.name);
      log.sink().Clear();
      std::string guestPath = "previous content";
      controller.GenerateGuestFilePath(row.stagedPath, guestPath);
      EXPECT_EQ("", guestPath);
      ASSERT_EQ(1u, log.sink().Records().size());
      EXPECT_EQ(LogLevel::Error, log.sink().Records()[0].level);
      EXPECT_NE(std::string::npos, log.sink().Records()[0].text.find("its name ["));
    }
  }
}

TEST_F(GuestFilePathMapping, RefusesWithoutPublishedStagingFolder) {
  std::free(setParams.destinationPath);
  setParams.destinationPath = nullptr;
  controller.m_guestDir = "//tmp/r";
  std::string guestPath = "previous content";
  controller.GenerateGuestFilePath(std::string(kStaging) + "/a", guestPath);
  EXPECT_EQ("", guestPath);
  ASSERT_EQ(1u, log.sink().Records().size());
  EXPECT_EQ(
      "Cannot map staged entry [" + std::string(kStaging) + "/a] into the guest: no staging folder has been published",
      log.sink().Records()[0].text);
}

TEST_F(GuestFilePathMapping, RefusesWithoutGuestFolder) {
  std::string guestPath = "previous content";
  controller.GenerateGuestFilePath(std::string(kStaging) + "/a", guestPath);
  EXPECT_EQ("", guestPath);
  ASSERT_EQ(1u, log.sink().Records().size());
  EXPECT_EQ("Cannot map staged entry [" + std::string(kStaging) +
                "/a] into the guest: the guest folder has not been prepared",
            log.sink().Records()[0].text);
}

}  // namespace
}  // namespace zqtest
