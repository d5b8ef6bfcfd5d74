// The operator's choices on the command line, as decision tables: which entries --include and
// --exclude take, which destinations are refused before the guest is touched, what a dry run
// plans for an entry, which mistyped command words get a suggestion, and where a password is
// masked.
#include <gtest/gtest.h>

#include "host/CommandWords.h"
#include "host/EntrySelection.h"
#include "host/GuestPath.h"
#include "host/GuestPreview.h"
#include "host/ProgressDisplay.h"
#include "host/SecretMask.h"

namespace {

struct SelectionRow {
  const char* name;
  std::vector<SelectionRule> rules;
  std::vector<std::string> taken;  // of the tree below
};
void PrintTo(const SelectionRow& row, std::ostream* out) { *out << row.name; }

// docs/ (folder), docs/a.txt, docs/cache/ (folder), docs/cache/x.tmp, logs/run.log, top.txt
SourceTree SampleTree() {
  SourceTree tree;
  auto add = [&tree](const char* path, EntryKind kind) {
    SourceEntry entry;
    entry.relativePath = path;
    entry.kind = kind;
    entry.info.st_size = kind == EntryKind::File ? 10 : 0;
    tree.entries.push_back(entry);
  };
  add("docs", EntryKind::Folder);
  add("docs/a.txt", EntryKind::File);
  add("docs/cache", EntryKind::Folder);
  add("docs/cache/x.tmp", EntryKind::File);
  add("logs", EntryKind::Folder);
  add("logs/run.log", EntryKind::File);
  add("top.txt", EntryKind::File);
  return tree;
}

class Selection : public testing::TestWithParam<SelectionRow> {};

TEST_P(Selection, TakesTheEntriesRsyncWould) {
  SourceTree tree = SampleTree();
  SelectEntries(GetParam().rules, tree);
  std::vector<std::string> taken;
  for (const SourceEntry& entry : tree.entries) taken.push_back(entry.relativePath);
  EXPECT_EQ(taken, GetParam().taken);
  EXPECT_EQ(tree.restorableFiles + tree.restorableFolders, taken.size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Selection,
    testing::Values(
        SelectionRow{"NoRules", {}, {"docs", "docs/a.txt", "docs/cache", "docs/cache/x.tmp", "logs", "logs/run.log",
                                     "top.txt"}},
        SelectionRow{"NameAtAnyDepth", {{false, "*.txt"}}, {"docs", "docs/cache", "docs/cache/x.tmp", "logs",
                                                             "logs/run.log"}},
        SelectionRow{"ExcludedFolderTakesItsContents", {{false, "cache/"}}, {"docs", "docs/a.txt", "logs",
                                                                             "logs/run.log", "top.txt"}},
        SelectionRow{"TrailingSlashMatchesFoldersOnly", {{false, "top.txt/"}}, {"docs", "docs/a.txt", "docs/cache",
                                                                                "docs/cache/x.tmp", "logs",
                                                                                "logs/run.log", "top.txt"}},
        SelectionRow{"LeadingSlashAnchorsAtTheSource", {{false, "/a.txt"}, {false, "/logs"}},
                     {"docs", "docs/a.txt", "docs/cache", "docs/cache/x.tmp", "top.txt"}},
        SelectionRow{"FirstMatchingRuleWins", {{true, "*/"}, {true, "*.txt"}, {false, "*"}},
                     {"docs", "docs/a.txt", "docs/cache", "logs", "top.txt"}},
        SelectionRow{"StarStaysInOneName", {{false, "/docs/*.tmp"}}, {"docs", "docs/a.txt", "docs/cache",
                                                                      "docs/cache/x.tmp", "logs", "logs/run.log",
                                                                      "top.txt"}},
        SelectionRow{"DoubleStarCrossesFolders", {{false, "/docs/**.tmp"}}, {"docs", "docs/a.txt", "docs/cache",
                                                                             "logs", "logs/run.log", "top.txt"}},
        SelectionRow{"IncludeOnlyDoesNotExclude", {{true, "*.log"}}, {"docs", "docs/a.txt", "docs/cache",
                                                                      "docs/cache/x.tmp", "logs", "logs/run.log",
                                                                      "top.txt"}}),
    [](const testing::TestParamInfo<SelectionRow>& row) { return std::string(row.param.name); });

TEST(Destination, MustBeAbsoluteInTheGuestsOwnForm) {
  struct Row {
    const char* destination;
    bool unixGuest;
    bool accepted;
  } rows[] = {{"/srv/restore", true, true},   {"/srv/restore", false, true}, {"D:\\Restore", false, true},
              {"d:/Restore", false, true},    {"restore", false, false},     {"restore", true, false},
              {"D:\\Restore", true, false},   {"", false, false},            {"/srv/../etc", true, false},
              {"D:\\a\\..\\b", false, false}, {"D:", false, false},          {"\\\\server\\share", false, false}};
  for (const Row& row : rows) {
    EXPECT_EQ(DestinationProblem(row.destination, row.unixGuest).empty(), row.accepted)
        << row.destination << " unixGuest=" << row.unixGuest;
  }
  EXPECT_EQ(GuestChildPath("/srv", "a/b"), "/srv/a/b");
  EXPECT_EQ(GuestChildPath("/", "a"), "/a");
  EXPECT_EQ(GuestChildPath("D:\\Restore", "a/b"), "D:\\Restore\\a\\b");
}

TEST(DryRunPlan, DecidesAsTheRestoreWould) {
  struct Row {
    const char* name;
    EntryKind kind;
    int guestType;  // -1: the guest has no entry there
    int64_t guestTime;
    OverwritePolicy policy;
    PreviewOutcome expected;
    int64_t guestSize = 3;  // the staged file's size unless told
  } rows[] = {
      {"NewFile", EntryKind::File, -1, 0, OverwritePolicy::Newer, PreviewOutcome::Restore},
      {"GuestOlder", EntryKind::File, 2, 99, OverwritePolicy::Newer, PreviewOutcome::Restore},
      {"GuestSameTime", EntryKind::File, 2, 100, OverwritePolicy::Newer, PreviewOutcome::Keep},
      {"GuestNewer", EntryKind::File, 2, 101, OverwritePolicy::Newer, PreviewOutcome::Keep},
      {"NeverKeepsOlder", EntryKind::File, 2, 1, OverwritePolicy::Never, PreviewOutcome::Keep},
      {"AlwaysReplacesNewer", EntryKind::File, 2, 500, OverwritePolicy::Always, PreviewOutcome::Restore},
      {"GuestSameTimeOtherSize", EntryKind::File, 2, 100, OverwritePolicy::Newer, PreviewOutcome::Restore, 7},
      {"LinkAtTheNameIsRefused", EntryKind::File, 3, 1, OverwritePolicy::Newer, PreviewOutcome::Refuse},
      {"LinkAtTheNameIsReplacedWhenAlways", EntryKind::File, 3, 1, OverwritePolicy::Always, PreviewOutcome::Restore},
      {"LinkAtAFoldersName", EntryKind::Folder, 3, 1, OverwritePolicy::Always, PreviewOutcome::Refuse},
      {"FolderWhereFileIs", EntryKind::Folder, 2, 0, OverwritePolicy::Newer, PreviewOutcome::Refuse},
      {"FileWhereFolderIs", EntryKind::File, 1, 0, OverwritePolicy::Always, PreviewOutcome::Refuse},
      {"ExistingFolderIsKept", EntryKind::Folder, 1, 500, OverwritePolicy::Never, PreviewOutcome::Keep},
      {"ExistingFolderIsStampedWhenAlways", EntryKind::Folder, 1, 500, OverwritePolicy::Always,
       PreviewOutcome::Restore},
      {"Unsupported", EntryKind::Unsupported, -1, 0, OverwritePolicy::Newer, PreviewOutcome::Refuse},
  };
  for (const Row& row : rows) {
    SourceEntry entry;
    entry.relativePath = "x";
    entry.kind = row.kind;
    entry.info.st_mtime = 100;
    entry.info.st_size = 3;
    if (row.kind == EntryKind::Unsupported) entry.problem = "a symbolic link";
    VMInfoStructs::SGuestFile guest;
    guest.type = row.guestType;
    guest.modifyTime = row.guestTime;
    guest.size = row.guestSize;
    EXPECT_EQ(DecidePreview(entry, row.guestType < 0 ? nullptr : &guest, row.policy).outcome, row.expected)
        << row.name;
  }
}

TEST(DryRunPlan, ListsEachGuestFolderOnceAndNothingBelowAMissingOne) {
  std::vector<std::string> listed;
  GuestFolderView view("/dest", [&listed](const std::string& path, std::vector<VMInfoStructs::SGuestFile>& entries) {
    listed.push_back(path);
    if (path == "/dest") {
      VMInfoStructs::SGuestFile docs;
      docs.name = "docs";
      docs.type = 1;
      entries.push_back(docs);
    }
    return true;
  });
  VMInfoStructs::SGuestFile found;
  EXPECT_TRUE(view.Find("docs", found));
  EXPECT_FALSE(view.Find("docs/a.txt", found));
  EXPECT_FALSE(view.Find("docs/b.txt", found));
  EXPECT_FALSE(view.Find("logs/deep/c.txt", found));
  EXPECT_EQ(listed, (std::vector<std::string>{"/dest", "/dest/docs"}));
}

TEST(ProgressLine, EndsWithTheEntryInFlightShortenedAndWithoutControlCharacters) {
  ProgressSnapshot snapshot;
  snapshot.entriesTotal = 3;
  snapshot.currentEntry = "docs/a\nb.txt";
  const std::string line = FormatProgressLine(snapshot);
  EXPECT_EQ(line.substr(line.size() - 17), "  docs/a\\x0ab.txt") << line;
  snapshot.currentEntry = std::string(30, 'x') + "/" + std::string(30, 'y');
  const std::string longLine = FormatProgressLine(snapshot);
  EXPECT_EQ(longLine.substr(longLine.size() - kEntryShown - 2), "  ..." + std::string(6, 'x') + "/" +
                                                                    std::string(30, 'y'))
      << longLine;
}

TEST(CommandWords, SuggestTheClosestKnownWord) {
  struct Row {
    std::vector<const char*> argv;
    std::string expected;
  } rows[] = {
      {{"zqrestore", "restor", "--job", "j"}, "unknown command [restor]; did you mean [restore]?"},
      {{"zqrestore", "--settings", "s.ini", "gust"}, "unknown command [gust]; did you mean [guest]?"},
      {{"zqrestore", "list"}, "unknown command [list]; use one of restore guest source"},
      {{"zqrestore", "source", "brows", "a.tar"}, "unknown source command [brows]; did you mean [browse]?"},
      {{"zqrestore", "source", "browse", "a.tar", "etc"}, ""},
      {{"zqrestore", "guest", "--job", "j", "brwse", "/"}, "unknown guest command [brwse]; did you mean [browse]?"},
      {{"zqrestore", "restore", "--job", "j", "/src"}, ""},
      {{"zqrestore", "guest", "-j", "j", "put", "a", "b"}, ""},
      {{"zqrestore", "--version"}, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(UnknownCommandWord(static_cast<int>(row.argv.size()), row.argv.data()), row.expected) << row.argv[1];
  }
}

TEST(SecretMask, HidesAPasswordWhereItStandsAsATokenOnly) {
  SecretMask mask({"wrong", "pw-longer", "pw", "", "p@ss!"});
  struct Row {
    const char* text;
    const char* shown;
  } rows[] = {
      {"a pw-longer b pw c", "a ***** b ***** c"},
      {"ZQ_PUTTY_PASS=wrong;", "ZQ_PUTTY_PASS=*****;"},
      {"password [wrong]", "password [*****]"},
      {"something went wrongly", "something went wrongly"},
      {"awrong", "awrong"},
      {"pwd and pwned", "pwd and pwned"},
      {"x p@ss!z", "x *****z"},
      {"nothing here", "nothing here"},
  };
  for (const Row& row : rows) EXPECT_EQ(mask.Apply(row.text), row.shown) << row.text;
}

}  // namespace
