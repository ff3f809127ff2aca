// The socket files that this process bound and has not removed, so that a
// process leaves none behind when it ends without stopping its servers: the
// library never stops them, and an application returns from main with its
// endpoints running. At exit() (and the return from main) the process
// removes each file that is still the one it bound; comm-dir, which ends
// with _exit or on a signal, calls commdir_posix_ipc_remove_own_files.
//
// A file is the process's own while it has the device and inode that the
// bind gave it: the process's socket stays open until then, so no other
// file can come by that inode meanwhile, and a file that another process
// bound at the path (after ours was removed) is never taken for ours. The
// files of a process that crashed stay (and so does one whose bind a signal
// interrupts before it is noted); the next process that binds the name
// finds them stale and replaces them.
//
// Before its file goes, a socket is shut down. Once the file is gone the
// name is free, and another process may bind it while this one is still
// ending; a sender whose socket is still connected to ours (the daemon
// keeps connections to reply servers) would put that process's replies
// into our queue, where nobody reads them. Shut down, ours refuses them
// (EPIPE), and the sender connects anew by the name, to the new holder.
//
// Async-signal-safe: a fixed table of slots, claimed and released by atomic
// operations, that the removal reads without a lock. A slot names the
// process whose file it holds, so a forked child, which has a copy of its
// parent's table, never removes its parent's files, and reuses those slots.
// At most kMostFiles files are noted at once (a process of the library has
// two); beyond, a file is still removed when its server stops, not at exit.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"

namespace commdir_posix {
namespace {

constexpr std::size_t kMostFiles = 64;

struct OwnFile {
  // 0: free; a pid: the file of that process; minus a pid: being written
  // by that process.
  std::atomic<long> state{0};
  char path[sizeof(sockaddr_un{}.sun_path)];
  dev_t device;
  ino_t inode;
  int fd;  // the bound socket, open while the slot names the file
};

OwnFile g_files[kMostFiles];

bool Names(const OwnFile& file, const std::string& path, dev_t device, ino_t inode) {
  return file.device == device && file.inode == inode && path == file.path;
}

// True when the file at `path` is the one with `device` and `inode`.
bool StillOurs(const char* path, dev_t device, ino_t inode) {
  struct stat st;
  return ::lstat(path, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

void RemoveAll() {
  const long self = ::getpid();
  for (const OwnFile& file : g_files) {
    if (file.state.load(std::memory_order_acquire) == self && StillOurs(file.path, file.device, file.inode)) {
      ::shutdown(file.fd, SHUT_RDWR);
      ::unlink(file.path);
    }
  }
}

}  // namespace

void NoteOwnFile(const std::string& path, dev_t device, ino_t inode, int fd) {
  static std::once_flag exit_hook;
  std::call_once(exit_hook, [] { std::atexit(&RemoveAll); });
  const long self = ::getpid();
  if (path.size() >= sizeof(OwnFile{}.path)) return;
  for (const OwnFile& file : g_files) {
    if (file.state.load(std::memory_order_acquire) == self && Names(file, path, device, inode)) return;
  }
  for (OwnFile& file : g_files) {
    long seen = file.state.load(std::memory_order_relaxed);
    // This process's slots are in use; another pid's can only be an
    // ancestor's copy, made before a fork.
    if (seen == self || seen == -self || !file.state.compare_exchange_strong(seen, -self)) continue;
    std::memcpy(file.path, path.c_str(), path.size() + 1);
    file.device = device;
    file.inode = inode;
    file.fd = fd;
    file.state.store(self, std::memory_order_release);
    return;
  }
}

void RemoveOwnFile(const std::string& path, dev_t device, ino_t inode) {
  const long self = ::getpid();
  for (OwnFile& file : g_files) {
    if (file.state.load(std::memory_order_acquire) == self && Names(file, path, device, inode)) {
      file.state.store(0, std::memory_order_release);
    }
  }
  if (StillOurs(path.c_str(), device, inode)) ::unlink(path.c_str());
}

}  // namespace commdir_posix

extern "C" void commdir_posix_ipc_remove_own_files(void) { commdir_posix::RemoveAll(); }
