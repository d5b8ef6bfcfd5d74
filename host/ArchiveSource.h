// A source that is an archive libarchive reads: tar in its formats, cpio, zip and 7z, plain or
// compressed (gzip, bzip2, xz, lzma, zstd, lz4, compress). It is streamed, never unpacked: Walk
// reads the headers once and checks the compressed stream whole, and CopyContent reads on from
// where the last entry ended, so that staging holds only the entry in flight. Content is staged
// only when libarchive read it to its end without a fault. See docs/sources.md.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "host/SourceReader.h"
#include "hypervisor/UniqueFd.h"

struct archive;
struct archive_entry;

class ArchiveSource : public SourceReader {
 public:
  ~ArchiveSource() override;

  // Reads the archive open at `fd` (taken over). Null with `error` when its content is not an
  // archive libarchive can read; `notAnArchive` then says whether it simply is another file: one
  // that no compression and no archive format recognises. A compressed file whose content is no
  // readable archive, or a damaged tar, is refused.
  static std::unique_ptr<ArchiveSource> Open(UniqueFd fd, const SourceLimits& limits, bool& notAnArchive,
                                             std::string& error);
  // Reads an archive held in memory (the fuzz target); `data` must outlive the reader.
  static std::unique_ptr<ArchiveSource> FromMemory(const void* data, size_t size, const SourceLimits& limits,
                                                   std::string& error);

  std::string Kind() const override { return m_kind; }
  bool Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) override;
  bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) override;
  bool BoundToStagingRoom(uint64_t room, std::string& error) override;

  // Why an archive member's name cannot be staged (absolute, a ".." part), or empty; `normal` is
  // the name without "./", "." and empty parts.
  static std::string MemberNameProblem(const std::string& name, std::string& normal);

 private:
  ArchiveSource(UniqueFd fd, const void* data, size_t size, const SourceLimits& limits);
  bool Reopen(std::string& error);
  // Reads the compressed stream to its end once more and checks what libarchive does not:
  // gzip's CRC and length, and any fault past the archive's own end. `used` is how many
  // uncompressed bytes the archive took; much more than that after it is refused as well.
  bool CheckWholeStream(uint64_t used, std::string& error);
  // Reads up to `size` raw bytes of the archive at `offset`; 0 at its end, -1 on error.
  ssize_t ReadRaw(void* buffer, size_t size, uint64_t offset) const;
  // Moves to the header of the member at `ordinal` (0 is the first).
  bool SeekMember(uint64_t ordinal, std::string& error);
  void Close();

  UniqueFd m_fd;
  const void* m_data = nullptr;
  size_t m_size = 0;
  SourceLimits m_limits;
  std::string m_kind = "archive";
  archive* m_archive = nullptr;
  int64_t m_position = -1;  // the member whose header was read last; -1: none yet
  archive_entry* m_member = nullptr;  // its header, owned by m_archive
  uint64_t m_expandedBytes = 0;
  uint64_t m_declaredBytes = 0;  // the sizes the members' headers declare, added up
  std::string m_broken;  // why the stream cannot be read on, once a fault stopped it
  // The members that hard links take their content from, and the staged file of the last one
  // copied: its links are copied from it rather than by reading the archive again.
  std::vector<uint64_t> m_linkTargets;  // sorted
  UniqueFd m_kept;
  uint64_t m_keptOrdinal = 0;
  bool CopyKept(int out, std::string& error) const;
};
