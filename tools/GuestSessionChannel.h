// What a guest session process and its clients share: byte I/O on descriptors with a deadline,
// the length-counted fields of the framing, and the session's Unix socket in the private control
// folder, whose name carries a keyed digest of the password so that logins with different
// passwords never meet.
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <string>

#include "OpenSshCommand.h"

namespace GuestSessionChannel {

// Milliseconds of the monotonic clock.
long long NowMs();

// Waits until `fd` is readable (or writable); false on time-out. `deadlineMs` < 0: no limit.
bool WaitFor(int fd, short events, long long deadlineMs);

bool WriteAll(int fd, const char* data, size_t length);
bool WriteAll(int fd, const std::string& text);

// Reads exactly `length` bytes into `text` (appended) before `deadlineMs`.
bool ReadExact(int fd, size_t length, std::string& text, long long deadlineMs);

// Reads one line (without its newline) of at most `limit` bytes, a byte at a time so that nothing
// after it is consumed.
bool ReadLine(int fd, std::string& line, size_t limit, long long deadlineMs);

// Reads everything until end of file, keeping the last `limit` bytes.
void ReadRest(int fd, std::string& text, size_t limit, long long deadlineMs);

// A decimal count of at most 12 digits and at most `limit`.
bool ParseCount(const std::string& text, size_t limit, size_t& value);

std::string HexPrefix(const unsigned char* bytes, size_t digits);

// Logged in: the askpass has had its answer and the connection needs no password any more. The
// value is wiped where it lies, in the environment block this process started with (the one
// /proc shows), so that a session that outlives its job carries no password.
void ForgetPassword();

// The socket of the login's session: the connection-reuse name of the password (a keyed digest)
// with a digest of user, address and port. Empty when the control folder is not usable.
std::string SocketPath(const SshToolSettings& settings, const SshLogin& login);

bool SocketAddress(const std::string& path, sockaddr_un& address);

// A connection to the session socket at `path`; -1 when nobody listens there.
int ConnectTo(const std::string& path);

// Whether the peer of a Unix socket runs as this process's user.
bool PeerIsThisUser(int fd);

}  // namespace GuestSessionChannel
