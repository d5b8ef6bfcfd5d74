// The SSH command channel to Linux guests: every guest operation feeds the helper script
// zqvsa_agentless.sh to `bash -s` in the guest through zqplink.exe, and files travel with
// zqpscp.exe. The tools and the script lie in the installation base folder.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "guestapi/IGuestCopyOwner.h"
#include "guestapi/ZQGuestAPI.h"
#include "vminfo/IGuestReplaceChoices.h"

class ZQUnixGuestAPI : public CGuestAPI, public IGuestReplaceChoices, public IGuestCopyOwner {
 public:
  explicit ZQUnixGuestAPI(IVMInfo* vmInfo);
  ~ZQUnixGuestAPI() override;

  int BrowseGuest(const GuestCtx& ctx, const std::string& guestPath,
                  std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int BrowseGuestFolders(const GuestCtx& ctx, const std::string& guestPath,
                         std::vector<VMInfoStructs::SGuestFile>& entries) override;
  int CreateGuestFolder(const GuestCtx& ctx, const std::string& guestPath) override;
  int CopyFileToGuest(const GuestCtx& ctx, const std::string& localFile, const std::string& guestFile,
                      bool overwrite) override;
  int ChangeGuestFileAttributes(const GuestCtx& ctx, const std::string& guestPath,
                                const VMInfoStructs::SGuestFile& attributes) override;
  int DeleteDirectoryInGuest(const GuestCtx& ctx, std::string& guestPath) override;
  bool IsZqGuestAPI() override;
  // One helper-script request (--sha256) for all of `guestFiles`: sha256sum in the guest reads each
  // file through a descriptor that reached the file the walk examined.
  int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                     std::vector<std::string>& digests) override;
  // The copy tool then hands the suffix to the helper script's --write_file (a hard link to the old
  // file, made just before the rename).
  int SetBackupSuffix(const std::string& suffix) override;
  void SetNextCopyOwner(int64_t uid, int64_t gid) override;
  // Remembers `guestDir`, the destination folder as the job names it: links in it are followed
  // (the operator chose it), links below it never are.
  int InitStagingFolder(long long initId, const std::string& stagingDir, const std::string& guestDir) override;

  // Refuses VMware guests, reads the base folder, stores the login and probes the guest.
  bool Init(const GuestLoginCred& cred) override;
  // Puts this channel's password into ZQ_PUTTY_PASS for the SSH tools (inside the command lock).
  bool PreExecuteCommand(const std::string& command) override;
  // Removes ZQ_PUTTY_PASS again, still inside the command lock, so that no later child of the
  // process inherits the guest password.
  bool PostExecuteCommand(const std::string& command) override;

  // Runs "uname -a" on each listed address until one answers; true when that one is Linux, and
  // then the login keeps only that address.
  bool IsGuestUnix();
  // Turns a helper-script invocation into the zqplink.exe command line that feeds the script to
  // `bash -s` in the guest.
  void InitZqPlinkCmd(std::string& command);
  // Puts the zqpscp.exe path in front of the copy arguments.
  void InitZqPscpCmd(std::string& arguments);

  int BrowseGuestRoot(const GuestCtx& ctx, const std::string& guestPath,
                      std::vector<VMInfoStructs::SGuestFile>& entries);
  int BrowseGuestFolder(const GuestCtx& ctx, const std::string& guestPath,
                        std::vector<VMInfoStructs::SGuestFile>& entries);
  // Appends one entry per eight-field line of the helper script's browse answer; true when
  // `entries` is not empty afterwards.
  bool ParseBrowseResponse(const std::string& output, std::vector<VMInfoStructs::SGuestFile>& entries);

 private:
  // `guestPath` as the helper script and the copy tool receive it: a path below the destination
  // carries the marker "/./" after the destination, which ends the part where links are followed.
  // Before the destination is known, a folder to create is the caller's own choice as a whole;
  // every other path is walked from "/" without following any link.
  std::string MarkedPath(const std::string& guestPath, bool folderToCreate = false) const;
  // The helper-script invocation for `option` on `guestPath`, with `numbers` (already plain
  // decimal words) after the path. Each path byte reaches the script unchanged: the path is quoted
  // for the guest's shell and that word again for the proxy's shell.
  std::string ScriptInvocation(const std::string& option, const std::string& guestPath,
                               const std::string& numbers = "");
  // Runs the helper script with `option` on `guestPath`; false when the command fails or the path
  // cannot be carried on a command line (then nothing runs).
  bool RunScript(const char* origin, const std::string& option, const std::string& guestPath, std::string& output,
                 const std::string& numbers = "");
  // False, with an error line and the last-error text, when `path` holds a byte no command line
  // can carry (the NUL byte).
  bool CheckCarriable(const char* origin, const std::string& path);
  // The zqpscp.exe command line that copies `localFile` to `guestFile`.
  // The copy tool's arguments; `owner` ("UID:GID", or empty) is what the new file gets before its rename.
  std::string CopyCommand(const std::string& localFile, const std::string& guestFile, const std::string& owner);
  int BrowseWithOption(const char* origin, const std::string& option, const std::string& guestPath,
                       std::vector<VMInfoStructs::SGuestFile>& entries);

  // Folders the guest is known to hold: made or ensured by this channel's own commands, or listed
  // as folders in one of its browse answers. A copy into one of them runs no "--create_parent_dir":
  // the copy's own write enters the folders without following links and fails, changing nothing,
  // when one of them has gone meanwhile. The most recently used kKnownFolders are kept.
  bool IsKnownFolder(const std::string& folder);
  void RememberFolder(const std::string& folder);
  void ForgetFolder(const std::string& folder);
  static constexpr size_t kKnownFolders = 64;
  std::deque<std::string> m_knownFolders;  // most recently used last

  std::string m_destination;  // the destination folder, without trailing "/"; empty until known
  std::string m_backupSuffix;  // empty: a replaced file is not kept
  std::string m_nextCopyOwner;  // "UID:GID" for the next copy only; empty: the login's
};
