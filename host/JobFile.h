// The job file of zqrestore: which VM to restore into, with which credentials, where inside the
// guest, and the host's ids for the job. Its format is described in docs/job-file.md.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

// A user name and a password. The password comes from the job file itself, from an environment
// variable or from a file, so that it need not be written into the job file.
struct JobCredentials {
  std::string userName;
  std::string password;  // plain text, in memory only; never printed
};

// The host's ids of the job, as they go into its job records.
struct JobIds {
  uint64_t jobId = 0;      // job-control client: the throughput counter's job id
  int64_t initIdA = 0;     // first id of the staging path
  uint64_t initAppId = 0;  // application id of the VM's data (application configuration)
  uint64_t initIdB = 0;    // second id of the staging path
  int64_t initIdC = 0;     // third id of the staging path
};

struct JobFile {
  std::string vmName;
  std::string vmGuid;
  std::string serverName;
  JobCredentials server;
  JobCredentials guest;
  std::string destination;  // folder inside the guest
  bool unixGuest = false;   // tell the plug-in up front that the guest is a Unix guest
  bool overwriteAlways = false;
  bool restoreACLs = false;
  bool checksum = false;     // replace-or-keep by size and SHA-256 instead of time
  bool backup = false;       // keep a replaced guest file beside it under backupSuffix
  std::string backupSuffix;  // empty: "~" (ReplaceChoices::kDefaultBackupSuffix)
  int64_t instanceId = 0;  // 0: none
  bool hasClientId = false;
  int64_t clientId = 0;
  int64_t instanceType = 0;  // the host's idea of the hypervisor kind; the plug-in corrects it
  std::string clientName;    // client whose job-results directory holds the staging folder
  JobIds ids;

  ~JobFile();
};

// Reads a password file: the whole file without one trailing line break. False with `problem`,
// phrased to follow the file's name, when it is not a private plain file of the running user or of
// root (ProxyInputFile::Role::Secret), cannot be read, or is too large to be a password file (more
// than 64 KiB).
bool ReadPasswordFile(const std::string& path, std::string& secret, std::string& problem);

// Reads and checks a job file, opened as ProxyInputFile::Role::Config. Relative password-file paths are taken relative to the job file's
// folder. On failure returns false with `error` saying what is wrong and where; no secret is ever
// part of the error text.
bool LoadJobFile(const std::string& path, JobFile& job, std::string& error);

// As LoadJobFile, from a JSON text; `baseDir` resolves relative password-file paths.
bool ParseJobText(const std::string& text, const std::string& baseDir, JobFile& job, std::string& error);

// The restore-options message of the job in its readable JSON form, ready for
// TMMsg::RestoreOption::loadJson (which wipes the passwords out of it once taken over).
nlohmann::json BuildRestoreOptionsJson(const JobFile& job);
