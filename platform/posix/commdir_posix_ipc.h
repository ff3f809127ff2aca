// What the POSIX platform offers a server beyond the device platform's
// message IPC: the kernel-checked credentials of the message being
// dispatched, how much of a message travels, a send that need not look
// through a message's zero tail, servers that take messages of every user,
// clients that reach only the endpoints of one user, the folder of the
// endpoints, and a process's own endpoint files. The directory service
// daemon uses them to learn which process and user sent a request, and to
// send its replies; comm-dir to say where it looks for the daemon, why it
// cannot serve its endpoints, and to leave no file behind. libcommdir
// itself never calls them, so that it runs on any platform.
#ifndef COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_IPC_H_
#define COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_IPC_H_

#include <sys/types.h>

#include <cstddef>

#include "platform/emw_gen_ipc.h"

extern "C" {

// Starts a server like emwGENIpcStartServer, except that its dispatch
// function gets the messages of every sender uid, not only of this process's
// euid, root and COMM_DIR_SERVICE_USER: the dispatch decides whom it
// serves, by commdir_posix_ipc_sender. The other checks of a datagram stay.
RETCODE commdir_posix_ipc_start_open_server(const char* name, INT server_id, ULONG stack_size,
                                            PGEN_IPC_DISPATCH dispatch);

// The credentials that the kernel attached to the message that the calling
// thread is dispatching: valid only on a server's receiving thread, inside
// its dispatch function. Returns 0 and fills the non-null arguments, or
// ENOENT when the calling thread is not dispatching a message.
RETCODE commdir_posix_ipc_sender(uid_t* uid, gid_t* gid, pid_t* pid);

// How many bytes of the message that the calling thread is dispatching came
// in its datagram; the rest, up to its length word, are zeros that the
// platform restored, so a check that they are zero can stop there. Valid
// where commdir_posix_ipc_sender is. Returns 0 and sets *bytes, or ENOENT.
RETCODE commdir_posix_ipc_received(std::size_t* bytes);

// How many bytes of a message of `length` bytes its datagram carries: the
// message without its trailing zero bytes, never less than the platform's
// header (the receiver restores the rest). A sender that keeps a message
// to send it later need keep only these.
std::size_t commdir_posix_ipc_datagram_length(const char* message, std::size_t length);

// Sends like emwGENIpcCallClient with no reply buffer, for a sender that
// knows where its message's zeros begin: the bytes from `zero_from` to
// `length` must all be zero, and the platform then looks for trailing zeros
// only before `zero_from`, where emwGENIpcCallClient reads the whole
// message. The receiver gets the same message. Bytes from `zero_from` on
// that are not zero arrive as zeros: the promise is the caller's to keep.
RETCODE commdir_posix_ipc_send_zero_tail(UINT handle, INT kind, char* message, INT length, std::size_t zero_from,
                                         ULONG timeout);

// Creates a client like emwGENIpcCreateClient, that connects only to a
// server whose socket file belongs to `owner` or root, whoever else this
// process trusts: for answering a request at the endpoint that it names,
// where `owner` is the uid that the kernel reported for the request. A
// server of anyone else gets nothing: EACCES, with a trace line. (A name
// that another user bound, in a folder shared with them, is theirs.) Nor
// does a server of this process: its socket file, by device and inode,
// under any name (a hard link), is refused alike. A server of `owner` whose
// socket file does not let this process write to it gives EPERM.
RETCODE commdir_posix_ipc_create_client_of(const char* client_name, const char* server_name, uid_t owner, void* clnt);

// The socket of the client `handle`, for poll: POLLOUT says that its
// server's queue may have room, so that one thread can wait for room at many
// servers at once. Valid while the client lives; the caller only polls it.
// -1 for a handle that names no live client.
int commdir_posix_ipc_client_fd(UINT handle);

// Whether a server runs at the endpoint `server_name` ("utcp:NAME") in this
// process's folder, asked by connecting and closing again: nothing is sent,
// no owner is checked, and the folder is neither checked nor created (see
// commdir_posix_ipc_folder). 0 when a server takes connections there;
// ENOENT when no file has the name; ECONNREFUSED when a socket file that no
// server holds has it (left by a process that ended); EINVAL for a bad
// name, ENAMETOOLONG, or what else connect gave (EACCES: the file or its
// folder does not let this process in).
RETCODE commdir_posix_ipc_probe(const char* server_name);

// Whether `name` is an endpoint name that this platform serves and reaches:
// "utcp:" and 1 to 27 characters of [A-Za-z0-9_.-], but neither "." nor
// "..". A server that is told a name to answer at checks it by this rule,
// the one its clients and servers apply.
bool commdir_posix_ipc_valid_name(const char* name);

// The folder of this process's endpoints, chosen and checked as every
// server and client of this process does it (a missing folder is created),
// written into `folder` (`folder_size` bytes with the NUL). Returns 0; or
// EACCES, with why in `problem` (one line, NUL-terminated, cut to
// `problem_size`); ENAMETOOLONG when the path does not fit `folder`; EINVAL
// for a null or empty buffer. Writes no trace line: the caller says it.
RETCODE commdir_posix_ipc_folder(char* folder, std::size_t folder_size, char* problem, std::size_t problem_size);

// Removes the socket files of this process's servers that are still its
// own (the device and inode that its bind gave them), and no other: for a
// process that ends by _exit or on a signal without stopping its servers.
// The platform does it itself at exit() and at the return from main; files
// of a process that crashed are replaced by the next process that binds
// their names. Async-signal-safe.
void commdir_posix_ipc_remove_own_files(void);

// Why the last server of this process that failed to start did not, in one
// line for people ("cannot serve utcp:NAME: ..."): for a name that is held,
// whose socket or file holds it (the pid when the kernel shows it) and what
// to do. 0 with the line in `text` (cut to `size` bytes with the NUL),
// ENOENT when no start failed, EINVAL for a null or empty buffer.
RETCODE commdir_posix_ipc_start_failure(char* text, std::size_t size);

}  // extern "C"

#endif  // COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_IPC_H_
