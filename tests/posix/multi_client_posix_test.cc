// The request client over the real POSIX platform: datagram sockets in a
// private folder, a real reply server thread, real events.
//
// Two platform calls are interposed here (this executable's definitions come
// before the platform library's): every wait of the library is bounded, so
// that a broken rendezvous fails the test instead of hanging it, and a test
// can hold a caller before its wait or make the wait fail.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/emw_osw.h"
#include "support/reply_echo.h"
#include "support/private_ipc_folder.h"
#include "support/read_file.h"

namespace {

using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;
using velmarosta::COMM_DIR_IPC_REPLY_SIZE;
using velmarosta::COMM_DIR_IPC_REQUEST_SIZE;
using velmarosta::COMM_DIR_MULTI_IPC_CLNT;
using velmarosta::comm_dir_ipc_multi_client;

constexpr INT kWaitBoundMs = 20000;
constexpr int kPayload = 76;
constexpr char kService[] = "utcp:COMM_DIR_SRV";

std::atomic<int> g_posts{0};
std::atomic<bool> g_wait_after_post{false};  // hold each wait until a post happened
std::atomic<RETCODE> g_wait_fails_with{0};   // the next wait fails at once

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" RETCODE emwOSWPostEventSem(UINT sem_id) {
  static auto post = real<RETCODE (*)(UINT)>("emwOSWPostEventSem");
  RETCODE rc = post(sem_id);
  ++g_posts;
  return rc;
}

extern "C" RETCODE emwOSWWaitEventSem(UINT sem_id, INT timeout) {
  static auto wait = real<RETCODE (*)(UINT, INT)>("emwOSWWaitEventSem");
  if (RETCODE code = g_wait_fails_with.exchange(0)) return code;
  if (g_wait_after_post) {
    for (int i = 0; i < 20000 && g_posts == 0; ++i) ::usleep(1000);
  }
  return wait(sem_id, timeout == -1 ? kWaitBoundMs : timeout);
}

namespace {

// The private endpoint folder and trace file of this process.
class PrivateIpcDir : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(folder_.make("mclient", commdir_testing::private_ipc_folder::trace::kToFile));
  }
  void TearDown() override { folder_.remove(); }
  static inline commdir_testing::private_ipc_folder folder_;
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new PrivateIpcDir);

std::string read_traces() { return commdir_testing::read_file(PrivateIpcDir::folder_.trace_path()); }

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// An echo server that keeps the requests it receives until the test answers
// them, in any order.
class HeldEcho {
 public:
  static RETCODE dispatch(char* rcvbuf, char* /*sndbuf*/, int* size) {
    *size = 0;
    std::lock_guard<std::mutex> lock(mu_);
    requests_.emplace_back(rcvbuf, rcvbuf + COMM_DIR_IPC_REQUEST_SIZE);
    arrived_.notify_all();
    return 0;
  }
  static void forget() {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.clear();
  }
  static bool wait_for(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    return arrived_.wait_for(lock, std::chrono::seconds(20), [&] { return requests_.size() >= count; });
  }
  static std::vector<char> reply(std::size_t index) {
    std::lock_guard<std::mutex> lock(mu_);
    return commdir_test::reply_to(requests_.at(index).data());
  }
  static RETCODE answer(std::size_t index) {
    std::vector<char> form = reply(index);
    return commdir_test::send_reply_form(form);
  }

 private:
  static inline std::mutex mu_;
  static inline std::condition_variable arrived_;
  static inline std::vector<std::vector<char>> requests_;  // guarded by mu_
};

std::vector<char> tagged(int tag) {
  std::vector<char> payload(kPayload);
  for (int i = 0; i < kPayload; ++i) payload[i] = static_cast<char>(tag * 7 + i);
  return payload;
}

class MultiClientPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_posts = 0;
    HeldEcho::forget();
    trace_start_ = read_traces().size();
    client_ = comm_dir_ipc_multi_client::get_instance();
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(emwGENIpcStartServer(kService, 0x34090000, 0x24000, HeldEcho::dispatch), 0);
    ASSERT_EQ(client_->create_client("COMM_DIR_CLT", kService, 0, 0, 0x34090000, clnt_), 0);
  }
  void TearDown() override {
    client_->destroy_client(clnt_);
    emwGENIpcRequestAdmin(kService, GEN_IPC_ADMIN_STOP);
  }

  // One call with its own payload on a thread; true when it got that payload
  // back.
  std::thread call_in_thread(int tag, std::atomic<int>* own_replies, RETCODE* rc = nullptr) {
    return std::thread([this, tag, own_replies, rc] {
      std::vector<char> payload = tagged(tag);
      std::vector<char> received(1948, 0);
      int size = 1948;
      RETCODE result = client_->call_client(clnt_, 12, 0, 0, payload.data(), kPayload, received.data(),
                                            1948, &size, ~0UL);
      if (rc != nullptr) *rc = result;
      if (result == 0 && std::memcmp(received.data(), payload.data(), kPayload) == 0) ++*own_replies;
    });
  }

  // The reply server's socket path: the reply server's name without "utcp:".
  static std::string reply_server_path() {
    char process[16] = {};
    emwOSWGetProcessName(process);
    return PrivateIpcDir::folder_.path() + "/DIR_CS_" + std::string(process).substr(0, 7);
  }

  // The trace lines written since the test began.
  std::string new_traces() const { return read_traces().substr(trace_start_); }

  comm_dir_ipc_multi_client* client_ = nullptr;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
  std::size_t trace_start_ = 0;
};

class MultiClientPosixConcurrencyTest : public MultiClientPosixTest {};

TEST_F(MultiClientPosixConcurrencyTest, SixtyFourCallersAnsweredInReverseEachGetTheirOwn) {
  constexpr int kCallers = 64;
  std::atomic<int> own{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) callers.push_back(call_in_thread(i, &own));
  ASSERT_TRUE(HeldEcho::wait_for(kCallers));
  for (int i = kCallers - 1; i >= 0; --i) ASSERT_EQ(HeldEcho::answer(static_cast<std::size_t>(i)), 0);
  for (auto& t : callers) t.join();
  EXPECT_EQ(own, kCallers);
}

TEST_F(MultiClientPosixTest, ReplyBeforeTheWaitIsNotLost) {
  g_wait_after_post = true;
  std::atomic<int> own{0};
  std::thread caller = call_in_thread(1, &own);
  ASSERT_TRUE(HeldEcho::wait_for(1));
  ASSERT_EQ(HeldEcho::answer(0), 0);
  caller.join();
  g_wait_after_post = false;
  EXPECT_EQ(own, 1);
}

// A reply to a call that has given up, and replies with forged routing words,
// are dropped with a trace and write nowhere (ASan would report it); the
// waiting caller gets its own reply afterwards all the same.
TEST_F(MultiClientPosixTest, LateAndForgedRepliesAreDropped) {
  g_wait_fails_with = 0x66;
  std::atomic<int> own{0};
  RETCODE rc = 0;
  call_in_thread(1, &own, &rc).join();
  EXPECT_EQ(rc, -1);
  ASSERT_TRUE(HeldEcho::wait_for(1));
  std::thread caller = call_in_thread(2, &own);
  ASSERT_TRUE(HeldEcho::wait_for(2));

  ASSERT_EQ(HeldEcho::answer(0), 0);  // late: its call has given up
  std::vector<char> forged_word = HeldEcho::reply(1);
  reinterpret_cast<COMM_DIR_IPC_ENVELOPE_HEAD*>(forged_word.data())->reply_buffer ^= 0x10000;
  ASSERT_EQ(commdir_test::send_reply_form(forged_word), 0);
  std::vector<char> forged_event = HeldEcho::reply(1);
  reinterpret_cast<COMM_DIR_IPC_ENVELOPE_HEAD*>(forged_event.data())->event_sem_id ^= 0x1;
  ASSERT_EQ(commdir_test::send_reply_form(forged_event), 0);
  ASSERT_EQ(HeldEcho::answer(1), 0);
  caller.join();
  EXPECT_EQ(own, 1);
  std::string traces = new_traces();
  EXPECT_EQ(count(traces, "emwOSWWaitEventSem ret=[0x66]"), 1u) << traces;
  EXPECT_EQ(count(traces, "names no waiting call"), 2u) << traces;
  EXPECT_EQ(count(traces, "is not the call's"), 1u) << traces;
}

// A datagram to the reply server whose word at byte 24 is not 1, sent from a
// raw socket with the waiting call's own routing words, is ignored with a
// flag-1 trace; the call keeps waiting for its real reply.
TEST_F(MultiClientPosixTest, MessageThatIsNotAReplyIsIgnored) {
  std::atomic<int> own{0};
  std::thread caller = call_in_thread(3, &own);
  ASSERT_TRUE(HeldEcho::wait_for(1));
  std::vector<char> not_reply = HeldEcho::reply(0);
  const UINT kind = 2;
  std::memcpy(not_reply.data() + GEN_IPC_HDR_KIND_OFFSET, &kind, sizeof kind);
  std::memset(not_reply.data() + 128, 'X', kPayload);

  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un to{AF_UNIX, {}};
  ASSERT_LT(std::snprintf(to.sun_path, sizeof to.sun_path, "%s", reply_server_path().c_str()), static_cast<int>(sizeof to.sun_path));
  const int posts_before = g_posts;
  ASSERT_EQ(::sendto(fd, not_reply.data(), not_reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(not_reply.size()));
  ::close(fd);
  const std::string expected = "flag=1 [ERROR]<static RETCODE velmarosta::comm_dir_ipc_multi_client::dispatch_client(char*, char*, int*)>(";
  for (int i = 0; i < 2000 && count(new_traces(), expected) == 0; ++i) ::usleep(1000);
  EXPECT_EQ(count(new_traces(), expected), 1u) << new_traces();
  EXPECT_EQ(g_posts, posts_before);

  ASSERT_EQ(HeldEcho::answer(0), 0);
  caller.join();
  EXPECT_EQ(own, 1);  // its own payload, not the 'X' bytes
}

TEST_F(MultiClientPosixTest, NamesOfThirtyTwoCharactersPassAndThirtyThreeDoNot) {
  const std::string server32 = "utcp:" + std::string(27, 'S');
  const std::string client32(32, 'C');
  ASSERT_EQ(emwGENIpcStartServer(server32.c_str(), 0x34090000, 0x24000, commdir_test::echo_dispatch), 0);
  COMM_DIR_MULTI_IPC_CLNT clnt{};
  ASSERT_EQ(client_->create_client(client32.c_str(), server32.c_str(), 0, 0, 0x34090000, clnt), 0);
  std::vector<char> payload = tagged(5), received(kPayload);
  EXPECT_EQ(client_->call_client(clnt, 1, 0, 0, payload.data(), kPayload, received.data(), kPayload, nullptr, ~0UL), 0);
  EXPECT_EQ(received, payload);
  EXPECT_EQ(client_->destroy_client(clnt), 0);

  COMM_DIR_MULTI_IPC_CLNT unused{};
  EXPECT_EQ(client_->create_client((client32 + "C").c_str(), server32.c_str(), 0, 0, 0x34090000, unused), -1);
  EXPECT_EQ(client_->create_client(client32.c_str(), (server32 + "S").c_str(), 0, 0, 0x34090000, unused), -1);
  emwGENIpcRequestAdmin(server32.c_str(), GEN_IPC_ADMIN_STOP);
}

}  // namespace
