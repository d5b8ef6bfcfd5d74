// Writing a whole buffer to a descriptor, for the tools' pipes, sockets and key files.
#pragma once

#include <cstddef>
#include <string>

// Writes every one of `length` bytes to `fd`, resuming after a short write or a signal. False
// when the descriptor refuses a byte; how many went out before is then unknown to the caller.
// A socket whose peer has gone fails the write without raising SIGPIPE.
bool WriteAll(int fd, const void* data, size_t length);
bool WriteAll(int fd, const std::string& text);
