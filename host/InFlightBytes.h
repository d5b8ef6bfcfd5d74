// How far the copy of the entry in flight has come, read from outside the copy: whichever channel
// copies the staged file (the plug-in in this process, or a copy tool it started) reads it through
// a descriptor, and the kernel keeps that descriptor's position. The progress line shows it, so a
// large file moves the bar while it is copied.
#pragma once

#include <sys/types.h>

#include <cstdint>

// The largest read position of any descriptor open on the file `device`:`inode` in `root` and its
// descendant processes; 0 when none has it open. Looks at no more than
// kMaxProcessesLooked processes and kMaxDescriptorsLooked descriptors in each, so a process with
// thousands of children or files cannot make the progress line slow.
uint64_t BytesReadOf(dev_t device, ino_t inode, pid_t root);

constexpr size_t kMaxProcessesLooked = 64;
constexpr size_t kMaxDescriptorsLooked = 4096;
