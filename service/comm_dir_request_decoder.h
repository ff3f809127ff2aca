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

  COMM_DIR_IPC_ENVELOPE_HEAD route;  // as received, ipc_header cleared
  int function_id = -1;              // 0 to 14, or COMM_DIR_FUNC_DAEMON_STATUS
  UINT operation_id = 0;             // ids 2 to 14
  RETCODE refusal = 0;               // kRefuse only
  const char* drop_reason = nullptr; // kDrop only
  comm_dir_sender sender;            // set by the receiving thread, not by the decoder
  COMM_DIR_REQUEST_RECORD record;   // zero beyond what was received
};

namespace decoder_internal {

// Request record size by function id.
constexpr std::size_t kRequestSize[COMM_DIR_FUNC_COUNT] = {
    sizeof(COMM_DIR_CHECK_CONNECTION_REQUEST), sizeof(COMM_DIR_START_OPERATION_REQUEST),
    sizeof(COMM_DIR_SEARCH_REQUEST),           sizeof(COMM_DIR_OPERATION_REQUEST),
    sizeof(COMM_DIR_OPERATION_REQUEST),        sizeof(COMM_DIR_VALUE_COUNT_REQUEST),
    sizeof(COMM_DIR_VALUE_REQUEST),            sizeof(COMM_DIR_VALUE_REQUEST),
    sizeof(COMM_DIR_VALUE_COUNT_REQUEST),      sizeof(COMM_DIR_VALUE_REQUEST),
    sizeof(COMM_DIR_VALUE_REQUEST),            sizeof(COMM_DIR_OPERATION_REQUEST),
    sizeof(COMM_DIR_OPERATION_REQUEST),        sizeof(COMM_DIR_OPERATION_REQUEST),
    sizeof(COMM_DIR_OPERATION_REQUEST)};

constexpr std::size_t kHeadSize = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
constexpr std::size_t kPrefixLength = sizeof(COMM_DIR_IPC_PREFIX) - 1;

template <std::size_t N>
bool terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

inline bool endpoint_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-';
}

// True for a name without the "utcp:" prefix that makes a server name the
// platform accepts once the prefix is put in front: 1 or more characters of
// [A-Za-z0-9_.-], 32 in all with the prefix.
inline bool valid_server_suffix(const char* name) {
  std::size_t length = ::strnlen(name, COMM_DIR_MAX_NAME_LENGTH + 1);
  if (length == 0 || length > COMM_DIR_MAX_NAME_LENGTH - kPrefixLength) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (!endpoint_char(name[i])) return false;
  }
  return true;
}

// True for the names (without "utcp:") of the daemon's own endpoints. A
// requester may not name them as its reply server or callback endpoint: a
// daemon that runs as root owns them, so the check of an endpoint's owner
// would let the daemon send into itself, where a forged answer to one of
// its callbacks could wait for a word to match.
inline bool names_daemon_endpoint(const char* suffix) {
  return std::strcmp(suffix, COMM_DIR_SERVICE_SERVER_NAME + kPrefixLength) == 0 ||
         std::strcmp(suffix, COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER + kPrefixLength) == 0;
}

inline bool valid_reply_server(const char (&name)[COMM_DIR_IPC_NAME_SIZE]) {
  return terminated(name) && valid_endpoint_name(name) &&
         std::strncmp(name, COMM_DIR_IPC_PREFIX, kPrefixLength) == 0 && valid_server_suffix(name + kPrefixLength) &&
         !names_daemon_endpoint(name + kPrefixLength);
}

// Compared block by block against zeros with memcmp, which is vectorised:
// every request has some 48 KiB of zeros behind its record, and a loop over
// single bytes made that check the daemon's largest cost per request.
inline bool all_zero(const char* bytes, std::size_t count) {
  static const char kZeros[1024] = {};
  for (; count > sizeof kZeros; bytes += sizeof kZeros, count -= sizeof kZeros) {
    if (std::memcmp(bytes, kZeros, sizeof kZeros) != 0) return false;
  }
  return std::memcmp(bytes, kZeros, count) == 0;
}

inline RETCODE check_connect(const COMM_DIR_CONNECT_INFO& connect) {
  if (!terminated(connect.uri) || !terminated(connect.tls_ca_file)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  if (connect.uri[0] == '\0' || connect.security > COMM_DIR_SECURITY_STARTTLS ||
      connect.tls_verify > COMM_DIR_TLS_VERIFY_TRY)
    return COMM_DIR_SVC_BAD_FIELD;
  return 0;
}

inline RETCODE check_bind(UINT present, const COMM_DIR_BIND_INFO& bind) {
  if (present > 1) return COMM_DIR_SVC_BAD_FIELD;
  if (present == 0) return 0;
  if (!terminated(bind.bind_dn) || !terminated(bind.password)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  return bind.method > COMM_DIR_BIND_SASL_EXTERNAL ? COMM_DIR_SVC_BAD_FIELD : 0;
}

inline RETCODE first_failure(RETCODE a, RETCODE b) { return a != 0 ? a : b; }

inline RETCODE check_connection_test(const COMM_DIR_CHECK_CONNECTION_REQUEST& request) {
  const COMM_DIR_TEST_CONNECTION_INFO& info = request.info;
  RETCODE code = first_failure(check_connect(info.connect), check_bind(info.bind_present, info.bind));
  if (code != 0) return code;
  if (!terminated(info.callback_server_name)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  if (request.test_mode > COMM_DIR_TEST_MODE_CALLBACK) return COMM_DIR_SVC_BAD_FIELD;
  if (request.test_mode == COMM_DIR_TEST_MODE_CALLBACK &&
      (!valid_server_suffix(info.callback_server_name) || names_daemon_endpoint(info.callback_server_name)))
    return COMM_DIR_SVC_BAD_FIELD;
  return 0;
}

inline RETCODE check_start_operation(const COMM_DIR_START_OPERATION_REQUEST& request) {
  return first_failure(check_connect(request.connect), check_bind(request.bind_present, request.bind));
}

inline RETCODE check_search(const COMM_DIR_SEARCH_REQUEST& request) {
  const COMM_DIR_SEARCH_CONDITION& condition = request.condition;
  if (!terminated(condition.base_dn) || !terminated(condition.filter) || !terminated(condition.attributes))
    return COMM_DIR_SVC_UNTERMINATED_STRING;
  if (condition.scope > COMM_DIR_SCOPE_CHILDREN || condition.deref > COMM_DIR_DEREF_ALWAYS ||
      condition.types_only > 1 || request.time_limit_sec < 0 || request.time_limit_usec < 0 ||
      request.time_limit_usec >= 1000000)
    return COMM_DIR_SVC_BAD_FIELD;
  return 0;
}

inline RETCODE check_status(const COMM_DIR_STATUS_REQUEST& request) {
  return request.format > COMM_DIR_STATUS_JSON ? COMM_DIR_SVC_BAD_FIELD : 0;
}

inline RETCODE check_attribute(const COMM_DIR_VALUE_COUNT_REQUEST& request) {
  if (!terminated(request.attribute)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  return request.attribute[0] == '\0' ? COMM_DIR_SVC_BAD_FIELD : 0;
}

// The fields of a complete record, by function id.
inline RETCODE check_fields(int function_id, const COMM_DIR_REQUEST_RECORD& record) {
  switch (function_id) {
    case COMM_DIR_FUNC_CHECK_CONNECTION:
      return check_connection_test(record.check_connection);
    case COMM_DIR_FUNC_START_OPERATION:
      return check_start_operation(record.start_operation);
    case COMM_DIR_FUNC_SEARCH:
      return check_search(record.search);
    case COMM_DIR_FUNC_GET_VALUE_STRING_CNT:
    case COMM_DIR_FUNC_GET_VALUE_STRING_LEN:
    case COMM_DIR_FUNC_GET_VALUE_STRING_ONE:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_CNT:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_LEN:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_ONE:
      return check_attribute(record.value_count);
    case COMM_DIR_FUNC_DAEMON_STATUS:
      return check_status(record.status);
    default:
      return 0;
  }
}

inline UINT operation_of(int function_id, const COMM_DIR_REQUEST_RECORD& record) {
  return function_id == COMM_DIR_FUNC_SEARCH ? record.search.condition.operation_id : record.operation.operation_id;
}

inline comm_dir_verdict drop(comm_dir_request* out, const char* reason) {
  out->drop_reason = reason;
  return comm_dir_verdict::kDrop;
}

inline comm_dir_verdict refuse(comm_dir_request* out, RETCODE code) {
  out->refusal = code;
  return comm_dir_verdict::kRefuse;
}

}  // namespace decoder_internal

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
inline std::size_t comm_dir_request_size(int function_id) {
  return function_id == COMM_DIR_FUNC_DAEMON_STATUS ? sizeof(COMM_DIR_STATUS_REQUEST)
                                                    : decoder_internal::kRequestSize[function_id];
}

// Decodes the `received` bytes at `message` (the whole message as the
// platform delivered it; `received` is its length word) into `out`. The
// bytes from `travelled` on are zeros that the platform restored behind the
// datagram, so the check for zeros behind the record stops there.
inline comm_dir_verdict comm_dir_decode_request(const char* message, std::size_t received,
                                                comm_dir_request* out,
                                                std::size_t travelled = static_cast<std::size_t>(-1)) {
  using namespace decoder_internal;
  std::memset(out->record.bytes, 0, sizeof out->record.bytes);
  if (received < kHeadSize) return drop(out, "message shorter than the envelope head");
  std::memcpy(&out->route, message, kHeadSize);
  std::memset(out->route.ipc_header, 0, sizeof out->route.ipc_header);
  if (read_word(message, GEN_IPC_HDR_KIND_OFFSET) != GEN_IPC_KIND_REQUEST || out->route.replied != 0)
    return drop(out, "message is not a request");
  if (!valid_reply_server(out->route.reply_server_name)) return drop(out, "reply server name is not one");

  if (!comm_dir_known_function(out->route.type)) return refuse(out, COMM_DIR_SVC_UNKNOWN_FUNCTION);
  out->function_id = static_cast<int>(out->route.type);
  const std::size_t size = comm_dir_request_size(out->function_id);
  const std::size_t payload_received = received - kHeadSize;
  const char* payload = message + kHeadSize;
  std::memcpy(out->record.bytes, payload, payload_received < size ? payload_received : size);
  if (comm_dir_names_operation(out->function_id)) out->operation_id = operation_of(out->function_id, out->record);

  // The library sends exactly one request form with the record at its start
  // and zero bytes after it; anything else is a record of another size.
  const std::size_t checked = travelled < received ? travelled : received;
  if (payload_received < size || received > static_cast<std::size_t>(COMM_DIR_IPC_REQUEST_SIZE) ||
      (checked > kHeadSize + size && !all_zero(payload + size, checked - kHeadSize - size)))
    return refuse(out, COMM_DIR_SVC_WRONG_SIZE);
  RETCODE code = check_fields(out->function_id, out->record);
  return code != 0 ? refuse(out, code) : comm_dir_verdict::kServe;
}

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_REQUEST_DECODER_H_
