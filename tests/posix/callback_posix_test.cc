// The callback endpoint over the POSIX platform's sockets: concurrent senders,
// each a raw user of the platform with a reply server of its own.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "server/comm_dir_operation_server.h"
#include "server_test_requests.h"
#include "support/private_ipc_folder.h"

namespace {

using namespace velmarosta;
using server_test::request_form;
constexpr int kSenders = 4;
constexpr int kPerSender = 50;
constexpr int kRequests = kSenders * kPerSender;
constexpr char kEndpoint[] = "utcp:DIR_SVR_ptest";

// By message number: requests 0 to 199, then one marker per sender.
std::array<std::atomic<int>, kRequests + kSenders> g_replies{};
std::array<std::atomic<int>, kRequests> g_calls{};
std::atomic<int> g_faults{0};  // malformed replies, callbacks after their reply
std::mutex g_mu;
std::condition_variable g_replied;

std::string reply_server(int sender) { return "utcp:SND_" + std::to_string(sender); }

// Every sender's reply server: a reply must be an all-zero callback reply.
RETCODE count_reply(char* rcvbuf, char*, int* size) {
  *size = 0;
  UINT number = read_word(rcvbuf, 72);
  auto* reply = reinterpret_cast<COMM_DIR_IPC_MULTI_REPLY*>(rcvbuf);
  bool zeros = std::all_of(reply->payload, reply->payload + COMM_DIR_REPLY_SIZE, [](char c) { return c == 0; });
  if (number >= g_replies.size() || reply->head.replied != 1 || !zeros) {
    ++g_faults;
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  ++g_replies[number];
  g_replied.notify_all();
  return 0;
}

bool wait_reply(UINT number) {
  std::unique_lock<std::mutex> lock(g_mu);
  return g_replied.wait_for(lock, std::chrono::seconds(20), [&] { return g_replies[number] > 0; });
}

void send_form(const std::string& server, std::vector<char> form, int kind) {
  COMM_DIR_MULTI_IPC_CLNT client = {};
  ASSERT_EQ(0, emwGENIpcCreateClient("SENDER", server.c_str(), 0, 0, COMM_DIR_IPC_ID_SERVICE, &client));
  std::memset(form.data(), 0, COMM_DIR_IPC_HEADER_SIZE);  // the platform's
  EXPECT_EQ(0, emwGENIpcCallClient(client.handle, kind, 0, 0, form.data(), static_cast<INT>(form.size()),
                                   nullptr, 0, nullptr, ~0UL));
  emwGENIpcDestroyClient(client.handle);
}

struct Counter : comm_dir_callback {
  void on_callback(UINT number) override {
    if (number >= static_cast<UINT>(kRequests) || g_replies[number] != 0) ++g_faults;
    if (number < static_cast<UINT>(kRequests)) ++g_calls[number];
  }
};

// Sends its requests one at a time, each after the previous one's reply. A
// task may still hold its slot for a moment after its reply went out (on a
// loaded machine, for several of its sender's requests), and a request that
// finds all 12 slots taken is dropped: so 4 senders, each holding at most 3.
void run_sender(int sender, UINT word) {
  for (int i = 0; i < kPerSender; ++i) {
    const UINT number = static_cast<UINT>(sender * kPerSender + i);
    std::vector<UINT> payload(18, 0);
    payload.insert(payload.end(), {number, word});  // the argument and object words
    send_form(kEndpoint, request_form(COMM_DIR_FUNC_CHECK_CONNECTION, number, payload,
                                      COMM_DIR_IPC_REQUEST_SIZE, reply_server(sender).c_str()),
              GEN_IPC_KIND_REQUEST);
    ASSERT_TRUE(wait_reply(number)) << "no reply to " << number;
  }
}

class CallbackPosixConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.make("callback", commdir_testing::private_ipc_folder::trace::kOff));
    char name[] = "DIR_SVR_ptest";
    server_ = new comm_dir_operation_server(name);
  }
  void TearDown() override {
    delete server_;
  }
  commdir_testing::private_ipc_folder folder_;
  comm_dir_operation_server* server_ = nullptr;
};

TEST_F(CallbackPosixConcurrency, TwoHundredCallbacksFromFourSendersAreEachAnsweredOnce) {
  Counter object;
  const UINT word = comm_dir_register_callback(&object);
  for (int s = 0; s < kSenders; ++s) {
    ASSERT_EQ(0, emwGENIpcStartServer(reply_server(s).c_str(), COMM_DIR_IPC_ID_REPLY,
                                      COMM_DIR_IPC_STACK_SIZE, count_reply));
  }
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) senders.emplace_back(run_sender, s, word);
  for (auto& t : senders) t.join();
  // Tasks end after their reply: wait until every slot is free again.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (server_test::free_slots() != COMM_DIR_MAX_THREADS && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(COMM_DIR_MAX_THREADS, server_test::free_slots());
  // Every reply has been sent; a marker behind them in each reply server's
  // queue shows that all of them have also been received.
  for (int s = 0; s < kSenders; ++s) {
    const UINT number = kRequests + s;
    send_form(reply_server(s), server_test::expected_reply(request_form(0, number), ""), GEN_IPC_KIND_REPLY);
    EXPECT_TRUE(wait_reply(number));
    emwGENIpcRequestAdmin(reply_server(s).c_str(), GEN_IPC_ADMIN_STOP);
  }
  EXPECT_EQ(0, comm_dir_unregister_callback(word));
  for (int n = 0; n < kRequests; ++n) {
    EXPECT_EQ(1, g_replies[n]) << n;
    EXPECT_EQ(1, g_calls[n]) << n;
  }
  EXPECT_EQ(0, g_faults);
}

}  // namespace
