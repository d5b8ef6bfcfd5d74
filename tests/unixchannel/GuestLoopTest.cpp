// The guest loops of a helper-script session, run locally the way a guest runs them: `bash -c
// TEXT` in the login's starting folder, with the frames on standard input. The Perl loop must give
// every request the bash loop's answer (output, errors, status) and leave the same tree, serve the
// hot file operations without any other process, and give way to the bash loop where the guest
// has no perl.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "testbeds/sshd/SshdFixture.h"
#include "tools/GuestShellSession.h"
#include "toolscontract/ShellQuote.h"
#include "support/TestSupport.h"

namespace {

using zqtest::TempDir;

const std::string kMark = "zq-0123456789abcdef0123456789abcdef";

struct Answer {
  std::string out, err;
  int status = -1;
};

struct Request {
  Request(std::vector<std::string> words, std::string data = "") : words(std::move(words)), data(std::move(data)) {}
  std::vector<std::string> words;
  std::string data;
};

enum class Loop { Perl, Bash };

std::string HelperScript() { return zqtest::ReadFile(ZQ_HELPER_SCRIPT); }

// Splits `text` at each `end`, and after each piece, with `withStatus`, reads "STATUS\n".
bool SplitAnswers(std::string text, const std::string& end, bool withStatus, std::vector<Answer>& answers,
                  bool errors) {
  for (size_t i = 0; !text.empty(); ++i) {
    const size_t at = text.find(end);
    if (at == std::string::npos) return false;
    if (answers.size() <= i) answers.resize(i + 1);
    (errors ? answers[i].err : answers[i].out) = text.substr(0, at);
    text.erase(0, at + end.size());
    if (withStatus) {
      const size_t newline = text.find('\n');
      if (newline == std::string::npos) return false;
      answers[i].status = std::stoi(text.substr(0, newline));
      text.erase(0, newline + 1);
    }
  }
  return true;
}

// Runs `loop` in `folder` on `requests` for `script` until the end of its input. `prefix` comes
// before the command (an environment, another user).
std::vector<Answer> RunLoop(Loop loop, const std::string& folder, const std::vector<Request>& requests,
                            const std::string& prefix = "", const std::string& script = HelperScript()) {
  using namespace GuestShellSession;
  TempDir io;
  std::string input = (loop == Loop::Perl ? GuestPerlLoopFrame() : std::string()) + kMark + '\0';
  input += std::string("S") + '\0' + script + '\0';
  for (const Request& request : requests) {
    std::vector<std::string> words = request.words;
    std::string data = request.data;
    // A write as the proxy sends it: the staged mode and times after the size, the end word after the bytes.
    if (script == HelperScript() && words.size() == 3 && words[0] == "--write_file") {
      words.insert(words.begin() + 3, {"640", "1000", "2000"});
      data += "zq-end " + words[2] + "\n";
    }
    std::string arguments;
    for (const std::string& word : words) arguments += (arguments.empty() ? "" : " ") + ShellQuote::Word(word);
    input += std::string("R") + '\0' + arguments + '\0' + std::to_string(data.size()) + '\0' + data;
  }
  zqtest::WriteFile(io.Join("in"), input);
  const std::string text = loop == Loop::Perl ? GuestLoopStarter() : GuestLoop();
  std::string ignored;
  const int status = zqtest::RunBounded("cd " + ShellQuote::SingleQuoted(folder) + " && " + prefix + "/bin/bash -c " +
                                            ShellQuote::SingleQuoted(text) + " <" + io.Join("in") + " >" +
                                            io.Join("out") + " 2>" + io.Join("err"),
                                        60, ignored);
  EXPECT_EQ(status, 0) << ignored;
  std::string out = zqtest::ReadFile(io.Join("out")), err = zqtest::ReadFile(io.Join("err"));
  const std::string ready = "zqsession-ready\n", markLine = kMark + "\n";
  EXPECT_EQ(out.substr(0, ready.size()), ready);
  EXPECT_EQ(err.substr(0, markLine.size()), markLine);
  std::vector<Answer> answers;
  EXPECT_TRUE(SplitAnswers(out.substr(std::min(out.size(), ready.size())), kMark + " ", true, answers, false)) << out;
  EXPECT_TRUE(SplitAnswers(err.substr(std::min(err.size(), markLine.size())), markLine, false, answers, true)) << err;
  EXPECT_EQ(answers.size(), requests.size()) << out << err;
  return answers;
}

// Every entry below `root` without following links: kind, permissions, owner, size, content or
// target, and times (those set by a test, small; any other as "recent").
std::string Snapshot(const std::string& root, const std::string& relative = "") {
  std::string text;
  DIR* folder = opendir((root + relative).c_str());
  if (folder == nullptr) return "unreadable " + relative + "\n";
  std::vector<std::string> names;
  while (dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  const auto time = [](long long seconds) { return seconds < 1000000000 ? std::to_string(seconds) : "recent"; };
  for (const std::string& name : names) {
    const std::string path = relative + "/" + name;
    const struct stat info = zqtest::StatOf(root + path);
    text += path + " " + std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
            std::to_string(info.st_gid) + " " + time(info.st_mtime) + " " + time(info.st_atime);
    if (S_ISREG(info.st_mode)) text += " [" + zqtest::ReadFile(root + path) + "]";
    if (S_ISLNK(info.st_mode)) {
      char target[256] = {};
      text += " -> " + std::string(target, std::max<ssize_t>(0, readlink((root + path).c_str(), target, 255)));
    }
    text += "\n";
    if (S_ISDIR(info.st_mode)) text += Snapshot(root, path);
  }
  return text;
}

// The guest's tree: a destination folder with a file, a link at a name, a link where a folder
// should be, a folder with the set-group bit, a pipe, a name with a newline and a backslash, and
// a file outside the destination.
void PlantTree(const std::string& root, uid_t owner) {
  zqtest::WriteFile(root + "/outside", "outside");
  ASSERT_EQ(mkdir((root + "/dest").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/dest/sub").c_str(), 0755), 0);
  zqtest::WriteFile(root + "/dest/sub/old", "old");
  ASSERT_EQ(chmod((root + "/dest/sub/old").c_str(), 0640), 0);
  ASSERT_EQ(symlink("../../outside", (root + "/dest/sub/link").c_str()), 0);
  ASSERT_EQ(symlink("sub", (root + "/dest/hop").c_str()), 0);
  ASSERT_EQ(mkdir((root + "/dest/sub/shared").c_str(), 0775), 0);
  ASSERT_EQ(chmod((root + "/dest/sub/shared").c_str(), 02775), 0);
  ASSERT_EQ(mkfifo((root + "/dest/sub/pipe").c_str(), 0644), 0);
  zqtest::WriteFile(root + "/dest/sub/two\nlines\\", "2");
  for (const char* name : {"outside", "dest", "dest/sub", "dest/sub/old", "dest/sub/link", "dest/hop",
                           "dest/sub/shared", "dest/sub/pipe", "dest/sub/two\nlines\\"}) {
    const std::string path = root + "/" + name;
    ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
    zqtest::SetTimes(path, 1000, 2000);
  }
  ASSERT_EQ(chown(root.c_str(), owner, owner), 0);
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct LoopCase {
  const char* name;
  std::function<Request(const std::string& dest)> request;  // dest: the destination with the marker
};

const std::vector<LoopCase>& Cases() {
  static const std::vector<LoopCase> cases = {
      {"exists: a file", [](auto d) { return Request{{"--file_exists", d + "sub/old"}}; }},
      {"exists: a link", [](auto d) { return Request{{"--file_exists", d + "sub/link"}}; }},
      {"exists: nothing", [](auto d) { return Request{{"--file_exists", d + "sub/none"}}; }},
      {"exists: missing folder", [](auto d) { return Request{{"--file_exists", d + "none/x"}}; }},
      {"exists: link on the way", [](auto d) { return Request{{"--file_exists", d + "hop/old"}}; }},
      {"exists: .. below the destination", [](auto d) { return Request{{"--file_exists", d + "sub/../sub/old"}}; }},
      {"exists: relative, no marker", [](auto) { return Request{{"--file_exists", "dest/sub/old"}}; }},
      {"exists: one argument too many", [](auto d) { return Request{{"--file_exists", d + "sub/old", "x"}}; }},
      {"write: new file", [](auto d) { return Request{{"--write_file", d + "sub/new", "5"}, "hello"}; }},
      {"write: empty file", [](auto d) { return Request{{"--write_file", d + "sub/empty", "0"}, ""}; }},
      {"write: replaced file gets the mode given, not the old owner",
       [](auto d) { return Request{{"--write_file", d + "sub/old", "3"}, "new"}; }},
      {"write: link at the name", [](auto d) { return Request{{"--write_file", d + "sub/link", "2"}, "ab"}; }},
      {"write: folder at the name", [](auto d) { return Request{{"--write_file", d + "sub/shared", "1"}, "x"}; }},
      {"write: pipe at the name", [](auto d) { return Request{{"--write_file", d + "sub/pipe", "1"}, "x"}; }},
      {"write: missing folder", [](auto d) { return Request{{"--write_file", d + "none/f", "1"}, "x"}; }},
      {"write: link on the way", [](auto d) { return Request{{"--write_file", d + "hop/f", "1"}, "x"}; }},
      {"write: .. below the destination", [](auto d) { return Request{{"--write_file", d + "sub/../f", "1"}, "x"}; }},
      {"write: fewer bytes than the size", [](auto d) { return Request{{"--write_file", d + "sub/f", "9"}, "abc"}; }},
      {"write: one byte more than the size", [](auto d) { return Request{{"--write_file", d + "sub/old", "2"}, "abc"}; }},
      {"write: one byte fewer than the size", [](auto d) { return Request{{"--write_file", d + "sub/old", "4"}, "abc"}; }},
      {"write: size with a leading zero", [](auto d) { return Request{{"--write_file", d + "sub/f", "03"}, "abc"}; }},
      {"write: another last word than the end word",
       [](auto d) { return Request{{"--write_file", d + "sub/old", "3", "640", "1", "2"}, "newzq-end 4\n"}; }},
      {"write: size not a number", [](auto d) { return Request{{"--write_file", d + "sub/f", "x"}, "abc"}; }},
      {"write: hostile name", [](auto d) { return Request{{"--write_file", d + "sub/it's $(touch x) \\", "1"}, "y"}; }},
      {"write: absolute, no marker", [](auto d) {
         return Request{{"--write_file", d.substr(0, d.size() - 3) + "/sub/abs", "1"}, "z"};
       }},
      {"attributes: file, owner, mode and times",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/old", "100", "200", "7", "8", "4755"}}; }},
      {"attributes: what the file has already",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/old", "1000", "2000", "0", "0", "640"}}; }},
      {"attributes: folder keeps its set-group bit",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/shared", "300", "400", "0", "0", "755"}}; }},
      {"attributes: link", [](auto d) { return Request{{"--change_file_attr", d + "sub/link", "1", "2", "0", "0", "644"}}; }},
      {"attributes: pipe", [](auto d) { return Request{{"--change_file_attr", d + "sub/pipe", "1", "2", "0", "0", "644"}}; }},
      {"attributes: nothing at the name",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/none", "1", "2", "0", "0", "644"}}; }},
      {"attributes: link on the way",
       [](auto d) { return Request{{"--change_file_attr", d + "hop/old", "1", "2", "0", "0", "644"}}; }},
      {"attributes: mode not octal",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/old", "1", "2", "0", "0", "999"}}; }},
      {"attributes: time not a number",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/old", "x", "2", "0", "0", "644"}}; }},
      {"attributes: id too large",
       [](auto d) { return Request{{"--change_file_attr", d + "sub/old", "1", "2", "4294967295", "0", "644"}}; }},
      {"browse: a file", [](auto d) { return Request{{"--browse_path", d + "sub/old"}}; }},
      {"browse: a link", [](auto d) { return Request{{"--browse_path", d + "sub/link"}}; }},
      {"browse: a pipe", [](auto d) { return Request{{"--browse_path", d + "sub/pipe"}}; }},
      {"browse: a name with a newline and a backslash",
       [](auto d) { return Request{{"--browse_path", d + "sub/two\nlines\\"}}; }},
      {"browse: nothing at the name", [](auto d) { return Request{{"--browse_path", d + "sub/none"}}; }},
      {"browse: missing folder", [](auto d) { return Request{{"--browse_path", d + "none/x"}}; }},
      {"browse: a folder", [](auto d) { return Request{{"--browse_path", d + "sub"}}; }},
      {"browse: the destination", [](auto d) { return Request{{"--browse_path", d}}; }},
      {"list folders: a file", [](auto d) { return Request{{"--list_dirs", d + "sub/old"}}; }},
      {"no option", [](auto) { return Request{{}}; }},
  };
  return cases;
}

// Runs every case on a fresh tree owned by `owner` with each loop (`prefix` before the command:
// another login), and expects the same answers and trees.
void ExpectSameAsBashLoop(uid_t owner, const std::string& prefix) {
  for (const LoopCase& row : Cases()) {
    std::vector<std::string> seen;
    for (Loop loop : {Loop::Perl, Loop::Bash}) {
      TempDir guest;
      ASSERT_NO_FATAL_FAILURE(PlantTree(guest.path(), owner));
      const Request request = row.request(guest.path() + "/dest/./");
      const std::vector<Answer> answers = RunLoop(loop, guest.path(), {request}, prefix);
      ASSERT_EQ(answers.size(), 1u) << row.name;
      const std::string tree = Snapshot(guest.path());
      if (loop == Loop::Perl) {
        EXPECT_EQ(tree.find("/.zqrestore-"), std::string::npos) << row.name << "\n" << tree;
      }
      seen.push_back(Replace("status " + std::to_string(answers[0].status) + "\nout: " + answers[0].out +
                                 "\nerr: " + answers[0].err + "\ntree:\n" + tree,
                             guest.path(), "GUEST"));
    }
    EXPECT_EQ(seen[0], seen[1]) << row.name;
  }
}

TEST(GuestLoop, PerlAnswersAsTheBashLoop) { ExpectSameAsBashLoop(geteuid() == 0 ? 1234 : geteuid(), ""); }

// A login other than root: the owner cannot be given away ("owner not set"), and folders it may
// not write into fail as the script says.
TEST(GuestLoop, PerlAnswersAsTheBashLoopForALoginOtherThanRoot) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  ExpectSameAsBashLoop(65534, "setpriv --reuid=65534 --regid=65534 --clear-groups ");
}

// With nothing on PATH but perl (and head, which reads the program at the start) neither the bash
// loop nor the script could serve a single request: the hot operations are served by Perl alone.
// A disk that loses every write (each fsync fails with an input or output error): the Perl loop
// fails a write as the script does, in the script's words, and leaves the same tree.
TEST(GuestLoop, PerlAnswersAsTheBashLoopWhenTheDiskLosesEveryWrite) {
  TempDir plan;
  zqtest::WriteFile(plan.Join("plan"), "fail fsync EIO /\n");
  ExpectSameAsBashLoop(geteuid() == 0 ? 1234 : geteuid(),
                       "ZQ_FAULT_PLAN=" + plan.Join("plan") + " LD_PRELOAD=" + ZQ_FAULT_INJECT_LIBRARY + " ");
}

// The limit the proxy filled into the Perl loop for `name` (e.g. "MAX_ARGS").
size_t PerlLimit(const std::string& name) {
  const std::string& program = GuestShellSession::GuestPerlLoop();
  const std::string start = "my $" + name + " = ";
  const size_t at = program.find(start);
  return at == std::string::npos ? 0 : std::stoul(program.substr(at + start.size()));
}

// Each bound of a frame the Perl loop reads, one below, at and one above: within it the request is
// answered; past it the loop ends without reading further and without an answer.
struct FrameRow {
  const char* name;
  const char* limit;  // the Perl loop's variable
  long extra;         // bytes beyond the limit
  bool data;          // the standard input of a request, else its arguments
  bool answered;
};

TEST(GuestLoop, PerlReadsEachFrameUpToItsLimitAndNoFurther) {
  const FrameRow rows[] = {
      {"arguments one below", "MAX_ARGS", -1, false, true},
      {"arguments at the limit", "MAX_ARGS", 0, false, true},
      {"arguments one above", "MAX_ARGS", 1, false, false},
      {"data one below", "MAX_DATA", -1, true, true},
      {"data at the limit", "MAX_DATA", 0, true, true},
      {"data one above", "MAX_DATA", 1, true, false},
  };
  for (const FrameRow& row : rows) {
    const size_t limit = PerlLimit(row.limit);
    ASSERT_GT(limit, 0u) << row.limit;
    const size_t size = static_cast<size_t>(static_cast<long>(limit) + row.extra);
    TempDir guest, io;
    // Arguments the script refuses (an unknown option, padded with blanks), or a write whose bytes
    // and end word make `size` bytes.
    size_t bytes = size;
    while (bytes + std::to_string(bytes).size() + 8 > size) --bytes;
    const std::string arguments = row.data ? "--write_file " + guest.Join("f") + " " + std::to_string(bytes) + " 6 1 2"
                                           : "--x" + std::string(size - 3, ' ');
    const std::string data = row.data ? std::string(bytes, 'd') + "zq-end " + std::to_string(bytes) + "\n" : "";
    const std::string input = GuestShellSession::GuestPerlLoopFrame() + kMark + '\0' + "S" + '\0' + HelperScript() +
                              '\0' + "R" + '\0' + arguments + '\0' + std::to_string(data.size()) + '\0' + data;
    zqtest::WriteFile(io.Join("in"), input);
    std::string ignored;
    EXPECT_EQ(zqtest::RunBounded("cd " + guest.path() + " && /bin/bash -c " +
                                     ShellQuote::SingleQuoted(GuestShellSession::GuestLoopStarter()) + " <" +
                                     io.Join("in") + " >" + io.Join("out") + " 2>/dev/null",
                                 60, ignored),
              0)
        << row.name;
    const std::string out = zqtest::ReadFile(io.Join("out"));
    EXPECT_EQ(out.find(kMark + " ") != std::string::npos, row.answered) << row.name << ": " << out.substr(0, 200);
    if (row.data && row.answered) {
      EXPECT_EQ(zqtest::ReadFile(guest.Join("f")).size(), bytes) << row.name;
    }
  }
}

TEST(GuestLoop, PerlServesTheHotOperationsWithoutAnyOtherProgram) {
  TempDir guest, tools;
  PlantTree(guest.path(), geteuid());
  ASSERT_EQ(symlink("/usr/bin/perl", tools.Join("perl").c_str()), 0);
  ASSERT_EQ(symlink("/usr/bin/head", tools.Join("head").c_str()), 0);
  const std::string dest = guest.path() + "/dest/./";
  const std::vector<Answer> answers =
      RunLoop(Loop::Perl, guest.path(),
              {{{"--file_exists", dest + "sub/old"}},
               {{"--file_exists", dest + "sub/new"}},
               {{"--write_file", dest + "sub/new", "4"}, "four"},
               {{"--write_file", dest + "sub/old", "3"}, "new"},
               {{"--change_file_attr", dest + "sub/new", "10", "20", "5", "6", "600"}},
               {{"--browse_path", dest + "sub/new"}}},
              "PATH=" + tools.path() + " ");
  ASSERT_EQ(answers.size(), 6u);
  const std::vector<std::string> outputs = {"File exists\n", "File doesn't exist\n", "", "", "",
                                            "new/4/regular/20/10/5/6/33152\n"};
  for (size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].status, 0) << i << answers[i].err;
    EXPECT_EQ(answers[i].out, outputs[i]) << i;
    EXPECT_EQ(answers[i].err, "") << i;
  }
  EXPECT_EQ(zqtest::ReadFile(guest.Join("dest/sub/old")), "new");
  EXPECT_EQ(zqtest::StatOf(guest.Join("dest/sub/old")).st_mode & 07777, 0640u);
  const struct stat made = zqtest::StatOf(guest.Join("dest/sub/new"));
  EXPECT_EQ(zqtest::ReadFile(guest.Join("dest/sub/new")), "four");
  EXPECT_EQ(made.st_mode & 07777, 0600u);
  EXPECT_EQ(made.st_uid, 5u);
  EXPECT_EQ(made.st_gid, 6u);
  EXPECT_EQ(made.st_atime, 10);
  EXPECT_EQ(made.st_mtime, 20);
}

// A guest without perl, or with one that cannot compile the program, runs the bash loop: the
// program sent first is read and set aside, and nothing of perl's complaint reaches the answers.
TEST(GuestLoop, StartsTheBashLoopWhereTheGuestHasNoUsablePerl) {
  for (const bool brokenPerl : {false, true}) {
    TempDir guest, tools;
    PlantTree(guest.path(), geteuid());
    // Every program of the system's folders but perl.
    for (const char* folder : {"/usr/bin", "/bin"}) {
      DIR* listing = opendir(folder);
      ASSERT_NE(listing, nullptr);
      while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.rfind("perl", 0) == 0) continue;
        symlink((std::string(folder) + "/" + name).c_str(), tools.Join(name).c_str());
      }
      closedir(listing);
    }
    if (brokenPerl) {
      zqtest::WriteFile(tools.Join("perl"), "#!/bin/sh\necho \"Can't locate POSIX.pm\" >&2\nexit 2\n");
      ASSERT_EQ(chmod(tools.Join("perl").c_str(), 0755), 0);
    }
    const std::string dest = guest.path() + "/dest/./";
    const std::vector<Answer> answers =
        RunLoop(Loop::Perl, guest.path(),
                {{{"--write_file", dest + "sub/new", "4"}, "four"}, {{"--write_file", dest + "sub/../x", "1"}, "x"}},
                "PATH=" + tools.path() + " ");
    ASSERT_EQ(answers.size(), 2u) << brokenPerl;
    EXPECT_EQ(answers[0].status, 0) << answers[0].err;
    EXPECT_EQ(answers[0].err, "");
    EXPECT_EQ(answers[1].status, 1);
    EXPECT_EQ(answers[1].err.find("zqvsa_agentless.sh: the path "), 0u) << answers[1].err;
    EXPECT_NE(answers[1].err.find("holds the name '..' below the destination"), std::string::npos) << answers[1].err;
    EXPECT_EQ(zqtest::ReadFile(guest.Join("dest/sub/new")), "four");
    EXPECT_EQ(Snapshot(guest.path()).find("/.zqrestore-"), std::string::npos);
  }
}

// Any other script runs in bash as the bash loop runs it: as the body of a function, with the
// request's arguments and data (large ones too), and its own exit status.
TEST(GuestLoop, RunsAnyOtherScriptAsTheBashLoop) {
  struct ScriptCase {
    std::string script;
    Request request;
    std::string answer;  // status [output] [errors]
  };
  const std::vector<ScriptCase> cases = {
      {"printf '%s|' \"$@\"; wc -c; exit 3\n# " + std::string(200000, 'x') + "\n",
       Request{{"--file_exists", "a b"}, std::string(300000, 'd')}, "3 [--file_exists|a b|300000\n] []"},
      {"local x=1; echo \"$x $# $2\"; return 4", Request{{"--write_file", "it's", "1"}, "y"}, "4 [1 3 it's\n] []"},
  };
  TempDir guest;
  for (const ScriptCase& row : cases) {
    for (Loop loop : {Loop::Perl, Loop::Bash}) {
      for (const Answer& answer : RunLoop(loop, guest.path(), {row.request, row.request}, "", row.script)) {
        EXPECT_EQ(std::to_string(answer.status) + " [" + answer.out + "] [" + answer.err + "]", row.answer)
            << (loop == Loop::Perl ? "perl" : "bash");
      }
    }
  }
}

}  // namespace
