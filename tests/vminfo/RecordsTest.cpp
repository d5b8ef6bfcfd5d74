#include <gtest/gtest.h>

#include "guestapi/GuestTypes.h"
#include "vminfo/VMInfoLayout.h"

namespace {

TEST(Records, DefaultGuestContextIsEmpty) {
  GuestCtx ctx;
  for (const std::string* text : {&ctx.vmName, &ctx.vmGuid, &ctx.serverName, &ctx.userName, &ctx.password}) {
    EXPECT_TRUE(text->empty());
  }
  EXPECT_FALSE(ctx.flagA);
  EXPECT_FALSE(ctx.flagB);
}

TEST(Records, LoginAssignmentCopiesAddressList) {
  GuestLoginCred source;
  source.userName = "u";
  source.password = "p";
  source.ipAddress = "10.0.0.1,10.0.0.2";
  GuestLoginCred target;
  target = source;
  EXPECT_EQ(target.userName, "u");
  EXPECT_EQ(target.password, "p");
  EXPECT_EQ(target.ipAddress, "10.0.0.1,10.0.0.2");
}

TEST(Records, GuestFileDefaultsAndSelfCopy) {
  VMInfoStructs::SGuestFile file;
  EXPECT_EQ(file.name, "");
  EXPECT_EQ(file.size, 0);
  EXPECT_EQ(file.type, VMInfoStructs::GuestFileOther);
  EXPECT_EQ(file.modifyTime + file.accessTime + file.createTime, 0);
  EXPECT_EQ(file.uid + file.gid + file.mode, 0);
  file.name = "a name long enough to live on the heap, not in the small buffer";
  file.size = 5;
  file.mode = 0755;
  file._Copy(file);
  EXPECT_EQ(file.name, "a name long enough to live on the heap, not in the small buffer");
  EXPECT_EQ(file.size, 5);
  VMInfoStructs::SGuestFile copy(file);
  EXPECT_EQ(copy.name, file.name);
  EXPECT_EQ(copy.mode, 0755);
}

TEST(Records, FreshVMInfoReadsAsNotPoweredOn) {
  VMInfoStructs::SVMInfo info;
  EXPECT_EQ(info.toolsStatus, 99);
  EXPECT_EQ(info.powerState, 0);
  EXPECT_EQ(info.int1180, -1);
  EXPECT_EQ(info.int1344, -1);
  EXPECT_EQ(info.int1472, -1);
  EXPECT_TRUE(info.vmName.empty() && info.guestIpAddress.empty() && info.hostName.empty());
}

TEST(Records, GuestOSInfoDefaultsToAnyButTheFifthText) {
  VMInfoStructs::SGuestOSInfo os;
  EXPECT_EQ(os.int0, 0);
  EXPECT_EQ(os.text8, "Any");
  EXPECT_EQ(os.text40, "Any");
  EXPECT_EQ(os.text72, "Any");
  EXPECT_EQ(os.text104, "Any");
  EXPECT_EQ(os.text136, "");
  EXPECT_EQ(os.text168, "Any");
}

}  // namespace
