#include "HostJob.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "controller/IVSAgentlessRestoreToVM.h"
#include "platform/RestoreOption.h"
#include "support/TestSupport.h"

namespace wholejob {

namespace {

// The plug-in, loaded once per process the way the host loads it and kept for the process's life
// (the VM-information component it loads stays loaded as well).
CreateVSAgentlessRestoreToVMObjectFn PluginFactory() {
  static void* const handle = dlopen(ZQ_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    ADD_FAILURE() << "cannot load the plug-in: " << dlerror();
    return nullptr;
  }
  auto factory =
      reinterpret_cast<CreateVSAgentlessRestoreToVMObjectFn>(dlsym(handle, "CreateVSAgentlessRestoreToVMObject"));
  if (factory == nullptr) ADD_FAILURE() << "the plug-in exports no CreateVSAgentlessRestoreToVMObject";
  return factory;
}

struct ControllerDeleter {
  void operator()(IVSAgentlessRestoreToVM* controller) const { delete controller; }
};
using Controller = std::unique_ptr<IVSAgentlessRestoreToVM, ControllerDeleter>;

// The host's records of one job. destinationPath is the host's malloc'ed text; the controller
// replaces it by the staging folder, which the host releases in the end.
struct HostRecords {
  FSRInitData initData;
  FSRInitDataVer2 initDataVer2;
  FSRSetParams setParams;
  ZQRstJobClient job;
  ZQJobCtrlClient jobCtrl{kJobId};

  explicit HostRecords(const JobRequest& request) {
    initData.initIdA = 3;
    initData.initAppId = kVMAppId;
    initData.initIdB = 17;
    initData.initIdC = 45;
    initDataVer2.instanceType = request.hostInstanceType;
    setParams.destinationPath = strdup(request.destination.c_str());
  }
  ~HostRecords() { free(setParams.destinationPath); }
  HostRecords(const HostRecords&) = delete;
  HostRecords& operator=(const HostRecords&) = delete;
};

// Writes one entry below the staging folder as the host's restore stream would.
std::string Stage(const std::string& stagingFolder, const StagedEntry& entry) {
  const std::string path = stagingFolder + "/" + entry.path;
  std::error_code error;
  std::filesystem::create_directories(entry.folder ? path : std::filesystem::path(path).parent_path().string(), error);
  if (error) ADD_FAILURE() << "cannot stage " << path << ": " << error.message();
  if (!entry.folder) {
    zqtest::WriteFile(path, entry.content);
    chmod(path.c_str(), kStagedMode);
  }
  zqtest::SetTimes(path, entry.mtime);
  return path;
}

CXFileHeader HeaderOf(const StagedEntry& entry) {
  CXFileHeader header;
  header.mode = entry.mode;
  header.uid = entry.uid;
  header.gid = entry.gid;
  header.mtime = entry.mtime;
  header.ctime = entry.ctime;
  return header;
}

void RestoreEntries(IVSAgentlessRestoreToVM& controller, const std::string& stagingFolder,
                    const std::vector<StagedEntry>& tree, JobRecord& record) {
  for (const StagedEntry& entry : tree) {
    const std::string staged = Stage(stagingFolder, entry);
    CXFileHeader header = HeaderOf(entry);
    EntryResult result;
    result.restored = controller.RestoreToVM(staged.c_str(), 0, 0, &header, result.guestPath, result.skipped,
                                             result.attributesApplied);
    record.entries.push_back(result);
  }
}

}  // namespace

JobRecord RunWholeJob(const JobRequest& request, const std::vector<StagedEntry>& tree) {
  JobRecord record;
  CreateVSAgentlessRestoreToVMObjectFn factory = PluginFactory();
  if (factory == nullptr) return record;

  TMMsg::RestoreOption options;
  if (!options.LoadFromJson(request.options.dump())) {
    ADD_FAILURE() << "the restore options do not parse: " << request.options.dump();
    return record;
  }

  HostRecords host(request);
  IVSAgentlessRestoreToVM* created = nullptr;
  record.controllerCreated = factory(&created);
  Controller controller(created);
  if (!record.controllerCreated || !controller) return record;

  controller->Init(&host.initData, &host.initDataVer2, &host.setParams, &host.job, &host.jobCtrl, kClientName);
  record.jobOptionsAccepted = controller->GetJobOptions(&options);
  record.instanceTypeAfterOptions = host.initDataVer2.instanceType;
  if (record.jobOptionsAccepted) {
    record.foldersPrepared = controller->GenerateGuestAndStagingFolders();
    if (record.foldersPrepared && host.setParams.destinationPath != nullptr) {
      record.stagingFolder = host.setParams.destinationPath;
      record.stagingInitialised = controller->InitStagingFolder();
    }
    if (record.stagingInitialised) {
      RestoreEntries(*controller, record.stagingFolder, tree, record);
      record.stagingReleased = controller->DeInitStagingFolder();
    }
  }
  controller.reset();
  record.pendingCauses = host.job.pendingCauses();
  return record;
}

}  // namespace wholejob
