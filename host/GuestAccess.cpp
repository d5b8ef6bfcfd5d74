#include "host/GuestAccess.h"

#include <dlfcn.h>
#include <strings.h>

#include <cinttypes>
#include <ctime>

#include "host/GuestPath.h"
#include "host/TerminalLines.h"

#include "platform/pstring.h"
#include "platform/vsAppMgr.h"

namespace {

char TypeLetter(int32_t type) {
  switch (type) {
    case 1:
      return 'd';
    case 2:
      return '-';
    case 3:
      return 'l';
    default:
      return '?';
  }
}

// The instance type and stored credentials of the job's hypervisor instance: the instance the job
// names, else the instance of the VM's application (or of its parent application).
int LookUpInstance(const JobFile& job, std::vector<SHostCredentials>& credentials) {
  vsAppMgr applications;
  if (job.instanceId > 0) {
    if (applications.querySettingsForInstance(static_cast<unsigned long>(job.instanceId)) != vsAppMgr::kSettingsLoaded) {
      return 0;
    }
  } else {
    int appId = static_cast<int>(job.ids.initAppId);
    int parentAppId = appId;
    if (!applications.GetParentAppIdForVM(appId, parentAppId)) parentAppId = appId;
    applications.setAppId(static_cast<unsigned long>(job.ids.initIdA), static_cast<unsigned long>(parentAppId));
    if (applications.isRetCodeError(applications.querySettings())) return 0;
  }
  applications.getCredentials(credentials);
  return applications.getInstanceType();
}

}  // namespace

bool SplitGuestPath(const std::string& path, std::string& folder, std::string& name) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\')) trimmed.pop_back();
  const std::string::size_type cut = trimmed.find_last_of(IsWindowsAbsolute(trimmed) ? "\\/" : "/");
  if (cut == std::string::npos || cut + 1 >= trimmed.size()) return false;
  name = trimmed.substr(cut + 1);
  folder = trimmed.substr(0, cut);
  if (folder.empty()) folder = "/";
  if (folder.size() == 2 && folder[1] == ':') folder += "\\";  // "D:" is the drive's current folder
  return true;
}

bool VMInfoConnection::Connect(const JobFile& job, const std::string& libraryPath, const SecretMask& mask,
                               std::string& error) {
  std::vector<SHostCredentials> credentials;
  const int storedType = LookUpInstance(job, credentials);
  m_instanceType = job.instanceType != 0 ? static_cast<int>(job.instanceType) : storedType;

  if (!m_library.Open(libraryPath, RTLD_LAZY, error)) return false;
  auto create = reinterpret_cast<CreateVMInfoObjectFn>(m_library.Symbol("CreateVMInfoObject", error));
  if (create == nullptr) return false;
  if (create(m_instanceType, &m_vmInfo) == 0 || m_vmInfo == nullptr) {
    error = "the VM-information component made no object for instance type " + std::to_string(m_instanceType);
    return false;
  }
  m_library.Keep();

  std::string server = job.serverName;
  std::string user = job.server.userName;
  std::string password = job.server.password;
  if ((server.empty() || user.empty() || password.empty()) && !credentials.empty()) {
    server = credentials.front().serverName;
    user = credentials.front().userName;
    password = credentials.front().password;
  }
  const bool connected = m_vmInfo->ConnectToServer(server, user, password, credentials) != 0;
  WipeString(password);
  for (SHostCredentials& record : credentials) WipeString(record.password);
  if (!connected) {
    const std::string reason = m_vmInfo->GetLastErrorString();
    // Our own words and the names in them are never masked; only what the component said is.
    error = "cannot connect to server [" + server + "] as [" + user + "]" +
            (reason.empty() ? "" : ": " + mask.Apply(reason));
    return false;
  }
  return true;
}

GuestCtx MakeGuestCtx(const JobFile& job) {
  GuestCtx ctx;
  ctx.vmName = job.vmName;
  ctx.vmGuid = job.vmGuid;
  ctx.serverName = job.serverName;
  ctx.userName = job.guest.userName;
  ctx.password = job.guest.password;
  return ctx;
}

std::string FormatGuestEntry(const VMInfoStructs::SGuestFile& entry) {
  char stamp[32] = "-";
  const time_t modified = static_cast<time_t>(entry.modifyTime);
  tm utc{};
  if (gmtime_r(&modified, &utc) != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  char line[128];
  snprintf(line, sizeof line, "%c %04o %6d %6d %12" PRId64 " %s  ", TypeLetter(entry.type),
           static_cast<unsigned>(entry.mode) & 07777u, entry.uid, entry.gid, static_cast<int64_t>(entry.size), stamp);
  return line + PrintableText(entry.name);
}

GuestSession::GuestSession(const JobFile& job, const PluginLibrary& plugin, const SecretMask& mask)
    : m_job(job), m_plugin(plugin), m_mask(mask), m_ctx(MakeGuestCtx(job)) {}

GuestSession::~GuestSession() {
  m_channel.reset();
  WipeString(m_ctx.password);
}

bool GuestSession::Open(const std::string& vmInfoLibrary, bool preferNative, std::string& error) {
  if (!m_connection.Connect(m_job, vmInfoLibrary, m_mask, error)) return false;
  std::string errorText;
  if (!m_plugin.CreateGuestChannel(m_connection.get(), m_ctx, m_channel, errorText, preferNative) || !m_channel) {
    error = "no guest channel for VM [" + m_job.vmName + "]" +
            (errorText.empty() ? "" : ": " + m_mask.Apply(errorText));
    return false;
  }
  return true;
}

std::string GuestSession::ChannelKind() const {
  if (!m_channel) return "none";
  return m_channel->IsZqGuestAPI() ? "SSH command channel" : "native guest operations";
}

std::string GuestSession::LastError(const char* what) const {
  std::string details = m_channel->GetLastGuestApiErrorDetails();
  // A command channel's details are the whole command line; the guest's own words come from the
  // log instead (HostLogTap::ReasonSince), and the command stays in the log.
  if (details.rfind("Cmd ", 0) == 0 && details.size() >= 7 && details.compare(details.size() - 7, 7, "failed!") == 0) {
    details.clear();
  }
  return std::string(what) + (details.empty() ? "" : ": " + m_mask.Apply(details));
}

bool GuestSession::Exists(const std::string& path) {
  std::string folder;
  std::string name;
  if (!SplitGuestPath(path, folder, name)) return true;  // a root is always there
  std::vector<VMInfoStructs::SGuestFile> entries;
  if (m_channel->BrowseGuest(m_ctx, folder, entries) == 0) return false;
  const bool windows = IsWindowsAbsolute(path);
  for (const VMInfoStructs::SGuestFile& entry : entries) {
    if (entry.name == name || (windows && strcasecmp(entry.name.c_str(), name.c_str()) == 0)) return true;
  }
  return false;
}

bool GuestSession::Browse(const std::string& path, std::vector<VMInfoStructs::SGuestFile>& entries,
                          std::string& error) {
  const bool listed = m_channel->BrowseGuest(m_ctx, path, entries) != 0;
  // An empty answer cannot tell an empty folder from a missing one; the parent's listing can.
  if ((!listed || entries.empty()) && !path.empty() && !Exists(path)) {
    error = "not found: [" + path + "]";
    return false;
  }
  if (listed) return true;
  error = LastError(("cannot browse [" + path + "]").c_str());
  return false;
}

bool GuestSession::MakeFolder(const std::string& path, std::string& error) {
  if (m_channel->CreateGuestFolder(m_ctx, path) != 0) return true;
  error = LastError(("cannot create [" + path + "]").c_str());
  return false;
}

bool GuestSession::Put(const std::string& localFile, const std::string& guestPath, bool overwrite,
                       std::string& error) {
  if (!overwrite && Exists(guestPath)) {
    error = "kept: [" + guestPath + "] exists in the guest; use --overwrite to replace it";
    return false;
  }
  if (m_channel->CopyFileToGuest(m_ctx, localFile, guestPath, overwrite) != 0) return true;
  error = LastError(("cannot copy [" + localFile + "] to [" + guestPath + "]").c_str());
  return false;
}
