#include "service/comm_dir_callback_client.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_word_table.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_request_decoder.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

// One callback waiting for its answer, on the waiting worker's stack. The
// reply server reaches it only inside the word table's with(), and the worker
// removes it from the table before it goes, so it is never used after its
// end (lock order: the table's mutex, then `mu`).
struct pending_callback {
  std::mutex mu;
  std::condition_variable answered_cv;
  bool answered = false;  // guarded by mu
};

comm_dir_word_table<pending_callback>& pending_table() {
  static comm_dir_word_table<pending_callback> table;
  return table;
}

// Whose answers the reply server takes: set by start() before the server
// runs, so the receiving thread sees it (the thread's start orders it).
const comm_dir_allow_list* g_allowed = nullptr;

bool from_allowed_user() {
  comm_dir_sender sender;
  return commdir_posix_ipc_sender(&sender.uid, &sender.gid, &sender.pid) == 0 && g_allowed->admits(sender);
}

// Dispatch function of the daemon's callback reply server.
RETCODE take_answer(char* rcvbuf, char* /*sndbuf*/, int* size) {
  *size = 0;
  if (rcvbuf == nullptr) return -1;
  const UINT length = read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length < sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) || read_word(rcvbuf, GEN_IPC_HDR_KIND_OFFSET) != GEN_IPC_KIND_REPLY) {
    SERVICE_TRACE("dropped a message that is not a callback answer (length %u)", length);
    return -1;
  }
  if (!from_allowed_user()) {
    SERVICE_TRACE("dropped a callback answer from a user that the daemon does not serve");
    return -1;
  }
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  std::memcpy(&head, rcvbuf, sizeof head);
  const bool found = pending_table().with(head.reply_buffer, [](pending_callback& pending) {
    std::lock_guard<std::mutex> lock(pending.mu);
    pending.answered = true;
    pending.answered_cv.notify_one();
  });
  if (!found) SERVICE_TRACE("dropped a late or unknown callback answer (word %#x)", head.reply_buffer);
  return 0;
}

// Waits until `pending` has its answer or `timeout_ms` has passed.
bool wait_answer(pending_callback& pending, int timeout_ms) {
  std::unique_lock<std::mutex> lock(pending.mu);
  return pending.answered_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return pending.answered; });
}

}  // namespace

RETCODE comm_dir_callback_client::start(const comm_dir_allow_list* allowed) {
  g_allowed = allowed;
  return commdir_posix_ipc_start_open_server(COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER, COMM_DIR_IPC_ID_REPLY,
                                             COMM_DIR_IPC_STACK_SIZE, &take_answer);
}

void comm_dir_callback_client::stop() {
  RETCODE rc = emwGENIpcRequestAdmin(COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER, GEN_IPC_ADMIN_STOP);
  if (rc != 0) SERVICE_TRACE("stopping %s failed: %#lx", COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER, trace_code(rc));
}

bool comm_dir_callback_client::report(const COMM_DIR_TEST_CONNECTION_INFO& info, RETCODE result, uid_t requester,
                                      int timeout_ms) {
  std::unique_ptr<COMM_DIR_IPC_MULTI_REQUEST> request(new (std::nothrow) COMM_DIR_IPC_MULTI_REQUEST());
  if (request == nullptr) return false;
  char server[COMM_DIR_IPC_NAME_SIZE] = {};
  std::snprintf(server, sizeof server, "%s%s", COMM_DIR_IPC_PREFIX, info.callback_server_name);

  pending_callback pending;
  UINT word = 0;
  try {
    word = pending_table().add(&pending);
  } catch (const std::exception& error) {
    SERVICE_TRACE("callback to %s not sent: %s", server, error.what());
    return false;
  }
  request->head.event_sem_id = word;
  request->head.type = COMM_DIR_FUNC_CHECK_CONNECTION;
  std::memcpy(request->head.reply_server_name, COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER,
              sizeof COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER);
  request->head.reply_buffer = word;
  request->head.reply_buffer_size = COMM_DIR_IPC_REPLY_SIZE;
  auto* payload = new (request->payload) COMM_DIR_CHECK_CONNECTION_REQUEST();
  payload->test_mode = static_cast<UINT>(result);
  payload->info = info;
  // The application gets its record back without the password, which only
  // the LDAP server is to see.
  comm_dir_wipe_password(payload->info.bind);

  // The send, too, waits for room at most the time-out: an application
  // that does not read holds up no worker.
  bool answered = comm_dir_send(COMM_DIR_SERVICE_CALLBACK_CLIENT, server, requester, COMM_DIR_IPC_ID_CALLBACK,
                                GEN_IPC_KIND_REQUEST, reinterpret_cast<char*>(request.get()),
                                COMM_DIR_IPC_REQUEST_SIZE, /*zero_from=*/COMM_DIR_IPC_REQUEST_SIZE,
                                static_cast<ULONG>(timeout_ms)) == 0 &&
                  wait_answer(pending, timeout_ms);
  pending_table().remove(word);
  if (!answered) SERVICE_TRACE("callback to %s not answered: given up", server);
  return answered;
}

}  // namespace velmarosta
