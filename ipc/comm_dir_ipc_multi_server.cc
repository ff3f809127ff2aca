// The threaded request server.
//
// Thread safety. Every member is static and shared by all servers started
// through the class:
//   - server_sem_id_ guards the slot search and registration (dispatch_server)
//     and the setting of dis_ (start_server);
//   - server_send_sem_id_ serialises send_reply, one reply client at a time;
//   - server_sem_dispatch_id serialises the end of each dispatch task;
//   - dis_ is atomic: tasks read it without a lock (acquire), start_server
//     publishes it (release), so a task that sees the function also sees
//     everything written before it was set;
//   - a slot of thread_name_ is written only while it is free (registration,
//     under server_sem_id_) or by the one task that owns it (clearing, under
//     server_sem_dispatch_id). The two locks differ, so a clear can run during
//     a search: the first byte of a slot is therefore only ever read and
//     written with atomic operations, and a clear writes the rest of the slot
//     before it releases the first byte with a release store. A search that
//     sees the first byte free (acquire) also sees the rest cleared and may
//     overwrite it.
// No operation holds two of the three locks at once, and none is held while a
// dispatch function runs.
#include "ipc/comm_dir_ipc_multi_server.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_platform_lock.h"
#include "ipc/comm_dir_trace.h"
#include "ipc/comm_dir_word_table.h"

namespace velmarosta {

std::atomic<comm_dir_ipc_multi_server*> comm_dir_ipc_multi_server::s_instance_{nullptr};
OSW_Mutex_Semaphore* comm_dir_ipc_multi_server::s_mtx_ = nullptr;
comm_dir_platform_mutex comm_dir_ipc_multi_server::server_sem_id_;
comm_dir_platform_mutex comm_dir_ipc_multi_server::server_send_sem_id_;
comm_dir_platform_mutex comm_dir_ipc_multi_server::server_sem_dispatch_id;
std::atomic<PGEN_IPC_DISPATCH> comm_dir_ipc_multi_server::dis_{nullptr};
char comm_dir_ipc_multi_server::thread_name_[COMM_DIR_MAX_THREADS][COMM_DIR_IPC_NAME_SIZE];

namespace {

constexpr char kStartServerSig[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_server::start_server(const char*, int, ULONG, "
    "PGEN_IPC_DISPATCH)";
constexpr char kStopServerSig[] = "RETCODE velmarosta::comm_dir_ipc_multi_server::stop_server(const char*)";
constexpr char kSendReplySig[] =
    "static RETCODE velmarosta::comm_dir_ipc_multi_server::send_reply(velmarosta::COMM_DIR_IPC_"
    "MULTI_REQUEST*, RETCODE, char*, int)";
constexpr char kGetTypeSig[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_server::get_type(velmarosta::COMM_DIR_IPC_MULTI_"
    "REQUEST*, UINT&)";
constexpr char kInitializeSig[] = "RETCODE velmarosta::comm_dir_ipc_multi_server::initialize()";
constexpr char kFinalizeSig[] = "RETCODE velmarosta::comm_dir_ipc_multi_server::finalize()";
constexpr char kThreadRegistSig[] =
    "static RETCODE velmarosta::comm_dir_ipc_multi_server::thread_regist(const CHAR*, INT)";
constexpr char kDispatchServerSig[] =
    "static RETCODE velmarosta::comm_dir_ipc_multi_server::dispatch_server(char*, char*, int*)";
constexpr char kThreadDeleteSig[] = "static RETCODE velmarosta::comm_dir_ipc_multi_server::thread_delete(INT)";
constexpr char kDispatchThreadSig[] =
    "static void velmarosta::comm_dir_ipc_multi_server::dispatch_thread(INT, INT, INT)";

constexpr char kDataIsNull[] = "<Fatal>:<%s>(%d) : Paramter data is NULL\n";
constexpr char kBadServerName[] = "<Fatal>:<%s>(%d) : Paramter server_name=[%s]\n";
constexpr char kBadIndex[] = "<Fatal>:<%s>(%d) : Parameter failed : index=%#x\n";
constexpr char kNullRcvbuf[] = "<Error>:<%s>(%d) : parameter failed : rcvbuf=%p\n";
constexpr char kNullSndbuf[] = "<Error>:<%s>(%d) : parameter failed : sndbuf=%p\n";
constexpr char kOutOfMemory[] = "<Fatal>:<%s>(%d) : function failed : new size=%d\n";

constexpr int kSendBufferSize = 65536;  // what the platform's send buffer holds
constexpr int kTaskNameSize = 36;       // "comm_dir_thread" + "_%x" and room to spare
constexpr int kSlotSuffixSize = 16;
constexpr INT kTaskPriority = -1;
constexpr INT kTimeoutForever = -1;
// A "%s" must not be handed a null pointer; traces show a null string as
// glibc would print it.
const char* printable(const char* text) { return text != nullptr ? text : "(null)"; }

bool valid_index(INT index) { return index >= 0 && index < COMM_DIR_MAX_THREADS; }

// The private copies handed to a dispatch task travel as 32-bit task
// arguments: random words of this table, not the copies' addresses (see
// comm_dir_word_table.h). A task only uses a word that this table confirms
// and removes, so a forged or repeated word frees and reads nothing.
// Never destroyed: a task may still run while the process exits.
comm_dir_word_table<char>& task_copies() {
  static auto* table = new comm_dir_word_table<char>();
  return *table;
}

// A zero-filled heap array, or null (traced) when memory is short.
char* new_zeroed(int size, const char* sig, int line) {
  char* block = new (std::nothrow) char[size]();
  if (block == nullptr) COMM_DIR_TRACE(0, kOutOfMemory, sig, line, size);
  return block;
}

// Writes `name` (cut to 31 characters) into a slot of the task table, the
// tail first and then the first byte with a release store, so that a search
// that sees the first byte also sees the whole name (or the cleared tail).
void write_slot(char (&slot)[COMM_DIR_IPC_NAME_SIZE], const char* name) {
  char text[COMM_DIR_IPC_NAME_SIZE] = {};
  std::memcpy(text, name, ::strnlen(name, COMM_DIR_IPC_NAME_SIZE - 1));
  std::memcpy(slot + 1, text + 1, COMM_DIR_IPC_NAME_SIZE - 1);
  __atomic_store_n(&slot[0], text[0], __ATOMIC_RELEASE);
}

// The two private copies of one request, owned by whoever holds this record.
struct request_copies {
  std::unique_ptr<char[]> request;
  std::unique_ptr<char[]> buffer;
};

// A received message is accepted when it holds at least the envelope's head
// and at most a whole request form. Anything shorter cannot be routed;
// anything longer is no request form. Accepted messages are copied into a
// zero-padded request form, so a dispatch function and send_reply may read
// any field of the form, whatever length arrived.
bool acceptable_length(UINT length) {
  return length >= sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) && length <= static_cast<UINT>(COMM_DIR_IPC_REQUEST_SIZE);
}

bool reply_name_terminated(const COMM_DIR_IPC_ENVELOPE_HEAD& head) {
  return ::memchr(head.reply_server_name, '\0', sizeof head.reply_server_name) != nullptr;
}

// Checks a received message and makes the task's private copies: the
// message padded to a whole request form, and the platform's send buffer.
// False (traced) when the message is malformed or memory is short.
bool copy_request(const char* rcvbuf, const char* sndbuf, request_copies& copies) {
  UINT length = read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET);
  if (!acceptable_length(length)) {
    COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : parameter failed : rcvbuf length=%u\n", kDispatchServerSig, __LINE__, length);
    return false;
  }
  if (!reply_name_terminated(*reinterpret_cast<const COMM_DIR_IPC_ENVELOPE_HEAD*>(rcvbuf))) {
    COMM_DIR_TRACE(0, "<Error>:<%s>(%d) : parameter failed : reply_server_name\n", kDispatchServerSig, __LINE__);
    return false;
  }
  copies.request.reset(new_zeroed(COMM_DIR_IPC_REQUEST_SIZE, kDispatchServerSig, __LINE__));
  copies.buffer.reset(new_zeroed(kSendBufferSize, kDispatchServerSig, __LINE__));
  if (copies.request == nullptr || copies.buffer == nullptr) return false;
  std::memcpy(copies.request.get(), rcvbuf, length);
  std::memcpy(copies.buffer.get(), sndbuf, kSendBufferSize);
  return true;
}

// The words that name a task's copies in the word table.
struct task_words {
  UINT request = 0;  // 0 names nothing: the table never hands it out
  UINT buffer = 0;
};

void forget_words(const task_words& words) {
  (void)task_copies().remove(words.request);
  (void)task_copies().remove(words.buffer);
}

// Names both copies in the word table; false (traced, nothing named) when
// the table cannot grow.
bool name_copies(const request_copies& copies, task_words& words) {
  try {
    words.request = task_copies().add(copies.request.get());
    words.buffer = task_copies().add(copies.buffer.get());
    return true;
  } catch (const std::exception&) {
    forget_words(words);
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : word table\n", kDispatchServerSig, __LINE__);
    return false;
  }
}

// Takes the copies that a task's words name out of the table. A word that
// names nothing leaves its half empty.
request_copies claim_copies(INT request_word, INT buffer_word) {
  request_copies copies;
  copies.request.reset(task_copies().remove(static_cast<UINT>(request_word)));
  copies.buffer.reset(task_copies().remove(static_cast<UINT>(buffer_word)));
  return copies;
}

}  // namespace

comm_dir_ipc_multi_server* comm_dir_ipc_multi_server::get_instance() {
  comm_dir_ipc_multi_server* instance = s_instance_.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  OSW_Mutex_Semaphore* creation_mutex = nullptr;
  {
    OSW_Thread_Guard creation_guard;  // s_mtx_ is only ever read and written under it
    if (s_mtx_ == nullptr) s_mtx_ = new (std::nothrow) OSW_Mutex_Semaphore(1);
    creation_mutex = s_mtx_;
  }
  if (creation_mutex == nullptr) return nullptr;
  OSW_Guard guard(*creation_mutex);
  (void)guard.locked();
  instance = s_instance_.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new (std::nothrow) comm_dir_ipc_multi_server();
    s_instance_.store(instance, std::memory_order_release);
  }
  return instance;
}

comm_dir_ipc_multi_server::comm_dir_ipc_multi_server() { (void)initialize(); }

comm_dir_ipc_multi_server::~comm_dir_ipc_multi_server() { (void)finalize(); }

RETCODE comm_dir_ipc_multi_server::initialize() {
  for (UINT* sem_id : {server_sem_id_.id_slot(), server_send_sem_id_.id_slot(), server_sem_dispatch_id.id_slot()}) {
    RETCODE ret = emwOSWCreateMutexSem(sem_id, 0, 1);
    if (ret != 0) {
      COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwOSWCreateMutexSem ret=%#lx\n", kInitializeSig,
                     __LINE__, trace_code(ret));
      return -1;
    }
  }
  for (INT index = 0; index < COMM_DIR_MAX_THREADS; ++index) (void)thread_delete(index);
  return 0;
}

RETCODE comm_dir_ipc_multi_server::finalize() {
  for (UINT* sem_id : {server_sem_id_.id_slot(), server_send_sem_id_.id_slot(), server_sem_dispatch_id.id_slot()}) {
    RETCODE ret = emwOSWDeleteMutexSem(sem_id);
    if (ret != 0) {
      COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwOSWDeleteMutexSem ret=%#lx\n", kFinalizeSig, __LINE__,
                     trace_code(ret));
      return -1;
    }
  }
  return 0;
}

RETCODE comm_dir_ipc_multi_server::start_server(const char* server_name, int server_id, ULONG stack_size,
                                                PGEN_IPC_DISPATCH dispatch) {
  if (!valid_endpoint_name(server_name)) {
    COMM_DIR_TRACE(0, kBadServerName, kStartServerSig, __LINE__, printable(server_name));
    return -1;
  }
  if (dispatch == nullptr) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter dispatch=[%p]\n", kStartServerSig, __LINE__,
                   static_cast<void*>(nullptr));
    return -1;
  }
  // Every server started here is served by dispatch_server, which runs the
  // one dispatch function of the class on a task.
  RETCODE ret = emwGENIpcStartServer(server_name, server_id, stack_size, dispatch_server);
  if (ret != 0) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwGENIpcStartServer ret=[%#lx]\n", kStartServerSig,
                   __LINE__, trace_code(ret));
    return -1;
  }
  comm_dir_platform_lock lock(server_sem_id_, kStartServerSig, __LINE__);
  if (!lock.locked()) return -1;
  dis_.store(dispatch, std::memory_order_release);
  if (lock.release(__LINE__) != 0) return -1;
  return 0;
}

RETCODE comm_dir_ipc_multi_server::stop_server(const char* server_name) {
  // Checked like start_server's name, so that the platform never sees a null
  // or overlong name.
  if (!valid_endpoint_name(server_name)) {
    COMM_DIR_TRACE(0, kBadServerName, kStopServerSig, __LINE__, printable(server_name));
    return -1;
  }
  RETCODE ret = emwGENIpcRequestAdmin(server_name, GEN_IPC_ADMIN_STOP);
  if (ret != 0) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwGENIpcStopServer ret=[%#lx]\n", kStopServerSig, __LINE__,
                   trace_code(ret));
    return -1;
  }
  return 0;
}

RETCODE comm_dir_ipc_multi_server::get_type(COMM_DIR_IPC_MULTI_REQUEST* request, UINT& type) {
  if (request == nullptr) {
    COMM_DIR_TRACE(0, kDataIsNull, kGetTypeSig, __LINE__);
    return -1;
  }
  type = request->head.type;
  return 0;
}

// The reply's `result` word stays 0 whatever `result` says: the peer that
// receives callback replies does not read it, and a constant keeps every
// reply of this path identical to the ones the service already expects.
RETCODE comm_dir_ipc_multi_server::send_reply(COMM_DIR_IPC_MULTI_REQUEST* request, RETCODE /*result*/, char* data,
                                              int size) {
  if (request == nullptr) {
    COMM_DIR_TRACE(0, kDataIsNull, kSendReplySig, __LINE__);
    return -1;
  }
  if (request->head.replied != 0) return 0;
  // The payload must fit the reply form; the reply server's name must be a
  // string. Either fault would make the reply read past its source.
  if (data != nullptr && (size < 0 || size > COMM_DIR_IPC_MAX_PAYLOAD)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter size=%d\n", kSendReplySig, __LINE__, size);
    return -1;
  }
  if (!reply_name_terminated(request->head)) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Paramter reply_server_name\n", kSendReplySig, __LINE__);
    return -1;
  }
  std::unique_ptr<char[]> reply(new_zeroed(COMM_DIR_IPC_REPLY_SIZE, kSendReplySig, __LINE__));
  if (reply == nullptr) return -1;
  auto* form = reinterpret_cast<COMM_DIR_IPC_MULTI_REPLY*>(reply.get());
  form->head.event_sem_id = request->head.event_sem_id;
  form->head.type = request->head.type;
  form->head.reply_buffer = request->head.reply_buffer;
  form->head.reply_buffer_size = request->head.reply_buffer_size;
  std::strcpy(form->head.reply_server_name, request->head.reply_server_name);
  form->head.replied = 1;
  form->result = 0;
  if (data != nullptr) std::memcpy(form->payload, data, static_cast<size_t>(size));

  comm_dir_platform_lock lock(server_send_sem_id_, kSendReplySig, __LINE__);
  if (!lock.locked()) return -1;
  COMM_DIR_MULTI_IPC_CLNT client = {};
  RETCODE ret = emwGENIpcCreateClient(COMM_DIR_REPLY_CLIENT_NAME, request->head.reply_server_name, 0, 0,
                                      COMM_DIR_IPC_ID_REPLY, &client);
  if (ret != 0) {
    (void)lock.release(__LINE__);
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwGENIpcCreateClient ret=[%#lx]\n", kSendReplySig,
                   __LINE__, trace_code(ret));
    return -1;
  }
  ret = emwGENIpcCallClient(client.handle, GEN_IPC_KIND_REPLY, 0, 0, reply.get(), COMM_DIR_IPC_REPLY_SIZE, nullptr, 0,
                            nullptr, static_cast<ULONG>(kTimeoutForever));
  (void)emwGENIpcDestroyClient(client.handle);
  if (ret != 0) {
    (void)lock.release(__LINE__);
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwGENIpcCallClient ret=[%#lx]\n", kSendReplySig, __LINE__,
                   trace_code(ret));
    return -1;
  }
  if (lock.release(__LINE__) != 0) return -1;
  request->head.replied = 1;
  return 0;
}

RETCODE comm_dir_ipc_multi_server::dispatch_server(char* rcvbuf, char* sndbuf, int* size) {
  if (size != nullptr) *size = 0;  // the platform never gets a synchronous answer
  if (rcvbuf == nullptr) {
    COMM_DIR_TRACE(0, kNullRcvbuf, kDispatchServerSig, __LINE__, static_cast<void*>(rcvbuf));
    return -1;
  }
  if (sndbuf == nullptr) {
    COMM_DIR_TRACE(0, kNullSndbuf, kDispatchServerSig, __LINE__, static_cast<void*>(sndbuf));
    return -1;
  }
  request_copies copies;
  task_words words;
  if (!copy_request(rcvbuf, sndbuf, copies) || !name_copies(copies, words)) return -1;

  comm_dir_platform_lock lock(server_sem_id_, kDispatchServerSig, __LINE__);
  if (!lock.locked()) {
    forget_words(words);
    return -1;
  }
  int index = 0;
  RETCODE ret = thread_check_empty(index);
  if (ret != 0) {
    (void)lock.release(__LINE__);
    forget_words(words);
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : connection_check ret=[%#lx]\n", kDispatchServerSig,
                   __LINE__, trace_code(ret));
    return -1;
  }
  char task_name[kTaskNameSize] = {};
  char suffix[kSlotSuffixSize] = {};
  std::snprintf(suffix, sizeof suffix, "_%x", static_cast<unsigned>(index));
  std::snprintf(task_name, sizeof task_name, "%s%s", COMM_DIR_TASK_NAME_PREFIX, suffix);
  ret = thread_regist(task_name, index);
  if (ret != 0) {
    (void)lock.release(__LINE__);
    forget_words(words);
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : connection_regist ret=[%#lx]\n", kDispatchServerSig,
                   __LINE__, trace_code(ret));
    return -1;
  }
  // From here on a failure leaves a registered slot without a task. The slot
  // is cleared again, so that the server never loses a slot for good; no lock
  // is needed for that, as only a slot's owner writes a busy slot and the
  // clear ends with a single release store.
  if (lock.release(__LINE__) != 0) {
    forget_words(words);
    (void)thread_delete(index);
    return -1;
  }
  UINT task_id = 0;
  ret =
      emwOSWCreateJoinTask(&task_id, task_name, kTaskPriority, COMM_DIR_IPC_STACK_SIZE, dispatch_thread, 0,
                           static_cast<INT>(words.request), static_cast<INT>(words.buffer), index, 0, 0, 0, 0, 0, 0, 0);
  if (ret != 0) {
    forget_words(words);
    (void)thread_delete(index);
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : emwOSWCreateJoinTask ret=%#lx\n", kDispatchServerSig,
                   __LINE__, trace_code(ret));
    return -1;
  }
  // The task owns the copies now; it claims them through the words.
  (void)copies.request.release();
  (void)copies.buffer.release();
  return 0;
}

void comm_dir_ipc_multi_server::dispatch_thread(INT request_word, INT buffer_word, INT index) {
  int size = 0;
  request_copies copies = claim_copies(request_word, buffer_word);
  if (copies.request == nullptr || copies.buffer == nullptr) {
    // Words that name no copy come from no dispatch_server; the slot given
    // beside them may belong to another task, so it is left alone.
    COMM_DIR_TRACE(0, copies.request == nullptr ? kNullRcvbuf : kNullSndbuf, kDispatchThreadSig, __LINE__,
                   static_cast<void*>(nullptr));
    return;
  }
  auto* request = reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(copies.request.get());
  RETCODE result = 0;
  PGEN_IPC_DISPATCH dispatch = dis_.load(std::memory_order_acquire);
  if (dispatch != nullptr) {
    RETCODE ret = dispatch(copies.request.get(), copies.buffer.get(), &size);
    if (ret != 0) {
      COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : dispatch ret=%#lx\n", kDispatchThreadSig, __LINE__,
                     trace_code(ret));
      result = ret;
    }
  }
  if (request->head.replied == 0) {
    RETCODE ret = send_reply(request, result, copies.buffer.get(), size);
    if (ret != 0) {
      COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : send_reply ret=%#lx\n", kDispatchThreadSig, __LINE__,
                     trace_code(ret));
    }
  }
  // The copies are this task's alone and the slot's clear is a single release
  // store, so both are undone even when the end-of-task mutex cannot be
  // taken: a task must never take one of the 12 slots with it.
  comm_dir_platform_lock lock(server_sem_dispatch_id, kDispatchThreadSig, __LINE__);
  copies = request_copies();
  RETCODE ret = thread_delete(index);
  (void)lock.release(__LINE__);
  if (ret != 0) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : function failed : thread_delete ret=[%#lx]\n", kDispatchThreadSig, __LINE__,
                   trace_code(ret));
  }
}

RETCODE comm_dir_ipc_multi_server::thread_check_empty(int& index) {
  for (index = 0; index < COMM_DIR_MAX_THREADS; ++index) {
    if (__atomic_load_n(&thread_name_[index][0], __ATOMIC_ACQUIRE) == '\0') return 0;
  }
  return -1;
}

RETCODE comm_dir_ipc_multi_server::thread_regist(const CHAR* thread_name, INT index) {
  if (thread_name == nullptr) {
    COMM_DIR_TRACE(0, "<Fatal>:<%s>(%d) : Parameter failed : thread_name=%s\n", kThreadRegistSig, __LINE__,
                   printable(thread_name));
    return -1;
  }
  if (!valid_index(index)) {
    COMM_DIR_TRACE(0, kBadIndex, kThreadRegistSig, __LINE__, static_cast<unsigned>(index));
    return -1;
  }
  write_slot(thread_name_[index], thread_name);
  return 0;
}

RETCODE comm_dir_ipc_multi_server::thread_delete(INT index) {
  if (!valid_index(index)) {
    COMM_DIR_TRACE(0, kBadIndex, kThreadDeleteSig, __LINE__, static_cast<unsigned>(index));
    return -1;
  }
  write_slot(thread_name_[index], "");
  return 0;
}

}  // namespace velmarosta
