// Records that describe a VM, its guest and the hypervisor credentials. They are filled by the
// VM-information component, so their byte layout is part of the component interface; the
// static_asserts at the end hold it. Fields this library never reads are named after their offset.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace VMInfoStructs {

using Text = std::string;

// One guest file-system entry, and the carrier of attributes to set.
struct SGuestFile {
  std::string name;
  int64_t size = 0;
  int32_t type = 0;  // GuestFileType
  int64_t modifyTime = 0;  // seconds since 1970-01-01 00:00 UTC
  int64_t accessTime = 0;
  int64_t createTime = 0;
  int32_t uid = 0;
  int32_t gid = 0;
  int32_t mode = 0;

  SGuestFile() = default;
  SGuestFile(const SGuestFile& other) { _Copy(other); }
  SGuestFile& operator=(const SGuestFile& other) {
    _Copy(other);
    return *this;
  }
  ~SGuestFile() = default;

  // Member-wise copy; copying an object onto itself changes nothing.
  void _Copy(const SGuestFile& other) {
    if (this == &other) return;
    name = other.name;
    size = other.size;
    type = other.type;
    modifyTime = other.modifyTime;
    accessTime = other.accessTime;
    createTime = other.createTime;
    uid = other.uid;
    gid = other.gid;
    mode = other.mode;
  }
};

enum GuestFileType : int32_t {
  GuestFileOther = 0,
  GuestFileDirectory = 1,
  GuestFileRegular = 2,
  GuestFileSymlink = 3,
};

struct SKeyPairInfo {
  Text text0, text32;
};
struct SSecurityGroupInfo {
  Text text0, text32;
};
struct SVMOptionValue {
  Text text0, text32;
};
struct SVMOwnerInfo {
  Text text0;
  int64_t scalar32 = 0;
};
struct SFCAdapterInfo {
  Text text0, text32, text64, text96, text128;
};
struct SVMDiskController {
  Text text0;
  int64_t scalar32 = 0;
  Text text40;
  int64_t scalar72 = 0;
};
struct SVMNetworkCard {
  Text text0, text32, text64, text96, text128, text160, text192;
  int64_t scalar224[3] = {};
  Text text248;
  int64_t scalar280 = 0;
  Text text288, text320;
  int64_t scalar352 = 0;
};
struct SVMFile {
  Text text0;
  int64_t scalar32[4] = {};
  Text text64;
  std::map<Text, Text> map96;
  int64_t scalar144 = 0;
};
struct SChildDisk {
  Text text0;
  int64_t scalar32[4] = {};
  Text text64, text96, text128, text160, text192;
  int64_t scalar224 = 0;
  Text text232;
  int64_t scalar264[4] = {};
  Text text296, text328;
  int64_t scalar360[4] = {};
  Text text392;
  int64_t scalar424 = 0;
  Text text432;
};
struct SDisk {
  Text text0;
  int64_t scalar32 = 0;
  Text text40, text72, text104, text136;
  int64_t scalar168[4] = {};
  std::vector<SChildDisk> childDisks200;
  Text text224;
  int64_t scalar256 = 0;
  Text text264;
  int64_t scalar296 = 0;
  Text text304;
  int64_t scalar336 = 0;
  Text text344, text376, text408, text440, text472, text504;
  int64_t scalar536[2] = {};
  Text text552, text584, text616, text648, text680;
  int64_t scalar712[4] = {};
  Text text744, text776, text808, text840, text872;
  int64_t scalar904[2] = {};
  Text text920;
  int64_t scalar952 = 0;
  Text text960;
  int64_t scalar992 = 0;
  Text text1000, text1032, text1064;
  int64_t scalar1096 = 0;
  Text text1104, text1136, text1168, text1200;
  int64_t scalar1232[2] = {};
  Text text1248, text1280, text1312, text1344, text1376;
  std::vector<Text> list1408;
  Text text1432, text1464, text1496, text1528;
  int64_t scalar1560[2] = {};
  Text text1576, text1608, text1640;
  int64_t scalar1672[2] = {};
};
struct SSnapshot {
  std::vector<Text> list0;
  Text text24, text56, text88;
  int64_t scalar120 = 0;
  Text text128, text160;
  std::vector<SKeyPairInfo> keyPairs192;
  std::vector<SSnapshot> childSnapshots216;
};
struct SFilelayout {
  std::vector<SDisk> disks;
  std::vector<SVMFile> files;
  SFilelayout() = default;
};
struct SGuestOSInfo {
  int32_t int0 = 0;
  Text text8 = "Any", text40 = "Any", text72 = "Any", text104 = "Any";
  Text text136;
  Text text168 = "Any";
  SGuestOSInfo() = default;
};

// Description of one VM. Built by the caller, filled by the component's GetVMInfo.
struct SVMInfo {
  Text vmName;  // 0
  Text text32;
  Text vmGuid;  // 64
  Text text96, text128, text160, text192, text224, text256, text288, text320, text352, text384, text416,
      text448, text480, text512, text544;
  Text toolsDescription;  // 576
  Text text608;
  Text guestIpAddress;  // 640: one address, or several separated by ","
  Text text672;
  Text hostName;  // 704
  Text text736, text768, text800, text832, text864, text896, text928, text960, text992, text1024, text1056;
  bool flag1088 = false;
  Text text1096;
  int32_t int1128 = 0;
  int32_t unset1132;
  int32_t int1136 = 0;
  Text text1144;
  int32_t int1176 = 0;
  int32_t int1180 = -1;
  std::vector<SSnapshot> snapshots1184;
  std::vector<SDisk> disks1208;
  std::vector<SVMDiskController> diskControllers1232;
  std::vector<SVMNetworkCard> networkCards1256;
  SFilelayout fileLayout1280;
  int64_t int1328 = 0;
  int32_t int1336 = 0;
  int64_t int1344 = -1, int1352 = -1, int1360 = -1;
  int64_t int1368 = 0;
  int64_t int1376 = -1, int1384 = -1;
  bool flag1392 = false;
  int64_t int1400 = 0, int1408 = 0;
  int32_t int1416 = 0;
  uint8_t unset1420;
  bool flag1421 = false;
  int32_t unset1424;
  int32_t toolsStatus = 99;  // 1428: guest tools state; 2 and 3 allow a restore on VMware
  int32_t unset1432;
  int32_t powerState = 0;  // 1436: 1 means powered on
  Text text1440;
  int32_t int1472 = -1;
  Text text1480;
  int64_t int1512 = 0, int1520 = 0;
  Text text1528, text1560;
  int64_t int1592 = 0;
  Text text1600;
  bool flag1632 = false, flag1633 = false;
  Text text1640, text1672;
  std::vector<SVMOptionValue> options1704, options1728;
  bool flag1752 = false, flag1753 = false;
  std::vector<Text> list1760;
  std::vector<SKeyPairInfo> keyPairs1784;
  std::vector<SSecurityGroupInfo> securityGroups1808;
  Text text1832, text1864;
  bool flag1896 = false, flag1897 = false, flag1898 = false;
  int32_t int1900 = 0;
  bool flag1904 = false;
  int64_t int1912 = 0;
  uint8_t unset1920;
  bool flag1921 = false;
  int32_t int1924 = 0;
  bool flag1928 = false, flag1929 = false;
  Text text1936, text1968;
  std::vector<SVMOwnerInfo> owners2000;
  Text text2024, text2056, text2088, text2120, text2152;
  std::vector<SVMNetworkCard> networkCards2184;
  Text text2208, text2240;
  std::vector<Text> list2272, list2296;
  SGuestOSInfo guestOS2320;
  Text text2520, text2552;
  int32_t int2584 = 0, int2588 = 0;
  Text text2592;
  int32_t int2624 = 0;
  Text text2632;
  bool flag2664 = false;
  Text text2672, text2704, text2736, text2768;
  int32_t int2800 = 0;
  std::vector<SFCAdapterInfo> fcAdapters2808;
  Text text2832, text2864, text2896, text2928;

  SVMInfo() {}  // leaves the unset* fields without an initial value, as the component expects
};

}  // namespace VMInfoStructs

// One set of hypervisor credentials.
struct SHostCredentials {
  std::string text0;
  std::string serverName;
  std::string userName;
  std::string password;
  int64_t scalar128 = 0;
};
