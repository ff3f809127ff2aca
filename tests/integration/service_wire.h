// What the daemon's own tests share: the daemon as a child process, an
// endpoint of the test that collects its replies, and the raw request forms
// that any local program can send, as bytes on the daemon's socket.
#ifndef COMMDIR_TESTS_INTEGRATION_SERVICE_WIRE_H_
#define COMMDIR_TESTS_INTEGRATION_SERVICE_WIRE_H_

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_result_codes.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"
#include "support/service_process.h"

namespace velmarosta {
namespace service_wire {

constexpr char kReplyServer[] = "utcp:WIRE_RPL";
constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
constexpr auto kReplyLimit = std::chrono::seconds(15);

// A message that arrived at one of the test's endpoints.
struct arrived {
  COMM_DIR_IPC_ENVELOPE_HEAD head{};
  RETCODE envelope_result = 0;
  std::vector<char> payload;  // the whole payload area

  // What result() and word() read from a reply that never came, so that a
  // missing reply fails its check instead of reading an empty payload.
  static constexpr RETCODE kNoReply = 0x7FFFFFFF;

  RETCODE result() const {
    if (payload.size() < sizeof(COMM_DIR_REPLY)) return kNoReply;
    RETCODE code;
    std::memcpy(&code, payload.data() + offsetof(COMM_DIR_REPLY, result), sizeof code);
    return code;
  }
  UINT word() const {
    if (payload.size() < sizeof(COMM_DIR_REPLY)) return static_cast<UINT>(kNoReply);
    UINT word;
    std::memcpy(&word, payload.data() + offsetof(COMM_DIR_REPLY, body), sizeof word);
    return word;
  }
  const char* data() const { return payload.data() + COMM_DIR_REPLY_DATA_OFFSET; }
};

// Messages by a word the test chose (event_sem_id of a reply, the object
// word of a callback). Thread-safe: the platform's receiving threads put,
// test threads wait.
class inbox {
 public:
  void put(UINT tag, arrived message) {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.emplace(tag, std::move(message));
    cv_.notify_all();
  }
  bool wait(UINT tag, arrived* out, std::chrono::milliseconds limit = kReplyLimit) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, limit, [&] { return messages_.count(tag) != 0; })) return false;
    auto it = messages_.find(tag);
    *out = std::move(it->second);
    messages_.erase(it);
    ++taken_;
    return true;
  }
  // Messages that arrived, taken or not.
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_.size() + taken_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::multimap<UINT, arrived> messages_;  // guarded by mu_
  std::size_t taken_ = 0;                  // guarded by mu_
};

inline inbox& replies() {
  static inbox box;
  return box;
}

inline arrived copy_message(const char* rcvbuf, std::size_t payload_offset) {
  arrived message;
  std::memcpy(&message.head, rcvbuf, sizeof message.head);
  std::memcpy(&message.envelope_result, rcvbuf + kHead, sizeof message.envelope_result);
  const UINT length = read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length > payload_offset) message.payload.assign(rcvbuf + payload_offset, rcvbuf + length);
  message.payload.resize(COMM_DIR_IPC_MAX_PAYLOAD, 0);
  return message;
}

inline RETCODE take_reply(char* rcvbuf, char*, int* size) {
  *size = 0;
  arrived message = copy_message(rcvbuf, COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET);
  replies().put(message.head.event_sem_id, std::move(message));
  return 0;
}

inline void put_word(std::vector<char>& message, std::size_t offset, UINT word) {
  std::memcpy(message.data() + offset, &word, sizeof word);
}

// A request form for `function_id` carrying `record` (or zeros), answered
// to the test's reply server under `tag`.
inline std::vector<char> request_form(UINT function_id, UINT tag, const void* record = nullptr,
                                      std::size_t size = 0) {
  std::vector<char> message(COMM_DIR_IPC_REQUEST_SIZE, 0);
  put_word(message, GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REQUEST_SIZE);
  put_word(message, 72, tag);
  put_word(message, 80, function_id);
  std::strcpy(message.data() + 84, kReplyServer);
  put_word(message, 116, tag ^ 0xFFFFFFFFu);
  put_word(message, 120, COMM_DIR_IPC_REPLY_SIZE);
  if (record != nullptr) std::memcpy(message.data() + kHead, record, size);
  return message;
}

// The daemon as a child of the test, the test's reply server, and raw sends.
class daemon_test : public ::testing::Test {
 protected:
  void start_daemon(const std::vector<std::string>& args, const commdir_testing::Environment& env = {}) {
    service_ = std::make_unique<commdir_testing::ServiceProcess>(COMMDIR_SERVICE_BIN, args, nullptr, env);
    ASSERT_TRUE(service_->ok()) << service_->error();
    ipc_dir_ = service_->ipc_dir();
    start_reply_server();
  }

  void start_reply_server() {
    ASSERT_EQ(emwGENIpcStartServer(kReplyServer, COMM_DIR_IPC_ID_REPLY, COMM_DIR_IPC_STACK_SIZE, &take_reply), 0);
    reply_server_ = true;
  }

  void TearDown() override {
    if (reply_server_) emwGENIpcRequestAdmin(kReplyServer, GEN_IPC_ADMIN_STOP);
    service_.reset();
  }

  // Sends raw bytes to the daemon's socket, as any local program can.
  void send_raw(const std::vector<char>& bytes) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = ipc_dir_ + "/COMM_DIR_SRV";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size()));
  }

  arrived expect_reply(UINT tag) {
    arrived reply;
    EXPECT_TRUE(replies().wait(tag, &reply)) << "no reply for tag " << tag << "\n"
                                             << (service_ != nullptr ? service_->log() : "");
    return reply;
  }

  // One request and its reply, under a fresh tag.
  template <typename Record>
  arrived call(UINT function_id, const Record& record) {
    const UINT tag = next_tag_.fetch_add(1);
    send_raw(request_form(function_id, tag, &record, sizeof record));
    return expect_reply(tag);
  }

  std::unique_ptr<commdir_testing::ServiceProcess> service_;
  std::string ipc_dir_;  // the daemon's endpoint folder
  bool reply_server_ = false;
  std::atomic<UINT> next_tag_{0x10000};
};

}  // namespace service_wire
}  // namespace velmarosta

#endif  // COMMDIR_TESTS_INTEGRATION_SERVICE_WIRE_H_
