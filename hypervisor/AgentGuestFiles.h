// Guest file operations on a Unix guest through its QEMU guest agent (AgentTransport.h). Every
// operation that looks at or changes a guest path is one run of one guest program
// (AgentGuestProgram.sh, carried inside the component) through guest-exec with an argument array,
// never a shell command line, so no name can inject anything.
//
// What every operation guarantees:
// - Names on the way. The program enters every folder from "/" one by one and checks that the
//   folder reached has the device and inode that stat saw before entering it. A link on the way
//   is followed only when root owns it (a system's own links such as /bin -> usr/bin, or one the
//   administrator made); any other link, or a non-folder, on the way fails the operation and names
//   the place. After the walk only names of the folder entered are used.
// - Content lands complete or not at all: it goes into a new file with an unpredictable name in
//   the target folder, created exclusively and readable by root only, gets its mode and times
//   through its descriptor, and is renamed over the target only after every byte arrived. A link
//   at the target's name is replaced (overwrite), or fails the copy naming the link (no
//   overwrite); it is never written through. On any failure the new file is removed and the
//   target is as it was. Small content reaches the program on its standard input; larger content
//   goes first in chunks into a fresh folder that only root can enter, made where no guest user
//   can rename it (a root-owned folder such as /var/tmp), and the program consumes it.
// - Attributes go through a descriptor checked to reach the entry examined; never through a link.
// - Results are what happened: a listing that fails is a failure, never an empty folder.
// - The agent's health: once the agent failed twice in a row, or let a command pass its time
//   limit, every later operation fails at once with that reason instead of waiting again.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hypervisor/AgentGuestOutput.h"
#include "hypervisor/AgentTransport.h"
#include "hypervisor/VMInfoStatus.h"
#include "vminfo/VMInfoStructs.h"

struct AgentLimits {
  int commandSeconds = 60;      // the longest one guest program may take
  int answerSeconds = 10;       // the longest one agent command without file content may take
  int silentAgentSeconds = 5;   // guest-ping of a VM's record (GetVMInfo)
  // File content per guest-file-write/read and the most content sent on a program's standard
  // input. qemu-ga reads a request's JSON in time that grows faster than its size: on an emulated
  // guest 160 KiB chunks were answered and 176 KiB ones never; 96 KiB keeps a margin.
  size_t chunkBytes = 96u << 10;
  // A chunk's time limit is answerSeconds plus its size at this slowest rate.
  size_t slowestBytesPerSecond = 32u << 10;
  // The most a listing answers in one program's output (base64 adds a third; libvirt refuses a
  // message over 4 MiB). A longer listing is paged through a private file.
  size_t listingPageBytes = 1u << 20;
  size_t maxListingBytes = 256u << 20;  // the most a paged listing may hold in all
  // A temporary file of ours unchanged for this long is left from an earlier restore (a guest
  // that stopped mid-write); a listing of its folder removes it.
  int staleTemporaryMinutes = 60;
  // Where a fresh root-only folder for large content and long listings may be made; the first
  // whose every folder belongs to root and is not writable by others (sticky allowed) is used.
  std::vector<std::string> privateBases = {"/var/tmp", "/tmp", "/root"};
};

// How much one AgentGuestFiles asked of the agent, for the benchmark and the tests.
struct AgentCounters {
  uint64_t commands = 0;  // agent commands sent
  uint64_t programs = 0;  // guest programs started (guest-exec)
  uint64_t polls = 0;     // guest-exec-status commands among the commands
  uint64_t programMilliseconds = 0;  // from each guest-exec until its end was seen
};

// What a guest program left: its exit code and captured output.
struct GuestProgramResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class AgentGuestFiles {
 public:
  // The commands this class needs the agent to allow.
  static const std::vector<std::string>& RequiredCommands();

  AgentGuestFiles(AgentTransport& agent, const AgentLimits& limits);

  // Whether the agent answers guest-ping and allows every required command. The refusal names the
  // blocked commands and the agent setting that allows them.
  VMInfoStatus CheckAgent();
  // One agent command within `seconds` (0: answerSeconds). Once the agent failed twice in a row
  // without an answer, or let a command pass its limit, this fails at once with that reason.
  VMInfoStatus Call(const std::string& command, const nlohmann::json& arguments, nlohmann::json& result,
                    int seconds = 0);
  // Runs `argv` (argv[0] found on the agent's PATH) with `input` on its standard input and waits
  // for it within commandSeconds, polling from 1 ms on with a growing pause.
  // `kind` names programs of like length: the first poll waits for most of the time the last one
  // of that kind took, so a slow (emulated) guest is not asked again and again meanwhile.
  VMInfoStatus RunProgram(const std::vector<std::string>& argv, GuestProgramResult& result,
                          const std::string& input = std::string(), const std::string& kind = std::string());

  // Appends the entries of a folder, or the one entry of a file; the root listing ("" or "\") is
  // one folder entry "/". Names are read NUL-separated, so every name is carried as it is.
  VMInfoStatus Browse(const std::string& guestPath, bool foldersOnly, std::vector<VMInfoStructs::SGuestFile>& entries);
  // Makes the folder exist, with its missing parents, each created with plain mkdir (never -p).
  VMInfoStatus CreateFolder(const std::string& guestPath);
  // Copies a local file to the guest path (missing parents are created). Without `overwrite` an
  // existing guest file is kept; a folder at the path fails the copy. With a backup suffix set, a
  // regular file the copy replaces is first kept under its name and the suffix (a hard link to
  // it, made in the same guest program right before the rename); a link, folder or anything else
  // at that name, or a file system without hard links, fails the copy with the old file in place.
  VMInfoStatus CopyFileIn(const std::string& localFile, const std::string& guestPath, bool overwrite);
  VMInfoStatus CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite);
  // Copies a guest file to a local path, replacing the local file only once all of it arrived.
  VMInfoStatus CopyFileOut(const std::string& guestPath, const std::string& localFile);
  // Applies owner, group, mode (mask 07777) and access and modification times (0 leaves a time as
  // it is); values the entry already has are not sent again. Owner, group and mode all 0 mean a
  // change of times alone (as the controller sends it): owner and mode stay as they are.
  VMInfoStatus ChangeAttributes(const std::string& guestPath, const VMInfoStructs::SGuestFile& attributes);
  // Removes a folder and everything in it (links inside are removed, not followed); never "/".
  VMInfoStatus DeleteFolder(const std::string& guestPath);
  // The SHA-256 of the regular file at the guest path (64 lower-case hexadecimal digits), read in
  // the guest by sha256sum through a descriptor checked to reach the file examined; empty when the
  // path holds no regular file. Anything but one such line from the program fails.
  VMInfoStatus Sha256(const std::string& guestPath, std::string& digest);

  // The suffix CopyFileIn keeps a replaced file under; empty: no backups. Checked by the caller
  // (ReplaceChoices::BackupSuffixProblem).
  void SetBackupSuffix(const std::string& suffix) { m_backupSuffix = suffix; }

  const AgentCounters& counters() const { return m_counters; }
  // What the operations found worth a log line (stale temporary files removed, a private folder
  // left behind), handed over once.
  struct Notice {
    bool problem = false;  // something is left behind, rather than done
    std::string text;
  };
  std::vector<Notice> TakeNotices();

 private:
  // What a file this object just wrote was given, so that the attributes the caller sends next
  // are not applied again.
  struct Written {
    std::string path;
    uint32_t uid = 0, gid = 0, mode = 0;
    int64_t accessTime = 0, modifyTime = 0;
  };

  VMInfoStatus RunOperation(const std::string& operation, const std::vector<std::string>& arguments,
                            const std::string& guestPath, bool withNames, GuestProgramResult& result,
                            const std::string& input = std::string());
  VMInfoStatus MakePrivateFolder(std::string& folder);
  void RemovePrivateFolder(const std::string& folder);
  VMInfoStatus SendContent(int localFd, const std::string& guestFile);
  VMInfoStatus ReadPagedListing(const std::string& guestFile, std::string& listing);
  VMInfoStatus CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite, int depth);

  AgentTransport& m_agent;
  AgentLimits m_limits;
  AgentCounters m_counters;
  int m_failuresInRow = 0;
  std::string m_agentGone;  // why the agent is taken as gone; empty while it answers
  Written m_written;
  std::string m_backupSuffix;
  std::map<std::string, std::chrono::microseconds> m_lastDuration;  // by program kind
  std::vector<Notice> m_notices;
};
