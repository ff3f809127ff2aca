#include "service/comm_dir_request_decoder.h"

#include <cstdio>
#include <cstring>

#include "platform/posix/commdir_posix_ipc.h"

namespace velmarosta {
namespace {

// Request record size by function id.
constexpr std::size_t kRequestSize[COMM_DIR_FUNC_COUNT] = {sizeof(COMM_DIR_CHECK_CONNECTION_REQUEST),
                                                           sizeof(COMM_DIR_START_OPERATION_REQUEST),
                                                           sizeof(COMM_DIR_SEARCH_REQUEST),
                                                           sizeof(COMM_DIR_OPERATION_REQUEST),
                                                           sizeof(COMM_DIR_OPERATION_REQUEST),
                                                           sizeof(COMM_DIR_VALUE_COUNT_REQUEST),
                                                           sizeof(COMM_DIR_VALUE_REQUEST),
                                                           sizeof(COMM_DIR_VALUE_REQUEST),
                                                           sizeof(COMM_DIR_VALUE_COUNT_REQUEST),
                                                           sizeof(COMM_DIR_VALUE_REQUEST),
                                                           sizeof(COMM_DIR_VALUE_REQUEST),
                                                           sizeof(COMM_DIR_OPERATION_REQUEST),
                                                           sizeof(COMM_DIR_OPERATION_REQUEST),
                                                           sizeof(COMM_DIR_OPERATION_REQUEST),
                                                           sizeof(COMM_DIR_OPERATION_REQUEST)};

constexpr std::size_t kHeadSize = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
constexpr std::size_t kPrefixLength = sizeof(COMM_DIR_IPC_PREFIX) - 1;

template <std::size_t N>
bool terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

// True for a name without the "utcp:" prefix that makes an endpoint name
// the platform accepts once the prefix is put in front.
bool valid_server_suffix(const char* name) {
  char full[COMM_DIR_MAX_NAME_LENGTH + 1];
  const int length = std::snprintf(full, sizeof full, "%s%s", COMM_DIR_IPC_PREFIX, name);
  return length > 0 && static_cast<std::size_t>(length) < sizeof full && commdir_posix_ipc_valid_name(full);
}

// True for the names (without "utcp:") of the daemon's own endpoints. A
// requester may not name them as its reply server or callback endpoint: a
// daemon that runs as root owns them, so the check of an endpoint's owner
// would let the daemon send into itself, where a forged answer to one of
// its callbacks could wait for a word to match.
bool names_daemon_endpoint(const char* suffix) {
  return std::strcmp(suffix, COMM_DIR_SERVICE_SERVER_NAME + kPrefixLength) == 0 ||
         std::strcmp(suffix, COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER + kPrefixLength) == 0;
}

bool valid_reply_server(const char (&name)[COMM_DIR_IPC_NAME_SIZE]) {
  return terminated(name) && commdir_posix_ipc_valid_name(name) && !names_daemon_endpoint(name + kPrefixLength);
}

// Compared block by block against zeros with memcmp, which is vectorised:
// every request has some 48 KiB of zeros behind its record, and a loop over
// single bytes made that check the daemon's largest cost per request.
bool all_zero(const char* bytes, std::size_t count) {
  static const char kZeros[1024] = {};
  for (; count > sizeof kZeros; bytes += sizeof kZeros, count -= sizeof kZeros) {
    if (std::memcmp(bytes, kZeros, sizeof kZeros) != 0) return false;
  }
  return std::memcmp(bytes, kZeros, count) == 0;
}

RETCODE check_connect(const COMM_DIR_CONNECT_INFO& connect) {
  if (!terminated(connect.uri) || !terminated(connect.tls_ca_file)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  if (connect.uri[0] == '\0' || connect.security > COMM_DIR_SECURITY_STARTTLS ||
      connect.tls_verify > COMM_DIR_TLS_VERIFY_TRY)
    return COMM_DIR_SVC_BAD_FIELD;
  return 0;
}

RETCODE check_bind(UINT present, const COMM_DIR_BIND_INFO& bind) {
  if (present > 1) return COMM_DIR_SVC_BAD_FIELD;
  if (present == 0) return 0;
  if (!terminated(bind.bind_dn) || !terminated(bind.password)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  return bind.method > COMM_DIR_BIND_SASL_EXTERNAL ? COMM_DIR_SVC_BAD_FIELD : 0;
}

RETCODE first_failure(RETCODE a, RETCODE b) { return a != 0 ? a : b; }

RETCODE check_connection_test(const COMM_DIR_CHECK_CONNECTION_REQUEST& request) {
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

RETCODE check_start_operation(const COMM_DIR_START_OPERATION_REQUEST& request) {
  return first_failure(check_connect(request.connect), check_bind(request.bind_present, request.bind));
}

RETCODE check_search(const COMM_DIR_SEARCH_REQUEST& request) {
  const COMM_DIR_SEARCH_CONDITION& condition = request.condition;
  if (!terminated(condition.base_dn) || !terminated(condition.filter) || !terminated(condition.attributes))
    return COMM_DIR_SVC_UNTERMINATED_STRING;
  if (condition.scope > COMM_DIR_SCOPE_CHILDREN || condition.deref > COMM_DIR_DEREF_ALWAYS ||
      condition.types_only > 1 || request.time_limit_sec < 0 || request.time_limit_usec < 0 ||
      request.time_limit_usec >= 1000000)
    return COMM_DIR_SVC_BAD_FIELD;
  return 0;
}

RETCODE check_status(const COMM_DIR_STATUS_REQUEST& request) {
  return request.format > COMM_DIR_STATUS_JSON ? COMM_DIR_SVC_BAD_FIELD : 0;
}

RETCODE check_attribute(const COMM_DIR_VALUE_COUNT_REQUEST& request) {
  if (!terminated(request.attribute)) return COMM_DIR_SVC_UNTERMINATED_STRING;
  return request.attribute[0] == '\0' ? COMM_DIR_SVC_BAD_FIELD : 0;
}

// The fields of a complete record, by function id.
RETCODE check_fields(int function_id, const COMM_DIR_REQUEST_RECORD& record) {
  if (comm_dir_is_value_request(function_id)) return check_attribute(record.value_count);
  switch (function_id) {
    case COMM_DIR_FUNC_CHECK_CONNECTION: return check_connection_test(record.check_connection);
    case COMM_DIR_FUNC_START_OPERATION: return check_start_operation(record.start_operation);
    case COMM_DIR_FUNC_SEARCH: return check_search(record.search);
    case COMM_DIR_FUNC_DAEMON_STATUS: return check_status(record.status);
    default: return 0;
  }
}

UINT operation_of(int function_id, const COMM_DIR_REQUEST_RECORD& record) {
  return function_id == COMM_DIR_FUNC_SEARCH ? record.search.condition.operation_id : record.operation.operation_id;
}

comm_dir_verdict drop(comm_dir_request* out, const char* reason) {
  out->drop_reason = reason;
  return comm_dir_verdict::kDrop;
}

comm_dir_verdict refuse(comm_dir_request* out, RETCODE code) {
  out->refusal = code;
  return comm_dir_verdict::kRefuse;
}

}  // namespace

// Size of the request record of a known `function_id`.
std::size_t comm_dir_request_size(int function_id) {
  return function_id == COMM_DIR_FUNC_DAEMON_STATUS ? sizeof(COMM_DIR_STATUS_REQUEST) : kRequestSize[function_id];
}

comm_dir_verdict comm_dir_decode_request(const char* message, std::size_t received, comm_dir_request* out,
                                         std::size_t travelled) {
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
