#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "host/GuestPath.h"
#include "host/JobFile.h"
#include "platform/RestoreOption.h"
#include "platform/ZQPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

using namespace TMMsg::RestoreOptionFields;
using TMMsg::FieldAddress;

// Reads of the restore-options message by field address.
const CNMessageBase& Nested(const CNMessageBase& message, FieldAddress field) {
  return message.nestedOrEmpty(field.index, field.tag);
}
std::string String(const CNMessageBase& message, FieldAddress field) {
  return message.getstring(field.index, field.tag, 0, 0);
}
std::string Password(const CNMessageBase& message, FieldAddress field) {
  return message.getpstringobject(field.index, field.tag, 0, 0).getPlainPassword().str();
}
int64_t Int64(const CNMessageBase& message, FieldAddress field) { return message.getint64(field.tag, 0, 0); }
bool IsSet(const CNMessageBase& message, FieldAddress field) { return message.isSet(field.index, 0, 0); }

const char* const kMinimalJob =
    R"({"vm": {"name": "web01", "guid": "g-1"}, "destination": "/srv/restore", "jobIds": {"initAppId": 1}})";

// A job text with `extra` members added to the minimal one (whose jobIds `extra` may replace).
std::string JobWith(const std::string& extra) {
  const bool ownIds = extra.find("\"jobIds\"") != std::string::npos;
  return R"({"vm": {"name": "web01", "guid": "g-1"}, "destination": "/srv/restore", )" +
         std::string(ownIds ? "" : R"("jobIds": {"initAppId": 1}, )") + extra + "}";
}

struct RejectedJobRow {
  const char* name;
  std::string text;
  std::string expectedError;  // DIR stands for the folder of the planted files
  // Plants files in a fresh folder against which the job's relative paths are then read.
  void (*plant)(const std::string& folder) = nullptr;
};

// A password file "pw" with `mode`, given to `owner` (another user: 65534, nobody).
void PlantPasswordFile(const std::string& folder, mode_t mode, uid_t owner) {
  if (owner != geteuid() && geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
  zqtest::WriteFile(folder + "/pw", "secret\n");
  ASSERT_EQ(chmod((folder + "/pw").c_str(), mode), 0);
  ASSERT_EQ(chown((folder + "/pw").c_str(), owner, static_cast<gid_t>(-1)), 0);
}

void PrintTo(const RejectedJobRow& row, std::ostream* out) { *out << row.name; }

class JobFileRejects : public testing::TestWithParam<RejectedJobRow> {};

TEST_P(JobFileRejects, WithAnErrorNamingTheField) {
  JobFile job;
  std::string error;
  zqtest::TempDir folder;
  if (GetParam().plant != nullptr) {
    ASSERT_NO_FATAL_FAILURE(GetParam().plant(folder.path()));
  }
  if (IsSkipped()) return;
  EXPECT_FALSE(ParseJobText(GetParam().text, GetParam().plant != nullptr ? folder.path() : "/nowhere", job, error));
  const size_t at = error.find(folder.path());
  if (at != std::string::npos) error.replace(at, folder.path().size(), "DIR");
  EXPECT_EQ(error, GetParam().expectedError);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JobFileRejects,
    testing::Values(
        RejectedJobRow{"NotJson", "{", "not valid JSON at line 1, column 2"},
        RejectedJobRow{"TrailingComma", "{\n  \"vm\": {\"name\": \"a\"},\n}", "not valid JSON at line 3, column 1"},
        RejectedJobRow{"NoJobIds", R"({"vm": {"name": "a", "guid": "g"}, "destination": "/x"})",
                       "[jobIds] is required, with at least [jobIds.initAppId]"},
        RejectedJobRow{"NoApplicationId", JobWith(R"("jobIds": {"jobId": 1})"),
                       "[jobIds.initAppId] is required: the application id that selects the VM's hypervisor "
                       "instance in the application configuration"},
                RejectedJobRow{"NestedAMillionLevels", JobWith(R"("comment": )" + std::string(1000000, '[')),
                       "nested deeper than 64 levels"},
        RejectedJobRow{"LargerThanAMegabyte", JobWith(R"("comment": ")" + std::string(1024 * 1024, ' ') + "\""),
                       "larger than 1048576 bytes"},
        RejectedJobRow{"PasswordFileNeverEnds", JobWith(R"("guestCredentials": {"passwordFile": "/dev/zero"})"),
                       "[guestCredentials.passwordFile] names /dev/zero, which is not a plain file"},
        RejectedJobRow{"NotAnObject", "[1]", "the job must be a JSON object"},
        RejectedJobRow{"NoVm", R"({"destination": "/x"})", "[vm] is required"},
        RejectedJobRow{"NoGuid", R"({"vm": {"name": "a"}, "destination": "/x"})", "[vm.guid] is required"},
        RejectedJobRow{"EmptyGuid", R"({"vm": {"name": "a", "guid": ""}, "destination": "/x"})",
                       "[vm.guid] must not be empty"},
        RejectedJobRow{"DestinationNotText", R"({"vm": {"name": "a", "guid": "g"}, "destination": 5})",
                       "[destination] must be a text"},
        RejectedJobRow{"UnknownTopLevelKey", JobWith(R"("overwrite": true)"), "unknown key [overwrite]"},
        RejectedJobRow{"UnknownVmKey", R"({"vm": {"name": "a", "guid": "g", "host": "h"}, "destination": "/x"})",
                       "unknown key [vm.host]"},
        RejectedJobRow{"FlagNotBoolean", JobWith(R"("restoreACLs": 1)"), "[restoreACLs] must be true or false"},
        RejectedJobRow{"NegativeInstanceId", JobWith(R"("instanceId": -1)"),
                       "[instanceId] must be a whole number of at least 0"},
        RejectedJobRow{"FractionalClientId", JobWith(R"("clientId": 1.5)"),
                       "[clientId] must be a whole number of at least 0"},
        RejectedJobRow{"JobIdsWithUnknownKey", JobWith(R"("jobIds": {"initAppId": 1, "jobid": 1})"),
                       "unknown key [jobIds.jobid]"},
        RejectedJobRow{"InitIdCTooLarge", JobWith(R"("jobIds": {"initAppId": 1, "initIdC": 18446744073709551615})"),
                       "[jobIds.initIdC] must be a whole number"},
        RejectedJobRow{"TwoPasswordSources",
                       JobWith(R"("guestCredentials": {"userName": "u", "password": "p", "passwordEnv": "X"})"),
                       "[guestCredentials.password] is given more than once: use one of password, passwordEnv, "
                       "passwordFile"},
        RejectedJobRow{"PasswordNotText", JobWith(R"("serverCredentials": {"password": 7})"),
                       "[serverCredentials.password] must be a text"},
        RejectedJobRow{"UnsetPasswordVariable",
                       JobWith(R"("guestCredentials": {"passwordEnv": "ZQ_TEST_SURELY_UNSET_VARIABLE"})"),
                       "[guestCredentials.passwordEnv] names the environment variable ZQ_TEST_SURELY_UNSET_VARIABLE, "
                       "which is not set"},
        RejectedJobRow{"OneCharacterPassword", JobWith(R"("serverCredentials": {"userName": "u", "password": "x"})"),
                       "[serverCredentials.password] the password is shorter than 4 characters; zqrestore refuses "
                       "one so short, since it cannot be kept out of the tools' messages"},
        RejectedJobRow{"MissingPasswordFile", JobWith(R"("guestCredentials": {"passwordFile": "no-such-file"})"),
                       "[guestCredentials.passwordFile] names /nowhere/no-such-file, which does not exist"},
        RejectedJobRow{"PasswordFileOthersMayRead", JobWith(R"("guestCredentials": {"passwordFile": "pw"})"),
                       "[guestCredentials.passwordFile] names DIR/pw, which is open to other users (mode 0644): a "
                       "password file must be readable by its owner only (chmod 600 it)",
                       [](const std::string& f) { PlantPasswordFile(f, 0644, geteuid()); }},
        RejectedJobRow{"PasswordFileOfAnotherUser", JobWith(R"("guestCredentials": {"passwordFile": "pw"})"),
                       "[guestCredentials.passwordFile] names DIR/pw, which belongs to user id 65534; a password "
                       "file must belong to the user running zqrestore (" + std::to_string(geteuid()) + ") or to root",
                       [](const std::string& f) { PlantPasswordFile(f, 0600, 65534); }}),
    [](const testing::TestParamInfo<RejectedJobRow>& row) { return std::string(row.param.name); });

TEST(JobFile, ReadsEveryField) {
  const std::string text = R"({
    "comment": "nightly restore of web01",
    "vm": {"name": "web01", "guid": "4210-aa", "server": "vc1"},
    "serverCredentials": {"userName": "admin", "password": "server-secret"},
    "guestCredentials": {"userName": "root", "password": "guest-secret"},
    "destination": "/srv/restore",
    "unixGuest": true, "overwriteAlways": true, "restoreACLs": true,
    "instanceId": 7, "clientId": 3, "instanceType": 601, "clientName": "proxy1",
    "jobIds": {"jobId": 99, "initIdA": -2, "initAppId": 10, "initIdB": 17, "initIdC": 45}
  })";
  JobFile job;
  std::string error;
  ASSERT_TRUE(ParseJobText(text, "/", job, error)) << error;
  EXPECT_EQ(job.vmName, "web01");
  EXPECT_EQ(job.vmGuid, "4210-aa");
  EXPECT_EQ(job.serverName, "vc1");
  EXPECT_EQ(job.server.userName, "admin");
  EXPECT_EQ(job.server.password, "server-secret");
  EXPECT_EQ(job.guest.userName, "root");
  EXPECT_EQ(job.guest.password, "guest-secret");
  EXPECT_EQ(job.destination, "/srv/restore");
  EXPECT_TRUE(job.unixGuest);
  EXPECT_TRUE(job.overwriteAlways);
  EXPECT_TRUE(job.restoreACLs);
  EXPECT_EQ(job.instanceId, 7);
  EXPECT_TRUE(job.hasClientId);
  EXPECT_EQ(job.clientId, 3);
  EXPECT_EQ(job.instanceType, 601);
  EXPECT_EQ(job.clientName, "proxy1");
  EXPECT_EQ(job.ids.jobId, 99u);
  EXPECT_EQ(job.ids.initIdA, -2);
  EXPECT_EQ(job.ids.initAppId, 10u);
  EXPECT_EQ(job.ids.initIdB, 17u);
  EXPECT_EQ(job.ids.initIdC, 45);
}

TEST(JobFile, LeavesOptionalFieldsAtTheirDefaults) {
  JobFile job;
  std::string error;
  ASSERT_TRUE(ParseJobText(kMinimalJob, "/", job, error)) << error;
  EXPECT_EQ(job.serverName, "");
  EXPECT_EQ(job.guest.password, "");
  EXPECT_FALSE(job.unixGuest);
  EXPECT_FALSE(job.overwriteAlways);
  EXPECT_FALSE(job.restoreACLs);
  EXPECT_EQ(job.instanceId, 0);
  EXPECT_FALSE(job.hasClientId);
  EXPECT_EQ(job.ids.jobId, 0u);
}

TEST(JobFile, TakesPasswordFromTheNamedEnvironmentVariable) {
  zqtest::ScopedEnv secret("ZQ_TEST_GUEST_PASSWORD", "from-env");
  JobFile job;
  std::string error;
  ASSERT_TRUE(ParseJobText(JobWith(R"("guestCredentials": {"userName": "u", "passwordEnv": "ZQ_TEST_GUEST_PASSWORD"})"),
                           "/", job, error))
      << error;
  EXPECT_EQ(job.guest.password, "from-env");
  // Read once and gone: no child of zqrestore inherits it.
  EXPECT_EQ(std::getenv("ZQ_TEST_GUEST_PASSWORD"), nullptr);
}

TEST(JobFile, OneVariableMayServeBothLogins) {
  zqtest::ScopedEnv secret("ZQ_TEST_SHARED_PASSWORD", "shared-pw");
  JobFile job;
  std::string error;
  ASSERT_TRUE(ParseJobText(JobWith(R"("serverCredentials": {"userName": "s", "passwordEnv": "ZQ_TEST_SHARED_PASSWORD"},
                                      "guestCredentials": {"userName": "u", "passwordEnv": "ZQ_TEST_SHARED_PASSWORD"})"),
                           "/", job, error))
      << error;
  EXPECT_EQ(job.server.password, "shared-pw");
  EXPECT_EQ(job.guest.password, "shared-pw");
  EXPECT_EQ(std::getenv("ZQ_TEST_SHARED_PASSWORD"), nullptr);
}

TEST(JobFile, TakesPasswordFromAFileNextToTheJobFileWithoutTheLineBreak) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("guest.pw"), "from-file\n");
  ASSERT_EQ(chmod(dir.Join("guest.pw").c_str(), 0600), 0);
  zqtest::WriteFile(dir.Join("job.json"),
                    JobWith(R"("serverCredentials": {"userName": "a", "passwordFile": "guest.pw"})"));
  JobFile job;
  std::string error;
  ASSERT_TRUE(LoadJobFile(dir.Join("job.json"), job, error)) << error;
  EXPECT_EQ(job.server.password, "from-file");
}

TEST(JobFile, KeepsPasswordsOutOfErrors) {
  JobFile job;
  std::string error;
  ASSERT_FALSE(ParseJobText(JobWith(R"("guestCredentials": {"password": "hunter2-secret"}, "bogus": 1)"), "/", job,
                            error));
  EXPECT_EQ(error.find("hunter2-secret"), std::string::npos) << error;
}

TEST(JobFile, ReportsAnUnreadableFileByPath) {
  JobFile job;
  std::string error;
  EXPECT_FALSE(LoadJobFile("/nonexistent/job.json", job, error));
  EXPECT_EQ(error, "cannot open /nonexistent/job.json");
}

// The options built from a job read back, through the accessors the controller uses, as the values
// of the job file.
TEST(RestoreOptionsFromJob, CarryTheVmCredentialsAndSwitches) {
  JobFile job;
  std::string error;
  const std::string text = R"({
      "vm": {"name": "web01", "guid": "g-1", "server": "vc1"}, "destination": "/srv/restore",
      "serverCredentials": {"userName": "admin", "password": "server-pw"},
      "guestCredentials": {"userName": "root", "password": "guest-pw"},
      "restoreACLs": true, "instanceId": 7, "clientId": 3, "jobIds": {"initAppId": 1}})";
  ASSERT_TRUE(ParseJobText(text, "/", job, error)) << error;
  nlohmann::json request = BuildRestoreOptionsJson(job);
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.loadJson(request, error)) << error;

  const CNMessageBase& vmRestore = Nested(options, kVMFileLevelRestore);
  EXPECT_EQ(Int64(vmRestore, kRestoreToVM), 1);
  const CNMessageBase& vm = Nested(vmRestore, kDestinationVM);
  EXPECT_EQ(String(vm, kServerName), "vc1");
  EXPECT_EQ(String(vm, kVMGuid), "g-1");
  EXPECT_EQ(String(vm, kVMName), "web01");
  EXPECT_EQ(String(Nested(vm, kServerCredentials), kUserName), "admin");
  EXPECT_EQ(Password(Nested(vm, kServerCredentials), kPassword), "server-pw");
  EXPECT_EQ(String(Nested(vm, kGuestCredentials), kUserName), "root");
  EXPECT_EQ(Password(Nested(vm, kGuestCredentials), kPassword), "guest-pw");
  const CNMessageBase& entity = Nested(vmRestore, kInstanceEntity);
  EXPECT_TRUE(IsSet(vmRestore, kInstanceEntity));
  EXPECT_EQ(Int64(entity, kInstanceId), 7);
  EXPECT_TRUE(IsSet(entity, kClientId));
  EXPECT_EQ(Int64(entity, kClientId), 3);
  EXPECT_EQ(Int64(Nested(options, kCommonOptions), kRestoreACLs), 1);
  // The builder took the passwords over and wiped them from the request.
  EXPECT_EQ(request.dump().find("gpw"), std::string::npos);
  EXPECT_EQ(request.dump().find("spw"), std::string::npos);
}

TEST(RestoreOptionsFromJob, LeaveTheInstanceEntityOutWhenTheJobNamesNoInstanceOrClient) {
  JobFile job;
  std::string error;
  ASSERT_TRUE(ParseJobText(kMinimalJob, "/", job, error)) << error;
  nlohmann::json request = BuildRestoreOptionsJson(job);
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.loadJson(request, error)) << error;
  EXPECT_FALSE(IsSet(Nested(options, kVMFileLevelRestore), kInstanceEntity));
  EXPECT_EQ(Int64(Nested(options, kCommonOptions), kRestoreACLs), 0);
}

TEST(RestoreOptionsFromJob, SetTheClientIdOnlyWhenTheJobGivesOne) {
  JobFile job;
  std::string error;
  ASSERT_TRUE(ParseJobText(JobWith(R"("instanceId": 5)"), "/", job, error)) << error;
  nlohmann::json request = BuildRestoreOptionsJson(job);
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.loadJson(request, error)) << error;
  const CNMessageBase& entity = Nested(Nested(options, kVMFileLevelRestore), kInstanceEntity);
  EXPECT_EQ(Int64(entity, kInstanceId), 5);
  EXPECT_FALSE(IsSet(entity, kClientId));
}

}  // namespace

namespace {

// Every example job in the docs (every file of docs/examples with "job" in its name) loads, given
// the variables and files it names; a document that drifts from the reader fails here.
TEST(ExampleJobs, LoadAsDocumented) {
  std::vector<std::string> names;
  for (const auto& file : std::filesystem::directory_iterator(ZQ_EXAMPLES_DIR)) {
    const std::string name = file.path().filename().string();
    if (name.find("job") != std::string::npos && file.path().extension() == ".json") names.push_back(name);
  }
  ASSERT_GE(names.size(), 4u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string text = zqtest::ReadFile(std::string(ZQ_EXAMPLES_DIR) + "/" + name);
    const nlohmann::json document = nlohmann::json::parse(text);
    zqtest::TempDir dir;
    std::vector<std::unique_ptr<zqtest::ScopedEnv>> variables;
    for (const char* credentials : {"serverCredentials", "guestCredentials"}) {
      if (!document.contains(credentials)) continue;
      const nlohmann::json& login = document[credentials];
      if (login.contains("passwordEnv")) {
        variables.push_back(std::make_unique<zqtest::ScopedEnv>(login["passwordEnv"].get<std::string>(), "example-pw"));
      }
      if (login.contains("passwordFile")) {
        const std::string passwordFile = dir.Join(login["passwordFile"].get<std::string>());
        zqtest::WriteFile(passwordFile, "example-pw\n");
        ASSERT_EQ(chmod(passwordFile.c_str(), 0600), 0);
      }
    }
    zqtest::WriteFile(dir.Join("job.json"), text);
    JobFile job;
    std::string error;
    EXPECT_TRUE(LoadJobFile(dir.Join("job.json"), job, error)) << error;
    EXPECT_FALSE(job.vmGuid.empty());
    EXPECT_EQ(DestinationProblem(job.destination, job.unixGuest), "");
  }
}

// The settings example reads as an INI file and names what the README's walk-through sets.
TEST(ExampleSettings, ReadsAsIniWithTheKeysTheReadmeNames) {
  const auto settings = ParseIniText(zqtest::ReadFile(std::string(ZQ_EXAMPLES_DIR) + "/../zqrestore.ini.example"));
  for (const auto& [section, key] : std::vector<std::pair<std::string, std::string>>{{"Base", "dBASEHOME"},
                                                                                   {"VirtualServer", "InventoryFile"},
                                                                                   {"VirtualServer", "AppConfigFile"},
                                                                                   {"JobResults", "Directory"},
                                                                                   {"Log", "Directory"}}) {
    ASSERT_EQ(settings.count(section), 1u) << section;
    EXPECT_EQ(settings.at(section).count(key), 1u) << section << " " << key;
  }
  EXPECT_EQ(settings.at("Base").at("dBASEHOME"), "/usr/libexec/zqrestore") << "the Debian package's base folder";
}

}  // namespace
