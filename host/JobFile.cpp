#include "host/JobFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "host/SecretMask.h"
#include "platform/InputLimits.h"
#include "platform/ProxyInputFile.h"
#include "platform/pstring.h"

namespace {

using nlohmann::json;

// A job file is a few hundred bytes; a password file holds one password.
constexpr JsonLimits kJobFileLimits{1024 * 1024, kJsonMaxDepth};
constexpr size_t kPasswordFileMaxBytes = 64 * 1024;

// Reads the members of one JSON object by name, checks their kinds and remembers which names were
// read, so that a misspelt key is reported instead of silently ignored. The first problem found
// is kept; later reads after a problem change nothing.
class ObjectReader {
 public:
  ObjectReader(json& object, std::string where, std::string& error)
      : m_object(object), m_where(std::move(where)), m_error(error) {}

  bool Ok() const { return m_error.empty(); }

  json* Find(const char* key) {
    m_known.insert(key);
    auto found = m_object.find(key);
    return found == m_object.end() || found->is_null() ? nullptr : &*found;
  }

  void String(const char* key, std::string& out, bool required) {
    json* value = Find(key);
    if (!Ok()) return;
    if (value == nullptr) {
      if (required) Fail(key, "is required");
      return;
    }
    if (!value->is_string()) return Fail(key, "must be a text");
    out = value->get<std::string>();
    if (required && out.empty()) Fail(key, "must not be empty");
  }

  void Bool(const char* key, bool& out) {
    json* value = Find(key);
    if (!Ok() || value == nullptr) return;
    if (!value->is_boolean()) return Fail(key, "must be true or false");
    out = value->get<bool>();
  }

  // A whole number; with `nonNegative` also not below zero. Returns whether the key was present.
  template <typename Number>
  bool Integer(const char* key, Number& out, bool nonNegative) {
    json* value = Find(key);
    if (!Ok() || value == nullptr) return false;
    const bool whole = value->is_number_integer();
    const bool negative = whole && !value->is_number_unsigned() && value->get<int64_t>() < 0;
    const bool tooLarge = whole && value->is_number_unsigned() && std::is_signed<Number>::value &&
                          value->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX);
    if (!whole || (nonNegative && negative) || tooLarge) {
      Fail(key, nonNegative ? "must be a whole number of at least 0" : "must be a whole number");
      return false;
    }
    out = value->get<Number>();
    return true;
  }

  // The nested object at `key`, or null when it is absent (a wrong kind is an error).
  json* Object(const char* key, bool required) {
    json* value = Find(key);
    if (!Ok()) return nullptr;
    if (value == nullptr) {
      if (required) Fail(key, "is required");
      return nullptr;
    }
    if (!value->is_object()) {
      Fail(key, "must be an object");
      return nullptr;
    }
    return value;
  }

  // Reports the first member that no read asked for.
  void RejectUnknownKeys() {
    if (!Ok()) return;
    for (auto& item : m_object.items()) {
      if (m_known.count(item.key()) == 0) {
        m_error = "unknown key [" + Path(item.key()) + "]";
        return;
      }
    }
  }

  std::string Path(const std::string& key) const { return m_where.empty() ? key : m_where + "." + key; }

  void Fail(const char* key, const std::string& what) {
    if (Ok()) m_error = "[" + Path(key) + "] " + what;
  }

 private:
  json& m_object;
  std::string m_where;
  std::string& m_error;
  std::set<std::string> m_known;
};

std::string ResolveRelative(const std::string& baseDir, const std::string& path) {
  if (path.empty() || path.front() == '/' || baseDir.empty()) return path;
  return baseDir + "/" + path;
}

// Wipes the text of each named environment variable and removes it, so that no process
// zqrestore starts (OpenSSH's background connection among them) inherits a password.
void WipeEnvironment(const std::set<std::string>& names) {
  for (const std::string& name : names) {
    if (char* value = getenv(name.c_str())) explicit_bzero(value, std::strlen(value));
    unsetenv(name.c_str());
  }
}

// Reads {"userName": ..., and one of "password", "passwordEnv", "passwordFile"}. The name of a
// variable read goes into `readVariables`.
void ReadCredentials(json& object, const std::string& where, const std::string& baseDir, JobCredentials& out,
                     std::set<std::string>& readVariables, std::string& error) {
  ObjectReader reader(object, where, error);
  reader.String("userName", out.userName, false);
  std::string environmentName;
  std::string fileName;
  reader.String("passwordEnv", environmentName, false);
  reader.String("passwordFile", fileName, false);
  json* inline_password = reader.Find("password");
  reader.RejectUnknownKeys();
  if (!reader.Ok()) return;

  const int sources = (inline_password != nullptr) + !environmentName.empty() + !fileName.empty();
  if (sources > 1) {
    return reader.Fail("password", "is given more than once: use one of password, passwordEnv, passwordFile");
  }
  if (inline_password != nullptr) {
    if (!inline_password->is_string()) return reader.Fail("password", "must be a text");
    out.password = inline_password->get<std::string>();
    WipeString(inline_password->get_ref<std::string&>());
  } else if (!environmentName.empty()) {
    const char* value = getenv(environmentName.c_str());
    if (value == nullptr) {
      return reader.Fail("passwordEnv", "names the environment variable " + environmentName + ", which is not set");
    }
    out.password = value;
    readVariables.insert(environmentName);
  } else if (!fileName.empty()) {
    const std::string path = ResolveRelative(baseDir, fileName);
    std::string problem;
    if (!ReadPasswordFile(path, out.password, problem)) {
      return reader.Fail("passwordFile", "names " + path + ", which " + problem);
    }
  }
  const std::string shortPassword = ShortPasswordProblem(out.password);
  if (!shortPassword.empty()) {
    reader.Fail(inline_password != nullptr ? "password" : !environmentName.empty() ? "passwordEnv" : "passwordFile",
                shortPassword);
  }
}

void ReadJobIds(json& object, JobIds& ids, std::string& error) {
  ObjectReader reader(object, "jobIds", error);
  reader.Integer("jobId", ids.jobId, true);
  reader.Integer("initIdA", ids.initIdA, false);
  if (!reader.Integer("initAppId", ids.initAppId, true) && reader.Ok()) {
    reader.Fail("initAppId", "is required: the application id that selects the VM's hypervisor instance in the "
                             "application configuration");
  }
  reader.Integer("initIdB", ids.initIdB, true);
  reader.Integer("initIdC", ids.initIdC, false);
  reader.RejectUnknownKeys();
}

void ReadJob(json& document, const std::string& baseDir, JobFile& job, std::string& error) {
  ObjectReader reader(document, "", error);
  if (json* vm = reader.Object("vm", true)) {
    ObjectReader vmReader(*vm, "vm", error);
    vmReader.String("name", job.vmName, true);
    vmReader.String("guid", job.vmGuid, true);
    vmReader.String("server", job.serverName, false);
    vmReader.RejectUnknownKeys();
  }
  // Both credentials may name the same variable: it goes once both are read.
  std::set<std::string> readVariables;
  if (json* credentials = reader.Object("serverCredentials", false)) {
    ReadCredentials(*credentials, "serverCredentials", baseDir, job.server, readVariables, error);
  }
  if (json* credentials = reader.Object("guestCredentials", false)) {
    ReadCredentials(*credentials, "guestCredentials", baseDir, job.guest, readVariables, error);
  }
  WipeEnvironment(readVariables);
  // Optional here: --destination on the command line may give it; zqrestore says when neither does.
  reader.String("destination", job.destination, false);
  reader.Bool("unixGuest", job.unixGuest);
  reader.Bool("overwriteAlways", job.overwriteAlways);
  reader.Bool("restoreACLs", job.restoreACLs);
  reader.Bool("checksum", job.checksum);
  reader.Bool("backup", job.backup);
  reader.String("backupSuffix", job.backupSuffix, false);
  reader.Integer("instanceId", job.instanceId, true);
  job.hasClientId = reader.Integer("clientId", job.clientId, true);
  reader.Integer("instanceType", job.instanceType, true);
  reader.String("clientName", job.clientName, false);
  if (json* ids = reader.Object("jobIds", false)) {
    ReadJobIds(*ids, job.ids, error);
  } else if (reader.Ok()) {
    reader.Fail("jobIds", "is required, with at least [jobIds.initAppId]");
  }
  reader.Find("comment");  // free text for the reader of the file
  reader.RejectUnknownKeys();
}

// Wipes every text of a parsed document: the passwords may be anywhere the user put them.
void WipeDocument(json& value) {
  if (value.is_string()) {
    WipeString(value.get_ref<std::string&>());
  } else if (value.is_structured()) {
    for (auto& child : value) WipeDocument(child);
  }
}

// "at line L, column C" of the byte at 1-based offset `byte`, as an editor counts them.
}  // namespace

bool ReadPasswordFile(const std::string& path, std::string& secret, std::string& problem) {
  if (!ProxyInputFile::ReadText(path, ProxyInputFile::Role::Secret, kPasswordFileMaxBytes, secret, problem)) {
    return false;
  }
  // A password file usually ends with one line break; it is not part of the password.
  if (!secret.empty() && secret.back() == '\n') secret.pop_back();
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return true;
}

JobFile::~JobFile() {
  WipeString(server.password);
  WipeString(guest.password);
}

bool ParseJobText(const std::string& text, const std::string& baseDir, JobFile& job, std::string& error) {
  error.clear();
  json document;
  if (!ParseJsonWithLimits(text, kJobFileLimits, document, error)) return false;
  if (!document.is_object()) {
    error = "the job must be a JSON object";
    return false;
  }
  try {
    ReadJob(document, baseDir, job, error);
  } catch (const json::exception& failure) {
    // Numbers out of range for their field end up here.
    error = std::string("a value is out of range: ") + failure.what();
  }
  WipeDocument(document);
  return error.empty();
}

bool LoadJobFile(const std::string& path, JobFile& job, std::string& error) {
  std::string text;
  bool missing = false;
  if (!ProxyInputFile::ReadText(path, ProxyInputFile::Role::Config, kJobFileLimits.maxBytes, text, error, &missing)) {
    error = missing ? "cannot open " + path : path + " " + error;
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string baseDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const bool ok = ParseJobText(text, baseDir, job, error);
  WipeString(text);
  if (!ok) error = path + ": " + error;
  return ok;
}

nlohmann::json BuildRestoreOptionsJson(const JobFile& job) {
  json destinationVM = {
      {"serverName", job.serverName},
      {"serverCredentials", {{"userName", job.server.userName}, {"password", job.server.password}}},
      {"vmGuid", job.vmGuid},
      {"vmName", job.vmName},
      {"guestCredentials", {{"userName", job.guest.userName}, {"password", job.guest.password}}},
  };
  json vmFileLevelRestore = {{"restoreToVM", 1}, {"destinationVM", std::move(destinationVM)}};
  if (job.instanceId != 0 || job.hasClientId) {
    json entity = {{"instanceId", job.instanceId}};
    if (job.hasClientId) entity["clientId"] = job.clientId;
    vmFileLevelRestore["instanceEntity"] = std::move(entity);
  }
  json commonOptions = {{"restoreACLs", job.restoreACLs ? 1 : 0}};
  if (job.backup && !job.backupSuffix.empty()) commonOptions["backupSuffix"] = job.backupSuffix;
  return json{{"vmFileLevelRestore", std::move(vmFileLevelRestore)}, {"commonOptions", std::move(commonOptions)}};
}
