#include "host/SourceReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/ArchiveSource.h"
#include "host/FolderSource.h"
#include "host/ImageSource.h"
#include "platform/ProxyInputFile.h"

std::unique_ptr<SourceReader> OpenSource(const std::string& path, const SourceLimits& limits, std::string& error,
                                         const std::string& imageRoot) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = path + ": " + strerror(errno);
    return nullptr;
  }
  if (S_ISDIR(info.st_mode)) return std::make_unique<FolderSource>(path);
  // A regular file is an archive when libarchive knows its content, else a file restored as it
  // is. A link at the name is not followed here: the single-file case refuses it as it always has.
  std::string notData;
  UniqueFd fd = ProxyInputFile::Open(path, ProxyInputFile::Role::Data, notData);
  if (!fd.valid()) return std::make_unique<FolderSource>(path);
  // A disk image first: a raw one may start with zeros, which the tar reader takes for an empty archive.
  std::string format;
  if (ImageSource::Probe(fd.get(), format)) {
    std::unique_ptr<ImageSource> image = ImageSource::Open(fd.get(), limits, imageRoot, error);
    if (!image) error = path + ": " + error;
    return image;
  }
  bool notAnArchive = false;
  std::unique_ptr<ArchiveSource> archive = ArchiveSource::Open(std::move(fd), limits, notAnArchive, error);
  if (archive) return archive;
  if (notAnArchive) {
    error.clear();
    return std::make_unique<FolderSource>(path);
  }
  error = path + ": " + error;
  return nullptr;
}

bool SourceLimits::FollowStagingRoom(uint64_t room, uint64_t declared, const std::string& what, std::string& error) {
  if (maxExpandedBytes != kFollowStagingSpace) return true;
  maxExpandedBytes = std::max<uint64_t>(room, 1);
  if (declared <= room) return true;
  error = what + " add up to " + std::to_string(declared) + " bytes, more than the " + std::to_string(room) +
          " bytes the staging file system has free (less a reserve); --max-expanded-size sets the limit by hand";
  return false;
}

bool NormalSourcePath(const std::string& sourcePath, std::string& normal, std::string& error) {
  normal.clear();
  size_t start = 0;
  while (start <= sourcePath.size()) {
    size_t end = sourcePath.find('/', start);
    if (end == std::string::npos) end = sourcePath.size();
    const std::string part = sourcePath.substr(start, end - start);
    if (part == "..") {
      error = "--source-path " + sourcePath + ": a \"..\" part is refused";
      return false;
    }
    if (!part.empty() && part != ".") normal += (normal.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return true;
}
