#include <gtest/gtest.h>

#include <dlfcn.h>

#include "support/InventoryBuilder.h"
#include "support/TestSupport.h"
#include "vminfo/IVMInfo.h"

namespace {

// Closes the library when the test ends (the controller itself keeps it for the process's life).
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* name) : m_handle(::dlopen(name, RTLD_LAZY)) {}
  ~LoadedLibrary() {
    if (m_handle != nullptr) ::dlclose(m_handle);
  }
  void* handle() const { return m_handle; }
  CreateVMInfoObjectFn Factory() const {
    return reinterpret_cast<CreateVMInfoObjectFn>(::dlsym(m_handle, "CreateVMInfoObject"));
  }

 private:
  void* m_handle;
};

TEST(VMInfoLibrary, LoadsByPathAndCreatesAnObjectForTheInstanceType) {
  LoadedLibrary library(ZQ_VMINFO_PATH);
  ASSERT_NE(library.handle(), nullptr) << ::dlerror();
  CreateVMInfoObjectFn factory = library.Factory();
  ASSERT_NE(factory, nullptr);
  IVMInfo* vmInfo = nullptr;
  ASSERT_NE(factory(102, &vmInfo), 0);
  ASSERT_NE(vmInfo, nullptr);
  EXPECT_EQ(vmInfo->GetInstanceType(), VSInstanceHyperV);
  EXPECT_EQ(vmInfo->GetLastErrorCode(), 0);
  EXPECT_EQ(vmInfo->GetLastErrorString(), "");
  delete vmInfo;
}

TEST(VMInfoLibrary, LoadsByItsPlainName) {
  // The test runs with the library's folder on the search path, as an installation puts it beside
  // the plug-in.
  LoadedLibrary library("libVMInfo.so");
  ASSERT_NE(library.handle(), nullptr) << ::dlerror();
  EXPECT_NE(library.Factory(), nullptr);
}

TEST(VMInfoLibrary, FactoryRefusesANullOut) {
  LoadedLibrary library(ZQ_VMINFO_PATH);
  ASSERT_NE(library.handle(), nullptr) << ::dlerror();
  EXPECT_EQ(library.Factory()(101, nullptr), 0);
}

TEST(VMInfoLibrary, ExportsNothingButTheFactory) {
  LoadedLibrary library(ZQ_VMINFO_PATH);
  ASSERT_NE(library.handle(), nullptr) << ::dlerror();
  EXPECT_EQ(::dlsym(library.handle(), "_ZN15InventoryVMInfoC1E25VirtualServerInstanceType"), nullptr);
}

TEST(VMInfoLibrary, AnswersThroughTheInterfaceWithAnInventory) {
  zqtest::TempDir tmp;
  zqtest::ScopedSettings settings;
  zqtest::InventoryBuilder inventory;
  inventory.AddServer("hv1").Credential("admin", "pw").AddVm("vm1").Guid("g1").IpAddresses({"10.1.1.1"});
  inventory.WriteTo(tmp.Join("inventory.json"));
  settings.Set("VirtualServer", "InventoryFile", tmp.Join("inventory.json"));

  LoadedLibrary library(ZQ_VMINFO_PATH);
  ASSERT_NE(library.handle(), nullptr) << ::dlerror();
  IVMInfo* vmInfo = nullptr;
  ASSERT_NE(library.Factory()(102, &vmInfo), 0);
  std::vector<SHostCredentials> credentials;
  EXPECT_EQ(vmInfo->ConnectToServer("hv1", "admin", "bad", credentials), 0);
  EXPECT_NE(vmInfo->GetLastErrorString().find("wrong user name or password"), std::string::npos);
  ASSERT_NE(vmInfo->ConnectToServer("hv1", "admin", "pw", credentials), 0);
  VMInfoStructs::SVMInfo info;
  ASSERT_NE(vmInfo->GetVMInfo("", "g1", "hv1", 34, 0, &info), 0);
  EXPECT_EQ(info.vmName, "vm1");
  EXPECT_EQ(info.guestIpAddress, "10.1.1.1");
  EXPECT_EQ(info.powerState, 1);
  delete vmInfo;
}

}  // namespace
