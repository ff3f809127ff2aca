// The envelope of every message that the library exchanges over the platform
// IPC, in its request form (49,280 bytes) and its reply form (49,284 bytes),
// and the names and ids of all endpoints. All words are 32-bit, in the host's
// byte order. Senders zero-fill an envelope before any field is set.
#ifndef COMMDIR_IPC_COMM_DIR_IPC_ENVELOPE_H_
#define COMMDIR_IPC_COMM_DIR_IPC_ENVELOPE_H_

#include <cstddef>
#include <cstring>

#include "commdir/comm_dir_types.h"
#include "platform/commdir_wire_words.h"
#include "platform/emw_gen_ipc.h"

namespace velmarosta {

constexpr int COMM_DIR_IPC_HEADER_SIZE = 72;
constexpr int COMM_DIR_IPC_NAME_SIZE = 32;        // reply_server_name, NUL included
constexpr int COMM_DIR_IPC_REQUEST_SIZE = 49280;  // request form
constexpr int COMM_DIR_IPC_REPLY_SIZE = 49284;    // reply form and reply record
constexpr int COMM_DIR_IPC_MAX_PAYLOAD = 49156;   // largest payload in either form
constexpr int COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET = 124;
constexpr int COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET = 128;

// The fields that both forms share, bytes 0 to 123.
struct COMM_DIR_IPC_ENVELOPE_HEAD {
  char ipc_header[COMM_DIR_IPC_HEADER_SIZE];  // the platform's; zero as sent
  UINT event_sem_id;                          // event the requesting thread waits on
  UINT replied;                               // 0 in a request; 1 in a reply
  UINT type;                                  // function id
  char reply_server_name[COMM_DIR_IPC_NAME_SIZE];
  UINT reply_buffer;  // the requester's word for its reply record
  UINT reply_buffer_size;
};

// Request form.
struct COMM_DIR_IPC_MULTI_REQUEST {
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  char payload[COMM_DIR_IPC_MAX_PAYLOAD];
};

// Reply form.
struct COMM_DIR_IPC_MULTI_REPLY {
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  RETCODE result;
  char payload[COMM_DIR_IPC_MAX_PAYLOAD];
};

static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, ipc_header) == 0, "");
static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, event_sem_id) == 72, "");
static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, replied) == 76, "");
static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type) == 80, "");
static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_server_name) == 84, "");
static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer) == 116, "");
static_assert(offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer_size) == 120, "");
static_assert(sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) == 124, "");
static_assert(offsetof(COMM_DIR_IPC_MULTI_REQUEST, payload) == COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET, "");
static_assert(sizeof(COMM_DIR_IPC_MULTI_REQUEST) == COMM_DIR_IPC_REQUEST_SIZE, "");
static_assert(offsetof(COMM_DIR_IPC_MULTI_REPLY, result) == 124, "");
static_assert(offsetof(COMM_DIR_IPC_MULTI_REPLY, payload) == COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, "");
static_assert(sizeof(COMM_DIR_IPC_MULTI_REPLY) == COMM_DIR_IPC_REPLY_SIZE, "");
static_assert(COMM_DIR_IPC_REQUEST_SIZE - COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET == COMM_DIR_IPC_MAX_PAYLOAD, "");
static_assert(COMM_DIR_IPC_REPLY_SIZE - COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET == COMM_DIR_IPC_MAX_PAYLOAD, "");
static_assert(GEN_IPC_HDR_LENGTH_OFFSET + 4 <= COMM_DIR_IPC_HEADER_SIZE, "");
static_assert(GEN_IPC_HDR_KIND_OFFSET + 4 <= COMM_DIR_IPC_HEADER_SIZE, "");

// Endpoint names. Server names carry the transport prefix, client names none.
constexpr char COMM_DIR_IPC_PREFIX[] = "utcp:";
constexpr char COMM_DIR_SERVICE_SERVER_NAME[] = "utcp:COMM_DIR_SRV";
constexpr char COMM_DIR_SERVICE_CLIENT_NAME[] = "COMM_DIR_CLT";
constexpr char COMM_DIR_REPLY_SERVER_PREFIX[] = "utcp:DIR_CS_";
constexpr int COMM_DIR_REPLY_SERVER_PROCESS_CHARS = 7;
constexpr char COMM_DIR_REPLY_CLIENT_NAME[] = "DIR_SC_";
constexpr char COMM_DIR_CALLBACK_SERVER_PREFIX[] = "DIR_SVR_";
constexpr int COMM_DIR_CALLBACK_SERVER_PROCESS_CHARS = 5;
constexpr char COMM_DIR_TASK_NAME_PREFIX[] = "comm_dir_thread";
constexpr int COMM_DIR_MAX_NAME_LENGTH = 32;  // longest endpoint name accepted

// Numeric endpoint arguments handed to the platform.
constexpr INT COMM_DIR_IPC_ID_SERVICE = 0x34090000;
constexpr INT COMM_DIR_IPC_ID_CALLBACK = 0x34090001;
constexpr INT COMM_DIR_IPC_ID_REPLY = 0x34098000;
constexpr ULONG COMM_DIR_IPC_STACK_SIZE = 0x24000;
constexpr int COMM_DIR_MAX_THREADS = 12;

// Reads the native 32-bit word at `offset` of a received message.
using commdir_wire::read_word;

// True when `name` is an endpoint name that create_client and start_server
// accept: not null, 1 to 32 characters.
inline bool valid_endpoint_name(const char* name) {
  return name != nullptr && name[0] != '\0' &&
         ::strnlen(name, COMM_DIR_MAX_NAME_LENGTH + 1) <= COMM_DIR_MAX_NAME_LENGTH;
}

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_IPC_ENVELOPE_H_
