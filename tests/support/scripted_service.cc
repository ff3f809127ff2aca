#include "support/scripted_service.h"

#include <algorithm>
#include <cstring>

#include "client/comm_dir_messages.h"
#include "support/reply_echo.h"

namespace commdir_test {

using namespace velmarosta;
using lock = std::lock_guard<std::mutex>;

namespace {
// The service the platform's dispatch function reaches; dispatch holds the
// mutex while it answers, so that stop() never returns in the middle.
std::mutex g_current_mu;
scripted_service* g_current = nullptr;
}  // namespace

scripted_reply scripted_reply::words(RETCODE result, UINT word, const std::string& data) {
  std::vector<char> bytes(std::max<std::size_t>(COMM_DIR_REPLY_SIZE, COMM_DIR_REPLY_DATA_OFFSET + data.size()), 0);
  std::memcpy(&bytes[offsetof(COMM_DIR_REPLY, result)], &result, sizeof result);
  std::memcpy(&bytes[offsetof(COMM_DIR_REPLY, body.reply.word)], &word, sizeof word);
  std::copy(data.begin(), data.end(), bytes.begin() + COMM_DIR_REPLY_DATA_OFFSET);
  return {bytes};
}

RETCODE scripted_service::start() {
  lock held(g_current_mu);
  g_current = this;
  return emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, COMM_DIR_IPC_ID_SERVICE, COMM_DIR_IPC_STACK_SIZE, dispatch);
}

scripted_service::~scripted_service() {
  {
    lock held(g_current_mu);
    if (g_current != this) return;
    g_current = nullptr;
  }
  emwGENIpcRequestAdmin(COMM_DIR_SERVICE_SERVER_NAME, GEN_IPC_ADMIN_STOP);
}

RETCODE scripted_service::dispatch(char* rcvbuf, char*, int* size) {
  lock held(g_current_mu);
  if (g_current != nullptr) g_current->receive(rcvbuf);
  return *size = 0;
}

void scripted_service::receive(const char* message) {
  const UINT length = read_word(message, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length < COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET || length > COMM_DIR_IPC_REQUEST_SIZE) return;  // not ours
  const service_request request{static_cast<int>(read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type))),
                                {message + COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET, message + length}};
  handler answer;
  {
    lock held(mu_);
    requests_.push_back(request);
    answer = handlers_[request.function_id];
  }
  const std::vector<char> reply = (answer ? answer(request) : scripted_reply::words(0, 0)).payload;
  std::vector<char> form = reply_to(message);
  std::fill(form.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, form.end(), 0);
  std::copy_n(reply.begin(), std::min<std::size_t>(reply.size(), COMM_DIR_IPC_MAX_PAYLOAD),
              form.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET);
  send_reply_form(form);
}

void scripted_service::on(int function_id, handler h) {
  lock held(mu_);
  handlers_[function_id] = std::move(h);
}

std::vector<service_request> scripted_service::requests() {
  lock held(mu_);
  return requests_;
}
void scripted_service::clear_requests() {
  lock held(mu_);
  requests_.clear();
}

}  // namespace commdir_test
