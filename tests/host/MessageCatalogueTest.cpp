#include <gtest/gtest.h>

#include "host/MessageCatalogue.h"

namespace {

struct CatalogueRow {
  const char* name;
  int code;
  std::vector<std::string> arguments;
  const char* expected;
};

void PrintTo(const CatalogueRow& row, std::ostream* out) { *out << row.name; }

class MessageCatalogueRenders : public testing::TestWithParam<CatalogueRow> {};

TEST_P(MessageCatalogueRenders, TheCodeWithItsArguments) {
  EXPECT_EQ(MessageCatalogue::Render(GetParam().code, GetParam().arguments), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MessageCatalogueRenders,
    testing::Values(
        CatalogueRow{"VmNotFound", 0x5B0000C0, {"web01"},
                     "Virtual machine [web01] was not found. Check the VM name and GUID in the job."},
        CatalogueRow{"NotPoweredOn", 0x5B0000C1, {"web01"},
                     "Virtual machine [web01] is not powered on. Power it on and run the restore again."},
        CatalogueRow{"NoVMwareTools", 0x5B0000C2, {"web01"},
                     "Virtual machine [web01] does not have VMware tools installed and running. Restore to the VM "
                     "cannot continue."},
        CatalogueRow{"GuestLoginFailed", 0x5B0000C3, {"web01", "root"},
                     "Cannot connect to the guest of virtual machine [web01] as user [root]. Check the guest "
                     "credentials."},
        CatalogueRow{"HostOsNotSupported", 0x5B000129, {"web01", "host runs 2008"},
                     "The host operating system of virtual machine [web01] is not supported for file-level restore "
                     "(Windows 2012 R2 or later is needed): host runs 2008"},
        CatalogueRow{"GuestOsNotSupported", 0x5B00012A, {"web01", "guest runs 2003"},
                     "The guest operating system of virtual machine [web01] is not supported for file-level restore "
                     "(Windows 2008 R2 SP1 or later is needed): guest runs 2003"},
        CatalogueRow{"ConnectionRefusedWithReason", 0x5B00008B, {"vc1", "admin", "bad password"},
                     "The connection to server [vc1] as user [admin] was refused: bad password"},
        CatalogueRow{"ConnectionRefused", 0x5B000032, {"vc1", "admin"},
                     "The connection to server [vc1] as user [admin] was refused. Check the server name and "
                     "credentials."},
        CatalogueRow{"SentenceAsItIs", 0x4800006A, {"Virtual machine [x] guest service is 100%1 broken."},
                     "Virtual machine [x] guest service is 100%1 broken."},
        CatalogueRow{"UnknownCodeKeepsItsArguments", 0x12345678, {"a", "b"}, "Message 0x12345678: [a], [b]"},
        CatalogueRow{"UnknownCodeWithoutArguments", 0x7, {}, "Message 0x00000007"},
        CatalogueRow{"TooFewArgumentsShowsWhatCame", 0x5B0000C3, {"web01"}, "Message 0x5B0000C3: [web01]"},
        CatalogueRow{"ExtraArgumentsAreShownToo", 0x5B0000C1, {"web01", "extra"},
                     "Virtual machine [web01] is not powered on. Power it on and run the restore again. [extra]"}),
    [](const testing::TestParamInfo<CatalogueRow>& row) { return std::string(row.param.name); });

TEST(MessageCatalogue, KnowsEveryCodeThePlugInPosts) {
  for (int code : {0x5B0000C0, 0x5B0000C1, 0x5B0000C2, 0x5B0000C3, 0x5B000129, 0x5B00012A, 0x5B00008B, 0x5B000032,
                   0x4800006A}) {
    EXPECT_FALSE(MessageCatalogue::Template(code).empty()) << std::hex << code;
  }
  EXPECT_TRUE(MessageCatalogue::Template(0x1).empty());
}

}  // namespace
