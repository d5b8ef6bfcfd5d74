// The host's job records and per-entry header, with the byte layout the host uses.
#pragma once

#include <cstddef>
#include <cstdint>

typedef unsigned long long u_longlong_t;

struct FSRInitData {
  int64_t initIdA = 0;      // first id of the staging path; first argument of vsAppMgr::setAppId
  uint64_t initAppId = 0;   // application id of the VM's data
  int64_t reserved16 = 0;
  uint64_t initIdB = 0;     // second id of the staging path
  int64_t reserved32[4] = {};
  int64_t initIdC = 0;      // third id of the staging path
  int64_t reserved72[7] = {};
};

struct FSRInitDataVer2 {
  int64_t reserved0[3] = {};
  int64_t instanceType = 0;  // VirtualServerInstanceType of the job
  int64_t reserved32[4] = {};
};

struct FSRSetParams {
  char* destinationPath = nullptr;  // released with free()
  int64_t reserved8 = 0;
  uint64_t restoreFlags = 0;
  int64_t reserved24[5] = {};
};

constexpr uint64_t kRestoreFlagOverwriteAlways = 0x4;
// Bits of our own, far from the host's: a guest file of the staged file's size is replaced or kept
// by its SHA-256 digest instead of its time (checksum); a guest file that is replaced is first
// kept beside it under its name and the backup suffix (backup, commonOptions.backupSuffix).
constexpr uint64_t kRestoreFlagChecksum = 1ULL << 32;
constexpr uint64_t kRestoreFlagBackup = 1ULL << 33;

struct CXFileHeader {
  int64_t reserved0[2] = {};
  int64_t mode = 0;
  int64_t uid = 0;
  int64_t gid = 0;
  int64_t reserved40[3] = {};
  int64_t mtime = 0;
  int64_t ctime = 0;
  int64_t reserved80[2] = {};
};

static_assert(offsetof(FSRInitData, initIdA) == 0, "host layout");
static_assert(offsetof(FSRInitData, initAppId) == 8, "host layout");
static_assert(offsetof(FSRInitData, initIdB) == 24, "host layout");
static_assert(offsetof(FSRInitData, initIdC) == 64, "host layout");
static_assert(offsetof(FSRInitDataVer2, instanceType) == 24, "host layout");
static_assert(offsetof(FSRSetParams, destinationPath) == 0, "host layout");
static_assert(offsetof(FSRSetParams, restoreFlags) == 16, "host layout");
static_assert(offsetof(CXFileHeader, mode) == 16, "host layout");
static_assert(offsetof(CXFileHeader, uid) == 24, "host layout");
static_assert(offsetof(CXFileHeader, gid) == 32, "host layout");
static_assert(offsetof(CXFileHeader, mtime) == 64, "host layout");
static_assert(offsetof(CXFileHeader, ctime) == 72, "host layout");
