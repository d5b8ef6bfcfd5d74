// A source that is an archive libarchive reads: tar in its formats, cpio, zip and 7z, plain or
// compressed (gzip, bzip2, xz, lzma, zstd, lz4, compress). It is streamed, never unpacked: Walk
// reads the headers once, and CopyContent reads on from where the last entry ended, so that
// staging holds only the entry in flight. See docs/sources.md.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/SourceReader.h"
#include "hypervisor/UniqueFd.h"

struct archive;
struct archive_entry;

class ArchiveSource : public SourceReader {
 public:
  ~ArchiveSource() override;

  // Reads the archive open at `fd` (taken over). Null with `error` when its content is not an
  // archive libarchive knows; `notAnArchive` then says whether it simply is another file.
  static std::unique_ptr<ArchiveSource> Open(UniqueFd fd, const SourceLimits& limits, bool& notAnArchive,
                                             std::string& error);
  // Reads an archive held in memory (the fuzz target); `data` must outlive the reader.
  static std::unique_ptr<ArchiveSource> FromMemory(const void* data, size_t size, const SourceLimits& limits,
                                                   std::string& error);

  std::string Kind() const override { return m_kind; }
  bool Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) override;
  bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) override;

  // Why an archive member's name cannot be staged (absolute, a ".." part), or empty; `normal` is
  // the name without "./", "." and empty parts.
  static std::string MemberNameProblem(const std::string& name, std::string& normal);

 private:
  ArchiveSource(UniqueFd fd, const void* data, size_t size, const SourceLimits& limits);
  bool Reopen(std::string& error);
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
};
