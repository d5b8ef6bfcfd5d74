// Guest channel for Windows guests reached over SSH: every operation is a PowerShell one-liner
// run by the guest's cmd through the proxy's zqplink.exe; files travel with zqpscp.exe. Both
// tools lie in the installation base folder and take the password from ZQ_PUTTY_PASS.
#pragma once

#include <string>
#include <vector>

#include "guestapi/ZQGuestAPI.h"
#include "vminfo/IGuestReplaceChoices.h"

struct GuardedWalk;

class ZQWinGuestAPI : public CGuestAPI, public IGuestReplaceChoices {
 public:
  explicit ZQWinGuestAPI(IVMInfo* vmInfo);
  ~ZQWinGuestAPI() override;

  int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                         std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) override;
  int CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                      bool overwrite) override;
  int CopyFileFromGuest(const GuestCtx& ctx, const std::string& guestFile, const std::string& localFile) override;
  int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                const VMInfoStructs::SGuestFile& attributes) override;
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override;
  // Remembers the destination folder: links below it are refused, the folder itself may be one.
  int InitStagingFolder(long long initId, const std::string& stagingDir, const std::string& guestDir) override;
  // Leaves the staging folder in place (the base class would remove it).
  int DeInitStagingFolder(const std::string& stagingDir, const std::string& guestDir) override;
  bool IsZqGuestAPI() override;
  // One PowerShell request for all of `guestFiles`: Get-FileHash -LiteralPath of each path that is
  // a file and no reparse point, behind the reparse-point guard of the folders below the
  // destination. Windows opens the file by name, so a link swapped in between the check and the
  // read is read through; the digest is only read, never written.
  int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                     std::vector<std::string>& digests) override;
  // From now on a replaced regular file is first copied, inside the request that places the new
  // file, to a temporary name in its folder and renamed to its name plus `suffix`, with its three
  // times; a folder or reparse point at that name, or any failure, fails the copy and leaves the
  // old file. 0 for a suffix ReplaceChoices::BackupSuffixProblem refuses or Windows cannot take.
  int SetBackupSuffix(const std::string& suffix) override;

  // Reads the base folder, rewrites a domain login DOMAIN\user into user:DOMAIN and probes the
  // address list for a guest that answers systeminfo as Windows.
  bool Init(const GuestLoginCred& cred) override;
  // Puts the password into ZQ_PUTTY_PASS for the command about to run.
  bool PreExecuteCommand(const std::string& command) override;
  // Takes the password out of the environment again, so that no later child inherits it.
  bool PostExecuteCommand(const std::string& command) override;

  // Tries the addresses in order; the first that runs the probe decides. On success the
  // address list is narrowed to that address.
  bool IsGuestWindows();
  // BASE/zqplink.exe ADDRESS -l USER <command>
  void InitZqPlinkCmd(std::string& command);
  // BASE/zqpscp.exe -l USER <arguments>
  void InitZqPscpCmd(std::string& arguments);
  // BASE/zqplink.exe ADDRESS -l USER cmd /c "echo . | powershell <script>", with the script
  // escaped for the proxy shell's double quotes (so "$" arrives as "$").
  void InitZqRemoteCmd(std::string& script);
  // C: or C:\ (two or three characters).
  bool IsVolumeName(const std::string& path);
  // Appends "\" unless the path ends in one.
  void AppendTrailingDelim(std::string& path);
  // A copy without one trailing backslash.
  std::string AddPsEscapeChar(const std::string& path);

  int BrowseGuestRoot(const GuestCtx& ctx, const std::string& guestPath,
                      std::vector<VMInfoStructs::SGuestFile>& entries);
  int BrowseGuestFolder(const GuestCtx& ctx, const std::string& guestPath,
                        std::vector<VMInfoStructs::SGuestFile>& entries);
  bool EnumerateFolder(const GuestCtx& ctx, const std::string& guestPath,
                       std::vector<VMInfoStructs::SGuestFile>& entries, bool foldersOnly);
  // One drive per line ("C:"); appends \C: entries. False for empty output or no entries at all.
  bool ParseBrowseResponseWinRoot(const std::string& output, std::vector<VMInfoStructs::SGuestFile>& entries);
  // One item per line: length,True|False,M/d/yyyy h:mm:ss tt (UTC),name; the name may hold commas.
  bool ParseBrowseResponseFolder(const std::string& output, std::vector<VMInfoStructs::SGuestFile>& entries);

 private:
  // The zqplink.exe line that runs `script`: as text, or as -EncodedCommand when a path in it
  // would not pass cmd and powershell.exe unchanged.
  bool BuildPowerShellCommand(const std::string& script, bool encode, std::string& command);
  // Builds and runs it; `command` receives the line that ran.
  bool RunPowerShell(const std::string& script, bool encode, std::string& output, std::string& command);
  bool RunPowerShell(const std::string& script, bool encode, std::string& output);
  // False, with an error line and the last-error text, for a path no Windows guest can take, or,
  // `forWrite`, one that holds a "." or ".." name.
  bool AcceptGuestPath(const char* origin, const std::string& path, bool forWrite = false);
  // True, with an error line and the last-error text, when the guest's answer is a refusal of the
  // guard: a reparse point below the destination, or a folder at a file's name.
  bool RefusedByGuest(const char* origin, const std::string& guestPath, const std::string& output);
  // CopyFileToGuest for a file in a folder below the destination (or any file in it when a backup
  // is kept): upload to a staged name in the destination folder, then one script that guards,
  // keeps the backup, renames into place and checks again.
  int CopyFileBelowDestination(const std::string& localFile, const std::string& guestFile,
                               const GuardedWalk& walk);
  // The guest address as the host part of a copy target: an IPv6 address in brackets.
  std::string CopyTargetHost() const;
  std::string ProbeCommand(const std::string& address);
  std::string PlinkCommand(const std::string& address, const std::string& command);

  // The destination folder the job named (InitStagingFolder); empty before.
  std::string m_destinationRoot;
  // The backup suffix (SetBackupSuffix); empty: no backups.
  std::string m_backupSuffix;
};
