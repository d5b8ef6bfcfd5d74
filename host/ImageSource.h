// A source that is a VM's disk image (qcow2, raw, vmdk, vhdx, vdi), read through libguestfs and
// opened read-only: its appliance mounts the image's file systems read-only inside itself, so
// nothing is mounted on the proxy and the image is never written, not by a journal replay either.
// The appliance starts once, when the source is opened, and serves the whole job.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/NbdExport.h"
#include "host/SourceReader.h"

struct guestfs_h;

class ImageSource : public SourceReader {
 public:
  ~ImageSource() override;

  // Whether `fd`'s first bytes are those of a disk image; `format` receives the format they
  // suggest ("qcow2", "vmdk", "vhdx", "vdi", "raw"). This only decides that the file is read as an
  // image: what it really is, and whether it names other files, Open learns from qemu-img.
  static bool Probe(int fd, std::string& format);

  // Reads the image open at `fd`, only through it: refuses it when qemu-img finds that it names
  // any other file (ImageInfo.h), serves it read-only over NBD (NbdExport.h), starts the appliance
  // on that and mounts what it finds: the operating system's file systems at their places, else
  // the one file system a data disk holds, or `imageRoot` when given. Null with `error` when none
  // of these works or the appliance does not answer in time. Walk refuses a tree of more entries
  // or more bytes in its files than `limits` allow.
  static std::unique_ptr<ImageSource> Open(int fd, const SourceLimits& limits, const std::string& imageRoot,
                                           std::string& error);

  std::string Kind() const override { return m_kind; }
  bool Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) override;
  bool BoundToStagingRoom(uint64_t room, std::string& error) override;
  bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) override;

 private:
  ImageSource() = default;
  bool MountFound(const std::string& imageRoot, std::string& error);
  std::string LastError() const;

  guestfs_h* m_handle = nullptr;
  int m_pid = -1;  // the appliance's process, which a call's time limit ends
  SourceLimits m_limits;
  uint64_t m_walkedBytes = 0;  // what the restorable files Walk listed add up to
  std::unique_ptr<NbdExport> m_server;  // ends after the appliance, which reads from it
  std::string m_root = "/";  // the folder of the image that Walk listed (--source-path)
  std::string m_kind = "disk image";
};
