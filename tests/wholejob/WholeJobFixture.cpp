#include "WholeJobFixture.h"

#include <sys/stat.h>

#include <ostream>

#include "testbeds/sshd/SshdFixture.h"

namespace wholejob {

GuestEntry StatGuestEntry(const std::string& path) {
  GuestEntry entry;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return entry;
  entry.exists = true;
  if (S_ISREG(info.st_mode)) entry.content = zqtest::ReadFile(path);
  entry.mtime = info.st_mtime;
  entry.atime = info.st_atime;
  entry.uid = info.st_uid;
  entry.gid = info.st_gid;
  entry.mode = static_cast<int>(info.st_mode & 07777);
  return entry;
}

void PrintTo(const Cause& cause, std::ostream* out) {
  *out << "code 0x" << std::hex << cause.code << std::dec << " arguments [";
  for (size_t i = 0; i < cause.arguments.size(); ++i) *out << (i == 0 ? "" : " | ") << cause.arguments[i];
  *out << "]";
}

std::vector<Cause> CausesOf(const JobRecord& job) {
  std::vector<Cause> causes;
  for (const PendingCause& cause : job.pendingCauses) causes.push_back({cause.code, cause.arguments});
  return causes;
}

Needles WholeJobTest::Secrets() {
  return {kServerPassword,
          kStoredServerPassword,
          kWrongServerPassword,
          kNativeGuestPassword,
          kWrongGuestPassword,
          zqtest::SshTestUsers::RootPassword(),
          "Zq-root",
          zqtest::SshTestUsers::Password(),
          "Zq-test"};
}

JobRecord WholeJobTest::Run(const JobRequest& request, const std::vector<StagedEntry>& tree) {
  m_site.Publish();
  JobRecord job = RunWholeJob(request, tree);
  ++m_jobsRun;
  m_allCauses.insert(m_allCauses.end(), job.pendingCauses.begin(), job.pendingCauses.end());
  return job;
}

bool WholeJobTest::LoggedError(const std::string& origin, const std::string& text) {
  for (const LogRecord& record : m_logs.sink().Records()) {
    if (record.level == LogLevel::Error && record.origin == origin && record.text == text) return true;
  }
  return false;
}

int WholeJobTest::LinesHolding(const std::string& fragment) {
  int lines = 0;
  for (const LogRecord& record : m_logs.sink().Records()) {
    if (record.text.find(fragment) != std::string::npos) ++lines;
  }
  return lines;
}

void WholeJobTest::TearDown() {
  const Needles secrets = Secrets();
  for (const LogRecord& record : m_logs.sink().Records()) {
    EXPECT_EQ(FindNeedle(record.origin + " " + record.text, secrets), "") << "log line: " << record.text;
  }
  for (const PendingCause& cause : m_allCauses) {
    for (const std::string& argument : cause.arguments) {
      EXPECT_EQ(FindNeedle(argument, secrets), "")
          << "argument of pending cause 0x" << std::hex << cause.code << std::dec << ": " << argument;
    }
  }
  if (m_jobsRun > 0) {
    // The log file got the same lines; it must exist, or this check could not fail.
    const std::string logText = zqtest::ReadFile(m_site.logFile());
    EXPECT_NE(logText.find("CreateVSAgentlessRestoreToVMObject"), std::string::npos)
        << "no job lines in " << m_site.logFile();
    EXPECT_EQ(FindNeedle(logText, secrets), "") << "in " << m_site.logFile();
  }
  for (const std::string& folder : {m_site.workFolder(), m_site.installation().folder()}) {
    EXPECT_EQ(FilesHolding(folder, secrets), std::vector<std::string>{}) << "files below " << folder;
  }
}

}  // namespace wholejob
