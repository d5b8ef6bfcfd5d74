// Runs the zqrestore program the way an operator does, against a throw-away installation: a
// settings file, the embedded hypervisor's inventory, the application configuration, a job file, a
// job-results folder and a log folder, all in one temporary folder.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/InventoryBuilder.h"
#include "support/TestSupport.h"

namespace zqtest {
class SshdServer;
}

namespace e2e {

// What one run of zqrestore left: its exit status, everything it printed, its JSON summary.
struct RunResult {
  int status = -1;
  std::string output;    // standard output and standard error together
  nlohmann::json summary;  // --summary-json, null when it wrote none
  double seconds = 0;
};

class RestoreHarness {
 public:
  static constexpr const char* kServer = "vc-e2e";
  static constexpr const char* kServerUser = "admin";
  static constexpr const char* kServerPassword = "e2e-server-secret";
  static constexpr int kAppId = 10;

  // `instanceType`: the type of the job's instance in the application configuration.
  explicit RestoreHarness(int instanceType);

  // Sends SSH connections for `address` to `port` (the installation's OpenSSH configuration).
  void AddSshHost(const std::string& address, int port);
  // A VM of the inventory whose guest is `server`, reached over SSH.
  void AddSshGuest(const std::string& vmName, const std::string& guid, const zqtest::SshdServer& server);

  // Which tools reach the Windows guest stand-in: its own zqplink.exe and zqpscp.exe (playing tool
  // and guest), or the real tools with the stand-in playing OpenSSH's ssh and sftp, each command
  // on its own or through the PowerShell session. FromEnvironment: ZQ_TEST_WINGUEST_TOOLS
  // ("standin", the default, "plain" or "session").
  enum class WindowsTools { FromEnvironment, StandIn, RealPlain, RealSession };

  // Points the installation at the Windows guest stand-in configured by `configPath`.
  void UseWindowsGuest(const std::string& configPath, WindowsTools tools = WindowsTools::FromEnvironment);

  // An environment variable for the zqrestore process (and the tools it starts).
  void SetEnvironment(const std::string& name, const std::string& value);

  // The settings file; entries set here win over the defaults.
  void Set(const std::string& section, const std::string& key, const std::string& value);
  std::string SettingsFile() const { return m_dir.Join("zqrestore.ini"); }
  std::string Folder() const { return m_dir.path(); }
  std::string JobResultsFolder() const { return m_dir.Join("jobresults"); }
  std::string LogFile() const { return m_dir.Join("log/VSAgentlessRestoreToVM.log"); }

  zqtest::InventoryBuilder& inventory() { return m_inventory; }
  zqtest::InventoryBuilder::Server& server() { return *m_server; }

  // A job for `vmName`/`guid` into `destination` with the guest login given; `extra` members are
  // merged in (and may replace the defaults).
  nlohmann::json Job(const std::string& vmName, const std::string& guid, const std::string& destination,
                     const std::string& guestUser, const std::string& guestPassword,
                     const nlohmann::json& extra = nlohmann::json::object()) const;

  // Writes the inventory and the job and runs "zqrestore restore" on `source`.
  RunResult Restore(const nlohmann::json& job, const std::string& source, int seconds = 120,
                    const std::vector<std::string>& options = {});
  // Runs "zqrestore guest <verb and arguments>" for `job`.
  RunResult Guest(const nlohmann::json& job, const std::vector<std::string>& verb, int seconds = 60);

  // Writes the installation files and `job`, then runs zqrestore with `arguments`, in which
  // "{job}" stands for the job file. With `passSettings`, "--settings FILE" goes first.
  RunResult Command(const nlohmann::json& job, std::vector<std::string> arguments, bool passSettings = true,
                    int seconds = 60);

  // Writes the installation files and `job`, then runs `commandLine` (a program and its arguments:
  // ansible-playbook, say) in the harness's folder with the environment zqrestore would get.
  RunResult Program(const nlohmann::json& job, const std::vector<std::string>& commandLine, int seconds);

  // Every staging folder under the job-results folder that still exists.
  std::vector<std::string> LeftoverStagingFolders() const;

 private:
  void WriteFiles(const nlohmann::json& job);
  RunResult RunZqrestore(const std::vector<std::string>& arguments, int seconds, bool passSettings = true);
  RunResult RunProgram(const std::vector<std::string>& commandLine, int seconds);

  zqtest::TempDir m_dir;
  std::map<std::string, std::map<std::string, std::string>> m_settings;
  zqtest::InventoryBuilder m_inventory;
  zqtest::InventoryBuilder::Server* m_server;
  int m_instanceType;
  std::atomic<int> m_run{0};  // runs may overlap (two runs of one job)
  std::string m_sshConfig;
  std::map<std::string, std::string> m_environment;
};

// A small tree with folders, files of several sizes, modes and times, for restoring.
struct SampleFile {
  std::string path;
  std::string content;
  unsigned mode;
  long long mtime;
};
std::vector<SampleFile> SampleFiles();
std::vector<std::string> SampleFolders();
void WriteSampleTree(const std::string& root);

// Names that must travel unchanged however many shells read them, and a tree holding each as a
// file ("content of <name>"), a folder with a hostile name and a file in it, and two names the
// plug-in would change (a backslash, "ZqColonZq"), which zqrestore refuses.
std::vector<std::string> RestorableHostileNames();
constexpr const char* kHostileFolder = "folder $(x) 'q'";
constexpr const char* kHostileInner = "folder $(x) 'q'/inner \"file\"";
void WriteHostileTree(const std::string& root);

// No secret reaches what zqrestore printed, its summary, or the plug-in's log.
void ExpectNoSecrets(const RestoreHarness& harness, const RunResult& result, const std::vector<std::string>& secrets);

}  // namespace e2e
