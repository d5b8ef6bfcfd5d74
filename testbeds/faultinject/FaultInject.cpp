// A preload library (LD_PRELOAD) that makes the operating system misbehave for one chosen path,
// for programs we do not build: the guest's bash, perl and coreutils. It reads its plan from the
// file that ZQ_FAULT_PLAN names, again at every call it watches, so that a test changes the plan
// between restores without restarting anything; without a plan every call passes straight on.
//
// A plan holds one rule a line (words apart by blanks; paths are absolute, without blanks):
//   fail CALL ERRNO PREFIX        CALL (fsync, fdatasync, rename, write or open) fails with ERRNO
//                                 (EIO, ENOSPC, EDQUOT, EACCES, EPERM, EROFS or a number) when the
//                                 path it works on begins with PREFIX; for fsync, fdatasync and
//                                 write the path is the one the descriptor reaches now, for rename
//                                 either name, for open (open, open64, openat, openat64) the name
//                                 opened, made absolute. Nothing is done before the failure.
//   count CALL PREFIX LOG         appends "CALL PATH UID:GID MODE" (of what bears the name then)
//                                 to the file LOG for every such call on a
//                                 path below PREFIX, then lets it run.
//   swap FOLDER TARGET [PROGRAM]  for the time of every chdir into FOLDER, FOLDER is a symbolic
//                                 link to TARGET: the folder is moved aside (FOLDER.aside) just
//                                 before the chdir and put back just after it, as an attacker who
//                                 swaps it over and over would have it between a program's check
//                                 of the folder and its use. Only in processes named PROGRAM
//                                 (/proc/self/comm) when one is given.
//   swap-open FILE OTHER [PROGRAM] the same for every open of FILE: for its time,
//                                 FILE is a hard link to OTHER (a file the program must not touch),
//                                 as a file replaced between a program's look at it and its open.
//   plant PREFIX TARGET KIND      just before an open with O_CREAT of a path that begins with PREFIX
//                                 and where nothing is, puts there a symbolic link to TARGET (KIND
//                                 "link") or a hard link of TARGET ("hardlink"): a guessed
//                                 temporary name, taken first.
//   replace-after-rename FILE     right after a rename onto FILE, moves FILE to FILE.aside and puts
//                                 an empty file in its place: the name is taken over at once.
// Calls made by this library itself go straight to the kernel, so it never watches itself.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr size_t kPathBytes = 4096;
constexpr size_t kPlanBytes = 16384;

int RawOpen(const char* path, int flags, mode_t mode = 0) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}
void RawClose(int fd) { syscall(SYS_close, fd); }
ssize_t RawWrite(int fd, const void* bytes, size_t count) { return syscall(SYS_write, fd, bytes, count); }

// The plan's text, NUL-terminated; false when there is none.
bool ReadPlan(char* plan) {
  const char* name = getenv("ZQ_FAULT_PLAN");
  if (name == nullptr || *name == '\0') return false;
  const int fd = RawOpen(name, O_RDONLY);
  if (fd < 0) return false;
  size_t have = 0;
  for (;;) {
    const ssize_t got = syscall(SYS_read, fd, plan + have, kPlanBytes - 1 - have);
    if (got <= 0) break;
    have += static_cast<size_t>(got);
    if (have == kPlanBytes - 1) break;
  }
  RawClose(fd);
  plan[have] = '\0';
  return have > 0;
}

// Splits the next line of `text` into at most `most` words; returns the count, 0 at the end.
int NextRule(char*& text, char** words, int most) {
  while (*text != '\0') {
    char* line = text;
    char* end = strchr(line, '\n');
    if (end != nullptr) {
      *end = '\0';
      text = end + 1;
    } else {
      text += strlen(text);
    }
    int count = 0;
    char* save = nullptr;
    for (char* word = strtok_r(line, " \t", &save); word != nullptr && count < most;
         word = strtok_r(nullptr, " \t", &save)) {
      words[count++] = word;
    }
    if (count > 0) return count;
  }
  return 0;
}

int ErrnoNamed(const char* name) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"EIO", EIO},     {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EACCES", EACCES},
                {"EPERM", EPERM}, {"EROFS", EROFS},   {"EXDEV", EXDEV}};
  for (const auto& known : kNames) {
    if (strcmp(known.name, name) == 0) return known.value;
  }
  const int value = atoi(name);
  return value > 0 ? value : EIO;
}

bool StartsWith(const char* path, const char* prefix) { return strncmp(path, prefix, strlen(prefix)) == 0; }

// The path descriptor `fd` reaches now; false when it has none.
bool PathOfDescriptor(int fd, char* path) {
  char link[64];
  if (fd == AT_FDCWD) {
    return syscall(SYS_getcwd, path, kPathBytes) > 0;
  }
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t got = syscall(SYS_readlinkat, AT_FDCWD, link, path, kPathBytes - 1);
  if (got <= 0) return false;
  path[got] = '\0';
  return path[0] == '/';
}

// `name` relative to folder descriptor `dirfd`, made absolute; "/./" and a trailing "/." dropped.
bool AbsolutePath(int dirfd, const char* name, char* path) {
  char folder[kPathBytes] = "";
  if (name[0] != '/' && !PathOfDescriptor(dirfd, folder)) return false;
  const size_t folderLength = strcmp(folder, "/") == 0 ? 0 : strlen(folder);
  const size_t nameLength = strlen(name);
  if (folderLength + 1 + nameLength >= kPathBytes) return false;
  memcpy(path, folder, folderLength);
  size_t at = folderLength;
  if (name[0] != '/') path[at++] = '/';
  memcpy(path + at, name, nameLength + 1);
  for (char* dot; (dot = strstr(path, "/./")) != nullptr;) memmove(dot, dot + 2, strlen(dot + 2) + 1);
  const size_t length = strlen(path);
  if (length > 2 && strcmp(path + length - 2, "/.") == 0) path[length - 2] = '\0';
  return true;
}

// Applies the plan's rules about `call` on `path`: counts the call where asked, and returns the
// errno it must fail with, 0 when it runs.
int Planned(const char* call, const char* path) {
  char plan[kPlanBytes];
  if (path == nullptr || !ReadPlan(plan)) return 0;
  char* text = plan;
  char* words[4];
  int failWith = 0;
  for (int count; (count = NextRule(text, words, 4)) > 0;) {
    if (count < 4 || strcmp(words[1], call) != 0) continue;
    const bool fail = strcmp(words[0], "fail") == 0;
    if (fail && failWith == 0 && StartsWith(path, words[3])) {
      failWith = ErrnoNamed(words[2]);
    } else if (strcmp(words[0], "count") == 0 && StartsWith(path, words[2])) {
      const int log = RawOpen(words[3], O_WRONLY | O_APPEND | O_CREAT, 0600);
      if (log >= 0) {
        struct stat info {};  // owner and permissions of what bears the name now; zeros for nothing
        lstat(path, &info);
        char line[kPathBytes + 64];
        const int length = snprintf(line, sizeof line, "%s %s %u:%u %o\n", call, path, info.st_uid, info.st_gid,
                                    info.st_mode & 07777);
        RawWrite(log, line, static_cast<size_t>(length) < sizeof line ? length : sizeof line - 1);
        RawClose(log);
      }
    }
  }
  return failWith;
}

int PlannedForDescriptor(const char* call, int fd) {
  char path[kPathBytes];
  return PathOfDescriptor(fd, path) ? Planned(call, path) : 0;
}

int PlannedForName(const char* call, int dirfd, const char* name) {
  char path[kPathBytes];
  return name != nullptr && AbsolutePath(dirfd, name, path) ? Planned(call, path) : 0;
}

bool ThisProgramIs(const char* program) {
  char comm[64] = {};
  const int fd = RawOpen("/proc/self/comm", O_RDONLY);
  if (fd < 0) return false;
  const ssize_t got = syscall(SYS_read, fd, comm, sizeof comm - 1);
  RawClose(fd);
  if (got > 0 && comm[got - 1] == '\n') comm[got - 1] = '\0';
  return strcmp(comm, program) == 0;
}

// Applies the swap rules about a chdir into `name`: returns whether FOLDER was swapped for a link,
// with its name in `swapped`, to be put back by SwapBack once the chdir is over.
bool SwapBeforeEntering(const char* name, char* swapped) {
  char plan[kPlanBytes], path[kPathBytes];
  if (name == nullptr || !ReadPlan(plan) || !AbsolutePath(AT_FDCWD, name, path)) return false;
  char* text = plan;
  char* words[4];
  for (int count; (count = NextRule(text, words, 4)) > 0;) {
    if (count < 3 || strcmp(words[0], "swap") != 0 || strcmp(words[1], path) != 0) continue;
    if (count == 4 && !ThisProgramIs(words[3])) continue;
    struct stat seen {};
    if (syscall(SYS_newfstatat, AT_FDCWD, path, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(seen.st_mode)) continue;
    char aside[kPathBytes + 8];
    snprintf(aside, sizeof aside, "%s.aside", path);
    if (syscall(SYS_renameat, AT_FDCWD, path, AT_FDCWD, aside) != 0) continue;
    syscall(SYS_symlinkat, words[2], AT_FDCWD, path);
    memcpy(swapped, path, strlen(path) + 1);
    return true;
  }
  return false;
}

void SwapBack(const char* swapped) {
  char aside[kPathBytes + 8];
  snprintf(aside, sizeof aside, "%s.aside", swapped);
  syscall(SYS_unlinkat, AT_FDCWD, swapped, 0);
  syscall(SYS_renameat, AT_FDCWD, aside, AT_FDCWD, swapped);
}

int Refuse(int error) {
  errno = error;
  return -1;
}

// Applies the swap-open rules about an open of `name`; true with the swapped path in `swapped`
// when FILE is now the hard link, to be put back by SwapBack.
bool SwapBeforeOpening(int dirfd, const char* name, char* swapped) {
  char plan[kPlanBytes], path[kPathBytes];
  if (name == nullptr || !ReadPlan(plan) || !AbsolutePath(dirfd, name, path)) return false;
  char* text = plan;
  char* words[4];
  for (int count; (count = NextRule(text, words, 4)) > 0;) {
    if (count < 3 || strcmp(words[0], "swap-open") != 0 || strcmp(words[1], path) != 0) continue;
    if (count == 4 && !ThisProgramIs(words[3])) continue;
    char aside[kPathBytes + 8];
    snprintf(aside, sizeof aside, "%s.aside", path);
    if (syscall(SYS_renameat, AT_FDCWD, path, AT_FDCWD, aside) != 0) continue;
    if (syscall(SYS_linkat, AT_FDCWD, words[2], AT_FDCWD, path, 0) != 0) {
      syscall(SYS_renameat, AT_FDCWD, aside, AT_FDCWD, path);
      continue;
    }
    memcpy(swapped, path, strlen(path) + 1);
    return true;
  }
  return false;
}

// Applies the plant rules about a creating open of `name`.
void PlantBeforeCreating(int dirfd, const char* name) {
  char plan[kPlanBytes], path[kPathBytes];
  if (name == nullptr || !ReadPlan(plan) || !AbsolutePath(dirfd, name, path)) return;
  char* text = plan;
  char* words[4];
  for (int count; (count = NextRule(text, words, 4)) > 0;) {
    if (count < 4 || strcmp(words[0], "plant") != 0 || !StartsWith(path, words[1])) continue;
    if (strcmp(words[3], "hardlink") == 0) {
      syscall(SYS_linkat, AT_FDCWD, words[2], AT_FDCWD, path, 0);
    } else {
      syscall(SYS_symlinkat, words[2], AT_FDCWD, path);
    }
  }
}

// Applies the replace-after-rename rules about a rename onto `name` that succeeded.
void ReplaceAfterRename(int dirfd, const char* name) {
  char plan[kPlanBytes], path[kPathBytes];
  if (name == nullptr || !ReadPlan(plan) || !AbsolutePath(dirfd, name, path)) return;
  char* text = plan;
  char* words[4];
  for (int count; (count = NextRule(text, words, 4)) > 0;) {
    if (count < 2 || strcmp(words[0], "replace-after-rename") != 0 || strcmp(words[1], path) != 0) continue;
    char aside[kPathBytes + 8];
    snprintf(aside, sizeof aside, "%s.aside", path);
    if (syscall(SYS_renameat, AT_FDCWD, path, AT_FDCWD, aside) != 0) continue;
    const int fd = RawOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) RawClose(fd);
  }
}

// An open of `name` as the plan has it: planted, swapped or failed.
template <typename Open>
int OpenPlanned(int dirfd, const char* name, int flags, Open open) {
  if (const int error = PlannedForName("open", dirfd, name)) return Refuse(error);
  if (flags & O_CREAT) PlantBeforeCreating(dirfd, name);
  char swapped[kPathBytes];
  if (!SwapBeforeOpening(dirfd, name, swapped)) return open();
  const int result = open();
  const int error = errno;
  SwapBack(swapped);
  errno = error;
  return result;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fsync(int fd) {
  static auto next = Next<int (*)(int)>("fsync");
  if (const int error = PlannedForDescriptor("fsync", fd)) return Refuse(error);
  return next(fd);
}

int fdatasync(int fd) {
  static auto next = Next<int (*)(int)>("fdatasync");
  if (const int error = PlannedForDescriptor("fdatasync", fd)) return Refuse(error);
  return next(fd);
}

ssize_t write(int fd, const void* bytes, size_t count) {
  static auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  if (getenv("ZQ_FAULT_PLAN") != nullptr) {
    if (const int error = PlannedForDescriptor("write", fd)) return Refuse(error);
  }
  return next(fd, bytes, count);
}

int rename(const char* from, const char* to) {
  static auto next = Next<int (*)(const char*, const char*)>("rename");
  if (const int error = PlannedForName("rename", AT_FDCWD, from)) return Refuse(error);
  if (const int error = PlannedForName("rename", AT_FDCWD, to)) return Refuse(error);
  const int result = next(from, to);
  if (result == 0) ReplaceAfterRename(AT_FDCWD, to);
  return result;
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  static auto next = Next<int (*)(int, const char*, int, const char*)>("renameat");
  if (const int error = PlannedForName("rename", fromDir, from)) return Refuse(error);
  if (const int error = PlannedForName("rename", toDir, to)) return Refuse(error);
  const int result = next(fromDir, from, toDir, to);
  if (result == 0) ReplaceAfterRename(toDir, to);
  return result;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
  static auto next = Next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  if (const int error = PlannedForName("rename", fromDir, from)) return Refuse(error);
  if (const int error = PlannedForName("rename", toDir, to)) return Refuse(error);
  const int result = next(fromDir, from, toDir, to, flags);
  if (result == 0) ReplaceAfterRename(toDir, to);
  return result;
}

// The mode argument is there only with O_CREAT or O_TMPFILE.
#define ZQ_OPEN_MODE(flags)                                   \
  mode_t mode = 0;                                            \
  if (((flags) & O_CREAT) || ((flags) & O_TMPFILE) == O_TMPFILE) { \
    va_list rest;                                             \
    va_start(rest, flags);                                    \
    mode = static_cast<mode_t>(va_arg(rest, int));            \
    va_end(rest);                                             \
  }

int open(const char* name, int flags, ...) {
  static auto next = Next<int (*)(const char*, int, ...)>("open");
  ZQ_OPEN_MODE(flags)
  return OpenPlanned(AT_FDCWD, name, flags, [&] { return next(name, flags, mode); });
}

int open64(const char* name, int flags, ...) {
  static auto next = Next<int (*)(const char*, int, ...)>("open64");
  ZQ_OPEN_MODE(flags)
  return OpenPlanned(AT_FDCWD, name, flags, [&] { return next(name, flags, mode); });
}

int openat(int dirfd, const char* name, int flags, ...) {
  static auto next = Next<int (*)(int, const char*, int, ...)>("openat");
  ZQ_OPEN_MODE(flags)
  return OpenPlanned(dirfd, name, flags, [&] { return next(dirfd, name, flags, mode); });
}

int openat64(int dirfd, const char* name, int flags, ...) {
  static auto next = Next<int (*)(int, const char*, int, ...)>("openat64");
  ZQ_OPEN_MODE(flags)
  return OpenPlanned(dirfd, name, flags, [&] { return next(dirfd, name, flags, mode); });
}

int chdir(const char* name) {
  static auto next = Next<int (*)(const char*)>("chdir");
  char swapped[kPathBytes];
  if (!SwapBeforeEntering(name, swapped)) return next(name);
  const int result = next(name);
  const int error = errno;
  SwapBack(swapped);
  errno = error;
  return result;
}

}  // extern "C"
