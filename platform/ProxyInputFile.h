// Files on this machine that zqrestore reads and that another local user may own or be able to
// change: password files, job and plan files, the settings, the inventory, a plan's state, the
// archives and images it restores. What such a file says decides whose secret goes where and what
// is restored, so each is opened once, never through a link at its name, checked for its role
// through the descriptor, and read only through that descriptor: the name is never opened again.
#pragma once

#include <cstddef>
#include <string>

#include "platform/UniqueFd.h"

namespace ProxyInputFile {

enum class Role {
  // A password file. It must belong to the running user or to root, and no one else may read or
  // write it, as OpenSSH demands of a private key; otherwise the secret is not sent anywhere.
  Secret,
  // Instructions: job and plan files, the settings, the inventory. When zqrestore runs as root, it
  // must belong to root, no one else may write it, and its folder must not let others replace it
  // (writable by others without the sticky bit), unless the operator trusts other authors.
  Config,
  // A plan's state (which jobs completed). The checks of the files a job writes: the folder holding
  // it is not a link and passes PrivateFolderChain::Refusal, and the file belongs to the running
  // user and has no other hard link.
  State,
  // An archive or a disk image to restore: a regular file, not reached through a link at its name.
  Data,
};

// The operator's word (--trust-plan-author) that Config files another user owns or may write are to
// be read all the same. Process-wide: set once from the command line, before any file is read.
void TrustOtherAuthors(bool trust);
bool TrustsOtherAuthors();

// Opens `path` for reading as a file of `role`: O_NOFOLLOW, without blocking on a FIFO, then checked
// through the descriptor. Returns the descriptor (blocking again, close-on-exec), or an invalid one
// with `reason` phrased to follow the file's name ("is a link, ...", "belongs to user id 1234, ...")
// and `missing`, when given, set when nothing is at the name.
UniqueFd Open(const std::string& path, Role role, std::string& reason, bool* missing = nullptr);

// Reads what is left of `fd` into `text`, refusing more than `maxBytes` without reading much past
// the limit. False with `text` empty and `reason` "is larger than N bytes" or "cannot be read: ...";
// what was read before a failure is wiped, as the file may hold a password.
bool ReadAll(int fd, size_t maxBytes, std::string& text, std::string& reason);

// Open and ReadAll.
bool ReadText(const std::string& path, Role role, size_t maxBytes, std::string& text, std::string& reason,
              bool* missing = nullptr);

}  // namespace ProxyInputFile
