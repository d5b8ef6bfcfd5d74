// How zqpscp.exe lands a file in a guest completely or not at all.
//
// Unix targets (a path that begins with "/") are written by the guest's own bash: one ssh session
// runs the helper script's --write_file with the file's bytes on standard input, and the script
// enters the target's folders without following links, writes a new file with an unpredictable
// name in the final folder and renames it over the target once every byte arrived.
//
// Other targets (Windows paths such as D:\dir\file) go over SFTP to a temporary name beside the
// target, which is then renamed over it (OpenSSH's posix-rename where the server offers it);
// on failure the temporary file is removed.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "toolscontract/SshToolsContract.h"

namespace GuestFileCopy {

// Name of the helper script beside the tools, and the option that writes a file.
constexpr const char* kHelperScript = SshToolsContract::kHelperScript;
constexpr const char* kWriteOption = "--write_file";

// True for a target the guest's bash writes: an absolute Unix path.
bool IsUnixTarget(const std::string& remotePath);

// The command the guest's login shell runs to replace `remotePath` by the bytes of `staged` (the
// local file) read from standard input: bash -c 'SCRIPT' zqvsa_agentless.sh --write_file 'PATH'
// SIZE MODE[:UID:GID] ATIME MTIME ['SUFFIX'], with the staged file's size, permission bits and
// times, the owner (UID:GID) the new file gets before its rename when one is given, and the backup
// suffix when the old file is to be kept beside it. The bytes must be followed by EndWord.
std::string UnixWriterCommand(const std::string& script, const std::string& remotePath, const struct stat& staged,
                              const std::string& backupSuffix = std::string(), const std::string& owner = std::string());

// The helper-script arguments of a --write_file request that brings the bytes of `staged` with it
// (through a guest session): --write_file 'PATH' SIZE MODE[:UID:GID] ATIME MTIME ['SUFFIX'].
std::string InlineWriteArguments(const std::string& remotePath, const struct stat& staged,
                                 const std::string& backupSuffix = std::string(),
                                 const std::string& owner = std::string());

// The proxy's last word after the `size` bytes of a --write_file: the guest puts the new file in
// place only once it has read it, so a copy cut off before its end (the tool killed, the
// connection lost) never replaces the old file.
std::string EndWord(unsigned long long size);

// Whether a file of `size` bytes travels inline: its bytes and the end word fit one request.
bool FitsInline(unsigned long long size);

// Copies exactly `size` bytes of `fd` and then EndWord to `out`; no end word when the file holds
// another number of bytes now or a write fails. For the copy tool's feeding process: only system
// calls, no allocation.
bool FeedWithEndWord(int fd, unsigned long long size, int out);

// The copy tool's exit status for a copy that ended with `status`: 0, 255 for a failure of the
// connection, 1 for any other failure.
int ToolStatus(int status);

// `target` as the SFTP server of a Windows guest (Win32-OpenSSH) takes an absolute path: a drive
// path "D:\dir\file" becomes "/D:/dir/file"; any other target is kept as it is (the server then
// takes it relative to the login's home folder).
std::string SftpPath(const std::string& target);

// The temporary name beside `target` ("\" and "/" both separate folders), built from `token`.
std::string TemporaryBeside(const std::string& target, const std::string& token);

// `text` as one argument of an sftp batch line: in double quotes, with " and \ escaped.
std::string SftpWord(const std::string& text);

// The sftp batch that puts `localFile` to `temporary` and renames it over `target`.
std::string SftpPutAndRename(const std::string& localFile, const std::string& temporary, const std::string& target);

// The sftp batch that removes `temporary`, ignoring a failure.
std::string SftpRemove(const std::string& temporary);

// False when a path cannot be written on one sftp batch line (it holds a line break or NUL).
bool FitsSftpBatch(const std::string& path);

// Opens local file `path` for reading and describes it in `info`; -1 with `problem` set when it
// cannot be opened or is not a regular file. O_NOATIME keeps its access time for the attribute
// step that follows the copy, and is dropped where the system refuses it (a file of another user).
// `flags` are added to the open's (O_CLOEXEC where no child may inherit the descriptor; the copy
// tool's sftp reads the file through /dev/fd).
int OpenLocalFile(const std::string& path, struct stat& info, std::string& problem, int flags = 0);

// Reads exactly `size` bytes from `fd` into `content`; false when the file holds another number
// of bytes now.
bool ReadExactly(int fd, unsigned long long size, std::string& content);

// The whole of a small local file (the helper script); false when it cannot be read or is empty.
bool ReadWholeFile(const std::string& path, std::string& text);

// A random token of 18 hexadecimal digits; empty when the system gives no random bytes.
std::string RandomToken();

}  // namespace GuestFileCopy
