#include "RestoreHarness.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "toolscontract/ShellQuote.h"
#include "platform/CNyPath.h"
#include "testbeds/sshd/SshdFixture.h"
#include "testbeds/winguest/RealPowerShell.h"

namespace e2e {

namespace {

// With the stand-in's engine pwsh chosen (ZQ_TEST_WINGUEST_ENGINE=pwsh), every test needs pwsh:
// without it the program ends at once with the reason and status 77, which CTest counts as
// skipped (SKIP_RETURN_CODE); under CI=true that is a failure instead.
class PwshEngineCheck : public testing::Environment {
 public:
  void SetUp() override {
    const char* engine = std::getenv("ZQ_TEST_WINGUEST_ENGINE");
    const std::string why = engine && std::string(engine) == "pwsh" ? winguest::PwshMissingReason() : "";
    if (why.empty()) return;
    if (winguest::PwshRequired()) FAIL() << why;
    std::fprintf(stderr, "skipped: %s\n", why.c_str());
    std::exit(kSkipStatus);
  }
  static constexpr int kSkipStatus = 77;
};
[[maybe_unused]] testing::Environment* const kPwshEngineCheck = testing::AddGlobalTestEnvironment(new PwshEngineCheck);

std::string Quoted(const std::string& word) { return ShellQuote::Word(word); }

void WriteJson(const std::string& path, const nlohmann::json& document) {
  zqtest::WriteFile(path, document.dump(2) + "\n");
}

void FindStagingFolders(const std::string& folder, std::vector<std::string>& found) {
  ZQDirectory reader;
  if (reader.open(folder) != 0) return;
  while (const char* name = reader.read()) {
    const std::string entry = name;
    if (entry == "." || entry == "..") continue;
    const std::string path = folder + "/" + entry;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    // A staging folder, or the folder a run keeps it in.
    if (entry == "ForGuestVM" || entry.rfind("run-", 0) == 0) found.push_back(path);
    FindStagingFolders(path, found);
  }
}

}  // namespace

RestoreHarness::RestoreHarness(int instanceType) : m_instanceType(instanceType) {
  m_settings["Base"]["dBASEHOME"] = ZQ_TOOLS_DIR;
  m_settings["VirtualServer"]["InventoryFile"] = m_dir.Join("inventory.json");
  m_settings["VirtualServer"]["AppConfigFile"] = m_dir.Join("apps.json");
  m_settings["JobResults"]["Directory"] = JobResultsFolder();
  m_settings["Log"]["Directory"] = m_dir.Join("log");
  m_settings["Log"]["DebugLevel"] = "2";
  m_settings["SSH"]["KnownHostsFile"] = m_dir.Join("known_hosts");
  m_settings["SSH"]["ConfigFile"] = m_dir.Join("ssh_config");
  m_settings["SSH"]["ControlDir"] = m_dir.Join("ctl");
  m_settings["SSH"]["ConnectTimeout"] = "5";
  // The suites run once with the guest session (the default) and once with plain commands,
  if (const char* idle = std::getenv("ZQ_TEST_GUEST_SESSION_IDLE")) m_settings["SSH"]["GuestSessionIdle"] = idle;
  // and, with the session, once more with the bash loop in the guest instead of the Perl one.
  if (const char* perl = std::getenv("ZQ_TEST_GUEST_SESSION_PERL")) m_settings["SSH"]["GuestSessionPerl"] = perl;
  m_server = &m_inventory.AddServer(kServer).InstanceType(instanceType).Credential(kServerUser, kServerPassword);
  WriteJson(m_dir.Join("apps.json"),
            {{"applications", {{{"id", kAppId}, {"instance", 1}}}},
             {"instances", {{{"id", 1}, {"type", instanceType}, {"credentials", nlohmann::json::array()}}}}});
  zqtest::WriteFile(m_dir.Join("ssh_config"), "");
}

void RestoreHarness::AddSshHost(const std::string& address, int port) {
  m_sshConfig += "Host " + address + "\n  Port " + std::to_string(port) + "\n";
  zqtest::WriteFile(m_dir.Join("ssh_config"), m_sshConfig);
}

void RestoreHarness::AddSshGuest(const std::string& vmName, const std::string& guid,
                                 const zqtest::SshdServer& server) {
  m_server->AddVm(vmName).Guid(guid).IpAddresses({server.address()});
  AddSshHost(server.address(), server.port());
}

void RestoreHarness::SetEnvironment(const std::string& name, const std::string& value) {
  m_environment[name] = value;
}

void RestoreHarness::UseWindowsGuest(const std::string& configPath, WindowsTools tools) {
  SetEnvironment("ZQ_WINGUEST_CONFIG", configPath);
  const char* engine = std::getenv("ZQ_TEST_WINGUEST_ENGINE");
  if (engine && *engine) {
    nlohmann::json config = nlohmann::json::parse(zqtest::ReadFile(configPath));
    if (!config.contains("engine")) config["engine"] = engine;
    WriteJson(configPath, config);
  }
  if (tools == WindowsTools::FromEnvironment) {
    const char* chosen = std::getenv("ZQ_TEST_WINGUEST_TOOLS");
    const std::string name = chosen ? chosen : "";
    tools = name == "plain" ? WindowsTools::RealPlain
                            : (name == "session" ? WindowsTools::RealSession : WindowsTools::StandIn);
  }
  if (tools == WindowsTools::StandIn) {
    Set("Base", "dBASEHOME", ZQ_WINGUEST_BASE);
    return;
  }
  // The real tools (the default base folder) run the stand-in as ssh and sftp. They give their
  // clients an allow-listed environment, so a wrapper names the stand-in's configuration.
  Set("Base", "dBASEHOME", ZQ_TOOLS_DIR);
  Set("SSH", "GuestSessionIdle", tools == WindowsTools::RealSession ? "15" : "0");
  std::filesystem::create_directories(m_dir.Join("openssh"));
  for (const std::string name : {"ssh", "sftp"}) {
    const std::string wrapper = m_dir.Join("openssh/" + name);
    zqtest::WriteFile(wrapper, "#!/bin/bash\nset -euo pipefail\nexport ZQ_WINGUEST_CONFIG=" +
                                   ShellQuote::SingleQuoted(configPath) + "\nexec -a " + name + " " +
                                   ShellQuote::SingleQuoted(ZQ_WINGUEST_OPENSSH) + " \"$@\"\n");
    ::chmod(wrapper.c_str(), 0755);
    Set("SSH", name == "ssh" ? "SshProgram" : "SftpProgram", wrapper);
  }
}

void RestoreHarness::Set(const std::string& section, const std::string& key, const std::string& value) {
  m_settings[section][key] = value;
}

nlohmann::json RestoreHarness::Job(const std::string& vmName, const std::string& guid, const std::string& destination,
                                   const std::string& guestUser, const std::string& guestPassword,
                                   const nlohmann::json& extra) const {
  // The passwords travel in files, as an operator would keep them.
  zqtest::WriteFile(m_dir.Join("server.pw"), std::string(kServerPassword) + "\n");
  zqtest::WriteFile(m_dir.Join("guest.pw"), guestPassword + "\n");
  chmod(m_dir.Join("server.pw").c_str(), 0600);
  chmod(m_dir.Join("guest.pw").c_str(), 0600);
  nlohmann::json job = {
      {"vm", {{"name", vmName}, {"guid", guid}, {"server", kServer}}},
      {"serverCredentials", {{"userName", kServerUser}, {"passwordFile", "server.pw"}}},
      {"guestCredentials", {{"userName", guestUser}, {"passwordFile", "guest.pw"}}},
      {"destination", destination},
      {"restoreACLs", true},
      {"jobIds", {{"jobId", 501}, {"initIdA", 1}, {"initAppId", kAppId}, {"initIdB", 2}, {"initIdC", 3}}},
  };
  job.merge_patch(extra);
  return job;
}

void RestoreHarness::WriteFiles(const nlohmann::json& job) {
  std::ostringstream settings;
  for (const auto& [section, keys] : m_settings) {
    settings << "[" << section << "]\n";
    for (const auto& [key, value] : keys) settings << key << " = " << value << "\n";
  }
  zqtest::WriteFile(SettingsFile(), settings.str());
  m_inventory.WriteTo(m_dir.Join("inventory.json"));
  WriteJson(m_dir.Join("job.json"), job);
}

RunResult RestoreHarness::Program(const nlohmann::json& job, const std::vector<std::string>& commandLine, int seconds) {
  WriteFiles(job);
  return RunProgram(commandLine, seconds);
}

RunResult RestoreHarness::RunZqrestore(const std::vector<std::string>& arguments, int seconds, bool passSettings) {
  std::vector<std::string> commandLine = {ZQ_ZQRESTORE};
  if (passSettings) commandLine.insert(commandLine.end(), {"--settings", SettingsFile()});
  commandLine.insert(commandLine.end(), arguments.begin(), arguments.end());
  return RunProgram(commandLine, seconds);
}

RunResult RestoreHarness::RunProgram(const std::vector<std::string>& commandLine, int seconds) {
  std::string command = "cd " + Quoted(m_dir.path()) + " && LD_LIBRARY_PATH=" + Quoted(ZQ_VMINFO_DIR) +
                        " ZQ_PLUGIN=" + Quoted(ZQ_PLUGIN_PATH);
  for (const auto& [name, value] : m_environment) command += " " + name + "=" + Quoted(value);
  command += " exec";
  for (const std::string& word : commandLine) command += " " + Quoted(word);
  RunResult result;
  const auto started = std::chrono::steady_clock::now();
  result.status = zqtest::RunBounded(command, seconds, result.output);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

RunResult RestoreHarness::Restore(const nlohmann::json& job, const std::string& source, int seconds,
                                  const std::vector<std::string>& options) {
  WriteFiles(job);
  const std::string summaryFile = m_dir.Join("summary-" + std::to_string(++m_run) + ".json");
  std::vector<std::string> arguments = {"restore", "--job", m_dir.Join("job.json"), "--progress", "never",
                                        "--summary-json", summaryFile};
  arguments.insert(arguments.end(), options.begin(), options.end());
  arguments.push_back(source);
  RunResult result = RunZqrestore(arguments, seconds);
  std::ifstream summary(summaryFile);
  if (summary) result.summary = nlohmann::json::parse(summary, nullptr, false);
  return result;
}

RunResult RestoreHarness::Guest(const nlohmann::json& job, const std::vector<std::string>& verb, int seconds) {
  WriteFiles(job);
  std::vector<std::string> arguments = {"guest", "--job", m_dir.Join("job.json")};
  arguments.insert(arguments.end(), verb.begin(), verb.end());
  return RunZqrestore(arguments, seconds);
}

RunResult RestoreHarness::Command(const nlohmann::json& job, std::vector<std::string> arguments, bool passSettings,
                                  int seconds) {
  WriteFiles(job);
  for (std::string& argument : arguments) {
    if (argument == "{job}") argument = m_dir.Join("job.json");
  }
  return RunZqrestore(arguments, seconds, passSettings);
}

std::vector<std::string> RestoreHarness::LeftoverStagingFolders() const {
  std::vector<std::string> found;
  FindStagingFolders(JobResultsFolder(), found);
  return found;
}

std::vector<SampleFile> SampleFiles() {
  std::string binary;
  for (int i = 0; i < 70000; ++i) binary.push_back(static_cast<char>((i * 7919) % 251));
  return {
      {"a.txt", "alpha\n", 0644, 1600000000},
      {"empty.dat", "", 0640, 1600000100},
      {"bin/run.sh", "#!/bin/sh\necho run\n", 0755, 1500000000},
      {"docs/readme.md", "# read me\n", 0600, 1400000000},
      {"docs/deep/x/y/z.bin", binary, 0604, 1300000000},
  };
}

std::vector<std::string> SampleFolders() { return {"bin", "docs", "docs/deep", "docs/deep/x", "docs/deep/x/y", "emptydir"}; }

void WriteSampleTree(const std::string& root) {
  for (const std::string& folder : SampleFolders()) {
    ASSERT_FALSE(CNyDirectory::Create((root + "/" + folder).c_str(), true).IsError()) << folder;
  }
  for (const SampleFile& file : SampleFiles()) {
    const std::string path = root + "/" + file.path;
    zqtest::WriteFile(path, file.content);
    ASSERT_EQ(chmod(path.c_str(), file.mode), 0) << path;
    zqtest::SetFileModifyTime(path, file.mtime);
  }
}

std::vector<std::string> RestorableHostileNames() {
  return {"sp ace",     "quote'single", "dq\"uote",       "$(touch pwned)", "`touch pwned`",
          "semi;colon&amp", "-n",        "star*?[x]",      "new\nline",     "tab\there",
          "\xc3\xbc" "bergr\xc3\xb6\xc3\x9f" "e", "a:b", "..dots", "trailing space ", std::string(200, 'L')};
}

void WriteHostileTree(const std::string& root) {
  for (const std::string& name : RestorableHostileNames()) zqtest::WriteFile(root + "/" + name, "content of " + name);
  ASSERT_EQ(mkdir((root + "/" + kHostileFolder).c_str(), 0755), 0);
  zqtest::WriteFile(root + "/" + kHostileInner, "inner");
  zqtest::WriteFile(root + "/back\\slash", "b");
  zqtest::WriteFile(root + "/xZqColonZqy", "c");
}

void ExpectNoSecrets(const RestoreHarness& harness, const RunResult& result, const std::vector<std::string>& secrets) {
  const std::string log = zqtest::ReadFile(harness.LogFile());
  for (const std::string& secret : secrets) {
    EXPECT_EQ(result.output.find(secret), std::string::npos) << result.output;
    EXPECT_EQ(result.summary.dump().find(secret), std::string::npos);
    EXPECT_EQ(log.find(secret), std::string::npos);
  }
}

}  // namespace e2e
