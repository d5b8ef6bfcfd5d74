#include <gtest/gtest.h>

#include "host/MessageCatalogue.h"
#include "platform/JobMessageCodes.h"

namespace {

using namespace JobMessageCodes;

struct CatalogueRow {
  const char* name;
  int code;
  std::vector<std::string> arguments;
  const char* expected;
  const char* cause = "";  // what the job's reason says failed
};

void PrintTo(const CatalogueRow& row, std::ostream* out) { *out << row.name; }

class MessageCatalogueRenders : public testing::TestWithParam<CatalogueRow> {};

TEST_P(MessageCatalogueRenders, TheCodeWithItsArguments) {
  EXPECT_EQ(MessageCatalogue::Render(GetParam().code, GetParam().arguments, GetParam().cause), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MessageCatalogueRenders,
    testing::Values(
        CatalogueRow{"VmNotFound", kMsgVMNotFound, {"web01"},
                     "Virtual machine [web01] was not found. Check the VM name and GUID in the job."},
        CatalogueRow{"NotPoweredOn", kMsgVMNotPoweredOn, {"web01"},
                     "Virtual machine [web01] is not powered on. Power it on and run the restore again."},
        CatalogueRow{"NoVMwareTools", kMsgNoVMwareTools, {"web01"},
                     "Virtual machine [web01] does not have VMware tools installed and running. Restore to the VM "
                     "cannot continue."},
        CatalogueRow{"GuestLoginFailed", kMsgGuestLoginFailed, {"web01", "root"},
                     "Cannot connect to the guest of virtual machine [web01] as user [root]. Check the guest "
                     "credentials."},
        // One advice per cause: an unreachable guest is not a matter of credentials.
        CatalogueRow{"GuestLoginFailedUnreachable", kMsgGuestLoginFailed, {"web01", "root"},
                     "Cannot connect to the guest of virtual machine [web01] as user [root]. The guest could not be "
                     "reached: check its address and port, that it is running, and that this proxy can reach it.",
                     "guest unreachable"},
        CatalogueRow{"GuestLoginFailedTimedOut", kMsgGuestLoginFailed, {"web01", "root"},
                     "Cannot connect to the guest of virtual machine [web01] as user [root]. The guest did not answer "
                     "in time: check that it is running and not overloaded.",
                     "timed out"},
        CatalogueRow{"GuestLoginFailedPermissionDenied", kMsgGuestLoginFailed, {"web01", "root"},
                     "Cannot connect to the guest of virtual machine [web01] as user [root]. Check the guest "
                     "credentials.",
                     "permission denied"},
        CatalogueRow{"HostOsNotSupported", kMsgHostOSNotSupported, {"web01", "host runs 2008"},
                     "The host operating system of virtual machine [web01] is not supported for file-level restore "
                     "(Windows 2012 R2 or later is needed): host runs 2008"},
        CatalogueRow{"GuestOsNotSupported", kMsgGuestOSNotSupported, {"web01", "guest runs 2003"},
                     "The guest operating system of virtual machine [web01] is not supported for file-level restore "
                     "(Windows 2008 R2 SP1 or later is needed): guest runs 2003"},
        CatalogueRow{"ConnectionRefusedWithReason", kMsgConnectFailedWithReason, {"vc1", "admin", "bad password"},
                     "The connection to server [vc1] as user [admin] was refused: bad password"},
        CatalogueRow{"ConnectionRefused", kMsgConnectFailed, {"vc1", "admin"},
                     "The connection to server [vc1] as user [admin] was refused. Check the server name and "
                     "credentials."},
        CatalogueRow{"SentenceAsItIs", kMsgSentence, {"Virtual machine [x] guest service is 100%1 broken."},
                     "Virtual machine [x] guest service is 100%1 broken."},
        CatalogueRow{"UnknownCodeKeepsItsArguments", 0x12345678, {"a", "b"}, "Message 0x12345678: [a], [b]"},
        CatalogueRow{"UnknownCodeWithoutArguments", 0x7, {}, "Message 0x00000007"},
        CatalogueRow{"TooFewArgumentsShowsWhatCame", kMsgGuestLoginFailed, {"web01"}, "Message 0x5B0000C3: [web01]"},
        CatalogueRow{"ExtraArgumentsAreShownToo", kMsgVMNotPoweredOn, {"web01", "extra"},
                     "Virtual machine [web01] is not powered on. Power it on and run the restore again. [extra]"}),
    [](const testing::TestParamInfo<CatalogueRow>& row) { return std::string(row.param.name); });

TEST(MessageCatalogue, WordsEveryCodeThePlugInPostsWithAllItsArguments) {
  for (const JobMessageCode& posted : kAllCodes) {
    const std::string text = MessageCatalogue::Template(posted.code);
    EXPECT_FALSE(text.empty()) << posted.name;
    for (int argument = 1; argument <= posted.argumentCount; ++argument) {
      EXPECT_NE(text.find("%" + std::to_string(argument)), std::string::npos) << posted.name << " %" << argument;
    }
    EXPECT_EQ(text.find("%" + std::to_string(posted.argumentCount + 1)), std::string::npos) << posted.name;
  }
  EXPECT_TRUE(MessageCatalogue::Template(0x1).empty());
}

}  // namespace
