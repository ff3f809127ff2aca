// What the tests of the transport share: the service endpoint answered by an
// echo peer, a reply server of the test's own that keeps what it receives,
// the threaded request server on a dispatch function the test steers, and
// request forms to hand it.
#ifndef COMMDIR_TESTS_SUPPORT_TRANSPORT_HARNESS_H_
#define COMMDIR_TESTS_SUPPORT_TRANSPORT_HARNESS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "support/fake/faults.h"
#include "support/reply_echo.h"

namespace commdir_test {

using namespace velmarosta;

using Srv = comm_dir_ipc_multi_server;
using Action = std::function<RETCODE()>;
constexpr char kReplyServer[] = "utcp:TREPLY";

inline std::mutex g_mu;
inline std::vector<std::vector<char>> g_kept;  // what the test's own servers received
inline RETCODE keep(char* rcvbuf, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_kept.emplace_back(rcvbuf, rcvbuf + read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET));
  return *size = 0;
}
inline std::vector<std::vector<char>> kept() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_kept;
}

inline void put(std::vector<char>& bytes, int offset, UINT word) { std::memcpy(&bytes[offset], &word, sizeof word); }
inline UINT address_word(const void* p) { return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(p)); }
inline int sent() { return faults::calls("emwGENIpcCallClient"); }
inline bool mutex_free(UINT id) { return emwOSWRequestMutexSem(id, 0) == 0 && emwOSWReleaseMutexSem(id) == 0; }
inline Action failing(const char* fn, Action act, int nth = 1) {
  return [=] {
    faults::fail(fn, nth);
    return act();
  };
}

// Payload word 0 (byte 124) of a request tells the server's dispatch what to
// do; word 1 (byte 128) is its tag.
enum : UINT { kEcho, kSelf, kGate, kFail };
constexpr UINT kOpenAll = ~1u;
inline std::atomic<UINT> g_released{~0u};
inline std::atomic<int> g_entered{0};
inline std::atomic<char*> g_copy{nullptr};
inline RETCODE serve(char* rcvbuf, char* sndbuf, int* size) {
  g_copy = rcvbuf;
  const UINT action = read_word(rcvbuf, 124);
  if (action == kSelf) return Srv::send_reply(reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(rcvbuf), 0, sndbuf, 4);
  if (action == kFail) return 0x77;
  g_entered += action == kGate;
  while (action == kGate && g_released != read_word(rcvbuf, 128) && g_released != kOpenAll) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *size = 4;  // the send buffer's first bytes; the request's copy is padded with zeros
  return read_word(rcvbuf, COMM_DIR_IPC_REQUEST_SIZE - 4) == 0 ? 0 : 0x66;
}

// A request form of `length` bytes (its length word says so) to be answered
// to kReplyServer, with `tag` also as its event and in its reply buffer word.
inline std::vector<char> form(UINT action, UINT tag = 0, std::size_t length = COMM_DIR_IPC_REQUEST_SIZE) {
  std::vector<char> bytes(std::max(length, sizeof(COMM_DIR_IPC_MULTI_REQUEST)), 0);
  auto* request = reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(bytes.data());
  request->head.event_sem_id = tag;
  request->head.type = 3;
  std::strcpy(request->head.reply_server_name, kReplyServer);
  request->head.reply_buffer = 0xB0000000u + tag;
  request->head.reply_buffer_size = COMM_DIR_IPC_REPLY_SIZE;
  put(bytes, 124, action);
  put(bytes, 128, tag);
  put(bytes, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(length));
  bytes.resize(length);
  return bytes;
}

// Slots of the task table free now; found by taking them.
inline int free_slots() {
  std::vector<int> taken;
  for (int i = 0; Srv::thread_check_empty(i) == 0; taken.push_back(i)) Srv::thread_regist("probe", i);
  for (int i : taken) Srv::thread_delete(i);
  return static_cast<int>(taken.size());
}

inline RETCODE dispatch(std::vector<char> request, bool with_rcvbuf = true, bool with_sndbuf = true) {
  std::vector<char> sndbuf(65536, 'S');
  int size = 9;
  return Srv::dispatch_server(with_rcvbuf ? request.data() : nullptr, with_sndbuf ? sndbuf.data() : nullptr, &size);
}

// The service endpoint answered by an echo peer, with a client of it; a reply
// server of the test's own; and the threaded server on `serve`.
class transport_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, 1, COMM_DIR_IPC_STACK_SIZE, commdir_test::echo_dispatch), 0);
    ASSERT_EQ(emwGENIpcStartServer(kReplyServer, COMM_DIR_IPC_ID_REPLY, COMM_DIR_IPC_STACK_SIZE, keep), 0);
    ASSERT_EQ(Srv::get_instance()->start_server("utcp:TSRV", 1, COMM_DIR_IPC_STACK_SIZE, serve), 0);
    ASSERT_EQ(client_->create_client(COMM_DIR_SERVICE_CLIENT_NAME, COMM_DIR_SERVICE_SERVER_NAME, 0, 0, 0, clnt_), 0);
  }
  void TearDown() override {
    g_released = kOpenAll;
    faults::wait_until([] { return free_slots() == COMM_DIR_MAX_THREADS; });
    // The servers that keep what they receive, stopped and their threads
    // joined: no late reply then reaches g_kept while it is destroyed at exit.
    for (auto name : {kReplyServer, COMM_DIR_SERVICE_SERVER_NAME}) emwGENIpcRequestAdmin(name, GEN_IPC_ADMIN_STOP);
  }
  RETCODE call(char* sndbuf, int sndsize, char* rcvbuf, int rcvsize) {
    return client_->call_client(clnt_, 12, 0, 0, sndbuf, sndsize, rcvbuf, rcvsize, nullptr, ~0UL);
  }
  comm_dir_ipc_multi_client* client_ = comm_dir_ipc_multi_client::get_instance();
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};

// One refusal or failed set-up: what it returns, a part of its trace line and
// the messages it sends (requests and replies). Every task slot is free after it.
struct refusal {
  Action act;
  RETCODE rc;
  const char* trace;
  int sent;
};
inline void expect_refusals(const std::vector<refusal>& rows) {
  for (const refusal& row : rows) {
    faults::clear();
    const int before = sent();
    EXPECT_EQ(row.act(), row.rc) << row.trace;
    EXPECT_TRUE(faults::wait_until([&] { return faults::traced(row.trace) && free_slots() == 12; })) << row.trace;
    EXPECT_EQ(sent() - before, row.sent) << row.trace;
  }
}

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_TRANSPORT_HARNESS_H_
