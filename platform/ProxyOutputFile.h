// Files a job writes on this machine outside its staging folder: the log files and the summary.
// Another local user may be able to write the folder that holds one (a shared /tmp, a log folder
// made by someone else), and could plant a link, a hard link or a file of theirs at the name
// ahead of the job. Every such file is therefore opened relative to its held folder, never
// through a link, and only when the folder passes the checks of a job's staging folders.
#pragma once

#include <string>

namespace ProxyOutputFile {

// Opens `path` for appending, creating it with mode 0600. The folder holding it must not itself
// be a link and must pass PrivateFolderChain::Refusal (a sticky folder such as /tmp passes); the
// file is opened with O_NOFOLLOW and must be a regular file of the running user with no other
// hard link. Returns the descriptor, which the caller closes, or -1 with `error` saying why in
// the operator's words ("cannot write PATH: ...").
int OpenForAppend(const std::string& path, std::string& error);

// How a log file is kept from growing without end: once it holds `atBytes` or more, it is renamed
// to PATH.1 (PATH.1 to PATH.2, and so on, PATH.<keep> dropping off) and a new one is started.
struct Rotation {
  unsigned long long atBytes = 0;  // 0: never rotated
  int keep = 0;                    // rotated files kept beside it
};

// As above, rotating the file first when it has reached `rotation.atBytes`. Rotation renames only
// inside a folder no other user may write (in a shared sticky folder the file just grows), through
// the held folder, so no planted name is followed.
int OpenForAppend(const std::string& path, const Rotation& rotation, std::string& error);

// Whether WriteWhole may write `path`: the folder as for OpenForAppend, and an existing `path` must
// be a regular file of the running user, not a link. Checked before a job starts, so that a job
// never runs for a summary that cannot be written.
bool CheckReplaceable(const std::string& path, std::string& error);

// Writes `content` to `path` complete or not at all: under a new temporary name in the same folder
// (O_CREAT | O_EXCL | O_NOFOLLOW), flushed to disk, then renamed over `path`, which replaces a
// link rather than following it. The temporary file is removed on any failure.
bool WriteWhole(const std::string& path, const std::string& content, std::string& error);

// Opens `path` for reading and writing in place, creating it with mode 0600: a file that records
// who holds a lock on it. The folder and the file are checked as for OpenForAppend, and the file
// must also be the running user's alone (no permission for group or others), since what it says
// is believed. Returns the descriptor (close-on-exec), or -1 with `error`.
int OpenPrivateForUpdate(const std::string& path, std::string& error);

}  // namespace ProxyOutputFile
