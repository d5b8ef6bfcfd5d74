#include "host/NbdExport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "host/FencedChild.h"
#include "hypervisor/UniqueFd.h"

namespace {

constexpr int kReadyMilliseconds = 60 * 1000;
constexpr size_t kMaxErrorOutput = 4096;

UniqueFd UnixSocket() { return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

bool Address(const std::string& path, struct sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether the server greets a client ("NBDMAGIC"), which it does only once it has opened the image.
bool Greets(const std::string& path) {
  struct sockaddr_un address;
  UniqueFd client = UnixSocket();
  if (!client.valid() || !Address(path, address) ||
      connect(client.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  char magic[8];
  size_t got = 0;
  while (got < sizeof magic) {
    struct pollfd watched = {client.get(), POLLIN, 0};
    const int ready = poll(&watched, 1, kReadyMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t part = read(client.get(), magic + got, sizeof magic - got);
    if (part <= 0) return false;
    got += static_cast<size_t>(part);
  }
  return memcmp(magic, "NBDMAGIC", sizeof magic) == 0;
}

}  // namespace

std::unique_ptr<NbdExport> NbdExport::Start(int fd, const std::string& format, std::string& error) {
  std::unique_ptr<NbdExport> server(new NbdExport());
  const char* base = getenv("TMPDIR");
  std::string folder = std::string(base != nullptr && base[0] == '/' && strlen(base) < 60 ? base : "/tmp") +
                       "/zqrestore-image-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {  // mode 0700, a new folder of ours
    error = "cannot make a private folder for the image's server: " + std::string(strerror(errno));
    return nullptr;
  }
  server->m_folder = folder;
  const std::string socketPath = folder + "/nbd.sock";
  struct sockaddr_un address;
  UniqueFd listening = UnixSocket();
  if (!listening.valid() || !Address(socketPath, address) ||
      bind(listening.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
      listen(listening.get(), 4) != 0) {
    error = "cannot listen for the image's reader at " + socketPath + ": " + strerror(errno);
    return nullptr;
  }
  server->m_socket = socketPath;
  UniqueFd errors(memfd_create("qemu-nbd-errors", MFD_CLOEXEC));
  if (!errors.valid()) {
    error = std::string("cannot start the image's server: ") + strerror(errno);
    return nullptr;
  }
  // The format is the one qemu-img reported; a backing file is never opened, whatever the image
  // holds now. The file is the inherited descriptor 4 (3 is the listening socket).
  const nlohmann::json image = {{"driver", format},
                                {"backing", nullptr},
                                {"file", {{"driver", "file"}, {"filename", "/proc/self/fd/4"}}}};
  FencedChildOptions options;
  options.program = "/usr/bin/qemu-nbd";
  options.args = {"--read-only", "--persistent", "--shared=1", "json:" + image.dump()};
  options.inherited = {listening.get(), fd};
  options.readableFd = fd;
  options.socketActivation = true;
  options.stderrFd = errors.get();
  server->m_pid = StartFencedChild(options, error);
  if (server->m_pid < 0) return nullptr;
  listening.Reset();  // the server's alone now: a connection waiting for it fails when it ends
  if (!Greets(socketPath)) {
    kill(server->m_pid, SIGKILL);
    while (waitpid(server->m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    server->m_pid = -1;
    char text[kMaxErrorOutput] = {};
    const ssize_t got = pread(errors.get(), text, sizeof text - 1, 0);
    error = "qemu-nbd cannot serve the image: " + FirstLineOf(got > 0 ? std::string(text, static_cast<size_t>(got)) : "");
    return nullptr;
  }
  return server;
}

void NbdExport::Unpublish() {
  if (!m_socket.empty()) unlink(m_socket.c_str());
  if (!m_folder.empty()) rmdir(m_folder.c_str());
  m_socket.clear();
  m_folder.clear();
}

NbdExport::~NbdExport() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  Unpublish();
}
