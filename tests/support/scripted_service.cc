#include "support/scripted_service.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/emw_gen_ipc.h"

namespace commdir_test {

using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;
using velmarosta::COMM_DIR_IPC_MAX_PAYLOAD;
using velmarosta::COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET;
using velmarosta::COMM_DIR_IPC_REPLY_SIZE;
using velmarosta::COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
using velmarosta::COMM_DIR_IPC_REQUEST_SIZE;
using velmarosta::COMM_DIR_REPLY;
using velmarosta::COMM_DIR_REPLY_DATA_OFFSET;
using velmarosta::COMM_DIR_REPLY_SIZE;
using velmarosta::read_word;

namespace {

// The service that the platform's dispatch function reaches. Guarded by
// g_current_mu, which dispatch holds while it works, so that stop() never
// returns while a request is being answered.
std::mutex g_current_mu;
scripted_service* g_current = nullptr;

void put_word(std::vector<char>& bytes, std::size_t offset, UINT word) {
  std::memcpy(bytes.data() + offset, &word, sizeof word);
}

}  // namespace

// --- service_request --------------------------------------------------------------

unsigned char service_request::byte(std::size_t offset) const {
  return offset < payload.size() ? static_cast<unsigned char>(payload[offset]) : 0;
}

UINT service_request::word(std::size_t offset) const {
  unsigned char bytes[sizeof(UINT)];
  for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = byte(offset + i);
  UINT value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::string service_request::attribute() const {
  std::string name;
  for (std::size_t i = 76; i <= 460 && byte(i) != 0; ++i) name.push_back(static_cast<char>(byte(i)));
  return name;
}

// --- scripted_reply --------------------------------------------------------------

scripted_reply scripted_reply::words(RETCODE result, UINT word, const std::string& data) {
  scripted_reply reply;
  reply.payload.assign(std::max<std::size_t>(COMM_DIR_REPLY_SIZE, COMM_DIR_REPLY_DATA_OFFSET + data.size()), 0);
  put_word(reply.payload, offsetof(COMM_DIR_REPLY, result), static_cast<UINT>(result));
  put_word(reply.payload, offsetof(COMM_DIR_REPLY, body.reply.word), word);
  std::copy(data.begin(), data.end(), reply.payload.begin() + COMM_DIR_REPLY_DATA_OFFSET);
  return reply;
}

scripted_reply scripted_reply::name(RETCODE result, const std::string& attribute) {
  return words(result, velmarosta::COMM_DIR_REPLY_WORD_PRESENT, attribute + '\0');
}

scripted_reply scripted_reply::string_value(const std::string& value) {
  scripted_reply reply = words(0, velmarosta::COMM_DIR_REPLY_WORD_PRESENT, value + '\0');
  reply.payload.resize(COMM_DIR_REPLY_SIZE + value.size() + 1);  // 1949 + L
  return reply;
}

scripted_reply scripted_reply::binary_value(const std::string& value) {
  std::string berval(sizeof(UINT), '\0');
  UINT length = static_cast<UINT>(value.size());
  std::memcpy(&berval[0], &length, sizeof length);
  scripted_reply reply = words(0, velmarosta::COMM_DIR_REPLY_WORD_PRESENT, berval + value);
  reply.payload.resize(COMM_DIR_REPLY_SIZE + value.size());  // 1948 + L
  return reply;
}

scripted_reply scripted_reply::raw(std::vector<char> payload) {
  scripted_reply reply;
  reply.payload = std::move(payload);
  return reply;
}

scripted_reply scripted_reply::none() {
  scripted_reply reply;
  reply.send = false;
  return reply;
}

scripted_reply scripted_reply::after(std::chrono::milliseconds wait) const {
  scripted_reply reply = *this;
  reply.delay = wait;
  return reply;
}

// --- scripted_service -------------------------------------------------------------

scripted_service::scripted_service() = default;

scripted_service::~scripted_service() { stop(); }

RETCODE scripted_service::start() {
  {
    std::lock_guard<std::mutex> lock(g_current_mu);
    g_current = this;
  }
  RETCODE rc = emwGENIpcStartServer(velmarosta::COMM_DIR_SERVICE_SERVER_NAME, velmarosta::COMM_DIR_IPC_ID_SERVICE,
                                    velmarosta::COMM_DIR_IPC_STACK_SIZE, &scripted_service::dispatch);
  std::lock_guard<std::mutex> lock(mu_);
  running_ = (rc == 0);
  return rc;
}

void scripted_service::stop() {
  {
    std::lock_guard<std::mutex> lock(g_current_mu);  // waits for a request being answered
    if (g_current == this) g_current = nullptr;
  }
  std::vector<std::thread> delayed;
  bool was_running;
  {
    std::lock_guard<std::mutex> lock(mu_);
    was_running = running_;
    running_ = false;
    delayed.swap(delayed_);
    held_.clear();
  }
  if (was_running) emwGENIpcRequestAdmin(velmarosta::COMM_DIR_SERVICE_SERVER_NAME, GEN_IPC_ADMIN_STOP);
  for (std::thread& t : delayed) t.join();
}

RETCODE scripted_service::dispatch(char* rcvbuf, char* /*sndbuf*/, int* size) {
  if (size != nullptr) *size = 0;
  if (rcvbuf == nullptr) return -1;
  std::lock_guard<std::mutex> lock(g_current_mu);
  if (g_current != nullptr) g_current->receive(rcvbuf);
  return 0;
}

void scripted_service::receive(const char* message) {
  // A message shorter than the head or longer than a request is not one of
  // ours: dropped unanswered.
  UINT length = read_word(message, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length < static_cast<UINT>(COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET) ||
      length > static_cast<UINT>(COMM_DIR_IPC_REQUEST_SIZE)) {
    return;
  }
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  std::memcpy(&head, message, sizeof head);
  service_request request;
  request.function_id = static_cast<int>(head.type);
  request.reply_server.assign(head.reply_server_name,
                              ::strnlen(head.reply_server_name, sizeof head.reply_server_name));
  const char* payload = message + COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
  std::size_t used = length - COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET;
  while (used > 0 && payload[used - 1] == '\0') --used;
  request.payload.assign(payload, payload + used);

  held_reply reply;
  reply.envelope.assign(message, message + sizeof head);
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(request);
  }
  changed_.notify_all();
  reply.answer = answer_for(request);
  if (reply.answer.send) deliver(std::move(reply));
}

scripted_reply scripted_service::answer_for(const service_request& request) {
  handler h;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = handlers_.find(request.function_id);
    if (it != handlers_.end()) h = it->second;
  }
  return h ? h(request) : scripted_reply::words(0, 0);
}

void scripted_service::deliver(held_reply reply) {
  std::unique_lock<std::mutex> lock(mu_);
  if (holding_) {
    held_.push_back(std::move(reply));
    lock.unlock();
    changed_.notify_all();
  } else if (reply.answer.delay.count() > 0) {
    delayed_.emplace_back([reply = std::move(reply)] {
      std::this_thread::sleep_for(reply.answer.delay);
      send(reply);
    });
  } else {
    lock.unlock();
    send(reply);
  }
}

// The reply form, sent as the daemon sends it.
void scripted_service::send(const held_reply& reply) {
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  std::memcpy(&head, reply.envelope.data(), sizeof head);
  std::string server(head.reply_server_name, ::strnlen(head.reply_server_name, sizeof head.reply_server_name));
  if (server.size() == sizeof head.reply_server_name) return;  // no terminator: nowhere to send

  std::vector<char> envelope(COMM_DIR_IPC_REPLY_SIZE, 0);
  COMM_DIR_IPC_ENVELOPE_HEAD out{};
  out.event_sem_id = head.event_sem_id;
  out.replied = 1;
  out.type = head.type;
  std::memcpy(out.reply_server_name, server.c_str(), server.size() + 1);
  out.reply_buffer = head.reply_buffer;
  out.reply_buffer_size = head.reply_buffer_size;
  std::memcpy(envelope.data(), &out, sizeof out);
  std::size_t size = std::min<std::size_t>(reply.answer.payload.size(), COMM_DIR_IPC_MAX_PAYLOAD);
  std::copy_n(reply.answer.payload.begin(), size, envelope.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET);

  velmarosta::COMM_DIR_MULTI_IPC_CLNT clnt{};
  if (emwGENIpcCreateClient(velmarosta::COMM_DIR_REPLY_CLIENT_NAME, server.c_str(), 0, 0,
                            velmarosta::COMM_DIR_IPC_ID_REPLY, &clnt) != 0) {
    return;
  }
  emwGENIpcCallClient(clnt.handle, GEN_IPC_KIND_REPLY, 0, 0, envelope.data(), COMM_DIR_IPC_REPLY_SIZE,
                      nullptr, 0, nullptr, static_cast<ULONG>(-1));
  emwGENIpcDestroyClient(clnt.handle);
}

// --- the script ---------------------------------------------------------------------

void scripted_service::on(int function_id, handler h) {
  std::lock_guard<std::mutex> lock(mu_);
  if (h) {
    handlers_[function_id] = std::move(h);
  } else {
    handlers_.erase(function_id);
  }
}

void scripted_service::reply(int function_id, const scripted_reply& answer) {
  on(function_id, [answer](const service_request&) { return answer; });
}

void scripted_service::reply_word(int function_id, RETCODE result, UINT word) {
  reply(function_id, scripted_reply::words(result, word));
}

void scripted_service::serve_attributes(std::vector<std::string> names) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    attributes_ = std::move(names);
    next_attribute_ = 0;
  }
  auto walk = [this](const service_request& request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (request.function_id == velmarosta::COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE) next_attribute_ = 0;
    if (next_attribute_ >= attributes_.size()) return scripted_reply::words(0, 0);
    return scripted_reply::name(0, attributes_[next_attribute_++]);
  };
  on(velmarosta::COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, walk);
  on(velmarosta::COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, walk);
}

void scripted_service::serve_values(const std::string& attribute, std::vector<value> values) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    values_[attribute] = std::move(values);
  }
  for (int id = velmarosta::COMM_DIR_FUNC_GET_VALUE_STRING_CNT;
       id <= velmarosta::COMM_DIR_FUNC_GET_VALUE_BINARY_ONE; ++id) {
    on(id, [this](const service_request& request) { return value_answer(request); });
  }
}

scripted_reply scripted_service::value_answer(const service_request& request) {
  value found;
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = values_.find(request.attribute());
    if (it != values_.end()) {
      count = it->second.size();
      if (request.value_index() < count) found = it->second[request.value_index()];
    }
  }
  switch (request.function_id) {
    case velmarosta::COMM_DIR_FUNC_GET_VALUE_STRING_CNT:
    case velmarosta::COMM_DIR_FUNC_GET_VALUE_BINARY_CNT:
      return scripted_reply::words(0, static_cast<UINT>(count));
    case velmarosta::COMM_DIR_FUNC_GET_VALUE_STRING_LEN:
    case velmarosta::COMM_DIR_FUNC_GET_VALUE_BINARY_LEN:
      return scripted_reply::words(0, found ? static_cast<UINT>(found->size()) : 0);
    case velmarosta::COMM_DIR_FUNC_GET_VALUE_STRING_ONE:
      return found ? scripted_reply::string_value(*found) : scripted_reply::words(0, 0);
    default:
      return found ? scripted_reply::binary_value(*found) : scripted_reply::words(0, 0);
  }
}

// --- ordering and the record ---------------------------------------------------------

void scripted_service::hold_replies(bool held) {
  std::lock_guard<std::mutex> lock(mu_);
  holding_ = held;
}

std::size_t scripted_service::held_count() {
  std::lock_guard<std::mutex> lock(mu_);
  return held_.size();
}

bool scripted_service::release(std::size_t index) {
  held_reply reply;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (index >= held_.size()) return false;
    reply = std::move(held_[index]);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  send(reply);
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

std::vector<int> scripted_service::function_ids() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<int> ids;
  for (const service_request& r : requests_) ids.push_back(r.function_id);
  return ids;
}

void scripted_service::clear_requests() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
}

bool scripted_service::wait_for_requests(std::size_t n, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
}

bool scripted_service::wait_for_held(std::size_t n, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, limit, [&] { return held_.size() >= n; });
}

}  // namespace commdir_test
