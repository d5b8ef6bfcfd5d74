#include <dlfcn.h>

#include <gtest/gtest.h>

#include "controller/IVSAgentlessRestoreToVM.h"
#include "support/TestSupport.h"

namespace {

// Loads the built plug-in the way the host does and closes it at the end.
class LoadedPlugin {
 public:
  LoadedPlugin() : m_handle(dlopen(ZQ_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~LoadedPlugin() {
    if (m_handle != nullptr) dlclose(m_handle);
  }
  void* handle() const { return m_handle; }
  CreateVSAgentlessRestoreToVMObjectFn factory() const {
    return reinterpret_cast<CreateVSAgentlessRestoreToVMObjectFn>(dlsym(m_handle, "CreateVSAgentlessRestoreToVMObject"));
  }

 private:
  void* m_handle;
};

TEST(PluginLoad, FactoryMakesAControllerAndLogsIt) {
  LoadedPlugin plugin;
  ASSERT_NE(plugin.handle(), nullptr) << dlerror();
  ASSERT_NE(plugin.factory(), nullptr);
  zqtest::ScopedSettings settings;  // the factory's line is a debug line
  zqtest::ScopedLogCapture capture;
  IVSAgentlessRestoreToVM* controller = nullptr;
  ASSERT_TRUE(plugin.factory()(&controller));
  ASSERT_NE(controller, nullptr);
  const auto records = capture.sink().Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().text, "Successfully create CVSAgentlessRestoreToVM class");
  EXPECT_EQ(records.back().origin, "bool CreateVSAgentlessRestoreToVMObject(IVSAgentlessRestoreToVM**)");
  delete controller;  // right after the factory: deletes only its own members
}

TEST(PluginLoad, InactiveControllerAnswersEverySlotInOrderWithSuccess) {
  LoadedPlugin plugin;
  ASSERT_NE(plugin.factory(), nullptr) << dlerror();
  IVSAgentlessRestoreToVM* controller = nullptr;
  ASSERT_TRUE(plugin.factory()(&controller));
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  char destination[] = "/tmp/dest";
  setParams.destinationPath = destination;
  ZQRstJobClient jobClient;
  ZQJobCtrlClient jobCtrl(5);

  controller->setRestoreToUnixVM();
  EXPECT_TRUE(controller->Init(&initData, &initDataVer2, &setParams, &jobClient, &jobCtrl, "client"));
  EXPECT_TRUE(controller->Init(&initData, &initDataVer2, &setParams, &jobClient, &jobCtrl, "client2"));

  std::string guestPath = "untouched";
  bool skipped = false, attributesApplied = false;
  CXFileHeader header;
  EXPECT_TRUE(controller->RestoreToVM("/staging/x", 0, 0, &header, guestPath, skipped, attributesApplied));
  EXPECT_EQ(guestPath, "untouched");
  EXPECT_FALSE(skipped);
  EXPECT_FALSE(attributesApplied);
  u_longlong_t bytes = 99;
  EXPECT_TRUE(controller->RestoreToVM_ImageLevel("/staging/x", 0, 0, true, bytes, skipped));
  EXPECT_EQ(bytes, 99u);
  EXPECT_TRUE(controller->UpdateFileTimes("/staging/x"));
  EXPECT_TRUE(controller->UpdateUnixPermissions("/staging/x", &header));
  EXPECT_TRUE(jobClient.pendingCauses().empty());
  EXPECT_EQ(setParams.destinationPath, destination) << "an inactive controller leaves the host's records alone";
  delete controller;
}

}  // namespace
