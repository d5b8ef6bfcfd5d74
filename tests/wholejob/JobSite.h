// The world a whole job runs in:
// - the proxy's installation: a settings file (named by ZQ_SETTINGS for this process and the SSH
//   tools it starts) with the built tools as base folder, the log folder and the job-results folder;
// - the application configuration: the VM's application 1001 has the parent 1000, which belongs
//   to hypervisor instance 7 of a chosen type, with stored server credentials;
// - the inventory of our VM-information component, built per test;
// - a work folder for guest file systems and job results.
// Configuration files, which hold passwords by design, live apart from the work folder, so that a
// test can look for passwords in everything a job writes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "support/InventoryBuilder.h"
#include "testbeds/sshd/SshTestInstallation.h"
#include "support/TestSupport.h"

namespace wholejob {

// Distinctive credentials; none of these passwords may show anywhere a test can look.
constexpr const char* kServerName = "hv-server.test";
constexpr const char* kServerUser = "svc-restore";
constexpr const char* kServerPassword = "SrvPw-Quokka-8812";
constexpr const char* kStoredServerPassword = "StoredPw-Numbat-5107";  // stored at instance 7
constexpr const char* kWrongServerPassword = "WrongPw-Okapi-2741";
constexpr const char* kNativeGuestUser = "Administrator";
constexpr const char* kNativeGuestPassword = "GstPw-Wombat-3390";
constexpr const char* kWrongGuestPassword = "WrongGstPw-Tapir-6604";
constexpr int kInstanceId = 7;

// The destination VM and logins of one restore request.
struct RestoreTarget {
  std::string vmName;
  std::string vmGuid;
  std::string guestUser = kNativeGuestUser;
  std::string guestPassword = kNativeGuestPassword;
  std::string serverPassword = kServerPassword;
  bool restoreACLs = true;
};

// The restore options of a restore to `target` on kServerName, for hypervisor instance 7.
nlohmann::json RestoreOptions(const RestoreTarget& target);

class JobSite {
 public:
  JobSite();

  zqtest::SshTestInstallation& installation() { return m_installation; }
  // The hypervisor server kServerName, accepting kServerUser with both server passwords.
  zqtest::InventoryBuilder::Server& server() { return *m_server; }
  // The type of instance 7, which the plug-in reports as the job's instance type.
  void SetInstanceType(int type);
  // Writes the inventory and the application configuration; call after the last change.
  void Publish();

  // A new folder below the work folder, e.g. a guest's file system.
  std::string NewFolder(const std::string& name);
  std::string workFolder() const { return m_work.path(); }
  std::string logFile() const;

 private:
  zqtest::TempDir m_config;
  zqtest::TempDir m_work;
  zqtest::SshTestInstallation m_installation;
  zqtest::InventoryBuilder m_inventory;
  zqtest::InventoryBuilder::Server* m_server;
  nlohmann::json m_appConfig;
};

}  // namespace wholejob
