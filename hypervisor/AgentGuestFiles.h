// Guest file operations on a Unix guest through its QEMU guest agent (AgentTransport.h): file
// content with guest-file-open/write/read/close, everything else with guest-exec running one
// coreutils or findutils program with an argument array, never a shell, so no name can inject
// anything.
//
// What every operation guarantees:
// - Names on the way. Every folder on the way to a path is examined with stat (without following)
//   before it is used. A link on the way is followed only when root owns it (a system's own links
//   such as /bin -> usr/bin, or one the administrator made); any other link, or a non-folder, on
//   the way fails the operation and names the place. The check and the use are separate commands,
//   so a guest user who can write to a folder on the way can still swap a checked folder for a
//   link in between; see the kvm documentation for that window.
// - Content lands complete or not at all: it is written into a fresh temporary file in the target
//   folder (made by mktemp, readable by root only until full) and moved over the target with
//   "mv -T" only after every byte arrived; on any failure the temporary file is removed and the
//   target is as it was. A link at the target's name is replaced, never written through. The file
//   gets the local file's permission bits (set-id bits only through ChangeAttributes).
// - Attributes are never applied through a link: a link at the path fails the change.
// - Results are what happened: a listing that fails is a failure, never an empty folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hypervisor/AgentGuestOutput.h"
#include "hypervisor/AgentTransport.h"
#include "hypervisor/VMInfoStatus.h"
#include "vminfo/VMInfoStructs.h"

struct AgentLimits {
  int commandSeconds = 60;        // the longest one agent command or one guest program may take
  int silentAgentSeconds = 5;     // the probe of an agent that stopped answering
  size_t chunkBytes = 1u << 20;   // file content per guest-file-write/read; base64 adds a third,
                                  // well inside libvirt's 4 MiB string over remote connections
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
  // One agent command, with the component's time limit. After an agent went silent, the next
  // command is preceded by a short guest-ping, so a dead agent fails every later call quickly.
  VMInfoStatus Call(const std::string& command, const nlohmann::json& arguments, nlohmann::json& result);
  // Runs `argv` (argv[0] found on the agent's PATH) and waits for it within the time limit.
  VMInfoStatus RunProgram(const std::vector<std::string>& argv, GuestProgramResult& result);

  // Appends the entries of a folder, or the one entry of a file; the root listing ("" or "\") is
  // one folder entry "/". Names are read NUL-separated, so every name is carried as it is.
  VMInfoStatus Browse(const std::string& guestPath, bool foldersOnly, std::vector<VMInfoStructs::SGuestFile>& entries);
  // Makes the folder exist, with its missing parents, each created with plain mkdir (never -p).
  VMInfoStatus CreateFolder(const std::string& guestPath);
  // Copies a local file to the guest path (missing parents are created). Without `overwrite` an
  // existing guest file is kept; a folder at the path fails the copy.
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

 private:
  struct Way;  // the folders on the way to a path and the path itself, with their facts

  VMInfoStatus ExamineWay(const std::string& guestPath, Way& way);
  VMInfoStatus CreateMissingFolders(const Way& way);
  VMInfoStatus StatPaths(const std::vector<std::string>& paths, bool follow, std::vector<GuestEntryFacts>& facts);
  VMInfoStatus ListFolder(const std::string& folder, bool foldersOnly, std::vector<VMInfoStructs::SGuestFile>& entries);
  VMInfoStatus MakeTemporaryFile(const std::string& folder, std::string& temporary);
  VMInfoStatus WriteGuestFile(int localFd, const std::string& guestPath);
  VMInfoStatus RunChecked(const std::vector<std::string>& argv, const std::string& what);
  VMInfoStatus CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite, int depth);

  AgentTransport& m_agent;
  AgentLimits m_limits;
  bool m_agentWentSilent = false;
};
