#include "client/comm_dir_facade_client.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_trace.h"

namespace velmarosta {
namespace {

constexpr char kCheckConnectionSignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::check_connection(velmarosta::COMM_DIR_TEST_MODE, "
    "velmarosta::COMM_DIR_TEST_CONNECTION_INFO&)";
constexpr char kStartOperationSignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::start_operation(const "
    "velmarosta::COMM_DIR_CONNECT_INFO&, const velmarosta::COMM_DIR_BIND_INFO*, UINT*)";
constexpr char kSearchSignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::search(const "
    "velmarosta::COMM_DIR_SEARCH_CONDITION&, UINT, timeval&)";
constexpr char kGetFirstAttributeSignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::get_first_attribute(UINT, CHAR*&)";
constexpr char kGetNextAttributeSignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::get_next_attribute(UINT, CHAR*&)";
constexpr char kGetValueStringSignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::get_value_string(UINT, CHAR*, UINT&, CHAR**&)";
constexpr char kGetValueBinarySignature[] =
    "RETCODE velmarosta::comm_dir_facade_client::get_value_binary(UINT, CHAR*, UINT&, "
    "velmarosta::COMM_DIR_BERVAL**&)";
constexpr char kEndOperationSignature[] = "RETCODE velmarosta::comm_dir_facade_client::end_operation(UINT)";
constexpr char kGetFirstEntrySignature[] = "RETCODE velmarosta::comm_dir_facade_client::get_first_entry(UINT)";
constexpr char kGetNextEntrySignature[] = "RETCODE velmarosta::comm_dir_facade_client::get_next_entry(UINT)";
constexpr char kFreeMsgSignature[] = "RETCODE velmarosta::comm_dir_facade_client::free_msg(UINT)";

void trace_failure(const char* signature, int line) { COMM_DIR_TRACE(0, "[ERROR]<%s>(%d) \n", signature, line); }

// Reply fields, read as native words so that no reply buffer is ever taken
// for a COMM_DIR_REPLY object (value replies are longer, plain bytes).
RETCODE reply_result(const char* reply) {
  return static_cast<RETCODE>(read_word(reply, offsetof(COMM_DIR_REPLY, result)));
}
UINT reply_word(const char* reply) { return read_word(reply, offsetof(COMM_DIR_REPLY, body.reply.word)); }
const char* reply_data(const char* reply) { return reply + COMM_DIR_REPLY_DATA_OFFSET; }

// A zero-filled heap buffer of `size` bytes, or null.
std::unique_ptr<char[]> zeroed_buffer(std::size_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[size]());
}

// The IPC client to the directory service that the exchanges of one call go
// over. Lives on the caller's stack for that one call.
class service_link {
 public:
  service_link() : transport_(comm_dir_ipc_multi_client::get_instance()) {}

  // The transport is null only when memory for it ran out (it traced that).
  RETCODE open() {
    if (transport_ == nullptr) return COMM_DIR_ERR_NO_MEMORY;
    return transport_->create_client(COMM_DIR_SERVICE_CLIENT_NAME, COMM_DIR_SERVICE_SERVER_NAME, 0, 0,
                                     COMM_DIR_IPC_ID_SERVICE, clnt_);
  }

  // One request/reply exchange; `reply` receives `reply_size` bytes.
  RETCODE exchange(int function_id, void* request, int request_size, char* reply, int reply_size) {
    int reply_length = reply_size;  // the transport neither reads nor writes it
    return transport_->call_client(clnt_, function_id, 0, 0, static_cast<char*>(request), request_size, reply,
                                   reply_size, &reply_length, static_cast<unsigned long>(-1));
  }

  // Not acted on when it fails: the transport traces its own failure.
  void close() {
    if (transport_ != nullptr) transport_->destroy_client(clnt_);
  }

 private:
  comm_dir_ipc_multi_client* transport_;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};

// Runs one exchange of a `Request` that `fill` writes into a zero-filled
// record, then returns what `take` makes of the delivered 1948-byte reply.
// Only `take` writes out-parameters, so a failure before the service answered
// leaves them as they were.
template <typename Request, typename Fill, typename Take>
RETCODE single_exchange(const char* signature, int function_id, Fill fill, Take take) {
  service_link link;
  RETCODE rc = link.open();
  if (rc != 0) {
    trace_failure(signature, __LINE__);
    return rc;
  }
  std::unique_ptr<Request> request(new (std::nothrow) Request());  // value-init: all zero
  std::unique_ptr<char[]> reply = zeroed_buffer(COMM_DIR_REPLY_SIZE);
  if (request == nullptr || reply == nullptr) {
    link.close();
    trace_failure(signature, __LINE__);
    return COMM_DIR_ERR_NO_MEMORY;
  }
  fill(*request);
  rc = link.exchange(function_id, request.get(), sizeof(Request), reply.get(), COMM_DIR_REPLY_SIZE);
  // The record may hold a bind password; it is not kept past the exchange.
  explicit_bzero(request.get(), sizeof(Request));
  link.close();
  if (rc != 0) {
    trace_failure(signature, __LINE__);
    return rc;
  }
  return take(reply.get());
}

RETCODE operation_exchange(const char* signature, int function_id, UINT operation_id) {
  return single_exchange<COMM_DIR_OPERATION_REQUEST>(
      signature, function_id,
      [operation_id](COMM_DIR_OPERATION_REQUEST& request) { request.operation_id = operation_id; },
      [](const char* reply) { return reply_result(reply); });
}

// The attribute name of a delivered reply to id 3 or 4: a new 385-character
// array, or null when the reply carries none or a name that breaks the limit.
RETCODE take_attribute_name(const char* signature, const char* reply, CHAR*& attribute) {
  attribute = nullptr;
  if (reply_word(reply) != COMM_DIR_REPLY_WORD_PRESENT) return reply_result(reply);
  const char* name = reply_data(reply);
  std::size_t length = ::strnlen(name, COMM_DIR_MAX_ATTRIBUTE_NAME + 1);
  if (length > COMM_DIR_MAX_ATTRIBUTE_NAME) {
    trace_failure(signature, __LINE__);
    return COMM_DIR_ERR_BAD_REPLY;
  }
  CHAR* copy = new (std::nothrow) CHAR[COMM_DIR_MAX_ATTRIBUTE_NAME + 1]();
  if (copy == nullptr) {
    trace_failure(signature, __LINE__);
    return COMM_DIR_ERR_NO_MEMORY;
  }
  std::memcpy(copy, name, length);  // the rest of the array stays zero
  attribute = copy;
  return reply_result(reply);
}

RETCODE attribute_exchange(const char* signature, int function_id, UINT operation_id, CHAR*& attribute) {
  return single_exchange<COMM_DIR_OPERATION_REQUEST>(
      signature, function_id,
      [operation_id](COMM_DIR_OPERATION_REQUEST& request) { request.operation_id = operation_id; },
      [signature, &attribute](const char* reply) { return take_attribute_name(signature, reply, attribute); });
}

// --- value lists --------------------------------------------------------------
// The count request is the value request without its index word.
static_assert(offsetof(COMM_DIR_VALUE_COUNT_REQUEST, operation_id) == offsetof(COMM_DIR_VALUE_REQUEST, operation_id),
              "");
static_assert(offsetof(COMM_DIR_VALUE_COUNT_REQUEST, attribute) == offsetof(COMM_DIR_VALUE_REQUEST, attribute), "");
static_assert(sizeof(COMM_DIR_VALUE_COUNT_REQUEST) == offsetof(COMM_DIR_VALUE_REQUEST, value_index), "");

// What tells the string list from the binary list. A value reply is
// COMM_DIR_REPLY_SIZE + L + kReplyExtra bytes; an entry is the first
// L + kEntryExtra bytes of its data, copied whole.
struct string_list {
  using entry_type = CHAR;
  static constexpr int kCountId = COMM_DIR_FUNC_GET_VALUE_STRING_CNT;
  static constexpr int kLengthId = COMM_DIR_FUNC_GET_VALUE_STRING_LEN;
  static constexpr int kValueId = COMM_DIR_FUNC_GET_VALUE_STRING_ONE;
  static constexpr UINT kMaxLength = COMM_DIR_MAX_STRING_VALUE;
  static constexpr std::size_t kReplyExtra = 1;  // the terminator
  static constexpr std::size_t kEntryExtra = 1;  // L characters and the NUL
  static constexpr const char* kSignature = kGetValueStringSignature;
  // The value is L characters and its NUL; the reply buffer holds byte L.
  static bool well_formed(const char* data, UINT length) { return data[length] == '\0'; }
};

struct binary_list {
  using entry_type = COMM_DIR_BERVAL;
  static constexpr int kCountId = COMM_DIR_FUNC_GET_VALUE_BINARY_CNT;
  static constexpr int kLengthId = COMM_DIR_FUNC_GET_VALUE_BINARY_LEN;
  static constexpr int kValueId = COMM_DIR_FUNC_GET_VALUE_BINARY_ONE;
  static constexpr UINT kMaxLength = COMM_DIR_MAX_BINARY_VALUE;
  static constexpr std::size_t kReplyExtra = 0;
  static constexpr std::size_t kEntryExtra = offsetof(COMM_DIR_BERVAL, bv_val);  // length word
  static constexpr const char* kSignature = kGetValueBinarySignature;
  // The record's own length word must say what the length reply said.
  static bool well_formed(const char* data, UINT length) { return read_word(data, 0) == length; }
};

// Entries are blocks from new char[]; one delete[] of the block frees each.
template <typename Entry>
void free_entries(Entry** entries, UINT count) {
  for (UINT i = 0; i < count; ++i) delete[] reinterpret_cast<char*>(entries[i]);
  delete[] entries;
}

// One zero-filled record serves the count request (its first 464 bytes) and
// every length and value request of a retrieval: only the index changes, and
// the transport never writes into a request.
void fill_value_request(COMM_DIR_VALUE_REQUEST& request, UINT operation_id, const CHAR* attribute) {
  request.operation_id = operation_id;
  // The field is zero, so byte 460 stays the terminator of a cut name.
  std::memcpy(request.attribute, attribute, ::strnlen(attribute, COMM_DIR_MAX_ATTRIBUTE_NAME));
}

// The length and value exchanges for the value at `index`. On 0, `entry`
// holds the new value or null (no value at this index); on failure it is
// untouched, traced here, and nothing of this value remains.
template <typename List>
RETCODE fetch_value(service_link& link, COMM_DIR_VALUE_REQUEST& request, char* reply, UINT index,
                    typename List::entry_type*& entry) {
  request.value_index = index;
  std::memset(reply, 0, COMM_DIR_REPLY_SIZE);
  RETCODE rc = link.exchange(List::kLengthId, &request, sizeof request, reply, COMM_DIR_REPLY_SIZE);
  if (rc != 0) {
    trace_failure(List::kSignature, __LINE__);
    return rc;
  }
  if ((rc = reply_result(reply)) != 0) {
    trace_failure(List::kSignature, __LINE__);
    return rc;
  }
  UINT length = reply_word(reply);
  if (length > List::kMaxLength) {  // before any buffer is sized by it
    trace_failure(List::kSignature, __LINE__);
    return COMM_DIR_ERR_BAD_REPLY;
  }
  std::size_t value_reply_size = COMM_DIR_REPLY_SIZE + length + List::kReplyExtra;
  std::unique_ptr<char[]> value_reply = zeroed_buffer(value_reply_size);
  if (value_reply == nullptr) {
    trace_failure(List::kSignature, __LINE__);
    return COMM_DIR_ERR_NO_MEMORY;
  }
  rc = link.exchange(List::kValueId, &request, sizeof request, value_reply.get(), static_cast<int>(value_reply_size));
  if (rc != 0) {
    trace_failure(List::kSignature, __LINE__);
    return rc;
  }
  if ((rc = reply_result(value_reply.get())) != 0) {
    trace_failure(List::kSignature, __LINE__);
    return rc;
  }
  if (reply_word(value_reply.get()) != COMM_DIR_REPLY_WORD_PRESENT) {
    entry = nullptr;
    return 0;
  }
  const char* data = reply_data(value_reply.get());
  if (!List::well_formed(data, length)) {
    trace_failure(List::kSignature, __LINE__);
    return COMM_DIR_ERR_BAD_REPLY;
  }
  char* block = new (std::nothrow) char[length + List::kEntryExtra];
  if (block == nullptr) {
    trace_failure(List::kSignature, __LINE__);
    return COMM_DIR_ERR_NO_MEMORY;
  }
  std::memcpy(block, data, length + List::kEntryExtra);
  entry = reinterpret_cast<typename List::entry_type*>(block);
  return 0;
}

// The count exchange, then a length and a value exchange per value, all over
// one IPC client. See the header for what the caller sees on each outcome.
template <typename List>
RETCODE retrieve_value_list(UINT operation_id, const CHAR* attribute, UINT& count,
                            typename List::entry_type**& values) {
  using Entry = typename List::entry_type;
  service_link link;
  RETCODE rc = link.open();
  if (rc != 0) {
    trace_failure(List::kSignature, __LINE__);
    return rc;
  }
  std::unique_ptr<char[]> reply = zeroed_buffer(COMM_DIR_REPLY_SIZE);
  std::unique_ptr<COMM_DIR_VALUE_REQUEST> request(new (std::nothrow) COMM_DIR_VALUE_REQUEST());
  if (reply == nullptr || request == nullptr) {
    link.close();
    trace_failure(List::kSignature, __LINE__);
    return COMM_DIR_ERR_NO_MEMORY;
  }
  fill_value_request(*request, operation_id, attribute);
  rc = link.exchange(List::kCountId, request.get(), sizeof(COMM_DIR_VALUE_COUNT_REQUEST), reply.get(),
                     COMM_DIR_REPLY_SIZE);
  if (rc != 0) {
    trace_failure(List::kSignature, __LINE__);
    link.close();
    return rc;
  }
  count = reply_word(reply.get());
  if ((rc = reply_result(reply.get())) != 0) {
    trace_failure(List::kSignature, __LINE__);
    link.close();
    return rc;
  }
  if (count == 0) {
    values = nullptr;
    link.close();
    return 0;
  }
  if (count > COMM_DIR_MAX_VALUE_COUNT) {
    trace_failure(List::kSignature, __LINE__);
    link.close();
    return COMM_DIR_ERR_BAD_REPLY;
  }
  Entry** list = new (std::nothrow) Entry*[static_cast<std::size_t>(count) + 1]();
  if (list == nullptr) {
    trace_failure(List::kSignature, __LINE__);
    link.close();
    return COMM_DIR_ERR_NO_MEMORY;
  }
  values = list;
  for (UINT i = 0; i < count; ++i) {
    rc = fetch_value<List>(link, *request, reply.get(), i, list[i]);
    if (rc != 0) {
      link.close();
      reply.reset();
      free_entries(list, i);
      values = nullptr;
      return rc;
    }
  }
  list[count] = nullptr;
  link.close();
  return 0;
}

}  // namespace

RETCODE comm_dir_facade_client::check_connection(COMM_DIR_TEST_MODE mode, COMM_DIR_TEST_CONNECTION_INFO& info) {
  return single_exchange<COMM_DIR_CHECK_CONNECTION_REQUEST>(
      kCheckConnectionSignature, COMM_DIR_FUNC_CHECK_CONNECTION,
      [mode, &info](COMM_DIR_CHECK_CONNECTION_REQUEST& request) {
        request.test_mode = mode;
        std::memcpy(&request.info, &info, sizeof info);
      },
      [&info](const char* reply) {
        // The answer replaces the whole record, the bind password included:
        // what comes back there is the service's (ours sends zeros).
        std::memcpy(&info, reply + offsetof(COMM_DIR_REPLY, body.info), sizeof info);
        return reply_result(reply);
      });
}

RETCODE comm_dir_facade_client::start_operation(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind,
                                                UINT* operation_id) {
  return single_exchange<COMM_DIR_START_OPERATION_REQUEST>(
      kStartOperationSignature, COMM_DIR_FUNC_START_OPERATION,
      [&connect, bind](COMM_DIR_START_OPERATION_REQUEST& request) {
        std::memcpy(&request.connect, &connect, sizeof connect);
        if (bind != nullptr) {
          request.bind_present = 1;
          std::memcpy(&request.bind, bind, sizeof *bind);
        }
      },
      [operation_id](const char* reply) {
        *operation_id = reply_word(reply);
        return reply_result(reply);
      });
}

RETCODE comm_dir_facade_client::search(const COMM_DIR_SEARCH_CONDITION& condition, UINT size_limit,
                                       timeval& time_limit) {
  return single_exchange<COMM_DIR_SEARCH_REQUEST>(
      kSearchSignature, COMM_DIR_FUNC_SEARCH,
      [&condition, size_limit, &time_limit](COMM_DIR_SEARCH_REQUEST& request) {
        std::memcpy(&request.condition, &condition, sizeof condition);
        request.size_limit = size_limit;
        request.time_limit_sec = static_cast<INT>(time_limit.tv_sec);
        request.time_limit_usec = static_cast<INT>(time_limit.tv_usec);
      },
      [](const char* reply) { return reply_result(reply); });
}

RETCODE comm_dir_facade_client::get_first_attribute(UINT operation_id, CHAR*& attribute) {
  return attribute_exchange(kGetFirstAttributeSignature, COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, operation_id, attribute);
}

RETCODE comm_dir_facade_client::get_next_attribute(UINT operation_id, CHAR*& attribute) {
  return attribute_exchange(kGetNextAttributeSignature, COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, operation_id, attribute);
}

RETCODE comm_dir_facade_client::get_value_string(UINT operation_id, CHAR* attribute, UINT& count, CHAR**& values) {
  return retrieve_value_list<string_list>(operation_id, attribute, count, values);
}

RETCODE comm_dir_facade_client::get_value_binary(UINT operation_id, CHAR* attribute, UINT& count,
                                                 COMM_DIR_BERVAL**& values) {
  return retrieve_value_list<binary_list>(operation_id, attribute, count, values);
}

RETCODE comm_dir_facade_client::end_operation(UINT operation_id) {
  return operation_exchange(kEndOperationSignature, COMM_DIR_FUNC_END_OPERATION, operation_id);
}

RETCODE comm_dir_facade_client::get_first_entry(UINT operation_id) {
  return operation_exchange(kGetFirstEntrySignature, COMM_DIR_FUNC_GET_FIRST_ENTRY, operation_id);
}

RETCODE comm_dir_facade_client::get_next_entry(UINT operation_id) {
  return operation_exchange(kGetNextEntrySignature, COMM_DIR_FUNC_GET_NEXT_ENTRY, operation_id);
}

RETCODE comm_dir_facade_client::free_msg(UINT operation_id) {
  return operation_exchange(kFreeMsgSignature, COMM_DIR_FUNC_FREE_MSG, operation_id);
}

}  // namespace velmarosta
