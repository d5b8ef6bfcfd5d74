#include "host/ArchiveSource.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "host/ArchiveTree.h"

namespace {

constexpr size_t kReadBlock = 1 << 20;

// Only formats and filters that read the archive's own bytes: no mtree (its members name files on
// the proxy) and no filter that would start an outside program.
void ConfigureFilters(archive* reader) {
  archive_read_support_filter_gzip(reader);
  archive_read_support_filter_bzip2(reader);
  archive_read_support_filter_xz(reader);
  archive_read_support_filter_lzma(reader);
  archive_read_support_filter_zstd(reader);
  archive_read_support_filter_lz4(reader);
  archive_read_support_filter_compress(reader);
}

void ConfigureReader(archive* reader) {
  ConfigureFilters(reader);
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

// The compressions between the file and the archive, outermost first ("gzip", "xz, gzip"); empty
// for a file that is not compressed. The last filter libarchive lists is its own reading of the file.
std::string Compressions(archive* reader) {
  std::string names;
  for (int index = archive_filter_count(reader) - 2; index >= 0; --index) {
    if (archive_filter_code(reader, index) == ARCHIVE_FILTER_NONE) continue;
    const char* name = archive_filter_name(reader, index);
    names += (names.empty() ? "" : ", ") + std::string(name != nullptr ? name : "unknown");
  }
  return names;
}

// Decompresses every gzip member in `stream` and checks each one's CRC-32 and length, which
// libarchive's gzip reader leaves unchecked. `readAt` gives the raw bytes; at most `bound`
// uncompressed bytes are read. Bytes after the last member that do not start another one are
// left alone, as libarchive leaves them.
template <typename ReadAt>
bool CheckGzipMembers(ReadAt readAt, uint64_t bound, std::string& error) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
    error = "cannot start checking the gzip data";
    return false;
  }
  std::vector<unsigned char> in(kReadBlock);
  std::vector<unsigned char> out(kReadBlock);
  uint64_t offset = 0;
  bool inMember = true;
  bool ok = true;
  while (ok) {
    if (stream.avail_in == 0) {
      const ssize_t got = readAt(in.data(), in.size(), offset);
      if (got < 0) {
        error = std::string("cannot read the archive: ") + strerror(errno);
        ok = false;
        break;
      }
      if (got == 0) break;
      offset += static_cast<uint64_t>(got);
      stream.next_in = in.data();
      stream.avail_in = static_cast<uInt>(got);
    }
    if (!inMember) {
      if (stream.next_in[0] != 0x1f) break;
      inflateReset(&stream);
      inMember = true;
    }
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&stream, Z_NO_FLUSH);
    if (stream.total_out > bound) {
      error = "cannot read the archive: the gzip data goes on far past the archive's end";
      ok = false;
    } else if (rc == Z_STREAM_END) {
      inMember = false;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      error = std::string("cannot read the archive: the gzip data is damaged: ") + (stream.msg != nullptr ? stream.msg : "inflate failed");
      ok = false;
    }
  }
  if (ok && inMember) {
    error = "cannot read the archive: the gzip data is cut short, the file ends before its last member does";
    ok = false;
  }
  inflateEnd(&stream);
  return ok;
}

// True when the file has a tar header's magic where tar puts it ("ustar" at offset 257): a file
// no format bids for that has it is a tar archive whose header is damaged, not some other file.
bool HasTarMagic(int fd) {
  char magic[5] = {};
  return pread(fd, magic, sizeof magic, 257) == static_cast<ssize_t>(sizeof magic) &&
         memcmp(magic, "ustar", sizeof magic) == 0;
}

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

ssize_t ArchiveSource::ReadRaw(void* buffer, size_t size, uint64_t offset) const {
  if (m_fd.valid()) {
    ssize_t got = 0;
    do {
      got = pread(m_fd.get(), buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
  }
  if (offset >= m_size) return 0;
  const size_t count = std::min(size, m_size - static_cast<size_t>(offset));
  memcpy(buffer, static_cast<const char*>(m_data) + offset, count);
  return static_cast<ssize_t>(count);
}

std::unique_ptr<ArchiveSource> ArchiveSource::Open(UniqueFd fd, const SourceLimits& limits, bool& notAnArchive,
                                                   std::string& error) {
  notAnArchive = false;
  std::unique_ptr<ArchiveSource> source(new ArchiveSource(std::move(fd), nullptr, 0, limits));
  // libarchive settles the compressions and the format as it opens the file.
  archive_entry* member = nullptr;
  int rc = ARCHIVE_FATAL;
  if (source->Reopen(error)) {
    rc = archive_read_next_header(source->m_archive, &member);
  } else if (source->m_archive == nullptr) {
    return nullptr;
  }
  const int format = archive_format(source->m_archive);
  const std::string compressions = Compressions(source->m_archive);
  if (rc == ARCHIVE_EOF && (format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_EMPTY) {
    // An empty file is a file. Compressed nothing is no archive and no file anyone backed up.
    notAnArchive = compressions.empty();
    if (!notAnArchive) error = "the file is " + compressions + " data with nothing in it";
    return nullptr;
  }
  if (rc < ARCHIVE_WARN || rc == ARCHIVE_RETRY) {
    // Only a file that no compression and no format recognises is restored as it is. What a
    // compression recognises was meant to be read through it: a truncated or damaged stream, or
    // one whose content no format reads, is refused, never restored as the compressed blob.
    // libarchive drops its filters when one fails as it starts (a truncated or damaged stream):
    // then only its own reading of the file is missing too, and the file is not a plain one.
    const bool plain = archive_filter_count(source->m_archive) == 1;
    if (format == 0 && plain && !HasTarMagic(source->m_fd.get())) {
      notAnArchive = true;
      return nullptr;
    }
    if (format == 0 && plain) {
      error = "the file is a tar archive whose first header is damaged: " + ReaderError(source->m_archive);
    } else if (format == 0 && !compressions.empty()) {
      error = "the file is " + compressions + " data, but holds no archive zqrestore can read: " +
              ReaderError(source->m_archive);
    } else {
      error = "cannot read the archive: " + ReaderError(source->m_archive);
    }
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
  const size_t depth = static_cast<size_t>(std::count(normal.begin(), normal.end(), '/')) + 1;
  if (depth > ArchiveTree::kMaxDepth) {
    return "the name is " + std::to_string(depth) + " folders deep, past the limit of " +
           std::to_string(ArchiveTree::kMaxDepth) + ", which is refused";
  }
  if (normal.size() > ArchiveTree::kMaxNameBytes) {
    return "the name is " + std::to_string(normal.size()) + " bytes long, past the limit of " +
           std::to_string(ArchiveTree::kMaxNameBytes) + " (a path's most), which is refused";
  }
  return "";
}

bool ArchiveSource::CheckWholeStream(uint64_t used, std::string& error) {
  const int filters = archive_filter_count(m_archive);
  if (filters <= 1) return true;
  // Far more data after the archive's end than tar's padding would be a bomb; it is not read.
  const uint64_t bound = used + (uint64_t{16} << 20);
  for (int index = 0; index < filters - 2; ++index) {
    if (archive_filter_code(m_archive, index) == ARCHIVE_FILTER_GZIP) {
      error = "cannot read the archive: it holds gzip data inside another compression, whose checksums cannot be checked";
      return false;
    }
  }
  if (archive_filter_code(m_archive, filters - 2) == ARCHIVE_FILTER_GZIP) {
    const auto readAt = [this](void* buffer, size_t size, uint64_t offset) { return ReadRaw(buffer, size, offset); };
    if (!CheckGzipMembers(readAt, bound, error)) return false;
    if (filters == 2) return true;
  }
  // The other compressions check their own data (xz, bzip2, zstd and lz4 keep checksums), but
  // only as far as they are read: the stream is read on here to its very end.
  std::unique_ptr<archive, int (*)(archive*)> whole(archive_read_new(), archive_read_free);
  if (!whole) {
    error = "cannot start reading the archive";
    return false;
  }
  ConfigureFilters(whole.get());
  archive_read_support_format_raw(whole.get());
  int rc = ARCHIVE_FATAL;
  if (m_fd.valid()) {
    if (lseek(m_fd.get(), 0, SEEK_SET) != 0) {
      error = std::string("cannot read the archive: ") + strerror(errno);
      return false;
    }
    rc = archive_read_open_fd(whole.get(), m_fd.get(), kReadBlock);
  } else {
    rc = archive_read_open_memory(whole.get(), m_data, m_size);
  }
  archive_entry* member = nullptr;
  if (rc == ARCHIVE_OK) rc = archive_read_next_header(whole.get(), &member);
  uint64_t total = 0;
  while (rc == ARCHIVE_OK) {
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    rc = archive_read_data_block(whole.get(), &block, &length, &offset);
    total += length;
    if (total > bound) {
      error = "cannot read the archive: the compressed data goes on far past the archive's end";
      return false;
    }
  }
  if (rc != ARCHIVE_EOF) {
    error = "cannot read the archive: the compressed data is damaged: " + ReaderError(whole.get());
    return false;
  }
  return true;
}

bool ArchiveSource::Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) {
  std::string below;
  if (!NormalSourcePath(sourcePath, below, error)) return false;
  if (!Reopen(error)) return false;
  m_expandedBytes = 0;
  m_declaredBytes = 0;
  m_broken.clear();
  m_linkTargets.clear();
  m_kept.Reset();
  ArchiveTree names;
  while (true) {
    archive_entry* member = nullptr;
    const int rc = archive_read_next_header(m_archive, &member);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN || rc == ARCHIVE_RETRY) {
      error = "cannot read the archive: " + ReaderError(m_archive);
      return false;
    }
    ++m_position;
    SourceEntry entry;
    entry.ordinal = static_cast<uint64_t>(m_position);
    entry.info = RecordsOf(member);
    const char* rawName = archive_entry_pathname(member);
    const std::string name = rawName != nullptr ? rawName : "";
    if (archive_entry_size_is_set(member)) {
      m_declaredBytes += static_cast<uint64_t>(std::max<int64_t>(archive_entry_size(member), 0));
      if (m_declaredBytes > m_limits.ExpansionBound()) {
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
      if (entry.kind == EntryKind::Folder && rc == ARCHIVE_OK) continue;  // the archive's own top, "./"
      entry.problem = "the member has no name";
    }
    if (!entry.problem.empty()) {
      entry.relativePath = name;
      names.AddRefused(std::move(entry));
    } else {
      if (entry.kind == EntryKind::Unsupported) entry.problem = SkippedKindProblem(entry.info.st_mode);
      // A fault libarchive found in the header: whatever the member holds is not vouched for.
      if (rc == ARCHIVE_WARN) entry.problem = "the archive reports a fault in this member: " + ReaderError(m_archive);
      const size_t slash = normal.rfind('/');
      if (entry.problem.empty()) entry.problem = NameProblem(slash == std::string::npos ? normal : normal.substr(slash + 1));
      entry.relativePath = std::move(normal);
      // A hard link in a tar archive carries no content of its own: it is restored as a separate
      // file with the content of the member it links to.
      if (linkTarget != nullptr && entry.kind == EntryKind::File && archive_entry_size(member) == 0) {
        std::string target;
        const SourceEntry* linked = MemberNameProblem(linkTarget, target).empty() ? names.Find(target) : nullptr;
        if (linked == nullptr || linked->kind != EntryKind::File || !linked->problem.empty()) {
          if (entry.problem.empty()) entry.problem = "a hard link to a member that is not restored";
        } else {
          entry.ordinal = linked->ordinal;
          entry.info.st_size = linked->info.st_size;
          m_linkTargets.push_back(entry.ordinal);
        }
      }
      names.Add(std::move(entry));
    }
    if (names.size() > m_limits.maxEntries) {
      error = "the archive holds more than " + std::to_string(m_limits.maxEntries) +
              " members and folders they imply, past the limit (--max-entries)";
      return false;
    }
  }
  if (!CheckWholeStream(static_cast<uint64_t>(std::max<la_int64_t>(archive_filter_bytes(m_archive, 0), 0)), error)) {
    return false;
  }
  std::sort(m_linkTargets.begin(), m_linkTargets.end());
  names.Emit(tree);
  return KeepSubtree(below, tree, error);
}

bool ArchiveSource::BoundToStagingRoom(uint64_t room, std::string& error) {
  return m_limits.FollowStagingRoom(room, m_declaredBytes, "the archive's members", error);
}

bool ArchiveSource::SeekMember(uint64_t ordinal, std::string& error) {
  if (!m_broken.empty()) {
    error = "the archive cannot be read past an earlier fault: " + m_broken;
    return false;
  }
  // Reading on is cheap; going back (a hard link's content) means reading the archive again from
  // its start. Walk lists the members in the order their data lie, so that is the exception.
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
    if (rc < ARCHIVE_WARN || rc == ARCHIVE_RETRY) {
      m_broken = ReaderError(m_archive);
      error = "cannot read the archive: " + m_broken;
      return false;
    }
    ++m_position;
    m_member = member;
    if (rc == ARCHIVE_WARN && m_position == static_cast<int64_t>(ordinal)) {
      error = "the archive reports a fault in this member: " + ReaderError(m_archive);
      return false;
    }
  }
  return true;
}

bool ArchiveSource::CopyKept(int out, std::string& error) const {
  // Data and holes as the target's staged file holds them.
  struct stat kept {};
  if (fstat(m_kept.get(), &kept) != 0) return false;
  std::vector<char> buffer(kReadBlock);
  off_t at = 0;
  while (at < kept.st_size) {
    const off_t data = lseek(m_kept.get(), at, SEEK_DATA);
    if (data < 0) break;  // only a hole is left
    const off_t hole = lseek(m_kept.get(), data, SEEK_HOLE);
    for (at = data; at < hole;) {
      const ssize_t got = pread(m_kept.get(), buffer.data(), std::min<off_t>(hole - at, kReadBlock), at);
      if (got <= 0 || pwrite(out, buffer.data(), static_cast<size_t>(got), at) != got) {
        error = std::string("cannot copy the linked member's staged content: ") + strerror(errno);
        return false;
      }
      at += got;
    }
  }
  if (ftruncate(out, kept.st_size) != 0) {
    error = std::string("cannot write the staged file: ") + strerror(errno);
    return false;
  }
  return true;
}

bool ArchiveSource::CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) {
  // A hard link right after its target (Walk lists it there): from the target's staged file, unless
  // that is the very file to write.
  struct stat keptInfo {};
  struct stat outInfo {};
  if (m_kept.valid() && m_keptOrdinal == entry.ordinal && fstat(m_kept.get(), &keptInfo) == 0 &&
      fstat(out, &outInfo) == 0 && (keptInfo.st_dev != outInfo.st_dev || keptInfo.st_ino != outInfo.st_ino) &&
      static_cast<uint64_t>(keptInfo.st_size) == static_cast<uint64_t>(entry.info.st_size)) {
    if (!CopyKept(out, error)) return false;
    info = entry.info;
    return true;
  }
  m_kept.Reset();
  if (!SeekMember(entry.ordinal, error)) return false;
  // The member is read to its end now: asking for it again means reading the archive again.
  const bool sizeKnown = archive_entry_size_is_set(m_member) != 0;
  const uint64_t declared = static_cast<uint64_t>(entry.info.st_size);
  if (sizeKnown && static_cast<uint64_t>(archive_entry_size(m_member)) != declared) {
    error = "the archive changed since it was listed";
    return false;
  }
  // Content past the declared size (or, with no size declared, past what the limit leaves) is
  // refused: it would be a different file than the one listed, or a bomb.
  const uint64_t limit = m_limits.ExpansionBound();
  const uint64_t room = limit - std::min(m_expandedBytes, limit);
  const uint64_t bound = sizeKnown ? declared : room;
  uint64_t end = 0;
  uint64_t data = 0;
  while (true) {
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    const int rc = archive_read_data_block(m_archive, &block, &length, &offset);
    if (rc == ARCHIVE_EOF) break;
    if (rc == ARCHIVE_WARN) {
      // A checksum that does not match (zip's CRC), data cut short: the content is not restored.
      error = "the archive reports a fault in this member's data: " + ReaderError(m_archive);
      return false;
    }
    if (rc != ARCHIVE_OK) {
      // The stream cannot be read on: this member and every one after it fail with the cause.
      m_broken = ReaderError(m_archive);
      error = "cannot read the member: " + m_broken;
      return false;
    }
    if (offset < 0 || static_cast<uint64_t>(offset) > bound || length > bound - static_cast<uint64_t>(offset)) {
      error = sizeKnown ? "the member holds more than its declared size of " + std::to_string(declared) + " bytes"
                        : "the member expands past the limit (--max-expanded-size)";
      return false;
    }
    m_expandedBytes += length;
    if (m_expandedBytes > limit) {
      error = "the archive expands to more than " + std::to_string(limit) +
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
    data += length;
    end = std::max(end, static_cast<uint64_t>(offset) + length);
  }
  // libarchive vouches for the content only when it reached the member's end after all of its
  // bytes: a member without recorded holes must have delivered every byte it declared.
  if (sizeKnown && archive_entry_sparse_count(m_member) == 0 && data != declared) {
    error = "the member's data ends after " + std::to_string(data) + " of its " + std::to_string(declared) + " bytes";
    return false;
  }
  const uint64_t size = sizeKnown ? declared : end;
  if (ftruncate(out, static_cast<off_t>(size)) != 0) {
    error = std::string("cannot write the staged file: ") + strerror(errno);
    return false;
  }
  info = entry.info;
  info.st_size = static_cast<off_t>(size);
  if (std::binary_search(m_linkTargets.begin(), m_linkTargets.end(), entry.ordinal)) {
    m_kept.Reset(fcntl(out, F_DUPFD_CLOEXEC, 0));
    m_keptOrdinal = entry.ordinal;
  }
  return true;
}
