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
#include "platform/ReplaceChoices.h"

// The guest program's text (AgentGuestProgram.sh), embedded at build time.
extern const char kAgentGuestProgram[];

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxTreeDepth = 64;
// The guest program's exit status for a refusal (a link, a folder or an entry where it may not act).
constexpr int kProgramRefused = 3;
// The environment of every guest program: C messages and the usual program folders.
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

std::string Octal(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*o", digits, value);
  return text;
}

// A time for the guest program: seconds, or "-" for a time left as it is.
std::string TimeArgument(int64_t seconds) { return seconds == 0 ? "-" : std::to_string(seconds); }

// Reads all of a local descriptor (at most `limit` bytes).
bool ReadAll(int fd, size_t limit, std::string& bytes) {
  bytes.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes.append(buffer, static_cast<size_t>(got));
    if (bytes.size() > limit) return false;
  }
}

}  // namespace

const std::vector<std::string>& AgentGuestFiles::RequiredCommands() {
  static const std::vector<std::string> commands = {"guest-info",       "guest-ping",       "guest-file-open",
                                                     "guest-file-write", "guest-file-read",  "guest-file-close",
                                                     "guest-exec",       "guest-exec-status"};
  return commands;
}

AgentGuestFiles::AgentGuestFiles(AgentTransport& agent, const AgentLimits& limits) : m_agent(agent), m_limits(limits) {}

VMInfoStatus AgentGuestFiles::Call(const std::string& command, const nlohmann::json& arguments, nlohmann::json& result,
                                   int seconds) {
  if (!m_agentGone.empty()) {
    return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent stopped answering earlier (" + m_agentGone +
                                                           "); nothing more is asked of it");
  }
  if (seconds <= 0) seconds = m_limits.answerSeconds;
  AgentFailure failure = AgentFailure::None;
  ++m_counters.commands;
  const Clock::time_point started = Clock::now();
  VMInfoStatus status = m_agent.Execute(command, arguments, seconds, result, failure);
  if (failure != AgentFailure::NoAnswer && failure != AgentFailure::Malformed) {
    m_failuresInRow = 0;
    return status;
  }
  // An agent that let a command pass its whole time limit, or failed twice in a row, is taken as
  // gone: waiting again for every later entry would stretch the job without end.
  ++m_failuresInRow;
  // (A transport's own clock may end its wait a little early: nine tenths of the limit count.)
  const bool pastLimit = Clock::now() - started >= std::chrono::milliseconds(900 * seconds);
  if (m_failuresInRow >= 2 || pastLimit) m_agentGone = status.text();
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

VMInfoStatus AgentGuestFiles::RunProgram(const std::vector<std::string>& argv, GuestProgramResult& result,
                                         const std::string& input, const std::string& kind) {
  result = GuestProgramResult();
  const std::vector<std::string> arguments(argv.begin() + 1, argv.end());
  nlohmann::json request = {
      {"path", argv.front()}, {"arg", arguments}, {"env", kProgramEnvironment}, {"capture-output", true}};
  if (!input.empty()) request["input-data"] = EncodeBase64(input);
  nlohmann::json started;
  ++m_counters.programs;
  VMInfoStatus status = Call("guest-exec", request, started);
  if (!status.ok()) return status;
  if (!started.is_object() || !started.contains("pid") || !started["pid"].is_number_integer()) {
    return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent started " + argv.front() + " without a pid");
  }
  const nlohmann::json pid = {{"pid", started["pid"]}};
  const Clock::time_point startedAt = Clock::now();
  const Clock::time_point deadline = startedAt + std::chrono::seconds(m_limits.commandSeconds);
  // Each poll is a round trip to the guest and wakes its agent, which an emulated guest's program
  // then waits for. So the first poll comes after nine tenths of the time the last program of this
  // kind took; from there the pause starts at a thirty-second of that time (1 ms at least: a fast
  // guest's program takes milliseconds) and doubles up to 100 ms.
  std::chrono::microseconds pause(1000);
  const auto known = m_lastDuration.find(kind);
  if (known != m_lastDuration.end()) {
    std::this_thread::sleep_for(known->second * 9 / 10);
    pause = std::max(pause, known->second / 32);
  }
  for (;;) {
    std::this_thread::sleep_for(pause);
    nlohmann::json state;
    ++m_counters.polls;
    status = Call("guest-exec-status", pid, state);
    if (!status.ok()) return status;
    if (state.is_object() && state.value("exited", false)) {
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - startedAt);
      m_counters.programMilliseconds += static_cast<uint64_t>(took.count() / 1000);
      if (!kind.empty()) m_lastDuration[kind] = std::min(took, std::chrono::microseconds(std::chrono::seconds(5)));
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
    pause = std::min(pause * 2, std::chrono::microseconds(100000));
  }
}

VMInfoStatus AgentGuestFiles::RunOperation(const std::string& operation, const std::vector<std::string>& arguments,
                                           const std::string& guestPath, bool withNames, GuestProgramResult& result,
                                           const std::string& input) {
  std::vector<std::string> argv = {"bash", "-c", kAgentGuestProgram, "zqrestore-agent", operation};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  if (withNames) {
    std::vector<std::string> names;
    VMInfoStatus status = SplitUnixGuestPath(guestPath, names);
    if (!status.ok()) return status;
    argv.insert(argv.end(), names.begin(), names.end());
  }
  // Content on standard input makes a longer program: a kind of its own.
  VMInfoStatus status = RunProgram(argv, result, input, input.empty() ? operation : operation + "+input");
  if (!status.ok()) return status;
  if (result.exitCode == 0) return VMInfoStatus::Ok();
  const std::string why = FirstLine(result.err);
  return result.exitCode == kProgramRefused ? VMInfoStatus::Fail(VMInfoError::GuestPathRefused, why) : FileFailure(why);
}

std::vector<AgentGuestFiles::Notice> AgentGuestFiles::TakeNotices() {
  std::vector<Notice> notices;
  notices.swap(m_notices);
  return notices;
}

VMInfoStatus AgentGuestFiles::MakePrivateFolder(std::string& folder) {
  GuestProgramResult result;
  VMInfoStatus status = RunOperation("stage", m_limits.privateBases, "", false, result);
  if (!status.ok()) return status;
  if (result.out.size() < 2 || result.out.back() != '\n' || result.out[0] != '/' ||
      result.out.find(".zqrestore-") == std::string::npos) {
    return FileFailure("The guest's private folder was reported in an unknown form");
  }
  folder = result.out.substr(0, result.out.size() - 1);
  return VMInfoStatus::Ok();
}

void AgentGuestFiles::RemovePrivateFolder(const std::string& folder) {
  GuestProgramResult ignored;
  if (!RunOperation("unstage", {folder}, "", false, ignored).ok()) {
    m_notices.push_back({true, "Private guest folder [" + folder +
                                   "] (root's alone) is left behind; a later restore removes it once it is a day old"});
  }
}

VMInfoStatus AgentGuestFiles::Browse(const std::string& guestPath, bool foldersOnly,
                                     std::vector<VMInfoStructs::SGuestFile>& entries) {
  const std::string limit = std::to_string(m_limits.listingPageBytes + 1);
  const std::string folders = foldersOnly ? "yes" : "no";
  const std::string stale = std::to_string(m_limits.staleTemporaryMinutes);
  GuestProgramResult result;
  VMInfoStatus status;
  if (IsRootListing(guestPath)) {
    status = RunOperation("list", {kGuestFindFormat, "no", limit, stale, "-", "/"}, "", false, result);
  } else {
    status = RunOperation("list", {kGuestFindFormat, folders, limit, stale, "-"}, guestPath, true, result);
  }
  if (!status.ok()) return status;
  std::string listing = std::move(result.out);
  std::vector<std::string> removed;
  if (listing.size() > m_limits.listingPageBytes) {
    // The cut listing's whole records still name the stale files that its run removed.
    size_t end = 0;
    for (size_t fields = 0, at = 0; (at = listing.find('\0', at)) != std::string::npos; ++at) {
      if (++fields % kFindFieldCount == 0) end = at + 1;
    }
    std::vector<VMInfoStructs::SGuestFile> ignored;
    (void)ReadFindOutput(listing.substr(0, end), foldersOnly, ignored, &removed);
    // Too long for one answer: the whole listing goes to a private file, read back in chunks.
    std::string folder;
    status = MakePrivateFolder(folder);
    if (!status.ok()) return status;
    status = RunOperation("list", {kGuestFindFormat, folders, limit, stale, folder + "/listing"}, guestPath, true, result);
    if (status.ok()) status = ReadPagedListing(folder + "/listing", listing);
    RemovePrivateFolder(folder);
    if (!status.ok()) return status;
  }
  status = ReadFindOutput(listing, foldersOnly, entries, &removed);
  for (const std::string& name : removed) {
    m_notices.push_back(
        {false, "Removed stale temporary file [" + name + "] of an earlier restore from guest folder [" + guestPath + "]"});
  }
  return status;
}

VMInfoStatus AgentGuestFiles::ReadPagedListing(const std::string& guestFile, std::string& listing) {
  listing.clear();
  nlohmann::json handle;
  VMInfoStatus status = Call("guest-file-open", {{"path", guestFile}, {"mode", "r"}}, handle);
  if (!status.ok()) return status;
  if (!handle.is_number_integer()) return VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent gave no file handle");
  const int chunkSeconds =
      m_limits.answerSeconds + static_cast<int>(m_limits.chunkBytes / std::max<size_t>(m_limits.slowestBytesPerSecond, 1));
  for (bool done = false; status.ok() && !done;) {
    nlohmann::json chunk;
    status = Call("guest-file-read", {{"handle", handle}, {"count", m_limits.chunkBytes}}, chunk, chunkSeconds);
    std::string bytes;
    if (status.ok() && (!chunk.is_object() || !DecodeBase64(chunk.value("buf-b64", ""), bytes))) {
      status = VMInfoStatus::Fail(VMInfoError::GuestAgent, "The guest agent sent file content that is not base64");
    }
    if (status.ok()) {
      listing += bytes;
      done = chunk.value("eof", false) || bytes.empty();
      if (listing.size() > m_limits.maxListingBytes) {
        status = FileFailure("The guest folder's listing is larger than " +
                             std::to_string(m_limits.maxListingBytes >> 20) + " MiB");
      }
    }
  }
  nlohmann::json closed;
  VMInfoStatus closing = Call("guest-file-close", {{"handle", handle}}, closed);
  return status.ok() ? closing : status;
}

VMInfoStatus AgentGuestFiles::CreateFolder(const std::string& guestPath) {
  GuestProgramResult result;
  return RunOperation("mkdir", {}, guestPath, true, result);
}

VMInfoStatus AgentGuestFiles::CopyFileIn(const std::string& localFile, const std::string& guestPath, bool overwrite) {
  // O_NOATIME keeps the staged file's access time, which the guest's file gets.
  UniqueFd local(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME));
  if (!local.valid() && errno == EPERM) local.Reset(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!local.valid()) return FileFailure("Local file [" + localFile + "] cannot be read: " + std::strerror(errno));
  struct stat localInfo {};
  if (::fstat(local.get(), &localInfo) != 0 || !S_ISREG(localInfo.st_mode)) {
    return FileFailure("Local file [" + localFile + "] cannot be examined");
  }
  std::vector<std::string> names;
  VMInfoStatus status = SplitUnixGuestPath(guestPath, names);
  if (!status.ok()) return status;
  if (names.empty()) return PathRefused(guestPath, "names the root folder");

  const size_t size = static_cast<size_t>(localInfo.st_size);
  const uint32_t mode = static_cast<uint32_t>(localInfo.st_mode & 0777);
  std::string content;
  std::string source = "-";
  if (size <= m_limits.chunkBytes) {
    // Small content travels on the program's standard input: one program for the whole entry.
    errno = 0;
    if (!ReadAll(local.get(), m_limits.chunkBytes, content)) {
      return FileFailure("Local file [" + localFile + "] cannot be read: " +
                         (errno != 0 ? std::strerror(errno) : "it grew while it was read"));
    }
  } else {
    status = MakePrivateFolder(source);
    if (!status.ok()) return status;
    status = SendContent(local.get(), source + "/content");
    if (!status.ok()) {
      RemovePrivateFolder(source);
      return status;
    }
  }
  GuestProgramResult result;
  // The program removes the private folder itself, whatever the outcome.
  status = RunOperation("put",
                        {overwrite ? "yes" : "no", Octal(mode, 4), TimeArgument(localInfo.st_atime),
                         TimeArgument(localInfo.st_mtime), std::to_string(content.empty() ? size : content.size()), source,
                         std::to_string(m_limits.staleTemporaryMinutes),
                         m_backupSuffix.empty() ? std::string("-") : "+" + m_backupSuffix},
                        guestPath, true, result, content);
  for (size_t start = 0, end; (end = result.out.find('\0', start)) != std::string::npos; start = end + 1) {
    m_notices.push_back({false, "Removed stale temporary file [" + result.out.substr(start, end - start) +
                                    "] of an earlier restore from the folder of guest path [" + guestPath + "]"});
  }
  if (!status.ok()) {
    if (source != "-" && status.code() == static_cast<int>(VMInfoError::GuestAgent)) RemovePrivateFolder(source);
    m_written = Written();
    return status;
  }
  m_written.path = JoinUnixGuestPath(names, names.size());
  m_written.uid = 0;
  m_written.gid = 0;
  m_written.mode = mode;
  m_written.accessTime = localInfo.st_atime;
  m_written.modifyTime = localInfo.st_mtime;
  return VMInfoStatus::Ok();
}

VMInfoStatus AgentGuestFiles::SendContent(int localFd, const std::string& guestFile) {
  nlohmann::json handle;
  // The file is made by the agent inside the private folder, which no guest user can enter.
  VMInfoStatus status = Call("guest-file-open", {{"path", guestFile}, {"mode", "w"}}, handle);
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
    // A chunk's time limit grows with its size, so a slow guest is given its time and a silent
    // agent is noticed after seconds, not minutes.
    const int seconds = m_limits.answerSeconds +
                        static_cast<int>(static_cast<size_t>(got) / std::max<size_t>(m_limits.slowestBytesPerSecond, 1));
    nlohmann::json written;
    status = Call("guest-file-write",
                  {{"handle", handle}, {"buf-b64", EncodeBase64(chunk.substr(0, static_cast<size_t>(got)))}}, written,
                  seconds);
    if (!status.ok()) break;
    if (!written.is_object() || written.value("count", -1) != got) {
      status = FileFailure("Guest file [" + guestFile + "] took fewer bytes than were sent");
      break;
    }
  }
  // The handle is closed also after a failure, so the agent keeps no file open.
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
  // The listing of the one entry walks the way with the usual checks and tells a link from a file.
  std::vector<VMInfoStructs::SGuestFile> entries;
  VMInfoStatus status = Browse(guestPath, false, entries);
  if (!status.ok()) return status;
  if (entries.size() != 1 || entries[0].type != VMInfoStructs::GuestFileRegular) return PathRefused(guestPath, "is not a file");
  const std::string temporary = localFile + ".zqrestore-" + RandomSuffix() + ".part";
  UniqueFd local(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!local.valid()) return FileFailure("Local file [" + temporary + "] cannot be created: " + std::strerror(errno));
  nlohmann::json handle;
  status = Call("guest-file-open", {{"path", guestPath}, {"mode", "r"}}, handle);
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
  std::vector<std::string> names;
  VMInfoStatus status = SplitUnixGuestPath(guestPath, names);
  if (!status.ok()) return status;
  // The controller's change of times alone leaves owner, group and mode at 0; those are then not
  // applied (a file would otherwise become root's with mode 0000, however briefly).
  const bool timesOnly = attributes.uid == 0 && attributes.gid == 0 && attributes.mode == 0;
  const uint32_t uid = static_cast<uint32_t>(attributes.uid);
  const uint32_t gid = static_cast<uint32_t>(attributes.gid);
  const uint32_t mode = static_cast<uint32_t>(attributes.mode) & 07777;
  bool setOwner = !timesOnly;
  bool setMode = !timesOnly;
  int64_t accessTime = attributes.accessTime;
  int64_t modifyTime = attributes.modifyTime;
  // What this object just wrote there is not sent again. After a change of owner the mode is set
  // again, since chown clears set-id bits.
  const bool justWritten = !m_written.path.empty() && m_written.path == JoinUnixGuestPath(names, names.size());
  if (justWritten) {
    setOwner = setOwner && (uid != m_written.uid || gid != m_written.gid);
    setMode = setMode && (setOwner || mode != m_written.mode);
    if (accessTime == m_written.accessTime) accessTime = 0;
    if (modifyTime == m_written.modifyTime) modifyTime = 0;
    if (!setOwner && !setMode && accessTime == 0 && modifyTime == 0) return VMInfoStatus::Ok();
  }
  GuestProgramResult result;
  status = RunOperation("attr",
                        {setOwner ? std::to_string(uid) : "-", setOwner ? std::to_string(gid) : "-",
                         setMode ? Octal(mode, 5) : "-", TimeArgument(accessTime), TimeArgument(modifyTime)},
                        guestPath, true, result);
  if (justWritten && status.ok()) {
    if (setOwner) m_written.uid = uid, m_written.gid = gid;
    if (setMode) m_written.mode = mode;
    if (accessTime != 0) m_written.accessTime = accessTime;
    if (modifyTime != 0) m_written.modifyTime = modifyTime;
  }
  return status;
}

VMInfoStatus AgentGuestFiles::DeleteFolder(const std::string& guestPath) {
  GuestProgramResult result;
  return RunOperation("rmdir", {}, guestPath, true, result);
}

VMInfoStatus AgentGuestFiles::Sha256(const std::string& guestPath, std::string& digest) {
  digest.clear();
  GuestProgramResult result;
  VMInfoStatus status = RunOperation("sha256", {}, guestPath, true, result);
  if (!status.ok()) return status;
  // The program's answer is outside input: one line, a digest or "-", and nothing else.
  std::string line = result.out;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (line == "-") return VMInfoStatus::Ok();
  digest = ReplaceChoices::Sha256FromAnswer(line);
  if (digest.empty()) return FileFailure("Guest file [" + guestPath + "] gave no SHA-256 digest");
  return VMInfoStatus::Ok();
}
