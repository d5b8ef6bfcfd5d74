#include "GuestFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace winguest {

namespace fs = std::filesystem;

namespace {

char32_t FoldCase(char32_t c) { return (c >= U'A' && c <= U'Z') ? c - U'A' + U'a' : c; }

std::u32string ToCodePoints(const std::string& text) {
  return boost::locale::conv::utf_to_utf<char32_t>(text, boost::locale::conv::skip);
}

bool SameName(const std::string& a, const std::string& b) { return boost::algorithm::iequals(a, b); }

// Win32 drops trailing dots and blanks from every name it is given.
std::string StripTrailingDotsAndBlanks(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return name;
}

bool HasForbiddenCharacter(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 0x20 || c == '"' || c == '<' || c == '>' || c == '|' || c == '?' || c == '*') return true;
  }
  return false;
}

// Matches pattern[p..] against text[t..]; sets are [abc] or [a-z], "`" escapes the next character.
bool MatchFrom(const std::u32string& pattern, size_t p, const std::u32string& text, size_t t) {
  while (p < pattern.size()) {
    const char32_t c = pattern[p];
    if (c == U'*') {
      for (size_t k = t; k <= text.size(); ++k) {
        if (MatchFrom(pattern, p + 1, text, k)) return true;
      }
      return false;
    }
    if (t >= text.size()) return false;
    if (c == U'?') {
      ++p;
      ++t;
      continue;
    }
    if (c == U'[') {
      size_t q = p + 1;
      bool matched = false;
      while (q < pattern.size() && pattern[q] != U']') {
        char32_t low = pattern[q];
        if (low == U'`' && q + 1 < pattern.size()) low = pattern[++q];
        char32_t high = low;
        if (q + 2 < pattern.size() && pattern[q + 1] == U'-' && pattern[q + 2] != U']') {
          high = pattern[q + 2];
          q += 2;
        }
        const char32_t folded = FoldCase(text[t]);
        if (folded >= FoldCase(low) && folded <= FoldCase(high)) matched = true;
        ++q;
      }
      if (!matched) return false;
      p = q + 1;
      ++t;
      continue;
    }
    char32_t literal = c;
    if (c == U'`' && p + 1 < pattern.size()) literal = pattern[++p];
    if (FoldCase(literal) != FoldCase(text[t])) return false;
    ++p;
    ++t;
  }
  return t == text.size();
}

int64_t Seconds(const struct timespec& ts) { return static_cast<int64_t>(ts.tv_sec); }

// The item's own status: a link's own for a reparse point (as Windows reports it), the file's
// otherwise.
bool StatOf(const GuestItem& item, struct stat& st) {
  return (item.isReparsePoint ? lstat(item.host.c_str(), &st) : stat(item.host.c_str(), &st)) == 0;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool SetTime(const fs::path& host, int64_t seconds, bool modification, std::string& error) {
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  struct timespec& target = modification ? times[1] : times[0];
  target.tv_sec = static_cast<time_t>(seconds);
  target.tv_nsec = 0;
  if (utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) {
    error = "Access to the path is denied.";
    return false;
  }
  return true;
}

}  // namespace

std::string WindowsPath::Text() const {
  std::string text(1, drive);
  text += ":\\";
  for (size_t i = 0; i < components.size(); ++i) {
    if (i) text += "\\";
    text += components[i];
  }
  return text;
}

std::string WindowsPath::Name() const { return components.empty() ? Text() : components.back(); }

WindowsPath WindowsPath::Parent() const {
  WindowsPath parent = *this;
  if (!parent.components.empty()) parent.components.pop_back();
  return parent;
}

WindowsPath WindowsPath::Child(const std::string& name) const {
  WindowsPath child = *this;
  child.components.push_back(name);
  return child;
}

bool WildcardPattern::HasWildcards(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '`') {
      ++i;
      continue;
    }
    if (text[i] == '*' || text[i] == '?' || text[i] == '[') return true;
  }
  return false;
}

bool WildcardPattern::IsValid(const std::string& pattern) {
  bool inSet = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '`') {
      ++i;
    } else if (pattern[i] == '[') {
      if (inSet) return false;
      inSet = true;
    } else if (pattern[i] == ']') {
      inSet = false;
    }
  }
  return !inSet;
}

bool WildcardPattern::Matches(const std::string& pattern, const std::string& text) {
  return MatchFrom(ToCodePoints(pattern), 0, ToCodePoints(text), 0);
}

std::string WildcardPattern::Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '`' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

GuestFileSystem::GuestFileSystem(fs::path root, WindowsPath currentLocation, std::string stateFile)
    : m_root(std::move(root)), m_current(std::move(currentLocation)), m_stateFile(std::move(stateFile)) {}

bool GuestFileSystem::SplitPath(const std::string& text, WindowsPath& path, std::vector<std::string>& raw,
                                std::string& error) const {
  std::string s = text;
  std::replace(s.begin(), s.end(), '/', '\\');
  if (boost::algorithm::starts_with(s, "\\\\")) {
    error = "UNC paths are not available on this guest.";
    return false;
  }
  std::string rest = s;
  if (s.size() >= 2 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':') {
    path.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    rest = s.substr(2);
    path.components.clear();
    if (!boost::algorithm::starts_with(rest, "\\") && path.drive == m_current.drive) {
      path.components = m_current.components;
    }
  } else if (boost::algorithm::starts_with(s, "\\")) {
    path.drive = m_current.drive;
    path.components.clear();
  } else {
    path = m_current;
  }
  raw.clear();
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) raw.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

bool GuestFileSystem::Parse(const std::string& text, WindowsPath& path, std::string& error) const {
  std::vector<std::string> raw;
  if (!SplitPath(text, path, raw, error)) return false;
  for (const std::string& component : raw) {
    if (component == ".") continue;
    if (component == "..") {
      if (!path.components.empty()) path.components.pop_back();
      continue;
    }
    if (HasForbiddenCharacter(component)) {
      error = "Illegal characters in path.";
      return false;
    }
    if (component.find(':') != std::string::npos) {
      error = "The given path's format is not supported.";
      return false;
    }
    const std::string name = StripTrailingDotsAndBlanks(component);
    if (!name.empty()) path.components.push_back(name);
  }
  return true;
}

bool GuestFileSystem::DriveExists(char drive) const {
  std::error_code ec;
  return fs::is_directory(m_root / std::string(1, drive), ec);
}

std::vector<char> GuestFileSystem::Drives() const {
  std::vector<char> drives;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (DriveExists(letter)) drives.push_back(letter);
  }
  return drives;
}

fs::path GuestFileSystem::HostPath(const WindowsPath& path) const {
  fs::path host = m_root / std::string(1, path.drive);
  std::error_code ec;
  for (const std::string& component : path.components) {
    if (fs::exists(fs::symlink_status(host / component, ec))) {
      host /= component;
      continue;
    }
    std::string spelled = component;
    if (fs::is_directory(host, ec)) {
      for (const auto& entry : fs::directory_iterator(host, ec)) {
        const std::string name = entry.path().filename().string();
        if (SameName(name, component)) {
          spelled = name;
          break;
        }
      }
    }
    host /= spelled;
  }
  return host;
}

std::optional<GuestItem> GuestFileSystem::Find(const WindowsPath& path) const {
  if (!DriveExists(path.drive)) return std::nullopt;
  const fs::path host = HostPath(path);
  std::error_code ec;
  const fs::file_status status = fs::status(host, ec);
  if (ec || !fs::exists(status)) return std::nullopt;
  WindowsPath spelled = path;
  if (!spelled.components.empty()) spelled.components.back() = host.filename().string();
  const bool link = !path.IsRoot() && fs::is_symlink(fs::symlink_status(host, ec));
  return GuestItem{spelled, host, fs::is_directory(status), link};
}

bool GuestFileSystem::Expand(const std::string& pattern, std::vector<GuestItem>& matches, std::string& error) const {
  matches.clear();
  if (!WildcardPattern::HasWildcards(pattern)) {
    WindowsPath path;
    if (!Parse(pattern, path, error)) return false;
    if (!DriveExists(path.drive)) {
      error = std::string("Cannot find drive. A drive with the name '") + path.drive + "' does not exist.";
      return false;
    }
    if (auto item = Find(path)) matches.push_back(*item);
    return true;
  }
  WindowsPath start;
  std::vector<std::string> raw;
  if (!SplitPath(pattern, start, raw, error)) return false;
  if (!DriveExists(start.drive)) {
    error = std::string("Cannot find drive. A drive with the name '") + start.drive + "' does not exist.";
    return false;
  }
  std::vector<GuestItem> current;
  if (auto item = Find(start)) current.push_back(*item);
  for (const std::string& component : raw) {
    std::vector<GuestItem> next;
    if (component == ".") continue;
    if (component == "..") {
      for (const GuestItem& item : current) {
        if (auto parent = Find(item.path.Parent())) next.push_back(*parent);
      }
    } else if (WildcardPattern::HasWildcards(component)) {
      if (!WildcardPattern::IsValid(component)) {
        error = "The specified wildcard character pattern is not valid: " + component;
        return false;
      }
      for (const GuestItem& item : current) {
        if (!item.isDirectory) continue;
        for (const GuestItem& child : Children(item)) {
          if (WildcardPattern::Matches(component, child.path.Name())) next.push_back(child);
        }
      }
    } else {
      const std::string name = StripTrailingDotsAndBlanks(WildcardPattern::Unescape(component));
      for (const GuestItem& item : current) {
        if (!item.isDirectory) continue;
        if (auto child = Find(item.path.Child(name))) next.push_back(*child);
      }
    }
    current = next;
  }
  matches = current;
  return true;
}

std::vector<GuestItem> GuestFileSystem::Children(const GuestItem& folder) const {
  std::vector<GuestItem> children;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder.host, ec)) {
    std::error_code statusError;
    const bool isDirectory = fs::is_directory(entry.path(), statusError);
    const bool link = fs::is_symlink(entry.symlink_status(statusError));
    children.push_back(
        GuestItem{folder.path.Child(entry.path().filename().string()), entry.path(), isDirectory, link});
  }
  std::sort(children.begin(), children.end(), [](const GuestItem& a, const GuestItem& b) {
    return boost::algorithm::ilexicographical_compare(a.path.Name(), b.path.Name());
  });
  return children;
}

bool GuestFileSystem::CreateDirectory(const WindowsPath& path, std::string& error) {
  if (!DriveExists(path.drive)) {
    error = std::string("Cannot find drive. A drive with the name '") + path.drive + "' does not exist.";
    return false;
  }
  WindowsPath partial;
  partial.drive = path.drive;
  for (const std::string& component : path.components) {
    partial.components.push_back(component);
    const fs::path host = HostPath(partial);
    std::error_code ec;
    if (fs::is_directory(host, ec)) continue;
    if (fs::exists(host, ec)) {
      error = "An item with the specified name " + partial.Text() + " already exists.";
      return false;
    }
    if (!fs::create_directory(host, ec)) {
      error = "Access to the path '" + partial.Text() + "' is denied.";
      return false;
    }
  }
  return true;
}

bool GuestFileSystem::CreateFile(const WindowsPath& path, std::string& error) { return WriteFile(path, "", error); }

bool GuestFileSystem::Remove(const GuestItem& item, bool recurse, std::string& error) {
  std::error_code ec;
  if (item.path.IsRoot()) {
    error = "Cannot remove the root of drive " + item.path.Text() + ".";
    return false;
  }
  if (item.isDirectory && !recurse && !fs::is_empty(item.host, ec)) {
    error = "The item at " + item.path.Text() +
            " has children and the Recurse parameter was not specified. Nothing was removed.";
    return false;
  }
  fs::remove_all(item.host, ec);
  if (ec) {
    error = "Cannot remove item " + item.path.Text() + ": " + ec.message();
    return false;
  }
  auto times = LoadCreationTimes();
  const std::string prefix = item.host.string();
  for (auto it = times.begin(); it != times.end();) {
    it = (it->first == prefix || boost::algorithm::starts_with(it->first, prefix + "/")) ? times.erase(it) : ++it;
  }
  SaveCreationTimes(times);
  return true;
}

bool GuestFileSystem::WriteFile(const WindowsPath& path, const std::string& content, std::string& error) {
  auto parent = Find(path.Parent());
  if (path.IsRoot() || !parent || !parent->isDirectory) {
    error = "Could not find a part of the path '" + path.Text() + "'.";
    return false;
  }
  const fs::path host = HostPath(path);
  std::error_code ec;
  if (fs::is_directory(host, ec)) {
    error = "Access to the path '" + path.Text() + "' is denied.";
    return false;
  }
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) {
    error = "Access to the path '" + path.Text() + "' is denied.";
    return false;
  }
  return true;
}

void GuestFileSystem::SwapAt(const std::string& moment, const std::string& folder, const std::string& link) {
  m_swapMoment = moment;
  m_swapFolder = folder;
  m_swapLink = link;
}

void GuestFileSystem::SwapIfDue(const char* moment) {
  WindowsPath folder, link;
  std::string error;
  if (m_swapMoment != moment || !Parse(m_swapFolder, folder, error) || !Parse(m_swapLink, link, error)) return;
  const fs::path host = HostPath(folder);
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(host, ec)) || !fs::is_directory(host, ec)) return;
  fs::rename(host, host.string() + ".moved", ec);
  if (!ec) fs::create_directory_symlink(HostPath(link), host, ec);
}

bool GuestFileSystem::Move(const GuestItem& item, const WindowsPath& to, bool force, std::string& error) {
  SwapIfDue("rename");
  WindowsPath target = to;
  if (auto existing = Find(to); existing && existing->isDirectory) target = to.Child(item.path.Name());
  auto parent = Find(target.Parent());
  if (target.IsRoot() || !parent || !parent->isDirectory) {
    error = "Could not find a part of the path.";
    return false;
  }
  if (auto existing = Find(target)) {
    if (existing->isDirectory || !force) {
      error = "Cannot create a file when that file already exists.";
      return false;
    }
  }
  if (rename(item.host.c_str(), HostPath(target).c_str()) != 0) {
    error = "Access to the path is denied.";
    return false;
  }
  SwapIfDue("renamed");
  if (m_swapMoment == "replaced") {
    m_swapMoment.clear();
    const fs::path host = HostPath(target);
    const fs::path other = host.string() + ".other";
    std::error_code ec;
    const auto written = fs::last_write_time(host, ec);
    std::ofstream(other, std::ios::binary) << "another file of another length\n";
    if (!ec) fs::last_write_time(other, written, ec);
    fs::rename(other, host, ec);
  }
  return true;
}

bool GuestFileSystem::Copy(const GuestItem& item, const WindowsPath& to, const std::optional<int64_t>& freeBytes,
                           std::string& error) {
  if (item.isDirectory) {
    error = "Container cannot be copied onto existing leaf item.";
    return false;
  }
  WindowsPath target = to;
  if (auto existing = Find(to); existing && existing->isDirectory) target = to.Child(item.path.Name());
  auto parent = Find(target.Parent());
  if (target.IsRoot() || !parent || !parent->isDirectory) {
    error = "Could not find a part of the path '" + target.Text() + "'.";
    return false;
  }
  std::ifstream in(item.host, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in) {
    error = "Access to the path '" + item.path.Text() + "' is denied.";
    return false;
  }
  const std::string bytes = content.str();
  const fs::path host = HostPath(target);
  const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "Access to the path '" + target.Text() + "' is denied.";
    return false;
  }
  const size_t room = freeBytes ? static_cast<size_t>(std::max<int64_t>(*freeBytes, 0)) : bytes.size();
  const size_t fits = std::min(room, bytes.size());
  const bool written = WriteAll(fd, bytes.data(), fits);
  const bool closed = close(fd) == 0;
  if (!written || !closed || fits < bytes.size()) {
    error = fits < bytes.size() ? "There is not enough space on the disk." : "The request could not be performed "
                                                                             "because of an I/O device error.";
    return false;
  }
  return SetTime(host, LastWriteTime(item), true, error);
}

bool GuestFileSystem::ReplaceFile(const WindowsPath& path, const std::string& content,
                                  const std::optional<int64_t>& freeBytes, std::string& error) {
  SwapIfDue("upload");
  auto parent = Find(path.Parent());
  if (path.IsRoot() || !parent || !parent->isDirectory) {
    error = "Could not find a part of the path '" + path.Text() + "'.";
    return false;
  }
  const fs::path host = HostPath(path);
  std::error_code ec;
  if (fs::is_directory(host, ec)) {
    error = "Access to the path '" + path.Text() + "' is denied.";
    return false;
  }
  // The temporary file lies in the folder the path names, reached as Windows reaches it.
  const fs::path temporary = host.parent_path() / ("." + host.filename().string() + ".zqpscp-" +
                                                   std::to_string(static_cast<long>(getpid())) + ".tmp");
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "Access to the path '" + path.Parent().Text() + "' is denied.";
    return false;
  }
  const size_t room = freeBytes ? static_cast<size_t>(std::max<int64_t>(*freeBytes, 0)) : content.size();
  const size_t fits = std::min(room, content.size());
  const bool written = WriteAll(fd, content.data(), fits);
  const bool closed = close(fd) == 0;
  if (!written || !closed || fits < content.size()) {
    unlink(temporary.c_str());
    error = fits < content.size() ? "There is not enough space on the disk." : "The request could not be performed "
                                                                               "because of an I/O device error.";
    return false;
  }
  if (rename(temporary.c_str(), host.c_str()) != 0) {
    unlink(temporary.c_str());
    error = "Access to the path '" + path.Text() + "' is denied.";
    return false;
  }
  return true;
}

int64_t GuestFileSystem::Attributes(const GuestItem& item) const {
  int64_t attributes = item.isDirectory ? kAttributeDirectory : kAttributeArchive;
  if (item.isReparsePoint) attributes |= kAttributeReparsePoint;
  return attributes;
}

std::string GuestFileSystem::LinkType(const GuestItem& item) const {
  if (!item.isReparsePoint) return "";
  return item.isDirectory ? "Junction" : "SymbolicLink";
}

int64_t GuestFileSystem::Length(const GuestItem& item) const {
  if (item.isReparsePoint) return 0;
  std::error_code ec;
  const auto size = fs::file_size(item.host, ec);
  return ec ? 0 : static_cast<int64_t>(size);
}

int64_t GuestFileSystem::LastWriteTime(const GuestItem& item) const {
  struct stat st {};
  return StatOf(item, st) ? Seconds(st.st_mtim) : 0;
}

int64_t GuestFileSystem::LastAccessTime(const GuestItem& item) const {
  struct stat st {};
  return StatOf(item, st) ? Seconds(st.st_atim) : 0;
}

int64_t GuestFileSystem::CreationTime(const GuestItem& item) const {
  const auto times = LoadCreationTimes();
  const auto found = times.find(item.host.string());
  if (found != times.end()) return found->second;
  struct statx stx {};
  const int flags = item.isReparsePoint ? AT_SYMLINK_NOFOLLOW : 0;
  if (statx(AT_FDCWD, item.host.c_str(), flags, STATX_BTIME | STATX_MTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME)) {
    return static_cast<int64_t>(stx.stx_btime.tv_sec);
  }
  return LastWriteTime(item);
}

bool GuestFileSystem::SetLastWriteTime(const GuestItem& item, int64_t utcSeconds, std::string& error) {
  return SetTime(item.host, utcSeconds, true, error);
}

bool GuestFileSystem::SetLastAccessTime(const GuestItem& item, int64_t utcSeconds, std::string& error) {
  return SetTime(item.host, utcSeconds, false, error);
}

bool GuestFileSystem::SetCreationTime(const GuestItem& item, int64_t utcSeconds, std::string&) {
  auto times = LoadCreationTimes();
  std::error_code ec;
  const fs::path target = item.isReparsePoint ? fs::weakly_canonical(item.host, ec) : item.host;
  times[(ec ? item.host : target).string()] = utcSeconds;
  SaveCreationTimes(times);
  return true;
}

std::map<std::string, int64_t> GuestFileSystem::LoadCreationTimes() const {
  std::map<std::string, int64_t> times;
  std::ifstream in(m_stateFile);
  if (!in) return times;
  const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (doc.is_object() && doc.contains("creationTimes") && doc["creationTimes"].is_object()) {
    for (const auto& [path, seconds] : doc["creationTimes"].items()) {
      if (seconds.is_number_integer()) times[path] = seconds.get<int64_t>();
    }
  }
  return times;
}

void GuestFileSystem::SaveCreationTimes(const std::map<std::string, int64_t>& times) const {
  nlohmann::json doc;
  doc["creationTimes"] = nlohmann::json::object();
  for (const auto& [path, seconds] : times) doc["creationTimes"][path] = seconds;
  std::ofstream out(m_stateFile, std::ios::trunc);
  out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace winguest
