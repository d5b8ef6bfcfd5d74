// Compile-time checks of the component's record layout (included by every unit that builds the
// records, so a change that breaks the layout does not compile).
#pragma once

#include <cstddef>

#include "vminfo/VMInfoStructs.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
namespace VMInfoStructs {
static_assert(sizeof(std::string) == 32 && sizeof(std::vector<int>) == 24, "LP64 libstdc++ layout");
static_assert(sizeof(SVMInfo) == 2960, "SVMInfo layout");
static_assert(offsetof(SVMInfo, vmName) == 0, "SVMInfo layout");
static_assert(offsetof(SVMInfo, vmGuid) == 64, "SVMInfo layout");
static_assert(offsetof(SVMInfo, toolsDescription) == 576, "SVMInfo layout");
static_assert(offsetof(SVMInfo, guestIpAddress) == 640, "SVMInfo layout");
static_assert(offsetof(SVMInfo, hostName) == 704, "SVMInfo layout");
static_assert(offsetof(SVMInfo, flag1088) == 1088, "SVMInfo layout");
static_assert(offsetof(SVMInfo, text1096) == 1096, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1180) == 1180, "SVMInfo layout");
static_assert(offsetof(SVMInfo, snapshots1184) == 1184, "SVMInfo layout");
static_assert(offsetof(SVMInfo, fileLayout1280) == 1280, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1328) == 1328, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1384) == 1384, "SVMInfo layout");
static_assert(offsetof(SVMInfo, unset1420) == 1420, "SVMInfo layout");
static_assert(offsetof(SVMInfo, flag1421) == 1421, "SVMInfo layout");
static_assert(offsetof(SVMInfo, toolsStatus) == 1428, "SVMInfo layout");
static_assert(offsetof(SVMInfo, powerState) == 1436, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1472) == 1472, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1592) == 1592, "SVMInfo layout");
static_assert(offsetof(SVMInfo, flag1633) == 1633, "SVMInfo layout");
static_assert(offsetof(SVMInfo, options1704) == 1704, "SVMInfo layout");
static_assert(offsetof(SVMInfo, list1760) == 1760, "SVMInfo layout");
static_assert(offsetof(SVMInfo, flag1898) == 1898, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1900) == 1900, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1912) == 1912, "SVMInfo layout");
static_assert(offsetof(SVMInfo, unset1920) == 1920, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int1924) == 1924, "SVMInfo layout");
static_assert(offsetof(SVMInfo, owners2000) == 2000, "SVMInfo layout");
static_assert(offsetof(SVMInfo, networkCards2184) == 2184, "SVMInfo layout");
static_assert(offsetof(SVMInfo, guestOS2320) == 2320, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int2588) == 2588, "SVMInfo layout");
static_assert(offsetof(SVMInfo, flag2664) == 2664, "SVMInfo layout");
static_assert(offsetof(SVMInfo, int2800) == 2800, "SVMInfo layout");
static_assert(offsetof(SVMInfo, fcAdapters2808) == 2808, "SVMInfo layout");
static_assert(offsetof(SVMInfo, text2928) == 2928, "SVMInfo layout");
static_assert(sizeof(SGuestOSInfo) == 200, "SGuestOSInfo layout");
static_assert(sizeof(SFilelayout) == 48, "SFilelayout layout");
static_assert(sizeof(SSnapshot) == 240, "SSnapshot layout");
static_assert(sizeof(SDisk) == 1688, "SDisk layout");
static_assert(offsetof(SDisk, list1408) == 1408, "SDisk layout");
static_assert(sizeof(SChildDisk) == 464, "SChildDisk layout");
static_assert(sizeof(SVMDiskController) == 80, "SVMDiskController layout");
static_assert(sizeof(SVMNetworkCard) == 360, "SVMNetworkCard layout");
static_assert(sizeof(SVMOptionValue) == 64, "SVMOptionValue layout");
static_assert(sizeof(SKeyPairInfo) == 64, "SKeyPairInfo layout");
static_assert(sizeof(SSecurityGroupInfo) == 64, "SSecurityGroupInfo layout");
static_assert(sizeof(SVMOwnerInfo) == 40, "SVMOwnerInfo layout");
static_assert(sizeof(SFCAdapterInfo) == 160, "SFCAdapterInfo layout");
static_assert(sizeof(SVMFile) == 152, "SVMFile layout");
}  // namespace VMInfoStructs
static_assert(sizeof(SHostCredentials) == 136, "SHostCredentials layout");
static_assert(offsetof(SHostCredentials, serverName) == 32, "SHostCredentials layout");
static_assert(offsetof(SHostCredentials, userName) == 64, "SHostCredentials layout");
static_assert(offsetof(SHostCredentials, password) == 96, "SHostCredentials layout");
#pragma GCC diagnostic pop
