// What a restore would do with each entry, found by reading the guest's folders through a guest
// channel without changing anything in the guest: the base of --dry-run, and of
// "--overwrite never", which keeps every file the guest already has.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/SourceTree.h"
#include "vminfo/VMInfoStructs.h"

// When a file the guest already has is replaced (--overwrite, or the job's overwriteAlways).
enum class OverwritePolicy {
  Never,   // the guest's file is always kept
  Newer,   // replaced only when the backed-up file is newer (the plug-in's own rule)
  Always,  // always replaced
};

// "never", "newer", "always"; false for any other word.
bool ParseOverwritePolicy(const std::string& word, OverwritePolicy& policy);

enum class PreviewOutcome { Restore, Keep, Refuse, Skip };

struct PreviewEntry {
  const SourceEntry* entry = nullptr;
  PreviewOutcome outcome = PreviewOutcome::Restore;
  std::string reason;  // why it is kept, refused or skipped
};

// Lists one guest folder; false when it cannot (taken as: the folder is not there).
using GuestFolderLister =
    std::function<bool(const std::string& guestPath, std::vector<VMInfoStructs::SGuestFile>& entries)>;

// The guest's entries below one destination, each folder listed at most once.
class GuestFolderView {
 public:
  GuestFolderView(std::string destination, GuestFolderLister lister);

  // The guest's entry at `relative` below the destination; false when the guest has none.
  bool Find(const std::string& relative, VMInfoStructs::SGuestFile& found);

 private:
  const std::map<std::string, VMInfoStructs::SGuestFile>& Listing(const std::string& relativeFolder);

  std::string m_destination;
  GuestFolderLister m_lister;
  bool m_caseless;  // Windows guests compare names without letter case
  std::map<std::string, std::map<std::string, VMInfoStructs::SGuestFile>> m_listings;
};

// What a restore would do with `entry`, given the guest's entry at its place (null: none).
// `byContent` (--checksum): a guest file of the same size is kept only if its content is the same,
// which the restore tells by hashing; the preview says so instead of guessing.
PreviewEntry DecidePreview(const SourceEntry& entry, const VMInfoStructs::SGuestFile* guest, OverwritePolicy policy,
                           bool byContent = false);

// Every entry of `tree`, in order, with what a restore would do with it.
std::vector<PreviewEntry> PreviewRestore(const SourceTree& tree, GuestFolderView& guest, OverwritePolicy policy,
                                         bool byContent = false);
