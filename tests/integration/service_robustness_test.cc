// The daemon as a black box, without an LDAP server: bad input of every kind
// is refused with its code or dropped, a full queue answers busy, the
// connection test answers and calls back, and after all of it the daemon
// still answers a well-formed request.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_result_codes.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"
#include "support/service_process.h"

namespace velmarosta {
namespace {

constexpr char kReplyServer[] = "utcp:ROBUST_RPL";
constexpr char kCallbackServer[] = "ROBUST_CB";  // as a test record names it, without the prefix
constexpr auto kReplyLimit = std::chrono::seconds(10);
constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);

// What arrived at one of the test's endpoints, by the word the test put
// into event_sem_id (replies) or into the callback object word (callbacks).
struct arrived {
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  RETCODE envelope_result = 0;
  std::vector<char> payload;
};

// Thread-safe: the platform's receiving threads add, the test waits.
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
    *out = messages_.find(tag)->second;
    return true;
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::multimap<UINT, arrived> messages_;  // guarded by mu_
};

inbox& replies() {
  static inbox box;
  return box;
}
inbox& callbacks() {
  static inbox box;
  return box;
}

arrived copy_message(const char* rcvbuf, std::size_t payload_offset) {
  arrived message;
  std::memcpy(&message.head, rcvbuf, sizeof message.head);
  std::memcpy(&message.envelope_result, rcvbuf + kHead, sizeof message.envelope_result);
  const UINT length = read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length > payload_offset) message.payload.assign(rcvbuf + payload_offset, rcvbuf + length);
  message.payload.resize(COMM_DIR_IPC_MAX_PAYLOAD, 0);
  return message;
}

RETCODE take_reply(char* rcvbuf, char*, int* size) {
  *size = 0;
  arrived message = copy_message(rcvbuf, COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET);
  replies().put(message.head.event_sem_id, std::move(message));
  return 0;
}

// The test's callback server: records the callback and answers it as an
// application's callback server does, with an all-zero reply.
RETCODE take_callback(char* rcvbuf, char*, int* size) {
  *size = 0;
  arrived message = copy_message(rcvbuf, COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET);
  std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY> reply(new COMM_DIR_IPC_MULTI_REPLY());
  reply->head = message.head;
  reply->head.replied = 1;
  UINT handle = 0;
  if (emwGENIpcCreateClient("ROBUST_CBR", message.head.reply_server_name, 0, 0, COMM_DIR_IPC_ID_REPLY, &handle) == 0) {
    emwGENIpcCallClient(handle, GEN_IPC_KIND_REPLY, 0, 0, reinterpret_cast<char*>(reply.get()),
                        COMM_DIR_IPC_REPLY_SIZE, nullptr, 0, nullptr, static_cast<ULONG>(-1));
    emwGENIpcDestroyClient(handle);
  }
  UINT object_word;
  std::memcpy(&object_word, message.payload.data() + 76, sizeof object_word);
  callbacks().put(object_word, std::move(message));
  return 0;
}

void put_word(std::vector<char>& message, std::size_t offset, UINT word) {
  std::memcpy(message.data() + offset, &word, sizeof word);
}

// A request form for `function_id` with an all-zero payload, answered to
// the test's reply server under `tag`.
std::vector<char> request_form(UINT function_id, UINT tag) {
  std::vector<char> message(COMM_DIR_IPC_REQUEST_SIZE, 0);
  put_word(message, GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REQUEST_SIZE);
  put_word(message, 72, tag);
  put_word(message, 80, function_id);
  std::strcpy(message.data() + 84, kReplyServer);
  put_word(message, 116, tag ^ 0xFFFFFFFFu);
  put_word(message, 120, COMM_DIR_IPC_REPLY_SIZE);
  return message;
}

// A connection test of `mode` against `uri`, with `object_word` for the
// callback.
std::vector<char> connection_test(UINT mode, const std::string& uri, UINT tag, UINT object_word) {
  std::vector<char> message = request_form(COMM_DIR_FUNC_CHECK_CONNECTION, tag);
  auto* request = reinterpret_cast<COMM_DIR_CHECK_CONNECTION_REQUEST*>(message.data() + kHead);
  request->test_mode = mode;
  request->info.callback_object = object_word;
  std::strcpy(request->info.connect.uri, uri.c_str());
  request->info.bind_present = 1;
  request->info.bind.method = COMM_DIR_BIND_SIMPLE;
  std::strcpy(request->info.bind.bind_dn, "cn=nobody,dc=example,dc=com");
  std::strcpy(request->info.callback_server_name, kCallbackServer);
  return message;
}

RETCODE reply_result(const arrived& reply) {
  RETCODE result;
  std::memcpy(&result, reply.payload.data() + offsetof(COMM_DIR_REPLY, result), sizeof result);
  return result;
}

// A TCP port on 127.0.0.1 that accepts connections (the kernel completes
// them from the backlog) and never answers: a server that hangs.
class silent_server {
 public:
  silent_server() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 16) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~silent_server() { close(fd_); }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }
  bool ok() const { return port_ != 0; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens.
std::string closed_port_uri() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
}

class ServiceRobustness : public ::testing::Test {
 protected:
  void start_daemon(const std::vector<std::string>& args) {
    service_ = std::make_unique<commdir_testing::ServiceProcess>(COMMDIR_SERVICE_BIN, args);
    ASSERT_TRUE(service_->ok()) << service_->error();
    ASSERT_EQ(emwGENIpcStartServer(kReplyServer, COMM_DIR_IPC_ID_REPLY, COMM_DIR_IPC_STACK_SIZE, &take_reply), 0);
    reply_server_ = true;
    const std::string callback_server = std::string(COMM_DIR_IPC_PREFIX) + kCallbackServer;
    ASSERT_EQ(emwGENIpcStartServer(callback_server.c_str(), COMM_DIR_IPC_ID_CALLBACK, COMM_DIR_IPC_STACK_SIZE,
                                   &take_callback),
              0);
    callback_server_ = true;
  }

  void TearDown() override {
    if (reply_server_) emwGENIpcRequestAdmin(kReplyServer, GEN_IPC_ADMIN_STOP);
    if (callback_server_)
      emwGENIpcRequestAdmin((std::string(COMM_DIR_IPC_PREFIX) + kCallbackServer).c_str(), GEN_IPC_ADMIN_STOP);
    service_.reset();
  }

  // Sends raw bytes to the daemon's socket, as any local program can.
  void send_raw(const std::vector<char>& bytes) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = service_->ipc_dir() + "/COMM_DIR_SRV";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size()));
  }

  arrived expect_reply(UINT tag) {
    arrived reply;
    EXPECT_TRUE(replies().wait(tag, &reply)) << "no reply for tag " << tag << "\n" << service_->log();
    return reply;
  }

  // The daemon still serves: a new operation on a port where nothing
  // listens fails with libldap's "server down", mapped.
  void expect_still_serving(UINT tag) {
    std::vector<char> message = request_form(COMM_DIR_FUNC_START_OPERATION, tag);
    std::strcpy(message.data() + kHead + 72, closed_port_uri().c_str());
    send_raw(message);
    arrived reply = expect_reply(tag);
    EXPECT_EQ(reply_result(reply), comm_dir_code_from_ldap(-1));
    EXPECT_TRUE(service_->alive());
  }

  std::unique_ptr<commdir_testing::ServiceProcess> service_;
  bool reply_server_ = false;
  bool callback_server_ = false;
};

TEST_F(ServiceRobustness, RefusesEveryRoutableBadRequestWithItsCode) {
  start_daemon({"-d"});
  struct Row {
    const char* what;
    UINT function_id;
    std::function<void(std::vector<char>&)> change;
    RETCODE code;
  };
  auto nothing = [](std::vector<char>&) {};
  auto operation = [](std::vector<char>& m) { put_word(m, kHead + 72, 0x5EED1234); };
  const Row rows[] = {
      {"connection test, zero payload", 0, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"start_operation, zero payload", 1, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"search, zero payload", 2, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"get_first_attribute, zero payload", 3, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"get_next_attribute, zero payload", 4, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"string count, zero payload", 5, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"string length, zero payload", 6, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"string value, zero payload", 7, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"binary count, zero payload", 8, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"binary length, zero payload", 9, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"binary value, zero payload", 10, nothing, COMM_DIR_SVC_BAD_FIELD},
      {"end_operation, zero payload", 11, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"get_first_entry, zero payload", 12, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"get_next_entry, zero payload", 13, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"free_msg, zero payload", 14, nothing, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"function id 15", 15, nothing, COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"function id 0x80000000", 0x80000000u, nothing, COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"unknown operation id", 12, operation, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"value of an unknown operation", 7,
       [&](std::vector<char>& m) {
         operation(m);
         std::strcpy(m.data() + kHead + 76, "mail");
       },
       COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"attribute without its NUL", 5, [](std::vector<char>& m) { std::memset(m.data() + kHead + 76, 'a', 385); },
       COMM_DIR_SVC_UNTERMINATED_STRING},
      {"URI without its NUL", 1, [](std::vector<char>& m) { std::memset(m.data() + kHead + 72, 'u', 176); },
       COMM_DIR_SVC_UNTERMINATED_STRING},
      {"message cut inside its record", 12,
       [](std::vector<char>& m) {
         m.resize(kHead + 10);
         put_word(m, 4, kHead + 10);
       },
       COMM_DIR_SVC_WRONG_SIZE},
      {"a record of another size", 12, [](std::vector<char>& m) { m[kHead + 500] = 7; }, COMM_DIR_SVC_WRONG_SIZE},
  };
  UINT tag = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<char> message = request_form(row.function_id, ++tag);
    row.change(message);
    send_raw(message);
    arrived reply = expect_reply(tag);
    EXPECT_EQ(reply_result(reply), row.code) << std::hex << reply_result(reply);
    EXPECT_EQ(reply.envelope_result, row.code);
    EXPECT_EQ(reply.head.replied, 1u);
    EXPECT_EQ(reply.head.type, row.function_id);
    EXPECT_EQ(reply.head.reply_buffer, tag ^ 0xFFFFFFFFu);
    EXPECT_STREQ(reply.head.reply_server_name, kReplyServer);
  }
  expect_still_serving(++tag);
}

TEST_F(ServiceRobustness, DropsGarbageAndGoesOnAnswering) {
  start_daemon({});
  const std::size_t replies_before = replies().size();
  std::mt19937 random(20261206);
  for (int i = 0; i < 200; ++i) {  // random datagrams of every size
    std::vector<char> bytes(128 + random() % (COMM_DIR_IPC_REPLY_SIZE + 100));
    for (char& byte : bytes) byte = static_cast<char>(random());
    send_raw(bytes);
  }
  struct Row {
    const char* what;
    std::function<void(std::vector<char>&)> change;
  };
  const Row unroutable[] = {
      {"name without its NUL", [](std::vector<char>& m) { std::memset(m.data() + 84, 'n', 32); }},
      {"name without the prefix", [](std::vector<char>& m) { std::strcpy(m.data() + 84, "ROBUST_RPL"); }},
      {"name with a path", [](std::vector<char>& m) { std::strcpy(m.data() + 84, "utcp:../ROBUST_RPL"); }},
      {"empty name", [](std::vector<char>& m) { std::memset(m.data() + 84, 0, 32); }},
      {"a reply sent as a request", [](std::vector<char>& m) { put_word(m, 76, 1); }},
  };
  UINT tag = 200;
  for (const Row& row : unroutable) {
    std::vector<char> message = request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, ++tag);
    row.change(message);
    send_raw(message);
  }
  expect_still_serving(++tag);
  EXPECT_EQ(replies().size(), replies_before + 1) << "garbage was answered:\n" << service_->log();
}

TEST_F(ServiceRobustness, AnswersBusyWhenItsQueueIsFullAndLosesNothing) {
  start_daemon({"--workers=1", "--queue-limit=2", "--network-timeout=1500"});
  silent_server hanging;
  ASSERT_TRUE(hanging.ok());
  // The one worker waits on a bind that is never answered ...
  send_raw(connection_test(COMM_DIR_TEST_MODE_SYNC, hanging.uri(), 300, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // ... so two requests wait and the rest are answered busy at once.
  for (UINT tag = 301; tag <= 305; ++tag) send_raw(request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, tag));
  for (UINT tag = 303; tag <= 305; ++tag) EXPECT_EQ(reply_result(expect_reply(tag)), COMM_DIR_SVC_BUSY);
  arrived test = expect_reply(300);
  EXPECT_EQ(reply_result(test), COMM_DIR_SVC_BIND_TIMEOUT);
  for (UINT tag = 301; tag <= 302; ++tag) EXPECT_EQ(reply_result(expect_reply(tag)), COMM_DIR_SVC_UNKNOWN_OPERATION);
}

TEST_F(ServiceRobustness, ConnectionTestReportsFindingsAndCallsBack) {
  start_daemon({"--callback-timeout=2000"});
  const std::string uri = closed_port_uri();
  const RETCODE server_down = comm_dir_code_from_ldap(-1);

  send_raw(connection_test(COMM_DIR_TEST_MODE_SYNC, uri, 400, 0));
  arrived sync = expect_reply(400);
  const auto* info = reinterpret_cast<const COMM_DIR_TEST_CONNECTION_INFO*>(sync.payload.data() + 16);
  EXPECT_EQ(reply_result(sync), server_down);
  EXPECT_EQ(info->result, server_down);
  EXPECT_EQ(info->reachable, 0u);
  EXPECT_EQ(info->bind_accepted, 0u);
  EXPECT_EQ(info->ldap_result, -1);
  EXPECT_STRNE(info->diagnostic, "");
  EXPECT_STREQ(info->connect.uri, uri.c_str());  // the record comes back whole

  send_raw(connection_test(COMM_DIR_TEST_MODE_CALLBACK, uri, 401, 0xC0FFEE01));
  EXPECT_EQ(reply_result(expect_reply(401)), 0);  // answered at once
  arrived callback;
  ASSERT_TRUE(callbacks().wait(0xC0FFEE01, &callback)) << service_->log();
  EXPECT_EQ(callback.head.type, static_cast<UINT>(COMM_DIR_FUNC_CHECK_CONNECTION));
  UINT result_word;
  std::memcpy(&result_word, callback.payload.data() + 72, sizeof result_word);
  EXPECT_EQ(static_cast<RETCODE>(result_word), server_down);
  expect_still_serving(402);
}

}  // namespace
}  // namespace velmarosta
