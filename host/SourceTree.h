// The backed-up tree that zqrestore restores: every entry below a source folder, folders before
// their contents, with what the host needs to stage it and to describe it to the plug-in.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class EntryKind { Folder, File, Unsupported };

// The name of an entry below the source folder, "/"-separated. It is a window on a text that
// several names may share: a folder's name is the start of its contents' names, so the folders an
// archive member implies share that member's text instead of each holding a copy. The names of a
// tree then take memory in line with the names the source itself holds, however deep they go.
// It reads as a std::string wherever one is wanted.
class EntryName {
 public:
  EntryName() = default;
  EntryName(std::string text);  // NOLINT(google-explicit-constructor): a name is given as its text
  EntryName(const char* text) : EntryName(std::string(text)) {}  // NOLINT(google-explicit-constructor)

  // The first `length` characters, sharing this name's text.
  EntryName Prefix(size_t length) const;
  // The characters from `start` on, sharing this name's text.
  EntryName From(size_t start) const;

  std::string_view view() const {
    return m_text ? std::string_view(*m_text).substr(m_start, m_length) : std::string_view();
  }
  std::string str() const { return std::string(view()); }
  operator std::string() const { return str(); }  // NOLINT(google-explicit-constructor)
  size_t size() const { return m_length; }
  bool empty() const { return m_length == 0; }
  const char* begin() const { return view().data(); }
  const char* end() const { return view().data() + m_length; }
  size_t find(char c, size_t from = 0) const { return view().find(c, from); }
  size_t rfind(char c, size_t from = std::string_view::npos) const { return view().rfind(c, from); }
  size_t rfind(std::string_view text, size_t from = std::string_view::npos) const { return view().rfind(text, from); }
  int compare(size_t at, size_t count, std::string_view text) const { return view().substr(at, count).compare(text); }

 private:
  std::shared_ptr<const std::string> m_text;
  size_t m_start = 0;
  size_t m_length = 0;
};

inline bool operator==(const EntryName& a, const EntryName& b) { return a.view() == b.view(); }
inline bool operator==(const EntryName& a, const std::string& b) { return a.view() == b; }
inline bool operator==(const EntryName& a, const char* b) { return a.view() == b; }
inline bool operator==(const std::string& a, const EntryName& b) { return b == a; }
inline bool operator==(const char* a, const EntryName& b) { return b == a; }
template <typename T>
bool operator!=(const EntryName& a, const T& b) { return !(a == b); }
inline bool operator<(const EntryName& a, const EntryName& b) { return a.view() < b.view(); }
inline std::string operator+(std::string a, const EntryName& b) { return a.append(b.view()); }
inline std::string operator+(const EntryName& a, const std::string& b) { return a.str() + b; }
inline std::string operator+(const EntryName& a, const char* b) { return a.str() + b; }
std::ostream& operator<<(std::ostream& out, const EntryName& name);

struct SourceEntry {
  EntryName relativePath;  // below the source folder, "/"-separated, never empty
  EntryKind kind = EntryKind::Unsupported;
  struct stat info {};  // lstat of the entry at walk time
  // Why the entry cannot be restored; empty when it can. Such entries count as failed.
  std::string problem;
  // Where a reader that reads in order (an archive) finds the content: the number of its member.
  uint64_t ordinal = 0;
};

struct SourceTree {
  // A folder comes before its contents: a folder's walk lists them right after it (pre-order), an
  // archive in the order its members' data lie, so that it is read once from start to end.
  std::vector<SourceEntry> entries;
  uint64_t restorableFiles = 0;
  uint64_t restorableFolders = 0;
  uint64_t restorableBytes = 0;
};

// A symbolic link, device node, named pipe or socket: never restored, and reported as skipped
// (with its kind) rather than as failed.
bool IsSkippedKind(const SourceEntry& entry);

// Why a name cannot travel through the plug-in unchanged, or empty when it can. The plug-in turns
// "\" into a separator and the token "ZqColonZq" into ":" on its way to the guest, so such a name
// would land under another name (or in another folder).
std::string NameProblem(const std::string& name);

// Walks `root` without following symbolic links. Names are visited in byte order, so that two runs
// over the same tree restore in the same order. Entries that cannot be restored (symbolic links,
// devices, sockets, pipes, unsafe names, unreadable folders and everything below an entry that
// cannot be restored) stay in the list with `problem` set. Returns false with `error` only when
// `root` itself is not a readable folder.
bool WalkSourceTree(const std::string& root, SourceTree& tree, std::string& error);

// As WalkSourceTree for a folder. A regular file (not a link) as `source` makes a tree of that one
// file, with `root` its folder; for a folder `root` is `source` itself.
bool WalkSource(const std::string& source, SourceTree& tree, std::string& root, std::string& error);

// Keeps only what lies below `path` (plain, as NormalSourcePath makes it; "" keeps everything),
// renamed relative to it, and recounts the totals. A file at `path` stays as the one entry, under
// its own name. False with `error` when the tree holds nothing at `path`.
bool KeepSubtree(const std::string& path, SourceTree& tree, std::string& error);
