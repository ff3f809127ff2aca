#include "service/comm_dir_callback_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_word_table.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_request_decoder.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

// The reports waiting for their answers, by their words. The reply server
// reaches a report's latch only inside the table's with(), and a report
// removes itself from the table before it goes, so its latch is never used
// after its end (lock order: the table's mutex, then the latch's).
comm_dir_word_table<comm_dir_latch>& pending_table() {
  static comm_dir_word_table<comm_dir_latch> table;
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
  const bool found = pending_table().with(head.reply_buffer, [](comm_dir_latch& pending) { pending.open(); });
  if (!found) SERVICE_TRACE("dropped a late or unknown callback answer (word %#x)", head.reply_buffer);
  return 0;
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

comm_dir_callback_report::comm_dir_callback_report(const COMM_DIR_TEST_CONNECTION_INFO& info, RETCODE result,
                                                   uid_t requester, int timeout_ms)
    : requester_(requester), timeout_(timeout_ms), request_(new (std::nothrow) COMM_DIR_IPC_MULTI_REQUEST()) {
  std::snprintf(server_, sizeof server_, "%s%s", COMM_DIR_IPC_PREFIX, info.callback_server_name);
  if (request_ == nullptr) return;
  request_->head.type = COMM_DIR_FUNC_CHECK_CONNECTION;
  std::memcpy(request_->head.reply_server_name, COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER,
              sizeof COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER);
  request_->head.reply_buffer_size = COMM_DIR_IPC_REPLY_SIZE;
  auto* payload = new (request_->payload) COMM_DIR_CHECK_CONNECTION_REQUEST();
  payload->test_mode = static_cast<UINT>(result);
  payload->info = info;
  // The application gets its record back without the password, which only
  // the LDAP server is to see.
  comm_dir_wipe_password(payload->info.bind);
}

comm_dir_callback_report::~comm_dir_callback_report() {
  if (word_ != 0) pending_table().remove(word_);
}

comm_dir_step comm_dir_callback_report::begin() {
  if (request_ == nullptr) return given_up();
  try {
    word_ = pending_table().add(&latch_);
  } catch (const std::exception& error) {
    SERVICE_TRACE("callback to %s not sent: %s", server_, error.what());
    return given_up();
  }
  request_->head.event_sem_id = word_;
  request_->head.reply_buffer = word_;
  send_deadline_ = comm_dir_wait::clock::now() + timeout_;
  return send();
}

// The send only tries: an application that does not read holds up nothing,
// and its report is tried again a little later, within the time-out.
comm_dir_step comm_dir_callback_report::send() {
  const RETCODE rc = comm_dir_send(COMM_DIR_SERVICE_CALLBACK_CLIENT, server_, requester_, COMM_DIR_IPC_ID_CALLBACK,
                                   GEN_IPC_KIND_REQUEST, reinterpret_cast<char*>(request_.get()),
                                   COMM_DIR_IPC_REQUEST_SIZE, /*zero_from=*/COMM_DIR_IPC_REQUEST_SIZE, 0);
  const auto now = comm_dir_wait::clock::now();
  if (rc == ETIMEDOUT && now < send_deadline_) {
    return comm_dir_step::waiting(comm_dir_wait::on::kDeadline, -1,
                                  std::min(now + std::chrono::milliseconds(kRetryMs), send_deadline_),
                                  comm_dir_waiting_on::kCallback);
  }
  if (rc != 0) return given_up();
  request_.reset();
  comm_dir_step step =
      comm_dir_step::waiting(comm_dir_wait::on::kLatch, -1, now + timeout_, comm_dir_waiting_on::kCallback);
  step.wait.latch = &latch_;
  return step;
}

comm_dir_step comm_dir_callback_report::resume(bool /*timed_out*/) {
  if (request_ != nullptr) return send();
  answered_ = latch_.is_open();
  return answered_ ? comm_dir_step::finished(0) : given_up();
}

comm_dir_step comm_dir_callback_report::given_up() {
  SERVICE_TRACE("callback to %s not answered: given up", server_);
  return comm_dir_step::finished(0);
}

}  // namespace velmarosta
