// The private folder that holds the sockets of shared SSH connections, and the socket name of a
// login. A command rides on an earlier connection only when user, address, port and password
// are all the same: OpenSSH's %C covers the first three, a keyed digest of the password the last.
#pragma once

#include <string>

namespace ControlFolder {

// Longest folder path whose socket names still fit a Unix socket address (107 bytes) together
// with the temporary suffix OpenSSH adds while it sets a socket up.
constexpr size_t kMaxFolderLength = 33;

// Opens the absolute path `folder` one name at a time from "/" without following links, and
// returns a descriptor of it (closed by the caller), or -1 with `problem` naming the folder and
// the reason. Every folder on the way must belong to this user or to root and be writable by no
// one else unless sticky (as /tmp is), so that no other local user can plant a folder, a link or a
// socket anywhere on the path, before the check or after it; the folder itself must belong to this
// user and be closed to everyone else. With `create`, missing folders are made with mode 0700.
int Open(const std::string& folder, bool create, std::string& problem);

// Open with `create`, the descriptor closed again: whether the folder is usable.
bool MakePrivate(const std::string& folder, std::string& problem);

// Whether `folder` is already a private folder of this user (as MakePrivate leaves it) that holds
// the reuse key: only then can a session of this user listen in it. Creates nothing.
bool IsReady(const std::string& folder);

// 16 hex digits of an HMAC-SHA-256 of `secret` under the folder's random key (created on first
// use): a name that stands for the secret without revealing it.
bool SecretTag(const std::string& folder, const std::string& secret, std::string& tag, std::string& problem);

// The ControlPath pattern for a login with `password`: folder (any '%' doubled) + "/" + 16 hex digits of an
// HMAC-SHA-256 of the password + "%C". The HMAC key is a random key kept in the folder (created on
// first use), so the name reveals nothing about the password to whoever reads it in a message.
bool SocketPattern(const std::string& folder, const std::string& password, std::string& pattern,
                   std::string& problem);

// The first `digits` lowercase hex digits of `bytes`, which must hold (digits + 1) / 2 bytes: the
// digests in the names of the folder's files and sockets.
std::string HexPrefix(const unsigned char* bytes, size_t digits);

// The name of `name` inside the folder held by `folderFd`, for bind and connect: the socket
// lands in the very folder that was checked, whatever happens to the folder's path meanwhile.
std::string ThroughFolder(int folderFd, const std::string& name);

}  // namespace ControlFolder
