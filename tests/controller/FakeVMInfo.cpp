// A stand-in VM-information component for the job-option tests, built as libVMInfo.so.
//
// Its behaviour comes from the JSON file named by ZQ_FAKE_VMINFO_CONFIG, read when an object is
// created (keys in FakeVMInfoControl.h). Every call is appended as one JSON line to the config's
// "recordFile", so that a test can read the calls back even after the library was unloaded.
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "guestapi/GuestTypes.h"
#include "vminfo/IVMInfo.h"

namespace {

nlohmann::json ReadBehaviour() {
  const char* path = std::getenv("ZQ_FAKE_VMINFO_CONFIG");
  if (path == nullptr) {
    return nlohmann::json::object();
  }
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  nlohmann::json behaviour = nlohmann::json::parse(text.str(), nullptr, false);
  return behaviour.is_object() ? behaviour : nlohmann::json::object();
}

class FakeVMInfo : public IVMInfo {
 public:
  explicit FakeVMInfo(nlohmann::json behaviour) : m_behaviour(std::move(behaviour)) {}

  int ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                      std::vector<SHostCredentials>& credentials) override {
    nlohmann::json list = nlohmann::json::array();
    for (const SHostCredentials& entry : credentials) {
      list.push_back({{"serverName", entry.serverName}, {"userName", entry.userName}, {"password", entry.password}});
    }
    Record({{"call", "connect"}, {"server", server}, {"user", user}, {"password", password}, {"credentials", list}});
    if (m_behaviour.value("connectAccepted", true)) {
      return 1;
    }
    m_lastErrorString = m_behaviour.value("connectErrorText", "");
    return 0;
  }

  VirtualServerInstanceType GetInstanceType() override {
    return static_cast<VirtualServerInstanceType>(m_behaviour.value("instanceType", 0));
  }
  int GetLastErrorCode() override { return m_lastErrorCode; }
  std::string GetLastErrorString() override { return m_lastErrorString; }

  int GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName,
                int64_t infoFlags, int reserved, VMInfoStructs::SVMInfo* info) override {
    Record({{"call", "getVMInfo"}, {"vmName", vmName}, {"vmGuid", vmGuid}, {"server", serverName},
            {"flags", infoFlags}, {"reserved", reserved}});
    const nlohmann::json vm = m_behaviour.value("vm", nlohmann::json::object());
    if (!vm.value("found", true)) {
      m_lastErrorString = "VM not in inventory";
      return 0;
    }
    info->vmName = vm.value("vmName", vmName);
    info->vmGuid = vm.value("vmGuid", vmGuid);
    info->hostName = vm.value("hostName", "esx-host-1");
    info->toolsDescription = vm.value("toolsDescription", "guestToolsRunning");
    info->guestIpAddress = vm.value("guestIpAddress", "");
    info->toolsStatus = vm.value("toolsStatus", info->toolsStatus);
    info->powerState = vm.value("powerState", 1);
    return 1;
  }

  int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override {
    Record({{"call", "browse"}, {"path", guestPath}, {"user", ctx.userName}});
    if (!m_behaviour.value("browseSucceeds", true)) {
      return 0;
    }
    entries.emplace_back();
    entries.back().name = "C:";
    return 1;
  }
  int BrowseGuestFolders(const GuestCtx&, const std::string&, std::vector<VMInfoStructs::SGuestFile>&) override {
    return 1;
  }
  int CreateGuestFolder(const GuestCtx&, const std::string&) override { return 1; }
  int CopyFileToGuest(const GuestCtx&, const std::string&, const std::string&, bool) override { return 1; }
  int CopyDirectoryToGuest(const GuestCtx&, const std::string&, const std::string&, bool) override { return 1; }
  int CopyFileFromGuest(const GuestCtx&, const std::string&, const std::string&) override { return 1; }
  int ChangeGuestFileAttributes(const GuestCtx&, const std::string&, const VMInfoStructs::SGuestFile&) override {
    return 1;
  }

  int PrepareGuestForFileCopy(const GuestCtx& ctx) override {
    Record({{"call", "prepare"}, {"vmName", ctx.vmName}});
    const int errorCode = m_behaviour.value("prepareErrorCode", 0);
    if (errorCode == 0) {
      return 1;
    }
    m_lastErrorCode = errorCode;
    m_lastErrorString = m_behaviour.value("prepareErrorText", "");
    return 0;
  }

  int ExecuteScriptInGuest(const GuestCtx&, const std::string&, int) override { return 0; }
  int ExecuteProcessInGuest(const GuestCtx&, const std::string&, const std::string&, const std::string&, int,
                            int&) override {
    return 0;
  }
  int IsProcessRunningInGuest(const GuestCtx&, const std::string&, long&, bool&) override { return 0; }
  int GetGuestTempFolder(const GuestCtx&, std::string&) override { return 0; }
  int DeleteDirectoryInGuest(const GuestCtx&, std::string&) override { return 0; }

  void Record(const nlohmann::json& call) {
    const std::string path = m_behaviour.value("recordFile", "");
    if (!path.empty()) {
      std::ofstream(path, std::ios::app) << call.dump() << "\n";
    }
  }

 private:
  nlohmann::json m_behaviour;
  int m_lastErrorCode = 0;
  std::string m_lastErrorString;
};

// Objects live as long as the library, as a real component's do.
std::mutex g_objectsMutex;
std::vector<std::unique_ptr<FakeVMInfo>> g_objects;

}  // namespace

extern "C" __attribute__((visibility("default"))) int CreateVMInfoObject(int instanceType, IVMInfo** out) {
  const nlohmann::json behaviour = ReadBehaviour();
  auto object = std::make_unique<FakeVMInfo>(behaviour);
  object->Record({{"call", "create"}, {"instanceType", instanceType}});
  if (behaviour.value("createFails", false)) {
    // A failing factory may still leave something behind; the caller must not keep it.
    *out = reinterpret_cast<IVMInfo*>(0x1);
    return 0;
  }
  std::lock_guard<std::mutex> guard(g_objectsMutex);
  g_objects.push_back(std::move(object));
  *out = g_objects.back().get();
  return 1;
}
