#include "host/ImageSource.h"

#include <fcntl.h>
#include <guestfs.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "host/ImageInfo.h"
#include "hypervisor/UniqueFd.h"

namespace {

constexpr std::chrono::seconds kCallLimit{120};
constexpr size_t kMaxPartitions = 128;

// Ends the appliance (process `pid`) when it makes no progress for `limit`, so that a broken file
// system or a crafted partition table ends the job with an error instead of hanging it; the call
// then fails. Without `progress` the limit counts from the start; with it, from the last time the
// count it returns moved, so a large file or a large tree that keeps coming is not cut off. The
// handle itself is not touched from here: libguestfs serialises calls on a handle, so a second
// call would wait for the one that hangs.
class ApplianceWatchdog {
 public:
  ApplianceWatchdog(int pid, std::chrono::seconds limit, std::function<uint64_t()> progress = {}) {
    m_thread = std::thread([this, pid, limit, progress = std::move(progress)] {
      using Clock = std::chrono::steady_clock;
      std::unique_lock<std::mutex> lock(m_mutex);
      uint64_t seen = progress ? progress() : 0;
      Clock::time_point moved = Clock::now();
      for (;;) {
        const Clock::time_point deadline = moved + limit;
        const Clock::time_point wake = progress ? std::min(deadline, Clock::now() + std::chrono::seconds(1)) : deadline;
        if (m_done.wait_until(lock, wake, [this] { return m_finished; })) return;
        if (progress) {
          const uint64_t now = progress();
          if (now != seen) {
            seen = now;
            moved = Clock::now();
            continue;
          }
        }
        if (Clock::now() >= deadline) break;
      }
      m_fired = true;
      if (pid > 0) kill(pid, SIGKILL);
    });
  }
  ~ApplianceWatchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_finished = true;
    }
    m_done.notify_all();
    m_thread.join();
  }
  ApplianceWatchdog(const ApplianceWatchdog&) = delete;
  ApplianceWatchdog& operator=(const ApplianceWatchdog&) = delete;
  bool Fired() const { return m_fired; }

 private:
  std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_finished = false;
  std::atomic<bool> m_fired{false};
  std::thread m_thread;
};

struct StringList {
  char** items = nullptr;
  ~StringList() {
    if (items == nullptr) return;
    for (char** item = items; *item != nullptr; ++item) free(*item);
    free(items);
  }
  size_t size() const {
    size_t count = 0;
    while (items != nullptr && items[count] != nullptr) ++count;
    return count;
  }
};

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

EntryKind KindOfMode(int64_t mode) {
  if (S_ISDIR(mode)) return EntryKind::Folder;
  if (S_ISREG(mode)) return EntryKind::File;
  return EntryKind::Unsupported;
}

std::string SkippedKindProblem(int64_t mode) {
  if (S_ISLNK(mode)) return "symbolic links are not restored";
  if (S_ISFIFO(mode)) return "named pipes are not restored";
  if (S_ISSOCK(mode)) return "sockets are not restored";
  return "device files are not restored";
}

}  // namespace

bool ImageSource::Probe(int fd, std::string& format) {
  unsigned char head[0x10048] = {};
  const ssize_t got = pread(fd, head, sizeof head, 0);
  const auto at = [&head, got](size_t offset, const char* magic, size_t length) {
    return got >= 0 && static_cast<size_t>(got) >= offset + length && memcmp(head + offset, magic, length) == 0;
  };
  // A vmdk descriptor is a short text file.
  if (at(0, "# Disk DescriptorFile", 21)) {
    format = "vmdk";
    return true;
  }
  if (got < 512) return false;
  if (at(0, "QFI\xfb", 4)) {
    format = "qcow2";
    return true;
  }
  // A sparse vmdk, or a descriptor naming extents: which of them, and the files it names, come
  // from qemu-img when the image is opened.
  if (at(0, "KDMV", 4)) {
    format = "vmdk";
    return true;
  }
  if (at(0, "vhdxfile", 8)) {
    format = "vhdx";
    return true;
  }
  if (static_cast<size_t>(got) >= 0x44 && head[0x40] == 0x7f && head[0x41] == 0x10 && head[0x42] == 0xda &&
      head[0x43] == 0xbe) {
    format = "vdi";
    return true;
  }
  const bool partitionTable = (head[510] == 0x55 && head[511] == 0xaa) || at(512, "EFI PART", 8);
  const bool fileSystem = (static_cast<size_t>(got) > 1024 + 57 && head[1024 + 56] == 0x53 && head[1024 + 57] == 0xef) ||
                          at(0, "XFSB", 4) || at(3, "NTFS    ", 8) || at(0x10040, "_BHRfS_M", 8);
  if (partitionTable || fileSystem) {
    format = "raw";
    return true;
  }
  return false;
}

ImageSource::~ImageSource() {
  if (m_handle != nullptr) {
    guestfs_shutdown(m_handle);
    guestfs_close(m_handle);
  }
}

std::string ImageSource::LastError() const {
  // The first line only: the appliance's tools add hints (dmesg and the like) that say nothing on
  // the proxy.
  const char* text = guestfs_last_error(m_handle);
  if (text == nullptr) return "unknown error";
  const std::string all = text;
  return all.substr(0, all.find('\n'));
}

std::unique_ptr<ImageSource> ImageSource::Open(int fd, const SourceLimits& limits, const std::string& imageRoot,
                                               std::string& error) {
  // The image is read only through `fd`: qemu-img says what it is and which files it names, and
  // qemu-nbd serves it from the same descriptor to the appliance, as a plain disk.
  ImageInfo info;
  if (!InspectImage(fd, info, error)) return nullptr;
  std::unique_ptr<ImageSource> source(new ImageSource());
  source->m_server = NbdExport::Start(fd, info.format, error);
  if (!source->m_server) return nullptr;
  source->m_limits = limits;
  source->m_handle = guestfs_create_flags(GUESTFS_CREATE_NO_ENVIRONMENT);
  if (source->m_handle == nullptr) {
    error = "cannot start libguestfs";
    return nullptr;
  }
  guestfs_h* handle = source->m_handle;
  guestfs_set_error_handler(handle, nullptr, nullptr);  // errors come back with the calls' results
  guestfs_set_backend(handle, "direct");
  // Always QEMU's emulation: a proxy that is itself a VM may offer a /dev/kvm that runs a small
  // guest, yet never brings the appliance to its prompt (as on the machines this was built on).
  // Emulation costs the appliance's start 20-40 s, once per job.
  char force[] = "force_tcg";
  char* settings[] = {force, nullptr};
  guestfs_set_backend_settings(handle, settings);
  const std::string server = "unix:" + source->m_server->Socket();
  char* servers[] = {const_cast<char*>(server.c_str()), nullptr};
  if (guestfs_add_drive_opts(handle, "", GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, GUESTFS_ADD_DRIVE_OPTS_FORMAT, "raw",
                             GUESTFS_ADD_DRIVE_OPTS_PROTOCOL, "nbd", GUESTFS_ADD_DRIVE_OPTS_SERVER, servers, -1) != 0) {
    error = "cannot open the image: " + source->LastError();
    return nullptr;
  }
  // libguestfs bounds the start itself (it gives up on an appliance that does not answer).
  if (guestfs_launch(handle) != 0) {
    error = "cannot start the image's reader: " + source->LastError();
    return nullptr;
  }
  source->m_server->Unpublish();  // the appliance is connected
  source->m_pid = guestfs_get_pid(handle);
  if (!source->MountFound(imageRoot, error)) return nullptr;
  return source;
}

bool ImageSource::MountFound(const std::string& imageRoot, std::string& error) {
  ApplianceWatchdog watchdog(m_pid, kCallLimit);
  auto failed = [&](const std::string& what) {
    error = watchdog.Fired() ? what + ": the image did not answer within " + std::to_string(kCallLimit.count()) + " s"
                             : what + ": " + LastError();
    return false;
  };
  StringList partitions;
  partitions.items = guestfs_list_partitions(m_handle);
  if (partitions.items == nullptr) return failed("cannot read the image's partitions");
  if (partitions.size() > kMaxPartitions) {
    error = "the image holds " + std::to_string(partitions.size()) + " partitions; more than " +
            std::to_string(kMaxPartitions) + " are refused";
    return false;
  }
  if (!imageRoot.empty()) {
    if (guestfs_mount_ro(m_handle, imageRoot.c_str(), "/") != 0) return failed("--image-root " + imageRoot);
    m_kind = "disk image, file system " + imageRoot + " (--image-root)";
    return true;
  }
  StringList roots;
  roots.items = guestfs_inspect_os(m_handle);
  if (roots.items == nullptr) return failed("cannot inspect the image");
  if (roots.size() == 1) {
    const std::string root = roots.items[0];
    StringList mounts;  // mount point, device, mount point, device...
    mounts.items = guestfs_inspect_get_mountpoints(m_handle, root.c_str());
    if (mounts.items == nullptr) return failed("cannot read the image's mount points");
    std::vector<std::pair<std::string, std::string>> byDepth;
    for (size_t i = 0; i + 1 < mounts.size(); i += 2) byDepth.emplace_back(mounts.items[i], mounts.items[i + 1]);
    // "/" before "/boot" before "/boot/efi": a mount point's folder exists once its parent is mounted.
    std::sort(byDepth.begin(), byDepth.end(),
              [](const auto& a, const auto& b) { return a.first.size() < b.first.size(); });
    for (const auto& [point, device] : byDepth) {
      if (guestfs_mount_ro(m_handle, device.c_str(), point.c_str()) != 0) return failed("cannot mount " + device);
    }
    char* product = guestfs_inspect_get_product_name(m_handle, root.c_str());
    m_kind = "disk image, " + std::string(product != nullptr ? product : "an operating system") + " on " + root;
    free(product);
    return true;
  }
  if (roots.size() > 1) {
    error = "the image holds " + std::to_string(roots.size()) + " operating systems; choose one with --image-root";
    return false;
  }
  StringList filesystems;  // device, type, device, type...
  filesystems.items = guestfs_list_filesystems(m_handle);
  if (filesystems.items == nullptr) return failed("cannot list the image's file systems");
  std::vector<std::string> mountable;
  for (size_t i = 0; i + 1 < filesystems.size(); i += 2) {
    const std::string type = filesystems.items[i + 1];
    if (type != "swap" && type != "unknown" && type != "") mountable.push_back(filesystems.items[i]);
  }
  if (mountable.size() != 1) {
    error = "the image holds no operating system and " + std::to_string(mountable.size()) +
            " file systems; choose one with --image-root";
    return false;
  }
  if (guestfs_mount_ro(m_handle, mountable[0].c_str(), "/") != 0) return failed("cannot mount " + mountable[0]);
  m_kind = "disk image, file system " + mountable[0];
  return true;
}

bool ImageSource::Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) {
  std::string below;
  if (!NormalSourcePath(sourcePath, below, error)) return false;
  std::atomic<uint64_t> listed{0};
  ApplianceWatchdog watchdog(m_pid, kCallLimit, [&listed] { return listed.load(); });
  tree = SourceTree();
  // (folder in the image, its name in the tree, inherited problem), visited depth first in name order.
  std::vector<std::tuple<std::string, std::string, std::string>> pending;
  pending.emplace_back("/" + below, "", "");
  while (!pending.empty()) {
    auto [folder, relative, inherited] = pending.back();
    pending.pop_back();
    struct guestfs_dirent_list* listing = guestfs_readdir(m_handle, folder.c_str());
    if (listing == nullptr) {
      if (relative.empty()) {
        error = (below.empty() ? "cannot read the image's root" : "--source-path " + below) + ": " + LastError();
        return false;
      }
      continue;
    }
    std::vector<std::string> names;
    for (uint32_t i = 0; i < listing->len; ++i) {
      const std::string name = listing->val[i].name;
      if (name != "." && name != "..") names.push_back(name);
    }
    guestfs_free_dirent_list(listing);
    std::sort(names.begin(), names.end());
    if (names.empty()) continue;
    listed += names.size();
    if (tree.entries.size() + names.size() > m_limits.maxEntries) {
      error = "the image holds more than " + std::to_string(m_limits.maxEntries) +
              " entries, past the limit (--max-entries)";
      return false;
    }
    std::vector<char*> pointers;
    for (std::string& name : names) pointers.push_back(name.data());
    pointers.push_back(nullptr);
    struct guestfs_statns_list* records = guestfs_lstatnslist(m_handle, folder.c_str(), pointers.data());
    if (records == nullptr || records->len != names.size()) {
      if (records != nullptr) guestfs_free_statns_list(records);
      error = watchdog.Fired() ? "the image did not answer within " + std::to_string(kCallLimit.count()) + " s"
                               : "cannot read " + folder + " in the image: " + LastError();
      return false;
    }
    std::vector<std::tuple<std::string, std::string, std::string>> below;
    for (size_t i = 0; i < names.size(); ++i) {
      const struct guestfs_statns& record = records->val[i];
      SourceEntry entry;
      entry.relativePath = relative.empty() ? names[i] : relative + "/" + names[i];
      entry.info.st_mode = static_cast<mode_t>(record.st_mode);
      entry.info.st_uid = static_cast<uid_t>(record.st_uid);
      entry.info.st_gid = static_cast<gid_t>(record.st_gid);
      entry.info.st_size = record.st_size;
      entry.info.st_atim.tv_sec = record.st_atime_sec;
      entry.info.st_atim.tv_nsec = record.st_atime_nsec;
      entry.info.st_mtim.tv_sec = record.st_mtime_sec;
      entry.info.st_mtim.tv_nsec = record.st_mtime_nsec;
      entry.info.st_ctim.tv_sec = record.st_ctime_sec;
      entry.info.st_ctim.tv_nsec = record.st_ctime_nsec;
      entry.kind = KindOfMode(record.st_mode);
      entry.problem = !inherited.empty() ? inherited
                      : entry.kind == EntryKind::Unsupported ? SkippedKindProblem(record.st_mode)
                                                             : NameProblem(names[i]);
      if (entry.problem.empty() && entry.kind == EntryKind::Folder) ++tree.restorableFolders;
      if (entry.problem.empty() && entry.kind == EntryKind::File) {
        ++tree.restorableFiles;
        tree.restorableBytes += static_cast<uint64_t>(record.st_size);
        // As for archives: what the files add up to is bounded before anything is staged.
        if (tree.restorableBytes > m_limits.ExpansionBound()) {
          guestfs_free_statns_list(records);
          error = "the image's files add up to more than " + std::to_string(m_limits.ExpansionBound()) +
                  " bytes, past the limit (--max-expanded-size)";
          return false;
        }
      }
      if (entry.kind == EntryKind::Folder) {
        below.emplace_back(Join(folder, names[i]), entry.relativePath,
                           entry.problem.empty() ? "" : inherited.empty() ? "its folder cannot be restored" : inherited);
      }
      tree.entries.push_back(std::move(entry));
    }
    guestfs_free_statns_list(records);
    // The folders' contents follow each folder: the tree is put in pre-order below.
    for (auto item = below.rbegin(); item != below.rend(); ++item) pending.push_back(*item);
  }
  // Pre-order: each folder right before its contents, names in byte order.
  std::stable_sort(tree.entries.begin(), tree.entries.end(), [](const SourceEntry& a, const SourceEntry& b) {
    return std::lexicographical_compare(a.relativePath.begin(), a.relativePath.end(), b.relativePath.begin(),
                                        b.relativePath.end(), [](char x, char y) {
                                          const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
                                          return rank(x) < rank(y);
                                        });
  });
  m_root = below.empty() ? "/" : "/" + below;
  m_walkedBytes = tree.restorableBytes;
  return true;
}

bool ImageSource::BoundToStagingRoom(uint64_t room, std::string& error) {
  return m_limits.FollowStagingRoom(room, m_walkedBytes, "the image's files", error);
}

bool ImageSource::CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) {
  // A large file may take longer than the limit under emulation: the limit counts while nothing arrives.
  ApplianceWatchdog watchdog(m_pid, kCallLimit, [out]() -> uint64_t {
    struct stat written {};
    return fstat(out, &written) == 0 ? static_cast<uint64_t>(written.st_size) : 0;
  });
  const std::string inImage = Join(m_root, entry.relativePath);
  const std::string target = "/dev/fd/" + std::to_string(out);
  if (guestfs_download(m_handle, inImage.c_str(), target.c_str()) != 0) {
    error = watchdog.Fired() ? "the image did not answer within " + std::to_string(kCallLimit.count()) + " s"
                             : "cannot read " + inImage + " in the image: " + LastError();
    return false;
  }
  struct stat written {};
  if (fstat(out, &written) != 0 || written.st_size != entry.info.st_size) {
    error = "the file in the image is not of the size its records give";
    return false;
  }
  info = entry.info;
  return true;
}
