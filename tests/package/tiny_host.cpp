// A backup host in miniature, built against an installation only (the headers under
// include/zqrestore and zqrestore.pc): it makes the job records and restore options a host hands
// over, loads the plug-in, gets a controller from the exported factory and the channel factory,
// and deletes the controller through the interface.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>

#include "controller/IVSAgentlessRestoreToVM.h"
#include "guestapi/ZQGuestAPI.h"
#include "platform/FSRRecords.h"
#include "platform/RestoreOption.h"
#include "platform/ZQJobClient.h"
#include "platform/ZQPlatformInfo.h"
#include "vminfo/IVMInfo.h"

using ChannelFactory = bool (*)(IVMInfo*, const GuestCtx&, std::unique_ptr<IGuestAPI>&, std::string&, bool);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PLUGIN\n", argv[0]);
    return 2;
  }
  FSRInitData initData{};
  FSRSetParams setParams{};
  ZQRstJobClient jobClient;
  ZQJobCtrlClient jobControl(7);
  TMMsg::RestoreOption options;
  (void)initData;
  (void)setParams;
  (void)options;
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    std::fprintf(stderr, "tiny host: cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  auto create = reinterpret_cast<CreateVSAgentlessRestoreToVMObjectFn>(
      dlsym(plugin, "CreateVSAgentlessRestoreToVMObject"));
  auto channels = reinterpret_cast<ChannelFactory>(dlsym(plugin, "CreateGuestAPIObject"));
  if (create == nullptr || channels == nullptr) {
    std::fprintf(stderr, "tiny host: the plug-in lacks a factory\n");
    return 1;
  }
  IVSAgentlessRestoreToVM* controller = nullptr;
  if (!create(&controller) || controller == nullptr) {
    std::fprintf(stderr, "tiny host: the factory made no controller\n");
    return 1;
  }
  controller->setRestoreToUnixVM();
  delete controller;
  std::printf("tiny host: controller made and deleted, job %llu\n", jobControl.GetJobID());
  return 0;
}
