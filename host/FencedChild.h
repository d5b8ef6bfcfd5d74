// QEMU's own tools (qemu-img, qemu-nbd) run on a disk image that another user may have written.
// Such an image may name other files of the proxy (a backing file, a data file, extents), and
// its bytes may change after we checked them. A fenced child therefore reads no file but its
// programs and libraries and the image it inherits as a descriptor: the kernel's Landlock file
// rules are in place before its program starts, so no name the image holds can be opened, not
// even by root. It also gets an allow-listed environment, ends with the job (PR_SET_PDEATHSIG),
// and reads nothing from standard input.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "hypervisor/UniqueFd.h"

struct FencedChildOptions {
  std::string program;             // an absolute path below /usr
  std::vector<std::string> args;   // after the program's name
  std::vector<int> inherited;      // descriptors the child gets as 3, 4, ... in this order
  int readableFd = -1;             // the one file besides the program's own that it may read
  bool socketActivation = false;   // LISTEN_FDS=1 and LISTEN_PID=<its pid>: descriptor 3 is a listening socket
  int stdoutFd = -1;               // -1: /dev/null
  int stderrFd = -1;               // -1: /dev/null
};

// Starts the child. Its pid, or -1 with `error` when it could not start, or when this kernel
// offers no Landlock: a reader that could follow the image's names is not started at all.
pid_t StartFencedChild(const FencedChildOptions& options, std::string& error);

// Runs the child to its end within `seconds`, keeping at most `maxOutput` bytes of each output
// stream. False with `error` when it could not start, ran past the time limit or wrote more
// (it is ended then). `status` is its wait status.
bool RunFencedChild(FencedChildOptions options, int seconds, size_t maxOutput, std::string& out, std::string& err,
                    int& status, std::string& error);

// The first line of a tool's error output, without the tool's own name in front and, of QEMU's
// nested "Could not open" causes, only the innermost.
std::string FirstLineOf(const std::string& text);
