#include "host/InFlightBytes.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The children of every thread of `pid` (/proc/PID/task/TID/children).
void AddChildren(pid_t pid, std::vector<pid_t>& processes) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = opendir(tasks.c_str());
  if (folder == nullptr) return;
  while (const dirent* task = readdir(folder)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream children(tasks + "/" + task->d_name + "/children");
    pid_t child = 0;
    while (processes.size() < kMaxProcessesLooked && children >> child) processes.push_back(child);
  }
  closedir(folder);
}

// The "pos:" field of /proc/PID/fdinfo/FD.
uint64_t PositionOf(pid_t pid, const char* fd) {
  std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
  std::string field;
  uint64_t position = 0;
  while (info >> field) {
    if (field == "pos:") {
      info >> position;
      return position;
    }
  }
  return 0;
}

uint64_t LargestPositionIn(pid_t pid, dev_t device, ino_t inode) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* folder = opendir(fds.c_str());
  if (folder == nullptr) return 0;
  uint64_t largest = 0;
  size_t looked = 0;
  while (const dirent* fd = readdir(folder)) {
    if (fd->d_name[0] == '.') continue;
    if (++looked > kMaxDescriptorsLooked) break;
    struct stat info {};
    if (stat((fds + "/" + fd->d_name).c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode) continue;
    const uint64_t position = PositionOf(pid, fd->d_name);
    if (position > largest) largest = position;
  }
  closedir(folder);
  return largest;
}

}  // namespace

uint64_t BytesReadOf(dev_t device, ino_t inode, pid_t root) {
  std::vector<pid_t> processes{root};
  uint64_t largest = 0;
  for (size_t i = 0; i < processes.size(); ++i) {
    const uint64_t position = LargestPositionIn(processes[i], device, inode);
    if (position > largest) largest = position;
    if (processes.size() < kMaxProcessesLooked) AddChildren(processes[i], processes);
  }
  return largest;
}
