// The backed-up tree that zqrestore restores: every entry below a source folder, folders before
// their contents, with what the host needs to stage it and to describe it to the plug-in.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

enum class EntryKind { Folder, File, Unsupported };

struct SourceEntry {
  std::string relativePath;  // below the source folder, "/"-separated, never empty
  EntryKind kind = EntryKind::Unsupported;
  struct stat info {};  // lstat of the entry at walk time
  // Why the entry cannot be restored; empty when it can. Such entries count as failed.
  std::string problem;
  // Where a reader that reads in order (an archive) finds the content: the number of its member.
  uint64_t ordinal = 0;
};

struct SourceTree {
  std::vector<SourceEntry> entries;  // pre-order: a folder comes right before its contents
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
