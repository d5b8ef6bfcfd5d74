// A source that is a VM's disk image (qcow2, raw, vmdk, vhdx, vdi), read through libguestfs and
// opened read-only: its appliance mounts the image's file systems read-only inside itself, so
// nothing is mounted on the proxy and the image is never written, not by a journal replay either.
// The appliance starts once, when the source is opened, and serves the whole job.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/SourceReader.h"

struct guestfs_h;

class ImageSource : public SourceReader {
 public:
  ~ImageSource() override;

  // Whether `fd`'s first bytes are those of a disk image; `format` receives libguestfs's name for
  // it ("qcow2", "vmdk", "vhdx", "vdi", "raw"). An image that would make the reader open other
  // files of the proxy (a qcow2 with a backing file, a vmdk made of a descriptor and extents) is
  // refused with `error`.
  static bool Probe(int fd, std::string& format, std::string& error);

  // Starts the appliance on `path` and mounts what it finds: the operating system's file systems
  // at their places, else the one file system a data disk holds, or `imageRoot` when given.
  // Null with `error` when none of these works or the appliance does not answer in time. Walk
  // refuses a tree of more than `maxEntries` entries.
  static std::unique_ptr<ImageSource> Open(const std::string& path, const std::string& format,
                                           const std::string& imageRoot, uint64_t maxEntries, std::string& error);

  std::string Kind() const override { return m_kind; }
  bool Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) override;
  bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) override;

 private:
  ImageSource() = default;
  bool MountFound(const std::string& imageRoot, std::string& error);
  std::string LastError() const;

  guestfs_h* m_handle = nullptr;
  int m_pid = -1;  // the appliance's process, which a call's time limit ends
  uint64_t m_maxEntries = 0;
  std::string m_root = "/";  // the folder of the image that Walk listed (--source-path)
  std::string m_kind = "disk image";
};
