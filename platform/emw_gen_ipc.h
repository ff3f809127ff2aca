// Generic message IPC of the device platform. Servers are named endpoints
// ("utcp:NAME"); a client connects to one and sends whole messages. The
// platform fills the first 72 bytes of every message in transit
// (gen_ipc_msghdr): the receiver finds the whole message's length as the
// 32-bit word at byte 4 and the kind given to emwGENIpcCallClient (0 request,
// 1 reply) as the word at byte 24.
#ifndef COMMDIR_PLATFORM_EMW_GEN_IPC_H_
#define COMMDIR_PLATFORM_EMW_GEN_IPC_H_

#include "commdir/comm_dir_types.h"

// A server's dispatch function: called on the server's receiving thread with
// the received message, a send buffer of at least 65,536 bytes and a size
// word. It copies what it keeps (the buffers live only during the call),
// does not write into the received message (the platform reuses its buffer,
// zeros included) and stores 0 in *size.
typedef RETCODE (*PGEN_IPC_DISPATCH)(char* rcvbuf, char* sndbuf, int* size);

// The platform's message header: the first 72 bytes of every message.
struct gen_ipc_msghdr {
  UINT words[18];
};
static_assert(sizeof(gen_ipc_msghdr) == 72, "message header size");

// Byte offsets of the two header words that receivers rely on.
constexpr int GEN_IPC_HDR_LENGTH_OFFSET = 4;
constexpr int GEN_IPC_HDR_KIND_OFFSET = 24;
// Kinds of message, the second argument of emwGENIpcCallClient.
constexpr int GEN_IPC_KIND_REQUEST = 0;
constexpr int GEN_IPC_KIND_REPLY = 1;
// emwGENIpcRequestAdmin request that stops the named server.
constexpr int GEN_IPC_ADMIN_STOP = 3;

extern "C" {

// Starts the server `name` (1 to 32 characters with the "utcp:" prefix).
// After 0, every message sent to the name is handed to `dispatch` on a
// platform thread.
RETCODE emwGENIpcStartServer(const char* name, INT server_id, ULONG stack_size, PGEN_IPC_DISPATCH dispatch);

// Connects the client `client_name` to the server `server_name`; the handle
// is written to the first 32-bit word at `clnt`.
RETCODE emwGENIpcCreateClient(const char* client_name, const char* server_name, INT arg3, INT arg4, INT client_id,
                              void* clnt);

// Sends `length` bytes of `message` over the client `handle`, with `kind`
// (GEN_IPC_KIND_*) in the header. Returns 0 once the message is handed to the
// server, without waiting for any answer; the message buffer may be freed as
// soon as it returns. The library passes a null receive buffer, 0 and null.
// `timeout` bounds, in milliseconds, the wait for room in the server's queue
// (0 only tries); the library's -1, like any value above INT_MAX, waits
// without limit.
RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT arg3, long arg4, char* message, INT length, char* rcvbuf,
                            INT rcvsize, INT* rcvlen, ULONG timeout);

RETCODE emwGENIpcDestroyClient(UINT handle);

// Administrative requests on a server; GEN_IPC_ADMIN_STOP stops it.
RETCODE emwGENIpcRequestAdmin(const char* server_name, INT request);

}  // extern "C"

#endif  // COMMDIR_PLATFORM_EMW_GEN_IPC_H_
