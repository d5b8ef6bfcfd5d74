#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "guestapi/ZQVMInfoGuestAPI.h"
#include "support/TestSupport.h"

namespace {

using ::testing::_;
using ::testing::Ref;
using ::testing::Return;
using ::testing::StrictMock;
using VMInfoStructs::SGuestFile;

class MockVMInfo : public IVMInfo {
 public:
  MOCK_METHOD(int, ConnectToServer,
              (const std::string&, const std::string&, const std::string&, std::vector<SHostCredentials>&), (override));
  MOCK_METHOD(VirtualServerInstanceType, GetInstanceType, (), (override));
  MOCK_METHOD(int, GetLastErrorCode, (), (override));
  MOCK_METHOD(std::string, GetLastErrorString, (), (override));
  MOCK_METHOD(int, GetVMInfo,
              (const std::string&, const std::string&, const std::string&, int64_t, int, VMInfoStructs::SVMInfo*),
              (override));
  MOCK_METHOD(int, BrowseGuest, (const GuestCtx&, const std::string&, std::vector<SGuestFile>&), (override));
  MOCK_METHOD(int, BrowseGuestFolders, (const GuestCtx&, const std::string&, std::vector<SGuestFile>&), (override));
  MOCK_METHOD(int, CreateGuestFolder, (const GuestCtx&, const std::string&), (override));
  MOCK_METHOD(int, CopyFileToGuest, (const GuestCtx&, const std::string&, const std::string&, bool), (override));
  MOCK_METHOD(int, CopyDirectoryToGuest, (const GuestCtx&, const std::string&, const std::string&, bool), (override));
  MOCK_METHOD(int, CopyFileFromGuest, (const GuestCtx&, const std::string&, const std::string&), (override));
  MOCK_METHOD(int, ChangeGuestFileAttributes, (const GuestCtx&, const std::string&, const SGuestFile&), (override));
  MOCK_METHOD(int, PrepareGuestForFileCopy, (const GuestCtx&), (override));
  MOCK_METHOD(int, ExecuteScriptInGuest, (const GuestCtx&, const std::string&, int), (override));
  MOCK_METHOD(int, ExecuteProcessInGuest,
              (const GuestCtx&, const std::string&, const std::string&, const std::string&, int, int&), (override));
  MOCK_METHOD(int, IsProcessRunningInGuest, (const GuestCtx&, const std::string&, long&, bool&), (override));
  MOCK_METHOD(int, GetGuestTempFolder, (const GuestCtx&, std::string&), (override));
  MOCK_METHOD(int, DeleteDirectoryInGuest, (const GuestCtx&, std::string&), (override));
};

// The caller's objects of one call; every forwarded operation must receive these very objects.
struct CallerObjects {
  GuestCtx ctx;
  std::string path = "C:\\Restore\\a.txt";
  std::string other = "/stage/a.txt";
  std::string third = "arguments";
  std::vector<SGuestFile> entries;
  SGuestFile attributes;
  int exitCode = 5;
  long processId = 77;
  bool running = true;
  std::string folder;
};

struct ForwardingRow {
  const char* operation;
  // Sets the expectation on the component, returning `result`.
  std::function<void(StrictMock<MockVMInfo>&, CallerObjects&, int result)> expect;
  std::function<int(ZQVMInfoGuestAPI&, CallerObjects&)> call;
};

std::vector<ForwardingRow> ForwardingRows() {
  return {
      {"BrowseGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, BrowseGuest(Ref(o.ctx), Ref(o.path), Ref(o.entries))).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.BrowseGuest(o.ctx, o.path, o.entries); }},
      {"BrowseGuestFolders",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, BrowseGuestFolders(Ref(o.ctx), Ref(o.path), Ref(o.entries))).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.BrowseGuestFolders(o.ctx, o.path, o.entries); }},
      {"CreateGuestFolder",
       [](auto& vm, auto& o, int r) { EXPECT_CALL(vm, CreateGuestFolder(Ref(o.ctx), Ref(o.path))).WillOnce(Return(r)); },
       [](auto& ch, auto& o) { return ch.CreateGuestFolder(o.ctx, o.path); }},
      {"CopyFileToGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, CopyFileToGuest(Ref(o.ctx), Ref(o.other), Ref(o.path), true)).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.CopyFileToGuest(o.ctx, o.other, o.path, true); }},
      {"CopyDirectoryToGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, CopyDirectoryToGuest(Ref(o.ctx), Ref(o.other), Ref(o.path), false)).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.CopyDirectoryToGuest(o.ctx, o.other, o.path, false); }},
      {"CopyFileFromGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, CopyFileFromGuest(Ref(o.ctx), Ref(o.path), Ref(o.other))).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.CopyFileFromGuest(o.ctx, o.path, o.other); }},
      {"ChangeGuestFileAttributes",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, ChangeGuestFileAttributes(Ref(o.ctx), Ref(o.path), Ref(o.attributes))).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.ChangeGuestFileAttributes(o.ctx, o.path, o.attributes); }},
      {"PrepareGuestForFileCopy",
       [](auto& vm, auto& o, int r) { EXPECT_CALL(vm, PrepareGuestForFileCopy(Ref(o.ctx))).WillOnce(Return(r)); },
       [](auto& ch, auto& o) { return ch.PrepareGuestForFileCopy(o.ctx); }},
      {"ExecuteScriptInGuest (three arguments)",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, ExecuteScriptInGuest(Ref(o.ctx), Ref(o.path), 42)).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.ExecuteScriptInGuest(o.ctx, o.path, 42); }},
      {"ExecuteProcessInGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, ExecuteProcessInGuest(Ref(o.ctx), Ref(o.path), Ref(o.third), Ref(o.other), 9, Ref(o.exitCode)))
             .WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.ExecuteProcessInGuest(o.ctx, o.path, o.third, o.other, 9, o.exitCode); }},
      {"IsProcessRunningInGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, IsProcessRunningInGuest(Ref(o.ctx), Ref(o.path), Ref(o.processId), Ref(o.running)))
             .WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.IsProcessRunningInGuest(o.ctx, o.path, o.processId, o.running); }},
      {"GetGuestTempFolder",
       [](auto& vm, auto& o, int r) { EXPECT_CALL(vm, GetGuestTempFolder(Ref(o.ctx), Ref(o.folder))).WillOnce(Return(r)); },
       [](auto& ch, auto& o) { return ch.GetGuestTempFolder(o.ctx, o.folder); }},
      {"DeleteDirectoryInGuest",
       [](auto& vm, auto& o, int r) {
         EXPECT_CALL(vm, DeleteDirectoryInGuest(Ref(o.ctx), Ref(o.path))).WillOnce(Return(r));
       },
       [](auto& ch, auto& o) { return ch.DeleteDirectoryInGuest(o.ctx, o.path); }},
  };
}

TEST(NativeChannel, ForwardsEveryGuestOperationWithTheCallersObjectsAndResult) {
  for (const ForwardingRow& row : ForwardingRows()) {
    SCOPED_TRACE(row.operation);
    for (int result : {1, 0, 7}) {
      StrictMock<MockVMInfo> vm;
      ZQVMInfoGuestAPI channel(&vm);
      CallerObjects objects;
      row.expect(vm, objects, result);
      EXPECT_EQ(row.call(channel, objects), result);
      ::testing::Mock::VerifyAndClearExpectations(&vm);
    }
  }
}

TEST(NativeChannel, LetsTheComponentFillTheCallersObjects) {
  StrictMock<MockVMInfo> vm;
  ZQVMInfoGuestAPI channel(&vm);
  CallerObjects o;
  o.entries.resize(1);
  EXPECT_CALL(vm, BrowseGuest(Ref(o.ctx), Ref(o.path), Ref(o.entries)))
      .WillOnce([](const GuestCtx&, const std::string&, std::vector<SGuestFile>& entries) {
        entries.emplace_back();
        entries.back().name = "a.txt";
        return 1;
      });
  EXPECT_CALL(vm, GetGuestTempFolder(Ref(o.ctx), Ref(o.folder))).WillOnce([](const GuestCtx&, std::string& folder) {
    folder = "/tmp";
    return 1;
  });
  ASSERT_EQ(channel.BrowseGuest(o.ctx, o.path, o.entries), 1);
  ASSERT_EQ(channel.GetGuestTempFolder(o.ctx, o.folder), 1);
  ASSERT_EQ(o.entries.size(), 2u);
  EXPECT_EQ(o.entries[1].name, "a.txt");
  EXPECT_EQ(o.folder, "/tmp");
}

TEST(NativeChannel, DoesNotForwardTheSevenArgumentScript) {
  StrictMock<MockVMInfo> vm;  // any call on the component fails the test
  ZQVMInfoGuestAPI channel(&vm);
  GuestCtx ctx;
  int exitCode = 12;
  EXPECT_EQ(channel.ExecuteScriptInGuest(ctx, "script", "bash", "-x", 30, "/tmp/out", exitCode), 0);
  EXPECT_EQ(exitCode, 0);
}

TEST(NativeChannel, ReportsTheComponentsLastErrorText) {
  StrictMock<MockVMInfo> vm;
  ZQVMInfoGuestAPI channel(&vm);
  channel.SetLastGuestApiErrorDetails("the channel's own text");
  EXPECT_CALL(vm, GetLastErrorString()).WillOnce(Return("Guest path [C:\\x] does not exist"));
  EXPECT_EQ(channel.GetLastGuestApiErrorDetails(), "Guest path [C:\\x] does not exist");
}

TEST(NativeChannel, IsNotACommandChannel) {
  StrictMock<MockVMInfo> vm;
  ZQVMInfoGuestAPI channel(&vm);
  EXPECT_FALSE(channel.IsZqGuestAPI());
}

TEST(NativeChannel, KeepsTheBaseStagingFolderHandling) {
  StrictMock<MockVMInfo> vm;
  ZQVMInfoGuestAPI channel(&vm);
  zqtest::TempDir tmp;
  const std::string staging = tmp.Join("ForGuestVM");
  zqtest::WriteFile(tmp.Join("marker"), "");
  ASSERT_EQ(::mkdir(staging.c_str(), 0755), 0);
  zqtest::WriteFile(staging + "/a.txt", "x");
  EXPECT_EQ(channel.InitStagingFolder(45, staging, "C:\\Restore"), 1);
  EXPECT_EQ(channel.DeInitStagingFolder(staging, "C:\\Restore"), 1);
  EXPECT_NE(::access(staging.c_str(), F_OK), 0);
}

TEST(NativeChannel, WithoutAComponentFailsInsteadOfCrashing) {
  zqtest::ScopedLogCapture log;
  ZQVMInfoGuestAPI channel(nullptr);
  CallerObjects o;
  EXPECT_EQ(channel.BrowseGuest(o.ctx, o.path, o.entries), 0);
  EXPECT_EQ(channel.CreateGuestFolder(o.ctx, o.path), 0);
  EXPECT_EQ(channel.DeleteDirectoryInGuest(o.ctx, o.path), 0);
  EXPECT_EQ(channel.GetLastGuestApiErrorDetails(), "No VM-information component for the native guest channel");
  EXPECT_TRUE(log.sink().AnyContains("No VM-information component"));
}

}  // namespace
