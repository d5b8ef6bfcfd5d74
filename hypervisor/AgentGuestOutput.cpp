#include "hypervisor/AgentGuestOutput.h"

#include <sys/stat.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr size_t kStatFields = 8;

VMInfoStatus Refused(const std::string& path, const std::string& why) {
  return VMInfoStatus::Fail(VMInfoError::GuestPathRefused, "Guest path [" + path + "] " + why);
}
VMInfoStatus Unreadable(const std::string& what) { return VMInfoStatus::Fail(VMInfoError::GuestFileError, what); }

bool ParseInteger(const std::string& text, int base, int64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, base);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  value = parsed;
  return true;
}

// find prints times as seconds with a fraction ("1590006017.0000000000"); birth times it does not
// know as "-1" or "-".
int64_t ParseFindTime(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  return end == text.c_str() || !std::isfinite(seconds) || seconds < 0 ? 0 : static_cast<int64_t>(std::floor(seconds));
}

std::vector<std::string> SplitNulFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(text.substr(start, end - start));
  }
  return fields;
}

}  // namespace

bool GuestEntryFacts::IsFolder() const { return exists && S_ISDIR(rawMode); }
bool GuestEntryFacts::IsLink() const { return exists && S_ISLNK(rawMode); }
bool GuestEntryFacts::IsRegularFile() const { return exists && S_ISREG(rawMode); }

// The names of an absolute Unix path. Empty names (doubled slashes) are skipped; "." and ".." are
// refused, so the path means what it says.
VMInfoStatus SplitUnixGuestPath(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  if (path.empty() || path[0] != '/') return Refused(path, "is not an absolute Unix path");
  if (path.find('\0') != std::string::npos) return Refused(path, "holds a NUL character");
  std::vector<std::string> parts;
  boost::algorithm::split(parts, path, [](char c) { return c == '/'; });
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (part == "." || part == "..") return Refused(path, "holds a \".\" or \"..\" name");
    names.push_back(part);
  }
  return VMInfoStatus::Ok();
}

std::string JoinUnixGuestPath(const std::vector<std::string>& names, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) path += "/" + names[i];
  return path.empty() ? "/" : path;
}

// Whether stat failed only because paths do not exist: every line of its error output is one of
// the two messages for a missing name.
bool OnlyMissingNames(const std::string& err) {
  std::vector<std::string> lines;
  boost::algorithm::split(lines, err, [](char c) { return c == '\n'; });
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    if (!boost::algorithm::ends_with(line, ": No such file or directory") &&
        !boost::algorithm::ends_with(line, ": Not a directory")) {
      return false;
    }
  }
  return true;
}

VMInfoStructs::SGuestFile ToGuestFile(const std::string& name, const GuestEntryFacts& facts) {
  VMInfoStructs::SGuestFile file;
  file.name = name;
  file.type = facts.IsFolder()        ? VMInfoStructs::GuestFileDirectory
              : facts.IsRegularFile() ? VMInfoStructs::GuestFileRegular
              : facts.IsLink()        ? VMInfoStructs::GuestFileSymlink
                                      : VMInfoStructs::GuestFileOther;
  file.size = facts.IsFolder() ? 0 : facts.size;
  file.accessTime = facts.accessTime;
  file.modifyTime = facts.modifyTime;
  file.createTime = facts.birthTime != 0 ? facts.birthTime : facts.modifyTime;
  file.uid = static_cast<int32_t>(facts.uid);
  file.gid = static_cast<int32_t>(facts.gid);
  file.mode = static_cast<int32_t>(facts.rawMode & 07777);
  return file;
}


VMInfoStatus ReadStatOutput(const std::string& out, const std::vector<std::string>& paths,
                            std::vector<GuestEntryFacts>& facts) {
  facts.assign(paths.size(), GuestEntryFacts());
  const std::vector<std::string> fields = SplitNulFields(out);
  if (fields.size() % kStatFields != 0) return Unreadable("The guest's stat answered in an unknown form");
  size_t next = 0;  // stat reports in the order of its arguments, leaving out missing names
  for (size_t record = 0; record < fields.size(); record += kStatFields) {
    const std::string& name = fields[record + 7];
    while (next < paths.size() && paths[next] != name) ++next;
    if (next == paths.size()) return Unreadable("The guest's stat reported a path it was not asked for");
    int64_t values[7];
    if (!ParseInteger(fields[record], 16, values[0])) return Unreadable("The guest's stat answered in an unknown form");
    for (size_t field = 1; field < 7; ++field) {
      if (!ParseInteger(fields[record + field], 10, values[field])) {
        return Unreadable("The guest's stat answered in an unknown form");
      }
    }
    GuestEntryFacts& entry = facts[next++];
    entry.exists = true;
    entry.rawMode = static_cast<uint32_t>(values[0]);
    entry.uid = static_cast<uint32_t>(values[1]);
    entry.gid = static_cast<uint32_t>(values[2]);
    entry.size = values[3];
    entry.accessTime = values[4];
    entry.modifyTime = values[5];
    entry.birthTime = values[6] > 0 ? values[6] : 0;
  }
  return VMInfoStatus::Ok();
}

VMInfoStatus ReadFindOutput(const std::string& out, bool foldersOnly, std::vector<VMInfoStructs::SGuestFile>& entries,
                            std::vector<std::string>* removed) {
  const std::vector<std::string> fields = SplitNulFields(out);
  if (fields.size() % kFindFieldCount != 0) return Unreadable("The guest's find answered in an unknown form");
  for (size_t record = 0; record < fields.size(); record += kFindFieldCount) {
    int64_t mode = 0;
    int64_t uid = 0;
    int64_t gid = 0;
    int64_t size = 0;
    if (fields[record].size() != 1 || !ParseInteger(fields[record + 1], 8, mode) ||
        !ParseInteger(fields[record + 2], 10, uid) || !ParseInteger(fields[record + 3], 10, gid) ||
        !ParseInteger(fields[record + 4], 10, size)) {
      return Unreadable("The guest's find answered in an unknown form");
    }
    const char type = fields[record][0];
    if (type == 'R') {
      if (removed != nullptr) removed->push_back(fields[record + 8]);
      continue;
    }
    if (foldersOnly && type != 'd') continue;
    GuestEntryFacts facts;
    facts.exists = true;
    facts.rawMode = static_cast<uint32_t>(mode) |
                    (type == 'd' ? S_IFDIR : type == 'f' ? S_IFREG : type == 'l' ? S_IFLNK : S_IFIFO);
    facts.uid = static_cast<uint32_t>(uid);
    facts.gid = static_cast<uint32_t>(gid);
    facts.size = size;
    facts.accessTime = ParseFindTime(fields[record + 5]);
    facts.modifyTime = ParseFindTime(fields[record + 6]);
    facts.birthTime = ParseFindTime(fields[record + 7]);
    VMInfoStructs::SGuestFile entry = ToGuestFile(fields[record + 8], facts);
    if (type != 'd' && type != 'f' && type != 'l') entry.type = VMInfoStructs::GuestFileOther;
    entries.push_back(entry);
  }
  return VMInfoStatus::Ok();
}
