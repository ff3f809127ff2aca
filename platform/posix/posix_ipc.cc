// The generic message IPC of the device platform over AF_UNIX datagram
// sockets. docs/ipc.md states the convention for programs in other languages.
//
// A server "utcp:NAME" is a SOCK_DGRAM socket bound at FOLDER/NAME, where
// FOLDER is $COMM_DIR_IPC_DIR, else $XDG_RUNTIME_DIR/commdir or
// /tmp/commdir-<euid> (MakeSetting), with one receiving thread that hands every
// accepted message to the server's dispatch function. A client is a socket
// connected to that path; one message is one datagram. Whom a process
// trusts, and how the folder and the owners of sockets are checked, is
// under "the folder and whom this process trusts" below.
//
// Speed: a client handle borrows an already connected (and checked) socket
// from a pool keyed by the server's path, so creating and destroying a
// client per message costs no system call; a sender leaves the trailing zero
// bytes of a message out of the datagram and the receiver restores them; the
// receiving thread reuses one buffer for every message and zeroes what a
// datagram wrote once its dispatch is over, so that restoring costs as much
// as the datagram, not the message, and no message (a bind password, say)
// lingers in it; the sender's credentials come with recvmsg. Sending a
// message is one sendmsg, receiving one recvmsg.
//
// A dispatch function must not write into the message it is handed, nor
// keep it (the library's copy what they keep): the zeros behind it are
// reused, and the message is zeroed when the dispatch returns.
//
// Every call returns 0 or an errno value (EINVAL for a bad argument or a
// handle that names no live client, ENOENT or ECONNREFUSED when no server
// runs at a name, EADDRINUSE when one does, EMSGSIZE, EACCES for a folder
// that fails its checks or a server of a user this process does not trust,
// EPERM for a server whose socket file does not let this process write to
// it, ENAMETOOLONG).
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_ipc_parts.h"

extern "C" {

// The server id is not used: the name alone identifies an endpoint.
RETCODE emwGENIpcStartServer(const char* name, INT /*server_id*/, ULONG stack_size, PGEN_IPC_DISPATCH dispatch) {
  return commdir_posix::StartServer(name, stack_size, dispatch, /*any_uid=*/false);
}

RETCODE commdir_posix_ipc_start_open_server(const char* name, INT /*server_id*/, ULONG stack_size,
                                            PGEN_IPC_DISPATCH dispatch) {
  return commdir_posix::StartServer(name, stack_size, dispatch, /*any_uid=*/true);
}

RETCODE commdir_posix_ipc_received(std::size_t* bytes) {
  if (commdir_posix::t_dispatching == nullptr || bytes == nullptr) return ENOENT;
  *bytes = commdir_posix::t_dispatching_received;
  return 0;
}

std::size_t commdir_posix_ipc_datagram_length(const char* message, std::size_t length) {
  if (message == nullptr || length < commdir_posix::kMinDatagram) return length;
  return commdir_posix::TrimmedLength(message, length);
}

RETCODE commdir_posix_ipc_sender(uid_t* uid, gid_t* gid, pid_t* pid) {
  const ucred* sender = commdir_posix::t_dispatching;
  if (sender == nullptr) return ENOENT;
  if (uid != nullptr) *uid = sender->uid;
  if (gid != nullptr) *gid = sender->gid;
  if (pid != nullptr) *pid = sender->pid;
  return 0;
}

// The client name, the two words after it and the client id are not used;
// the client name is checked like a name all the same (1 to 32 characters).
RETCODE emwGENIpcCreateClient(const char* client_name, const char* server_name, INT /*arg3*/, INT /*arg4*/,
                              INT /*client_id*/, void* clnt) {
  return commdir_posix::CreateClient(client_name, server_name, nullptr, clnt);
}

RETCODE commdir_posix_ipc_create_client_of(const char* client_name, const char* server_name, uid_t owner, void* clnt) {
  const commdir_posix::TrustedUids owners{{owner, 0, 0}, /*not_own_servers=*/true};
  return commdir_posix::CreateClient(client_name, server_name, &owners, clnt);
}

RETCODE commdir_posix_ipc_folder(char* folder, std::size_t folder_size, char* problem, std::size_t problem_size) {
  return commdir_posix::DescribeFolder(folder, folder_size, problem, problem_size);
}

// Sends at once and blocks only while the server's queue is full; the
// time-out, the two words after the kind and the receive arguments are not
// used (nothing is ever read back).
RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT /*arg3*/, long /*arg4*/, char* message, INT length,
                            char* /*rcvbuf*/, INT /*rcvsize*/, INT* /*rcvlen*/, ULONG timeout) {
  return commdir_posix::SendMessage(handle, kind, message, length, static_cast<std::size_t>(length), timeout);
}

RETCODE commdir_posix_ipc_send_zero_tail(UINT handle, INT kind, char* message, INT length, std::size_t zero_from,
                                         ULONG timeout) {
  return commdir_posix::SendMessage(handle, kind, message, length, zero_from, timeout);
}

int commdir_posix_ipc_client_fd(UINT handle) { return commdir_posix::ClientFd(handle); }

RETCODE emwGENIpcDestroyClient(UINT handle) { return commdir_posix::DestroyClient(handle); }

RETCODE commdir_posix_ipc_probe(const char* server_name) { return commdir_posix::ProbeServer(server_name); }

bool commdir_posix_ipc_valid_name(const char* name) { return commdir_posix::EndpointName(name) != nullptr; }

RETCODE emwGENIpcRequestAdmin(const char* server_name, INT request) {
  return commdir_posix::RequestAdmin(server_name, request);
}

}  // extern "C"
