#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "platform/ZqProcess.h"
#include "support/ScriptedRunner.h"

namespace {

TEST(CommandRunner, CapturesMegabytesOnBothStreamsWithoutDeadlock) {
  std::string out, err;
  // Each stream gets 4 MiB, far more than a pipe buffer holds, written alternately.
  const int rc = ZqProcess::system(
      "for i in 1 2 3 4; do head -c 1048576 /dev/zero | tr '\\0' o; head -c 1048576 /dev/zero | tr '\\0' e >&2; done",
      &out, &err, 0, true);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out.size(), 4u * 1048576u);
  EXPECT_EQ(err.size(), 4u * 1048576u);
  EXPECT_EQ(out.find_first_not_of('o'), std::string::npos);
  EXPECT_EQ(err.find_first_not_of('e'), std::string::npos);
}

TEST(CommandRunner, ReturnsZeroOnlyForExitStatusZero) {
  struct Row {
    const char* command;
    bool succeeds;
  } rows[] = {{"true", true}, {"false", false}, {"exit 3", false}, {"exit 0", true}, {"no-such-command-xyz", false}};
  for (const Row& row : rows) {
    std::string out, err;
    const int rc = ZqProcess::system(row.command, &out, &err, 0, true);
    EXPECT_EQ(rc == 0, row.succeeds) << row.command;
  }
}

TEST(CommandRunner, ChildKilledBySignalIsAFailureWithText) {
  std::string out, err;
  const int rc = ZqProcess::system("kill -TERM $$", &out, &err, 0, true);
  EXPECT_NE(rc, 0);
  EXPECT_NE(err.find("signal 15"), std::string::npos) << err;
}

TEST(CommandRunner, ChildRunsInItsOwnProcessGroupSoCtrlCReachesOnlyTheHost) {
  std::string out, err;
  // Field 5 of /proc/PID/stat is the process group; $$ is the child's shell.
  ASSERT_EQ(ZqProcess::system("cut -d' ' -f5 /proc/$$/stat", &out, &err, 0, true), 0) << err;
  EXPECT_NE(std::stol(out), static_cast<long>(getpgrp()));
}

TEST(CommandRunner, StandardInputIsEmpty) {
  std::string out, err;
  ASSERT_EQ(ZqProcess::system("wc -c", &out, &err, 0, true), 0);
  EXPECT_EQ(out, "0\n");
}

TEST(CommandRunner, InterpretsQuotesAndRedirectionLikeAShell) {
  std::string out, err;
  ASSERT_EQ(ZqProcess::system("printf '%s|' \"a b\" 'c d' < /dev/null", &out, &err, 0, true), 0);
  EXPECT_EQ(out, "a b|c d|");
}

TEST(CommandRunner, HostDescriptorsDoNotLeakIntoTheChild) {
  // A descriptor opened without close-on-exec, as a careless host might hold one.
  const int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  std::string out, err;
  const std::string probe = "if [ -e /proc/$$/fd/" + std::to_string(fd) + " ]; then echo leaked; else echo closed; fi";
  ASSERT_EQ(ZqProcess::system(probe, &out, &err, 0, true), 0);
  close(fd);
  EXPECT_EQ(out, "closed\n");
}

TEST(CommandRunner, OutputStringsAreReplacedNotAppended) {
  std::string out = "stale", err = "stale";
  ASSERT_EQ(ZqProcess::system("echo fresh", &out, &err, 0, true), 0);
  EXPECT_EQ(out, "fresh\n");
  EXPECT_EQ(err, "");
}

// Whether process `pid` is gone (or a zombie about to be reaped by init).
bool ProcessEnded(const std::string& pid) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (text.empty() || text.find(") Z ") != std::string::npos) return true;
    usleep(20000);
  }
  return false;
}

TEST(CommandRunner, EndsACommandAtItsLimitWithItsWholeProcessGroup) {
  struct Row {
    const char* name;
    const char* command;
    CommandLimits limits;
    bool endedAtLimit;
    const char* errorText;
  } rows[] = {
      {"a hung command past its time limit", "sleep 30 & echo $!; wait", {1, 0}, true, "time limit of 1 s"},
      {"a silent, idle command past its inactivity limit", "sleep 30 & echo $!; wait", {0, 1}, true,
       "no output and no progress for 1 s"},
      {"output keeps a slow command alive", "for i in 1 2 3 4; do echo $i; sleep 0.5; done", {0, 1}, false, ""},
      {"reading and writing keep a silent command alive",
       "for i in 1 2 3 4; do head -c 100000 /dev/zero >/dev/null; sleep 0.5; done", {0, 1}, false, ""},
      {"a quick command under its limits", "echo done", {5, 5}, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string out, err;
    const auto start = std::chrono::steady_clock::now();
    const int rc = ZqProcess::system(row.command, &out, &err, row.limits);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (row.endedAtLimit) {
      EXPECT_EQ(rc, kCommandLimitStatus);
      EXPECT_LT(seconds, 10.0);
      EXPECT_NE(err.find(row.errorText), std::string::npos) << err;
      // The background sleep the shell started went with it.
      std::string grandchild = out.substr(0, out.find('\n'));
      ASSERT_FALSE(grandchild.empty());
      EXPECT_TRUE(ProcessEnded(grandchild)) << grandchild;
    } else {
      EXPECT_EQ(rc, 0) << err;
    }
  }
}

// A host killed while its command runs (zqrestore killed during a copy) takes the command's shell
// along, and with it the tools, which end with their parent.
TEST(CommandRunner, CommandEndsWithAKilledHost) {
  char path[] = "/tmp/zqcommand-XXXXXX";
  ASSERT_EQ(close(mkstemp(path)), 0);
  const pid_t host = fork();
  if (host == 0) {
    std::string out, err;
    _exit(ZqProcess::system(std::string("sleep 30 & echo $$ $! >") + path + "; wait", &out, &err, 0, true));
  }
  std::string pids;
  for (int polls = 0; polls < 1000 && pids.find('\n') == std::string::npos; ++polls, usleep(10000)) {
    std::ifstream file(path);
    pids.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);
  unlink(path);
  EXPECT_TRUE(ProcessEnded(pids.substr(0, pids.find(' ')))) << pids;
  kill(std::atoi(pids.substr(pids.find(' ') + 1).c_str()), SIGKILL);
}

TEST(CommandRunner, TestDoubleReplacesTheRealRunner) {
  auto fake = std::make_shared<zqtest::ScriptedRunner>();
  fake->Queue({7, "canned"});
  std::string out;
  {
    zqtest::ScopedRunner installed{fake};
    EXPECT_EQ(ZqProcess::system("anything", &out, nullptr, 0, true), 7);
  }
  EXPECT_EQ(fake->Commands(), std::vector<std::string>{"anything"});
  EXPECT_EQ(out, "canned");
}

}  // namespace
