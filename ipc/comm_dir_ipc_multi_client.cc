#include "ipc/comm_dir_ipc_multi_client.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_platform_lock.h"
#include "ipc/comm_dir_trace.h"
#include "ipc/comm_dir_word_table.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"

namespace velmarosta {

std::atomic<comm_dir_ipc_multi_client*> comm_dir_ipc_multi_client::s_instance_{nullptr};
std::atomic<OSW_Mutex_Semaphore*> comm_dir_ipc_multi_client::s_mtx_{nullptr};
UINT comm_dir_ipc_multi_client::client_sem_id_ = 0;
comm_dir_platform_mutex comm_dir_ipc_multi_client::client_send_sem_id_;
std::atomic<bool> comm_dir_ipc_multi_client::s_ready_{false};

namespace {

constexpr char kGetInstanceSignature[] =
    "static velmarosta::comm_dir_ipc_multi_client* velmarosta::comm_dir_ipc_multi_client::get_instance()";
constexpr char kDispatchSignature[] =
    "static RETCODE velmarosta::comm_dir_ipc_multi_client::dispatch_client(char*, char*, int*)";
constexpr char kCreateClientSignature[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_client::create_client(const char*, const char*, int, "
    "int, int, velmarosta::COMM_DIR_MULTI_IPC_CLNT&)";
constexpr char kDestroyClientSignature[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_client::destroy_client(const "
    "velmarosta::COMM_DIR_MULTI_IPC_CLNT&)";
constexpr char kCallClientSignature[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_client::call_client(const "
    "velmarosta::COMM_DIR_MULTI_IPC_CLNT&, int, int, long int, char*, int, char*, int, int*, long "
    "unsigned int)";
constexpr char kInitializeSignature[] = "RETCODE velmarosta::comm_dir_ipc_multi_client::initialize()";
constexpr char kFinalizeSignature[] = "RETCODE velmarosta::comm_dir_ipc_multi_client::finalize()";

// "<call> failed with <code>", the one shape of every platform failure here.
// A macro so that the format stays a literal the compiler checks and the
// line is the reporting line.
#define TRACE_CALL_FAILED(signature, call, code)                                                         \
  COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : " call " ret=[%#lx]\n", (signature), __LINE__, \
                 trace_code(code))

// One call_client waiting for its reply.
//
// Of a reply the caller reads its first rcvsize payload bytes and nothing
// else, so that is all the call keeps: dispatch_client copies those bytes
// into `payload` and the rest of the 49,284-byte form is never copied or
// zeroed. (With many callers at once every call's record is cold; copying
// and zeroing two 48 KiB areas per call cost a tenth of the exchanges per
// second with 64 threads.) The request still says `reply_buffer_size`
// 49,284: that is the envelope's contract, and the service only echoes it.
//
// The envelope's `reply_buffer` carries the word that names the call in the
// reply table: a random word, not the record's address (see
// comm_dir_word_table.h for why). dispatch_client reaches a call only through
// the table, so a late, repeated or forged reply finds nothing to write to.
//
// Lifetime: the call registers itself once its event exists, before its
// request goes out, and removes itself on every way out of call_client
// before it deletes the event and frees the payload. dispatch_client copies
// the reply and marks the call delivered under the table's mutex, so the
// removal waits for a copy under way to finish, and a reply arriving after
// it finds no call. The post comes after the mutex is released (see
// deliver_reply), so that the woken caller does not block at once on the
// mutex that the reply thread still holds.
struct pending_call;
comm_dir_word_table<pending_call>& reply_table();

struct pending_call {
  std::unique_ptr<char[]> payload;  // payload_size bytes, written by dispatch_client under the table's mutex
  std::size_t payload_size = 0;     // the caller's rcvsize (0 without rcvbuf); at most a reply's payload
  UINT event_id = 0;                // set before the call is registered, then constant
  bool delivered GUARDED_BY(reply_table().mutex()) = false;
};

// Every call waiting for a reply, by the word its request carries. Never
// destroyed: the reply server's thread may still look words up while the
// process exits.
comm_dir_word_table<pending_call>& reply_table() {
  static auto* table = new comm_dir_word_table<pending_call>();
  return *table;
}

// True when `size` bytes fit the payload of an envelope; a size that goes
// with a null buffer is never used and so never refused.
bool payload_fits(const char* buffer, int size) {
  return buffer == nullptr || (size >= 0 && size <= COMM_DIR_IPC_MAX_PAYLOAD);
}

// The caller's request envelope, zeroed, with every field that does not
// depend on the event (step 1 of a call). Null when memory runs out.
std::unique_ptr<COMM_DIR_IPC_MULTI_REQUEST> build_request(const char* reply_server_name, int type, const char* sndbuf,
                                                          int sndsize) {
  std::unique_ptr<COMM_DIR_IPC_MULTI_REQUEST> request(new (std::nothrow) COMM_DIR_IPC_MULTI_REQUEST());
  if (request == nullptr) return nullptr;
  request->head.replied = 0;
  request->head.type = static_cast<UINT>(type);
  // reply_server_name_ is zero-filled behind its NUL, so copying all of it
  // is the string copy with the zero fill included.
  std::memcpy(request->head.reply_server_name, reply_server_name, COMM_DIR_IPC_NAME_SIZE);
  request->head.reply_buffer_size = COMM_DIR_IPC_REPLY_SIZE;
  if (sndbuf != nullptr) std::memcpy(request->payload, sndbuf, static_cast<std::size_t>(sndsize));
  return request;
}

RETCODE delete_event(UINT event_id) {
  RETCODE rc = emwOSWDeleteEventSem(event_id);
  if (rc != 0) TRACE_CALL_FAILED(kCallClientSignature, "emwOSWDeleteEventSem", rc);
  return rc;
}

// Ends a call whose reply will not be awaited. The entry goes first, under
// the table's mutex, so that a reply arriving later finds nothing, and one
// being copied right now has finished before the record is freed. Its post
// may still come after the deletion and then fails on a dead id (traced).
void abandon_call(UINT word, UINT event_id) {
  reply_table().remove(word);
  delete_event(event_id);
}

// Names the call in the reply table; false (traced) when the table cannot
// grow or the kernel gave no random word.
bool register_call(pending_call& call, UINT* word) {
  try {
    *word = reply_table().add(&call);
    return true;
  } catch (const std::exception& error) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : reply table : %s\n", kCallClientSignature, __LINE__,
                   error.what());
    return false;
  }
}

// Steps 3 to 7 of a call: under the send mutex, create the caller's event,
// unposted, register the call and hand the request to the platform. On
// success the call waits in the table under *word, its event made and the
// mutex free again; on failure everything made here is undone (traced).
bool send_request(comm_dir_platform_mutex& send_mutex, const COMM_DIR_MULTI_IPC_CLNT& clnt, int arg3, long arg4,
                  unsigned long timeout, COMM_DIR_IPC_MULTI_REQUEST& request, pending_call& call, UINT* word) {
  comm_dir_platform_lock lock(send_mutex, kCallClientSignature, __LINE__);
  if (!lock.locked()) return false;
  UINT event_id = 0;
  RETCODE rc = emwOSWCreateEventSem(&event_id, 0, 0);
  if (rc != 0) {
    TRACE_CALL_FAILED(kCallClientSignature, "emwOSWCreateEventSem", rc);
    (void)lock.release(__LINE__);
    return false;
  }
  // Reset before the request can be answered, so only its own reply posts it.
  rc = emwOSWResetEventSem(event_id);
  if (rc != 0) {
    TRACE_CALL_FAILED(kCallClientSignature, "emwOSWResetEventSem", rc);
    (void)lock.release(__LINE__);
    delete_event(event_id);
    return false;
  }
  // Registered only now, complete with its event, so that no reply can match
  // a call that has no event yet.
  call.event_id = event_id;
  if (!register_call(call, word)) {
    (void)lock.release(__LINE__);
    delete_event(event_id);
    return false;
  }
  request.head.event_sem_id = event_id;
  request.head.reply_buffer = *word;
  rc = emwGENIpcCallClient(clnt.handle, GEN_IPC_KIND_REQUEST, arg3, arg4, reinterpret_cast<char*>(&request),
                           COMM_DIR_IPC_REQUEST_SIZE, nullptr, 0, nullptr, timeout);
  if (rc != 0) {
    TRACE_CALL_FAILED(kCallClientSignature, "emwGENIpcCallClient", rc);
    (void)lock.release(__LINE__);
    abandon_call(*word, event_id);
    return false;
  }
  if (lock.release(__LINE__) != 0) {
    abandon_call(*word, event_id);
    return false;
  }
  return true;
}

enum class delivery { kDelivered, kNoCall, kAlreadyDelivered, kWrongEvent, kPostFailed };

// Copies a reply into the record of the call that its `reply_buffer` word
// names, under the table's mutex, and then wakes that call.
//
// The post happens after the mutex is released. That is safe because the
// call is marked delivered before the release: no other reply touches it
// again, and its caller frees the record only once its wait has ended, which
// is by this post or by a failed wait; in the latter case the event may be
// deleted before the post, and the post then fails harmlessly on an id that
// names nothing (ids are never reused soon). Posting outside the mutex
// matters on one CPU: the woken caller preempts this thread and would
// otherwise block straight away on the mutex to remove its entry.
delivery deliver_reply(const COMM_DIR_IPC_ENVELOPE_HEAD& head, const char* message, RETCODE* post_code) {
  delivery outcome = delivery::kNoCall;
  UINT event_id = 0;
  reply_table().with(head.reply_buffer, [&](pending_call& call) {
    reply_table().mutex().assert_held();
    if (call.delivered) {
      outcome = delivery::kAlreadyDelivered;
    } else if (call.event_id != head.event_sem_id) {
      outcome = delivery::kWrongEvent;
    } else {
      if (call.payload_size != 0) {
        std::memcpy(call.payload.get(), message + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, call.payload_size);
      }
      call.delivered = true;
      event_id = call.event_id;
      outcome = delivery::kDelivered;
    }
  });
  if (outcome != delivery::kDelivered) return outcome;
  *post_code = emwOSWPostEventSem(event_id);
  if (*post_code == 0) return delivery::kDelivered;
  // A failed post leaves the call waiting: undelivered again, so that a
  // repeated reply can still wake it. The event id tells whether the entry
  // is still that call (its word may meanwhile name a new call).
  reply_table().with(head.reply_buffer, [&](pending_call& call) {
    reply_table().mutex().assert_held();
    if (call.event_id == event_id) call.delivered = false;
  });
  return delivery::kPostFailed;
}

}  // namespace

comm_dir_ipc_multi_client* comm_dir_ipc_multi_client::get_instance() {
  comm_dir_ipc_multi_client* instance = s_instance_.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  if (s_mtx_.load(std::memory_order_acquire) == nullptr) {
    OSW_Thread_Guard thread_guard;
    if (s_mtx_.load(std::memory_order_relaxed) == nullptr) {
      s_mtx_.store(new (std::nothrow) OSW_Mutex_Semaphore(1), std::memory_order_release);
    }
  }
  OSW_Mutex_Semaphore* creation_mutex = s_mtx_.load(std::memory_order_acquire);
  if (creation_mutex == nullptr) {
    COMM_DIR_TRACE(0, "[ERROR]<%s>(%d)\n", kGetInstanceSignature, __LINE__);
    return nullptr;
  }
  OSW_Guard guard(*creation_mutex);
  guard.locked();
  instance = s_instance_.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new (std::nothrow) comm_dir_ipc_multi_client();
    if (instance == nullptr) COMM_DIR_TRACE(0, "[ERROR]<%s>(%d)\n", kGetInstanceSignature, __LINE__);
    s_instance_.store(instance, std::memory_order_release);
  }
  return instance;
}

comm_dir_ipc_multi_client::comm_dir_ipc_multi_client() : reply_server_name_() { initialize(); }

comm_dir_ipc_multi_client::~comm_dir_ipc_multi_client() { finalize(); }

RETCODE comm_dir_ipc_multi_client::initialize() {
  RETCODE rc = emwOSWCreateMutexSem(&client_sem_id_, 0, 1);
  if (rc != 0) {
    TRACE_CALL_FAILED(kInitializeSignature, "emwOSWCreateMutexSem", rc);
    return -1;
  }
  rc = emwOSWCreateMutexSem(client_send_sem_id_.id_slot(), 0, 1);
  if (rc != 0) {
    TRACE_CALL_FAILED(kInitializeSignature, "emwOSWCreateMutexSem", rc);
    return -1;
  }
  // Zeroed although the platform terminates the name: at most 7 characters
  // are read from it either way.
  char process_name[16] = {};
  emwOSWGetProcessName(process_name);
  std::memset(reply_server_name_, 0, sizeof reply_server_name_);
  constexpr std::size_t kPrefixLength = sizeof COMM_DIR_REPLY_SERVER_PREFIX - 1;
  std::memcpy(reply_server_name_, COMM_DIR_REPLY_SERVER_PREFIX, kPrefixLength);
  std::memcpy(reply_server_name_ + kPrefixLength, process_name,
              ::strnlen(process_name, COMM_DIR_REPLY_SERVER_PROCESS_CHARS));
  rc = emwGENIpcStartServer(reply_server_name_, COMM_DIR_IPC_ID_REPLY, COMM_DIR_IPC_STACK_SIZE, dispatch_client);
  if (rc != 0) {
    TRACE_CALL_FAILED(kInitializeSignature, "emwGENIpcStartServer", rc);
    return -1;
  }
  s_ready_.store(true, std::memory_order_release);
  return 0;
}

RETCODE comm_dir_ipc_multi_client::finalize() {
  // Whatever the stop returns, no reply is to be expected from here on.
  s_ready_.store(false, std::memory_order_release);
  RETCODE rc = emwGENIpcRequestAdmin(reply_server_name_, GEN_IPC_ADMIN_STOP);
  if (rc != 0) {
    TRACE_CALL_FAILED(kFinalizeSignature, "emwGENIpcStopServer", rc);
    return -1;
  }
  return 0;
}

RETCODE comm_dir_ipc_multi_client::create_client(const char* client_name, const char* server_name, int arg3, int arg4,
                                                 int client_id, COMM_DIR_MULTI_IPC_CLNT& clnt) {
  if (!valid_endpoint_name(client_name)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter client_name=[%s]\n", kCreateClientSignature, __LINE__, client_name);
    return -1;
  }
  if (!valid_endpoint_name(server_name)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter server_name=[%s]\n", kCreateClientSignature, __LINE__, server_name);
    return -1;
  }
  RETCODE rc = emwGENIpcCreateClient(client_name, server_name, arg3, arg4, client_id, &clnt);
  if (rc != 0) {
    TRACE_CALL_FAILED(kCreateClientSignature, "emwGENIpcCreateClient", rc);
    return -1;
  }
  return 0;
}

RETCODE comm_dir_ipc_multi_client::destroy_client(const COMM_DIR_MULTI_IPC_CLNT& clnt) {
  RETCODE rc = emwGENIpcDestroyClient(clnt.handle);
  if (rc != 0) {
    TRACE_CALL_FAILED(kDestroyClientSignature, "emwGENIpcDestroyClient", rc);
    return -1;
  }
  return 0;
}

RETCODE comm_dir_ipc_multi_client::call_client(const COMM_DIR_MULTI_IPC_CLNT& clnt, int type, int arg3, long arg4,
                                               char* sndbuf, int sndsize, char* rcvbuf, int rcvsize, int* /*rcvlen*/,
                                               unsigned long timeout) {
  if (!payload_fits(sndbuf, sndsize)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter sndsize=[%d]\n", kCallClientSignature, __LINE__, sndsize);
    return -1;
  }
  if (!payload_fits(rcvbuf, rcvsize)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter rcvsize=[%d]\n", kCallClientSignature, __LINE__, rcvsize);
    return -1;
  }
  // Without a running reply server no reply can come, and the wait below has
  // no limit: refuse instead of blocking the caller for good.
  if (!s_ready_.load(std::memory_order_acquire)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : reply server not running : %s\n", kCallClientSignature, __LINE__,
                   reply_server_name_);
    return -1;
  }
  std::unique_ptr<COMM_DIR_IPC_MULTI_REQUEST> request = build_request(reply_server_name_, type, sndbuf, sndsize);
  const std::size_t wanted = rcvbuf != nullptr && rcvsize > 0 ? static_cast<std::size_t>(rcvsize) : 0;
  std::unique_ptr<pending_call> call(new (std::nothrow) pending_call());
  if (call != nullptr && wanted != 0) {
    // Not zeroed: dispatch_client writes all of it before the caller reads it.
    call->payload.reset(new (std::nothrow) char[wanted]);
    call->payload_size = wanted;
  }
  if (request == nullptr || call == nullptr || (wanted != 0 && call->payload == nullptr)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : out of memory\n", kCallClientSignature, __LINE__);
    return -1;
  }

  UINT word = 0;
  const bool sent = send_request(client_send_sem_id_, clnt, arg3, arg4, timeout, *request, *call, &word);
  // The payload may hold a bind password: it leaves memory with the send.
  // Only the bytes copied in are wiped; the rest of the form stayed zero.
  if (sndbuf != nullptr) explicit_bzero(request->payload, static_cast<std::size_t>(sndsize));
  if (!sent) return -1;
  const UINT event_id = call->event_id;
  RETCODE rc = emwOSWWaitEventSem(event_id, -1);
  // From here no reply can reach the record: a reply being copied has
  // finished (the table's mutex), a later one finds nothing. A post still
  // under way after a failed wait reaches at most the event id, which stays
  // harmless once the event is deleted.
  reply_table().remove(word);
  if (rc != 0) {
    TRACE_CALL_FAILED(kCallClientSignature, "emwOSWWaitEventSem", rc);
    delete_event(event_id);
    return -1;
  }
  if (call->payload_size != 0) std::memcpy(rcvbuf, call->payload.get(), call->payload_size);
  return delete_event(event_id) == 0 ? 0 : -1;
}

RETCODE comm_dir_ipc_multi_client::dispatch_client(char* rcvbuf, char* /*sndbuf*/, int* size) {
  if (size != nullptr) *size = 0;  // no synchronous answer, ever
  if (rcvbuf == nullptr) {
    COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : parameter failed : rcvbuf=%p\n", kDispatchSignature, __LINE__,
                   static_cast<void*>(rcvbuf));
    return -1;
  }
  const UINT marker = read_word(rcvbuf, GEN_IPC_HDR_KIND_OFFSET);
  if (marker != GEN_IPC_KIND_REPLY) {
    // The marker goes with the line although the format does not print it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    COMM_DIR_TRACE(1, "[ERROR]<%s>(%d) \n", kDispatchSignature, __LINE__, marker);
#pragma GCC diagnostic pop
    return 0;
  }
  // The platform restores a message up to its length word; anything shorter
  // than a reply form would be copied with bytes that never arrived.
  const UINT length = read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length < static_cast<UINT>(COMM_DIR_IPC_REPLY_SIZE)) {
    COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : reply dropped : length=[%u] below %d\n", kDispatchSignature, __LINE__, length,
                   COMM_DIR_IPC_REPLY_SIZE);
    return -1;
  }
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  std::memcpy(&head, rcvbuf, sizeof head);
  RETCODE post_code = 0;
  switch (deliver_reply(head, rcvbuf, &post_code)) {
    case delivery::kDelivered: return 0;
    case delivery::kNoCall:
      COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : reply dropped : reply_buffer=[%#x] names no waiting call\n",
                     kDispatchSignature, __LINE__, head.reply_buffer);
      return -1;
    case delivery::kAlreadyDelivered:
      COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : reply dropped : reply_buffer=[%#x] already answered\n", kDispatchSignature,
                     __LINE__, head.reply_buffer);
      return -1;
    case delivery::kWrongEvent:
      COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : reply dropped : event_sem_id=[%#x] is not the call's\n", kDispatchSignature,
                     __LINE__, head.event_sem_id);
      return -1;
    case delivery::kPostFailed:
      TRACE_CALL_FAILED(kDispatchSignature, "emwOSWPostEventSem", post_code);
      return post_code;
  }
  return -1;
}

}  // namespace velmarosta
