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

scripted_reply scripted_reply::value(const std::string& value, bool binary) {
  const UINT size = static_cast<UINT>(value.size());
  const std::string length(reinterpret_cast<const char*>(&size), sizeof size);
  scripted_reply reply = words(0, COMM_DIR_REPLY_WORD_PRESENT, binary ? length + value : value + '\0');
  reply.payload.resize(COMM_DIR_REPLY_SIZE + value.size() + (binary ? 0 : 1));
  return reply;
}

RETCODE scripted_service::start() {
  lock held(g_current_mu);
  g_current = this;
  return emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, COMM_DIR_IPC_ID_SERVICE, COMM_DIR_IPC_STACK_SIZE, dispatch);
}

void scripted_service::stop() {
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
  const char* payload = message + COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
  std::size_t used = length - COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
  while (used > 0 && payload[used - 1] == '\0') --used;
  service_request request{static_cast<int>(read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type))),
                          std::vector<char>(payload, payload + used)};
  request.payload.resize(std::max<std::size_t>(used, sizeof(COMM_DIR_SEARCH_REQUEST)));
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

void scripted_service::on(int function_id, handler h) { lock held(mu_); handlers_[function_id] = std::move(h); }

void scripted_service::reply_word(int function_id, RETCODE result, UINT word) {
  on(function_id, [result, word](const service_request&) { return scripted_reply::words(result, word); });
}

void scripted_service::serve_attributes(std::vector<std::string> names) {
  auto walk = [this](const service_request& request) {
    lock held(mu_);
    if (request.function_id == COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE) next_attribute_ = 0;
    if (next_attribute_ >= attributes_.size()) return scripted_reply::words(0, 0);
    return scripted_reply::words(0, COMM_DIR_REPLY_WORD_PRESENT, attributes_[next_attribute_++] + '\0');
  };
  on(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, walk);
  on(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, walk);
  lock held(mu_);
  attributes_ = std::move(names);
}

void scripted_service::serve_values(const std::string& attribute, std::vector<value> values) {
  for (int id = COMM_DIR_FUNC_GET_VALUE_STRING_CNT; id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE; ++id) {
    on(id, [this](const service_request& request) { return value_answer(request); });
  }
  lock held(mu_);
  values_[attribute] = std::move(values);
}

scripted_reply scripted_service::value_answer(const service_request& request) {
  const UINT index = request.word(offsetof(COMM_DIR_VALUE_REQUEST, value_index));
  std::vector<value> values;
  {
    lock held(mu_);
    values = values_[request.text(offsetof(COMM_DIR_VALUE_REQUEST, attribute))];
  }
  const value found = index < values.size() ? values[index] : std::nullopt;
  switch (request.function_id) {
    case COMM_DIR_FUNC_GET_VALUE_STRING_CNT:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_CNT:
      return scripted_reply::words(0, static_cast<UINT>(values.size()));
    case COMM_DIR_FUNC_GET_VALUE_STRING_LEN:
    case COMM_DIR_FUNC_GET_VALUE_BINARY_LEN:
      return scripted_reply::words(0, found ? static_cast<UINT>(found->size()) : 0);
    default:
      if (!found) return scripted_reply::words(0, 0);
      return scripted_reply::value(*found, request.function_id == COMM_DIR_FUNC_GET_VALUE_BINARY_ONE);
  }
}

std::vector<service_request> scripted_service::requests() { lock held(mu_); return requests_; }
std::size_t scripted_service::request_count() { lock held(mu_); return requests_.size(); }
void scripted_service::clear_requests() { lock held(mu_); requests_.clear(); }

}  // namespace commdir_test
