// How many times the controller asks the guest before copying: one listing per folder answers for
// all its files, a file a kept listing shows as older is looked at again before it is replaced,
// and a listing that fails is a failure, never an absent file.
#include <boost/algorithm/string/predicate.hpp>
#include <string>
#include <vector>

#include "ControllerTestFixture.h"
#include "controller/GuestListingCache.h"

namespace zqtest {
namespace {

using ::testing::_;
using ::testing::Invoke;
using VMInfoStructs::SGuestFile;

constexpr long long kGuestTime = 1600000000;
constexpr long long kFolder = -1;  // local time of a staged folder

struct GuestItem {
  std::string path;
  long long modifyTime;   // kFolder for a folder
  long long laterTime{};  // when not 0: the item's time once the first listing was taken
};

struct StagedItem {
  std::string relative;
  long long localTime;  // kFolder for a folder
};

struct LookUpRow {
  const char* name;
  const char* guestDir;
  std::vector<GuestItem> guest;
  std::vector<StagedItem> staged;
  bool browsesFail;
  int expectBrowses;
  std::vector<std::string> expectWrites;  // "copy PATH OVERWRITE" or "mkdir PATH", in order
  int expectKept;
  int expectFailed;
};
void PrintTo(const LookUpRow& row, std::ostream* out) { *out << row.name; }

std::string HoldingFolderOf(const std::string& path) { return path.substr(0, path.find_last_of("/\\")); }

class GuestLookUps : public ControllerTest, public ::testing::WithParamInterface<LookUpRow> {
 protected:
  // Paths compare as the guest compares them: without regard to letter case in Windows guests.
  bool SamePath(const std::string& one, const std::string& other) const {
    return GetParam().guestDir[0] == '/' ? one == other : boost::algorithm::iequals(one, other);
  }

  // A guest that answers browses from `items`: a file path with that file, a folder path with
  // the entries it holds.
  int Browse(const std::string& path, std::vector<SGuestFile>& entries) {
    ++browses;
    if (GetParam().browsesFail) return 0;
    for (const GuestItem& item : items) {
      if (SamePath(item.path, path) && item.modifyTime != kFolder) {
        entries.push_back(Describe(item));
        return 1;
      }
    }
    for (const GuestItem& item : items) {
      if (SamePath(HoldingFolderOf(item.path), path)) entries.push_back(Describe(item));
    }
    for (GuestItem& item : items) {
      if (item.laterTime != 0) item.modifyTime = item.laterTime;
    }
    return 1;
  }

  static SGuestFile Describe(const GuestItem& item) {
    SGuestFile entry;
    entry.name = item.path.substr(item.path.find_last_of("/\\") + 1);
    entry.type = item.modifyTime == kFolder ? VMInfoStructs::GuestFileDirectory : VMInfoStructs::GuestFileRegular;
    entry.modifyTime = item.modifyTime;
    entry.size = item.modifyTime == kFolder ? 0 : 1;  // as the staged files, "x"
    return entry;
  }

  std::vector<GuestItem> items;
  int browses = 0;
  std::vector<std::string> writes;
};

TEST_P(GuestLookUps, AskTheGuestOnlyWhereTheAnswerMatters) {
  const LookUpRow& row = GetParam();
  PrepareStaging(row.guestDir);
  items = row.guest;
  EXPECT_CALL(*guest, GetLastGuestApiErrorDetails()).WillRepeatedly(::testing::Return("no answer"));
  EXPECT_CALL(*guest, IsZqGuestAPI()).WillRepeatedly(::testing::Return(true));
  EXPECT_CALL(*guest, BrowseGuest(_, _, _))
      .WillRepeatedly(Invoke([this](const GuestCtx&, const std::string& path, std::vector<SGuestFile>& entries) {
        return Browse(path, entries);
      }));
  EXPECT_CALL(*guest, CreateGuestFolder(_, _)).WillRepeatedly(Invoke([this](const GuestCtx&, const std::string& path) {
    writes.push_back("mkdir " + path);
    return 1;
  }));
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, _))
      .WillRepeatedly(Invoke([this](const GuestCtx&, const std::string&, const std::string& path, bool overwrite) {
        writes.push_back("copy " + path + (overwrite ? " 1" : " 0"));
        return 1;
      }));

  int kept = 0;
  int failed = 0;
  for (const StagedItem& item : row.staged) {
    const std::string staged =
        item.localTime == kFolder ? StageFolder(item.relative) : StageFile(item.relative, "x", item.localTime);
    std::string guestPath;
    controller.GenerateGuestFilePath(staged, guestPath);
    bool skipped = false;
    bool isFolder = false;
    if (controller.CopyToGuest(staged, guestPath, true, skipped, isFolder)) continue;
    ++(skipped ? kept : failed);
  }

  EXPECT_EQ(row.expectBrowses, browses);
  EXPECT_EQ(row.expectWrites, writes);
  EXPECT_EQ(row.expectKept, kept);
  EXPECT_EQ(row.expectFailed, failed);
}

const LookUpRow kLookUpTable[] = {
    {"FilesOfOneFolderShareOneListing",
     "//tmp/r",
     {{"//tmp/r/sub", kFolder}, {"//tmp/r/sub/old", kGuestTime}},
     {{"sub/a", kGuestTime}, {"sub/b", kGuestTime}, {"sub/c", kGuestTime}},
     false,
     1,
     {"copy //tmp/r/sub/a 0", "copy //tmp/r/sub/b 0", "copy //tmp/r/sub/c 0"},
     0,
     0},
    {"FolderTheRestoreCreatesNeedsNoListing",
     "//tmp/r",
     {},
     {{"sub", kFolder}, {"sub/a", kGuestTime}, {"sub/b", kGuestTime}, {"sub/deeper", kFolder}, {"sub/deeper/c", 1}},
     false,
     1,
     {"mkdir //tmp/r/sub", "copy //tmp/r/sub/a 0", "copy //tmp/r/sub/b 0", "mkdir //tmp/r/sub/deeper",
      "copy //tmp/r/sub/deeper/c 0"},
     0,
     0},
    {"OlderGuestFileIsLookedAtAgainThenReplaced",
     "//tmp/r",
     {{"//tmp/r/a", kGuestTime}, {"//tmp/r/b", kGuestTime}},
     {{"a", kGuestTime - 1}, {"b", kGuestTime + 1}},
     false,
     2,
     {"copy //tmp/r/b 1"},
     1,
     0},
    {"FileFirstSeenInAFreshListingIsReplacedAtOnce",
     "//tmp/r",
     {{"//tmp/r/a", kGuestTime}},
     {{"a", kGuestTime + 1}},
     false,
     1,
     {"copy //tmp/r/a 1"},
     0,
     0},
    {"GuestFileGrownNewerSinceTheListingIsKept",
     "//tmp/r",
     {{"//tmp/r/a", kGuestTime}, {"//tmp/r/b", kGuestTime, kGuestTime + 10}},
     {{"a", kGuestTime - 1}, {"b", kGuestTime + 1}},
     false,
     2,
     {},
     2,
     0},
    {"NewerGuestFileIsKeptWithoutAnotherLook",
     "//tmp/r",
     {{"//tmp/r/a", kGuestTime}, {"//tmp/r/b", kGuestTime}},
     {{"a", kGuestTime}, {"b", kGuestTime - 1}},
     false,
     1,
     {},
     2,
     0},
    {"CopiedFileIsKnownToItsFolder",
     "//tmp/r",
     {},
     {{"a", kGuestTime}, {"a", kGuestTime}},
     false,
     1,
     {"copy //tmp/r/a 0"},
     1,
     0},
    {"WindowsNamesMatchWithoutLetterCase",
     "D:\\Restore",
     {{"D:\\Restore\\Sub", kFolder}, {"D:\\Restore\\Sub\\A.TXT", kGuestTime}},
     {{"sub/a.txt", kGuestTime}, {"SUB/b.txt", kGuestTime}, {"sub/A.txt", kGuestTime - 1}},
     false,
     1,
     {"copy D:\\Restore\\SUB\\b.txt 0"},
     2,
     0},
    {"FailedListingIsAFailureNeverAnAbsentFile",
     "//tmp/r",
     {},
     {{"a", kGuestTime}, {"b", kGuestTime}},
     true,
     2,
     {},
     0,
     2},
};
INSTANTIATE_TEST_SUITE_P(Rows, GuestLookUps, ::testing::ValuesIn(kLookUpTable),
                         [](const ::testing::TestParamInfo<LookUpRow>& info) { return std::string(info.param.name); });

// Whatever the number of folders and entries, the kept listings stay within their bounds.
TEST(GuestListingCache, StaysWithinItsBounds) {
  GuestListingCache cache(false, 3, 10);
  std::vector<SGuestFile> four(4);
  for (int i = 0; i < 4; ++i) four[i].name = "f" + std::to_string(i);
  for (int folder = 0; folder < 50; ++folder) cache.Remember("/d" + std::to_string(folder), four);
  EXPECT_EQ(2u, cache.Folders());
  EXPECT_EQ(8u, cache.Entries());
  EXPECT_TRUE(cache.Has("/d49"));
  EXPECT_FALSE(cache.Has("/d0"));

  cache.Remember("/huge", std::vector<SGuestFile>(11));
  EXPECT_FALSE(cache.Has("/huge"));
  for (int i = 0; i < 20; ++i) {
    SGuestFile copied;
    copied.name = "new" + std::to_string(i);
    cache.Put("/d49", copied);
  }
  EXPECT_LE(cache.Entries(), 10u);
}

// Each bound of the kept listings, one below, at and one above: the folder bound with listings
// too small to reach the entry bound, the entry bound with a single listing, and the entry bound
// summed over folders.
struct BoundRow {
  const char* name;
  size_t maxFolders, maxEntries;
  std::vector<size_t> listings;  // entries of each listing remembered, in order
  size_t keptFolders, keptEntries;
};
void PrintTo(const BoundRow& row, std::ostream* out) { *out << row.name; }

class GuestListingCacheBounds : public ::testing::TestWithParam<BoundRow> {};

TEST_P(GuestListingCacheBounds, KeepsUpToEachBoundAndNoMore) {
  const BoundRow& row = GetParam();
  GuestListingCache cache(false, row.maxFolders, row.maxEntries);
  for (size_t folder = 0; folder < row.listings.size(); ++folder) {
    std::vector<SGuestFile> entries(row.listings[folder]);
    for (size_t i = 0; i < entries.size(); ++i) entries[i].name = "f" + std::to_string(i);
    cache.Remember("/d" + std::to_string(folder), entries);
  }
  EXPECT_EQ(cache.Folders(), row.keptFolders);
  EXPECT_EQ(cache.Entries(), row.keptEntries);
  // The kept ones are the most recent.
  for (size_t back = 0; back < row.keptFolders; ++back) {
    EXPECT_TRUE(cache.Has("/d" + std::to_string(row.listings.size() - 1 - back))) << back;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, GuestListingCacheBounds,
    ::testing::Values(BoundRow{"FoldersOneBelowTheBound", 16, 1000, std::vector<size_t>(15, 1), 15, 15},
                      BoundRow{"FoldersAtTheBound", 16, 1000, std::vector<size_t>(16, 1), 16, 16},
                      BoundRow{"FoldersOneAboveTheBound", 16, 1000, std::vector<size_t>(17, 1), 16, 16},
                      BoundRow{"ListingOneBelowTheEntryBound", 16, 10, {9}, 1, 9},
                      BoundRow{"ListingAtTheEntryBound", 16, 10, {10}, 1, 10},
                      BoundRow{"ListingOneAboveTheEntryBound", 16, 10, {11}, 0, 0},
                      BoundRow{"EntriesOfSeveralFoldersAtTheBound", 16, 10, {4, 3, 3}, 3, 10},
                      BoundRow{"EntriesOfSeveralFoldersOneAboveTheBound", 16, 10, {4, 3, 4}, 2, 7}),
    [](const ::testing::TestParamInfo<BoundRow>& info) { return std::string(info.param.name); });

// A guest folder too large to keep listed is listed once; its other files are each looked at by
// themselves (one browse of their own path), never by listing the whole folder again.
TEST_F(ControllerTest, FolderTooLargeToKeepIsListedOnceThenEachFileAlone) {
  PrepareStaging("//tmp/r");
  std::vector<SGuestFile> huge(GuestListingCache::kMaxEntries + 1);
  for (size_t i = 0; i < huge.size(); ++i) {
    huge[i].name = "other-" + std::to_string(i);
    huge[i].type = VMInfoStructs::GuestFileRegular;
  }
  int listings = 0;
  int alone = 0;
  EXPECT_CALL(*guest, IsZqGuestAPI()).WillRepeatedly(::testing::Return(true));
  EXPECT_CALL(*guest, BrowseGuest(_, _, _))
      .WillRepeatedly(Invoke([&](const GuestCtx&, const std::string& path, std::vector<SGuestFile>& entries) {
        if (path == "//tmp/r") {
          ++listings;
          entries = huge;
        } else {
          ++alone;  // a file of its own: not there yet
        }
        return 1;
      }));
  EXPECT_CALL(*guest, CopyFileToGuest(_, _, _, false)).Times(20).WillRepeatedly(::testing::Return(1));
  for (int i = 0; i < 20; ++i) {
    const std::string staged = StageFile("f" + std::to_string(i), "x", kGuestTime);
    std::string guestPath;
    controller.GenerateGuestFilePath(staged, guestPath);
    bool skipped = false;
    bool isFolder = false;
    EXPECT_TRUE(controller.CopyToGuest(staged, guestPath, true, skipped, isFolder));
  }
  EXPECT_EQ(listings, 1);
  EXPECT_EQ(alone, 19);
}

}  // namespace
}  // namespace zqtest
