#include "hypervisor/LibvirtVMInfo.h"

#include <libvirt/libvirt-qemu.h>
#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <sys/stat.h>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hypervisor/LibvirtVMInfoOrigins.h"
#include "platform/ReplaceChoices.h"

using namespace LibvirtVMInfoOrigins;

namespace {

constexpr int kAgentRunning = 2;
constexpr int kAgentNotRunning = 1;
constexpr int kPoweredOn = 1;
constexpr int kSuspended = 2;
constexpr int kPoweredOff = 0;

virConnectPtr AsConnection(void* connection) { return static_cast<virConnectPtr>(connection); }

std::string LibvirtMessage() {
  const char* message = virGetLastErrorMessage();
  return message != nullptr ? message : "no message";
}

// libvirt prints every error to standard error unless told otherwise; the component reports
// errors through its own results and log.
void SilenceLibvirt() {
  static std::once_flag once;
  std::call_once(once, []() { virSetErrorFunc(nullptr, [](void*, virErrorPtr) {}); });
}

struct Login {
  std::string user;
  std::string password;
};

// Answers libvirt's credential questions from the job's server login.
int AnswerCredentials(virConnectCredentialPtr questions, unsigned int count, void* data) {
  const Login& login = *static_cast<const Login*>(data);
  for (unsigned int i = 0; i < count; ++i) {
    const std::string* answer = nullptr;
    switch (questions[i].type) {
      case VIR_CRED_AUTHNAME:
      case VIR_CRED_USERNAME:
        answer = &login.user;
        break;
      case VIR_CRED_PASSPHRASE:
      case VIR_CRED_NOECHOPROMPT:
        answer = &login.password;
        break;
      default:
        return -1;
    }
    if (answer->empty() && questions[i].defresult != nullptr && questions[i].type != VIR_CRED_PASSPHRASE) {
      questions[i].result = strdup(questions[i].defresult);
    } else {
      questions[i].result = strdup(answer->c_str());
    }
    if (questions[i].result == nullptr) return -1;
    questions[i].resultlen = static_cast<unsigned int>(std::strlen(questions[i].result));
  }
  return 0;
}

// The guest agent of one libvirt domain, through virDomainQemuAgentCommand.
class LibvirtAgentTransport : public AgentTransport {
 public:
  explicit LibvirtAgentTransport(virDomainPtr domain) : m_domain(domain) { virDomainRef(m_domain); }
  ~LibvirtAgentTransport() override { virDomainFree(m_domain); }
  LibvirtAgentTransport(const LibvirtAgentTransport&) = delete;
  LibvirtAgentTransport& operator=(const LibvirtAgentTransport&) = delete;

  VMInfoStatus Execute(const std::string& command, const nlohmann::json& arguments, int timeoutSeconds,
                       nlohmann::json& result, AgentFailure& failure) override {
    nlohmann::json request = {{"execute", command}};
    if (!arguments.is_null()) request["arguments"] = arguments;
    char* answer = virDomainQemuAgentCommand(m_domain, request.dump().c_str(), timeoutSeconds, 0);
    if (answer == nullptr) {
      const virErrorPtr error = virGetLastError();
      const int code = error != nullptr ? error->code : VIR_ERR_INTERNAL_ERROR;
      failure = code == VIR_ERR_AGENT_UNRESPONSIVE || code == VIR_ERR_OPERATION_TIMEOUT ||
                        code == VIR_ERR_OPERATION_INVALID || code == VIR_ERR_AGENT_UNSYNCED
                    ? AgentFailure::NoAnswer
                    : AgentFailure::Refused;
      return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent did not carry out " + command + ": " +
                                                             LibvirtMessage());
    }
    const std::string text(answer);
    std::free(answer);
    return ReadAgentAnswer(command, text, result, failure);
  }

 private:
  virDomainPtr m_domain;
};

}  // namespace

struct LibvirtVMInfo::Domain {
  virDomainPtr handle = nullptr;  // null for the guest of an agent socket
  std::string name;
  std::string uuid;
  int powerState = kPoweredOff;

  Domain() = default;
  Domain(const Domain&) = delete;
  Domain& operator=(const Domain&) = delete;
  ~Domain() {
    if (handle != nullptr) virDomainFree(handle);
  }
};

struct LibvirtVMInfo::Guest {
  std::unique_ptr<AgentTransport> transport;
  std::unique_ptr<AgentGuestFiles> files;
  bool checked = false;     // the agent answered and allows the commands
  bool loginNoted = false;  // the log says once that the guest login is not checked
};

LibvirtVMInfo::LibvirtVMInfo(VirtualServerInstanceType instanceType, const AgentLimits& limits)
    : VMInfoBackEnd(instanceType), m_limits(limits) {
  SilenceLibvirt();
}

LibvirtVMInfo::~LibvirtVMInfo() { Disconnect(); }

void LibvirtVMInfo::Disconnect() {
  m_guests.clear();
  if (m_connection != nullptr) virConnectClose(AsConnection(m_connection));
  m_connection = nullptr;
  m_server.clear();
  m_agentSocket.clear();
}

int LibvirtVMInfo::ConnectToServer(const std::string& server, const std::string& user, const std::string& password,
                                   std::vector<SHostCredentials>& credentials) {
  (void)credentials;  // the job's login, or the stored one the controller chose, arrives in user and password
  const char* origin = kConnectToServerOrigin;
  return Run(origin, [&]() {
    Disconnect();
    if (server.empty()) return VMInfoStatus::Fail(VMInfoError::BadArgument, "No libvirt URI given as the server");
    if (boost::algorithm::starts_with(server, kAgentSocketScheme)) {
      const std::string socketPath = server.substr(std::strlen(kAgentSocketScheme));
      struct stat info {};
      if (socketPath.empty() || ::stat(socketPath.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return VMInfoStatus::Fail(VMInfoError::ServerUnknown,
                                  "Guest agent socket [" + socketPath + "] does not exist or is not a socket");
      }
      m_agentSocket = socketPath;
      m_server = server;
      m_log.Debug(origin, "Using the guest agent socket [%s]", socketPath.c_str());
      return VMInfoStatus::Ok();
    }
    Login login{user, password};
    int questions[] = {VIR_CRED_AUTHNAME, VIR_CRED_USERNAME, VIR_CRED_PASSPHRASE, VIR_CRED_NOECHOPROMPT};
    virConnectAuth auth{questions, sizeof(questions) / sizeof(questions[0]), AnswerCredentials, &login};
    virConnectPtr connection = virConnectOpenAuth(server.c_str(), &auth, 0);
    if (connection == nullptr) {
      const virErrorPtr error = virGetLastError();
      const bool refused = error != nullptr && (error->code == VIR_ERR_AUTH_FAILED || error->code == VIR_ERR_AUTH_CANCELLED);
      return VMInfoStatus::Fail(refused ? VMInfoError::LoginRefused : VMInfoError::ServerNotAnswering,
                                "Cannot connect to libvirt at [" + server + "]: " + LibvirtMessage());
    }
    m_connection = connection;
    m_server = server;
    m_log.Debug(origin, "Connected to libvirt at [%s] as [%s]", server.c_str(), user.c_str());
    return VMInfoStatus::Ok();
  });
}

VMInfoStatus LibvirtVMInfo::FindDomain(const std::string& vmName, const std::string& vmGuid, Domain& domain) {
  if (m_connection == nullptr && m_agentSocket.empty()) {
    return VMInfoStatus::Fail(VMInfoError::NotConnected,
                              "Not connected to a hypervisor server; ConnectToServer must succeed first");
  }
  if (vmName.empty() && vmGuid.empty()) return VMInfoStatus::Fail(VMInfoError::BadArgument, "No VM name or GUID given");
  if (!m_agentSocket.empty()) {
    domain.name = vmName.empty() ? vmGuid : vmName;
    domain.uuid = m_agentSocket;
    domain.powerState = kPoweredOn;  // the socket's guest is there as long as its agent is
    return VMInfoStatus::Ok();
  }
  virConnectPtr connection = AsConnection(m_connection);
  if (!vmGuid.empty()) domain.handle = virDomainLookupByUUIDString(connection, vmGuid.c_str());
  if (domain.handle == nullptr && !vmName.empty()) domain.handle = virDomainLookupByName(connection, vmName.c_str());
  if (domain.handle == nullptr) {
    return VMInfoStatus::Fail(VMInfoError::VMNotFound, "VM [" + vmName + "] [" + vmGuid + "] was not found at [" +
                                                           m_server + "]: " + LibvirtMessage());
  }
  const char* name = virDomainGetName(domain.handle);
  char uuid[VIR_UUID_STRING_BUFLEN] = {};
  int state = VIR_DOMAIN_NOSTATE;
  int reason = 0;
  if (name == nullptr || virDomainGetUUIDString(domain.handle, uuid) != 0 ||
      virDomainGetState(domain.handle, &state, &reason, 0) != 0) {
    return VMInfoStatus::Fail(VMInfoError::ServerNotAnswering,
                              "VM [" + vmName + "] cannot be described by libvirt: " + LibvirtMessage());
  }
  domain.name = name;
  domain.uuid = uuid;
  switch (state) {
    case VIR_DOMAIN_RUNNING:
    case VIR_DOMAIN_BLOCKED:
      domain.powerState = kPoweredOn;
      break;
    case VIR_DOMAIN_PAUSED:
    case VIR_DOMAIN_PMSUSPENDED:
      domain.powerState = kSuspended;
      break;
    default:
      domain.powerState = kPoweredOff;
  }
  return VMInfoStatus::Ok();
}

LibvirtVMInfo::Guest& LibvirtVMInfo::GuestFor(Domain& domain) {
  std::unique_ptr<Guest>& guest = m_guests[domain.uuid];
  if (!guest) {
    guest = std::make_unique<Guest>();
    guest->transport = domain.handle != nullptr ? std::unique_ptr<AgentTransport>(new LibvirtAgentTransport(domain.handle))
                                                : MakeAgentSocketTransport(m_agentSocket);
    guest->files = std::make_unique<AgentGuestFiles>(*guest->transport, m_limits);
  }
  return *guest;
}

std::string LibvirtVMInfo::GuestAddresses(Domain& domain, Guest& guest) {
  std::vector<std::string> addresses;
  nlohmann::json interfaces;
  if (guest.files->Call("guest-network-get-interfaces", nullptr, interfaces).ok() && interfaces.is_array()) {
    for (const nlohmann::json& interface : interfaces) {
      if (!interface.is_object() || interface.value("name", "") == "lo") continue;
      for (const nlohmann::json& address : interface.value("ip-addresses", nlohmann::json::array())) {
        if (address.is_object() && address.contains("ip-address") && address["ip-address"].is_string()) {
          addresses.push_back(address["ip-address"].get<std::string>());
        }
      }
    }
  }
  if (addresses.empty() && domain.handle != nullptr) {
    virDomainInterfacePtr* leases = nullptr;
    const int count = virDomainInterfaceAddresses(domain.handle, &leases, VIR_DOMAIN_INTERFACE_ADDRESSES_SRC_LEASE, 0);
    for (int i = 0; i < count; ++i) {
      for (unsigned int a = 0; a < leases[i]->naddrs; ++a) {
        if (leases[i]->addrs[a].addr != nullptr) addresses.emplace_back(leases[i]->addrs[a].addr);
      }
      virDomainInterfaceFree(leases[i]);
    }
    std::free(leases);
  }
  return boost::algorithm::join(addresses, ",");
}

int LibvirtVMInfo::GetVMInfo(const std::string& vmName, const std::string& vmGuid, const std::string& serverName,
                             int64_t infoFlags, int reserved, VMInfoStructs::SVMInfo* info) {
  (void)serverName;  // the connected libvirt host is searched
  (void)infoFlags;
  (void)reserved;
  return Run(kGetVMInfoOrigin, [&]() {
    if (info == nullptr) return VMInfoStatus::Fail(VMInfoError::BadArgument, "No VM record to fill");
    Domain domain;
    VMInfoStatus status = FindDomain(vmName, vmGuid, domain);
    if (!status.ok()) return status;
    info->vmName = domain.name;
    info->vmGuid = domain.handle != nullptr ? domain.uuid : vmGuid;
    if (domain.handle != nullptr) {
      char* host = virConnectGetHostname(AsConnection(m_connection));
      info->hostName = host != nullptr ? host : "";
      std::free(host);
    } else {
      info->hostName = "localhost";
    }
    info->powerState = domain.powerState;
    info->toolsStatus = kAgentNotRunning;
    info->toolsDescription = "guestAgentNotRunning";
    if (domain.powerState == kPoweredOn) {
      Guest& guest = GuestFor(domain);
      nlohmann::json pong;
      AgentFailure failure = AgentFailure::None;
      if (guest.transport->Execute("guest-ping", nullptr, m_limits.silentAgentSeconds, pong, failure).ok()) {
        info->toolsStatus = kAgentRunning;
        info->toolsDescription = "guestAgentRunning";
      }
      info->guestIpAddress = GuestAddresses(domain, guest);
    }
    return VMInfoStatus::Ok();
  });
}

VMInfoStatus LibvirtVMInfo::OpenGuest(const GuestCtx& ctx, bool recheck, Guest*& guest) {
  Domain domain;
  VMInfoStatus status = FindDomain(ctx.vmName, ctx.vmGuid, domain);
  if (!status.ok()) return status;
  if (domain.powerState != kPoweredOn) {
    return VMInfoStatus::Fail(VMInfoError::VMNotPoweredOn,
                              "VM [" + domain.name + "] is not running; start it for guest operations");
  }
  guest = &GuestFor(domain);
  if (!guest->checked || recheck) {
    status = guest->files->CheckAgent();
    if (!status.ok()) return VMInfoStatus::Fail(VMInfoError::GuestAgent, "VM [" + domain.name + "]: " + status.text());
    nlohmann::json os;
    if (guest->files->Call("guest-get-osinfo", nullptr, os).ok() && os.is_object() && os.value("id", "") == "mswindows") {
      return VMInfoStatus::Fail(VMInfoError::NotSupported,
                                "VM [" + domain.name + "] runs Windows; this component restores through the guest "
                                                       "agent into Linux and other Unix guests only");
    }
    guest->checked = true;
  }
  if (!guest->loginNoted) {
    m_log.Debug(kOpenGuestOrigin,
                "Guest login [%s] is not checked on VM [%s]: the QEMU guest agent acts as the guest's system account "
                "and takes no guest password",
                ctx.userName.c_str(), domain.name.c_str());
    guest->loginNoted = true;
  }
  return VMInfoStatus::Ok();
}

int LibvirtVMInfo::RunInGuest(const char* origin, const GuestCtx& ctx, const GuestWork& work) {
  return Run(origin, [&]() {
    Guest* guest = nullptr;
    VMInfoStatus status = OpenGuest(ctx, false, guest);
    if (!status.ok()) return status;
    guest->files->SetBackupSuffix(m_backupSuffix);
    status = work(*guest->files);
    // What the agent was asked so far, for the benchmark and for judging a slow job.
    const AgentCounters& counters = guest->files->counters();
    m_log.DebugLvl(origin, 2,
                   "Guest agent so far: %llu agent commands, %llu guest programs (%llu status polls, %llu ms from "
                   "start to seen end)",
                   static_cast<unsigned long long>(counters.commands), static_cast<unsigned long long>(counters.programs),
                   static_cast<unsigned long long>(counters.polls),
                   static_cast<unsigned long long>(counters.programMilliseconds));
    for (const AgentGuestFiles::Notice& notice : guest->files->TakeNotices()) {
      if (notice.problem) {
        m_log.Error(origin, "%s", notice.text.c_str());
      } else {
        m_log.Debug(origin, "%s", notice.text.c_str());
      }
    }
    return status;
  });
}

int LibvirtVMInfo::BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                               std::vector<VMInfoStructs::SGuestFile>& entries) {
  return RunInGuest(kBrowseGuestOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.Browse(guestPath, false, entries); });
}

int LibvirtVMInfo::BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                                      std::vector<VMInfoStructs::SGuestFile>& entries) {
  return RunInGuest(kBrowseGuestFoldersOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.Browse(guestPath, true, entries); });
}

int LibvirtVMInfo::CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) {
  return RunInGuest(kCreateGuestFolderOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.CreateFolder(guestPath); });
}

int LibvirtVMInfo::CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                                   bool overwrite) {
  return RunInGuest(kCopyFileToGuestOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.CopyFileIn(localFile, guestFile, overwrite); });
}

int LibvirtVMInfo::CopyDirectoryToGuest(const GuestCtx& ctx, const std::string& localDir, const std::string& guestDir,
                                        bool overwrite) {
  return RunInGuest(kCopyDirectoryToGuestOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.CopyTreeIn(localDir, guestDir, overwrite); });
}

int LibvirtVMInfo::CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) {
  return RunInGuest(kCopyFileFromGuestOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.CopyFileOut(guestFile, localFile); });
}

int LibvirtVMInfo::ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                             const VMInfoStructs::SGuestFile& attributes) {
  return RunInGuest(kChangeGuestFileAttributesOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.ChangeAttributes(guestPath, attributes); });
}

int LibvirtVMInfo::PrepareGuestForFileCopy(const GuestCtx& ctx) {
  return Run(kPrepareGuestForFileCopyOrigin, [&]() {
    Guest* guest = nullptr;
    return OpenGuest(ctx, true, guest);
  });
}

int LibvirtVMInfo::ExecuteScriptInGuest(const GuestCtx&, const std::string&, int) {
  return RefuseUnsupported(kExecuteScriptInGuestOrigin, "Running scripts in the guest is not offered");
}

int LibvirtVMInfo::ExecuteProcessInGuest(const GuestCtx&, const std::string& program, const std::string&,
                                         const std::string&, int, int& exitCode) {
  exitCode = 0;
  return RefuseUnsupported(kExecuteProcessInGuestOrigin,
                           "Running programs in the guest is not offered (program [" + program + "])");
}

int LibvirtVMInfo::IsProcessRunningInGuest(const GuestCtx&, const std::string& program, long& processId,
                                           bool& running) {
  processId = 0;
  running = false;
  return RefuseUnsupported(kIsProcessRunningInGuestOrigin,
                           "Watching programs in the guest is not offered (program [" + program + "])");
}

int LibvirtVMInfo::GetGuestTempFolder(const GuestCtx& ctx, std::string& folder) {
  return RunInGuest(kGetGuestTempFolderOrigin, ctx, [&](AgentGuestFiles& files) {
    (void)files;
    folder = "/tmp";
    return VMInfoStatus::Ok();
  });
}

int LibvirtVMInfo::DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) {
  return RunInGuest(kDeleteDirectoryInGuestOrigin, ctx,
                    [&](AgentGuestFiles& files) { return files.DeleteFolder(guestPath); });
}

int LibvirtVMInfo::HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                                  std::vector<std::string>& digests) {
  digests.clear();
  std::vector<std::string> answered(guestFiles.size());
  const int result = RunInGuest(kHashGuestFilesOrigin, ctx, [&](AgentGuestFiles& files) {
    const std::string batchProblem = HashBatchProblem(guestFiles.size());
    if (!batchProblem.empty()) return VMInfoStatus::Fail(VMInfoError::GuestFileError, batchProblem);
    VMInfoStatus status = VMInfoStatus::Ok();
    for (size_t i = 0; status.ok() && i < guestFiles.size(); ++i) status = files.Sha256(guestFiles[i], answered[i]);
    return status;
  });
  if (result) digests = std::move(answered);
  return result;
}

int LibvirtVMInfo::SetBackupSuffix(const std::string& suffix) {
  return Run(kSetBackupSuffixOrigin, [&]() {
    const std::string problem = suffix.empty() ? std::string() : ReplaceChoices::BackupSuffixProblem(suffix);
    if (!problem.empty()) return VMInfoStatus::Fail(VMInfoError::GuestFileError, problem);
    m_backupSuffix = suffix;
    return VMInfoStatus::Ok();
  });
}
