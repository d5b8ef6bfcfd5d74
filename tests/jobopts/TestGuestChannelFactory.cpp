// Test-only channel factory, linked while the library's own CreateGuestAPIObject is not built
// yet. It follows the library's rules as far as these tests reach them: no object for a null
// component; for the kind without native guest operations the SSH family's refusal of a VM
// without guest address; otherwise a channel that hands every call to the component.
#include "guestapi/ZQGuestAPI.h"

namespace {

class ForwardingChannel : public CGuestAPI {
 public:
  explicit ForwardingChannel(IVMInfo* vmInfo) : CGuestAPI(vmInfo) {}
  int BrowseGuest(const GuestCtx& ctx, const std::string& path,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override {
    return m_pVMInfo->BrowseGuest(ctx, path, entries);
  }
  int BrowseGuestFolders(const GuestCtx& ctx, const std::string& path,
                         std::vector<VMInfoStructs::SGuestFile>& entries) override {
    return m_pVMInfo->BrowseGuestFolders(ctx, path, entries);
  }
  int CreateGuestFolder(const GuestCtx& ctx, const std::string& path) override {
    return m_pVMInfo->CreateGuestFolder(ctx, path);
  }
  int CopyFileToGuest(const GuestCtx& ctx, const std::string& local, const std::string& guest,
                      bool overwrite) override {
    return m_pVMInfo->CopyFileToGuest(ctx, local, guest, overwrite);
  }
  int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& path,
                                const VMInfoStructs::SGuestFile& attributes) override {
    return m_pVMInfo->ChangeGuestFileAttributes(ctx, path, attributes);
  }
  int PrepareGuestForFileCopy(const GuestCtx& ctx) override { return m_pVMInfo->PrepareGuestForFileCopy(ctx); }
};

}  // namespace

bool CreateGuestAPIObject(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                          std::string& errorText, bool) {
  if (vmInfo == nullptr) {
    return false;
  }
  channel.reset();
  if (vmInfo->GetInstanceType() == VSInstanceNoNativeGuestOps) {
    VMInfoStructs::SVMInfo record;
    if (vmInfo->GetVMInfo(ctx.vmName, ctx.vmGuid, ctx.serverName, 34, 0, &record) != 0 &&
        record.guestIpAddress.empty()) {
      errorText = "Couldn't get guest IP address. Please make sure network is configured";
    }
    return false;
  }
  channel = std::make_unique<ForwardingChannel>(vmInfo);
  return true;
}
