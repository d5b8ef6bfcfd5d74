// The guest helper script, run by the local bash exactly as the guest runs it: `bash -s -- ARGS`
// with the script on standard input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "testbeds/sshd/SshdFixture.h"
#include "toolscontract/ShellQuote.h"
#include "toolscontract/SshToolsContract.h"
#include "support/TestSupport.h"
#include "UnixTestDoubles.h"

namespace {

using zqtest::TempDir;

const std::string kMarker = SshToolsContract::kDestinationMarker;

struct ScriptRun {
  int status = -1;
  std::string out;
  std::string err;
};

ScriptRun RunHelper(const std::vector<std::string>& args, const std::string& environment = "") {
  TempDir scratch;
  std::string command = environment + "/bin/bash -s --";
  for (const std::string& arg : args) command += " " + ShellQuote::SingleQuoted(arg);
  command += " < " + ShellQuote::SingleQuoted(ZQ_HELPER_SCRIPT) + " 2>" + scratch.Join("err");
  ScriptRun run;
  run.status = zqtest::RunBounded(command, 30, run.out);
  run.err = zqtest::ReadIfPresent(scratch.Join("err"));
  return run;
}

using zqtest::SetTimes;

std::string Ids() { return std::to_string(geteuid()) + "/" + std::to_string(getegid()); }

TEST(HelperScript, BrowseOfAFileGivesItsOneEightFieldLine) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("a.txt"), "hello");
  chmod(dir.Join("a.txt").c_str(), 0640);
  SetTimes(dir.Join("a.txt"), 1000, 2000);
  ScriptRun run = RunHelper({"--browse_path", dir.Join("a.txt")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "a.txt/5/regular/2000/1000/" + Ids() + "/33184\n");
}

// A stat that cannot describe entries (not GNU's) fails a browse; it never passes for an empty
// folder or a missing file.
TEST(HelperScript, BrowseFailsWhereStatCannotDescribeEntries) {
  TempDir dir, tools;
  zqtest::WriteFile(dir.Join("a.txt"), "hello");
  zqtest::WriteFile(tools.Join("stat"), "#!/bin/sh\necho 'stat: unrecognized option' >&2\nexit 1\n");
  chmod(tools.Join("stat").c_str(), 0755);
  const std::string path = "PATH=" + tools.path() + ":/usr/bin:/bin ";
  for (const std::string& target : {dir.path(), dir.Join("a.txt")}) {
    ScriptRun run = RunHelper({"--browse_path", target}, path);
    EXPECT_NE(run.status, 0) << target << ": " << run.out;
    EXPECT_EQ(run.out, "") << target;
  }
}

TEST(HelperScript, BrowseOfAFolderListsEveryEntryWithItsKind) {
  TempDir dir;
  zqtest::WriteFile(dir.Join(".hidden"), "");
  chmod(dir.Join(".hidden").c_str(), 0644);
  mkdir(dir.Join("sub").c_str(), 0750);
  chmod(dir.Join("sub").c_str(), 0750);
  ASSERT_EQ(symlink("/nowhere", dir.Join("link").c_str()), 0);
  for (const char* name : {".hidden", "sub", "link"}) SetTimes(dir.Join(name), 7, 9);
  ScriptRun run = RunHelper({"--browse_path", dir.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(".hidden/0/regular/9/7/" + Ids() + "/33188\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("/directory/9/7/" + Ids() + "/16872\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("link/8/symlink/9/7/"), std::string::npos) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3);
}

TEST(HelperScript, NameWithNewlineOrBackslashStaysOnOneLine) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("two\nlines"), "");
  zqtest::WriteFile(dir.Join("back\\slash"), "");
  ScriptRun run = RunHelper({"--browse_path", dir.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out;
  EXPECT_NE(run.out.find("two\\nlines/0/regular/"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("back\\\\slash/0/regular/"), std::string::npos) << run.out;
}

TEST(HelperScript, MissingPathPrintsNothingAndSucceeds) {
  TempDir dir;
  for (const char* option : {"--browse_path", "--list_dirs"}) {
    ScriptRun run = RunHelper({option, dir.Join("missing")});
    EXPECT_EQ(run.status, 0) << option << run.err;
    EXPECT_EQ(run.out, "") << option;
  }
}

TEST(HelperScript, ListDirsPrintsOnlyFolders) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("file"), "");
  mkdir(dir.Join("folder").c_str(), 0755);
  ScriptRun run = RunHelper({"--list_dirs", dir.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("folder/", 0), 0u) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
}

TEST(HelperScript, CreateDirMakesParentsAndAcceptsAnExistingFolder) {
  TempDir dir;
  std::string deep = dir.Join("a/b/c");
  EXPECT_EQ(RunHelper({"--create_dir", deep}).status, 0);
  struct stat info {};
  EXPECT_EQ(stat(deep.c_str(), &info), 0);
  EXPECT_EQ(RunHelper({"--create_dir", deep}).status, 0);
}

TEST(HelperScript, CreateParentDirMakesTheFoldersAboveAFile) {
  TempDir dir;
  EXPECT_EQ(RunHelper({"--create_parent_dir", dir.Join("x/y/file.txt")}).status, 0);
  struct stat info {};
  EXPECT_EQ(stat(dir.Join("x/y").c_str(), &info), 0);
  EXPECT_NE(stat(dir.Join("x/y/file.txt").c_str(), &info), 0);
}

TEST(HelperScript, DeleteDirRemovesTheTreeButRefusesAFile) {
  TempDir dir;
  mkdir(dir.Join("tree").c_str(), 0755);
  zqtest::WriteFile(dir.Join("tree/f"), "x");
  zqtest::WriteFile(dir.Join("plain"), "x");
  EXPECT_EQ(RunHelper({"--delete_dir", dir.Join("tree")}).status, 0);
  EXPECT_NE(access(dir.Join("tree").c_str(), F_OK), 0);
  EXPECT_NE(RunHelper({"--delete_dir", dir.Join("plain")}).status, 0);
  EXPECT_EQ(access(dir.Join("plain").c_str(), F_OK), 0);
}

TEST(HelperScript, ChangeFileAttrSetsTimesOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "owner changes need root";
  TempDir dir;
  zqtest::WriteFile(dir.Join("f"), "x");
  ScriptRun run = RunHelper({"--change_file_attr", dir.Join("f"), "1111", "2222", "12", "34", "4751"});
  EXPECT_EQ(run.status, 0) << run.err;
  struct stat info {};
  ASSERT_EQ(stat(dir.Join("f").c_str(), &info), 0);
  EXPECT_EQ(info.st_atime, 1111);
  EXPECT_EQ(info.st_mtime, 2222);
  EXPECT_EQ(info.st_uid, 12u);
  EXPECT_EQ(info.st_gid, 34u);
  EXPECT_EQ(info.st_mode & 07777, 04751u);
}

// Attributes the entry has already are left alone, so "already" must be exact: times that differ
// by less than a second are set, and a mode equal before an owner change is set again after it
// (the change clears the set-user and set-group bits).
TEST(HelperScript, ChangeFileAttrSetsWhatDiffersEvenBarely) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("f"), "x");
  const timespec fractions[2] = {{1111, 500000000}, {2222, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.Join("f").c_str(), fractions, 0), 0);
  ASSERT_EQ(chmod(dir.Join("f").c_str(), 0644), 0);
  const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
  ScriptRun run = RunHelper({"--change_file_attr", dir.Join("f"), "1111", "2222", uid, gid, "644"});
  EXPECT_EQ(run.status, 0) << run.err;
  struct stat info {};
  ASSERT_EQ(stat(dir.Join("f").c_str(), &info), 0);
  EXPECT_EQ(info.st_atim.tv_sec, 1111);
  EXPECT_EQ(info.st_atim.tv_nsec, 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 2222);
  EXPECT_EQ(info.st_mtim.tv_nsec, 0);

  if (geteuid() != 0) GTEST_SKIP() << "owner changes need root";
  ASSERT_EQ(chown(dir.Join("f").c_str(), 12, 34), 0);
  ASSERT_EQ(chmod(dir.Join("f").c_str(), 04751), 0);
  run = RunHelper({"--change_file_attr", dir.Join("f"), "1111", "2222", "56", "78", "4751"});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(stat(dir.Join("f").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 56u);
  EXPECT_EQ(info.st_mode & 07777, 04751u);
}

TEST(HelperScript, ChangeFileAttrRefusesMalformedNumbers) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("f"), "x");
  EXPECT_NE(RunHelper({"--change_file_attr", dir.Join("f"), "1", "2", "0", "0", "9"}).status, 0);
  EXPECT_NE(RunHelper({"--change_file_attr", dir.Join("f"), "1", "$(id)", "0", "0", "644"}).status, 0);
}

TEST(HelperScript, FileExistsAnswersBothWaysWithStatusZero) {
  TempDir dir;
  zqtest::WriteFile(dir.Join("f"), "x");
  ScriptRun present = RunHelper({"--file_exists", dir.Join("f")});
  ScriptRun absent = RunHelper({"--file_exists", dir.Join("g")});
  EXPECT_EQ(present.status, 0);
  EXPECT_EQ(absent.status, 0);
  EXPECT_EQ(present.out.find("File doesn't exist"), std::string::npos);
  EXPECT_EQ(absent.out, "File doesn't exist\n");
}

TEST(HelperScript, NamesAMissingTool) {
  TempDir dir;
  ScriptRun run = RunHelper({"--create_dir", dir.Join("x")}, "PATH=/nonexistent ");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("the guest lacks the command 'mkdir'"), std::string::npos) << run.err;
}

TEST(HelperScript, UnknownOptionOrWrongArgumentCountShowsUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--bogus", "/tmp"}, {"--create_dir"}, {"--file_exists", "a", "b"}, {}}) {
    ScriptRun run = RunHelper(args);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("usage: zqvsa_agentless.sh"), std::string::npos) << run.err;
  }
}

// The script as zqpscp.exe runs it: bash -c SCRIPT NAME --write_file PATH SIZE 640 1000 2000,
// content and the end word on standard input (`ended` false: the copy was cut off before it).
// With `suffix`, the old file is to be kept under it; `environment` goes before the command.
ScriptRun RunWriter(const std::string& path, const std::string& content, size_t size,
                    const std::optional<std::string>& suffix = std::nullopt, const std::string& environment = "",
                    bool ended = true, const std::string& mode = "640") {
  TempDir scratch;
  zqtest::WriteFile(scratch.Join("in"), content + (ended ? "zq-end " + std::to_string(size) + "\n" : ""));
  std::string command = environment + "/bin/bash -c \"$(cat " + ShellQuote::SingleQuoted(ZQ_HELPER_SCRIPT) +
                        ")\" zqvsa_agentless.sh --write_file " + ShellQuote::SingleQuoted(path) + " " +
                        std::to_string(size) + " " + mode + " 1000 2000" +
                        (suffix ? " " + ShellQuote::SingleQuoted(*suffix) : std::string()) + " < " +
                        scratch.Join("in") + " 2>" + scratch.Join("err");
  ScriptRun run;
  run.status = zqtest::RunBounded(command, 30, run.out);
  run.err = zqtest::ReadIfPresent(scratch.Join("err"));
  return run;
}

// A destination with a file and a folder outside it, reached through planted links.
struct LinkedDestination {
  LinkedDestination() {
    mkdir(dest.c_str(), 0755);
    zqtest::WriteFile(outside.Join("secret"), "secret");
    chmod(outside.Join("secret").c_str(), 0600);
    symlink(outside.Join("secret").c_str(), (dest + "/file-link").c_str());
    symlink(outside.path().c_str(), (dest + "/folder-link").c_str());
  }
  std::string Marked(const std::string& relative) const { return dest + kMarker + relative; }
  std::string OutsideListing() const {
    std::string listing;
    zqtest::RunBounded("ls -ld --time-style=+%s " + outside.path() + "; ls -lA --time-style=+%s " + outside.path(),
                       10, listing);
    return listing;
  }
  TempDir root;
  TempDir outside;
  std::string dest = root.Join("dest");
};

TEST(HelperScript, NeverFollowsALinkBelowTheDestination) {
  const std::vector<std::vector<std::string>> refused = {
      {"--create_dir", "folder-link/new"},
      {"--create_parent_dir", "folder-link/new/file"},
      {"--browse_path", "folder-link/x"},
      {"--file_exists", "folder-link/x"},
      {"--delete_dir", "folder-link/x"},
      {"--change_file_attr", "file-link", "1", "2", "0", "0", "777"},
      {"--create_dir", "../escape"},
  };
  for (const auto& row : refused) {
    LinkedDestination site;
    const std::string before = site.OutsideListing();
    std::vector<std::string> args = row;
    args[1] = site.Marked(row[1]);
    ScriptRun run = RunHelper(args);
    EXPECT_NE(run.status, 0) << row[0] << " " << row[1];
    EXPECT_FALSE(run.err.empty()) << row[0] << " " << row[1];
    EXPECT_EQ(site.OutsideListing(), before) << row[0] << " " << row[1];
  }
}

TEST(HelperScript, TheDestinationItselfMayBeALink) {
  LinkedDestination site;
  const std::string viaLink = site.root.Join("dest-link");
  ASSERT_EQ(symlink(site.dest.c_str(), viaLink.c_str()), 0);
  EXPECT_EQ(RunHelper({"--create_dir", viaLink + kMarker + "a/b"}).status, 0);
  EXPECT_EQ(RunWriter(viaLink + kMarker + "a/b/f", "data", 4).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(site.dest + "/a/b/f"), "data");
}

TEST(HelperScript, WriteFileReplacesCompletelyOrNotAtAll) {
  LinkedDestination site;
  const std::string before = site.OutsideListing();
  zqtest::WriteFile(site.dest + "/old", "old content");
  chmod((site.dest + "/old").c_str(), 0604);
  EXPECT_NE(RunWriter(site.Marked("old"), "new", 10).status, 0) << "fewer bytes than announced";
  EXPECT_EQ(zqtest::ReadIfPresent(site.dest + "/old"), "old content");
  // One byte on either side of the size announced: only the exact size replaces the file.
  const ScriptRun oneMore = RunWriter(site.Marked("old"), "new content", 10);
  EXPECT_NE(oneMore.status, 0) << "one byte more than announced";
  EXPECT_NE(oneMore.err.find("ended before the proxy confirmed it complete"), std::string::npos) << oneMore.err;
  EXPECT_NE(RunWriter(site.Marked("old"), "new content", 12).status, 0) << "one byte fewer than announced";
  EXPECT_NE(RunWriter(site.Marked("old"), "new content", 11, std::nullopt, "", false).status, 0) << "no end word";
  EXPECT_EQ(zqtest::ReadIfPresent(site.dest + "/old"), "old content");
  EXPECT_EQ(RunWriter(site.Marked("old"), "new content", 11).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(site.dest + "/old"), "new content");
  struct stat info {};
  ASSERT_EQ(lstat((site.dest + "/old").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u) << "the new file has the mode it was given, not the old file's";
  EXPECT_EQ(info.st_mtime, 2000);

  EXPECT_EQ(RunWriter(site.Marked("file-link"), "restored", 8).status, 0);
  ASSERT_EQ(lstat((site.dest + "/file-link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode)) << "the link is replaced, not written through";
  EXPECT_NE(RunWriter(site.Marked("folder-link/x"), "x", 1).status, 0);
  mkdir((site.dest + "/folder").c_str(), 0755);
  EXPECT_NE(RunWriter(site.Marked("folder"), "x", 1).status, 0);
  EXPECT_EQ(site.OutsideListing(), before);

  std::string listing;
  zqtest::RunBounded("ls -A " + site.dest, 10, listing);
  EXPECT_EQ(listing, "file-link\nfolder\nfolder-link\nold\n") << "no temporary file is left";
}

// A folder of stand-ins for the guest's commands, put before the others on PATH.
struct FakeCommands {
  void Add(const std::string& name, const std::string& body) {
    const std::string path = dir.Join(name);
    zqtest::WriteFile(path, "#!/bin/bash\n" + body + "\n");
    chmod(path.c_str(), 0755);
  }
  std::string Environment() const { return "PATH=" + dir.path() + ":/usr/bin:/bin "; }
  TempDir dir;
};

constexpr const char* kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(HelperScript, Sha256PrintsADigestPerFileAndADashForAnythingElse) {
  LinkedDestination site;
  const std::string before = site.OutsideListing();
  zqtest::WriteFile(site.dest + "/f", "abc");
  chmod((site.dest + "/f").c_str(), 0400);
  mkdir((site.dest + "/d").c_str(), 0755);
  const ScriptRun run = RunHelper({"--sha256", site.Marked("f"), site.Marked("file-link"), site.Marked("d"),
                                   site.Marked("missing"), site.Marked("missing/x"), site.Marked("f")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::string(kAbcDigest) + "\n-\n-\n-\n-\n" + kAbcDigest + "\n");

  const ScriptRun through = RunHelper({"--sha256", site.Marked("f"), site.Marked("folder-link/secret")});
  EXPECT_NE(through.status, 0);
  EXPECT_NE(through.err.find("a link stands where a folder should be"), std::string::npos) << through.err;
  EXPECT_EQ(site.OutsideListing(), before);

  // As many files as one request may name, and one more.
  std::vector<std::string> args{"--sha256"};
  for (int i = 0; i < 16; ++i) args.push_back(site.Marked("f"));
  EXPECT_EQ(RunHelper(args).status, 0);
  args.push_back(site.Marked("f"));
  const ScriptRun tooMany = RunHelper(args);
  EXPECT_NE(tooMany.status, 0);
  EXPECT_NE(tooMany.err.find("usage:"), std::string::npos) << tooMany.err;
  const ScriptRun none = RunHelper({"--sha256"});
  EXPECT_NE(none.status, 0);
  EXPECT_NE(none.err.find("usage:"), std::string::npos) << none.err;
}

// What the descriptor reached must be the file examined, and what sha256sum printed a digest.
TEST(HelperScript, Sha256ReadsOnlyTheFileItExaminedAndPrintsOnlyADigest) {
  LinkedDestination site;
  zqtest::WriteFile(site.dest + "/f", "abc");
  FakeCommands swapped;
  swapped.Add("stat", "if [[ \" $* \" == *\" /dev/fd/\"* ]]; then out=$(/usr/bin/stat \"$@\") || exit; "
                      "printf '%s' \"${out%%/*}/0:0\"; else exec /usr/bin/stat \"$@\"; fi");
  const ScriptRun other = RunHelper({"--sha256", site.Marked("f")}, swapped.Environment());
  EXPECT_NE(other.status, 0);
  EXPECT_EQ(other.out, "");
  EXPECT_NE(other.err.find("was replaced while it was opened"), std::string::npos) << other.err;

  FakeCommands garbled;
  garbled.Add("sha256sum", "printf 'not a digest  -\\n'");
  const ScriptRun nonsense = RunHelper({"--sha256", site.Marked("f")}, garbled.Environment());
  EXPECT_NE(nonsense.status, 0);
  EXPECT_EQ(nonsense.out, "");
  EXPECT_NE(nonsense.err.find("gave no digest"), std::string::npos) << nonsense.err;
}

TEST(HelperScript, WriteFileKeepsTheReplacedFileUnderTheSuffix) {
  LinkedDestination site;
  const std::string before = site.OutsideListing();
  const std::string old = site.dest + "/old";
  zqtest::WriteFile(old, "old content");
  chmod(old.c_str(), 0604);
  zqtest::SetTimes(old, 1500000000);
  struct stat oldInfo {};
  ASSERT_EQ(lstat(old.c_str(), &oldInfo), 0);
  ASSERT_EQ(RunWriter(site.Marked("old"), "new", 3, std::string("~")).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(old), "new");
  struct stat backup {};
  ASSERT_EQ(lstat((old + "~").c_str(), &backup), 0);
  EXPECT_EQ(backup.st_ino, oldInfo.st_ino) << "the backup is the old file itself";
  EXPECT_EQ(backup.st_mode & 07777, 0604u);
  EXPECT_EQ(backup.st_mtime, 1500000000);
  EXPECT_EQ(zqtest::ReadIfPresent(old + "~"), "old content");

  // A plain file at the backup name is replaced; a new file has nothing to keep.
  ASSERT_EQ(RunWriter(site.Marked("old"), "newer", 5, std::string("~")).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(old + "~"), "new");
  ASSERT_EQ(RunWriter(site.Marked("fresh"), "fresh", 5, std::string("~")).status, 0);
  EXPECT_FALSE(zqtest::Exists(site.dest + "/fresh~"));

  // A link or a folder at the backup name: nothing changes.
  ASSERT_EQ(symlink(site.outside.Join("secret").c_str(), (old + ".lnk").c_str()), 0);
  mkdir((old + ".dir").c_str(), 0755);
  for (const std::string suffix : {".lnk", ".dir"}) {
    const ScriptRun refused = RunWriter(site.Marked("old"), "refused", 7, suffix);
    EXPECT_NE(refused.status, 0) << suffix;
    EXPECT_NE(refused.err.find("at the backup name"), std::string::npos) << refused.err;
    EXPECT_EQ(zqtest::ReadIfPresent(old), "newer") << suffix;
  }
  EXPECT_TRUE(zqtest::IsLink(old + ".lnk"));
  // A link at the name is replaced, and is no file to keep as a backup.
  ASSERT_EQ(symlink(site.outside.Join("secret").c_str(), (site.dest + "/link").c_str()), 0);
  ASSERT_EQ(RunWriter(site.Marked("link"), "link", 4, std::string("~")).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(site.dest + "/link"), "link");
  EXPECT_FALSE(zqtest::IsLink(site.dest + "/link~")) << "a link was kept as a backup";
  EXPECT_FALSE(zqtest::Exists(site.dest + "/link~"));
  // Suffixes that would name another folder, nothing, or too much.
  for (const std::string& suffix : std::vector<std::string>{"", "/x", "\\x", "\nx", ".", "..", std::string(33, 'x')}) {
    EXPECT_NE(RunWriter(site.Marked("old"), "refused", 7, suffix).status, 0) << suffix;
    EXPECT_EQ(zqtest::ReadIfPresent(old), "newer") << suffix;
  }
  EXPECT_EQ(RunWriter(site.Marked("old"), "longest", 7, std::string(32, 'x')).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(old + std::string(32, 'x')), "newer");
  EXPECT_EQ(site.OutsideListing(), before);
  std::string listing;
  zqtest::RunBounded("ls -A " + site.dest, 10, listing);
  EXPECT_EQ(listing.find(".zqrestore-"), std::string::npos) << "no temporary file is left: " << listing;
}

// The backup is made of the file that was examined: a link to anything else is refused.
TEST(HelperScript, WriteFileBacksUpOnlyTheFileItExamined) {
  LinkedDestination site;
  const std::string old = site.dest + "/old";
  zqtest::WriteFile(old, "old content");
  zqtest::WriteFile(site.dest + "/decoy", "decoy");
  FakeCommands swapped;
  swapped.Add("ln", "exec /usr/bin/ln -P -T -- " + ShellQuote::SingleQuoted(site.dest + "/decoy") + " \"${@: -1}\"");
  const ScriptRun run = RunWriter(site.Marked("old"), "new", 3, std::string("~"), swapped.Environment());
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("was replaced while its backup was made"), std::string::npos) << run.err;
  EXPECT_EQ(zqtest::ReadIfPresent(old), "old content");
  EXPECT_FALSE(zqtest::Exists(old + "~"));
  std::string listing;
  zqtest::RunBounded("ls -A " + site.dest, 10, listing);
  EXPECT_EQ(listing, "decoy\nfile-link\nfolder-link\nold\n");
}

// At its rename (seen by a stand-in for mv) the new file is the login's with the mode and times given.
TEST(HelperScript, WriteFileRenamesTheLoginsFileWithTheModeAndTimesGiven) {
  LinkedDestination site;
  const std::string old = site.dest + "/old";
  zqtest::WriteFile(old, "old content");
  ASSERT_EQ(chmod(old.c_str(), 0666) | (geteuid() == 0 ? chown(old.c_str(), 12, 34) : 0), 0);
  FakeCommands seen;
  seen.Add("mv", "stat -c '%u:%g %a %X %Y' \"${@: -2:1}\" >>" + seen.dir.Join("log") + "; exec /usr/bin/mv \"$@\"");
  ASSERT_EQ(RunWriter(site.Marked("old"), "new", 3, std::nullopt, seen.Environment()).status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(seen.dir.Join("log")),
            std::to_string(geteuid()) + ":" + std::to_string(getegid()) + " 640 1000 2000\n");
  // With an owner given, the file is the backup owner's already at its rename (where the login may give it).
  if (geteuid() != 0) return;
  unlink(seen.dir.Join("log").c_str());
  ASSERT_EQ(RunWriter(site.Marked("old"), "new", 3, std::nullopt, seen.Environment(), true, "640:56:78").status, 0);
  EXPECT_EQ(zqtest::ReadIfPresent(seen.dir.Join("log")), "56:78 640 1000 2000\n");
}

// Stale temporary files of ours go with the next write, named; fresh ones, others, links, hard links stay.
TEST(HelperScript, WriteFileRemovesStaleTemporaryFilesOfOursOnly) {
  LinkedDestination site;
  const std::string d = site.dest + "/.zqrestore-0123456789abcdef0", stale = d + "1.tmp";
  for (const std::string& name : {stale, d + ".tmp", d + "2.bak"}) zqtest::WriteFile(name, "");
  ASSERT_EQ(link((d + "2.bak").c_str(), (site.dest + "/second").c_str()) | symlink("x", (d + "3.tmp").c_str()), 0);
  ASSERT_EQ(RunWriter(site.Marked("new"), "new", 3).status, 0);
  EXPECT_TRUE(zqtest::Exists(stale)) << "not an hour old";
  const ScriptRun run = RunWriter(site.Marked("new"), "new", 3, std::nullopt, "ZQ_STALE_TEMPORARY_MINUTES=0 ");
  EXPECT_NE(run.out.find("removed stale temporary file " + stale), std::string::npos) << run.out << run.err;
  std::string listing;
  zqtest::RunBounded("ls -A " + site.dest + " | grep -c zqrestore", 10, listing);
  EXPECT_EQ(listing, "3\n");
}

// A pipe swapped in for a file the login may only read fails its digest at once, not after a wait.
TEST(HelperScript, Sha256OfAFileSwappedForAPipeEndsAtOnce) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  TempDir dir;
  zqtest::WriteFile(dir.Join("f"), "abc");
  FakeCommands swapped;
  ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534) | chmod(swapped.dir.path().c_str(), 0755), 0);
  swapped.Add("dd", "mv f f.aside && mkfifo -m 600 f && exec /usr/bin/dd \"$@\"");
  const ScriptRun run = RunHelper({"--sha256", dir.path() + kMarker + "f"},
                                  swapped.Environment() + "setpriv --reuid=65534 --regid=65534 --clear-groups ");
  EXPECT_NE(run.err.find("was replaced while it was read"), std::string::npos) << run.status << run.out << run.err;
}

// The script cannot include the channel's header: it must spell the marker and its own name
// the way the channel does, where it splits a path and where it names itself in messages.
TEST(HelperScript, SpellsTheMarkerAndItsNameAsTheChannelDoes) {
  const std::string script = zqtest::ReadFile(ZQ_HELPER_SCRIPT);
  for (const std::string& expected :
       {"readonly PROGRAM=" + std::string(SshToolsContract::kHelperScript) + "\n",
        "$path == *" + kMarker + "* ", "ANCHOR=${path%%" + kMarker + "*}"}) {
    EXPECT_NE(script.find(expected), std::string::npos) << expected;
  }
}

TEST(HelperScript, IsShellcheckClean) {
  std::string output;
  if (zqtest::RunBounded("command -v shellcheck", 10, output) != 0) {
    if (zqtest::RunningInCi()) FAIL() << "shellcheck is missing";
    GTEST_SKIP() << "shellcheck is not installed";
  }
  EXPECT_EQ(zqtest::RunBounded("shellcheck " + ShellQuote::SingleQuoted(ZQ_HELPER_SCRIPT), 60, output), 0)
      << output;
}

}  // namespace
