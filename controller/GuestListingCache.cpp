#include "controller/GuestListingCache.h"

#include <boost/algorithm/string/case_conv.hpp>

GuestListingCache::GuestListingCache(bool ignoreCase, size_t maxFolders, size_t maxEntries)
    : m_ignoreCase(ignoreCase), m_maxFolders(maxFolders), m_maxEntries(maxEntries) {}

void GuestListingCache::SetIgnoreCase(bool ignoreCase) {
  if (ignoreCase == m_ignoreCase) return;
  m_ignoreCase = ignoreCase;
  m_listings.clear();
  m_entries = 0;
}

std::string GuestListingCache::Key(const std::string& text) const {
  return m_ignoreCase ? boost::algorithm::to_lower_copy(text) : text;
}

GuestListingCache::Listings::iterator GuestListingCache::Locate(const std::string& folderKey) {
  for (auto listing = m_listings.begin(); listing != m_listings.end(); ++listing) {
    if (listing->folder == folderKey) return listing;
  }
  return m_listings.end();
}

GuestListingCache::Listings::const_iterator GuestListingCache::Locate(const std::string& folderKey) const {
  for (auto listing = m_listings.cbegin(); listing != m_listings.cend(); ++listing) {
    if (listing->folder == folderKey) return listing;
  }
  return m_listings.cend();
}

bool GuestListingCache::Has(const std::string& folder) {
  const auto listing = Locate(Key(folder));
  if (listing == m_listings.end()) return false;
  m_listings.splice(m_listings.begin(), m_listings, listing);
  return true;
}

bool GuestListingCache::Find(const std::string& folder, const std::string& name,
                             VMInfoStructs::SGuestFile& entry) const {
  const auto listing = Locate(Key(folder));
  if (listing == m_listings.cend()) return false;
  const auto found = listing->entries.find(Key(name));
  if (found == listing->entries.end()) return false;
  entry = found->second;
  return true;
}

void GuestListingCache::Remember(const std::string& folder, const std::vector<VMInfoStructs::SGuestFile>& entries) {
  Forget(folder);
  if (entries.size() > m_maxEntries || m_maxFolders == 0) return;
  Listing listing;
  listing.folder = Key(folder);
  // Of two names that compare equal, the first listed answers, as a scan of the listing would.
  for (const VMInfoStructs::SGuestFile& entry : entries) listing.entries.emplace(Key(entry.name), entry);
  m_entries += listing.entries.size();
  m_listings.push_front(std::move(listing));
  Evict();
}

void GuestListingCache::Put(const std::string& folder, const VMInfoStructs::SGuestFile& entry) {
  const auto listing = Locate(Key(folder));
  if (listing == m_listings.end()) return;
  const auto placed = listing->entries.insert_or_assign(Key(entry.name), entry);
  if (placed.second) ++m_entries;
  Evict();
}

void GuestListingCache::Forget(const std::string& folder) {
  const auto listing = Locate(Key(folder));
  if (listing == m_listings.end()) return;
  m_entries -= listing->entries.size();
  m_listings.erase(listing);
}

// Drops the least recently used listings until both bounds hold again.
void GuestListingCache::Evict() {
  while (!m_listings.empty() && (m_listings.size() > m_maxFolders || m_entries > m_maxEntries)) {
    m_entries -= m_listings.back().entries.size();
    m_listings.pop_back();
  }
}
