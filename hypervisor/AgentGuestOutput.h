// What the guest's coreutils and findutils print, read back into records: stat and find are run
// with formats whose every field ends in a NUL, so names pass whole, line breaks included. Also the
// splitting of Unix guest paths. All of it is outside input and is read strictly: a record of
// another shape is a failure, never a guess.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hypervisor/VMInfoStatus.h"
#include "vminfo/VMInfoStructs.h"

// Facts about one guest entry, as stat reports them without following a final link.
struct GuestEntryFacts {
  bool exists = false;
  uint32_t rawMode = 0;  // st_mode: type and permission bits
  uint32_t uid = 0;
  uint32_t gid = 0;
  int64_t size = 0;
  int64_t accessTime = 0;
  int64_t modifyTime = 0;
  int64_t birthTime = 0;  // 0 when the guest's file system does not keep it

  bool IsFolder() const;
  bool IsLink() const;
  bool IsRegularFile() const;
};

// The stat argument that prints, per path: raw mode (hex), owner, group, size, access,
// modification and birth time, the name.
constexpr const char* kGuestStatFormat = "--printf=%f\\0%u\\0%g\\0%s\\0%X\\0%Y\\0%W\\0%n\\0";
// The find -printf format that prints, per folder entry: type letter, mode bits (octal), owner,
// group, size, access, modification and birth time, the name.
constexpr const char* kGuestFindFormat = "%y\\0%m\\0%U\\0%G\\0%s\\0%A@\\0%T@\\0%B@\\0%f\\0";
constexpr size_t kFindFieldCount = 9;  // fields per record of kGuestFindFormat

// The names of an absolute Unix path. Empty names (doubled slashes) are skipped; "." and ".." are
// refused, so the path means what it says.
VMInfoStatus SplitUnixGuestPath(const std::string& path, std::vector<std::string>& names);
// "/" followed by the first `count` names joined with "/"; "/" for none.
std::string JoinUnixGuestPath(const std::vector<std::string>& names, size_t count);

// Reads stat's records for `paths` (asked in that order; stat leaves out the missing ones) into
// `facts`, one per path; a missing path keeps exists == false.
VMInfoStatus ReadStatOutput(const std::string& out, const std::vector<std::string>& paths,
                            std::vector<GuestEntryFacts>& facts);
// Whether stat failed only because paths do not exist: every line of its error output is one of
// the two messages for a missing name (the programs run with LC_ALL=C).
bool OnlyMissingNames(const std::string& err);
// Appends find's records as guest file records (folders only, when asked). A record of type "R"
// names a stale temporary file the listing program removed: its name goes to `removed` (when
// given), never to the entries.
VMInfoStatus ReadFindOutput(const std::string& out, bool foldersOnly, std::vector<VMInfoStructs::SGuestFile>& entries,
                            std::vector<std::string>* removed = nullptr);
VMInfoStructs::SGuestFile ToGuestFile(const std::string& name, const GuestEntryFacts& facts);
