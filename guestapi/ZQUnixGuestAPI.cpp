#include "guestapi/ZQUnixGuestAPI.h"

#include <boost/algorithm/string/find_iterator.hpp>
#include <boost/algorithm/string/iter_find.hpp>
#include <boost/algorithm/string/finder.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "guestapi/ZQUnixGuestAPIOrigins.h"
#include "platform/FXFile.h"
#include "platform/ReplaceChoices.h"
#include "toolscontract/ShellQuote.h"
#include "toolscontract/SshToolsContract.h"

using namespace ZQUnixGuestAPIOrigins;

namespace {

using VMInfoStructs::SGuestFile;

using SshToolsContract::kDestinationMarker;
using SshToolsContract::kHelperScript;
using SshToolsContract::kPasswordVariable;
constexpr const char* kPlinkTool = SshToolsContract::kCommandTool;
constexpr const char* kPscpTool = SshToolsContract::kCopyTool;
// How the helper script's write begins the line of each stale temporary file it removed.
constexpr const char* kStaleRemovedText = "removed stale temporary file ";
constexpr size_t kBrowseFields = 8;

long long DecimalNumber(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

int KindOf(const std::string& word) {
  if (boost::algorithm::icontains(word, "regular")) return VMInfoStructs::GuestFileRegular;
  if (boost::algorithm::icontains(word, "symlink")) return VMInfoStructs::GuestFileSymlink;
  if (boost::algorithm::icontains(word, "directory")) return VMInfoStructs::GuestFileDirectory;
  return VMInfoStructs::GuestFileOther;
}

// The helper script writes a backslash in a name as "\\" and a newline as "\n", so that every
// entry stays on one line; any other backslash is kept as it is.
std::string DecodeBrowseName(const std::string& field) {
  std::string name;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size() && (field[i + 1] == '\\' || field[i + 1] == 'n')) {
      name += field[i + 1] == 'n' ? '\n' : '\\';
      ++i;
    } else {
      name += field[i];
    }
  }
  return name;
}

SGuestFile EntryFromFields(const std::vector<std::string>& fields) {
  SGuestFile entry;
  entry.name = DecodeBrowseName(fields[0]);
  entry.size = DecimalNumber(fields[1]);
  entry.type = KindOf(fields[2]);
  entry.modifyTime = DecimalNumber(fields[3]);
  entry.accessTime = DecimalNumber(fields[4]);
  entry.uid = static_cast<int32_t>(DecimalNumber(fields[5]));
  entry.gid = static_cast<int32_t>(DecimalNumber(fields[6]));
  entry.mode = static_cast<int32_t>(DecimalNumber(fields[7]));
  entry.createTime = 0;
  return entry;
}

std::string OctalMode(int32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode) & 07777u);
  return text;
}

// `folder` without "/." parts and trailing slashes ("/" stays "/"), so that the first "/./" of a
// marked path is the one the channel put there.
std::string PlainFolder(std::string folder) {
  for (size_t at = folder.find(kDestinationMarker); at != std::string::npos; at = folder.find(kDestinationMarker)) {
    folder.erase(at, 2);
  }
  while (folder.size() >= 2 && folder.compare(folder.size() - 2, 2, "/.") == 0) folder.erase(folder.size() - 2);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// `folder` without trailing "/" ("/" stays "/").
std::string FolderKey(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The folder that holds `guestFile`; empty for a name without "/".
std::string FolderOfFile(const std::string& guestFile) {
  const size_t slash = guestFile.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string(1, '/') : FolderKey(guestFile.substr(0, slash));
}

// The address as the host part of a copy target: an IPv6 address in brackets, so that its
// colons are not taken for the one that starts the path.
std::string TargetHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

}  // namespace

ZQUnixGuestAPI::ZQUnixGuestAPI(IVMInfo* vmInfo) : CGuestAPI(vmInfo) {}

ZQUnixGuestAPI::~ZQUnixGuestAPI() = default;

bool ZQUnixGuestAPI::IsZqGuestAPI() { return true; }

int ZQUnixGuestAPI::InitStagingFolder(long long, const std::string&, const std::string& guestDir) {
  m_destination = PlainFolder(guestDir);
  return 1;
}

std::string ZQUnixGuestAPI::MarkedPath(const std::string& guestPath, bool folderToCreate) const {
  if (m_destination.empty()) return folderToCreate ? PlainFolder(guestPath) + kDestinationMarker : guestPath;
  const std::string root = m_destination == "/" ? std::string() : m_destination;
  if (guestPath.compare(0, root.size(), root) != 0) return guestPath;
  const std::string below = guestPath.substr(root.size());
  if (!below.empty() && below[0] != '/') return guestPath;
  // "/." + below: `below` begins with the marker's final "/".
  return root + (below.empty() ? kDestinationMarker : "/." + below);
}

bool ZQUnixGuestAPI::Init(const GuestLoginCred& cred) {
  if (m_pVMInfo != nullptr && m_pVMInfo->GetInstanceType() == VSInstanceVMware) return false;
  if (!CGuestAPI::Init(cred)) return false;
  return IsGuestUnix();
}

bool ZQUnixGuestAPI::PreExecuteCommand(const std::string&) {
  SetEnv(kPasswordVariable, m_loginCred.password.c_str());
  return true;
}

bool ZQUnixGuestAPI::PostExecuteCommand(const std::string&) {
  unsetenv(kPasswordVariable);
  return true;
}

bool ZQUnixGuestAPI::IsGuestUnix() {
  std::vector<std::string> addresses;
  boost::algorithm::iter_split(addresses, m_loginCred.ipAddress, boost::algorithm::first_finder(","));
  for (const std::string& address : addresses) {
    if (address.empty()) continue;
    std::string command = ShellQuote::Word(m_baseHome + "/" + kPlinkTool) + " " + ShellQuote::Word(address) +
                          " -l " + ShellQuote::Word(m_loginCred.userName) + " uname -a";
    std::string output;
    if (!ExecuteCommand(command, output)) continue;
    if (boost::algorithm::icontains(output, "linux")) {
      m_guestVerified = true;
      m_loginCred.ipAddress = address;
      return true;
    }
    m_log.Error(kIsGuestUnixOrigin, "cmd %s\nresp %s", command.c_str(), output.c_str());
    return false;
  }
  return false;
}

void ZQUnixGuestAPI::InitZqPlinkCmd(std::string& command) {
  command = ShellQuote::Word(m_baseHome + "/" + kPlinkTool) + " " + ShellQuote::Word(m_loginCred.ipAddress) +
            " -l " + ShellQuote::Word(m_loginCred.userName) + " \"bash -s\" -- < " + command;
}

void ZQUnixGuestAPI::InitZqPscpCmd(std::string& arguments) {
  arguments = ShellQuote::Word(m_baseHome + "/" + kPscpTool) + " " + " " + arguments;
}

std::string ZQUnixGuestAPI::ScriptInvocation(const std::string& option, const std::string& guestPath,
                                             const std::string& numbers) {
  std::string invocation = ShellQuote::Word(m_baseHome + "/" + kHelperScript) + " " +
                           ShellQuote::DoubleQuoted(option) + " " +
                           ShellQuote::DoubleQuoted(ShellQuote::SingleQuoted(guestPath));
  if (!numbers.empty()) invocation += " " + numbers;
  return invocation;
}

bool ZQUnixGuestAPI::CheckCarriable(const char* origin, const std::string& path) {
  if (ShellQuote::IsCarriable(path)) return true;
  m_log.Error(origin, "Guest path [%s] holds a NUL byte, which no command line can carry", path.c_str());
  SetLastGuestApiErrorDetails("Guest path holds a NUL byte, which no command line can carry");
  return false;
}

bool ZQUnixGuestAPI::RunScript(const char* origin, const std::string& option, const std::string& guestPath,
                               std::string& output, const std::string& numbers) {
  if (!CheckCarriable(origin, guestPath)) return false;
  std::string command = ScriptInvocation(option, MarkedPath(guestPath, option == "--create_dir"), numbers);
  InitZqPlinkCmd(command);
  return ExecuteCommand(command, output);
}

std::string ZQUnixGuestAPI::CopyCommand(const std::string& localFile, const std::string& guestFile,
                                        const std::string& owner) {
  std::string arguments;
  if (!m_backupSuffix.empty()) arguments = "--backup-suffix " + ShellQuote::SingleQuoted(m_backupSuffix) + " ";
  if (!owner.empty()) arguments += "--owner " + owner + " ";
  arguments += ShellQuote::SingleQuoted(localFile) + " " +
                          ShellQuote::Word(m_loginCred.userName + "@" + TargetHost(m_loginCred.ipAddress)) +
                          ":/" + ShellQuote::SingleQuoted(MarkedPath(guestFile));
  InitZqPscpCmd(arguments);
  return arguments;
}

int ZQUnixGuestAPI::BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                                std::vector<SGuestFile>& entries) {
  m_log.Debug(kBrowseOrigin, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(), guestPath.c_str());
  if (guestPath.empty() || guestPath == "\\") return BrowseGuestRoot(ctx, guestPath, entries);
  return BrowseGuestFolder(ctx, guestPath, entries);
}

int ZQUnixGuestAPI::BrowseGuestRoot(const GuestCtx&, const std::string&, std::vector<SGuestFile>& entries) {
  SGuestFile root;
  root.name = "/";
  root.type = VMInfoStructs::GuestFileDirectory;
  entries.push_back(root);
  return 1;
}

int ZQUnixGuestAPI::BrowseGuestFolder(const GuestCtx&, const std::string& guestPath,
                                      std::vector<SGuestFile>& entries) {
  return BrowseWithOption(kBrowseFolderOrigin, "--browse_path", guestPath, entries);
}

int ZQUnixGuestAPI::BrowseGuestFolders(const GuestCtx&, const std::string& guestPath,
                                       std::vector<SGuestFile>& entries) {
  m_log.Debug(kBrowseFoldersOrigin, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(), guestPath.c_str());
  return BrowseWithOption(kBrowseFoldersOrigin, "--list_dirs", guestPath, entries);
}

int ZQUnixGuestAPI::BrowseWithOption(const char* origin, const std::string& option, const std::string& guestPath,
                                     std::vector<SGuestFile>& entries) {
  std::string output;
  if (!RunScript(origin, option, guestPath, output)) return 0;
  if (output.empty()) return 1;
  const size_t known = entries.size();
  if (!ParseBrowseResponse(output, entries)) return 0;
  // A folder entry is always a child of the browsed path: a browse describes a file itself, and
  // a folder by its entries.
  for (size_t i = known; i < entries.size(); ++i) {
    const std::string& name = entries[i].name;
    if (entries[i].type != VMInfoStructs::GuestFileDirectory || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos) {
      continue;
    }
    const std::string folder = FolderKey(guestPath);
    RememberFolder((folder == "/" ? folder : folder + "/") + name);
  }
  return 1;
}

bool ZQUnixGuestAPI::IsKnownFolder(const std::string& folder) {
  if (folder.empty()) return false;
  for (auto known = m_knownFolders.begin(); known != m_knownFolders.end(); ++known) {
    if (*known != folder) continue;
    std::string used = std::move(*known);
    m_knownFolders.erase(known);
    m_knownFolders.push_back(std::move(used));
    return true;
  }
  return false;
}

void ZQUnixGuestAPI::RememberFolder(const std::string& folder) {
  const std::string key = FolderKey(folder);
  if (key.empty() || IsKnownFolder(key)) return;
  m_knownFolders.push_back(key);
  if (m_knownFolders.size() > kKnownFolders) m_knownFolders.pop_front();
}

void ZQUnixGuestAPI::ForgetFolder(const std::string& folder) {
  for (auto known = m_knownFolders.begin(); known != m_knownFolders.end(); ++known) {
    if (*known == folder) {
      m_knownFolders.erase(known);
      return;
    }
  }
}

bool ZQUnixGuestAPI::ParseBrowseResponse(const std::string& output, std::vector<SGuestFile>& entries) {
  // Only what this answer adds counts: entries the caller's vector held already were not found here.
  const size_t before = entries.size();
  for (const std::string& line : FXString::Split(output, "\n")) {
    if (line.empty()) continue;
    std::vector<std::string> fields = FXString::Split(line, "/");
    if (fields.size() != kBrowseFields) {
      m_log.Error(kParseOrigin, "line %s nTokens %zd expected nTokens %d", line.c_str(), fields.size(),
                  static_cast<int>(kBrowseFields));
      continue;
    }
    entries.push_back(EntryFromFields(fields));
  }
  return entries.size() > before;
}

int ZQUnixGuestAPI::CreateGuestFolder(const GuestCtx&, const std::string& guestPath) {
  m_log.Debug(kCreateFolderOrigin, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(), guestPath.c_str());
  std::string output;
  if (!RunScript(kCreateFolderOrigin, "--create_dir", guestPath, output)) return 0;
  RememberFolder(guestPath);
  return 1;
}

int ZQUnixGuestAPI::DeleteDirectoryInGuest(const GuestCtx&, std::string& guestPath) {
  m_log.Debug(kDeleteFolderOrigin, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(), guestPath.c_str());
  // Whatever happens, what was below the folder is no longer known.
  m_knownFolders.clear();
  std::string output;
  return RunScript(kDeleteFolderOrigin, "--delete_dir", guestPath, output) ? 1 : 0;
}

int ZQUnixGuestAPI::ChangeGuestFileAttributes(const GuestCtx&, const std::string& guestPath,
                                              const SGuestFile& attributes) {
  m_log.Debug(kAttributesOrigin, "GuestVM %s GuestPath %s [%ld, %ld, %d, %d, %d]", m_loginCred.ipAddress.c_str(),
              guestPath.c_str(), static_cast<long>(attributes.accessTime), static_cast<long>(attributes.modifyTime),
              attributes.uid, attributes.gid, attributes.mode);
  // Ids are 32-bit unsigned in the guest: 4294967294 is an id, not -2.
  std::string numbers = std::to_string(attributes.accessTime) + " " + std::to_string(attributes.modifyTime) + " " +
                        std::to_string(static_cast<uint32_t>(attributes.uid)) + " " +
                        std::to_string(static_cast<uint32_t>(attributes.gid)) + " " + OctalMode(attributes.mode);
  std::string output;
  if (!RunScript(kAttributesOrigin, "--change_file_attr", guestPath, output, numbers)) return 0;
  // A login other than root cannot give an entry away: the script applies mode and times, keeps
  // the owner and says so. The attribute change did not do all it was asked, so it fails; the
  // line (level 0) tells a host that the rest was applied and why the owner differs.
  static const std::string kOwnerNotSet = "owner not set: login ";
  const std::string::size_type found = output.find(kOwnerNotSet);
  if (found != std::string::npos) {
    const std::string::size_type nameStart = found + kOwnerNotSet.size();
    const std::string::size_type nameEnd = output.find(" is not root", nameStart);
    const std::string login =
        nameEnd == std::string::npos ? m_loginCred.userName : output.substr(nameStart, nameEnd - nameStart);
    m_log.DebugLvl(kAttributesOrigin, 0, "Owner not set on [%s]: login [%s] is not root", guestPath.c_str(),
                   login.c_str());
    SetLastGuestApiErrorDetails("the owner of [" + guestPath + "] was not set: login [" + login +
                                "] is not root (mode and times were set)");
    return 0;
  }
  return 1;
}

int ZQUnixGuestAPI::CopyFileToGuest(const GuestCtx&, const std::string& localFile, const std::string& guestFile,
                                    bool overwrite) {
  m_log.Debug(kCopyOrigin, "GuestVM %s localFile %s guestFile %s overwrite %d", m_loginCred.ipAddress.c_str(),
              localFile.c_str(), guestFile.c_str(), overwrite ? 1 : 0);
  const std::string owner = std::move(m_nextCopyOwner);  // this copy's only, whatever becomes of it
  m_nextCopyOwner.clear();
  if (!CheckCarriable(kCopyOrigin, guestFile) || !CheckCarriable(kCopyOrigin, localFile)) return 0;
  std::string output;
  const std::string parent = FolderOfFile(guestFile);
  if (!IsKnownFolder(parent)) {
    if (!RunScript(kCopyOrigin, "--create_parent_dir", guestFile, output)) {
      m_log.Error(kCopyOrigin, "Failed to create parent dir for %s", guestFile.c_str());
      return 0;
    }
    RememberFolder(parent);
  }
  const std::string copyCommand = CopyCommand(localFile, guestFile, owner);
  // A failed command may mean the folder has gone: the next copy into it ensures it again.
  const auto copy = [&]() {
    const bool copied = ExecuteCopyCommand(copyCommand, output);
    // The guest's write removes temporary files an interrupted restore left in the folder, and
    // names each on a line of its own.
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(kStaleRemovedText, 0) == 0) m_log.DebugLvl(kCopyOrigin, 0, "Guest: %s", line.c_str());
    }
    if (copied) return 1;
    ForgetFolder(parent);
    return 0;
  };
  if (overwrite) return copy();
  if (!RunScript(kCopyOrigin, "--file_exists", guestFile, output)) {
    ForgetFolder(parent);
    return 0;
  }
  if (boost::algorithm::icontains(output, "File doesn't exist")) return copy();
  // Something already stands at the target: it is kept as it is, and since nothing was copied the
  // result is no success, so that no attribute is stamped on what the guest holds.
  m_log.Debug(kCopyOrigin, "Guest path [%s] exists; kept without copying", guestFile.c_str());
  SetLastGuestApiErrorDetails("Guest path " + guestFile + " exists; kept without copying");
  return 0;
}

void ZQUnixGuestAPI::SetNextCopyOwner(int64_t uid, int64_t gid) {
  constexpr int64_t kMaxId = 4294967294;  // (uid_t)-1 means "leave as it is" to chown
  m_nextCopyOwner = uid >= 0 && gid >= 0 && uid <= kMaxId && gid <= kMaxId
                        ? std::to_string(uid) + ":" + std::to_string(gid)
                        : std::string();
}

int ZQUnixGuestAPI::SetBackupSuffix(const std::string& suffix) {
  if (!suffix.empty()) {
    const std::string problem = ReplaceChoices::BackupSuffixProblem(suffix);
    if (!problem.empty()) {
      m_log.Error(kBackupSuffixOrigin, "Backup suffix refused: %s", problem.c_str());
      SetLastGuestApiErrorDetails(problem);
      return 0;
    }
  }
  m_backupSuffix = suffix;
  return 1;
}

int ZQUnixGuestAPI::HashGuestFiles(const GuestCtx&, const std::vector<std::string>& guestFiles,
                                   std::vector<std::string>& digests) {
  digests.clear();
  const std::string batchProblem = HashBatchProblem(guestFiles.size());
  if (!batchProblem.empty()) {
    m_log.Error(kHashOrigin, "%s", batchProblem.c_str());
    SetLastGuestApiErrorDetails("too many files in one digest request");
    return 0;
  }
  std::string command = ShellQuote::Word(m_baseHome + "/" + kHelperScript) + " " + ShellQuote::DoubleQuoted("--sha256");
  for (const std::string& guestFile : guestFiles) {
    m_log.Debug(kHashOrigin, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(), guestFile.c_str());
    if (!CheckCarriable(kHashOrigin, guestFile)) return 0;
    command += " " + ShellQuote::DoubleQuoted(ShellQuote::SingleQuoted(MarkedPath(guestFile)));
  }
  InitZqPlinkCmd(command);
  std::string output;
  if (!ExecuteCommand(command, output)) return 0;
  // One line per file: 64 hexadecimal digits, or "-" for no regular file. Nothing else is taken,
  // and an answer longer than that many lines could be is not read at all.
  const size_t longest = guestFiles.size() * (ReplaceChoices::kSha256HexDigits + 2);
  std::vector<std::string> lines;
  if (output.size() <= longest) {
    for (std::string line : FXString::Split(output, "\n")) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) lines.push_back(line);
    }
  }
  std::vector<std::string> answered;
  for (const std::string& line : lines) {
    const std::string digest = line == "-" ? std::string("-") : ReplaceChoices::Sha256FromAnswer(line);
    if (digest.empty()) break;
    answered.push_back(digest == "-" ? std::string() : digest);
  }
  if (answered.size() != guestFiles.size() || lines.size() != guestFiles.size()) {
    m_log.Error(kHashOrigin, "The guest's digest answer is not one digest per file (%zu files, %zu bytes)",
                guestFiles.size(), output.size());
    SetLastGuestApiErrorDetails("the guest gave no valid SHA-256 digest");
    return 0;
  }
  digests = std::move(answered);
  return 1;
}
