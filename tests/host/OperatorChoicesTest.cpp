// The operator's choices on the command line, as decision tables: which entries --include and
// --exclude take, which destinations are refused before the guest is touched, what a dry run
// plans for an entry, which mistyped command words get a suggestion, and where a password is
// masked.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/CommandWords.h"
#include "host/EntrySelection.h"
#include "host/GuestPath.h"
#include "host/GuestPreview.h"
#include "host/GuestShortForm.h"
#include "host/PlanRunner.h"
#include "host/ProgressDisplay.h"
#include "host/RestorePlan.h"
#include "host/SecretMask.h"
#include "host/TerminalLines.h"
#include "platform/ProxyInputFile.h"
#include "support/TestSupport.h"

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
    bool byContent = false;
    mode_t mode = 0;
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
      {"LinkInTheSourceIsSkipped", EntryKind::Unsupported, -1, 0, OverwritePolicy::Newer, PreviewOutcome::Skip, 3,
       false, S_IFLNK | 0777},
      {"PipeInTheSourceIsSkipped", EntryKind::Unsupported, 2, 0, OverwritePolicy::Always, PreviewOutcome::Skip, 3,
       false, S_IFIFO | 0600},
      {"ByContentSameSizeNewerInTheGuest", EntryKind::File, 2, 500, OverwritePolicy::Newer, PreviewOutcome::Keep, 3,
       true},
      {"ByContentSameSizeOlderInTheGuest", EntryKind::File, 2, 1, OverwritePolicy::Newer, PreviewOutcome::Keep, 3, true},
      {"ByContentOtherSizeNewerInTheGuest", EntryKind::File, 2, 500, OverwritePolicy::Newer, PreviewOutcome::Restore,
       7, true},
      {"ByContentNeverStillKeeps", EntryKind::File, 2, 1, OverwritePolicy::Never, PreviewOutcome::Keep, 7, true},
      {"ByContentAlwaysReplaces", EntryKind::File, 2, 500, OverwritePolicy::Always, PreviewOutcome::Restore, 3, true},
  };
  for (const Row& row : rows) {
    SourceEntry entry;
    entry.relativePath = "x";
    entry.kind = row.kind;
    entry.info.st_mtime = 100;
    entry.info.st_size = 3;
    entry.info.st_mode = row.mode;
    if (row.kind == EntryKind::Unsupported) entry.problem = "a symbolic link";
    VMInfoStructs::SGuestFile guest;
    guest.type = row.guestType;
    guest.modifyTime = row.guestTime;
    guest.size = row.guestSize;
    EXPECT_EQ(DecidePreview(entry, row.guestType < 0 ? nullptr : &guest, row.policy, row.byContent).outcome,
              row.expected)
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
      {{"zqrestore", "list"}, "unknown command [list]; use one of restore guest plan source"},
      {{"zqrestore", "source", "brows", "a.tar"}, "unknown source command [brows]; did you mean [browse]?"},
      {{"zqrestore", "source", "browse", "a.tar", "etc"}, ""},
      {{"zqrestore", "guest", "--job", "j", "brwse", "/"}, "unknown guest command [brwse]; did you mean [browse]?"},
      {{"zqrestore", "restore", "--job", "j", "/src"}, ""},
      {{"zqrestore", "guest", "-j", "j", "put", "a", "b"}, ""},
      {{"zqrestore", "guest", "--guest", "h", "--guest-os", "linux", "--password-env", "P", "browse", "/"}, ""},
      {{"zqrestore", "guest", "--guest", "h", "--password-file", "f", "brwse"}, "unknown guest command [brwse]; did you mean [browse]?"},
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
  // Masks of a one- or two-character password would point at it inside "zqplink.exe" or "refused":
  // such a password is refused where it is read, and the reason never holds it.
  for (const char* tooShort : {"x", "re", "ab3"}) {
    EXPECT_EQ(ShortPasswordProblem(tooShort).rfind("the password is shorter than 4 characters", 0), 0u) << tooShort;
  }
  for (const char* taken : {"", "four"}) EXPECT_EQ(ShortPasswordProblem(taken), "") << taken;
}

// A plan names its jobs' files and sources; everything else about a plan is refused with the job
// and the member named, before any job starts. Run as root, a plan another user owns is refused
// unless the operator trusts its author.
TEST(RestorePlan, RefusesWhatCouldNotRunAndNamesTheJobAndMember) {
  zqtest::TempDir dir;
  const uid_t asMade = static_cast<uid_t>(-1);
  const struct {
    const char* text;
    const char* message;  // nullptr: the plan is read
    uid_t owner = static_cast<uid_t>(-1);
    bool trustPlanAuthor = false;
  } rows[] = {
      {R"({"jobs": []})", "\"jobs\" must be a list of at least one job"},
      {R"({"jobs": [{"job": "j.json"}]})", "job 1: \"source\" is required"},
      {R"({"jobs": [{"source": "s"}]})", "job 1: give either \"job\""},
      {R"({"jobs": [{"job": "j.json", "guest": "10.0.0.1", "source": "s"}]})", "job 1: give either \"job\""},
      {R"({"jobs": [{"job": "j.json", "source": "s"}, {"job": "j.json", "source": "s", "password": "x"}]})",
       "job 2: a password is never written into a plan"},
      {R"({"jobs": [{"job": "j.json", "source": "s", "overwrite": "sometimes"}]})", "must be never, newer or always"},
      {R"({"jobs": [{"job": "j.json", "source": "s", "colour": "red"}]})", "job 1: unknown member \"colour\""},
      {R"({"jobs": [{"job": "j.json", "source": "s", "include": "*.txt"}]})", "\"include\" must be a list of texts"},
      {R"({"jobs": [{"job": "j.json", "source": "s", "passwordEnv": "P"}]})", "belong to the one-command form"},
      {R"({"jobs": [], "extra": 1})", "unknown member \"extra\""},
      {"not json", "not a JSON object"},
      {R"({"jobs": [{"job": "j.json", "source": "s"}]})", nullptr},
      {R"({"jobs": [{"job": "j.json", "source": "s"}]})", "belongs to user id 65534, and zqrestore running as root",
       65534},
      {R"({"jobs": [{"job": "j.json", "source": "s"}]})", nullptr, 65534, true},
  };
  for (const auto& row : rows) {
    if (row.owner != asMade && geteuid() != 0) continue;  // only root gives a file away, or is guarded
    zqtest::WriteFile(dir.Join("plan.json"), row.text);
    ASSERT_EQ(::chown(dir.Join("plan.json").c_str(), row.owner, asMade), 0);
    ProxyInputFile::TrustOtherAuthors(row.trustPlanAuthor);
    RestorePlan plan;
    std::string error;
    EXPECT_EQ(LoadRestorePlan(dir.Join("plan.json"), plan, error), row.message == nullptr) << row.text << error;
    if (row.message != nullptr) {
      EXPECT_NE(error.find(row.message), std::string::npos) << row.text << " -> " << error;
    }
    ProxyInputFile::TrustOtherAuthors(false);
    ::unlink(dir.Join("plan.json").c_str());
  }
  zqtest::WriteFile(dir.Join("plan.json"), std::string(kMaxPlanBytes + 1, ' '));
  RestorePlan plan;
  std::string error;
  EXPECT_FALSE(LoadRestorePlan(dir.Join("plan.json"), plan, error));
  EXPECT_NE(error.find("larger than"), std::string::npos) << error;
  // At the bound, a plan is read: relative paths against the plan's folder, a source starting
  // with "-" kept a source.
  std::string atBound = R"({"jobs": [{"job": "j.json", "source": "-s"}]})";
  atBound.resize(kMaxPlanBytes, ' ');
  zqtest::WriteFile(dir.Join("plan-at-bound.json"), atBound);
  ASSERT_TRUE(LoadRestorePlan(dir.Join("plan-at-bound.json"), plan, error)) << error;
  EXPECT_EQ(RestoreArguments(plan.jobs[0], true),
            (std::vector<std::string>{"--job", dir.Join("j.json"), "--dry-run", "--", dir.Join("-s")}));
}

// How a job ended decides whether the plan tries it again.
TEST(RestorePlan, ClassesEachEndAsCompletedRetryableOrFinal) {
  struct {
    int status;
    const char* detail;
    PlanJobOutcome outcome;
    bool retryable;
  } const rows[] = {
      {0, "", PlanJobOutcome::Completed, false},
      {3, "ssh: connect to host 10.0.0.9 port 22: No route to host", PlanJobOutcome::Failed, true},
      {3, "Failed (the agent: time limit reached while waiting for the answer)", PlanJobOutcome::Failed, true},
      {3, "authentication refused for root at 10.0.0.9", PlanJobOutcome::Failed, false},
      {3, "Virtual machine [x] was not found", PlanJobOutcome::Failed, false},
      {1, "", PlanJobOutcome::Failed, false},
      {2, "", PlanJobOutcome::Failed, false},
      {4, "", PlanJobOutcome::Failed, false},
      {130, "", PlanJobOutcome::Interrupted, false},
      {143, "", PlanJobOutcome::Interrupted, false},
  };
  for (const auto& row : rows) {
    const PlanJobResult result = ClassifyJobEnd(row.status, nlohmann::json{{"detail", row.detail}});
    EXPECT_EQ(result.outcome, row.outcome) << row.status << " " << row.detail;
    EXPECT_EQ(result.retryable, row.retryable) << row.status << " " << row.detail;
  }
}

// The folder that keeps a plan's job summaries and output is the plan's own: one that other users
// may change is refused before any job starts, as a link in its place is.
TEST(RestorePlan, KeepsItsJobFilesOnlyInAFolderOfItsOwn) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("plan.json"), R"({"jobs": [{"job": "j.json", "source": "s"}]})");
  RestorePlan plan;
  std::string error;
  ASSERT_TRUE(LoadRestorePlan(dir.Join("plan.json"), plan, error)) << error;
  PlanOptions options;
  options.zqrestore = "/nonexistent/zqrestore";
  const std::string jobs = PlanStateFile(plan, options) + ".jobs";
  TerminalLines terminal(stderr, false);
  PlanReport report;
  ASSERT_EQ(mkdir(jobs.c_str(), 0777), 0);
  ASSERT_EQ(chmod(jobs.c_str(), 0777), 0);
  EXPECT_FALSE(RunPlan(plan, options, terminal, report, error));
  EXPECT_NE(error.find("can be changed by other users"), std::string::npos) << error;
  ASSERT_EQ(rmdir(jobs.c_str()), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), jobs.c_str()), 0);
  EXPECT_FALSE(RunPlan(plan, options, terminal, report, error));
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
  // A state another user may have planted (here a link to a state elsewhere) is refused
  // with the reason, and nothing runs.
  ASSERT_EQ(unlink(jobs.c_str()), 0);
  zqtest::WriteFile(dir.Join("done"), R"({"jobs": {}})");
  ASSERT_EQ(symlink(dir.Join("done").c_str(), PlanStateFile(plan, options).c_str()), 0);
  EXPECT_FALSE(RunPlan(plan, options, terminal, report, error));
  EXPECT_NE(error.find("the plan's state " + PlanStateFile(plan, options) + " is a link"), std::string::npos) << error;
  EXPECT_FALSE(zqtest::Exists(jobs)) << "the plan ran";
}

// Retries: a guest that comes up late is tried again and completes; a refused login is not tried
// again. A stand-in for zqrestore answers as the real one does, by its exit status and summary.
TEST(RestorePlan, RetriesOnlyWhatIsWorthRetrying) {
  zqtest::TempDir dir;
  const std::string fake = dir.Join("zqrestore");
  zqtest::WriteFile(fake, R"(#!/bin/bash
summary= source=
while (($#)); do
  case $1 in --summary-json) summary=$2; shift ;; --) source=$2; shift ;; esac
  shift
done
tries=$(cat "$source.tries" 2>/dev/null || echo 0)
echo $((tries + 1)) >"$source.tries"
case $source in
  *late) ((tries >= 1)) && { echo '{"restoredFiles": 3, "headline": "completed"}' >"$summary"; exit 0; }
         echo '{"headline": "refused", "detail": "ssh: connect to host 10.0.0.9 port 22: Connection refused"}' >"$summary"
         exit 3 ;;
  *) echo '{"headline": "refused", "detail": "authentication refused for root at 10.0.0.9"}' >"$summary"; exit 3 ;;
esac
)");
  ASSERT_EQ(chmod(fake.c_str(), 0755), 0);
  zqtest::WriteFile(dir.Join("plan.json"), R"({"jobs": [{"job": "j.json", "source": "late"},
                                                        {"job": "j.json", "source": "wrong-password"}]})");
  RestorePlan plan;
  std::string error;
  ASSERT_TRUE(LoadRestorePlan(dir.Join("plan.json"), plan, error)) << error;
  PlanOptions options;
  options.zqrestore = fake;
  options.retries = 3;
  options.retryDelaySeconds = 0.05;
  TerminalLines terminal(stderr, false);
  PlanReport report;
  ASSERT_TRUE(RunPlan(plan, options, terminal, report, error)) << error;
  ASSERT_EQ(report.jobs.size(), 2u);
  EXPECT_EQ(report.jobs[0].result.outcome, PlanJobOutcome::Completed);
  EXPECT_EQ(report.jobs[0].result.attempts, 2);
  EXPECT_EQ(report.jobs[0].result.restored, 3u);
  EXPECT_EQ(report.jobs[1].result.outcome, PlanJobOutcome::Failed);
  EXPECT_EQ(report.jobs[1].result.attempts, 1) << "a refused login is not tried again";
  EXPECT_EQ(report.exitStatus, 1);
  EXPECT_NE(RenderPlanText(plan, report).find("completed   job 1: 3 restored"), std::string::npos)
      << RenderPlanText(plan, report);
}

// A job's zqrestore sees the allow-listed variables and the password variables its job names,
// never the rest of this process's environment.
TEST(RestorePlan, JobsSeeOnlyTheirOwnVariables) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("j.json"), R"({"guestCredentials": {"userName": "root", "passwordEnv": "GUEST_PW"}})");
  PlanJob job;
  job.jobFile = dir.Join("j.json");
  const char* variables[] = {"PATH=/usr/bin", "GUEST_PW=secret", "OTHER_PW=other", "LC_ALL=C", "ZQ_SETTINGS=/s",
                             "AWS_SECRET_ACCESS_KEY=k", nullptr};
  EXPECT_EQ(JobEnvironment(job, const_cast<char**>(variables)),
            (std::vector<std::string>{"PATH=/usr/bin", "GUEST_PW=secret", "LC_ALL=C", "ZQ_SETTINGS=/s"}));
  // A job file the job would refuse (a link, a pipe nobody writes) names no variable, and a pipe
  // is never waited on.
  ASSERT_EQ(symlink(dir.Join("j.json").c_str(), dir.Join("link.json").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.Join("pipe.json").c_str(), 0600), 0);
  for (const char* refused : {"link.json", "pipe.json"}) {
    job.jobFile = dir.Join(refused);
    EXPECT_EQ(JobEnvironment(job, const_cast<char**>(variables)),
              (std::vector<std::string>{"PATH=/usr/bin", "LC_ALL=C", "ZQ_SETTINGS=/s"}))
        << refused;
  }
}

struct GuestAddressRow {
  const char* text;
  const char* user;     // null: refused
  const char* address;  // or the part of the refusal
  const char* port;
};

TEST(ShortForm, ReadsTheGuestAsSshDoesAndRefusesWhatIsNoAddress) {
  const GuestAddressRow rows[] = {
      {"192.0.2.10", "", "192.0.2.10", ""},
      {"root@192.0.2.10:2222", "root", "192.0.2.10", "2222"},
      {"web01.example.test:22", "", "web01.example.test", "22"},
      {"admin@[fe80::1]:2200", "admin", "fe80::1", "2200"},
      {"[2001:db8::5]", "", "2001:db8::5", ""},
      {"CORP\\alice@win01", "CORP\\alice", "win01", ""},
      {"a@b@192.0.2.1", nullptr, "the user name before", nullptr},
      {"root@", nullptr, "no address", nullptr},
      {"", nullptr, "no address", nullptr},
      {"@host", nullptr, "the user name before", nullptr},
      {"-oProxyCommand=x", nullptr, "is not a host name", nullptr},
      {"host name", nullptr, "is not a host name", nullptr},
      {"host:0", nullptr, "not a number from 1 to 65535", nullptr},
      {"host:65536", nullptr, "not a number from 1 to 65535", nullptr},
      {"host:22x", nullptr, "not a number from 1 to 65535", nullptr},
      {"host:", nullptr, "not a number from 1 to 65535", nullptr},
      {"fe80::1", nullptr, "an IPv6 address goes in brackets", nullptr},
      {"[fe80::1", nullptr, "needs its \"]\"", nullptr},
      {"[fe80::1]x", nullptr, "only \":port\" may follow", nullptr},
      {"[host]:22", nullptr, "is not an IPv6 address", nullptr},
  };
  for (const GuestAddressRow& row : rows) {
    SCOPED_TRACE(row.text);
    GuestAddress parsed;
    std::string error;
    const bool ok = ParseGuestAddress(row.text, parsed, error);
    if (row.user == nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error.rfind(std::string("--guest [") + row.text + "]: ", 0), 0u) << error;
      EXPECT_NE(error.find(row.address), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(parsed.user, row.user);
    EXPECT_EQ(parsed.address, row.address);
    EXPECT_EQ(parsed.port, row.port);
  }
}

TEST(ShortForm, RefusesMixedOrIncompleteCommandLinesInTheOperatorsWords) {
  const ShortFormOptions none;
  ShortFormOptions full;
  full.guest = "root@192.0.2.10";
  full.guestOs = "linux";
  full.passwordFile = "pw";
  auto with = [&full](auto change) {
    ShortFormOptions options = full;
    change(options);
    return options;
  };
  const CommandShape restoreWithJob{true, false, true, false};
  const CommandShape restoreShort{false, true, true, false};
  const CommandShape guestShort{false, false, false, false};
  struct Row {
    const char* name;
    ShortFormOptions options;
    CommandShape shape;
    const char* problem;  // "" when the command line can run
  } rows[] = {
      {"LongForm", none, restoreWithJob, ""},
      {"ShortForm", full, restoreShort, ""},
      {"GuestCommandWithoutDestination", full, guestShort, ""},
      {"PromptOnATerminal", with([](ShortFormOptions& o) { o.passwordFile.clear(); }),
       CommandShape{false, true, true, true}, ""},
      {"BothForms", full, CommandShape{true, true, true, false}, "--job and the options of one guest"},
      {"PasswordWithJob", with([](ShortFormOptions& o) { o.guest.clear(); }), restoreWithJob,
       "--job and the options of one guest"},
      {"Neither", none, CommandShape{false, false, true, false},
       "name the guest: --job FILE, or --guest [user@]address[:port] --guest-os linux|windows --destination"},
      {"PasswordWithoutGuest", with([](ShortFormOptions& o) { o.guest.clear(); }), restoreShort,
       "need --guest [user@]address[:port]"},
      {"NoGuestOs", with([](ShortFormOptions& o) { o.guestOs.clear(); }), restoreShort,
       "--guest needs --guest-os linux or --guest-os windows"},
      {"UnknownGuestOs", with([](ShortFormOptions& o) { o.guestOs = "bsd"; }), restoreShort,
       "--guest-os [bsd]: say linux or windows"},
      {"TwoPasswords", with([](ShortFormOptions& o) { o.passwordEnv = "PW"; }), restoreShort,
       "give the guest's password once"},
      {"NoPasswordInAPipe", with([](ShortFormOptions& o) { o.passwordFile.clear(); }), restoreShort,
       "no password for the guest: give --password-file FILE or --password-env NAME"},
      {"NoDestination", full, CommandShape{false, false, true, false}, "--guest needs --destination FOLDER"},
  };
  for (const Row& row : rows) {
    const std::string problem = ShortFormProblem(row.options, row.shape);
    if (std::string(row.problem).empty()) {
      EXPECT_EQ(problem, "") << row.name;
    } else {
      EXPECT_NE(problem.find(row.problem), std::string::npos) << row.name << ": " << problem;
    }
  }
}

TEST(ShortForm, TakesThePasswordFromTheVariableAndRemovesIt) {
  ShortFormOptions options;
  options.passwordEnv = "ZQ_TEST_SHORT_FORM_PASSWORD";
  std::string password;
  std::string error;
  {
    zqtest::ScopedEnv secret(options.passwordEnv, "from-env");
    ASSERT_TRUE(ReadGuestPassword(options, "root@h", password, error)) << error;
    EXPECT_EQ(password, "from-env");
    EXPECT_EQ(std::getenv(options.passwordEnv.c_str()), nullptr);
  }
  EXPECT_FALSE(ReadGuestPassword(options, "root@h", password, error));
  EXPECT_EQ(error, "--password-env ZQ_TEST_SHORT_FORM_PASSWORD: the environment variable is not set");
  zqtest::TempDir folder;
  zqtest::WriteFile(folder.Join("pw"), "from-file\n");
  ASSERT_EQ(chmod(folder.Join("pw").c_str(), 0600), 0);
  options = ShortFormOptions();
  options.passwordFile = folder.Join("pw");
  ASSERT_TRUE(ReadGuestPassword(options, "root@h", password, error)) << error;
  EXPECT_EQ(password, "from-file");
  options.passwordFile = "/dev/zero";
  EXPECT_FALSE(ReadGuestPassword(options, "root@h", password, error));
  EXPECT_EQ(error, "--password-file /dev/zero is not a plain file");
  options = ShortFormOptions();
  options.passwordEnv = "ZQ_TEST_SHORT_FORM_PASSWORD";
  zqtest::ScopedEnv tooShort(options.passwordEnv, "re");
  EXPECT_FALSE(ReadGuestPassword(options, "root@h", password, error));
  EXPECT_EQ(error.rfind("--password-env ZQ_TEST_SHORT_FORM_PASSWORD: the password is shorter than 4", 0), 0u) << error;
  EXPECT_EQ(password, "");
}

TEST(ShortForm, PrivateSettingsKeepTheInstallationsAndReplaceOnlyWhatTheRunBuilds) {
  const std::string installation =
      "[Base]\ndBASEHOME = /opt/zq/tools\n[VirtualServer]\nInventoryFile = /etc/x.json\n"
      "[SSH]\nKnownHostsFile = /var/lib/zqrestore/known_hosts\n[JobResults]\nDirectory = /srv/jr\n";
  PackageDefaults defaults;
  defaults.baseHome = "/usr/libexec/zqrestore";
  defaults.knownHostsFile = "/home/op/.local/state/zqrestore/known_hosts";
  const auto kept = ParseIniText(PrivateSettingsText(installation, true, "/tmp/zq-1", defaults));
  EXPECT_EQ(kept.at("Base").at("dBASEHOME"), "/opt/zq/tools");
  EXPECT_EQ(kept.at("SSH").at("KnownHostsFile"), "/var/lib/zqrestore/known_hosts");
  EXPECT_EQ(kept.at("JobResults").at("Directory"), "/srv/jr");
  EXPECT_EQ(kept.at("VirtualServer").at("InventoryFile"), "/tmp/zq-1/inventory.json");
  EXPECT_EQ(kept.at("VirtualServer").at("AppConfigFile"), "/tmp/zq-1/apps.json");
  EXPECT_EQ(kept.at("SSH").at("ConfigFile"), "/tmp/zq-1/ssh_config");
  // Without a settings file: the package's tools, known_hosts outside /usr, job results in the
  // private folder.
  const auto packaged = ParseIniText(PrivateSettingsText("", false, "/tmp/zq-2", defaults));
  EXPECT_EQ(packaged.at("JobResults").at("Directory"), "/tmp/zq-2/jobresults");
  EXPECT_EQ(packaged.at("Base").at("dBASEHOME"), "/usr/libexec/zqrestore");
  EXPECT_EQ(packaged.at("SSH").at("KnownHostsFile"), "/home/op/.local/state/zqrestore/known_hosts");
  // The running program's: the package's folders for root, the account's state folder otherwise.
  const PackageDefaults here = PackageDefaults::ForThisProgram();
  EXPECT_EQ(here.baseHome.substr(here.baseHome.size() - std::string("/libexec/zqrestore").size()),
            "/libexec/zqrestore");
  EXPECT_EQ(PackageDefaults::ForAccount(0).knownHostsFile, "/var/lib/zqrestore/known_hosts");
  zqtest::ScopedEnv home("HOME", "/home/op");
  {
    zqtest::ScopedEnv state("XDG_STATE_HOME", "/home/op/state");
    EXPECT_EQ(PackageDefaults::ForAccount(1000).knownHostsFile, "/home/op/state/zqrestore/known_hosts");
  }
  zqtest::ScopedEnv relativeState("XDG_STATE_HOME", "state");
  EXPECT_EQ(PackageDefaults::ForAccount(1000).knownHostsFile, "/home/op/.local/state/zqrestore/known_hosts");

  GuestAddress guest{"root", "192.0.2.10", "2222"};
  EXPECT_EQ(PrivateSshConfigText(guest, "/etc/zq/ssh config"),
            "Host 192.0.2.10\n  Port 2222\nHost *\n  Include \"/etc/zq/ssh config\"\n");
  guest.port.clear();
  EXPECT_EQ(PrivateSshConfigText(guest, ""), "");
}

// The private folder is the user's alone, holds no password, and goes with everything in it,
// also with what a job left below it.
TEST(ShortForm, PrivateFolderIsClosedHoldsNoPasswordAndIsRemoved) {
  zqtest::TempDir temporary;
  zqtest::ScopedEnv tmpdir("TMPDIR", temporary.path());
  GuestAddress guest;
  std::string error;
  ASSERT_TRUE(ParseGuestAddress("root@192.0.2.10:2222", guest, error));
  JobFile job;
  BuildShortFormJob(guest, false, "/srv/restore", "short-form-secret", job);
  EXPECT_EQ(job.guest.userName, "root");
  EXPECT_EQ(job.guest.password, "short-form-secret");
  EXPECT_TRUE(job.unixGuest);
  std::string folder;
  {
    // The installation's settings, so that nothing outside the test's folders is made.
    zqtest::WriteFile(temporary.Join("zqrestore.ini"), "[SSH]\nKnownHostsFile = " + temporary.Join("kh") + "\n");
    PrivateInstallation installation;
    ASSERT_TRUE(installation.Create(temporary.Join("zqrestore.ini"), guest, job, error)) << error;
    folder = installation.Folder();
    EXPECT_EQ(folder.rfind(temporary.path() + "/zqrestore-", 0), 0u) << folder;
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
      if (!item.is_regular_file()) continue;
      EXPECT_EQ(zqtest::ReadFile(item.path().string()).find("short-form-secret"), std::string::npos) << item.path();
    }
    const auto settings = ParseIniText(zqtest::ReadFile(installation.SettingsFile()));
    EXPECT_NE(zqtest::ReadFile(settings.at("VirtualServer").at("InventoryFile")).find("192.0.2.10"),
              std::string::npos);
    // What a job leaves behind, a link to outside among it, which is removed, not followed.
    const std::string deep = folder + "/jobresults/ZQ_JobResults/1/1/1/run-1/ForGuestVM/sub";
    std::filesystem::create_directories(deep);
    zqtest::WriteFile(deep + "/file", "x");
    zqtest::WriteFile(temporary.Join("outside"), "keep");
    std::filesystem::create_symlink(temporary.path(), deep + "/link");
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(zqtest::ReadFile(temporary.Join("outside")), "keep");
}

// What a signal handler calls when zqrestore ends at once: the folder goes with everything in it,
// and the object's own removal later finds nothing to do.
TEST(ShortForm, PrivateFolderGoesWhenTheSignalHandlerRemovesIt) {
  zqtest::TempDir temporary;
  zqtest::ScopedEnv tmpdir("TMPDIR", temporary.path());
  zqtest::WriteFile(temporary.Join("zqrestore.ini"), "[Log]\nDebugLevel = 1\n");
  GuestAddress guest{"root", "192.0.2.10", ""};
  JobFile job;
  BuildShortFormJob(guest, true, "D:\\Restore", "pw", job);
  EXPECT_FALSE(job.unixGuest);
  std::string error;
  PrivateInstallation installation;
  ASSERT_TRUE(installation.Create(temporary.Join("zqrestore.ini"), guest, job, error)) << error;
  std::filesystem::create_directories(installation.Folder() + "/jobresults/a/b");
  EXPECT_EQ(ParseIniText(zqtest::ReadFile(installation.SettingsFile())).at("Log").at("DebugLevel"), "1");
  PrivateInstallation::RemoveNow();
  EXPECT_FALSE(std::filesystem::exists(installation.Folder()));
  PrivateInstallation::RemoveNow();  // once only

  // Killed before any of that could run, zqrestore leaves the folder to its janitor.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t killed = fork();
  if (killed == 0) {
    PrivateInstallation doomed;
    if (doomed.Create(temporary.Join("zqrestore.ini"), guest, job, error)) {
      (void)!write(ends[1], doomed.Folder().c_str(), doomed.Folder().size());
    }
    raise(SIGKILL);
  }
  close(ends[1]);
  char path[PATH_MAX] = {};
  const ssize_t got = read(ends[0], path, sizeof path - 1);
  close(ends[0]);
  ASSERT_GT(got, 0);
  ASSERT_EQ(waitpid(killed, nullptr, 0), killed);
  for (int wait = 0; wait < 1000 && std::filesystem::exists(path); ++wait) usleep(10000);
  EXPECT_FALSE(std::filesystem::exists(path)) << "left behind by a killed run: " << path;
}

}  // namespace
