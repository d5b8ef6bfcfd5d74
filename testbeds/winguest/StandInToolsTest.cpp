// The two stand-in tools as the channel meets them: through the proxy's shell, with the login
// checked and every run recorded.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "platform/ZqProcess.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class StandInTools : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_dir.Join("root/C/Users/alice"));
    fs::create_directories(m_dir.Join("root/C/Restore"));
    nlohmann::json config = {{"root", m_dir.Join("root")},
                             {"user", "alice"},
                             {"password", "s3cret"},
                             {"addresses", {"192.0.2.10"}},
                             {"journal", m_dir.Join("journal.jsonl")}};
    zqtest::WriteFile(m_dir.Join("config.json"), config.dump());
  }

  int Run(const std::string& command, std::string& out, std::string& err) {
    return ZqProcess::system(command, &out, &err, 0, true);
  }

  std::vector<nlohmann::json> Journal() {
    std::vector<nlohmann::json> records;
    std::ifstream in(m_dir.Join("journal.jsonl"));
    std::string line;
    while (std::getline(in, line)) records.push_back(nlohmann::json::parse(line));
    return records;
  }

  const std::string m_plink = std::string(WINGUEST_BASE) + "/zqplink.exe";
  const std::string m_pscp = std::string(WINGUEST_BASE) + "/zqpscp.exe";
  zqtest::TempDir m_dir;
  zqtest::ScopedEnv m_config{"ZQ_WINGUEST_CONFIG", m_dir.Join("config.json")};
  zqtest::ScopedEnv m_password{"ZQ_PUTTY_PASS", "s3cret"};
};

TEST_F(StandInTools, AnswersTheProbeAsWindows) {
  std::string out, err;
  ASSERT_EQ(Run(m_plink + " 192.0.2.10 -l alice cmd /c \"echo . | powershell systeminfo\"", out, err), 0) << err;
  EXPECT_NE(out.find("OS Name:                   Microsoft Windows Server 2019 Datacenter\r\n"), std::string::npos);
  const auto records = Journal();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["remoteCommand"], "cmd /c echo . | powershell systeminfo");
  EXPECT_EQ(records[0]["powershell"][0], "systeminfo");
}

TEST_F(StandInTools, RefusesAWrongPassword) {
  zqtest::ScopedEnv wrong("ZQ_PUTTY_PASS", "guess");
  std::string out, err;
  EXPECT_NE(Run(m_plink + " 192.0.2.10 -l alice cmd /c \"echo . | powershell systeminfo\"", out, err), 0);
  EXPECT_NE(err.find("Access denied"), std::string::npos);
  EXPECT_FALSE(Journal()[0].contains("powershell"));
}

TEST_F(StandInTools, RefusesAnotherUser) {
  std::string out, err;
  EXPECT_NE(Run(m_plink + " 192.0.2.10 -l bob cmd /c \"echo . | powershell systeminfo\"", out, err), 0);
  EXPECT_NE(err.find("Access denied"), std::string::npos);
}

TEST_F(StandInTools, DoesNotAnswerAtOtherAddresses) {
  std::string out, err;
  EXPECT_NE(Run(m_plink + " 192.0.2.99 -l alice cmd /c \"echo . | powershell systeminfo\"", out, err), 0);
  EXPECT_NE(err.find("Network error"), std::string::npos);
}

TEST_F(StandInTools, ReturnsTheGuestsFailure) {
  std::string out, err;
  EXPECT_NE(Run(m_plink + " 192.0.2.10 -l alice cmd /c \"echo . | powershell Get-Item 'C:\\Nope'\"", out, err), 0);
  EXPECT_NE(err.find("Cannot find path 'C:\\Nope' because it does not exist."), std::string::npos);
}

TEST_F(StandInTools, CopiesAFileToAWindowsPath) {
  zqtest::WriteFile(m_dir.Join("local.txt"), "payload");
  std::string out, err;
  ASSERT_EQ(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' 192.0.2.10:'C:\\restore\\a b.txt'", out, err), 0)
      << err;
  EXPECT_EQ(zqtest::ReadFile(m_dir.Join("root/C/Restore/a b.txt")), "payload");
  ASSERT_EQ(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' alice@192.0.2.10:C:/Restore", out, err), 0)
      << err;
  EXPECT_EQ(zqtest::ReadFile(m_dir.Join("root/C/Restore/local.txt")), "payload");
}

TEST_F(StandInTools, CopyNeedsTheTargetFolder) {
  zqtest::WriteFile(m_dir.Join("local.txt"), "payload");
  std::string out, err;
  EXPECT_NE(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' 192.0.2.10:'C:\\Missing\\a.txt'", out, err), 0);
  EXPECT_FALSE(fs::exists(m_dir.Join("root/C/Missing")));
}

TEST_F(StandInTools, CopyChecksTheLogin) {
  zqtest::WriteFile(m_dir.Join("local.txt"), "payload");
  zqtest::ScopedEnv wrong("ZQ_PUTTY_PASS", "guess");
  std::string out, err;
  EXPECT_NE(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' 192.0.2.10:'C:\\Restore\\a.txt'", out, err), 0);
  EXPECT_FALSE(fs::exists(m_dir.Join("root/C/Restore/a.txt")));
}

// The copy as the real tool makes it through the guest's SFTP server: a temporary file beside the
// target, renamed over it when complete.
TEST_F(StandInTools, CopyReplacesTheTargetCompleteOrNotAtAll) {
  zqtest::WriteFile(m_dir.Join("root/C/Restore/a.txt"), "old");
  zqtest::WriteFile(m_dir.Join("local.txt"), std::string(4096, 'n'));
  nlohmann::json config = nlohmann::json::parse(zqtest::ReadFile(m_dir.Join("config.json")));
  config["freeBytes"] = 1000;
  zqtest::WriteFile(m_dir.Join("config.json"), config.dump());
  const std::string copy = m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' 192.0.2.10:'C:\\Restore\\a.txt'";
  std::string out, err;
  EXPECT_NE(Run(copy, out, err), 0);
  EXPECT_NE(err.find("There is not enough space on the disk."), std::string::npos) << err;
  EXPECT_EQ(zqtest::ReadFile(m_dir.Join("root/C/Restore/a.txt")), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.Join("root/C/Restore")), fs::directory_iterator()), 1);

  config["freeBytes"] = 5000;
  zqtest::WriteFile(m_dir.Join("config.json"), config.dump());
  fs::create_symlink("../Users/alice/secret.txt", m_dir.Join("root/C/Restore/link.txt"));
  zqtest::WriteFile(m_dir.Join("root/C/Users/alice/secret.txt"), "secret");
  ASSERT_EQ(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' 192.0.2.10:'C:\\Restore\\link.txt'", out, err), 0)
      << err;
  EXPECT_FALSE(fs::is_symlink(m_dir.Join("root/C/Restore/link.txt")));  // the link is replaced
  EXPECT_EQ(zqtest::ReadFile(m_dir.Join("root/C/Users/alice/secret.txt")), "secret");
}

TEST_F(StandInTools, CopyTakesAnIPv6AddressInBrackets) {
  nlohmann::json config = nlohmann::json::parse(zqtest::ReadFile(m_dir.Join("config.json")));
  config["addresses"] = {"fe80::1"};
  zqtest::WriteFile(m_dir.Join("config.json"), config.dump());
  zqtest::WriteFile(m_dir.Join("local.txt"), "payload");
  std::string out, err;
  ASSERT_EQ(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' '[fe80::1]':'C:\\Restore\\a.txt'", out, err), 0)
      << err;
  EXPECT_EQ(zqtest::ReadFile(m_dir.Join("root/C/Restore/a.txt")), "payload");
  EXPECT_NE(Run(m_pscp + " -l alice '" + m_dir.Join("local.txt") + "' fe80::1:'C:\\Restore\\b.txt'", out, err), 0);
  EXPECT_FALSE(fs::exists(m_dir.Join("root/C/Restore/b.txt")));
}

}  // namespace
