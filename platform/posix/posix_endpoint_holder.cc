// Why a server of this process did not start, and for a name that is held,
// by whom: the process (pid and name) whose socket is bound at its file,
// when the kernel lets this user see it (/proc/net/unix names the socket's
// inode, /proc/PID/fd the processes that have it open; another user's are
// hidden unless this is root), else the file's owner. Looked up only when a
// start fails, never on the way of a message.
//
// Thread-safe: mu_ guards the last failure.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>

#include "platform/commdir_thread_safety.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {
namespace {

// The inode of a live socket bound at `path`, as /proc/net/unix lists the
// sockets of this network namespace ("Num RefCount Protocol Flags Type St
// Inode Path"); 0 when none is listed.
unsigned long SocketInode(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  while (std::getline(table, line)) {
    const std::size_t at = line.size() - std::min(line.size(), path.size());
    if (at == 0 || line[at - 1] != ' ' || line.compare(at, std::string::npos, path) != 0) continue;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %*s %*s %*s %lu", &inode) == 1) return inode;
  }
  return 0;
}

// True when `pid` has the socket `target` ("socket:[INODE]") open.
bool HasOpen(const char* pid, const std::string& target) {
  const std::string fds = std::string("/proc/") + pid + "/fd";
  DIR* open_files = ::opendir(fds.c_str());
  if (open_files == nullptr) return false;  // gone, or another user's
  bool found = false;
  char link[64];
  for (dirent* fd; !found && (fd = ::readdir(open_files)) != nullptr;) {
    const ssize_t n = ::readlinkat(::dirfd(open_files), fd->d_name, link, sizeof link);
    found = n > 0 && target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0;
  }
  ::closedir(open_files);
  return found;
}

// A process that has the socket `inode` open, or 0.
long ProcessWithSocket(unsigned long inode) {
  if (inode == 0) return 0;
  const std::string target = "socket:[" + std::to_string(inode) + "]";
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return 0;
  long found = 0;
  for (dirent* entry; found == 0 && (entry = ::readdir(processes)) != nullptr;) {
    const long pid = std::atol(entry->d_name);
    if (pid > 0 && HasOpen(entry->d_name, target)) found = pid;
  }
  ::closedir(processes);
  return found;
}

// The name of process `pid`, printable: a process chooses its own name.
std::string NameOf(long pid) {
  std::string name;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
  for (char& c : name) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return name;
}

// Who holds the file `path`, and what to do; "" when it is gone.
std::string Holder(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "";
  const std::string owner = "uid " + std::to_string(st.st_uid);
  if (!S_ISSOCK(st.st_mode)) return path + " is a file of " + owner + " that is not a socket; remove it";
  const unsigned long inode = SocketInode(path);
  if (inode == 0) return path + " is the socket file of " + owner + ", whose process has ended; have it removed";
  const long pid = ProcessWithSocket(inode);
  if (pid == 0) {
    return path + " is the live socket of a process of " + owner +
           " that this user cannot see; end that process, or use another folder (COMM_DIR_IPC_DIR)";
  }
  return path + " is the socket of pid " + std::to_string(pid) + " (" + NameOf(pid) + "), " + owner +
         "; end that process, or use another folder (COMM_DIR_IPC_DIR)";
}

commdir_sync::mutex g_mu;
std::string g_last_failure GUARDED_BY(g_mu);

}  // namespace

void NoteStartFailure(const char* name, const std::string& path, RETCODE rc) {
  try {
    const std::string held = rc == EADDRINUSE ? Holder(path) : "";
    if (!held.empty()) POSIX_PLATFORM_TRACE("ipc %s cannot be served: %s\n", name, held.c_str());
    const std::string why = std::string("cannot serve ") + name + ": " + (held.empty() ? std::strerror(rc) : held);
    commdir_sync::lock_guard lock(g_mu);
    g_last_failure = why;
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace commdir_posix

extern "C" RETCODE commdir_posix_ipc_start_failure(char* text, std::size_t size) {
  if (text == nullptr || size == 0) return EINVAL;
  commdir_sync::lock_guard lock(commdir_posix::g_mu);
  if (commdir_posix::g_last_failure.empty()) return ENOENT;
  std::snprintf(text, size, "%s", commdir_posix::g_last_failure.c_str());
  return 0;
}
