// What the controller knows of recently listed guest folders, so that one listing answers the
// replace-or-keep question for every file of a folder instead of one browse per file.
//
// A listing is a snapshot: the guest may change after it was taken. Callers therefore trust it
// only where a stale answer is harmless (keep a file the listing shows as new, copy without
// overwrite a file it does not show, where the channel refuses to replace what appeared
// meanwhile) and look again before replacing a file.
//
// Memory stays bounded whatever the number of entries restored: at most kMaxFolders listings and
// kMaxEntries entries in all are kept, the least recently used listing goes first, and a listing
// larger than kMaxEntries is not kept at all. Entries arrive folder by folder, so the few recent
// folders are the ones asked about.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "vminfo/VMInfoStructs.h"

class GuestListingCache {
 public:
  static constexpr size_t kMaxFolders = 16;
  static constexpr size_t kMaxEntries = 100000;

  // `ignoreCase`: names and folders are compared without regard to letter case (Windows guests).
  explicit GuestListingCache(bool ignoreCase = false, size_t maxFolders = kMaxFolders,
                             size_t maxEntries = kMaxEntries);

  // Compares names without regard to letter case from now on; forgets every listing.
  void SetIgnoreCase(bool ignoreCase);

  // True when a listing of `folder` is kept; it becomes the most recently used.
  bool Has(const std::string& folder);
  // The kept entry `name` of `folder` into `entry`; false when the folder is not kept or the
  // listing does not hold the name.
  bool Find(const std::string& folder, const std::string& name, VMInfoStructs::SGuestFile& entry) const;

  // Keeps `entries` (names are base names) as the listing of `folder`, replacing an older one.
  void Remember(const std::string& folder, const std::vector<VMInfoStructs::SGuestFile>& entries);
  // Adds or replaces one entry of a kept listing; nothing happens when `folder` is not kept.
  void Put(const std::string& folder, const VMInfoStructs::SGuestFile& entry);
  // Drops the listing of `folder`, so that the next question lists it again.
  void Forget(const std::string& folder);

  size_t Folders() const { return m_listings.size(); }
  size_t Entries() const { return m_entries; }

 private:
  struct Listing {
    std::string folder;  // as a key
    std::unordered_map<std::string, VMInfoStructs::SGuestFile> entries;
  };
  using Listings = std::list<Listing>;  // most recently used first

  std::string Key(const std::string& text) const;
  Listings::iterator Locate(const std::string& folderKey);
  Listings::const_iterator Locate(const std::string& folderKey) const;
  void Evict();

  bool m_ignoreCase;
  size_t m_maxFolders;
  size_t m_maxEntries;
  size_t m_entries = 0;
  Listings m_listings;
};
