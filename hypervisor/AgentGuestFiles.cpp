#include "hypervisor/AgentGuestFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "hypervisor/AgentGuestOutput.h"
#include "hypervisor/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxTreeDepth = 64;
// The environment of every guest program: C messages (the stat errors below are read) and the
// usual program folders.
const std::vector<std::string> kProgramEnvironment = {"LC_ALL=C", "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};

VMInfoStatus PathRefused(const std::string& path, const std::string& why) {
  return VMInfoStatus::Fail(VMInfoError::GuestPathRefused, "Guest path [" + path + "] " + why);
}
VMInfoStatus FileFailure(const std::string& what) { return VMInfoStatus::Fail(VMInfoError::GuestFileError, what); }

bool IsRootListing(const std::string& path) { return path.empty() || path == "\\"; }

std::string FirstLine(const std::string& text) {
  const std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no message" : line;
}

std::string RandomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device()()};
  char text[17];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

}  // namespace


struct AgentGuestFiles::Way {
  std::vector<std::string> names;
  std::vector<std::string> paths;  // "/a", "/a/b", ... the path itself last
  std::vector<GuestEntryFacts> facts;
  size_t firstMissing = 0;  // index of the first path that does not exist (paths.size() when all do)

  const std::string& target() const { return paths.back(); }
  const GuestEntryFacts& targetFacts() const { return facts.back(); }
  std::string parent() const { return JoinUnixGuestPath(names, names.size() - 1); }
};

const std::vector<std::string>& AgentGuestFiles::RequiredCommands() {
  static const std::vector<std::string> commands = {"guest-info",       "guest-ping",       "guest-file-open",
                                                     "guest-file-write", "guest-file-read",  "guest-file-close",
                                                     "guest-exec",       "guest-exec-status"};
  return commands;
}

AgentGuestFiles::AgentGuestFiles(AgentTransport& agent, const AgentLimits& limits) : m_agent(agent), m_limits(limits) {}

VMInfoStatus AgentGuestFiles::Call(const std::string& command, const nlohmann::json& arguments, nlohmann::json& result) {
  AgentFailure failure = AgentFailure::None;
  if (m_agentWentSilent && command != "guest-ping") {
    nlohmann::json pong;
    VMInfoStatus alive = m_agent.Execute("guest-ping", nullptr, m_limits.silentAgentSeconds, pong, failure);
    if (!alive.ok()) return alive;
    m_agentWentSilent = false;
  }
  VMInfoStatus status = m_agent.Execute(command, arguments, m_limits.commandSeconds, result, failure);
  if (failure == AgentFailure::NoAnswer) m_agentWentSilent = true;
  return status;
}

VMInfoStatus AgentGuestFiles::CheckAgent() {
  nlohmann::json result;
  VMInfoStatus status = Call("guest-ping", nullptr, result);
  if (status.ok()) status = Call("guest-info", nullptr, result);
  if (!status.ok()) {
    return VMInfoStatus::Fail(VMInfoError::GuestAgent,
                              status.text() + ". Check that the QEMU guest agent (qemu-guest-agent) runs in the guest "
                                              "and that the VM has its virtio-serial channel org.qemu.guest_agent.0");
  }
  std::vector<std::string> blocked;
  const nlohmann::json commands = result.is_object() ? result.value("supported_commands", nlohmann::json::array())
                                                     : nlohmann::json::array();
  for (const std::string& required : RequiredCommands()) {
    bool enabled = false;
    for (const nlohmann::json& command : commands) {
      if (command.is_object() && command.value("name", "") == required) enabled = command.value("enabled", false);
    }
    if (!enabled) blocked.push_back(required);
  }
  if (blocked.empty()) return VMInfoStatus::Ok();
  return VMInfoStatus::Fail(
      VMInfoError::GuestAgent,
      "The guest agent does not allow " + boost::algorithm::join(blocked, ", ") +
          ", which restoring files needs. Allow them in the guest agent's configuration and restart it: remove them "
          "from block-rpcs (qemu-ga --block-rpcs, or block-rpcs in /etc/qemu/qemu-ga.conf), and where the agent has "
          "an allow-list add them to allow-rpcs (qemu-ga --allow-rpcs; FILTER_RPC_ARGS in /etc/sysconfig/qemu-ga on "
          "Red Hat-like guests)");
}

VMInfoStatus AgentGuestFiles::RunProgram(const std::vector<std::string>& argv, GuestProgramResult& result) {
  result = GuestProgramResult();
  const std::vector<std::string> arguments(argv.begin() + 1, argv.end());
  const nlohmann::json request = {
      {"path", argv.front()}, {"arg", arguments}, {"env", kProgramEnvironment}, {"capture-output", true}};
  nlohmann::json started;
  VMInfoStatus status = Call("guest-exec", request, started);
  if (!status.ok()) return status;
  if (!started.is_object() || !started.contains("pid") || !started["pid"].is_number_integer()) {
    return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent started " + argv.front() + " without a pid");
  }
  const nlohmann::json pid = {{"pid", started["pid"]}};
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_limits.commandSeconds);
  // Short programs end within milliseconds on a fast guest and within a few hundred on an emulated
  // one; each poll is a round trip to the guest, so the poll starts fast and slows down to 100 ms.
  std::chrono::milliseconds pause(5);
  for (;;) {
    nlohmann::json state;
    status = Call("guest-exec-status", pid, state);
    if (!status.ok()) return status;
    if (state.is_object() && state.value("exited", false)) {
      std::string out;
      std::string err;
      if (!DecodeBase64(state.value("out-data", ""), out) || !DecodeBase64(state.value("err-data", ""), err)) {
        return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The output of " + argv.front() + " is not base64");
      }
      if (state.value("out-truncated", false) || state.value("err-truncated", false)) {
        return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The output of " + argv.front() + " was cut off by the agent");
      }
      result.out = std::move(out);
      result.err = std::move(err);
      // A program ended by a signal has no exit code; it counts as failed.
      result.exitCode = state.contains("exitcode") && state["exitcode"].is_number_integer() ? state["exitcode"].get<int>() : -1;
      return VMInfoStatus::Ok();
    }
    if (Clock::now() >= deadline) {
      return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest program " + argv.front() + " did not end within " +
                                                             std::to_string(m_limits.commandSeconds) + " seconds");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

VMInfoStatus AgentGuestFiles::RunChecked(const std::vector<std::string>& argv, const std::string& what) {
  GuestProgramResult result;
  VMInfoStatus status = RunProgram(argv, result);
  if (!status.ok()) return status;
  if (result.exitCode != 0) return FileFailure(what + ": " + FirstLine(result.err));
  return VMInfoStatus::Ok();
}

VMInfoStatus AgentGuestFiles::StatPaths(const std::vector<std::string>& paths, bool follow,
                                        std::vector<GuestEntryFacts>& facts) {
  facts.assign(paths.size(), GuestEntryFacts());
  std::vector<std::string> argv = {"stat"};
  if (follow) argv.push_back("-L");
  argv.push_back(kGuestStatFormat);
  argv.push_back("--");
  argv.insert(argv.end(), paths.begin(), paths.end());
  GuestProgramResult result;
  VMInfoStatus status = RunProgram(argv, result);
  if (!status.ok()) return status;
  if (result.exitCode != 0 && !OnlyMissingNames(result.err)) {
    return FileFailure("Guest path [" + paths.back() + "] cannot be examined: " + FirstLine(result.err));
  }
  return ReadStatOutput(result.out, paths, facts);
}

VMInfoStatus AgentGuestFiles::ExamineWay(const std::string& guestPath, Way& way) {
  way = Way();
  VMInfoStatus status = SplitUnixGuestPath(guestPath, way.names);
  if (!status.ok()) return status;
  if (way.names.empty()) return PathRefused(guestPath, "names the root folder");
  for (size_t count = 1; count <= way.names.size(); ++count) way.paths.push_back(JoinUnixGuestPath(way.names, count));
  status = StatPaths(way.paths, false, way.facts);
  if (!status.ok()) return status;
  way.firstMissing = way.paths.size();
  std::vector<std::string> rootLinks;
  for (size_t i = 0; i < way.paths.size(); ++i) {
    const GuestEntryFacts& facts = way.facts[i];
    if (!facts.exists) {
      if (way.firstMissing == way.paths.size()) way.firstMissing = i;
      continue;
    }
    if (way.firstMissing < i) return FileFailure("Guest folder [" + way.paths[way.firstMissing] + "] changed meanwhile");
    if (i + 1 == way.paths.size()) break;  // the path itself is judged by each operation
    if (facts.IsLink()) {
      if (facts.uid != 0) {
        return PathRefused(guestPath, "leads through [" + way.paths[i] + "], a link owned by user " +
                                          std::to_string(facts.uid) + "; links below the destination are not followed");
      }
      rootLinks.push_back(way.paths[i]);
    } else if (!facts.IsFolder()) {
      return PathRefused(guestPath, "leads through [" + way.paths[i] + "], which is not a folder");
    }
  }
  if (rootLinks.empty()) return VMInfoStatus::Ok();
  std::vector<GuestEntryFacts> targets;
  status = StatPaths(rootLinks, true, targets);
  if (!status.ok()) return status;
  for (size_t i = 0; i < rootLinks.size(); ++i) {
    if (!targets[i].IsFolder()) return PathRefused(guestPath, "leads through [" + rootLinks[i] + "], a link to no folder");
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus AgentGuestFiles::CreateMissingFolders(const Way& way) {
  const size_t lastFolder = way.paths.size() - 1;  // the parent of the path itself
  if (way.firstMissing >= lastFolder) return VMInfoStatus::Ok();
  std::vector<std::string> argv = {"mkdir", "--"};
  argv.insert(argv.end(), way.paths.begin() + static_cast<long>(way.firstMissing),
              way.paths.begin() + static_cast<long>(lastFolder));
  return RunChecked(argv, "Guest folder [" + way.paths[lastFolder - 1] + "] cannot be created");
}

VMInfoStatus AgentGuestFiles::Browse(const std::string& guestPath, bool foldersOnly,
                                     std::vector<VMInfoStructs::SGuestFile>& entries) {
  if (IsRootListing(guestPath)) {
    std::vector<GuestEntryFacts> facts;
    VMInfoStatus status = StatPaths({"/"}, false, facts);
    if (!status.ok()) return status;
    if (!facts[0].exists) return FileFailure("The guest's root folder cannot be examined");
    entries.push_back(ToGuestFile("/", facts[0]));
    return VMInfoStatus::Ok();
  }
  std::vector<std::string> names;
  VMInfoStatus status = SplitUnixGuestPath(guestPath, names);
  if (!status.ok()) return status;
  if (names.empty()) return ListFolder("/", foldersOnly, entries);
  Way way;
  status = ExamineWay(guestPath, way);
  if (!status.ok()) return status;
  const GuestEntryFacts& target = way.targetFacts();
  if (!target.exists) return FileFailure("Guest path [" + guestPath + "] does not exist");
  if (target.IsFolder() || (target.IsLink() && target.uid == 0)) {
    std::vector<GuestEntryFacts> followed;
    status = target.IsLink() ? StatPaths({way.target()}, true, followed) : VMInfoStatus::Ok();
    if (!status.ok()) return status;
    if (target.IsFolder() || followed[0].IsFolder()) return ListFolder(way.target(), foldersOnly, entries);
  }
  if (!foldersOnly) entries.push_back(ToGuestFile(way.names.back(), target));
  return VMInfoStatus::Ok();
}

VMInfoStatus AgentGuestFiles::ListFolder(const std::string& folder, bool foldersOnly,
                                         std::vector<VMInfoStructs::SGuestFile>& entries) {
  // -H: the folder itself may be a root-owned link (checked by the caller); nothing below it is
  // followed.
  GuestProgramResult result;
  VMInfoStatus status =
      RunProgram({"find", "-H", folder, "-mindepth", "1", "-maxdepth", "1", "-printf", kGuestFindFormat}, result);
  if (!status.ok()) return status;
  if (result.exitCode != 0) return FileFailure("Guest folder [" + folder + "] cannot be listed: " + FirstLine(result.err));
  return ReadFindOutput(result.out, foldersOnly, entries);
}

VMInfoStatus AgentGuestFiles::CreateFolder(const std::string& guestPath) {
  Way way;
  VMInfoStatus status = ExamineWay(guestPath, way);
  if (!status.ok()) return status;
  const GuestEntryFacts& target = way.targetFacts();
  if (target.IsFolder()) return VMInfoStatus::Ok();
  if (target.IsLink() && target.uid == 0) {
    std::vector<GuestEntryFacts> followed;
    status = StatPaths({way.target()}, true, followed);
    if (!status.ok()) return status;
    if (followed[0].IsFolder()) return VMInfoStatus::Ok();
  }
  if (target.exists) return PathRefused(guestPath, "exists and is not a folder");
  std::vector<std::string> argv = {"mkdir", "--"};
  argv.insert(argv.end(), way.paths.begin() + static_cast<long>(way.firstMissing), way.paths.end());
  return RunChecked(argv, "Guest folder [" + guestPath + "] cannot be created");
}

VMInfoStatus AgentGuestFiles::CopyFileIn(const std::string& localFile, const std::string& guestPath, bool overwrite) {
  // O_NOATIME keeps the staged file's access time, which is restored afterwards.
  UniqueFd local(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME));
  if (!local.valid() && errno == EPERM) local.Reset(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!local.valid()) return FileFailure("Local file [" + localFile + "] cannot be read: " + std::strerror(errno));
  Way way;
  VMInfoStatus status = ExamineWay(guestPath, way);
  if (!status.ok()) return status;
  const GuestEntryFacts& target = way.targetFacts();
  if (target.IsFolder()) return PathRefused(guestPath, "is a folder; a file cannot replace it");
  // Nothing is copied over an existing file without overwrite, and that is no success: the caller
  // would count the entry restored and give its attributes to a file this restore never wrote.
  if (target.exists && !overwrite) return PathRefused(guestPath, "already exists and is left as it is");
  status = CreateMissingFolders(way);
  if (!status.ok()) return status;

  struct stat localInfo {};
  if (::fstat(local.get(), &localInfo) != 0) return FileFailure("Local file [" + localFile + "] cannot be examined");
  // mktemp creates the temporary file exclusively (never through a link) and readable by root
  // only, so nobody can write into it while it fills; it gets the file's mode bits only when full.
  // (The agent itself would create it world-writable.)
  std::string temporary;
  status = MakeTemporaryFile(way.parent(), temporary);
  if (!status.ok()) return status;
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(localInfo.st_mode & 0777));
  status = WriteGuestFile(local.get(), temporary);
  if (status.ok()) status = RunChecked({"chmod", "--", mode, temporary}, "Guest file [" + guestPath + "] cannot get its mode");
  if (status.ok()) {
    // Without overwrite the file is linked under its name, which fails when something arrived
    // there meanwhile; with overwrite it replaces whatever is there, a link included.
    status = overwrite ? RunChecked({"mv", "-T", "--", temporary, way.target()},
                                    "Guest file [" + guestPath + "] cannot be put in place")
                       : RunChecked({"ln", "-T", "--", temporary, way.target()},
                                    "Guest file [" + guestPath + "] cannot be put in place");
    if (status.ok() && !overwrite) status = RunChecked({"rm", "-f", "--", temporary}, "Temporary guest file cannot be removed");
    if (status.ok()) return status;
  }
  GuestProgramResult ignored;
  (void)RunProgram({"rm", "-f", "--", temporary}, ignored);  // best effort; the failure reported is the first
  return status;
}

VMInfoStatus AgentGuestFiles::MakeTemporaryFile(const std::string& folder, std::string& temporary) {
  GuestProgramResult result;
  VMInfoStatus status =
      RunProgram({"mktemp", "-p", folder, "--suffix=.part", ".zqrestore-XXXXXXXXXXXX"}, result);
  if (!status.ok()) return status;
  const std::string expected = folder == "/" ? "/.zqrestore-" : folder + "/.zqrestore-";
  if (result.exitCode != 0 || result.out.size() < expected.size() + 1 || result.out.back() != '\n' ||
      result.out.compare(0, expected.size(), expected) != 0) {
    return FileFailure("No temporary file can be made in guest folder [" + folder + "]: " + FirstLine(result.err));
  }
  temporary = result.out.substr(0, result.out.size() - 1);
  return VMInfoStatus::Ok();
}

VMInfoStatus AgentGuestFiles::WriteGuestFile(int localFd, const std::string& guestPath) {
  nlohmann::json handle;
  // "r+": the file exists already (MakeTemporaryFile) and is not created again.
  VMInfoStatus status = Call("guest-file-open", {{"path", guestPath}, {"mode", "r+"}}, handle);
  if (!status.ok()) return status;
  if (!handle.is_number_integer()) return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent gave no file handle");
  std::string chunk(m_limits.chunkBytes, '\0');
  for (;;) {
    const ssize_t got = ::read(localFd, &chunk[0], chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      status = FileFailure(std::string("Local file cannot be read: ") + std::strerror(errno));
      break;
    }
    if (got == 0) break;
    nlohmann::json written;
    status = Call("guest-file-write", {{"handle", handle}, {"buf-b64", EncodeBase64(chunk.substr(0, static_cast<size_t>(got)))}},
                  written);
    if (!status.ok()) break;
    if (!written.is_object() || written.value("count", -1) != got) {
      status = FileFailure("Guest file [" + guestPath + "] took fewer bytes than were sent");
      break;
    }
  }
  nlohmann::json closed;
  VMInfoStatus closing = Call("guest-file-close", {{"handle", handle}}, closed);
  return status.ok() ? closing : status;
}

VMInfoStatus AgentGuestFiles::CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite) {
  return CopyTreeIn(localDir, guestPath, overwrite, 0);
}

VMInfoStatus AgentGuestFiles::CopyTreeIn(const std::string& localDir, const std::string& guestPath, bool overwrite,
                                         int depth) {
  if (depth > kMaxTreeDepth) return FileFailure("Local folder [" + localDir + "] is nested too deeply");
  VMInfoStatus status = CreateFolder(guestPath);
  if (!status.ok()) return status;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(localDir.c_str()), ::closedir);
  if (!folder) return FileFailure("Local folder [" + localDir + "] cannot be read: " + std::strerror(errno));
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  for (const std::string& name : names) {
    const std::string localChild = localDir + "/" + name;
    const std::string guestChild = guestPath + (boost::algorithm::ends_with(guestPath, "/") ? "" : "/") + name;
    struct stat info {};
    if (::lstat(localChild.c_str(), &info) != 0) return FileFailure("Local entry [" + localChild + "] is gone");
    if (S_ISDIR(info.st_mode)) {
      status = CopyTreeIn(localChild, guestChild, overwrite, depth + 1);
    } else if (S_ISREG(info.st_mode)) {
      status = CopyFileIn(localChild, guestChild, overwrite);
    } else {
      status = FileFailure("Local entry [" + localChild + "] is neither a file nor a folder");
    }
    if (!status.ok()) return status;
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus AgentGuestFiles::CopyFileOut(const std::string& guestPath, const std::string& localFile) {
  Way way;
  VMInfoStatus status = ExamineWay(guestPath, way);
  if (!status.ok()) return status;
  if (!way.targetFacts().IsRegularFile()) return PathRefused(guestPath, "is not a file");
  const std::string temporary = localFile + ".zqrestore-" + RandomSuffix() + ".part";
  UniqueFd local(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!local.valid()) return FileFailure("Local file [" + temporary + "] cannot be created: " + std::strerror(errno));
  nlohmann::json handle;
  status = Call("guest-file-open", {{"path", way.target()}, {"mode", "r"}}, handle);
  bool done = false;
  while (status.ok() && !done) {
    nlohmann::json chunk;
    status = Call("guest-file-read", {{"handle", handle}, {"count", m_limits.chunkBytes}}, chunk);
    std::string bytes;
    if (status.ok() && (!chunk.is_object() || !DecodeBase64(chunk.value("buf-b64", ""), bytes))) {
      status = VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent sent file content that is not base64");
    }
    if (status.ok() && ::write(local.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      status = FileFailure("Local file [" + temporary + "] cannot be written: " + std::strerror(errno));
    }
    if (status.ok()) done = chunk.value("eof", false) || bytes.empty();
  }
  if (handle.is_number_integer()) {
    nlohmann::json closed;
    VMInfoStatus closing = Call("guest-file-close", {{"handle", handle}}, closed);
    if (status.ok()) status = closing;
  }
  if (status.ok() && (::fsync(local.get()) != 0 || ::rename(temporary.c_str(), localFile.c_str()) != 0)) {
    status = FileFailure("Local file [" + localFile + "] cannot be put in place: " + std::strerror(errno));
  }
  if (!status.ok()) ::unlink(temporary.c_str());
  return status;
}

VMInfoStatus AgentGuestFiles::ChangeAttributes(const std::string& guestPath, const VMInfoStructs::SGuestFile& attributes) {
  Way way;
  VMInfoStatus status = ExamineWay(guestPath, way);
  if (!status.ok()) return status;
  const GuestEntryFacts& target = way.targetFacts();
  if (!target.exists) return FileFailure("Guest path [" + guestPath + "] does not exist");
  if (target.IsLink()) return PathRefused(guestPath, "is a link; attributes are never applied through a link");
  const std::string what = "Attributes of guest path [" + guestPath + "] cannot be set";
  // The controller's change of times alone leaves owner, group and mode at 0; those are then not
  // applied (a file would otherwise become root's with mode 0000, however briefly).
  const bool timesOnly = attributes.uid == 0 && attributes.gid == 0 && attributes.mode == 0;
  const uint32_t uid = timesOnly ? target.uid : static_cast<uint32_t>(attributes.uid);
  const uint32_t gid = timesOnly ? target.gid : static_cast<uint32_t>(attributes.gid);
  if (uid != target.uid || gid != target.gid) {
    // "+" makes chown read the ids as numbers, whatever names the guest has.
    status = RunChecked({"chown", "-h", "--", "+" + std::to_string(uid) + ":+" + std::to_string(gid), way.target()},
                        what + " (owner)");
    if (!status.ok()) return status;
  }
  const uint32_t mode = timesOnly ? target.rawMode & 07777 : static_cast<uint32_t>(attributes.mode) & 07777;
  if (mode != (target.rawMode & 07777) || uid != target.uid || gid != target.gid) {
    // Five digits, so that chmod also clears set-id bits of a folder; after chown, because chown
    // clears set-id bits of a file.
    char text[8];
    std::snprintf(text, sizeof(text), "%05o", mode);
    status = RunChecked({"chmod", "--", text, way.target()}, what + " (mode)");
    if (!status.ok()) return status;
  }
  if (attributes.modifyTime != 0 && attributes.modifyTime != target.modifyTime) {
    status = RunChecked({"touch", "-h", "-m", "-d", "@" + std::to_string(attributes.modifyTime), "--", way.target()},
                        what + " (modification time)");
    if (!status.ok()) return status;
  }
  if (attributes.accessTime != 0 && attributes.accessTime != target.accessTime) {
    status = RunChecked({"touch", "-h", "-a", "-d", "@" + std::to_string(attributes.accessTime), "--", way.target()},
                        what + " (access time)");
  }
  return status;
}

VMInfoStatus AgentGuestFiles::DeleteFolder(const std::string& guestPath) {
  Way way;
  VMInfoStatus status = ExamineWay(guestPath, way);
  if (!status.ok()) return status;
  if (!way.targetFacts().IsFolder()) return PathRefused(guestPath, "is not a folder");
  return RunChecked({"rm", "-r", "--one-file-system", "--", way.target()}, "Guest folder [" + guestPath + "] cannot be removed");
}
