// The socket files of a process's servers: how a process comes to endpoint
// names that are its own (posix_process_name.cc), which files it bound and
// removes when it ends (posix_own_files.cc), and who holds a name that it
// cannot serve (posix_endpoint_holder.cc). The message IPC (posix_servers.cc)
// binds the sockets.
#ifndef COMMDIR_PLATFORM_POSIX_POSIX_ENDPOINT_FILES_H_
#define COMMDIR_PLATFORM_POSIX_POSIX_ENDPOINT_FILES_H_

#include <sys/types.h>

#include <string>

#include "commdir/comm_dir_types.h"

namespace commdir_posix {

// A socket that this process bound at the file of a server name.
struct BoundSocket {
  int fd = -1;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

// Binds a new socket at the file of the server `name` ("utcp:NAME") in this
// process's folder, as a server's start binds it (a stale file replaced, a
// live socket or a file that is not a socket never touched), and notes the
// file as this process's own. 0; EADDRINUSE when the name is held; EACCES
// when the folder is refused (not traced: the start of the server says
// it); or what the socket calls gave.
RETCODE BindServerSocket(const char* name, BoundSocket* bound);

// Closes a socket of BindServerSocket and removes its file if it is still
// the one bound.
void UnbindServerSocket(BoundSocket* bound);

// The socket that the choice of this process's name bound for the server
// file `path`, handed over once (the server's start takes it); -1 when none
// was bound for it.
int TakeReservedSocket(const std::string& path);

// This process bound the socket `fd` at the file `path` (device, inode as
// bound); noting it again does nothing. The socket is shut down and the file
// removed when the process ends normally, by exit() or the return from main,
// unless RemoveOwnFile came first. `fd` stays open until then.
void NoteOwnFile(const std::string& path, dev_t device, ino_t inode, int fd);

// Removes the file of NoteOwnFile if it is still the one bound (a file that
// another process bound at the path since stays), and forgets it.
void RemoveOwnFile(const std::string& path, dev_t device, ino_t inode);

// The start of the server `name` at the file `path` failed with `rc`. Keeps
// why for commdir_posix_ipc_start_failure and, when the name is held
// (EADDRINUSE), writes one trace line that says by whom and what to do.
void NoteStartFailure(const char* name, const std::string& path, RETCODE rc);

}  // namespace commdir_posix

#endif  // COMMDIR_PLATFORM_POSIX_POSIX_ENDPOINT_FILES_H_
