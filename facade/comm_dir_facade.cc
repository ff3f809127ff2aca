#include "commdir/comm_dir_facade.h"

#include <cstring>
#include <new>

#include "client/comm_dir_facade_client.h"
#include "facade/comm_dir_data_collector.h"
#include "facade/comm_dir_info_holdings.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_trace.h"
#include "platform/emw_osw.h"
#include "server/comm_dir_operation_server.h"

namespace velmarosta {
namespace {

constexpr char kCheckConnectionSignature[] =
    "RETCODE velmarosta::comm_dir_facade::check_connection(velmarosta::COMM_DIR_TEST_MODE, "
    "velmarosta::COMM_DIR_TEST_CONNECTION_INFO&)";
constexpr char kStartOperationSignature[] =
    "RETCODE velmarosta::comm_dir_facade::start_operation(const velmarosta::COMM_DIR_CONNECT_INFO&, "
    "const velmarosta::COMM_DIR_BIND_INFO*, UINT*)";
constexpr char kSearchSignature[] =
    "RETCODE velmarosta::comm_dir_facade::search(const velmarosta::COMM_DIR_SEARCH_CONDITION&, UINT, "
    "timeval&)";
constexpr char kGetFirstAttributeSignature[] = "RETCODE velmarosta::comm_dir_facade::get_first_attribute(UINT, CHAR*&)";
constexpr char kGetNextAttributeSignature[] = "RETCODE velmarosta::comm_dir_facade::get_next_attribute(UINT, CHAR*&)";
constexpr char kGetValueStringSignature[] =
    "RETCODE velmarosta::comm_dir_facade::get_value_string(UINT, CHAR*, UINT&, CHAR**&)";
constexpr char kGetValueBinarySignature[] =
    "RETCODE velmarosta::comm_dir_facade::get_value_binary(UINT, CHAR*, UINT&, "
    "velmarosta::COMM_DIR_BERVAL**&)";
constexpr char kEndOperationSignature[] = "RETCODE velmarosta::comm_dir_facade::end_operation(UINT)";
constexpr char kGetFirstEntrySignature[] = "RETCODE velmarosta::comm_dir_facade::get_first_entry(UINT)";
constexpr char kGetNextEntrySignature[] = "RETCODE velmarosta::comm_dir_facade::get_next_entry(UINT)";
constexpr char kFreeMsgSignature[] = "RETCODE velmarosta::comm_dir_facade::free_msg(UINT)";

// "DIR_SVR_", five characters of the process name and the NUL fit with room
// to spare; the callback server takes names of up to 16 characters.
constexpr int kServerNameBufferSize = 17;
constexpr int kProcessNameBufferSize = 64;
constexpr std::size_t kProcessNameChars = COMM_DIR_CALLBACK_SERVER_PROCESS_CHARS;
static_assert(sizeof(COMM_DIR_CALLBACK_SERVER_PREFIX) - 1 + kProcessNameChars <
                  sizeof(COMM_DIR_TEST_CONNECTION_INFO::callback_server_name),
              "the callback server name and its NUL fit the connection test record");

// The two near-identical failure formats: A for a forwarded call that
// failed, B for the facade's own refusals.
void trace_format_a(const char* signature, int line) { COMM_DIR_TRACE(0, "[ERROR]<%s>(%d)\n", signature, line); }
void trace_format_b(const char* signature, int line) { COMM_DIR_TRACE(0, "[ERROR]<%s>(%d) \n", signature, line); }

// Passes a forwarded call's result up, with its format A trace on failure.
RETCODE forwarded(RETCODE result, const char* signature, int line) {
  if (result != 0) trace_format_a(signature, line);
  return result;
}

// The client leaves the name pointer alone when the service never answered.
// Handing it a pointer to this marker tells that case apart from an answer
// that carried no name (NULL) without ever trusting the caller's old value.
char g_unanswered_marker;

// What get_info_map says about who holds `operation_id`. The store answers
// COMM_DIR_ERR both for an id it does not hold and for a mutex request that
// failed, leaving the reference alone in both; only when it wrote the
// reference do we know which record it holds.
enum class Holder { kThisRecord, kOtherRecord, kUnknown };

// Preset into get_info_map's reference: still there afterwards means the
// store wrote nothing. Never stored, never read.
comm_dir_info g_unwritten_marker;

Holder holder_of(comm_dir_data_collector& store, UINT operation_id, const comm_dir_info* record) {
  comm_dir_info* held = &g_unwritten_marker;
  store.get_info_map(operation_id, held);
  if (held == &g_unwritten_marker) return Holder::kUnknown;
  return held == record ? Holder::kThisRecord : Holder::kOtherRecord;
}

// start_operation's record after set_info_map reported failure. It may have
// stored the record before its mutex release failed; a record the store may
// hold is freed only once its entry is removed, else it is left to the
// store's destructor (a leak is recoverable, a double free is not).
void discard_unstored_record(comm_dir_data_collector& store, UINT operation_id, comm_dir_info* record) {
  if (holder_of(store, operation_id, record) != Holder::kOtherRecord && store.unset_info_map(operation_id) != 0) {
    return;
  }
  delete record;
}

// get_first_attribute and get_next_attribute.
using AttributeCall = RETCODE (comm_dir_facade_client::*)(UINT, CHAR*&);

RETCODE replace_attribute(comm_dir_data_collector& store, comm_dir_facade_client& client, AttributeCall call,
                          UINT operation_id, CHAR*& attribute, const char* signature) {
  comm_dir_info* info = nullptr;
  if (store.get_info_map(operation_id, info) != 0) {
    trace_format_b(signature, __LINE__);
    return COMM_DIR_ERR;
  }
  CHAR* delivered = &g_unanswered_marker;
  RETCODE result = (client.*call)(operation_id, delivered);
  if (result != 0) trace_format_a(signature, __LINE__);
  if (delivered != &g_unanswered_marker) {
    // The service answered: its name (or NULL) replaces the held one, also
    // when the answer is a failure code.
    delete[] info->attr_name;
    info->attr_name = delivered;
    attribute = delivered;
  }
  return result;
}

// get_value_string and get_value_binary.
template <typename Element>
using ValueListCall = RETCODE (comm_dir_facade_client::*)(UINT, CHAR*, UINT&, Element**&);

template <typename Element>
struct HeldList {
  Element** comm_dir_info::*values;
  UINT comm_dir_info::*count;
};

template <typename Element>
RETCODE replace_value_list(comm_dir_data_collector& store, comm_dir_facade_client& client, ValueListCall<Element> call,
                           HeldList<Element> held, UINT operation_id, CHAR* attribute, UINT& count, Element**& values,
                           const char* signature) {
  if (attribute == nullptr) {
    trace_format_b(signature, __LINE__);
    return COMM_DIR_ERR;
  }
  comm_dir_info* info = nullptr;
  if (store.get_info_map(operation_id, info) != 0) {
    trace_format_b(signature, __LINE__);
    return COMM_DIR_ERR;
  }
  RETCODE result = (client.*call)(operation_id, attribute, count, values);
  if (result != 0) {
    // The list handed out before stays held and valid.
    trace_format_a(signature, __LINE__);
    return result;
  }
  free_value_list(info->*held.values, info->*held.count);
  info->*held.values = values;
  // The count travels with the list so that freeing reaches entries behind
  // a NULL gap.
  info->*held.count = values != nullptr ? count : 0;
  return 0;
}

}  // namespace

std::atomic<comm_dir_facade*> comm_dir_facade::s_instance_{nullptr};
std::atomic<OSW_Mutex_Semaphore*> comm_dir_facade::s_mtx_{nullptr};

// Publication: s_instance_ is stored with release after the facade is fully
// built, and the unlocked test loads it with acquire, so a thread that sees
// the pointer sees every member written. s_mtx_ is published the same way
// under the OSW_Thread_Guard. Neither is ever reset or freed.
comm_dir_facade* comm_dir_facade::comm_dir_get_instance() {
  comm_dir_facade* instance = s_instance_.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  if (s_mtx_.load(std::memory_order_acquire) == nullptr) {
    OSW_Thread_Guard thread_guard;
    if (s_mtx_.load(std::memory_order_relaxed) == nullptr) {
      s_mtx_.store(new (std::nothrow) OSW_Mutex_Semaphore(1), std::memory_order_release);
    }
  }
  OSW_Mutex_Semaphore* mutex = s_mtx_.load(std::memory_order_acquire);
  if (mutex == nullptr) return nullptr;  // out of memory; a later call tries again
  OSW_Guard guard(*mutex);
  guard.locked();
  instance = s_instance_.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new (std::nothrow) comm_dir_facade;
    if (instance != nullptr && instance->ope_server_ == nullptr) {
      // Out of memory part-way: give back what was built; a later call
      // tries again.
      delete instance;
      instance = nullptr;
    }
    s_instance_.store(instance, std::memory_order_release);
  }
  return instance;
}

// The callback server is built last and only when everything before it was,
// so a non-null ope_server_ means a complete facade.
comm_dir_facade::comm_dir_facade()
    : collector_(new (std::nothrow) comm_dir_data_collector),
      client_(new (std::nothrow) comm_dir_facade_client),
      ope_server_(nullptr),
      svr_name_(new (std::nothrow) char[kServerNameBufferSize]) {
  char process_name[kProcessNameBufferSize];
  std::memset(process_name, 0, sizeof process_name);
  emwOSWGetProcessName(process_name);
  if (collector_ == nullptr || client_ == nullptr || svr_name_ == nullptr) return;

  // The buffer starts zeroed, so the copies below leave the name terminated.
  std::memset(svr_name_, 0, kServerNameBufferSize);
  constexpr std::size_t kPrefixChars = sizeof(COMM_DIR_CALLBACK_SERVER_PREFIX) - 1;
  std::memcpy(svr_name_, COMM_DIR_CALLBACK_SERVER_PREFIX, kPrefixChars);
  std::memcpy(svr_name_ + kPrefixChars, process_name, strnlen(process_name, kProcessNameChars));
  // Whether the endpoint started is the server's to report.
  ope_server_ = new (std::nothrow) comm_dir_operation_server(svr_name_);
}

comm_dir_facade::~comm_dir_facade() {
  delete collector_;  // frees every record still held
  collector_ = nullptr;
  delete client_;
  client_ = nullptr;
  delete ope_server_;  // stops the callback endpoint
  ope_server_ = nullptr;
  delete[] svr_name_;
  svr_name_ = nullptr;
}

RETCODE comm_dir_facade::check_connection(COMM_DIR_TEST_MODE mode, COMM_DIR_TEST_CONNECTION_INFO& info) {
  std::memset(info.callback_server_name, 0, sizeof info.callback_server_name);
  std::memcpy(info.callback_server_name, svr_name_, std::strlen(svr_name_));
  return forwarded(client_->check_connection(mode, info), kCheckConnectionSignature, __LINE__);
}

RETCODE comm_dir_facade::start_operation(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind,
                                         UINT* operation_id) {
  if (operation_id == nullptr) {
    COMM_DIR_TRACE(0, "[ERROR]<%s>(%d) operation_id is NULL.\n", kStartOperationSignature, __LINE__);
    return COMM_DIR_ERR;
  }
  // The record is made before the service opens the operation, so that
  // running out of memory leaves no operation open at the service.
  comm_dir_info* record = new (std::nothrow) comm_dir_info();
  if (record == nullptr) {
    trace_format_b(kStartOperationSignature, __LINE__);
    return COMM_DIR_ERR_NO_MEMORY;
  }
  RETCODE result = client_->start_operation(connect, bind, operation_id);
  if (result != 0) {
    trace_format_a(kStartOperationSignature, __LINE__);
    delete record;
    return result;
  }
  if (collector_->set_info_map(*operation_id, record) != 0) {
    COMM_DIR_TRACE(0, "[ERROR]set_info_map <%s>(%d) \n", kStartOperationSignature, __LINE__);
    discard_unstored_record(*collector_, *operation_id, record);
    return COMM_DIR_ERR;
  }
  // set_info_map keeps a record already held for the id. Only a record the
  // store certainly does not hold is freed; if the store cannot say, the
  // record stays for its destructor.
  if (holder_of(*collector_, *operation_id, record) == Holder::kOtherRecord) delete record;
  return 0;
}

RETCODE comm_dir_facade::search(const COMM_DIR_SEARCH_CONDITION& condition, UINT size_limit, timeval& time_limit) {
  return forwarded(client_->search(condition, size_limit, time_limit), kSearchSignature, __LINE__);
}

RETCODE comm_dir_facade::get_first_entry(UINT operation_id) {
  return forwarded(client_->get_first_entry(operation_id), kGetFirstEntrySignature, __LINE__);
}

RETCODE comm_dir_facade::get_next_entry(UINT operation_id) {
  return forwarded(client_->get_next_entry(operation_id), kGetNextEntrySignature, __LINE__);
}

RETCODE comm_dir_facade::get_first_attribute(UINT operation_id, CHAR*& attribute) {
  return replace_attribute(*collector_, *client_, &comm_dir_facade_client::get_first_attribute, operation_id, attribute,
                           kGetFirstAttributeSignature);
}

RETCODE comm_dir_facade::get_next_attribute(UINT operation_id, CHAR*& attribute) {
  return replace_attribute(*collector_, *client_, &comm_dir_facade_client::get_next_attribute, operation_id, attribute,
                           kGetNextAttributeSignature);
}

RETCODE comm_dir_facade::get_value_string(UINT operation_id, CHAR* attribute, UINT& count, CHAR**& values) {
  return replace_value_list<CHAR>(*collector_, *client_, &comm_dir_facade_client::get_value_string,
                                  {&comm_dir_info::str_values, &comm_dir_info::str_count}, operation_id, attribute,
                                  count, values, kGetValueStringSignature);
}

RETCODE comm_dir_facade::get_value_binary(UINT operation_id, CHAR* attribute, UINT& count, COMM_DIR_BERVAL**& values) {
  return replace_value_list<COMM_DIR_BERVAL>(*collector_, *client_, &comm_dir_facade_client::get_value_binary,
                                             {&comm_dir_info::bin_values, &comm_dir_info::bin_count}, operation_id,
                                             attribute, count, values, kGetValueBinarySignature);
}

// The six per-value calls refuse without a look at their arguments: value
// lists are read whole through get_value_string and get_value_binary, whose
// client side makes the count, length and value requests itself.
RETCODE comm_dir_facade::get_value_string_cnt(UINT, CHAR*, UINT&) { return COMM_DIR_ERR; }
RETCODE comm_dir_facade::get_value_string_len(UINT, CHAR*, UINT, UINT&) { return COMM_DIR_ERR; }
RETCODE comm_dir_facade::get_value_string_one(UINT, CHAR*, UINT, CHAR*&) { return COMM_DIR_ERR; }
RETCODE comm_dir_facade::get_value_binary_cnt(UINT, CHAR*, UINT&) { return COMM_DIR_ERR; }
RETCODE comm_dir_facade::get_value_binary_len(UINT, CHAR*, UINT, UINT&) { return COMM_DIR_ERR; }
RETCODE comm_dir_facade::get_value_binary_one(UINT, CHAR*, UINT, COMM_DIR_BERVAL*&) { return COMM_DIR_ERR; }

RETCODE comm_dir_facade::end_operation(UINT operation_id) {
  comm_dir_info* info = nullptr;
  if (collector_->get_info_map(operation_id, info) != 0) {
    trace_format_b(kEndOperationSignature, __LINE__);
    return COMM_DIR_ERR;
  }
  RETCODE result = client_->end_operation(operation_id);
  if (result != 0) {
    // Everything handed out stays valid; the application may try again.
    trace_format_a(kEndOperationSignature, __LINE__);
    return result;
  }
  if (collector_->unset_info_map(operation_id) != 0) {
    // A failed mutex request leaves the entry, a failed release has removed
    // it, and the result does not tell which. Nothing is freed: a record the
    // store still holds is freed by its destructor; one it dropped is lost,
    // a leak, where freeing a record still held would be a double free.
    trace_format_b(kEndOperationSignature, __LINE__);
    return COMM_DIR_ERR;
  }
  free_info_holdings(*info);
  delete info;
  return 0;
}

RETCODE comm_dir_facade::free_msg(UINT operation_id) {
  return forwarded(client_->free_msg(operation_id), kFreeMsgSignature, __LINE__);
}

}  // namespace velmarosta
