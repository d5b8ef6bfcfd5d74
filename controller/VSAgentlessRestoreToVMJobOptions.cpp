// The controller's job options and target-VM checks, its connection to the VM-information
// component and the creation of its guest channel.
#include <dlfcn.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/algorithm/string/replace.hpp>

#include "controller/VSAgentlessRestoreToVM.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"
#include "platform/JobMessageCodes.h"
#include "platform/ReplaceChoices.h"
#include "platform/RestoreOption.h"
#include "platform/vsAppMgr.h"
#include "vminfo/VMInfoStructs.h"

using namespace VSAgentlessRestoreToVMOrigins;

namespace {

constexpr const char* kVMInfoLibrary = "libVMInfo.so";
constexpr const char* kVMInfoFactory = "CreateVMInfoObject";
constexpr const char* kSpeedCounterName = "VM Write Speed";

// Message codes posted to the restore job (kMsgSentence, kMsgVMNotFound, ...).
using namespace JobMessageCodes;

// Error codes of the component's guest preparation.
constexpr int kPrepVMNotFound = 1;
constexpr int kPrepHostOSNotSupported = 14;
constexpr int kPrepGuestOSNotSupported = 15;
constexpr int kPrepGuestServicesNotEnabled = 164;
constexpr int kPrepIntegrationServicesMissing = 218;
constexpr int kPrepIntegrationServicesIncomplete = 219;
constexpr int kPrepGuestServiceNotWorking = 220;

// Lookup flags of the controller's own VM lookup.
constexpr int64_t kVMInfoFlags = 2;

constexpr int kToolsRunning = 2;
constexpr int kToolsRunningOld = 3;
constexpr int kPoweredOn = 1;

// Addresses of the restore-options fields (kVMFileLevelRestore, kDestinationVM, ...).
using TMMsg::FieldAddress;
using namespace TMMsg::RestoreOptionFields;

// The nested object, or null when it is absent.
CNMessageBase* NestedObject(CNMessageBase& parent, FieldAddress field) {
  CNMessageBase** slot = parent.getObjectAccessor(true, false, field.index, field.tag, TMMsg::kTypeCheckAny,
                                                  TMMsg::kFieldCheckAny, 0, 0);
  return slot != nullptr ? *slot : nullptr;
}

// The nested object; an absent one reads as empty strings and zeros.
const CNMessageBase& NestedOrEmpty(const CNMessageBase& parent, FieldAddress field) {
  return parent.nestedOrEmpty(field.index, field.tag);
}

std::string ReadString(const CNMessageBase& message, FieldAddress field) {
  return message.getstring(field.index, field.tag, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
}

std::string ReadPlainPassword(const CNMessageBase& message, FieldAddress field) {
  return message.getpstringobject(field.index, field.tag, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny)
      .getPlainPassword()
      .str();
}

// A 64-bit integer is read by its tag alone.
int64_t ReadInt64(const CNMessageBase& message, FieldAddress field) {
  return message.getint64(field.tag, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
}

// Presence is tested by the index alone.
bool IsFieldSet(const CNMessageBase& message, FieldAddress field) {
  return message.isSet(field.index, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
}

// Appends the text arguments, in order, and posts the code as the job's pending cause.
void PostToJob(ZQRstJobClient& job, int code, std::initializer_list<std::string> arguments) {
  for (const std::string& argument : arguments) {
    job << argument.c_str();
  }
  job.setPendingCause(code, nullptr, false, EvMessageTypeDefault, 0, 0, 0, false, JMGUIAlertColorNone,
                      JMPendingCauseNone, 0, 0);
}

// A text from the component or the channel factory goes to the job as it is, except that a
// password it might echo is masked: no secret reaches a job argument.
std::string WithoutPasswords(std::string text, const std::vector<const std::string*>& passwords) {
  for (const std::string* password : passwords) {
    if (!password->empty()) {
      boost::algorithm::replace_all(text, *password, "*****");
    }
  }
  return text;
}

// The destination VM and the guest login of the request.
GuestCtx ReadDestinationVM(const CNMessageBase& destinationVM) {
  const CNMessageBase& guestCredentials = NestedOrEmpty(destinationVM, kGuestCredentials);
  GuestCtx ctx;
  ctx.vmName = ReadString(destinationVM, kVMName);
  ctx.vmGuid = ReadString(destinationVM, kVMGuid);
  ctx.serverName = ReadString(destinationVM, kServerName);
  ctx.userName = ReadString(guestCredentials, kUserName);
  ctx.password = ReadPlainPassword(guestCredentials, kPassword);
  return ctx;
}

// The hypervisor login of a job; the plain password is wiped when the job options are done.
struct ServerLogin {
  std::string server;
  std::string user;
  std::string password;

  ServerLogin() = default;
  ServerLogin(const ServerLogin&) = delete;
  ServerLogin& operator=(const ServerLogin&) = delete;
  ~ServerLogin() { WipeString(password); }
};

void ReadServerLogin(const CNMessageBase& destinationVM, ServerLogin& login) {
  const CNMessageBase& serverCredentials = NestedOrEmpty(destinationVM, kServerCredentials);
  login.server = ReadString(destinationVM, kServerName);
  login.user = ReadString(serverCredentials, kUserName);
  login.password = ReadPlainPassword(serverCredentials, kPassword);
}

// The instance id of the request; when the instance entity gives none, the instance of its
// destination client. Without an instance entity it stays 0 and nothing is looked up. False when
// the lookup cannot be made or fails (logged where detected).
bool FindInstanceId(EvDebug& log, const CNMessageBase& vmFileLevelRestore, const CNMessageBase* instanceEntity,
                    int& instanceId) {
  instanceId = 0;
  if (instanceEntity == nullptr || !IsFieldSet(vmFileLevelRestore, kInstanceEntity)) {
    return true;
  }
  instanceId = static_cast<int32_t>(ReadInt64(*instanceEntity, kInstanceId));
  if (instanceId != 0) {
    return true;
  }
  if (!IsFieldSet(*instanceEntity, kClientId)) {
    log.Error(kGetJobOptionsOrigin, "Destination clientId is not set in request");
    return false;
  }
  const int32_t clientId = static_cast<int32_t>(ReadInt64(*instanceEntity, kClientId));
  log.Debug(kGetJobOptionsOrigin, "InstanceId is not set in request. Querying using clientId [%d]", clientId);
  vsAppMgr appMgr;
  unsigned long foundInstanceId = 0;
  if (!appMgr.GetInstanceId(static_cast<unsigned long>(clientId), foundInstanceId)) {
    return false;
  }
  instanceId = static_cast<int32_t>(foundInstanceId);
  return true;
}

// Replaces server, user and password by the first credentials stored at the instance, when the
// instance's settings load and hold any; otherwise the request's values stay.
void UseCredentialsStoredAtInstance(EvDebug& log, const FSRInitData& initData, int instanceId, ServerLogin& login) {
  vsAppMgr appMgr;
  appMgr.setAppId(static_cast<unsigned long>(initData.initIdA), initData.initAppId);
  log.Debug(kGetJobOptionsOrigin,
            "VCenter/HyperV instance has been set in input XML. Querying server credentials set at instance");
  std::vector<SHostCredentials> storedCredentials;
  if (appMgr.querySettingsForInstance(static_cast<unsigned long>(instanceId)) == 0) {
    appMgr.getCredentials(storedCredentials);
  }
  if (storedCredentials.empty()) {
    return;
  }
  login.server = storedCredentials.front().serverName;
  login.user = storedCredentials.front().userName;
  login.password = storedCredentials.front().password;
  log.Debug(kGetJobOptionsOrigin, "Setting VCenter/HyperV credentials, client [%s], user name [%s]",
            login.server.c_str(), login.user.c_str());
}

// Looks the VM up into `record` and refuses it when it is missing or not powered on.
bool FindPoweredOnVM(EvDebug& log, ZQRstJobClient& job, IVMInfo& vmInfo, const GuestCtx& vm,
                     const std::string& server, VMInfoStructs::SVMInfo& record) {
  if (vmInfo.GetVMInfo(vm.vmName, vm.vmGuid, server, kVMInfoFlags, 0, &record) == 0) {
    log.Error(kGetJobOptionsOrigin, "Failed to find VM [%s] [%s]", vm.vmName.c_str(), vm.vmGuid.c_str());
    PostToJob(job, kMsgVMNotFound, {vm.vmName});
    return false;
  }
  log.Debug(kGetJobOptionsOrigin, "Found VM [%s] [%s] on Host [%s] tools [%s][%d]", record.vmName.c_str(),
            record.vmGuid.c_str(), record.hostName.c_str(), record.toolsDescription.c_str(), record.toolsStatus);
  if (record.powerState != kPoweredOn) {
    log.Error(kGetJobOptionsOrigin, "VM [%s] [%s] is not powered on.  Restore to the VM cannot continue.",
              vm.vmName.c_str(), vm.vmGuid.c_str());
    PostToJob(job, kMsgVMNotPoweredOn, {vm.vmName});
    return false;
  }
  return true;
}

// A VMware VM needs running tools, and the guest login is proven by browsing the guest.
bool ProveVMwareGuest(EvDebug& log, ZQRstJobClient& job, IGuestAPI& channel, const GuestCtx& vm,
                      const VMInfoStructs::SVMInfo& record) {
  if (record.toolsStatus != kToolsRunningOld && record.toolsStatus != kToolsRunning) {
    log.Error(kGetJobOptionsOrigin,
              "VM [%s] [%s] does not have VMware tools installed.  Restore to the VM cannot continue.",
              vm.vmName.c_str(), vm.vmGuid.c_str());
    PostToJob(job, kMsgNoVMwareTools, {vm.vmName});
    return false;
  }
  std::vector<VMInfoStructs::SGuestFile> scratch;
  if (channel.BrowseGuest(vm, "", scratch) == 0) {
    log.Error(kGetJobOptionsOrigin, "Unable to connect to guest VM [%s] as [%s].", vm.vmName.c_str(),
              vm.userName.c_str());
    PostToJob(job, kMsgGuestLoginFailed, {vm.vmName, vm.userName});
    return false;
  }
  return true;
}

// Closes the component library unless the caller keeps it loaded for good.
struct LibraryCloser {
  void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// One refusal after a failed guest preparation: the component's error code it answers, the error
// line, the job message code and the message's text arguments. In the texts "{vm}" stands for the
// VM's name, "{guid}" for its id and "{error}" for the component's error text.
struct PreparationRefusal {
  int errorCode;
  const char* logText;
  int messageCode;
  std::vector<const char*> arguments;
};

// Marks the last row of a table: it answers every code without a row of its own.
constexpr int kAnyOtherError = -1;

const PreparationRefusal kHyperVRefusals[] = {
    {kPrepHostOSNotSupported,
     "Host operating system for VM [{vm}] [{guid}] is not supported for file level restore. Host operating system "
     "must be Windows 2012r2 or greater",
     kMsgHostOSNotSupported,
     {"{vm}", "{error}"}},
    {kPrepIntegrationServicesMissing,
     "VM [{vm}] [{guid}] does not have Hyper-V Integration services installed.  Restore to the VM cannot continue.",
     kMsgSentence,
     {"Virtual machine [{vm}] does not have Hyper-V Integration services installed."}},
    {kPrepGuestOSNotSupported,
     "VM [{vm}] guest operating system is not supported for file level restore. VM operating system must be Windows "
     "2008r2 SP1 or greater",
     kMsgGuestOSNotSupported,
     {"{vm}", "{error}"}},
    {kPrepIntegrationServicesIncomplete,
     "VM [{vm}] [{guid}] does not have required Hyper-V Integration services.  Restore to the VM cannot continue.",
     kMsgSentence,
     {"Virtual machine [{vm}] does not have required Hyper-V Integration services. {error}"}},
    {kPrepGuestServiceNotWorking,
     "VM [{vm}] [{guid}] guest service is neither functional nor operating normally.  Restore to the VM cannot "
     "continue.",
     kMsgSentence,
     {"Virtual machine [{vm}] guest service is neither functional nor operating normally. Make sure that guest "
      "service is functional and operating normally."}},
    {kPrepGuestServicesNotEnabled,
     "Fail to enable guest services on VM [{vm}] [{guid}]. Restore to the VM cannot continue.",
     kMsgSentence,
     {"Fail to enable guest services on VM[{vm}]. does not have Hyper-V Integration services installed."}},
    {kAnyOtherError,
     "Fail to check status of guest file integration service inside guest VM [{vm}] [{guid}].  Restore to the VM "
     "cannot continue.",
     kMsgSentence,
     {"Fail to check status of guest file integration service inside guest VM [{vm}] Restore to the VM cannot "
      "continue."}},
};

// A cloud instance's refusals share their error line.
constexpr const char* kCloudRefusalLine = "Failed to prepare Instance [{vm}] for guest file restore";
const PreparationRefusal kCloudRefusals[] = {
    {kPrepGuestServiceNotWorking, kCloudRefusalLine, kMsgSentence, {"For Instance [{vm}],{error}"}},
    {kPrepGuestServicesNotEnabled, kCloudRefusalLine, kMsgSentence,
     {"Failed to initialize S3 bucket for Guest File restore."}},
    {kPrepVMNotFound, kCloudRefusalLine, kMsgVMNotFound, {"{vm}"}},
    {kAnyOtherError, kCloudRefusalLine, kMsgSentence, {"{error}"}},
};

// `pattern` with each "{vm}", "{guid}" and "{error}" replaced by its value, in one pass: a value
// that itself holds such a token stays as it is.
std::string FillIn(const char* pattern, const std::string& vm, const std::string& guid, const std::string& error) {
  const std::pair<const char*, const std::string*> tokens[] = {{"{vm}", &vm}, {"{guid}", &guid}, {"{error}", &error}};
  std::string text;
  for (const char* at = pattern; *at != '\0';) {
    bool replaced = false;
    for (const auto& [token, value] : tokens) {
      const size_t length = std::strlen(token);
      if (std::strncmp(at, token, length) == 0) {
        text += *value;
        at += length;
        replaced = true;
        break;
      }
    }
    if (!replaced) text += *at++;
  }
  return text;
}

// Logs and posts the row of `refusals` that answers `errorCode`. The error line takes the names as
// C texts, as a printf format would.
template <size_t N>
void RefusePreparation(const PreparationRefusal (&refusals)[N], EvDebug& log, ZQRstJobClient& job, const GuestCtx& vm,
                       int errorCode, const std::string& errorText) {
  const PreparationRefusal* row = &refusals[N - 1];
  for (const PreparationRefusal& candidate : refusals) {
    if (candidate.errorCode == errorCode) {
      row = &candidate;
      break;
    }
  }
  log.Error(kGetJobOptionsOrigin, "%s",
            FillIn(row->logText, vm.vmName.c_str(), vm.vmGuid.c_str(), errorText.c_str()).c_str());
  for (const char* argument : row->arguments) {
    job << FillIn(argument, vm.vmName, vm.vmGuid, errorText).c_str();
  }
  job.setPendingCause(row->messageCode, nullptr, false, EvMessageTypeDefault, 0, 0, 0, false, JMGUIAlertColorNone,
                      JMPendingCauseNone, 0, 0);
}

}  // namespace

bool CVSAgentlessRestoreToVM::GetJobOptions(TMMsg::RestoreOption* options) {
  if (options == nullptr) {
    m_log.Error(kGetJobOptionsOrigin, "Invalid restore options");
    return false;
  }
  CNMessageBase* vmFileLevelRestore = NestedObject(*options, kVMFileLevelRestore);
  if (vmFileLevelRestore == nullptr || ReadInt64(*vmFileLevelRestore, kRestoreToVM) == 0) {
    return true;
  }
  const CNMessageBase& destinationVM = NestedOrEmpty(*vmFileLevelRestore, kDestinationVM);
  if (ReadString(destinationVM, kVMGuid).empty()) {
    return true;
  }
  // The host must have handed over its records before it asks for a restore to a VM.
  if (m_pInitData == nullptr || m_pInitDataVer2 == nullptr || m_pRstJobClient == nullptr ||
      m_pJobCtrlClient == nullptr) {
    m_log.Error(kGetJobOptionsOrigin, "Restore to VM requested before the job records were set");
    return false;
  }

  m_guestCtx = ReadDestinationVM(destinationVM);
  ServerLogin login;
  ReadServerLogin(destinationVM, login);
  m_log.Debug(kGetJobOptionsOrigin, "This is a VM file level restore to VM [%s] [%s] on server [%s]",
              m_guestCtx.vmName.c_str(), m_guestCtx.vmGuid.c_str(), login.server.c_str());

  CNMessageBase* instanceEntity = NestedObject(*vmFileLevelRestore, kInstanceEntity);
  int instanceId = 0;
  if (!FindInstanceId(m_log, *vmFileLevelRestore, instanceEntity, instanceId)) {
    return false;
  }
  if (login.password.empty() && instanceEntity != nullptr && instanceId > 0) {
    UseCredentialsStoredAtInstance(m_log, *m_pInitData, instanceId, login);
  }

  if (!PrepareVMInfoObject(login.server, login.user, login.password, instanceId)) {
    return false;
  }

  const int64_t instanceType = m_pInitDataVer2->instanceType;
  VMInfoStructs::SVMInfo vmRecord;
  if (instanceType != VSInstanceCloudS3) {
    if (!FindPoweredOnVM(m_log, *m_pRstJobClient, *m_pVMInfo, m_guestCtx, login.server, vmRecord) ||
        !PrepareGuestAPIObject(m_guestCtx)) {
      return false;
    }
  }
  const std::vector<const std::string*> passwords = {&m_guestCtx.password, &login.password};
  switch (instanceType) {
    case VSInstanceVMware:
      if (!ProveVMwareGuest(m_log, *m_pRstJobClient, *m_pGuestAPI, m_guestCtx, vmRecord)) {
        return false;
      }
      break;
    case VSInstanceHyperV:
      if (m_pGuestAPI->PrepareGuestForFileCopy(m_guestCtx) == 0) {
        RefusePreparation(kHyperVRefusals, m_log, *m_pRstJobClient, m_guestCtx, m_pVMInfo->GetLastErrorCode(),
                          WithoutPasswords(m_pVMInfo->GetLastErrorString(), passwords));
        return false;
      }
      break;
    case VSInstanceCloudS3:
      if (!PrepareGuestAPIObject(m_guestCtx)) {
        return false;
      }
      if (m_pGuestAPI->PrepareGuestForFileCopy(m_guestCtx) == 0) {
        RefusePreparation(kCloudRefusals, m_log, *m_pRstJobClient, m_guestCtx, m_pVMInfo->GetLastErrorCode(),
                          WithoutPasswords(m_pVMInfo->GetLastErrorString(), passwords));
        return false;
      }
      break;
    default:
      break;
  }

  // The destination, not yet exchanged for the staging folder.
  const char* destination = m_pSetParams == nullptr ? nullptr : m_pSetParams->destinationPath;
  if (m_pGuestAPI && !DestinationFitsGuest(kGetJobOptionsOrigin, destination)) return false;
  m_speedCounter.Reset();
  m_speedCounter.EnableLogging();
  m_speedCounter.Init(kSpeedCounterName, m_pJobCtrlClient->GetJobID());
  m_restoreACLs = ReadInt64(NestedOrEmpty(*options, kCommonOptions), kRestoreACLs) != 0;
  if (m_pSetParams != nullptr && (m_pSetParams->restoreFlags & kRestoreFlagBackup) != 0) {
    m_backupSuffix = ReadString(NestedOrEmpty(*options, kCommonOptions), kBackupSuffix);
    if (m_backupSuffix.empty()) m_backupSuffix = ReplaceChoices::kDefaultBackupSuffix;
    const std::string problem = ReplaceChoices::BackupSuffixProblem(m_backupSuffix);
    if (!problem.empty()) {
      m_log.Error(kGetJobOptionsOrigin, "Backup suffix refused: %s", problem.c_str());
      return false;
    }
  }
  m_restoreToVMActive = true;
  m_log.Debug(kGetJobOptionsShortOrigin, "Restore ACLs [%d]", m_restoreACLs ? 1 : 0);
  return true;
}

bool CVSAgentlessRestoreToVM::PrepareVMInfoObject(const std::string& serverName, const std::string& userName,
                                                  const std::string& userPassword, int instanceId) {
  std::string server = serverName;
  std::string user = userName;
  std::string password = userPassword;
  WipeOnExit wipePassword(password);
  // The host may call this operation directly; it needs the job records.
  if (m_pInitData == nullptr || m_pInitDataVer2 == nullptr || m_pRstJobClient == nullptr) {
    m_log.Error(kPrepareVMInfoOrigin, "Connection requested before the job records were set");
    return false;
  }

  vsAppMgr appMgr;
  int appId = static_cast<int32_t>(m_pInitData->initAppId);
  int parentAppId = 0;
  if (!appMgr.GetParentAppIdForVM(appId, parentAppId)) {
    parentAppId = appId;
  }
  appMgr.setAppId(static_cast<unsigned long>(m_pInitData->initIdA), static_cast<unsigned long>(parentAppId));
  if (appMgr.isRetCodeError(appMgr.querySettings())) {
    return false;
  }
  const int instanceType = appMgr.getInstanceType();
  m_log.Debug(kPrepareVMInfoOrigin, "instanceType [%d]", instanceType);

  // The loader does not always set errno; cleared first so that no stale value is reported.
  errno = 0;
  LibraryHandle library(dlopen(kVMInfoLibrary, RTLD_LAZY));
  if (!library) {
    m_log.Error(kPrepareVMInfoOrigin, "Failed to load VMInfo.dll, %d", errno);
    return false;
  }
  auto createVMInfoObject = reinterpret_cast<CreateVMInfoObjectFn>(dlsym(library.get(), kVMInfoFactory));
  if (createVMInfoObject == nullptr) {
    m_log.Error(kPrepareVMInfoOrigin, "Failed to find CreateVMInfoObject in VMInfo.dll");
    return false;
  }
  // Whatever the factory left in m_pVMInfo on failure belongs to the library about to be closed.
  if (createVMInfoObject(instanceType, &m_pVMInfo) == 0 || m_pVMInfo == nullptr) {
    m_pVMInfo = nullptr;
    m_log.Error(kPrepareVMInfoOrigin, "Failed to create VMInfo object for instance type [%d]", instanceType);
    return false;
  }

  std::vector<SHostCredentials> credentials;
  appMgr.getCredentials(credentials);
  if ((server.empty() || user.empty() || password.empty()) && !credentials.empty()) {
    server = credentials.front().serverName;
    user = credentials.front().userName;
    password = credentials.front().password;
  }
  if (instanceId != 0) {
    appMgr.querySettingsForInstance(static_cast<unsigned long>(instanceId));
    appMgr.getCredentials(credentials);
  }

  if (m_pVMInfo->ConnectToServer(server, user, password, credentials) == 0) {
    m_log.Error(kPrepareVMInfoOrigin, "Failed to connect to server [%s]", server.c_str());
    const std::string reason = WithoutPasswords(m_pVMInfo->GetLastErrorString(), {&password});
    if (!reason.empty()) {
      PostToJob(*m_pRstJobClient, kMsgConnectFailedWithReason, {server, user, reason});
    } else {
      PostToJob(*m_pRstJobClient, kMsgConnectFailed, {server, user});
    }
    // The object lives in the library that is closed on return; keep no pointer into it.
    m_pVMInfo = nullptr;
    return false;
  }

  if (m_pInitDataVer2->instanceType != instanceType) {
    m_pInitDataVer2->instanceType = instanceType;
  }
  m_log.DebugLvl(kPrepareVMInfoOrigin, 2, "Connected to server [%s].", server.c_str());
  // The component stays loaded for the life of the process: its object is shared with the
  // guest channels and never deleted.
  library.release();
  return true;
}

bool CVSAgentlessRestoreToVM::PrepareGuestAPIObject(const GuestCtx& ctx) {
  std::string errorText;
  if (!CreateGuestAPIObject(m_pVMInfo, ctx, m_pGuestAPI, errorText, false) || !m_pGuestAPI) {
    m_log.Error(kPrepareGuestAPIOrigin,
                "Failed to enable guest API services on VM [%s] [%s]. Restore to the VM cannot continue.",
                m_guestCtx.vmName.c_str(), m_guestCtx.vmGuid.c_str());
    PostToJob(*m_pRstJobClient, kMsgSentence, {WithoutPasswords(errorText, {&ctx.password})});
    return false;
  }
  m_log.DebugLvl(kPrepareGuestAPIOrigin, 0, "Created GuestAPI object");
  return true;
}
