#include <gtest/gtest.h>

#include <boost/algorithm/string/join.hpp>

#include "hypervisor/GuestPath.h"

namespace {

struct SplitRow {
  GuestOsFamily family;
  const char* path;
  bool accepted;
  const char* names;  // joined with "|"
  size_t fixedDepth;
};

const SplitRow kSplitRows[] = {
    {GuestOsFamily::Unix, "/", true, "", 0},
    {GuestOsFamily::Unix, "/tmp/r/etc/hosts", true, "tmp|r|etc|hosts", 0},
    {GuestOsFamily::Unix, "//tmp/r/", true, "tmp|r", 0},
    {GuestOsFamily::Unix, "/a/./b/../c", true, "a|.|b|..|c", 0},
    {GuestOsFamily::Unix, "/dir:x/back\\slash", true, "dir:x|back\\slash", 0},
    {GuestOsFamily::Unix, "tmp/r", false, "", 0},
    {GuestOsFamily::Unix, "C:\\Restore", false, "", 0},
    {GuestOsFamily::Unix, "", false, "", 0},
    {GuestOsFamily::Windows, "C:\\Restore\\Users\\a.txt", true, "C|Restore|Users|a.txt", 1},
    {GuestOsFamily::Windows, "d:\\Restore\\", true, "D|Restore", 1},
    {GuestOsFamily::Windows, "E:/out/x", true, "E|out|x", 1},
    {GuestOsFamily::Windows, "C:", true, "C", 1},
    {GuestOsFamily::Windows, "C:\\", true, "C", 1},
    {GuestOsFamily::Windows, "C:\\a\\..\\..\\b", true, "C|a|..|..|b", 1},
    {GuestOsFamily::Windows, "C:Restore", false, "", 0},
    {GuestOsFamily::Windows, "\\Restore", false, "", 0},
    {GuestOsFamily::Windows, "\\\\server\\share", false, "", 0},
    {GuestOsFamily::Windows, "/tmp/r", false, "", 0},
    {GuestOsFamily::Windows, "1:\\x", false, "", 0},
};

TEST(GuestPath, SplitsPathsOfEachFamily) {
  for (const SplitRow& row : kSplitRows) {
    SCOPED_TRACE(row.path);
    GuestPathParts parts;
    const VMInfoStatus status = SplitGuestPath(row.family, row.path, parts);
    ASSERT_EQ(status.ok(), row.accepted) << status.text();
    if (!row.accepted) {
      EXPECT_EQ(status.code(), static_cast<int>(VMInfoError::GuestPathRefused));
      EXPECT_NE(status.text().find(std::string("[") + row.path + "]"), std::string::npos) << status.text();
      continue;
    }
    EXPECT_EQ(boost::algorithm::join(parts.names, "|"), row.names);
    EXPECT_EQ(parts.fixedDepth, row.fixedDepth);
  }
}

TEST(GuestPath, RefusesAPathWithANulCharacter) {
  GuestPathParts parts;
  const std::string path("/a\0b", 4);
  EXPECT_FALSE(SplitGuestPath(GuestOsFamily::Unix, path, parts).ok());
}

TEST(GuestPath, TakesEmptyAndBackslashAsTheRootListing) {
  EXPECT_TRUE(IsGuestRootListing(""));
  EXPECT_TRUE(IsGuestRootListing("\\"));
  EXPECT_FALSE(IsGuestRootListing("/"));
  EXPECT_FALSE(IsGuestRootListing("C:\\"));
}

}  // namespace
