#include "host/ArchiveSource.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr size_t kReadBlock = 1 << 20;

// Only formats and filters that read the archive's own bytes: no mtree (its members name files on
// the proxy) and no filter that would start an outside program.
void ConfigureReader(archive* reader) {
  archive_read_support_filter_gzip(reader);
  archive_read_support_filter_bzip2(reader);
  archive_read_support_filter_xz(reader);
  archive_read_support_filter_lzma(reader);
  archive_read_support_filter_zstd(reader);
  archive_read_support_filter_lz4(reader);
  archive_read_support_filter_compress(reader);
  archive_read_support_format_tar(reader);
  archive_read_support_format_cpio(reader);
  archive_read_support_format_zip(reader);
  archive_read_support_format_7zip(reader);
  archive_read_support_format_empty(reader);
}

std::string ReaderError(archive* reader) {
  const char* text = archive_error_string(reader);
  return text != nullptr ? text : "unknown error";
}

std::string SkippedKindProblem(mode_t mode) {
  if (S_ISLNK(mode)) return "symbolic links are not restored";
  if (S_ISFIFO(mode)) return "named pipes are not restored";
  if (S_ISSOCK(mode)) return "sockets are not restored";
  return "device files are not restored";
}

// The member's records as a file's attributes; times a format does not keep take the
// modification time.
struct stat RecordsOf(archive_entry* member) {
  struct stat info = *archive_entry_stat(member);
  if (!archive_entry_atime_is_set(member)) info.st_atim = info.st_mtim;
  if (!archive_entry_ctime_is_set(member)) info.st_ctim = info.st_mtim;
  return info;
}

// One name of the archive while it is listed: the entry and the names right below it, in the
// order the archive first names them.
struct Node {
  SourceEntry entry;
  std::vector<size_t> children;
};

class TreeBuilder {
 public:
  TreeBuilder() : m_nodes(1) {}

  // A member whose name cannot be placed: listed at the top with its reason, under its own name.
  void AddRefused(SourceEntry entry) { Attach(0, std::move(entry)); }

  void Add(SourceEntry entry) {
    const size_t parent = EnsureParents(entry.relativePath, entry.info);
    const auto found = m_byName.find(entry.relativePath);
    if (found == m_byName.end()) {
      const std::string name = entry.relativePath;
      m_byName[name] = Attach(parent, std::move(entry));
      return;
    }
    // The same name again: the later member wins, at the place of the first. A name listed both
    // as a folder and as anything else is refused, and everything below it with it.
    SourceEntry& earlier = m_nodes[found->second].entry;
    const bool wasFolder = earlier.kind == EntryKind::Folder;
    if (wasFolder != (entry.kind == EntryKind::Folder)) {
      earlier.problem = "the archive lists this name both as a folder and as another kind of entry";
    } else if (!wasFolder) {
      earlier = std::move(entry);
    } else {
      earlier.info = entry.info;
      earlier.ordinal = entry.ordinal;
      if (earlier.problem.empty()) earlier.problem = entry.problem;
    }
  }

  SourceEntry* Find(const std::string& name) {
    const auto found = m_byName.find(name);
    return found == m_byName.end() ? nullptr : &m_nodes[found->second].entry;
  }

  // The names in pre-order without recursion (a crafted name can be deeply nested); a problem of
  // a folder, or a name above that is not a folder, passes to everything below it.
  void Emit(SourceTree& tree) const {
    tree = SourceTree();
    std::vector<std::pair<size_t, std::string>> pending;
    for (auto child = m_nodes[0].children.rbegin(); child != m_nodes[0].children.rend(); ++child) {
      pending.emplace_back(*child, "");
    }
    while (!pending.empty()) {
      auto [index, inherited] = std::move(pending.back());
      pending.pop_back();
      const Node& node = m_nodes[index];
      SourceEntry entry = node.entry;
      if (!inherited.empty()) entry.problem = inherited;
      std::string below;
      if (!entry.problem.empty()) {
        below = inherited.empty() ? "its folder cannot be restored" : inherited;
      } else if (entry.kind != EntryKind::Folder) {
        below = "a name above it is not a folder in the archive";
      }
      CountEntry(entry, tree);
      tree.entries.push_back(std::move(entry));
      for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
        pending.emplace_back(*child, below);
      }
    }
  }

 private:
  size_t Attach(size_t parent, SourceEntry entry) {
    m_nodes.push_back({std::move(entry), {}});
    m_nodes[parent].children.push_back(m_nodes.size() - 1);
    return m_nodes.size() - 1;
  }

  // The node of the folder above `name`, making the folders the archive does not list itself:
  // owner and group 0, mode 0755, the time of the member that needs them.
  size_t EnsureParents(const std::string& name, const struct stat& member) {
    size_t parent = 0;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      const std::string folder = name.substr(0, slash);
      const auto found = m_byName.find(folder);
      if (found != m_byName.end()) {
        parent = found->second;
        continue;
      }
      SourceEntry implied;
      implied.relativePath = folder;
      implied.kind = EntryKind::Folder;
      implied.info.st_mode = S_IFDIR | 0755;
      implied.info.st_atim = implied.info.st_mtim = implied.info.st_ctim = member.st_mtim;
      const size_t slashInFolder = folder.rfind('/');
      implied.problem = NameProblem(slashInFolder == std::string::npos ? folder : folder.substr(slashInFolder + 1));
      parent = Attach(parent, std::move(implied));
      m_byName[folder] = parent;
    }
    return parent;
  }

  static void CountEntry(const SourceEntry& entry, SourceTree& tree) {
    if (!entry.problem.empty()) return;
    if (entry.kind == EntryKind::Folder) ++tree.restorableFolders;
    if (entry.kind == EntryKind::File) {
      ++tree.restorableFiles;
      tree.restorableBytes += static_cast<uint64_t>(entry.info.st_size);
    }
  }

  std::vector<Node> m_nodes;  // [0] is the archive's top
  std::map<std::string, size_t> m_byName;
};

}  // namespace

ArchiveSource::ArchiveSource(UniqueFd fd, const void* data, size_t size, const SourceLimits& limits)
    : m_fd(std::move(fd)), m_data(data), m_size(size), m_limits(limits) {}

ArchiveSource::~ArchiveSource() { Close(); }

void ArchiveSource::Close() {
  if (m_archive != nullptr) archive_read_free(m_archive);
  m_archive = nullptr;
  m_position = -1;
}

bool ArchiveSource::Reopen(std::string& error) {
  Close();
  m_archive = archive_read_new();
  if (m_archive == nullptr) {
    error = "cannot start reading the archive";
    return false;
  }
  ConfigureReader(m_archive);
  int rc = ARCHIVE_FATAL;
  if (m_fd.valid()) {
    if (lseek(m_fd.get(), 0, SEEK_SET) != 0) {
      error = std::string("cannot read the archive: ") + strerror(errno);
      return false;
    }
    rc = archive_read_open_fd(m_archive, m_fd.get(), kReadBlock);
  } else {
    rc = archive_read_open_memory(m_archive, m_data, m_size);
  }
  if (rc != ARCHIVE_OK) {
    error = "cannot read the archive: " + ReaderError(m_archive);
    return false;
  }
  return true;
}

std::unique_ptr<ArchiveSource> ArchiveSource::Open(UniqueFd fd, const SourceLimits& limits, bool& notAnArchive,
                                                   std::string& error) {
  notAnArchive = false;
  std::unique_ptr<ArchiveSource> source(new ArchiveSource(std::move(fd), nullptr, 0, limits));
  if (!source->Reopen(error)) {
    // Too short or unreadable as an archive: libarchive finds no format it knows.
    notAnArchive = true;
    return nullptr;
  }
  archive_entry* member = nullptr;
  const int rc = archive_read_next_header(source->m_archive, &member);
  const int format = archive_format(source->m_archive);
  if (rc == ARCHIVE_EOF && (format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_EMPTY) {
    notAnArchive = true;  // an empty file
    return nullptr;
  }
  if (rc < ARCHIVE_WARN) {
    // No format bid for it (a plain file, compressed or not), or a format's reader gave up on it.
    notAnArchive = format == 0;
    error = "cannot read the archive: " + ReaderError(source->m_archive);
    return nullptr;
  }
  const char* formatName = archive_format_name(source->m_archive);
  source->m_kind = std::string("archive (") + (formatName != nullptr ? formatName : "unknown format");
  const char* filter = archive_filter_name(source->m_archive, 0);
  if (filter != nullptr && strcmp(filter, "none") != 0) source->m_kind += std::string(", ") + filter;
  source->m_kind += ")";
  source->Close();
  return source;
}

std::unique_ptr<ArchiveSource> ArchiveSource::FromMemory(const void* data, size_t size, const SourceLimits& limits,
                                                         std::string& error) {
  std::unique_ptr<ArchiveSource> source(new ArchiveSource(UniqueFd(), data, size, limits));
  if (!source->Reopen(error)) return nullptr;
  return source;
}

std::string ArchiveSource::MemberNameProblem(const std::string& name, std::string& normal) {
  normal.clear();
  if (!name.empty() && name[0] == '/') return "the archive gives an absolute name, which is refused";
  std::string ignored;
  if (!NormalSourcePath(name, normal, ignored)) return "the name holds a \"..\" part, which is refused";
  return "";
}

bool ArchiveSource::Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) {
  std::string below;
  if (!NormalSourcePath(sourcePath, below, error)) return false;
  if (!Reopen(error)) return false;
  m_expandedBytes = 0;
  TreeBuilder builder;
  uint64_t declaredBytes = 0;
  while (true) {
    archive_entry* member = nullptr;
    const int rc = archive_read_next_header(m_archive, &member);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      error = "cannot read the archive: " + ReaderError(m_archive);
      return false;
    }
    ++m_position;
    if (static_cast<uint64_t>(m_position) >= m_limits.maxEntries) {
      error = "the archive holds more than " + std::to_string(m_limits.maxEntries) +
              " members, past the limit (--max-entries)";
      return false;
    }
    SourceEntry entry;
    entry.ordinal = static_cast<uint64_t>(m_position);
    entry.info = RecordsOf(member);
    const char* rawName = archive_entry_pathname(member);
    const std::string name = rawName != nullptr ? rawName : "";
    if (archive_entry_size_is_set(member)) {
      declaredBytes += static_cast<uint64_t>(std::max<int64_t>(archive_entry_size(member), 0));
      if (declaredBytes > m_limits.maxExpandedBytes) {
        error = "the archive's members add up to more than " + std::to_string(m_limits.maxExpandedBytes) +
                " bytes, past the limit (--max-expanded-size)";
        return false;
      }
    }
    // A hard link's header may carry no type of its own; it names a file.
    const char* linkTarget = archive_entry_hardlink(member);
    if (linkTarget != nullptr && (entry.info.st_mode & S_IFMT) != S_IFDIR) {
      entry.info.st_mode = S_IFREG | (entry.info.st_mode & 07777);
    }
    const mode_t type = entry.info.st_mode & S_IFMT;
    entry.kind = type == S_IFDIR ? EntryKind::Folder : type == S_IFREG ? EntryKind::File : EntryKind::Unsupported;
    std::string normal;
    entry.problem = MemberNameProblem(name, normal);
    if (entry.problem.empty() && normal.empty()) {
      if (entry.kind == EntryKind::Folder) continue;  // the archive's own top, "./"
      entry.problem = "the member has no name";
    }
    if (!entry.problem.empty()) {
      entry.relativePath = name;
      builder.AddRefused(std::move(entry));
      continue;
    }
    entry.relativePath = normal;
    if (entry.kind == EntryKind::Unsupported) entry.problem = SkippedKindProblem(entry.info.st_mode);
    const size_t slash = normal.rfind('/');
    if (entry.problem.empty()) entry.problem = NameProblem(slash == std::string::npos ? normal : normal.substr(slash + 1));
    // A hard link in a tar archive carries no content of its own: it is restored as a separate
    // file with the content of the member it links to.
    if (linkTarget != nullptr && entry.kind == EntryKind::File && archive_entry_size(member) == 0) {
      std::string target;
      const SourceEntry* linked = MemberNameProblem(linkTarget, target).empty() ? builder.Find(target) : nullptr;
      if (linked == nullptr || linked->kind != EntryKind::File || !linked->problem.empty()) {
        entry.problem = "a hard link to a member that is not restored";
      } else {
        entry.ordinal = linked->ordinal;
        entry.info.st_size = linked->info.st_size;
      }
    }
    builder.Add(std::move(entry));
  }
  builder.Emit(tree);
  return KeepSubtree(below, tree, error);
}

bool ArchiveSource::SeekMember(uint64_t ordinal, std::string& error) {
  // Reading on is cheap; going back means reading the archive again from its start.
  if (m_archive == nullptr || m_position >= static_cast<int64_t>(ordinal)) {
    if (!Reopen(error)) return false;
  }
  while (m_position < static_cast<int64_t>(ordinal)) {
    archive_entry* member = nullptr;
    const int rc = archive_read_next_header(m_archive, &member);
    if (rc == ARCHIVE_EOF) {
      error = "the archive ended before the member; it changed since it was listed";
      return false;
    }
    if (rc < ARCHIVE_WARN) {
      error = "cannot read the archive: " + ReaderError(m_archive);
      return false;
    }
    ++m_position;
    m_member = member;
  }
  return true;
}

bool ArchiveSource::CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) {
  if (!SeekMember(entry.ordinal, error)) return false;
  const bool sizeKnown = archive_entry_size_is_set(m_member) != 0;
  const uint64_t declared = static_cast<uint64_t>(entry.info.st_size);
  if (sizeKnown && static_cast<uint64_t>(archive_entry_size(m_member)) != declared) {
    error = "the archive changed since it was listed";
    return false;
  }
  // Content past the declared size (or, with no size declared, past what the limit leaves) is
  // refused: it would be a different file than the one listed, or a bomb.
  const uint64_t room = m_limits.maxExpandedBytes - std::min(m_expandedBytes, m_limits.maxExpandedBytes);
  const uint64_t bound = sizeKnown ? declared : room;
  uint64_t end = 0;
  while (true) {
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    const int rc = archive_read_data_block(m_archive, &block, &length, &offset);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      error = "cannot read the member: " + ReaderError(m_archive);
      return false;
    }
    if (offset < 0 || static_cast<uint64_t>(offset) > bound || length > bound - static_cast<uint64_t>(offset)) {
      error = sizeKnown ? "the member holds more than its declared size of " + std::to_string(declared) + " bytes"
                        : "the member expands past the limit (--max-expanded-size)";
      return false;
    }
    m_expandedBytes += length;
    if (m_expandedBytes > m_limits.maxExpandedBytes) {
      error = "the archive expands to more than " + std::to_string(m_limits.maxExpandedBytes) +
              " bytes, past the limit (--max-expanded-size)";
      return false;
    }
    // A jump in the offsets is a hole the format recorded: it stays a hole in the staged file.
    const char* bytes = static_cast<const char*>(block);
    for (size_t written = 0; written < length;) {
      const ssize_t n = pwrite(out, bytes + written, length - written, offset + static_cast<off_t>(written));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = std::string("cannot write the staged file: ") + strerror(errno);
        return false;
      }
      written += static_cast<size_t>(n);
    }
    end = std::max(end, static_cast<uint64_t>(offset) + length);
  }
  const uint64_t size = sizeKnown ? declared : end;
  if (ftruncate(out, static_cast<off_t>(size)) != 0) {
    error = std::string("cannot write the staged file: ") + strerror(errno);
    return false;
  }
  info = entry.info;
  info.st_size = static_cast<off_t>(size);
  return true;
}
