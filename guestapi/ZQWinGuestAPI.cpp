#include "guestapi/ZQWinGuestAPI.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <unistd.h>
#include <locale.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/finder.hpp>
#include <boost/algorithm/string/iter_find.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/range/iterator_range.hpp>

#include "guestapi/WinQuote.h"
#include "guestapi/ZQWinGuestAPIOrigins.h"
#include "platform/FXFile.h"
#include "platform/ReplaceChoices.h"
#include "toolscontract/ShellQuote.h"
#include "toolscontract/SshToolsContract.h"

using namespace ZQWinGuestAPIOrigins;

// What the guard of a write examines: starting from `base`, each of `names` in turn, one level
// deeper each time. The guest builds the paths, so the command grows with the path, not with
// its depth.
struct GuardedWalk {
  std::string base;
  std::vector<std::string> names;
};

namespace {

using VMInfoStructs::SGuestFile;

using SshToolsContract::kPasswordVariable;

// The one-liners. Where a path goes, %s takes a path argument: the path in single quotes, or
// -LiteralPath and the path where PowerShell would read wildcards in it (PsPath below).
constexpr const char* kDriveList =
    "foreach($_ in get-volume) { if ($_.DriveLetter -and $_.DriveType -eq 'Fixed') {Write-Host ($_.DriveLetter + "
    "':')}}";
constexpr const char* kPathTest = "if (Test-Path %s) {Write-Host PathFound} else {Write-Host PathNotFound}";
// One line per item: length, folder flag ("Link" for a link or junction, a reparse point, which is
// neither kept as a file nor written through), LastWriteTimeUtc in the invariant culture (the form
// the folder parser reads, whatever the guest's culture and zone), and the name last, so that a
// name holding commas stays whole.
constexpr const char* kFolderList =
    "foreach($_ in get-childitem %s) {$isDir =  $_.GetType().name -eq 'DirectoryInfo'; $len = if ($isDir) {0} else "
    "{$_.length};$kind = if ($_.Attributes -band [IO.FileAttributes]::ReparsePoint) {'Link'} else {$isDir};"
    "Write-Host $len,$kind,$_.LastWriteTimeUtc.ToString('M/d/yyyy h:mm:ss tt', "
    "[Globalization.CultureInfo]::InvariantCulture),$_.name -Separator ','}";
constexpr const char* kSubFolderList =
    "if (Test-Path %s) {foreach($_ in get-childitem %s) {$isDir =  $_.GetType().name -eq 'DirectoryInfo'; $len = if "
    "($isDir) {0} else {$_.length};if ($isDir) {Write-Host $len,$isDir,$_.LastWriteTimeUtc.ToString('M/d/yyyy "
    "h:mm:ss tt', [Globalization.CultureInfo]::InvariantCulture),$_.name -Separator ','}}}";
constexpr const char* kCreateFolder = "New-Item -ItemType directory -Path '%s' -Force";
constexpr const char* kDeleteFolder = "Remove-Item %s -Force";
// The times are set as UTC: the number first, then the path.
constexpr const char* kTimeOrigin = "$stime = get-date 1/1/1970; $unixtime=%lld; ";
constexpr const char* kSetCreationTime = "(Get-Item %s).CreationTimeUtc=($stime.AddSeconds($unixTime));";
constexpr const char* kSetModifyTime = "(Get-Item %s).LastWriteTimeUtc=($stime.AddSeconds($unixTime));";
constexpr const char* kSetAccessTime = "(Get-Item %s).LastAccessTimeUtc=($stime.AddSeconds($unixTime));";
// The copy's existence test (two blanks after "powershell" once wrapped) and parent creation,
// whose %s are "" or "-LiteralPath " (after the $GuestFile assignment, kGuestFile). A folder at
// the file's name is reported, never written into.
constexpr const char* kFileExistsTest = " if (Test-Path %s) {Write-Host PathFound} else {Write-Host PathNotFound}";
constexpr const char* kGuestFile = "$GuestFile='%s'; ";
constexpr const char* kCreateParent =
    "if (Test-Path -LiteralPath $GuestFile -PathType Container) {Write-Host FolderInTheWay} elseif (!(Test-Path "
    "%s$GuestFile)) {$ParentDir=Split-Path -Path $GuestFile -Parent; if (!(Test-Path %s$ParentDir)) {New-Item -ItemType "
    "Directory -Path $ParentDir -force;}}";
// Walks from the path in the first %s through the names listed in the second, one level deeper
// each time, and runs the third %s only when none of the items on the way is a reparse point (a
// symbolic link, junction or mount point); otherwise prints the first such path after the marker.
#define ZQ_CHAIN_WALK                                                                                             \
  "$link = ''; $p = %s; foreach($n in %s) {$p = $p + '\\' + $n; if (!$link -and (Test-Path -LiteralPath $p) -and " \
  "((Get-Item -LiteralPath $p -Force).Attributes -band [IO.FileAttributes]::ReparsePoint)) {$link = $p}}; "
constexpr const char* kReparsePointGuard = ZQ_CHAIN_WALK "if ($link) {Write-Host ReparsePoint $link} else {%s}";
// A file below the destination is uploaded to a name in the destination folder itself (where no
// link the guard refuses can stand on the way) and placed by one script: the guard over the
// chain, the folder-in-the-way test, the parent's creation, the guard again right before the
// rename into place (so that the window between check and rename is as short as PowerShell
// allows) and, after it, the guard once more and a look at what the name now holds: the same
// length and write time as the upload had, and no link. The first %s after $GuestFile and
// $Staged is "" or "-LiteralPath "; then the walk's base and names, the backup step (kKeepBackup or
// "") and the walk's base and names again. Whatever the outcome, the upload does not stay under
// its staged name. The guest prints one of the markers below.
constexpr const char* kPlaceFile =
    "if (Test-Path -LiteralPath $GuestFile -PathType Container) {Write-Host FolderInTheWay} else {$ParentDir=Split-Path "
    "-Path $GuestFile -Parent; if (!(Test-Path %s$ParentDir)) {New-Item -ItemType Directory -Path $ParentDir -force}; "
    "$s = $null; if (Test-Path -LiteralPath $Staged) {$s = Get-Item -LiteralPath $Staged -Force}; if (!$s -or "
    "$s.PSIsContainer -or ($s.Attributes -band [IO.FileAttributes]::ReparsePoint)) {Write-Host UploadReplaced} else "
    "{$w = $s.LastWriteTimeUtc; $l = $s.Length; " ZQ_CHAIN_WALK "if ($link) {Write-Host ReparsePoint $link} else "
    "{$bad = ''; %sif ($bad) {Write-Host $bad} else {Move-Item -LiteralPath $Staged -Destination $GuestFile -Force; "
    "if (Test-Path -LiteralPath $Staged) {Write-Host NotRenamed} else {" ZQ_CHAIN_WALK
    "if ($link) {Write-Host LinkAppeared $link} else {$t = $null; if (Test-Path -LiteralPath $GuestFile) {$t = "
    "Get-Item -LiteralPath $GuestFile -Force}; if (!$t -or ($t.Attributes -band [IO.FileAttributes]::ReparsePoint) "
    "-or ($t.Length -ne $l) -or ($t.LastWriteTimeUtc -ne $w)) {Write-Host NotTheFileWritten} else {Write-Host "
    "Placed}}}}}}}";
#undef ZQ_CHAIN_WALK
// The backup step of the placing request, run right before the rename into place when a backup
// suffix is set: a regular file (no reparse point) at $GuestFile is copied to $BackupTemp in its
// folder, the copy is checked (a file of the old length, no link, and the name still holds the
// file that was examined), given the old file's three times and renamed over $Backup. A folder or
// reparse point at $Backup, a name already at $BackupTemp, or any failure sets $bad to a marker,
// and then nothing is renamed: the old file stays in place. The copy gets the access rights the
// folder gives a new file (Copy-Item's), not the old file's.
constexpr const char* kKeepBackup =
    "$o = $null; if (Test-Path -LiteralPath $GuestFile -PathType Leaf) {$o = Get-Item -LiteralPath $GuestFile -Force}; "
    "if ($o -and !($o.Attributes -band [IO.FileAttributes]::ReparsePoint)) {$ct = $o.CreationTimeUtc; $wt = "
    "$o.LastWriteTimeUtc; $at = $o.LastAccessTimeUtc; $ln = $o.Length; $b = $null; if (Test-Path -LiteralPath $Backup) "
    "{$b = Get-Item -LiteralPath $Backup -Force}; if ($b -and ($b.PSIsContainer -or ($b.Attributes -band "
    "[IO.FileAttributes]::ReparsePoint))) {$bad = 'BackupNameTaken'} elseif (Test-Path -LiteralPath $BackupTemp) "
    "{$bad = 'BackupNotCopied'} else {$BackupMade = 1; Copy-Item -LiteralPath $GuestFile -Destination $BackupTemp; "
    "$c = $null; if (Test-Path -LiteralPath $BackupTemp) {$c = Get-Item -LiteralPath $BackupTemp -Force}; $n = $null; "
    "if (Test-Path -LiteralPath $GuestFile) {$n = Get-Item -LiteralPath $GuestFile -Force}; if (!$c -or "
    "$c.PSIsContainer -or ($c.Attributes -band [IO.FileAttributes]::ReparsePoint) -or ($c.Length -ne $ln) -or !$n -or "
    "($n.Attributes -band [IO.FileAttributes]::ReparsePoint) -or ($n.Length -ne $ln) -or ($n.LastWriteTimeUtc -ne "
    "$wt)) {$bad = 'BackupNotCopied'} else {$c.CreationTimeUtc = $ct; $c.LastWriteTimeUtc = $wt; "
    "$c.LastAccessTimeUtc = $at; Move-Item -LiteralPath $BackupTemp -Destination $Backup -Force; if (Test-Path "
    "-LiteralPath $BackupTemp) {$bad = 'BackupNotRenamed'}}}}; ";
// The backup's names, set before the guard; $BackupMade is set once the copy has been tried.
constexpr const char* kBackupNames = "$Backup='%s'; $BackupTemp='%s'; $BackupMade = $null; ";
// Removes the backup's temporary copy when this request made it and it is still there.
constexpr const char* kRemoveBackupTemp =
    "; if ($BackupMade -and (Test-Path -LiteralPath $BackupTemp)) {Remove-Item -LiteralPath $BackupTemp -Force}";
constexpr const char* kStagedFile = "$Staged='%s'; ";
constexpr const char* kRemoveStaged = "; if (Test-Path -LiteralPath $Staged) {Remove-Item -LiteralPath $Staged -Force}";
constexpr const char* kPlacedMarker = "Placed";
constexpr const char* kLinkAppearedMarker = "LinkAppeared ";
constexpr const char* kUploadReplacedMarker = "UploadReplaced";
constexpr const char* kNotRenamedMarker = "NotRenamed";
constexpr const char* kNotTheFileWrittenMarker = "NotTheFileWritten";
constexpr const char* kBackupNameTakenMarker = "BackupNameTaken";
constexpr const char* kBackupNotCopiedMarker = "BackupNotCopied";
constexpr const char* kBackupNotRenamedMarker = "BackupNotRenamed";
// Staged uploads carry the first in their names (so do the copy tool's own temporary names);
// the temporary copies of backups carry the second.
constexpr const char* kStagedPrefix = ".zqpscp-staged-";
constexpr const char* kBackupTempPrefix = ".zqpscp-backup-";
constexpr const char* kReparsePointMarker = "ReparsePoint ";
// One line per file: its SHA-256 (upper case), or "-" when the path holds no file or a reparse
// point. Each %s is the path in single quotes.
constexpr const char* kFileHash =
    "$h = '-'; if ((Test-Path -LiteralPath %s -PathType Leaf) -and !((Get-Item -LiteralPath %s -Force).Attributes "
    "-band [IO.FileAttributes]::ReparsePoint)) {$h = (Get-FileHash -LiteralPath %s -Algorithm SHA256).Hash}; "
    "Write-Host $h";
constexpr const char* kFolderInTheWayMarker = "FolderInTheWay";

constexpr const char* kListTimePattern = "%m/%d/%Y %I:%M:%S %p";

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, args);
  va_end(args);
  return text;
}

// The path as a PowerShell argument: 'PATH' after `parameter` (which may be empty), or
// -LiteralPath 'PATH' when -Path would read wildcards in it.
std::string PsPath(const std::string& path, const std::string& parameter = "") {
  const std::string quoted = "'" + WinQuote::PowerShellQuoteContent(path) + "'";
  if (WinQuote::NeedsLiteralPath(path)) return "-LiteralPath " + quoted;
  return parameter.empty() ? quoted : parameter + " " + quoted;
}

std::string LiteralSwitch(const std::string& path) { return WinQuote::NeedsLiteralPath(path) ? "-LiteralPath " : ""; }

// Paths that cmd or powershell.exe would change go as -EncodedCommand.
bool NeedsEncoding(const std::string& path) { return !WinQuote::PassesCmdLineUnchanged(path); }

// The C locale, so that %p reads AM and PM whatever locale the host process has set.
locale_t ClassicLocale() {
  static const locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return classic;
}

// The non-empty components of a Windows path ("\\" and "/" both separate).
std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> parts;
  boost::algorithm::split(parts, path, boost::algorithm::is_any_of("\\/"));
  parts.erase(std::remove(parts.begin(), parts.end(), std::string()), parts.end());
  return parts;
}

bool HasDotComponent(const std::string& path) {
  for (const std::string& part : PathComponents(path)) {
    if (part == "." || part == "..") return true;
  }
  return false;
}

// The walk over each folder below `root` on the way to `path`, and `path` itself when
// `withFinal`. Nothing above or at the root is examined: the operator chose the destination,
// links and all. No names when there is no root or `path` is not below it.
GuardedWalk WalkBelowRoot(const std::string& root, const std::string& path, bool withFinal) {
  const std::vector<std::string> rootParts = PathComponents(root);
  const std::vector<std::string> parts = PathComponents(path);
  GuardedWalk walk;
  if (rootParts.empty() || parts.size() <= rootParts.size()) return walk;
  for (size_t i = 0; i < rootParts.size(); ++i) {
    if (!boost::algorithm::iequals(rootParts[i], parts[i])) return walk;
  }
  const size_t lead = path.find_first_not_of("\\/");
  walk.base = path.substr(0, lead == std::string::npos ? 0 : lead) + parts[0];
  for (size_t i = 1; i < rootParts.size(); ++i) walk.base += "\\" + parts[i];
  const size_t end = withFinal ? parts.size() : parts.size() - 1;
  walk.names.assign(parts.begin() + static_cast<long>(rootParts.size()), parts.begin() + static_cast<long>(end));
  return walk;
}

// The walk over the item `path` alone.
GuardedWalk WalkToItem(const std::string& path) {
  const std::vector<std::string> parts = PathComponents(path);
  GuardedWalk walk;
  if (parts.size() < 2) return walk;
  const size_t lead = path.find_first_not_of("\\/");
  walk.base = path.substr(0, lead == std::string::npos ? 0 : lead) + parts[0];
  for (size_t i = 1; i + 1 < parts.size(); ++i) walk.base += "\\" + parts[i];
  walk.names.push_back(parts.back());
  return walk;
}

std::string PsString(const std::string& text) { return "'" + WinQuote::PowerShellQuoteContent(text) + "'"; }

// The names of `walk` as a PowerShell list of single-quoted strings; @() for none.
std::string PsNames(const GuardedWalk& walk) {
  std::string names;
  for (const std::string& name : walk.names) names += (names.empty() ? "" : ",") + PsString(name);
  return names.empty() ? "@()" : names;
}

// `body` behind the reparse-point guard over `walk`; `body` alone when there is nothing to guard.
std::string Guarded(const GuardedWalk& walk, const std::string& body) {
  if (walk.names.empty()) return body;
  return FormatText(kReparsePointGuard, PsString(walk.base).c_str(), PsNames(walk).c_str(), body.c_str());
}

// The first line the guest printed that is one of the placing script's markers, or "".
std::string MarkerLine(const std::string& output) {
  for (std::string line : FXString::Split(output, "\n", FXString::KeepEmpty)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const char* marker : {kPlacedMarker, kUploadReplacedMarker, kNotRenamedMarker, kNotTheFileWrittenMarker,
                               kBackupNameTakenMarker, kBackupNotCopiedMarker, kBackupNotRenamedMarker}) {
      if (line == marker) return line;
    }
    if (boost::algorithm::starts_with(line, kLinkAppearedMarker)) return line;
  }
  return "";
}

// The first line the guest printed that holds more than blanks, without its line end.
std::string FirstLine(const std::string& output) {
  for (std::string line : FXString::Split(output, "\n", FXString::KeepEmpty)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) return line;
  }
  return "";
}

std::vector<std::string> SplitAddresses(const std::string& list) {
  std::vector<std::string> addresses;
  boost::algorithm::iter_split(addresses, list, boost::algorithm::first_finder(","));
  return addresses;
}

}  // namespace

ZQWinGuestAPI::ZQWinGuestAPI(IVMInfo* vmInfo) : CGuestAPI(vmInfo) {}

ZQWinGuestAPI::~ZQWinGuestAPI() = default;

bool ZQWinGuestAPI::Init(const GuestLoginCred& cred) {
  if (!CGuestAPI::Init(cred)) return false;
  const std::vector<std::string> pieces = FXString::Split(m_loginCred.userName, "\\", FXString::KeepEmpty);
  if (pieces.size() > 1) {
    for (size_t i = 1; i < pieces.size(); ++i) {
      if (pieces[i].empty()) continue;
      m_loginCred.userName = pieces[i] + ":" + pieces[0];
      break;
    }
    m_log.DebugLvl(kInitOrigin, 2, "Using domain auth: %s", m_loginCred.userName.c_str());
  }
  return IsGuestWindows();
}

bool ZQWinGuestAPI::PreExecuteCommand(const std::string&) {
  SetEnv(kPasswordVariable, m_loginCred.password.c_str());
  return true;
}

bool ZQWinGuestAPI::PostExecuteCommand(const std::string&) {
  unsetenv(kPasswordVariable);
  return true;
}

bool ZQWinGuestAPI::IsZqGuestAPI() { return true; }

bool ZQWinGuestAPI::IsGuestWindows() {
  for (const std::string& address : SplitAddresses(m_loginCred.ipAddress)) {
    if (address.empty()) continue;
    const std::string command = ProbeCommand(address);
    std::string output;
    if (!ExecuteCommand(command, output)) continue;
    if (boost::algorithm::icontains(output, "Windows")) {
      m_loginCred.ipAddress = address;
      return true;
    }
    m_log.Error(kIsGuestWindowsOrigin, "cmd %s\nresp %s", MaskPasswdInStr(command, m_loginCred.password).c_str(),
                MaskPasswdInStr(output, m_loginCred.password).c_str());
    return false;
  }
  return false;
}

std::string ZQWinGuestAPI::PlinkCommand(const std::string& address, const std::string& command) {
  return ShellQuote::Word(m_baseHome + "/" + SshToolsContract::kCommandTool) + " " + ShellQuote::Word(address) + " -l " +
         ShellQuote::Word(m_loginCred.userName) + " " + command;
}

std::string ZQWinGuestAPI::ProbeCommand(const std::string& address) {
  return PlinkCommand(address, "cmd /c \"echo . | powershell systeminfo\"");
}

void ZQWinGuestAPI::InitZqPlinkCmd(std::string& command) { command = PlinkCommand(m_loginCred.ipAddress, command); }

void ZQWinGuestAPI::InitZqPscpCmd(std::string& arguments) {
  arguments = ShellQuote::Word(m_baseHome + "/" + SshToolsContract::kCopyTool) + " -l " + ShellQuote::Word(m_loginCred.userName) +
              " " + arguments;
}

void ZQWinGuestAPI::InitZqRemoteCmd(std::string& script) {
  script = "cmd /c \"echo . | powershell " + WinQuote::ShellDoubleQuoteEscape(script) + "\"";
  InitZqPlinkCmd(script);
}

bool ZQWinGuestAPI::IsVolumeName(const std::string& path) {
  const bool driveLetter = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
  if (path.size() == 2) return driveLetter;
  return path.size() == 3 && driveLetter && path[2] == '\\';
}

void ZQWinGuestAPI::AppendTrailingDelim(std::string& path) {
  if (path.empty() || path.back() != '\\') path += '\\';
}

std::string ZQWinGuestAPI::AddPsEscapeChar(const std::string& path) {
  std::string copy = path;
  if (!copy.empty() && copy.back() == '\\') copy.pop_back();
  return copy;
}

bool ZQWinGuestAPI::BuildPowerShellCommand(const std::string& script, bool encode, std::string& command) {
  if (!encode) {
    command = script;
    InitZqRemoteCmd(command);
    return true;
  }
  std::string encoded;
  if (!WinQuote::EncodePowerShellCommand(script, encoded)) {
    m_log.Error(kBuildPowerShellCommandOrigin, "Cannot encode command for the guest [%s]", script.c_str());
    SetLastGuestApiErrorDetails("Cannot encode command for the guest");
    return false;
  }
  command = "-EncodedCommand " + encoded;
  InitZqRemoteCmd(command);
  return true;
}

bool ZQWinGuestAPI::RunPowerShell(const std::string& script, bool encode, std::string& output, std::string& command) {
  output.clear();
  if (!BuildPowerShellCommand(script, encode, command)) return false;
  return ExecuteCommand(command, output);
}

bool ZQWinGuestAPI::RunPowerShell(const std::string& script, bool encode, std::string& output) {
  std::string command;
  return RunPowerShell(script, encode, output, command);
}

bool ZQWinGuestAPI::AcceptGuestPath(const char* origin, const std::string& path, bool forWrite) {
  std::string problem = WinQuote::WindowsPathProblem(path);
  if (problem.empty() && forWrite && HasDotComponent(path)) problem = "holds a \".\" or \"..\" name";
  if (problem.empty()) return true;
  m_log.Error(origin, "Refusing guest path [%s]: it %s", path.c_str(), problem.c_str());
  SetLastGuestApiErrorDetails("Guest path [" + path + "] " + problem);
  return false;
}

int ZQWinGuestAPI::BrowseGuest(const GuestCtx& ctx, const std::string& guestPath, std::vector<SGuestFile>& entries) {
  m_log.DebugLvl(kBrowseGuestOrigin, 2, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(), guestPath.c_str());
  if (guestPath.empty() || guestPath == "\\") return BrowseGuestRoot(ctx, guestPath, entries);
  return BrowseGuestFolder(ctx, guestPath, entries);
}

int ZQWinGuestAPI::BrowseGuestRoot(const GuestCtx&, const std::string&, std::vector<SGuestFile>& entries) {
  std::string output;
  if (!RunPowerShell(kDriveList, false, output)) return 0;
  return ParseBrowseResponseWinRoot(output, entries) ? 1 : 0;
}

int ZQWinGuestAPI::BrowseGuestFolder(const GuestCtx&, const std::string& guestPath, std::vector<SGuestFile>& entries) {
  if (!AcceptGuestPath(kBrowseGuestFolderOrigin, guestPath)) return 0;
  std::string folder = guestPath;
  if (IsVolumeName(folder)) AppendTrailingDelim(folder);  // "C:" alone is drive C's current folder
  const bool encode = NeedsEncoding(folder);
  std::string output;
  if (!RunPowerShell(FormatText(kPathTest, PsPath(folder).c_str()), encode, output)) return 0;
  if (output.empty()) {
    m_log.DebugLvl(kBrowseGuestFolderOrigin, 0, "null cmdResp");
    return 0;
  }
  if (boost::algorithm::icontains(output, "PathNotFound")) return 1;
  if (!boost::algorithm::icontains(output, "PathFound")) {
    m_log.Error(kBrowseGuestFolderOrigin, "Unexpected answer to the path test of [%s]: %s", guestPath.c_str(),
                MaskPasswdInStr(output, m_loginCred.password).c_str());
    SetLastGuestApiErrorDetails("Unexpected answer to the path test of guest path [" + guestPath + "]");
    return 0;
  }
  if (!RunPowerShell(FormatText(kFolderList, PsPath(folder).c_str()), encode, output)) return 0;
  return ParseBrowseResponseFolder(output, entries) ? 1 : 0;
}

int ZQWinGuestAPI::BrowseGuestFolders(const GuestCtx&, const std::string& guestPath, std::vector<SGuestFile>& entries) {
  m_log.DebugLvl(kBrowseGuestFoldersOrigin, 2, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(),
                 guestPath.c_str());
  if (!AcceptGuestPath(kBrowseGuestFoldersOrigin, guestPath)) return 0;
  std::string folder = guestPath;
  if (IsVolumeName(folder)) AppendTrailingDelim(folder);  // "C:" alone is drive C's current folder
  const std::string path = PsPath(folder);
  std::string output;
  if (!RunPowerShell(FormatText(kSubFolderList, path.c_str(), path.c_str()), NeedsEncoding(folder), output)) return 0;
  return ParseBrowseResponseFolder(output, entries) ? 1 : 0;
}

bool ZQWinGuestAPI::EnumerateFolder(const GuestCtx&, const std::string&, std::vector<SGuestFile>&, bool) {
  return false;
}

bool ZQWinGuestAPI::ParseBrowseResponseWinRoot(const std::string& output, std::vector<SGuestFile>& entries) {
  if (output.empty()) return false;
  for (std::string line : FXString::Split(output, "\n", FXString::KeepEmpty)) {
    boost::algorithm::trim(line);
    if (line.empty()) continue;  // also a line of blanks only, which names no drive
    SGuestFile entry;
    entry.name = "\\" + line;
    entry.type = VMInfoStructs::GuestFileDirectory;
    entries.push_back(entry);
  }
  return !entries.empty();
}

bool ZQWinGuestAPI::ParseBrowseResponseFolder(const std::string& output, std::vector<SGuestFile>& entries) {
  if (output.empty()) return true;
  for (std::string line : FXString::Split(output, "\n", FXString::KeepEmpty)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows names hold no control characters
    if (line.empty()) continue;
    // length,folder flag,time,name: the first three commas end the fields; the name keeps the rest.
    std::vector<std::string> fields;
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const size_t comma = line.find(',', start);
      if (comma == std::string::npos) break;
      fields.push_back(line.substr(start, comma - start));
      start = comma + 1;
    }
    if (fields.size() != 3 || start >= line.size()) continue;
    SGuestFile entry;
    entry.name = line.substr(start);
    entry.size = std::atoll(fields[0].c_str());
    entry.type = fields[1] == "True"   ? VMInfoStructs::GuestFileDirectory
                 : fields[1] == "Link" ? VMInfoStructs::GuestFileSymlink
                                       : VMInfoStructs::GuestFileRegular;
    std::tm time{};
    const char* end = strptime_l(fields[2].c_str(), kListTimePattern, &time, ClassicLocale());
    if (end != nullptr && *end == '\0') {
      entry.modifyTime = static_cast<int64_t>(timegm(&time));  // the guest printed UTC
    } else {
      m_log.Error(kParseBrowseResponseFolderOrigin, "get_time parse error %s", fields[2].c_str());
      entry.modifyTime = 0;
    }
    entries.push_back(entry);
  }
  return !entries.empty();
}

std::string ZQWinGuestAPI::CopyTargetHost() const {
  const std::string& address = m_loginCred.ipAddress;
  const bool ipv6 = address.find(':') != std::string::npos && (address.empty() || address.front() != '[');
  return ipv6 ? "[" + address + "]" : address;
}

bool ZQWinGuestAPI::RefusedByGuest(const char* origin, const std::string& guestPath, const std::string& output) {
  const std::string first = FirstLine(output);
  std::string reason;
  if (boost::algorithm::starts_with(first, kReparsePointMarker)) {
    reason = "[" + first.substr(std::strlen(kReparsePointMarker)) +
             "] is a link or junction (reparse point); a restore does not follow links below the destination";
  } else if (first == kFolderInTheWayMarker) {
    reason = "a folder stands where the file is to be restored";
  } else {
    return false;
  }
  m_log.Error(origin, "Refusing guest path [%s]: %s", guestPath.c_str(), reason.c_str());
  SetLastGuestApiErrorDetails("Guest path [" + guestPath + "]: " + reason);
  return true;
}

int ZQWinGuestAPI::CreateGuestFolder(const GuestCtx&, const std::string& guestPath) {
  m_log.DebugLvl(kCreateGuestFolderOrigin, 2, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(),
                 guestPath.c_str());
  if (IsVolumeName(guestPath)) return 1;
  if (!AcceptGuestPath(kCreateGuestFolderOrigin, guestPath, true)) return 0;
  const std::string script = Guarded(WalkBelowRoot(m_destinationRoot, guestPath, true),
                                     FormatText(kCreateFolder, WinQuote::PowerShellQuoteContent(guestPath).c_str()));
  std::string output;
  if (!RunPowerShell(script, NeedsEncoding(guestPath), output)) return 0;
  return RefusedByGuest(kCreateGuestFolderOrigin, guestPath, output) ? 0 : 1;
}

int ZQWinGuestAPI::DeleteDirectoryInGuest(const GuestCtx&, std::string& guestPath) {
  m_log.DebugLvl(kDeleteDirectoryInGuestOrigin, 2, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(),
                 guestPath.c_str());
  if (IsVolumeName(guestPath)) return 1;
  if (!AcceptGuestPath(kDeleteDirectoryInGuestOrigin, guestPath)) return 0;
  const std::string script = FormatText(kDeleteFolder, PsPath(guestPath, "-Path").c_str());
  std::string output;
  return RunPowerShell(script, NeedsEncoding(guestPath), output) ? 1 : 0;
}

// Sets the three times as UTC. Neither a folder below the destination nor the item itself may be
// a link: .NET's time setters go through a link to its target.
int ZQWinGuestAPI::ChangeGuestFileAttributes(const GuestCtx&, const std::string& guestPath, const SGuestFile& file) {
  m_log.DebugLvl(kChangeGuestFileAttributesOrigin, 2, "GuestVM %s GuestPath %s [%ld, %ld, %ld, %d, %d, %d]",
                 m_loginCred.ipAddress.c_str(), guestPath.c_str(), static_cast<long>(file.accessTime),
                 static_cast<long>(file.modifyTime), static_cast<long>(file.createTime), file.uid, file.gid, file.mode);
  if (!AcceptGuestPath(kChangeGuestFileAttributesOrigin, guestPath, true)) return 0;
  const std::string path = PsPath(guestPath);
  const bool encode = NeedsEncoding(guestPath);
  GuardedWalk guarded = WalkBelowRoot(m_destinationRoot, guestPath, true);
  if (guarded.names.empty()) guarded = WalkToItem(guestPath);
  struct TimeToSet {
    const char* script;
    int64_t value;
    const char* failure;
  };
  const TimeToSet times[] = {{kSetCreationTime, file.createTime, "Failed to update createTime %s"},
                             {kSetModifyTime, file.modifyTime, "Failed to update modifiedTime %s"},
                             {kSetAccessTime, file.accessTime, "Failed to update accessTime %s"}};
  int result = 1;
  for (const TimeToSet& time : times) {
    const std::string script = FormatText(kTimeOrigin, static_cast<long long>(time.value)) +
                               Guarded(guarded, FormatText(time.script, path.c_str()));
    std::string output;
    if (!RunPowerShell(script, encode, output)) {
      m_log.Error(kChangeGuestFileAttributesOrigin, time.failure, guestPath.c_str());
      result = 0;
    } else if (RefusedByGuest(kChangeGuestFileAttributesOrigin, guestPath, output)) {
      return 0;  // the other times would be refused alike
    }
  }
  return result;
}

// Copies complete or not at all: the copy tool uploads to a temporary name beside the target and
// renames it over the target, which replaces a link there instead of writing through it. Before
// that the guest is asked whether the target exists (without overwrite; an existing target is
// kept and the copy reported as not done), and a folder below the destination that is a link, or
// a folder standing at the file's name, refuses the copy.
int ZQWinGuestAPI::CopyFileToGuest(const GuestCtx&, const std::string& localFile, const std::string& guestFile,
                                   bool overwrite) {
  m_log.DebugLvl(kCopyFileToGuestOrigin, 2, "GuestVM %s localFile %s guestFile %s overwrite %d",
                 m_loginCred.ipAddress.c_str(), localFile.c_str(), guestFile.c_str(), overwrite ? 1 : 0);
  if (!AcceptGuestPath(kCopyFileToGuestOrigin, guestFile, true)) return 0;
  const bool encode = NeedsEncoding(guestFile);
  if (!overwrite) {
    std::string output;
    std::string command;
    if (!RunPowerShell(FormatText(kFileExistsTest, PsPath(guestFile).c_str()), encode, output, command)) return 0;
    const std::string masked = MaskPasswdInStr(command, m_loginCred.password);
    if (output.empty()) {
      // A guest that answers a path test with nothing has not said the file is there.
      m_log.DebugLvl(kCopyFileToGuestOrigin, 0, "null cmdResp for cmd %s", masked.c_str());
      SetLastGuestApiErrorDetails("Cmd " + masked + "returned nothing");
      return 0;
    }
    const bool copyNeeded = boost::algorithm::icontains(output, "PathNotFound");
    m_log.DebugLvl(kCopyFileToGuestOrigin, 2, "%s [%d]", guestFile.c_str(), copyNeeded ? 1 : 0);
    if (!copyNeeded) {
      if (!boost::algorithm::icontains(output, "PathFound")) {
        m_log.Error(kCopyFileToGuestOrigin, "Unexpected answer to the path test of [%s]: %s", guestFile.c_str(),
                    MaskPasswdInStr(output, m_loginCred.password).c_str());
        SetLastGuestApiErrorDetails("Unexpected answer to the path test of guest path [" + guestFile + "]");
        return 0;
      }
      m_log.DebugLvl(kCopyFileToGuestOrigin, 0, "Guest path [%s] exists; kept, nothing copied", guestFile.c_str());
      SetLastGuestApiErrorDetails("Guest path [" + guestFile + "] exists; kept without overwrite");
      return 0;
    }
  }
  const GuardedWalk walk = WalkBelowRoot(m_destinationRoot, guestFile, false);
  // A backup is kept by the placing request, so every file goes through it when one is asked for.
  if (!walk.names.empty() || (!m_backupSuffix.empty() && !walk.base.empty())) {
    return CopyFileBelowDestination(localFile, guestFile, walk);
  }
  if (!m_backupSuffix.empty()) {
    m_log.Error(kCopyFileToGuestOrigin, "Guest path [%s] is not below the destination [%s]; no backup can be kept",
                guestFile.c_str(), m_destinationRoot.c_str());
    SetLastGuestApiErrorDetails("Guest path [" + guestFile + "]: no backup can be kept outside the destination");
    return 0;
  }
  const std::string literal = LiteralSwitch(guestFile);
  const std::string createParent = FormatText(kGuestFile, WinQuote::PowerShellQuoteContent(guestFile).c_str()) +
                                   FormatText(kCreateParent, literal.c_str(), literal.c_str());
  std::string output;
  if (!RunPowerShell(createParent, encode, output)) return 0;
  if (RefusedByGuest(kCopyFileToGuestOrigin, guestFile, output)) return 0;
  std::string copy = ShellQuote::SingleQuoted(localFile) + " " + ShellQuote::Word(CopyTargetHost()) + ":" +
                     ShellQuote::SingleQuoted(guestFile);
  InitZqPscpCmd(copy);
  return ExecuteCopyCommand(copy, output) ? 1 : 0;
}

// The bytes go to a staged name in the destination folder; one script then checks the chain
// below the destination, renames the upload into place and checks the chain and the file again,
// so that a link swapped in for a folder before the rename is refused and one swapped in during
// it is reported. What is left where is said in the entry's reason.
int ZQWinGuestAPI::CopyFileBelowDestination(const std::string& localFile, const std::string& guestFile,
                                            const GuardedWalk& walk) {
  static std::atomic<unsigned> counter{0};
  std::string staged = m_destinationRoot;
  AppendTrailingDelim(staged);
  const std::string number = std::to_string(static_cast<long>(getpid())) + "-" + std::to_string(++counter);
  staged += kStagedPrefix + number;
  std::string output;
  std::string copy = ShellQuote::SingleQuoted(localFile) + " " + ShellQuote::Word(CopyTargetHost()) + ":" +
                     ShellQuote::SingleQuoted(staged);
  InitZqPscpCmd(copy);
  if (!ExecuteCopyCommand(copy, output)) return 0;

  // The backup's temporary copy lies in the file's own folder, so that its rename stays there.
  const bool backup = !m_backupSuffix.empty();
  const std::string backupName = guestFile + m_backupSuffix;
  const size_t slash = guestFile.find_last_of("\\/");
  const std::string backupTemp =
      guestFile.substr(0, slash == std::string::npos ? 0 : slash + 1) + kBackupTempPrefix + number;
  const std::string script =
      FormatText(kGuestFile, WinQuote::PowerShellQuoteContent(guestFile).c_str()) +
      FormatText(kStagedFile, WinQuote::PowerShellQuoteContent(staged).c_str()) +
      (backup ? FormatText(kBackupNames, WinQuote::PowerShellQuoteContent(backupName).c_str(),
                           WinQuote::PowerShellQuoteContent(backupTemp).c_str())
              : std::string()) +
      Guarded(walk, FormatText(kPlaceFile, LiteralSwitch(guestFile).c_str(), PsString(walk.base).c_str(),
                               PsNames(walk).c_str(), backup ? kKeepBackup : "", PsString(walk.base).c_str(),
                               PsNames(walk).c_str())) +
      kRemoveStaged + (backup ? kRemoveBackupTemp : "");
  const bool ran = RunPowerShell(
      script, NeedsEncoding(guestFile) || NeedsEncoding(staged) || (backup && NeedsEncoding(backupName)), output);
  if (ran && RefusedByGuest(kCopyFileToGuestOrigin, guestFile, output)) return 0;
  const std::string marker = ran ? MarkerLine(output) : "";
  if (marker == kPlacedMarker) return 1;
  std::string reason;
  if (!ran) {
    reason = "the guest did not answer the request that places the file; the uploaded copy may remain at [" +
             staged + "]";
  } else if (boost::algorithm::starts_with(marker, kLinkAppearedMarker)) {
    reason = "a link appeared in the destination path while the file was written: [" +
             marker.substr(std::strlen(kLinkAppearedMarker)) +
             "] is now a link or junction; the restored file was renamed to this name before the check saw the link, "
             "so it lies wherever that name led at that moment (possibly outside the destination); nothing was removed";
  } else if (marker == kNotTheFileWrittenMarker) {
    reason = "the name does not hold the file just written after the rename (it was replaced or moved while the file "
             "was renamed into place); what stands there was left as it is";
  } else if (marker == kUploadReplacedMarker) {
    reason = "the uploaded copy at [" + staged + "] was replaced before it was renamed into place; nothing was renamed "
             "and the copy was removed";
  } else if (marker == kBackupNameTakenMarker) {
    reason = "a folder or a link stands at the backup name [" + backupName + "]; it was neither followed nor replaced, "
             "and the guest's file stays as it was; the copy was removed";
  } else if (marker == kBackupNotCopiedMarker) {
    reason = "the backup copy of the guest's file could not be made (or the file changed while it was copied); the "
             "guest's file stays as it was and no backup was left";
  } else if (marker == kBackupNotRenamedMarker) {
    reason = "the backup copy could not be renamed to [" + backupName + "]; the guest's file stays as it was and the "
             "copy was removed";
  } else if (marker == kNotRenamedMarker) {
    reason = "the uploaded copy could not be renamed over the guest's file, which stays as it was; the copy was removed";
  } else {
    reason = "unexpected answer to the request that places the file; the uploaded copy may remain at [" + staged + "]";
  }
  m_log.Error(kCopyFileToGuestOrigin, "Guest path [%s]: %s", guestFile.c_str(), reason.c_str());
  SetLastGuestApiErrorDetails("Guest path [" + guestFile + "]: " + reason);
  return 0;
}

int ZQWinGuestAPI::CopyFileFromGuest(const GuestCtx&, const std::string&, const std::string&) { return 0; }

int ZQWinGuestAPI::InitStagingFolder(long long, const std::string&, const std::string& guestDir) {
  m_destinationRoot = guestDir;
  return 1;
}

int ZQWinGuestAPI::DeInitStagingFolder(const std::string&, const std::string&) { return 1; }

int ZQWinGuestAPI::HashGuestFiles(const GuestCtx&, const std::vector<std::string>& guestFiles,
                                  std::vector<std::string>& digests) {
  digests.clear();
  const std::string batchProblem = HashBatchProblem(guestFiles.size());
  if (!batchProblem.empty()) {
    m_log.Error(kHashGuestFilesOrigin, "%s", batchProblem.c_str());
    SetLastGuestApiErrorDetails("too many files in one digest request");
    return 0;
  }
  std::string script;
  bool encode = false;
  for (const std::string& guestFile : guestFiles) {
    m_log.DebugLvl(kHashGuestFilesOrigin, 2, "GuestVM %s GuestPath %s", m_loginCred.ipAddress.c_str(),
                   guestFile.c_str());
    if (!AcceptGuestPath(kHashGuestFilesOrigin, guestFile)) return 0;
    const std::string path = PsString(guestFile);
    script += (script.empty() ? "" : "; ") +
              Guarded(WalkBelowRoot(m_destinationRoot, guestFile, false),
                      FormatText(kFileHash, path.c_str(), path.c_str(), path.c_str()));
    encode = encode || NeedsEncoding(guestFile);
  }
  std::string output;
  if (!RunPowerShell(script, encode, output)) return 0;
  // One line per file, a digest or "-"; a reparse point on the way fails the whole request. An
  // answer longer than that many lines could be is not read at all.
  const size_t longest = guestFiles.size() * (ReplaceChoices::kSha256HexDigits + 2);
  std::vector<std::string> lines;
  if (output.size() <= longest) {
    for (std::string line : FXString::Split(output, "\n")) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (!line.empty()) lines.push_back(line);
    }
  }
  std::vector<std::string> answered;
  for (const std::string& line : lines) {
    if (RefusedByGuest(kHashGuestFilesOrigin, guestFiles[std::min(answered.size(), guestFiles.size() - 1)], line)) {
      return 0;
    }
    const std::string digest = line == "-" ? line : ReplaceChoices::Sha256FromAnswer(line);
    if (digest.empty()) break;
    answered.push_back(digest == "-" ? std::string() : digest);
  }
  if (answered.size() != guestFiles.size() || lines.size() != guestFiles.size()) {
    m_log.Error(kHashGuestFilesOrigin, "The guest's digest answer is not one digest per file (%zu files, %zu bytes)",
                guestFiles.size(), output.size());
    SetLastGuestApiErrorDetails("the guest gave no valid SHA-256 digest");
    return 0;
  }
  digests = std::move(answered);
  return 1;
}

// A suffix must make a name Windows can take: no character Windows refuses in a name.
int ZQWinGuestAPI::SetBackupSuffix(const std::string& suffix) {
  if (!suffix.empty()) {
    std::string problem = ReplaceChoices::BackupSuffixProblem(suffix);
    if (problem.empty() && !WinQuote::WindowsPathProblem("C:\\a" + suffix).empty()) {
      problem = "the backup suffix holds a character Windows refuses in a name";
    }
    if (!problem.empty()) {
      m_log.Error(kSetBackupSuffixOrigin, "Backup suffix refused: %s", problem.c_str());
      SetLastGuestApiErrorDetails(problem);
      return 0;
    }
  }
  m_backupSuffix = suffix;
  return 1;
}
