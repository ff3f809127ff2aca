// Checks one received request envelope and copies out what the daemon
// serves: the routing fields for the reply, the function id, the operation id
// and the request record. Nothing here talks to LDAP or to the platform, so
// that the whole receive path can be tested byte by byte.
//
// A message is read the way sd-bus reads one: the envelope head only after
// the length says it is there, the record only after the length says the
// whole record is there, and each string only after its NUL is found inside
// its field. Sizes are compared by subtraction from the received length, so
// no sum can overflow.
//
// Three outcomes:
//   kDrop    the message cannot be answered (too short to carry the routing
//            fields, not a request, or a reply server name that is not one);
//            the caller traces `drop_reason` and sends nothing.
//   kRefuse  the message can be answered but not served; the caller answers
//            with `refusal` at once.
//   kServe   a well-formed request.
#ifndef COMMDIR_SERVICE_COMM_DIR_REQUEST_DECODER_H_
#define COMMDIR_SERVICE_COMM_DIR_REQUEST_DECODER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstring>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_result_codes.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "service/comm_dir_service_ipc.h"

namespace velmarosta {

enum class comm_dir_verdict { kDrop, kRefuse, kServe };

// Every request record, over the bytes that were received.
union COMM_DIR_REQUEST_RECORD {
  char bytes[sizeof(COMM_DIR_SEARCH_REQUEST)];  // the largest record
  COMM_DIR_CHECK_CONNECTION_REQUEST check_connection;
  COMM_DIR_START_OPERATION_REQUEST start_operation;
  COMM_DIR_SEARCH_REQUEST search;
  COMM_DIR_OPERATION_REQUEST operation;
  COMM_DIR_VALUE_COUNT_REQUEST value_count;
  COMM_DIR_VALUE_REQUEST value;
  COMM_DIR_STATUS_REQUEST status;
};

// Who sent a request, as the kernel vouches for it; pid 0 when not known.
struct comm_dir_sender {
  uid_t uid = 0;
  gid_t gid = 0;
  pid_t pid = 0;
};

// Clears a bind password so that no compiler can leave the clearing out.
inline void comm_dir_wipe_password(COMM_DIR_BIND_INFO& bind) { explicit_bzero(bind.password, sizeof bind.password); }

struct comm_dir_request {
  comm_dir_request() = default;
  comm_dir_request(const comm_dir_request&) = delete;
  comm_dir_request& operator=(const comm_dir_request&) = delete;
  // The password of a connection test or an operation's start leaves memory
  // with its request (a record of another id has no password to clear).
  ~comm_dir_request() {
    if (function_id == COMM_DIR_FUNC_CHECK_CONNECTION) comm_dir_wipe_password(record.check_connection.info.bind);
    if (function_id == COMM_DIR_FUNC_START_OPERATION) comm_dir_wipe_password(record.start_operation.bind);
  }

  COMM_DIR_IPC_ENVELOPE_HEAD route;   // as received, ipc_header cleared
  int function_id = -1;               // 0 to 14, or COMM_DIR_FUNC_DAEMON_STATUS
  UINT operation_id = 0;              // ids 2 to 14
  RETCODE refusal = 0;                // kRefuse only
  const char* drop_reason = nullptr;  // kDrop only
  comm_dir_sender sender;             // set by the receiving thread, not by the decoder
  COMM_DIR_REQUEST_RECORD record;     // zero beyond what was received
};

// True for the requests that belong to an operation: all of the library's
// but the connection test and start_operation (a search names its operation
// in its condition).
inline bool comm_dir_names_operation(int function_id) {
  return function_id >= COMM_DIR_FUNC_SEARCH && function_id < COMM_DIR_FUNC_COUNT;
}

// True for the function ids that the daemon serves: the library's 0 to 14
// and its own status request.
inline bool comm_dir_known_function(UINT function_id) {
  return function_id < static_cast<UINT>(COMM_DIR_FUNC_COUNT) || function_id == COMM_DIR_FUNC_DAEMON_STATUS;
}

// Size of the request record of a known `function_id`.
std::size_t comm_dir_request_size(int function_id);

// Decodes the `received` bytes at `message` (the whole message as the
// platform delivered it; `received` is its length word) into `out`. The
// bytes from `travelled` on are zeros that the platform restored behind the
// datagram, so the check for zeros behind the record stops there.
comm_dir_verdict comm_dir_decode_request(const char* message, std::size_t received, comm_dir_request* out,
                                         std::size_t travelled = static_cast<std::size_t>(-1));

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_REQUEST_DECODER_H_
