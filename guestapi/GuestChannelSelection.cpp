// Choice of the guest channel for a VM: the SSH command channels (Windows, then Unix) and the
// hypervisor's native guest operations, as the hypervisor kind and the installation allow.
#include <new>

#include "guestapi/ZQGuestAPI.h"
#include "guestapi/ZQGuestAPIOrigins.h"
#include "guestapi/ZQUnixGuestAPI.h"
#include "guestapi/ZQVMInfoGuestAPI.h"
#include "guestapi/ZQWinGuestAPI.h"
#include "platform/ZQPlatformInfo.h"
#include "platform/pstring.h"
#include "vminfo/VMInfoLayout.h"

using namespace ZQGuestAPIOrigins;

namespace {

constexpr int64_t kChannelLookupFlags = 34;

const char* const kCommandChannelHint =
    "1.Please check guest VM login credentials.\n"
    "2.For linux guest VM, enable ssh access.\n"
    "3.While using linux access node to restore to windows guest, please make sure ssh is installed and enabled on "
    "windows guest.\n";

// Tries one command channel; hands it over when its Init (which probes the guest) succeeds.
// Otherwise `failure` holds the reason its last command gave (refused login, changed host key,
// unreachable address, time limit), if there is one: what the last error text holds after
// "failed! " (CGuestAPI::ExecuteCommand).
template <typename Channel>
bool TryCommandChannel(IVMInfo* vmInfo, const GuestLoginCred& login, const char* name, EvEvent& log,
                       std::unique_ptr<IGuestAPI>& channel, std::string& failure) {
  std::unique_ptr<Channel> candidate(new (std::nothrow) Channel(vmInfo));
  if (!candidate) return false;
  if (!candidate->Init(login)) {
    const std::string details = candidate->GetLastGuestApiErrorDetails();
    const auto reason = details.rfind("failed! ");
    if (reason != std::string::npos) failure = details.substr(reason + 8);
    return false;
  }
  log.DebugLvl(kZqOrigin, 0, "Using %s interface", name);
  channel = std::move(candidate);
  return true;
}

}  // namespace

bool IGuestAPI::ZqGuestAPISupport(VirtualServerInstanceType type) {
  bool allowed = (type == VSInstanceNoNativeGuestOps);
  ZQPlatformInfo::getBoolean("VirtualServer", "UseZQGuestAPI", &allowed);
  return allowed;
}

bool IGuestAPI::NativeGuestAPISupport(VirtualServerInstanceType type) { return type != VSInstanceNoNativeGuestOps; }

bool IGuestAPI::CreateZqGuestAPIObject(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                                       std::string& errorText) {
  EvEvent log;
  if (!ZqGuestAPISupport(vmInfo->GetInstanceType())) return false;

  VMInfoStructs::SVMInfo record;
  if (!vmInfo->GetVMInfo(ctx.vmName, ctx.vmGuid, ctx.serverName, kChannelLookupFlags, 0, &record)) {
    errorText = "Failed to find VM: " + ctx.vmName + " " + ctx.vmGuid + "\n";
    log.Error(kZqOrigin, "%s", errorText.c_str());
    return false;
  }
  if (record.powerState != 1) {
    errorText = "VM is not powered on. Please power on the VM";
    log.Error(kZqOrigin, "VM [%s][%s] not powered on", ctx.vmName.c_str(), ctx.vmGuid.c_str());
    return false;
  }

  GuestLoginCred login;
  WipeOnExit wipeLoginPassword(login.password);
  login.userName = ctx.userName;
  login.password = ctx.password;
  login.ipAddress = record.guestIpAddress;
  const bool noUser = login.userName.empty();
  const bool noAddress = login.ipAddress.empty();
  if (noUser || noAddress) {
    errorText = std::string(noUser ? "Invalid login credentials" : "") +
                (noAddress ? "Couldn't get guest IP address. Please make sure network is configured" : "");
    log.Error(kZqOrigin, "Either UserName[%d] or IpAddr[%d] is empty", noUser ? 1 : 0, noAddress ? 1 : 0);
    return false;
  }

  std::string failure;
  if (TryCommandChannel<ZQWinGuestAPI>(vmInfo, login, "ZQWinGuestAPI", log, channel, failure)) return true;
  if (TryCommandChannel<ZQUnixGuestAPI>(vmInfo, login, "ZQUnixGuestAPI", log, channel, failure)) return true;
  // The operator sees why the last attempt failed, not only the general hints.
  errorText = kCommandChannelHint;
  if (!failure.empty()) errorText += "Reason: " + failure + "\n";
  return false;
}

bool IGuestAPI::CreateNativeGuestAPIObject(IVMInfo* vmInfo, const GuestCtx&, std::unique_ptr<IGuestAPI>& channel,
                                           std::string& errorText) {
  EvEvent log;
  if (!NativeGuestAPISupport(vmInfo->GetInstanceType())) return false;
  channel.reset(new (std::nothrow) ZQVMInfoGuestAPI(vmInfo));
  if (channel) {
    log.DebugLvl(kNativeOrigin, 0, "Using ZQVMInfoGuestAPI interface");
    return true;
  }
  errorText = "Failed to initialize Guest API";
  log.Error(kNativeOrigin, "memory alloc error while creating ZQVMInfoGuestAPI");
  return false;
}

extern "C" bool CreateGuestAPIObject(IVMInfo* vmInfo, const GuestCtx& ctx, std::unique_ptr<IGuestAPI>& channel,
                                     std::string& errorText, bool preferNative) {
  EvEvent log;
  if (vmInfo == nullptr) {
    log.Error(kFactoryOrigin, "invalid vminfo object");
    return false;
  }
  channel.reset();
  try {
    const bool created =
        preferNative ? (IGuestAPI::CreateNativeGuestAPIObject(vmInfo, ctx, channel, errorText) ||
                        IGuestAPI::CreateZqGuestAPIObject(vmInfo, ctx, channel, errorText))
                     : (IGuestAPI::CreateZqGuestAPIObject(vmInfo, ctx, channel, errorText) ||
                        IGuestAPI::CreateNativeGuestAPIObject(vmInfo, ctx, channel, errorText));
    if (created) return true;
  } catch (const std::exception& error) {
    // Nothing may cross the library boundary as an exception.
    channel.reset();
    errorText = error.what();
  }
  log.Error(kFactoryOrigin, "Init failed %s", errorText.c_str());
  return false;
}
