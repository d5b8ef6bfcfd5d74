#include "JobSite.h"

#include <sys/stat.h>

#include "HostJob.h"

namespace wholejob {

nlohmann::json RestoreOptions(const RestoreTarget& target) {
  return {{"vmFileLevelRestore",
           {{"restoreToVM", 1},
            {"destinationVM",
             {{"serverName", kServerName},
              {"serverCredentials", {{"userName", kServerUser}, {"password", target.serverPassword}}},
              {"vmGuid", target.vmGuid},
              {"vmName", target.vmName},
              {"guestCredentials", {{"userName", target.guestUser}, {"password", target.guestPassword}}}}},
            {"instanceEntity", {{"instanceId", kInstanceId}}}}},
          {"commonOptions", {{"restoreACLs", target.restoreACLs ? 1 : 0}}}};
}

JobSite::JobSite() : m_installation(ZQ_TOOLS_DIR) {
  m_installation.Set("VirtualServer", "InventoryFile", m_config.Join("inventory.json"));
  m_installation.Set("VirtualServer", "AppConfigFile", m_config.Join("apps.json"));
  m_installation.Set("JobResults", "Directory", NewFolder("jobresults"));
  m_installation.Set("Client", "Name", kClientName);
  // Shared SSH connections outlive a job for a while, as they do in an installation.
  m_installation.Set("SSH", "ControlPersist", "30");

  m_server = &m_inventory.AddServer(kServerName)
                  .Credential(kServerUser, kServerPassword)
                  .Credential(kServerUser, kStoredServerPassword);
  m_appConfig = {
      {"applications", {{{"id", kVMAppId}, {"parent", 1000}}, {{"id", 1000}, {"instance", kInstanceId}}}},
      {"instances",
       {{{"id", kInstanceId},
         {"type", 0},
         {"credentials",
          {{{"serverName", kServerName}, {"userName", kServerUser}, {"password", kStoredServerPassword}}}}}}}};
}

void JobSite::SetInstanceType(int type) {
  m_appConfig["instances"][0]["type"] = type;
  m_server->InstanceType(type);
}

void JobSite::Publish() {
  m_inventory.WriteTo(m_config.Join("inventory.json"));
  zqtest::WriteFile(m_config.Join("apps.json"), m_appConfig.dump(2));
  chmod(m_config.Join("apps.json").c_str(), 0600);
}

std::string JobSite::NewFolder(const std::string& name) {
  const std::string path = m_work.Join(name);
  mkdir(path.c_str(), 0755);
  return path;
}

std::string JobSite::logFile() const { return m_installation.folder() + "/log/VSAgentlessRestoreToVM.log"; }

}  // namespace wholejob
