// The restore-options message: field addresses, absent objects, and its readable JSON form.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/ReplaceChoices.h"
#include "platform/RestoreOption.h"
#include "support/TestSupport.h"

namespace {

using TMMsg::kFieldCheckAny;
using TMMsg::kTypeCheckAny;

const char* const kFullRequest = R"({
  "vmFileLevelRestore": {
    "restoreToVM": 1,
    "destinationVM": {
      "serverName": "vc1",
      "serverCredentials": {"userName": "admin", "password": "srv-pw"},
      "vmGuid": "g-1",
      "vmName": "vm1",
      "guestCredentials": {"userName": "root", "password": "guest-pw"}
    },
    "instanceEntity": {"instanceId": 7, "clientId": 42}
  },
  "commonOptions": {"restoreACLs": 1, "backupSuffix": ".orig"}
})";

CNMessageBase* Nested(CNMessageBase& parent, short index, short tag) {
  CNMessageBase** slot = parent.getObjectAccessor(true, false, index, tag, kTypeCheckAny, kFieldCheckAny, 0, 0);
  return slot != nullptr ? *slot : nullptr;
}

TEST(RestoreOption, ReadsEveryValueByItsAddress) {
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJson(kFullRequest));
  CNMessageBase* vmRestore = Nested(options, 25, 25);
  ASSERT_NE(vmRestore, nullptr);
  EXPECT_EQ(vmRestore->getint64(2, kTypeCheckAny, kFieldCheckAny), 1);
  CNMessageBase* destination = Nested(*vmRestore, 8, 11);
  ASSERT_NE(destination, nullptr);
  EXPECT_EQ(destination->getstring(1, 1, kTypeCheckAny, kFieldCheckAny), "vc1");
  EXPECT_EQ(destination->getstring(3, 6, kTypeCheckAny, kFieldCheckAny), "g-1");
  EXPECT_EQ(destination->getstring(4, 10, kTypeCheckAny, kFieldCheckAny), "vm1");
  CNMessageBase* server = Nested(*destination, 2, 5);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->getstring(1, 1, kTypeCheckAny, kFieldCheckAny), "admin");
  EXPECT_EQ(server->getpstringobject(2, 5, kTypeCheckAny, kFieldCheckAny).getPlainPassword().str(), "srv-pw");
  CNMessageBase* guest = Nested(*destination, 5, 14);
  ASSERT_NE(guest, nullptr);
  EXPECT_EQ(guest->getstring(1, 1, kTypeCheckAny, kFieldCheckAny), "root");
  EXPECT_EQ(guest->getpstringobject(2, 5, kTypeCheckAny, kFieldCheckAny).getPlainPassword().str(), "guest-pw");
  EXPECT_TRUE(vmRestore->isSet(10, kTypeCheckAny, kFieldCheckAny));
  CNMessageBase* instance = Nested(*vmRestore, 10, 16);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->getint64(0, kTypeCheckAny, kFieldCheckAny), 7);
  EXPECT_TRUE(instance->isSet(7, kTypeCheckAny, kFieldCheckAny));
  EXPECT_EQ(instance->getint64(19, kTypeCheckAny, kFieldCheckAny), 42);
  CNMessageBase* common = Nested(options, 31, 31);
  ASSERT_NE(common, nullptr);
  EXPECT_EQ(common->getint64(22, kTypeCheckAny, kFieldCheckAny), 1);
  EXPECT_EQ(common->getstring(40, 40, kTypeCheckAny, kFieldCheckAny), ".orig");
}

// The one rule for a backup suffix, with its bound on both sides, and for a digest answer.
TEST(ReplaceChoices, BackupSuffixRule) {
  const std::pair<std::string, bool> rows[] = {
      {"~", true},          {".bak", true},          {std::string(31, 'x'), true}, {std::string(32, 'x'), true},
      {std::string(33, 'x'), false}, {"", false},    {"a/b", false},               {"a\\b", false},
      {std::string("a\0b", 3), false}, {"\n", false}, {"\x7f", false},            {".", false},
      {"..", false},        {"...", true},
  };
  for (const auto& [suffix, accepted] : rows) {
    EXPECT_EQ(ReplaceChoices::BackupSuffixProblem(suffix).empty(), accepted) << suffix;
  }
}

TEST(ReplaceChoices, DigestAnswerIsSixtyFourHexDigits) {
  const std::string digest(64, 'a');
  EXPECT_EQ(ReplaceChoices::Sha256FromAnswer(digest), digest);
  EXPECT_EQ(ReplaceChoices::Sha256FromAnswer(std::string(64, 'F')), std::string(64, 'f'));
  EXPECT_EQ(ReplaceChoices::Sha256FromAnswer(digest.substr(1)), "");
  EXPECT_EQ(ReplaceChoices::Sha256FromAnswer(digest + "a"), "");
  EXPECT_EQ(ReplaceChoices::Sha256FromAnswer(digest.substr(1) + "g"), "");
  EXPECT_EQ(ReplaceChoices::Sha256FromAnswer(digest.substr(1) + " "), "");
}

TEST(RestoreOption, AbsentValuesReadAsEmptyAndZero) {
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJson(R"({"vmFileLevelRestore": {"instanceEntity": {}}})"));
  CNMessageBase* vmRestore = Nested(options, 25, 25);
  ASSERT_NE(vmRestore, nullptr);
  EXPECT_EQ(vmRestore->getint64(2, kTypeCheckAny, kFieldCheckAny), 0);
  EXPECT_EQ(Nested(*vmRestore, 8, 11), nullptr);
  EXPECT_EQ(Nested(options, 31, 31), nullptr);
  CNMessageBase* instance = Nested(*vmRestore, 10, 16);
  ASSERT_NE(instance, nullptr);
  EXPECT_FALSE(instance->isSet(7, kTypeCheckAny, kFieldCheckAny));
  EXPECT_EQ(instance->getint64(19, kTypeCheckAny, kFieldCheckAny), 0);
}

TEST(RestoreOption, ReadsThroughAnAbsentObjectYieldEmptiesSilently) {
  zqtest::ScopedLogCapture logs;
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJson(R"({"vmFileLevelRestore": {"restoreToVM": 1}})"));
  const CNMessageBase& destination = Nested(options, 25, 25)->nestedOrEmpty(8, 11);
  const CNMessageBase& credentials = destination.nestedOrEmpty(2, 5);
  EXPECT_EQ(destination.getstring(4, 10, kTypeCheckAny, kFieldCheckAny), "");
  EXPECT_EQ(credentials.getstring(1, 1, kTypeCheckAny, kFieldCheckAny), "");
  EXPECT_TRUE(credentials.getpstringobject(2, 5, kTypeCheckAny, kFieldCheckAny).getPlainPassword().str().empty());
  EXPECT_EQ(credentials.getint64(0, kTypeCheckAny, kFieldCheckAny), 0);
  EXPECT_FALSE(credentials.isSet(1, kTypeCheckAny, kFieldCheckAny));
  EXPECT_TRUE(logs.sink().Records().empty());
}

TEST(RestoreOption, UnknownAddressIsAnErrorOfTheReader) {
  zqtest::ScopedLogCapture logs;
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJson(kFullRequest));
  EXPECT_EQ(Nested(options, 25, 24), nullptr);
  EXPECT_EQ(options.getstring(25, 25, kTypeCheckAny, kFieldCheckAny), "");  // an object, not a string
  ASSERT_EQ(logs.sink().Records().size(), 2u);
  EXPECT_EQ(logs.sink().Records()[0].level, LogLevel::Error);
}

TEST(RestoreOption, AccessorCanCreateAnAbsentObject) {
  TMMsg::RestoreOption options;
  CNMessageBase** slot = options.getObjectAccessor(true, true, 31, 31, kTypeCheckAny, kFieldCheckAny, 0, 0);
  ASSERT_NE(slot, nullptr);
  ASSERT_NE(*slot, nullptr);
  EXPECT_TRUE(options.isSet(31, kTypeCheckAny, kFieldCheckAny));
  EXPECT_EQ((*slot)->getint64(22, kTypeCheckAny, kFieldCheckAny), 0);
}

TEST(RestoreOption, BooleansAreReadAsOneAndZero) {
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJson(R"({"commonOptions": {"restoreACLs": true}})"));
  EXPECT_EQ(Nested(options, 31, 31)->getint64(22, kTypeCheckAny, kFieldCheckAny), 1);
}

struct MalformedRow {
  const char* name;
  const char* json;
  const char* reason;  // part of the one error line
};
void PrintTo(const MalformedRow& row, std::ostream* out) { *out << row.name; }

const std::string kNestedAMillionLevels = R"({"commonOptions": )" + std::string(1000000, '[');
const std::string kLargerThanAMegabyte = R"({"commonOptions": {}, "pad": ")" + std::string(1024 * 1024, ' ') + "\"}";

const MalformedRow kMalformed[] = {
    {"NotJson", R"({"vmFileLevelRestore": )", "not valid JSON"},
    {"NestedAMillionLevels", kNestedAMillionLevels.c_str(), "nested deeper than 64 levels"},
    {"LargerThanAMegabyte", kLargerThanAMegabyte.c_str(), "larger than 1048576 bytes"},
    {"NotAnObject", R"([1, 2])", "must be a JSON object"},
    {"UnknownTopLevelField", R"({"vmFileLevelRestor": {}})", "unknown field [vmFileLevelRestor] in [restoreOptions]"},
    {"UnknownNestedField", R"({"vmFileLevelRestore": {"destinationVM": {"vmUuid": "x"}}})",
     "unknown field [vmUuid] in [destinationVM]"},
    {"StringWhereIntegerBelongs", R"({"vmFileLevelRestore": {"restoreToVM": "1"}})",
     "field [restoreToVM] in [vmFileLevelRestore] must be an integer"},
    {"IntegerPastSigned64Bits", R"({"vmFileLevelRestore": {"instanceEntity": {"instanceId": 9223372036854775808}}})",
     "field [instanceId] in [instanceEntity] must be an integer"},
    {"IntegerWhereStringBelongs", R"({"vmFileLevelRestore": {"destinationVM": {"vmName": 5}}})",
     "field [vmName] in [destinationVM] must be a string"},
    {"StringWhereObjectBelongs", R"({"commonOptions": "acl"})", "field [commonOptions] in [restoreOptions] must be an object"},
    {"NumberWherePasswordBelongs",
     R"({"vmFileLevelRestore": {"destinationVM": {"guestCredentials": {"password": 1234}}}})",
     "field [password] in [credentials] must be a password string"},
};

class MalformedRestoreOption : public ::testing::TestWithParam<MalformedRow> {};

TEST_P(MalformedRestoreOption, FailsWithOneErrorLineAndLeavesTheMessageEmpty) {
  zqtest::ScopedLogCapture logs;
  TMMsg::RestoreOption options;
  EXPECT_FALSE(options.LoadFromJson(GetParam().json));
  ASSERT_EQ(logs.sink().Records().size(), 1u);
  EXPECT_EQ(logs.sink().Records()[0].level, LogLevel::Error);
  EXPECT_NE(logs.sink().Records()[0].text.find(GetParam().reason), std::string::npos) << logs.sink().Records()[0].text;
  EXPECT_FALSE(options.isSet(25, kTypeCheckAny, kFieldCheckAny));
  EXPECT_FALSE(options.isSet(31, kTypeCheckAny, kFieldCheckAny));
}

INSTANTIATE_TEST_SUITE_P(RestoreOption, MalformedRestoreOption, ::testing::ValuesIn(kMalformed),
                         [](const ::testing::TestParamInfo<MalformedRow>& info) { return info.param.name; });

TEST(RestoreOption, FailedLoadDropsWhatAnEarlierLoadHeld) {
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJson(kFullRequest));
  zqtest::ScopedLogCapture logs;
  EXPECT_FALSE(options.LoadFromJson(R"({"bogus": 1})"));
  EXPECT_FALSE(options.isSet(25, kTypeCheckAny, kFieldCheckAny));
}

TEST(RestoreOption, PasswordNeverReachesTheErrorLine) {
  zqtest::ScopedLogCapture logs;
  TMMsg::RestoreOption options;
  EXPECT_FALSE(options.LoadFromJson(
      R"({"vmFileLevelRestore": {"destinationVM": {"guestCredentials": {"password": "Hidden-77", "x": 1}}}})"));
  EXPECT_FALSE(logs.sink().AnyContains("Hidden-77"));
}

TEST(RestoreOption, LoadsFromAFile) {
  zqtest::TempDir dir;
  zqtest::WriteFile(dir.Join("options.json"), kFullRequest);
  TMMsg::RestoreOption options;
  ASSERT_TRUE(options.LoadFromJsonFile(dir.Join("options.json")));
  EXPECT_EQ(Nested(options, 25, 25)->getint64(2, kTypeCheckAny, kFieldCheckAny), 1);
}

TEST(RestoreOption, MissingFileFailsWithOneErrorLine) {
  zqtest::ScopedLogCapture logs;
  zqtest::TempDir dir;
  TMMsg::RestoreOption options;
  EXPECT_FALSE(options.LoadFromJsonFile(dir.Join("absent.json")));
  ASSERT_EQ(logs.sink().Records().size(), 1u);
  EXPECT_EQ(logs.sink().Records()[0].level, LogLevel::Error);
}

}  // namespace
