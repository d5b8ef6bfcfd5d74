// The Unix channel with the real command runner, the real helper script and stand-ins for the
// SSH tools that run the "remote" command in the local shell: every command line really passes
// the proxy's shell and then a guest shell, as over SSH.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "UnixTestDoubles.h"
#include "toolscontract/ShellQuote.h"

namespace {

using VMInfoStructs::SGuestFile;
using zqtest::Exists;
using zqtest::FakeToolsFolder;
using zqtest::ScopedEnv;
using zqtest::ScopedLogCapture;
using zqtest::ScopedSettings;
using zqtest::TempDir;

constexpr const char* kPassword = "S3cr3t!";
constexpr const char* kCanary = "zqcanary-local";

class UnixChannelLocal : public testing::Test {
 protected:
  void SetUp() override {
    settings.Set("Base", "dBASEHOME", tools.path());
    ASSERT_TRUE(channel.Init(zqtest::MakeLogin("root", kPassword, "127.0.0.1")));
  }

  FakeToolsFolder tools;
  ScopedSettings settings;
  ScopedLogCapture capture;
  zqtest::StubVMInfo vmInfo{VSInstanceNoNativeGuestOps};
  ZQUnixGuestAPI channel{&vmInfo};
  GuestCtx ctx;
  TempDir guest;
};


using zqtest::HostileNames;

TEST_F(UnixChannelLocal, HostileNamesLandIntactAndRunNothing) {
  std::string canary = kCanary;
  unlink(canary.c_str());
  zqtest::WriteFile(guest.Join("source"), "payload");
  for (const std::string& name : HostileNames(canary)) {
    std::string folder = guest.Join("d-" + name.substr(0, 200));
    std::string file = folder + "/" + name;
    EXPECT_EQ(channel.CreateGuestFolder(ctx, folder), 1) << name;
    EXPECT_EQ(channel.CopyFileToGuest(ctx, guest.Join("source"), file, false), 1) << name;
    EXPECT_EQ(zqtest::ReadIfPresent(file), "payload") << name;
    std::vector<SGuestFile> entries;
    EXPECT_EQ(channel.BrowseGuest(ctx, file, entries), 1) << name;
    ASSERT_EQ(entries.size(), 1u) << name;
    EXPECT_EQ(entries[0].name, name);
    EXPECT_EQ(entries[0].type, VMInfoStructs::GuestFileRegular);
    std::string folderCopy = folder;
    EXPECT_EQ(channel.DeleteDirectoryInGuest(ctx, folderCopy), 1) << name;
    EXPECT_FALSE(Exists(folder)) << name;
  }
  EXPECT_FALSE(Exists(canary));
}

TEST_F(UnixChannelLocal, DeepPathIsCreatedAndBrowsed) {
  std::string deep = guest.path();
  for (int level = 0; level < 60; ++level) deep += "/level " + std::to_string(level);
  EXPECT_EQ(channel.CreateGuestFolder(ctx, deep), 1);
  EXPECT_TRUE(Exists(deep));
  std::vector<SGuestFile> entries;
  EXPECT_EQ(channel.BrowseGuestFolders(ctx, guest.path(), entries), 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "level 0");
}

TEST_F(UnixChannelLocal, BrowseOfAMissingPathSucceedsWithNoEntries) {
  std::vector<SGuestFile> entries(1);
  EXPECT_EQ(channel.BrowseGuest(ctx, guest.Join("missing"), entries), 1);
  EXPECT_EQ(entries.size(), 1u);
}

TEST_F(UnixChannelLocal, CopyWithoutOverwriteKeepsTheGuestFile) {
  zqtest::WriteFile(guest.Join("new"), "new");
  zqtest::WriteFile(guest.Join("old"), "old");
  EXPECT_EQ(channel.CopyFileToGuest(ctx, guest.Join("new"), guest.Join("old"), false), 0);
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("old")), "old");
  EXPECT_EQ(channel.CopyFileToGuest(ctx, guest.Join("new"), guest.Join("old"), true), 1);
  EXPECT_EQ(zqtest::ReadIfPresent(guest.Join("old")), "new");
}

// The guest's digest answer is outside input: only one line of 64 hexadecimal digits or "-" per
// file is taken, within a bound on the whole answer. The helper script is replaced by one that
// prints the row's answer.
struct DigestAnswerRow {
  const char* name;
  std::string answer;
  bool accepted;
};
void PrintTo(const DigestAnswerRow& row, std::ostream* out) { *out << row.name; }

class UnixChannelDigests : public UnixChannelLocal, public testing::WithParamInterface<DigestAnswerRow> {};

const std::string kDigestA(64, 'a');
const std::string kDigestB = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";

TEST_P(UnixChannelDigests, TakesOnlyOneDigestOrDashPerFile) {
  const DigestAnswerRow& row = GetParam();
  zqtest::WriteFile(tools.path() + "/zqvsa_agentless.sh", "printf '%s' " + ShellQuote::SingleQuoted(row.answer) + "\n");
  std::vector<std::string> digests{"left over"};
  EXPECT_EQ(channel.HashGuestFiles(ctx, {guest.Join("a"), guest.Join("b")}, digests), row.accepted ? 1 : 0);
  if (row.accepted) {
    ASSERT_EQ(digests.size(), 2u);
    EXPECT_EQ(digests[0], kDigestA);
    EXPECT_TRUE(digests[1].empty() || digests[1] == "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
  } else {
    EXPECT_TRUE(digests.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UnixChannelDigests,
    testing::ValuesIn(std::vector<DigestAnswerRow>{
        {"TwoDigests", kDigestA + "\n" + kDigestB + "\n", true},
        {"DigestAndDash", kDigestA + "\n-\n", true},
        {"CarriageReturnsAreDropped", kDigestA + "\r\n-\r\n", true},
        {"OneLineForTwoFiles", kDigestA + "\n", false},
        {"ThreeLinesForTwoFiles", kDigestA + "\n-\n-\n", false},
        {"ShortDigest", kDigestA + "\n" + kDigestB.substr(1) + "\n", false},
        {"LongDigest", kDigestA + "\n" + kDigestB + "0\n", false},
        {"NonHexDigit", kDigestA + "\n" + std::string(63, 'a') + "g\n", false},
        {"DigestWithTheFileName", kDigestA + "\n" + kDigestB + "  -\n", false},
        {"AtTheBoundOfTheAnswer", kDigestA + "\n-\n" + std::string(2 * 66 - 67, '\n'), true},
        {"PastTheBoundOfTheAnswer", kDigestA + "\n-\n" + std::string(2 * 66 - 67 + 1, '\n'), false},
    }),
    [](const testing::TestParamInfo<DigestAnswerRow>& info) { return std::string(info.param.name); });

TEST_F(UnixChannelLocal, DigestRequestsAreBatchedUpToTheirBound) {
  zqtest::WriteFile(guest.Join("a"), "abc");
  std::vector<std::string> files(IGuestReplaceChoices::kMaxHashBatch, guest.Join("a"));
  std::vector<std::string> digests;
  ASSERT_EQ(channel.HashGuestFiles(ctx, files, digests), 1);
  ASSERT_EQ(digests.size(), files.size());
  EXPECT_EQ(digests.back(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // One file more is refused before the guest is asked, even by a guest that would answer.
  files.push_back(guest.Join("a"));
  std::string answer;
  for (size_t i = 0; i < files.size(); ++i) answer += kDigestA + "\n";
  zqtest::WriteFile(tools.path() + "/zqvsa_agentless.sh", "printf '%s' " + ShellQuote::SingleQuoted(answer) + "\n");
  EXPECT_EQ(channel.HashGuestFiles(ctx, files, digests), 0);
  EXPECT_TRUE(digests.empty());
}

TEST_F(UnixChannelLocal, PasswordIsInTheEnvironmentOnlyWhileACommandRuns) {
  TempDir logDir;
  ScopedEnv log("ZQ_FAKE_LOG", logDir.Join("log"));
  EXPECT_EQ(channel.CreateGuestFolder(ctx, guest.Join("x")), 1);
  EXPECT_EQ(zqtest::ReadIfPresent(logDir.Join("log")), "start root S3cr3t!\nend root S3cr3t!\n");
  EXPECT_EQ(std::getenv("ZQ_PUTTY_PASS"), nullptr);
}

TEST_F(UnixChannelLocal, FailedCommandLeavesTheMaskedCommandAsLastError) {
  std::string path = guest.Join("S3cr3t!-file");
  zqtest::WriteFile(path, "x");
  std::string copy = path;
  EXPECT_EQ(channel.DeleteDirectoryInGuest(ctx, copy), 0);
  std::string details = channel.GetLastGuestApiErrorDetails();
  EXPECT_EQ(details.rfind("Cmd ", 0), 0u) << details;
  EXPECT_NE(details.find("*****-file"), std::string::npos) << details;
  EXPECT_EQ(details.substr(details.size() - 7), "failed!");
  EXPECT_EQ(std::getenv("ZQ_PUTTY_PASS"), nullptr);
}

// Two channels with two passwords on two threads: the command lock keeps their commands apart and
// each command sees the password of its own channel.
TEST(UnixChannelLock, CommandsNeverOverlapAndEachSeesItsOwnPassword) {
  FakeToolsFolder tools;
  ScopedSettings settings;
  settings.Set("Base", "dBASEHOME", tools.path());
  TempDir scratch;
  ScopedEnv log("ZQ_FAKE_LOG", scratch.Join("log"));
  ScopedEnv delay("ZQ_FAKE_DELAY", "0.02");
  zqtest::StubVMInfo vmInfo{VSInstanceNoNativeGuestOps};
  ZQUnixGuestAPI alice{&vmInfo};
  ZQUnixGuestAPI bob{&vmInfo};
  ASSERT_TRUE(alice.Init(zqtest::MakeLogin("alice", "alice-pw", "127.0.0.1")));
  ASSERT_TRUE(bob.Init(zqtest::MakeLogin("bob", "bob-pw", "127.0.0.1")));
  auto work = [&scratch](ZQUnixGuestAPI& channel, const std::string& name) {
    for (int i = 0; i < 8; ++i) channel.CreateGuestFolder(GuestCtx(), scratch.Join(name + std::to_string(i)));
  };
  std::thread first(work, std::ref(alice), "a");
  std::thread second(work, std::ref(bob), "b");
  first.join();
  second.join();

  std::istringstream lines(zqtest::ReadIfPresent(scratch.Join("log")));
  std::vector<std::string> events;
  for (std::string line; std::getline(lines, line);) events.push_back(line);
  ASSERT_EQ(events.size(), 2u * (2 + 8 + 8));  // two probes and sixteen commands, start and end each
  for (size_t i = 0; i < events.size(); i += 2) {
    std::string user = events[i].substr(6, events[i].find(' ', 6) - 6);
    EXPECT_EQ(events[i], "start " + user + " " + user + "-pw") << i;
    EXPECT_EQ(events[i + 1], "end " + user + " " + user + "-pw") << i;
  }
  EXPECT_EQ(std::getenv("ZQ_PUTTY_PASS"), nullptr);
}

}  // namespace
