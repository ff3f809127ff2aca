#include "support/scripted_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "support/reply_echo.h"

namespace commdir_test {

using namespace velmarosta;

namespace {

// The service the platform's dispatch function reaches; dispatch holds the
// mutex while it answers, so that stop() never returns in the middle.
std::mutex g_current_mu;
scripted_service* g_current = nullptr;

void put_word(std::vector<char>& bytes, std::size_t offset, UINT word) { std::memcpy(&bytes[offset], &word, sizeof word); }

}  // namespace

UINT service_request::word(std::size_t offset) const {
  UINT word = 0;  // the bytes left out were zeros, in either byte order
  if (offset < payload.size()) std::memcpy(&word, &payload[offset], std::min(sizeof word, payload.size() - offset));
  return word;
}

std::string service_request::text(std::size_t offset) const {
  if (offset >= payload.size()) return "";
  return std::string(&payload[offset], ::strnlen(&payload[offset], payload.size() - offset));
}

scripted_reply scripted_reply::words(RETCODE result, UINT word, const std::string& data) {
  scripted_reply reply;
  reply.payload.assign(std::max<std::size_t>(COMM_DIR_REPLY_SIZE, COMM_DIR_REPLY_DATA_OFFSET + data.size()), 0);
  put_word(reply.payload, offsetof(COMM_DIR_REPLY, result), static_cast<UINT>(result));
  put_word(reply.payload, offsetof(COMM_DIR_REPLY, body.reply.word), word);
  std::copy(data.begin(), data.end(), reply.payload.begin() + COMM_DIR_REPLY_DATA_OFFSET);
  return reply;
}

scripted_reply scripted_reply::value(const std::string& value, bool binary) {
  std::string length(sizeof(UINT), '\0');
  const UINT size = static_cast<UINT>(value.size());
  std::memcpy(&length[0], &size, sizeof size);
  scripted_reply reply = words(0, COMM_DIR_REPLY_WORD_PRESENT, binary ? length + value : value + '\0');
  reply.payload.resize(COMM_DIR_REPLY_SIZE + value.size() + (binary ? 0 : 1));
  return reply;
}

RETCODE scripted_service::start() {
  {
    std::lock_guard<std::mutex> lock(g_current_mu);
    g_current = this;
  }
  return emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, COMM_DIR_IPC_ID_SERVICE, COMM_DIR_IPC_STACK_SIZE, dispatch);
}

void scripted_service::stop() {
  {
    std::lock_guard<std::mutex> lock(g_current_mu);
    if (g_current != this) return;
    g_current = nullptr;
  }
  emwGENIpcRequestAdmin(COMM_DIR_SERVICE_SERVER_NAME, GEN_IPC_ADMIN_STOP);
  std::lock_guard<std::mutex> lock(mu_);
  held_.clear();
}

RETCODE scripted_service::dispatch(char* rcvbuf, char*, int* size) {
  *size = 0;
  std::lock_guard<std::mutex> lock(g_current_mu);
  if (g_current != nullptr) g_current->receive(rcvbuf);
  return 0;
}

void scripted_service::receive(const char* message) {
  const UINT length = read_word(message, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length < COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET || length > COMM_DIR_IPC_REQUEST_SIZE) return;  // not ours
  service_request request;
  request.function_id = static_cast<int>(read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type)));
  const char* payload = message + COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
  std::size_t used = length - COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
  while (used > 0 && payload[used - 1] == '\0') --used;
  request.payload.assign(payload, payload + used);
  handler answer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(request);
    auto it = handlers_.find(request.function_id);
    if (it != handlers_.end()) answer = it->second;
  }
  const std::vector<char> reply_payload = (answer ? answer(request) : scripted_reply::words(0, 0)).payload;
  std::vector<char> form = reply_to(message);
  std::fill(form.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, form.end(), 0);
  std::copy_n(reply_payload.begin(), std::min<std::size_t>(reply_payload.size(), COMM_DIR_IPC_MAX_PAYLOAD),
              form.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (holding_) {
      held_.push_back(std::move(form));
      held_more_.notify_all();
      return;
    }
  }
  send_reply_form(form);
}

void scripted_service::on(int function_id, handler h) {
  std::lock_guard<std::mutex> lock(mu_);
  if (h) {
    handlers_[function_id] = std::move(h);
  } else {
    handlers_.erase(function_id);
  }
}

void scripted_service::reply_word(int function_id, RETCODE result, UINT word) {
  on(function_id, [result, word](const service_request&) { return scripted_reply::words(result, word); });
}

void scripted_service::serve_attributes(std::vector<std::string> names) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    attributes_ = std::move(names);
  }
  auto walk = [this](const service_request& request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (request.function_id == COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE) next_attribute_ = 0;
    if (next_attribute_ >= attributes_.size()) return scripted_reply::words(0, 0);
    return scripted_reply::words(0, COMM_DIR_REPLY_WORD_PRESENT, attributes_[next_attribute_++] + '\0');
  };
  on(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, walk);
  on(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, walk);
}

void scripted_service::serve_values(const std::string& attribute, std::vector<value> values) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    values_[attribute] = std::move(values);
  }
  for (int id = COMM_DIR_FUNC_GET_VALUE_STRING_CNT; id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE; ++id) {
    on(id, [this](const service_request& request) { return value_answer(request); });
  }
}

scripted_reply scripted_service::value_answer(const service_request& request) {
  const UINT index = request.word(offsetof(COMM_DIR_VALUE_REQUEST, value_index));
  value found;
  UINT count = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = values_.find(request.text(offsetof(COMM_DIR_VALUE_REQUEST, attribute)));
    if (it != values_.end()) {
      count = static_cast<UINT>(it->second.size());
      if (index < count) found = it->second[index];
    }
  }
  switch (request.function_id) {
    case COMM_DIR_FUNC_GET_VALUE_STRING_CNT:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_CNT:
      return scripted_reply::words(0, count);
    case COMM_DIR_FUNC_GET_VALUE_STRING_LEN:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_LEN:
      return scripted_reply::words(0, found ? static_cast<UINT>(found->size()) : 0);
    default:
      return found ? scripted_reply::value(*found, request.function_id == COMM_DIR_FUNC_GET_VALUE_BINARY_ONE)
                   : scripted_reply::words(0, 0);
  }
}

void scripted_service::hold_replies(bool held) {
  std::lock_guard<std::mutex> lock(mu_);
  holding_ = held;
}

bool scripted_service::wait_for_held(std::size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  return held_more_.wait_for(lock, std::chrono::seconds(10), [&] { return held_.size() >= n; });
}

bool scripted_service::release(std::size_t index) {
  std::vector<char> form;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (index >= held_.size()) return false;
    form = std::move(held_[index]);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  send_reply_form(form);
  return true;
}

std::vector<service_request> scripted_service::requests() {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::size_t scripted_service::request_count() {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_.size();
}

void scripted_service::clear_requests() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
}

}  // namespace commdir_test
