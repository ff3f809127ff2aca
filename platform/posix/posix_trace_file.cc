// Opening the trace file that COMM_DIR_TRACE names. A daemon that runs as
// root may be told a path in a folder that others may write (a shared
// folder): whatever another user put at that name must not become the
// daemon's trace file. So the name is opened without following a symbolic
// link, without waiting for a reader of a FIFO and without taking a
// terminal, created mode 0600 when missing, and what was opened is kept
// only when it is a regular file of this process's euid, with one name,
// that neither group nor others may write. Anything else is closed again,
// and the caller says why.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix/posix_internal.h"

namespace commdir_posix {
namespace {

// Why the trace file open as `fd` is refused, or "".
std::string TraceFileProblem(int fd) {
  struct stat st;
  char why[128] = "";
  if (::fstat(fd, &st) != 0) {
    std::snprintf(why, sizeof why, "%s", std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    std::snprintf(why, sizeof why, "it is not a regular file");
  } else if (st.st_uid != ::geteuid()) {
    std::snprintf(why, sizeof why, "it belongs to uid %ld, not to this process's uid %ld", static_cast<long>(st.st_uid),
                  static_cast<long>(::geteuid()));
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(why, sizeof why, "group or others may write it (mode %04o)",
                  static_cast<unsigned>(st.st_mode & 07777));
  } else if (st.st_nlink != 1) {
    std::snprintf(why, sizeof why, "it has %lu names (hard links)", static_cast<unsigned long>(st.st_nlink));
  }
  return why;
}

}  // namespace

int OpenTraceFile(const std::string& path, std::string* refused) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) {
    struct stat st;  // where fs.protected_symlinks is set, the kernel refuses a link with EACCES
    const bool link = errno == ELOOP || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    *refused = link ? "it is a symbolic link" : std::strerror(errno);
    return -1;
  }
  *refused = TraceFileProblem(fd);
  if (refused->empty()) return fd;
  ::close(fd);
  return -1;
}

}  // namespace commdir_posix
