// A disk image served read-only over NBD from the descriptor that was checked, so that
// libguestfs reads it without ever opening the image, or any file it names, by a name. The server
// (qemu-nbd) is a fenced child (FencedChild.h): it inherits the image's descriptor and a listening
// socket in a private 0700 folder, decodes the format qemu-img reported with backing files turned
// off, and can open no other file even if the image's bytes changed after the check. It ends
// with the job, and on every path with this object, which removes its folder.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

class NbdExport {
 public:
  // Serves the image open at `fd` as `format` once the server answers. Null with `error` naming
  // the cause when it does not (the image cannot be read as that format, or names other files).
  static std::unique_ptr<NbdExport> Start(int fd, const std::string& format, std::string& error);
  ~NbdExport();
  NbdExport(const NbdExport&) = delete;
  NbdExport& operator=(const NbdExport&) = delete;

  // The listening socket's path: libguestfs's server "unix:<path>", export raw.
  const std::string& Socket() const { return m_socket; }
  pid_t Pid() const { return m_pid; }

  // Removes the socket and its folder once the reader has connected: the server goes on serving
  // that connection, and a job that is killed later leaves nothing behind in the file system.
  void Unpublish();

 private:
  NbdExport() = default;
  std::string m_folder;
  std::string m_socket;
  pid_t m_pid = -1;
};
