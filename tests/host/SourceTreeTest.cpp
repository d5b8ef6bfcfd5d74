#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include "host/EntrySelection.h"
#include "host/ImageInfo.h"
#include "host/ImageSource.h"
#include "host/NbdExport.h"
#include "host/SourceReader.h"
#include "host/SourceTree.h"
#include "host/StagingWriter.h"
#include "support/ArchiveWriter.h"
#include "support/FileHelpers.h"
#include "support/TestSupport.h"
#include "platform/ZqProcess.h"

namespace {

std::vector<std::string> Paths(const SourceTree& tree) {
  std::vector<std::string> paths;
  for (const SourceEntry& entry : tree.entries) paths.push_back(entry.relativePath);
  return paths;
}

const SourceEntry& EntryAt(const SourceTree& tree, const std::string& path) {
  for (const SourceEntry& entry : tree.entries) {
    if (entry.relativePath == path) return entry;
  }
  throw std::runtime_error("no entry " + path);
}

TEST(SourceTree, ListsFoldersBeforeTheirContentsInNameOrder) {
  zqtest::TempDir root;
  mkdir(root.Join("b").c_str(), 0755);
  mkdir(root.Join("b/inner").c_str(), 0755);
  zqtest::WriteFile(root.Join("b/inner/z.txt"), "z");
  zqtest::WriteFile(root.Join("b/a.txt"), "a");
  zqtest::WriteFile(root.Join("a.txt"), "top");
  mkdir(root.Join("c").c_str(), 0755);

  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"a.txt", "b", "b/a.txt", "b/inner", "b/inner/z.txt", "c"}));
  EXPECT_EQ(tree.restorableFiles, 3u);
  EXPECT_EQ(tree.restorableFolders, 3u);
  EXPECT_EQ(tree.restorableBytes, 5u);
  EXPECT_EQ(EntryAt(tree, "b").kind, EntryKind::Folder);
  EXPECT_EQ(EntryAt(tree, "a.txt").kind, EntryKind::File);
  for (const SourceEntry& entry : tree.entries) EXPECT_EQ(entry.problem, "") << entry.relativePath;
}

TEST(SourceTree, KeepsUnsupportedEntriesWithTheirReason) {
  zqtest::TempDir root;
  zqtest::WriteFile(root.Join("target"), "t");
  ASSERT_EQ(symlink("target", root.Join("link").c_str()), 0);
  mkdir(root.Join("real").c_str(), 0755);
  ASSERT_EQ(symlink("real", root.Join("linked-folder").c_str()), 0);
  ASSERT_EQ(mkfifo(root.Join("pipe").c_str(), 0600), 0);

  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  EXPECT_EQ(EntryAt(tree, "link").problem, "symbolic links are not restored");
  EXPECT_EQ(EntryAt(tree, "linked-folder").problem, "symbolic links are not restored");
  EXPECT_EQ(EntryAt(tree, "pipe").problem, "named pipes are not restored");
  EXPECT_EQ(EntryAt(tree, "target").problem, "");
  // A symbolic link to a folder is not walked into.
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"link", "linked-folder", "pipe", "real", "target"}));
  EXPECT_EQ(tree.restorableFiles, 1u);
}

struct NameRow {
  const char* name;
  bool restorable;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class SourceNames : public testing::TestWithParam<NameRow> {};

TEST_P(SourceNames, AreRestorableOnlyWhenThePlugInKeepsThemIntact) {
  EXPECT_EQ(NameProblem(GetParam().name).empty(), GetParam().restorable) << NameProblem(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Rows, SourceNames,
                         testing::Values(NameRow{"plain.txt", true}, NameRow{"with space", true},
                                         NameRow{"colon:in:name", true}, NameRow{"$(touch x);`y`'\"", true},
                                         NameRow{"-leading-dash", true}, NameRow{"übergröße", true},
                                         NameRow{"back\\slash", false}, NameRow{"a ZqColonZq b", false},
                                         NameRow{"ZqColonZq", false}));

TEST(SourceTree, MarksEverythingBelowAnUnrestorableFolder) {
  zqtest::TempDir root;
  mkdir(root.Join("bad\\name").c_str(), 0755);
  mkdir(root.Join("bad\\name/sub").c_str(), 0755);
  zqtest::WriteFile(root.Join("bad\\name/sub/f"), "f");

  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  ASSERT_EQ(tree.entries.size(), 3u);
  EXPECT_NE(EntryAt(tree, "bad\\name").problem.find("backslash"), std::string::npos);
  EXPECT_EQ(EntryAt(tree, "bad\\name/sub").problem, "its folder cannot be restored");
  EXPECT_EQ(EntryAt(tree, "bad\\name/sub/f").problem, "its folder cannot be restored");
  EXPECT_EQ(tree.restorableFiles, 0u);
  EXPECT_EQ(tree.restorableFolders, 0u);
}

TEST(SourceTree, ReportsAFolderWhoseContentsCannotBeRead) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  zqtest::TempDir root;
  mkdir(root.Join("locked").c_str(), 0755);
  zqtest::WriteFile(root.Join("locked/f"), "f");
  chmod(root.Join("locked").c_str(), 0);

  SourceTree tree;
  std::string error;
  const bool walked = WalkSourceTree(root.path(), tree, error);
  chmod(root.Join("locked").c_str(), 0755);
  ASSERT_TRUE(walked) << error;
  ASSERT_EQ(tree.entries.size(), 2u);
  EXPECT_EQ(tree.entries[0].problem, "");
  EXPECT_EQ(tree.entries[1].relativePath, "locked");
  EXPECT_NE(tree.entries[1].problem.find("cannot read the folder's contents"), std::string::npos);
}

TEST(SourceTree, RefusesARootThatIsNotAFolder) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("file"), "x");
  SourceTree tree;
  std::string error;
  EXPECT_FALSE(WalkSourceTree(dir.Join("file"), tree, error));
  EXPECT_EQ(error, dir.Join("file") + ": not a folder");
  EXPECT_FALSE(WalkSourceTree(dir.Join("missing"), tree, error));
  EXPECT_EQ(error, dir.Join("missing") + ": No such file or directory");
}

TEST(SourceTree, OfAnEmptyFolderIsEmpty) {
  zqtest::TempDir root;
  SourceTree tree;
  std::string error;
  ASSERT_TRUE(WalkSourceTree(root.path(), tree, error)) << error;
  EXPECT_TRUE(tree.entries.empty());
}


// Archives as sources: made in the test with libarchive's writer, read back through the reader
// a restore uses, and staged with the job's own StagingWriter.
namespace archives {

using zqtest::ArchiveMember;

struct ReadResult {
  SourceTree tree;
  std::map<std::string, std::string> failures;  // path -> why it was not staged (or its problem)
  std::string walkError;
};

class ArchiveSourceTest : public testing::Test {
 protected:
  // Reads `archive` as a job does and stages every restorable entry; what could not be staged is
  // kept with its reason.
  // `reserve` is what staging keeps free for others (the default when ~0).
  ReadResult ReadAndStage(const std::string& archive, const SourceLimits& limits = {}, const std::string& below = "",
                          uint64_t reserve = ~uint64_t{0}) {
    ReadResult result;
    std::unique_ptr<SourceReader> source = OpenSource(archive, limits, result.walkError);
    if (!source || !source->Walk(below, result.tree, result.walkError)) return result;
    StagingWriter writer(*source, StagingRoot());
    writer.SetReserve(reserve);
    std::string error;
    if (!zqtest::Exists(StagingRoot()) && !writer.CreateRoot(error)) {
      result.walkError = error;
      result.tree = SourceTree();
      return result;
    }
    for (const SourceEntry& entry : result.tree.entries) {
      struct stat info {};
      if (!entry.problem.empty()) {
        result.failures[entry.relativePath] = entry.problem;
      } else if (!writer.Stage(entry, info, error)) {
        result.failures[entry.relativePath] = error;
      } else {
        records[entry.relativePath] = info;
      }
    }
    return result;
  }
  std::string StagingRoot() const { return parent.Join("ForGuestVM"); }
  std::string Staged(const std::string& relative) const { return StagingRoot() + "/" + relative; }
  // Everything in the test's folder beside the archive and the staging folder: nothing may land there.
  std::vector<std::string> Outside() const {
    std::vector<std::string> names;
    SourceTree all;
    std::string error;
    WalkSourceTree(parent.path(), all, error);
    for (const SourceEntry& entry : all.entries) {
      if (entry.relativePath != "ForGuestVM" && entry.relativePath.rfind("ForGuestVM/", 0) != 0) {
        names.push_back(entry.relativePath);
      }
    }
    return names;
  }

  zqtest::TempDir archives;
  zqtest::TempDir parent;
  std::map<std::string, struct stat> records;
};

ArchiveMember Member(const std::string& name, mode_t type, unsigned mode, unsigned uid, unsigned gid, long long mtime,
                     const std::string& content = "") {
  ArchiveMember member;
  member.name = name;
  member.type = type;
  member.mode = mode;
  member.uid = uid;
  member.gid = gid;
  member.mtime = mtime;
  member.content = content;
  return member;
}

std::vector<ArchiveMember> SampleMembers() {
  return {Member("etc", S_IFDIR, 0755, 0, 0, 1200000000), Member("etc/nginx", S_IFDIR, 0750, 1001, 1002, 1500000000),
          Member("etc/nginx/nginx.conf", S_IFREG, 0640, 1003, 1004, 1400000000, "worker_processes 4;\n"),
          Member("etc/nginx/empty", S_IFREG, 0600, 0, 0, 1300000000)};
}

struct FormatRow {
  const char* format;
  const char* filter;
  bool keepsOwners;  // 7z keeps no owners
};

void PrintTo(const FormatRow& row, std::ostream* out) { *out << row.format << "+" << row.filter; }

class EveryArchiveFormat : public ArchiveSourceTest, public testing::WithParamInterface<FormatRow> {};

TEST_P(EveryArchiveFormat, StagesContentModesOwnersAndTimesFromTheMembersRecords) {
  const FormatRow& row = GetParam();
  const std::string archive = archives.Join("backup");  // no extension: the content says what it is
  zqtest::WriteArchive(archive, row.format, row.filter, SampleMembers());
  const ReadResult staged = ReadAndStage(archive);
  ASSERT_EQ(staged.walkError, "");
  EXPECT_TRUE(staged.failures.empty()) << staged.failures.begin()->first << ": " << staged.failures.begin()->second;
  EXPECT_EQ(Paths(staged.tree),
            (std::vector<std::string>{"etc", "etc/nginx", "etc/nginx/nginx.conf", "etc/nginx/empty"}));
  EXPECT_EQ(staged.tree.restorableFiles, 2u);
  EXPECT_EQ(staged.tree.restorableBytes, 20u);
  EXPECT_EQ(zqtest::ReadFile(Staged("etc/nginx/nginx.conf")), "worker_processes 4;\n");
  EXPECT_EQ(zqtest::StatOf(Staged("etc/nginx/empty")).st_size, 0);
  const struct stat& file = records["etc/nginx/nginx.conf"];
  EXPECT_EQ(file.st_mode & 07777, 0640u);
  EXPECT_EQ(file.st_mtime, 1400000000);
  EXPECT_EQ(zqtest::StatOf(Staged("etc/nginx/nginx.conf")).st_mtime, 1400000000);
  const struct stat& folder = records["etc/nginx"];
  EXPECT_EQ(folder.st_mode & 07777, 0750u);
  EXPECT_EQ(folder.st_mtime, 1500000000);
  if (row.keepsOwners) {
    EXPECT_EQ(file.st_uid, 1003u);
    EXPECT_EQ(file.st_gid, 1004u);
    EXPECT_EQ(folder.st_uid, 1001u);
    EXPECT_EQ(MakeFileHeader(file).uid, 1003);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, EveryArchiveFormat,
                         testing::Values(FormatRow{"gnutar", "gzip", true}, FormatRow{"pax", "bzip2", true},
                                         FormatRow{"ustar", "xz", true}, FormatRow{"pax", "zstd", true},
                                         FormatRow{"gnutar", "lz4", true}, FormatRow{"gnutar", "lzma", true},
                                         FormatRow{"ustar", "compress", true}, FormatRow{"pax", "none", true},
                                         FormatRow{"newc", "gzip", true}, FormatRow{"zip", "none", true},
                                         FormatRow{"7zip", "none", false}));

// One row of the hostile table: the members of a crafted archive, and what becomes of each name.
struct HostileRow {
  HostileRow(const char* rowName, std::vector<ArchiveMember> rowMembers, std::map<std::string, std::string> rowStaged,
             std::map<std::string, std::string> rowRefused, std::string rowWalkError = "", SourceLimits rowLimits = {})
      : name(rowName),
        members(std::move(rowMembers)),
        staged(std::move(rowStaged)),
        refused(std::move(rowRefused)),
        walkError(std::move(rowWalkError)),
        limits(rowLimits) {}
  const char* name;
  std::vector<ArchiveMember> members;
  // Paths and what their content must be once staged ("" for a folder).
  std::map<std::string, std::string> staged;
  // Paths refused, and a part of the reason.
  std::map<std::string, std::string> refused;
  std::string walkError;  // a part of the error refusing the whole archive; "" when it is read
  SourceLimits limits;
  std::string format = "pax";
  std::string filter = "gzip";
  std::function<void(std::string&)> damage;  // changes the archive's bytes once written
  uint64_t reserve = ~uint64_t{0};           // what staging keeps free for others
};

// A row whose archive is damaged after it is written, in `format` through `filter`.
HostileRow Damaged(const char* name, const std::string& format, const std::string& filter,
                   std::vector<ArchiveMember> members, std::function<void(std::string&)> damage,
                   std::map<std::string, std::string> staged, std::map<std::string, std::string> refused,
                   std::string walkError = "") {
  HostileRow row(name, std::move(members), std::move(staged), std::move(refused), std::move(walkError));
  row.format = format;
  row.filter = filter;
  row.damage = std::move(damage);
  return row;
}

HostileRow WithReserve(HostileRow row, uint64_t reserve) {
  row.reserve = reserve;
  return row;
}

void PrintTo(const HostileRow& row, std::ostream* out) { *out << row.name; }

class HostileArchive : public ArchiveSourceTest, public testing::WithParamInterface<HostileRow> {};

TEST_P(HostileArchive, IsRefusedWithReasonsAndWritesNothingOutsideStaging) {
  const HostileRow& row = GetParam();
  const std::string archive = archives.Join("hostile");
  zqtest::WriteArchive(archive, row.format, row.filter, row.members);
  if (row.damage) {
    std::string bytes = zqtest::ReadFile(archive);
    row.damage(bytes);
    zqtest::WriteFile(archive, bytes);
  }
  const ReadResult staged = ReadAndStage(archive, row.limits, "", row.reserve);
  if (!row.walkError.empty()) {
    EXPECT_NE(staged.walkError.find(row.walkError), std::string::npos) << staged.walkError;
    EXPECT_TRUE(staged.tree.entries.empty());
  } else {
    ASSERT_EQ(staged.walkError, "");
  }
  for (const auto& [path, content] : row.staged) {
    EXPECT_EQ(staged.failures.count(path), 0u) << path << ": " << staged.failures.at(path);
    EXPECT_EQ(zqtest::ReadFile(Staged(path)), content) << path;
  }
  for (const auto& [path, reason] : row.refused) {
    ASSERT_EQ(staged.failures.count(path), 1u) << path << " was not refused";
    EXPECT_NE(staged.failures.at(path).find(reason), std::string::npos) << path << ": " << staged.failures.at(path);
  }
  EXPECT_EQ(staged.failures.size(), row.refused.size());
  EXPECT_EQ(Outside(), std::vector<std::string>{});
  EXPECT_FALSE(zqtest::Exists("/zq-escape"));
}

ArchiveMember File(const std::string& name, const std::string& content) {
  ArchiveMember member;
  member.name = name;
  member.content = content;
  return member;
}

ArchiveMember Special(const std::string& name, mode_t type, const std::string& target = "") {
  ArchiveMember member;
  member.name = name;
  member.type = type;
  member.linkTarget = target;
  return member;
}

ArchiveMember HardLink(const std::string& name, const std::string& target) {
  ArchiveMember link = File(name, "");
  link.hardLink = true;
  link.linkTarget = target;
  return link;
}

SourceLimits Limits(uint64_t entries, uint64_t bytes) {
  SourceLimits limits;
  limits.maxEntries = entries;
  limits.maxExpandedBytes = bytes;
  return limits;
}

ArchiveMember Sparse(const std::string& name, int64_t size) {
  ArchiveMember member = File(name, "data");
  member.size = size;
  member.dataAt = size / 2;
  return member;
}

// A name `depth` folders deep.
std::string Deep(size_t depth) {
  std::string name = "d";
  for (size_t i = 1; i < depth; ++i) name += "/d";
  return name;
}

// Damages: a bit flipped `back` bytes before the end, in the middle, or at `at`; half cut off.
std::function<void(std::string&)> FlipFromEnd(size_t back) {
  return [back](std::string& bytes) { bytes[bytes.size() - back] ^= 0x01; };
}
std::function<void(std::string&)> FlipAt(size_t at) {
  return [at](std::string& bytes) { bytes[at] ^= 0x01; };
}
std::function<void(std::string&)> FlipIn(const std::string& text) {
  return [text](std::string& bytes) { bytes[bytes.find(text)] ^= 0x20; };
}
void CutInHalf(std::string& bytes) { bytes.resize(bytes.size() / 2); }
void FlipInTheMiddle(std::string& bytes) { bytes[bytes.size() / 2] ^= 0x10; }

std::vector<ArchiveMember> Sample() { return {File("a", std::string(30000, 'a')), File("b", "second member")}; }

// A tar of Sample() followed by 256 KiB that do not compress, as one member of the raw format:
// through a compression, the tar's end lies far before the stream's.
std::vector<ArchiveMember> TarWithATail() {
  zqtest::TempDir dir;
  zqtest::WriteArchive(dir.Join("t"), "ustar", "none", Sample());
  std::string tail(256 << 10, '\0');
  uint32_t state = 1;
  for (char& byte : tail) byte = static_cast<char>((state = state * 1103515245 + 12345) >> 24);
  return {File("whole", zqtest::ReadFile(dir.Join("t")) + tail)};
}

std::vector<ArchiveMember> ManyFiles(int count) {
  std::vector<ArchiveMember> members;
  for (int i = 0; i < count; ++i) members.push_back(File("f" + std::to_string(i), ""));
  return members;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileArchive,
    testing::Values(
        HostileRow{"AbsoluteName", {File("/zq-escape", "x"), File("ok", "fine")}, {{"ok", "fine"}},
                   {{"/zq-escape", "absolute name"}}},
        HostileRow{"DotDotPart", {File("a/../../zq-escape", "x"), File("b/..", "y")}, {},
                   {{"a/../../zq-escape", "\"..\" part"}, {"b/..", "\"..\" part"}}},
        HostileRow{"DotAndEmptyPartsAreDropped", {File("./x//y/./z", "deep")}, {{"x/y/z", "deep"}}, {}},
        HostileRow{"DuplicateFileTheLastWins", {File("f", "first"), File("f", "second")}, {{"f", "second"}}, {}},
        HostileRow{"NameIsFolderAndFile",
                   {Special("x", S_IFDIR), File("x/y", "below"), File("x", "a file now")},
                   {},
                   {{"x", "both as a folder"}, {"x/y", "its folder cannot be restored"}}},
        HostileRow{"FileThroughASymbolicLink",
                   {Special("l", S_IFLNK, "/"), File("l/zq-escape", "x")},
                   {},
                   {{"l", "symbolic links are not restored"}, {"l/zq-escape", "its folder cannot be restored"}}},
        HostileRow{"HardLinkIsASeparateCopy",
                   {File("a", "shared"), HardLink("b", "a")},
                   {{"a", "shared"}, {"b", "shared"}},
                   {}},
        HostileRow{"HardLinkToNothingRestorable",
                   {Special("symlink", S_IFLNK, "/etc/shadow"), HardLink("b", "../outside"), HardLink("c", "symlink")},
                   {},
                   {{"symlink", "symbolic links are not restored"},
                    {"b", "hard link to a member that is not restored"},
                    {"c", "hard link to a member that is not restored"}}},
        HostileRow{"DevicePipeAndBackslash",
                   {Special("dev/null", S_IFCHR), Special("pipe", S_IFIFO), File("back\\slash", "x")},
                   {{"dev", ""}},
                   {{"dev/null", "device files are not restored"},
                    {"pipe", "named pipes are not restored"},
                    {"back\\slash", "backslash"}}},
        HostileRow{"MembersAtTheLimit", ManyFiles(5), {{"f0", ""}, {"f4", ""}}, {}, "", Limits(5, 1 << 20)},
        HostileRow{"MoreMembersThanTheLimit", ManyFiles(6), {}, {}, "more than 5 members", Limits(5, 1 << 20)},
        HostileRow{"AddsUpToTheLimit",
                   {File("small", "x"), File("full", std::string(3999, '\0'))},
                   {{"small", "x"}, {"full", std::string(3999, '\0')}},
                   {},
                   "",
                   Limits(100, 4000)},
        HostileRow{"ExpandsPastTheLimit",
                   {File("small", "x"), File("bomb", std::string(4096, '\0'))},
                   {},
                   {},
                   "more than 4000 bytes",
                   Limits(100, 4000)},
        HostileRow{"SparseDataPastTheDeclaredSize",
                   {[] {
                     ArchiveMember liar = File("liar", "XXXXX");
                     liar.size = 10;
                     liar.dataAt = 100;
                     return liar;
                   }()},
                   {},
                   {{"liar", "more than its declared size of 10 bytes"}}},
        HostileRow{"ImpliedFoldersCountAgainstTheLimit", {File("a/b/c/d/e/f", "")}, {}, {}, "more than 5 members",
                   Limits(5, 1 << 20)},
        HostileRow{"SparseCountsByItsApparentSize", {Sparse("disk.img", 64 << 20)}, {}, {}, "more than 1048576 bytes",
                   Limits(100, 1 << 20)},
        HostileRow{"NameDeeperThanTheLimit", {File(Deep(30000), "x"), File("ok", "ok")}, {{"ok", "ok"}},
                   {{Deep(30000), "30000 folders deep, past the limit of 4096"}}},
        HostileRow{"NameLongerThanAPath", {File(std::string(2000, 'n') + "/" + std::string(2095, 'n'), "x")}, {},
                   {{std::string(2000, 'n') + "/" + std::string(2095, 'n'), "4096 bytes long, past the limit of 4095"}}},
        WithReserve(HostileRow{"ExpandsPastTheStagingRoom", {File("data", "x")}, {}, {}, "the staging file system"},
                    ~uint64_t{0} - 1),
        WithReserve(HostileRow{"FileDoesNotFitTheStagingRoom",
                               {File("empty", ""), File("data", "x")},
                               {{"empty", ""}},
                               {{"data", "too little for the file's 1 bytes"}},
                               "",
                               Limits(100, 1 << 20)},
                    ~uint64_t{0} - 1),
        Damaged("GzipCrcError", "pax", "gzip", Sample(), FlipFromEnd(8), {}, {}, "incorrect data check"),
        Damaged("TruncatedTarGz", "pax", "gzip", Sample(), CutInHalf, {}, {}, "cannot read the archive"),
        Damaged("CorruptTarXz", "pax", "xz", Sample(), FlipInTheMiddle, {}, {}, "cannot read the archive"),
        Damaged("TarWithAWrongFirstHeaderChecksum", "ustar", "none", Sample(), FlipAt(148), {}, {},
                "first header is damaged"),
        Damaged("XzDamagedPastTheArchivesEnd", "raw", "xz", TarWithATail(), FlipFromEnd(1000), {}, {},
                "compressed data is damaged"),
        Damaged("GzipOfNoArchive", "raw", "gzip", {File("notes", "plain text")}, nullptr, {}, {},
                "holds no archive zqrestore can read"),
        Damaged("GzipOfNothing", "raw", "gzip", {File("empty", "")}, nullptr, {}, {}, "gzip data with nothing in it"),
        Damaged("ZipMemberWithABadCrc", "zip:compression=store", "none", Sample(), FlipIn("second"), {{"a", std::string(30000, 'a')}},
                {{"b", "fault in this member's data"}})),
    [](const testing::TestParamInfo<HostileRow>& row) { return std::string(row.param.name); });

TEST_F(ArchiveSourceTest, KeepsTheHolesOfASparseMember) {
  ArchiveMember sparse = File("disk.img", std::string(4096, 'D'));
  sparse.size = 64 << 20;
  sparse.dataAt = 32 << 20;
  zqtest::WriteArchive(archives.Join("sparse.tar"), "pax", "zstd", {sparse});
  const ReadResult staged = ReadAndStage(archives.Join("sparse.tar"));
  ASSERT_TRUE(staged.failures.empty()) << staged.failures.begin()->second;
  const struct stat info = zqtest::StatOf(Staged("disk.img"));
  EXPECT_EQ(info.st_size, 64 << 20);
  EXPECT_LT(info.st_blocks * 512, 1 << 20) << "the holes were written out";
  const std::string content = zqtest::ReadFile(Staged("disk.img"));
  EXPECT_TRUE(content.compare(32 << 20, 4096, std::string(4096, 'D')) == 0) << "the data lands at its offset";
  EXPECT_TRUE(content.compare(0, 4096, std::string(4096, '\0')) == 0) << "a hole reads as zeros";
}

TEST_F(ArchiveSourceTest, ListsFoldersBeforeTheirContentsWhateverTheArchivesOrder) {
  // Members of two folders interleaved, a folder named only by its members and listed after them.
  zqtest::WriteArchive(archives.Join("mixed.tar"), "gnutar", "none",
                       {File("a/1", "a1"), File("b/1", "b1"), File("a/2", "a2"),
                        Member("a", S_IFDIR, 0700, 7, 8, 1234567890)});
  const ReadResult staged = ReadAndStage(archives.Join("mixed.tar"));
  ASSERT_TRUE(staged.failures.empty());
  // In the order of the data, each folder before the first member below it: read once.
  EXPECT_EQ(Paths(staged.tree), (std::vector<std::string>{"a", "a/1", "b", "b/1", "a/2"}));
  EXPECT_EQ(zqtest::ReadFile(Staged("a/1")), "a1");
  EXPECT_EQ(zqtest::ReadFile(Staged("a/2")), "a2");
  EXPECT_EQ(zqtest::ReadFile(Staged("b/1")), "b1");
  EXPECT_EQ(records["a"].st_mode & 07777, 0700u) << "the folder's own member gives its records";
  EXPECT_EQ(records["a"].st_uid, 7u);
  EXPECT_EQ(records["b"].st_mode & 07777, 0755u) << "a folder the archive does not list";
  SourceTree selected = staged.tree;
  SelectEntries({{false, "a/"}}, selected);
  EXPECT_EQ(Paths(selected), (std::vector<std::string>{"b", "b/1"})) << "an excluded folder takes its later members";
}

TEST_F(ArchiveSourceTest, SourcePathPicksAFolderOrAFileInside) {
  zqtest::WriteArchive(archives.Join("backup"), "pax", "zstd", SampleMembers());
  ReadResult folder = ReadAndStage(archives.Join("backup"), {}, "./etc/nginx/");
  EXPECT_EQ(Paths(folder.tree), (std::vector<std::string>{"nginx.conf", "empty"}));
  EXPECT_EQ(zqtest::ReadFile(Staged("nginx.conf")), "worker_processes 4;\n");
  EXPECT_EQ(folder.tree.restorableFiles, 2u);
  EXPECT_EQ(folder.tree.restorableFolders, 0u);
  EXPECT_EQ(Paths(ReadAndStage(archives.Join("backup"), {}, "etc/nginx/empty").tree),
            std::vector<std::string>{"empty"});
  EXPECT_NE(ReadAndStage(archives.Join("backup"), {}, "etc/apache").walkError.find("holds nothing there"),
            std::string::npos);
  EXPECT_NE(ReadAndStage(archives.Join("backup"), {}, "etc/../..").walkError.find("\"..\" part is refused"),
            std::string::npos);
}

TEST_F(ArchiveSourceTest, AFileThatIsNoArchiveIsRestoredAsItIs) {
  for (const std::string& content : {std::string("plain text\n"), std::string()}) {
    zqtest::WriteFile(archives.Join("notes.tar.gz"), content);
    std::string error;
    std::unique_ptr<SourceReader> source = OpenSource(archives.Join("notes.tar.gz"), {}, error);
    ASSERT_TRUE(source) << error;
    SourceTree tree;
    ASSERT_TRUE(source->Walk("", tree, error)) << error;
    EXPECT_EQ(source->Kind(), "file");
    EXPECT_EQ(Paths(tree), std::vector<std::string>{"notes.tar.gz"});
  }
}

}  // namespace archives

namespace images {

struct ProbeRow {
  const char* name;
  std::string head;     // the file's first bytes
  bool image;           // taken for a disk image
  const char* format;   // the format they suggest
  // For an image made by `make` (run in the test's folder, where $D names it): a part of the
  // refusal, and what serving it as `format` says (as if its bytes had changed after the check):
  // "" when it is served, else a part of the server's error.
  const char* make = "";
  const char* refusal = "";
  const char* served = "";
  ImageToolLimits limits = {};  // qemu-img's bounds; the rows that lower them only inspect
};

void PrintTo(const ProbeRow& row, std::ostream* out) { *out << row.name; }

std::string At(size_t offset, const std::string& bytes, size_t size = 4096) {
  std::string head(size, '\0');
  head.replace(offset, bytes.size(), bytes);
  return head;
}

class ImageProbe : public testing::TestWithParam<ProbeRow> {};

// The kind comes from the first bytes; what an image really is, and the files it names, come from
// qemu-img. An image that names any other file of the proxy is refused before any appliance
// starts, and the server that reads it cannot open such a file even when asked to.
TEST_P(ImageProbe, TellsImagesByTheirFirstBytesAndRefusesOnesThatNameOtherFiles) {
  const ProbeRow& row = GetParam();
  zqtest::TempDir dir;
  std::string out;
  std::string error;
  if (*row.make != '\0') {
    ASSERT_EQ(ZqProcess::system("cd " + dir.path() + " && D=" + dir.path() + " && " + row.make, &out, &error,
                                CommandLimits{60, 0}),
              0)
        << error;
  } else {
    zqtest::WriteFile(dir.Join("backup"), row.head);
  }
  UniqueFd fd(open(dir.Join("backup").c_str(), O_RDONLY | O_CLOEXEC));
  std::string format;
  EXPECT_EQ(ImageSource::Probe(fd.get(), format), row.image);
  EXPECT_EQ(format, row.format);
  if (*row.make == '\0') return;
  ImageInfo info;
  EXPECT_FALSE(InspectImage(fd.get(), info, error, row.limits));
  EXPECT_NE(error.find(row.refusal), std::string::npos) << error;
  if (row.limits.seconds != ImageToolLimits().seconds || row.limits.maxOutput != ImageToolLimits().maxOutput) return;
  std::unique_ptr<SourceReader> source = OpenSource(dir.Join("backup"), {}, error);
  EXPECT_FALSE(source) << "a refused image is not read as anything else";
  EXPECT_NE(error.find(row.refusal), std::string::npos) << error;
  error.clear();
  setenv("ZQTEST_IMAGE_MARKER", "set", 1);
  const std::unique_ptr<NbdExport> server = NbdExport::Start(fd.get(), format, error);
  unsetenv("ZQTEST_IMAGE_MARKER");
  EXPECT_EQ(server == nullptr, *row.served != '\0') << error;
  EXPECT_NE(error.find(row.served), std::string::npos) << error;
  if (server) {
    const std::string environment = zqtest::ReadFile("/proc/" + std::to_string(server->Pid()) + "/environ");
    EXPECT_EQ(environment.find("ZQTEST_IMAGE_MARKER"), std::string::npos) << "the server's environment is allow-listed";
  }
}

// Patched into a sparse vmdk made by qemu-img: capacity 0 and an embedded descriptor whose
// extent is the file $D/other.
constexpr const char* kEmbeddedDescriptor =
    "qemu-img create -q -f vmdk backup 1M && truncate -s 1M other && export D && perl -0777 -pi -e "
    "'substr($_,12,8)=pack(\"Q<\",0); s/createType=\"monolithicSparse\"/createType=\"monolithicFlat\"/; "
    "s/RW (\\d+) SPARSE \"backup\"/RW $1 FLAT \"$ENV{D}\\/other\" 0/' backup";

INSTANTIATE_TEST_SUITE_P(
    Rows, ImageProbe,
    testing::Values(ProbeRow{"Qcow2", At(0, std::string("QFI\xfb\0\0\0\x03", 8)), true, "qcow2"},
                    ProbeRow{"VmdkSparse", At(0, "KDMV"), true, "vmdk"},
                    ProbeRow{"VmdkDescriptor", At(0, "# Disk DescriptorFile\n"), true, "vmdk"},
                    ProbeRow{"Vhdx", At(0, "vhdxfile"), true, "vhdx"},
                    ProbeRow{"Vdi", At(0x40, "\x7f\x10\xda\xbe"), true, "vdi"},
                    ProbeRow{"RawWithAPartitionTable", At(510, "\x55\xaa"), true, "raw"},
                    ProbeRow{"RawExt4", At(1024 + 56, "\x53\xef"), true, "raw"},
                    ProbeRow{"PlainText", "not an image\n", false, ""},
                    ProbeRow{"Zeros", std::string(4096, '\0'), false, ""},
                    ProbeRow{"Qcow2WithABackingFile", "", true, "qcow2",
                             "qemu-img create -q -f qcow2 base 1M && qemu-img create -q -f qcow2 -b $D/base -F qcow2 backup",
                             "backing file, \"/", ""},
                    ProbeRow{"Qcow2WithADataFile", "", true, "qcow2",
                             "qemu-img create -q -f raw data 1M && qemu-img create -q -f qcow2 -o data_file=$D/data backup 1M",
                             "names an external data file, \"/", "/data': Permission denied"},
                    ProbeRow{"VmdkSplitIntoExtents", "", true, "vmdk",
                             "qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse backup 1M",
                             "Could not open '/proc/self/fd/backup-s001'", "backup-s001'"},
                    ProbeRow{"VmdkFlatNamingAnAbsolutePath", "", true, "vmdk",
                             "qemu-img create -q -f vmdk -o subformat=monolithicFlat x 1M && "
                             "sed \"s|\\\"x-flat\\\"|\\\"$D/x-flat\\\"|\" x > backup",
                             "/x-flat': Permission denied", "/x-flat': Permission denied"},
                    ProbeRow{"VmdkSparseWithAnEmbeddedDescriptor", "", true, "vmdk", kEmbeddedDescriptor,
                             "/other", "/other': Permission denied"},
                    // The tools may read their own files; the check refuses the name all the same.
                    ProbeRow{"VmdkFlatNamingAFileTheToolsMayRead", "", true, "vmdk",
                             "qemu-img create -q -f vmdk -o subformat=monolithicFlat x 1M && "
                             "sed 's|\"x-flat\"|\"/usr/bin/qemu-img\"|' x > backup",
                             "names another file, \"/usr/bin/qemu-img\"", ""},
                    ProbeRow{"QemuImgPastItsTimeLimit", "", true, "qcow2", "qemu-img create -q -f qcow2 backup 1M",
                             "qemu-img did not finish within 0 s", "", {0, 1 << 20}},
                    ProbeRow{"QemuImgPastItsOutputLimit", "", true, "qcow2", "qemu-img create -q -f qcow2 backup 1M",
                             "qemu-img wrote more than 64 bytes", "", {60, 64}}),
    [](const testing::TestParamInfo<ProbeRow>& row) { return std::string(row.param.name); });

}  // namespace images

}  // namespace
