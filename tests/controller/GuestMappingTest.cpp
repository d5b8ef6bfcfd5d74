// The job's GuestMapping: one row per kind of guest, each with the guest path a staged entry maps
// to and the entry's own guest path.
#include <gtest/gtest.h>

#include <string>

#include "controller/StagingFolderLayout.h"

namespace {

constexpr const char* kStaging = "/opt/jr/ZQ_JobResults/2/17/45/ForGuestVM";

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

}  // namespace
