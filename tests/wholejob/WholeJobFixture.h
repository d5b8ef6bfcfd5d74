// Base of every whole-job test: a JobSite, log capture that also feeds the log file, and a job
// runner that keeps every pending cause. Whatever a test checks, its TearDown also proves that no
// password reached a log line (in memory or in the log file), a pending cause, or a file the job
// wrote (work folder, installation folder).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "HostJob.h"
#include "JobSite.h"
#include "SecretScan.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"

namespace wholejob {

using namespace VSAgentlessRestoreToVMOrigins;

constexpr int kMsgSentence = 0x4800006A;
constexpr int kMsgVMNotFound = 0x5B0000C0;
constexpr int kMsgConnectFailedWithReason = 0x5B00008B;

// What stat says about an entry in a guest's file system.
struct GuestEntry {
  bool exists = false;
  std::string content;
  int64_t mtime = 0;
  int64_t atime = 0;
  int64_t uid = -1;
  int64_t gid = -1;
  int mode = 0;  // permission bits
};
GuestEntry StatGuestEntry(const std::string& path);

// A pending cause as the tests compare it.
struct Cause {
  int code;
  std::vector<std::string> arguments;
  bool operator==(const Cause& other) const { return code == other.code && arguments == other.arguments; }
};
void PrintTo(const Cause& cause, std::ostream* out);
std::vector<Cause> CausesOf(const JobRecord& job);

class WholeJobTest : public testing::Test {
 protected:
  void TearDown() override;

  // Publishes the site's configuration and runs one whole job.
  JobRecord Run(const JobRequest& request, const std::vector<StagedEntry>& tree = {});
  // Whether a line with exactly this origin and text was logged at error level.
  bool LoggedError(const std::string& origin, const std::string& text);
  // How many log lines (any level) hold `fragment`.
  int LinesHolding(const std::string& fragment);

  // Every password of the tests, with distinctive pieces of those that hold quote characters.
  static Needles Secrets();

  JobSite m_site;
  TeeLogCapture m_logs;
  std::vector<PendingCause> m_allCauses;
  int m_jobsRun = 0;
};

}  // namespace wholejob
