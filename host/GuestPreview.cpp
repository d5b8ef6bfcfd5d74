#include "host/GuestPreview.h"

#include <cctype>
#include <utility>

#include "host/GuestPath.h"

namespace {

constexpr int32_t kGuestFolder = VMInfoStructs::GuestFileDirectory;
constexpr int32_t kGuestRegularFile = VMInfoStructs::GuestFileRegular;
constexpr int32_t kGuestLink = VMInfoStructs::GuestFileSymlink;

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ParseOverwritePolicy(const std::string& word, OverwritePolicy& policy) {
  if (word == "never") {
    policy = OverwritePolicy::Never;
  } else if (word == "newer") {
    policy = OverwritePolicy::Newer;
  } else if (word == "always") {
    policy = OverwritePolicy::Always;
  } else {
    return false;
  }
  return true;
}

GuestFolderView::GuestFolderView(std::string destination, GuestFolderLister lister)
    : m_destination(std::move(destination)),
      m_lister(std::move(lister)),
      m_caseless(IsWindowsAbsolute(m_destination)) {}

const std::map<std::string, VMInfoStructs::SGuestFile>& GuestFolderView::Listing(const std::string& relativeFolder) {
  auto known = m_listings.find(relativeFolder);
  if (known != m_listings.end()) return known->second;
  std::map<std::string, VMInfoStructs::SGuestFile>& listing = m_listings[relativeFolder];
  // A folder the guest does not have holds nothing, and neither does anything below it.
  if (!relativeFolder.empty()) {
    VMInfoStructs::SGuestFile self;
    if (!Find(relativeFolder, self) || self.type != kGuestFolder) return listing;
  }
  std::vector<VMInfoStructs::SGuestFile> entries;
  if (!m_lister(GuestChildPath(m_destination, relativeFolder), entries)) return listing;
  for (VMInfoStructs::SGuestFile& entry : entries) {
    if (entry.name.empty() || entry.name == "." || entry.name == "..") continue;
    std::string key = m_caseless ? Lowered(entry.name) : entry.name;
    listing.emplace(std::move(key), std::move(entry));
  }
  return listing;
}

bool GuestFolderView::Find(const std::string& relative, VMInfoStructs::SGuestFile& found) {
  const std::string::size_type slash = relative.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : relative.substr(0, slash);
  const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  const auto& listing = Listing(folder);
  auto entry = listing.find(m_caseless ? Lowered(name) : name);
  if (entry == listing.end()) return false;
  found = entry->second;
  return true;
}

PreviewEntry DecidePreview(const SourceEntry& entry, const VMInfoStructs::SGuestFile* guest, OverwritePolicy policy,
                           bool byContent) {
  PreviewEntry preview;
  preview.entry = &entry;
  if (!entry.problem.empty()) {
    preview.outcome = IsSkippedKind(entry) ? PreviewOutcome::Skip : PreviewOutcome::Refuse;
    preview.reason = entry.problem;
    return preview;
  }
  const bool isFolder = entry.kind == EntryKind::Folder;
  if (guest == nullptr) return preview;
  // The plug-in's own rules, entry by entry (CopyToGuest): a link or other non-file is never
  // kept nor written through; overwrite-always replaces a link at a file's name.
  const bool guestIsFolder = guest->type == kGuestFolder;
  const bool guestIsFile = guest->type == kGuestRegularFile;
  if (!guestIsFolder && !guestIsFile && !(policy == OverwritePolicy::Always && !isFolder)) {
    preview.outcome = PreviewOutcome::Refuse;
    preview.reason = guest->type == kGuestLink ? "the guest has a link of that name; it is not written through"
                                               : "the guest has an entry of that name that is neither a file nor a folder";
    return preview;
  }
  if (isFolder && !guestIsFolder) {
    preview.outcome = PreviewOutcome::Refuse;
    preview.reason = "the guest has a file where the folder goes";
    return preview;
  }
  if (!isFolder && guestIsFolder) {
    preview.outcome = PreviewOutcome::Refuse;
    preview.reason = "the guest has a folder of that name";
    return preview;
  }
  if (isFolder) {
    // An existing folder is kept as it is; overwrite-always gives it the backup's attributes.
    if (policy != OverwritePolicy::Always) {
      preview.outcome = PreviewOutcome::Keep;
      preview.reason = "the guest has the folder";
    }
    return preview;
  }
  switch (policy) {
    case OverwritePolicy::Always:
      return preview;
    case OverwritePolicy::Never:
      preview.outcome = PreviewOutcome::Keep;
      preview.reason = "the guest has the file (--overwrite never)";
      return preview;
    case OverwritePolicy::Newer: {
      if (byContent) {
        if (guest->size == static_cast<int64_t>(entry.info.st_size)) {
          preview.outcome = PreviewOutcome::Keep;
          preview.reason = "the guest's file has the same size; kept if its content is the same (--checksum)";
        }
        return preview;
      }
      const int64_t local = static_cast<int64_t>(entry.info.st_mtime);
      const bool sameTimeOtherSize =
          local == guest->modifyTime && guest->size != static_cast<int64_t>(entry.info.st_size);
      if (local <= guest->modifyTime && !sameTimeOtherSize) {
        preview.outcome = PreviewOutcome::Keep;
        preview.reason = "the guest's file is as new or newer";
      }
      return preview;
    }
  }
  return preview;
}

std::vector<PreviewEntry> PreviewRestore(const SourceTree& tree, GuestFolderView& guest, OverwritePolicy policy,
                                         bool byContent) {
  std::vector<PreviewEntry> previews;
  previews.reserve(tree.entries.size());
  for (const SourceEntry& entry : tree.entries) {
    VMInfoStructs::SGuestFile found;
    const bool present = entry.problem.empty() && guest.Find(entry.relativePath, found);
    previews.push_back(DecidePreview(entry, present ? &found : nullptr, policy, byContent));
  }
  return previews;
}
