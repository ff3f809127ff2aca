// The request client's reply words across their wrap: a million calls over
// the POSIX platform's events and mutexes, with the counter started just
// below 0xFFFFFFFF and three calls holding the first words after the wrap.
//
// emwGENIpcCallClient is interposed (this executable's definition comes
// before the platform library's): a request is answered on the caller's own
// thread by handing its echo straight to dispatch_client, so that a million
// calls take seconds instead of a million socket round trips. Everything
// else, from the reply table to the event the caller waits on, is the real
// thing. Waits are bounded, so that a lost reply fails instead of hanging.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_ipc_multi_client_testing.h"
#include "ipc/comm_dir_word_table.h"
#include "platform/emw_osw.h"
#include "support/private_ipc_folder.h"

namespace {

using namespace velmarosta;

constexpr INT kWaitBoundMs = 30000;
// The holders wait through the whole run, which takes minutes under a
// sanitizer on a busy machine.
constexpr INT kHoldBoundMs = 600000;
constexpr int kPayload = 16;  // two words: the caller's thread and call number

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

// What the interposed send saw. Thread-safe: mu guards the sets.
struct Observed {
  std::mutex mu;
  std::unordered_set<UINT> in_flight;   // words sent and not yet returned to their caller
  std::vector<std::vector<char>> held;  // requests of the holding calls
  std::set<UINT> low_words;             // words below 8 seen in churn
  std::atomic<int> zero_words{0};
  std::atomic<int> reissued{0};
  std::atomic<bool> saw_top{false};  // 0xFFFFFFFF was issued
};
Observed& observed() {
  static Observed o;
  return o;
}
thread_local bool t_hold = false;  // this thread's requests are kept, not answered
thread_local UINT t_word = 0;      // the word of this thread's last request

// The reply form of `request`, its payload echoed, handed to the reply
// server's dispatch function as the platform would hand it.
RETCODE answer(const char* request) {
  thread_local std::vector<char> reply(COMM_DIR_IPC_REPLY_SIZE, 0);
  auto* form = reinterpret_cast<COMM_DIR_IPC_MULTI_REPLY*>(reply.data());
  std::memcpy(&form->head, request, sizeof form->head);
  form->head.replied = 1;
  std::memcpy(form->payload, request + COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET, kPayload);
  const UINT length = COMM_DIR_IPC_REPLY_SIZE, kind = GEN_IPC_KIND_REPLY;
  std::memcpy(reply.data() + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
  std::memcpy(reply.data() + GEN_IPC_HDR_KIND_OFFSET, &kind, sizeof kind);
  int size = 0;
  return comm_dir_ipc_multi_client::dispatch_client(reply.data(), nullptr, &size);
}

}  // namespace

extern "C" RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT arg3, long arg4, char* message, INT length,
                                       char* rcvbuf, INT rcvsize, INT* rcvlen, ULONG timeout) {
  static auto send = real<RETCODE (*)(UINT, INT, INT, long, char*, INT, char*, INT, INT*, ULONG)>("emwGENIpcCallClient");
  if (kind != GEN_IPC_KIND_REQUEST) return send(handle, kind, arg3, arg4, message, length, rcvbuf, rcvsize, rcvlen, timeout);
  Observed& o = observed();
  const UINT word = read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer));
  t_word = word;
  if (word == 0) ++o.zero_words;
  if (word == 0xFFFFFFFFu) o.saw_top = true;
  {
    std::lock_guard<std::mutex> lock(o.mu);
    if (!o.in_flight.insert(word).second) ++o.reissued;
    if (t_hold) {
      o.held.emplace_back(message, message + length);
      return 0;
    }
    if (word < 8) o.low_words.insert(word);
  }
  EXPECT_EQ(answer(message), 0);
  return 0;
}

extern "C" RETCODE emwOSWWaitEventSem(UINT sem_id, INT timeout) {
  static auto wait = real<RETCODE (*)(UINT, INT)>("emwOSWWaitEventSem");
  return wait(sem_id, timeout != -1 ? timeout : t_hold ? kHoldBoundMs : kWaitBoundMs);
}

namespace {

class HandleWrapPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.make("wrap", commdir_testing::private_ipc_folder::trace::kToFile));
    // The service endpoint only has to exist for create_client; nothing is
    // ever sent to it.
    ASSERT_EQ(emwGENIpcStartServer("utcp:WRAP_SRV", 0, 0x24000, [](char*, char*, int* size) { return *size = 0; }), 0);
    client_ = comm_dir_ipc_multi_client::get_instance();
    ASSERT_EQ(client_->create_client("WRAP_CLT", "utcp:WRAP_SRV", 0, 0, COMM_DIR_IPC_ID_SERVICE, clnt_), 0);
  }
  void TearDown() override {
    client_->destroy_client(clnt_);
    emwGENIpcRequestAdmin("utcp:WRAP_SRV", GEN_IPC_ADMIN_STOP);
  }

  // One call carrying (thread, number); true when its own payload came back.
  bool call(UINT thread, UINT number) {
    const UINT sent[kPayload / 4] = {thread, number, ~thread, ~number};
    UINT received[kPayload / 4] = {};
    RETCODE rc = client_->call_client(clnt_, 12, 0, 0, reinterpret_cast<char*>(const_cast<UINT*>(sent)), kPayload,
                                      reinterpret_cast<char*>(received), kPayload, nullptr, ~0UL);
    {
      std::lock_guard<std::mutex> lock(observed().mu);
      observed().in_flight.erase(t_word);
    }
    return rc == 0 && std::memcmp(sent, received, sizeof sent) == 0;
  }

  commdir_testing::private_ipc_folder folder_;
  comm_dir_ipc_multi_client* client_ = nullptr;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};

TEST_F(HandleWrapPosixTest, AMillionCallsAcrossTheWrapEachGetTheirOwnReply) {
  if (kWordIsAddress) {
    GTEST_SKIP() << "reply words are the addresses of live reply records on this host: there is no counter to wrap";
  }
  // Three calls take words 1, 2 and 3 and wait through the whole run.
  comm_dir_testing_restart_reply_words_at(1);
  std::vector<std::thread> holders;
  std::atomic<int> holders_own{0};
  for (UINT h = 0; h < 3; ++h) {
    holders.emplace_back([this, h, &holders_own] {
      t_hold = true;
      if (call(1000 + h, h)) ++holders_own;
    });
    // One at a time, so that word h + 1 is the h-th holder's.
    ASSERT_TRUE([&] {
      for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        std::lock_guard<std::mutex> lock(observed().mu);
        if (observed().held.size() == h + 1) return true;
      }
      return false;
    }());
  }

  // Two threads churn through the wrap: 0 and the held words must be skipped.
  constexpr UINT kCalls = 1000000, kThreads = 2;
  comm_dir_testing_restart_reply_words_at(0xFFFFFFFFu - kCalls / 2 + 1);
  std::atomic<UINT> wrong{0};
  std::vector<std::thread> churn;
  for (UINT t = 0; t < kThreads; ++t) {
    churn.emplace_back([this, t, &wrong] {
      for (UINT i = 0; i < kCalls / kThreads; ++i) {
        if (!call(t, i)) ++wrong;
      }
    });
  }
  for (auto& thread : churn) thread.join();
  EXPECT_EQ(wrong, 0u) << "calls that failed or got another caller's reply";

  // The holders' replies, last first, still reach them.
  std::vector<std::vector<char>> held;
  {
    std::lock_guard<std::mutex> lock(observed().mu);
    held = observed().held;
  }
  for (auto it = held.rbegin(); it != held.rend(); ++it) EXPECT_EQ(answer(it->data()), 0);
  for (auto& thread : holders) thread.join();
  EXPECT_EQ(holders_own, 3);

  EXPECT_TRUE(observed().saw_top) << "the counter did not reach 0xFFFFFFFF";
  EXPECT_EQ(observed().zero_words, 0);
  EXPECT_EQ(observed().reissued, 0) << "a word in use was issued again";
  // After the wrap the counter went on at 4: 0 and the held 1 to 3 skipped.
  EXPECT_EQ(observed().low_words, (std::set<UINT>{4, 5, 6, 7}));
}

}  // namespace
