// The threaded request server over the fake platform: slots, tasks, replies
// and every failure path.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "server_test_requests.h"

namespace {

using namespace server_test;
using Srv = velmarosta::comm_dir_ipc_multi_server;
using velmarosta::read_word;
constexpr char kServer[] = "utcp:TSRV";
constexpr char kSigPrefix[] = "velmarosta::comm_dir_ipc_multi_server::";

std::string sig(const char* head, const char* tail) { return std::string(head) + kSigPrefix + tail; }
const std::string kInit = sig("RETCODE ", "initialize()"), kFini = sig("RETCODE ", "finalize()");
const std::string kStart = sig("RETCODE ", "start_server(const char*, int, ULONG, PGEN_IPC_DISPATCH)");
const std::string kStop = sig("RETCODE ", "stop_server(const char*)");
const std::string kType = sig("RETCODE ", "get_type(velmarosta::COMM_DIR_IPC_MULTI_REQUEST*, UINT&)");
const std::string kReply = sig("static RETCODE ", "send_reply(velmarosta::COMM_DIR_IPC_MULTI_REQUEST*, RETCODE, char*, int)");
const std::string kRegist = sig("static RETCODE ", "thread_regist(const CHAR*, INT)");
const std::string kDelete = sig("static RETCODE ", "thread_delete(INT)");
const std::string kDispatch = sig("static RETCODE ", "dispatch_server(char*, char*, int*)");
const std::string kThread = sig("static void ", "dispatch_thread(INT, INT, INT)");
const std::string kFatal = "<Fatal>:<%s>(%d) : function failed : ";

// What the dispatch functions saw. A request's tag is payload word 0, and
// payload word 1 the size that count_dispatch replies with.
std::atomic<int> g_calls{0}, g_entered{0};
std::atomic<UINT> g_tail{1}, g_sndbuf{0}, g_released{~0u};
std::atomic<bool> g_all_released{false};

RETCODE count_dispatch(char* rcv, char* snd, int* size) {
  ++g_calls;
  g_tail = read_word(rcv, velmarosta::COMM_DIR_IPC_REQUEST_SIZE - 4);
  g_sndbuf = read_word(snd, 0);
  *size = static_cast<int>(read_word(rcv, 128));
  return 0;
}
RETCODE failing_dispatch(char* rcv, char* snd, int* size) { count_dispatch(rcv, snd, size); return 0x77; }
RETCODE never_dispatch(char*, char*, int*) { ADD_FAILURE() << "a refused start set its dispatch"; return 0; }
RETCODE replying_dispatch(char* rcv, char*, int*) {
  char data[] = "self";
  return Srv::send_reply(reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(rcv), 0, data, 4);
}
// Holds its task until the test releases the request's tag.
RETCODE gated_dispatch(char* rcv, char*, int*) {
  ++g_entered;
  while (!g_all_released && g_released != read_word(rcv, 124)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 0;
}

class MultiServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    srv_ = Srv::get_instance();
    start_reply_server();
    fake::clear_log();
  }
  void TearDown() override {
    g_all_released = true;
    fake::join_tasks();
  }
  void start(PGEN_IPC_DISPATCH dispatch, const char* name = kServer) {
    ASSERT_EQ(0, srv_->start_server(name, 1, 2, dispatch));
  }
  static RETCODE send(UINT tag, std::size_t length = 300, const char* server = kServer) {
    return fake::inject(server, request_form(3, 100 + tag, {tag, 0}, length));
  }
  Srv* srv_ = nullptr;
};

// One failure path: plan the platform failure, act, then the result, the one
// trace line, the replies sent and that no slot is lost.
// fail_fn: the platform call that fails (null: none)
struct FailureRow {
  const char* fail_fn; int nth; std::function<RETCODE()> act; RETCODE result; std::string sig, format;
  fake::Value extra; int replies;
};

void run_rows(const std::vector<FailureRow>& rows) {
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.format);
    fake::clear_log();
    if (row.fail_fn != nullptr) fake::fail_nth(row.fail_fn, row.nth, 0x5A);
    EXPECT_EQ(row.result, row.act());
    fake::join_tasks();
    expect_one_trace(row.format, row.sig, row.extra);
    EXPECT_EQ(row.replies, static_cast<int>(replies().size()));
    EXPECT_EQ(12, free_slots());
    // A failed release leaves the fake's mutex taken: give it back.
    for (auto& c : fake::calls_of("emwOSWReleaseMutexSem")) {
      if (c.injected) emwOSWReleaseMutexSem(static_cast<UINT>(c.args[0].i));
    }
  }
}

TEST_F(MultiServerTest, FailureRowsOfSetUpAndReplies) {
  start(count_dispatch);
  auto init = [this] { return srv_->initialize(); };
  auto fini = [this] { RETCODE r = srv_->finalize(); srv_->initialize(); return r; };
  auto start_with = [this](const char* name, PGEN_IPC_DISPATCH d) {
    return [=] { return srv_->start_server(name, 1, 2, d); };
  };
  // A refused start leaves the dispatch function as it was: a probe request
  // is still served by count_dispatch.
  auto start_and_probe = [this](const char* name) {
    return [=] {
      RETCODE r = srv_->start_server(name, 1, 2, never_dispatch);
      EXPECT_EQ(0, send(1));
      return r;
    };
  };
  static COMM_DIR_IPC_MULTI_REQUEST request;
  auto reply = [](char* data, int size, char name_fill) {
    return [=] {
      request = *reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(request_form(3, 1).data());
      if (name_fill != 0) std::memset(request.head.reply_server_name, name_fill, 32);
      RETCODE r = Srv::send_reply(&request, 0, data, size);
      EXPECT_EQ(0u, request.head.replied);
      return r;
    };
  };
  static char data[8] = "payload";
  UINT type = 7;
  const std::string long_name(33, 'n');
  const std::string kParam = "<Fatal>:<%s>(%d) : Paramter ";
  run_rows({
      {"emwOSWCreateMutexSem", 1, init, -1, kInit, kFatal + "emwOSWCreateMutexSem ret=%#lx\n", Int(0x5A), 0},
      {"emwOSWCreateMutexSem", 3, init, -1, kInit, kFatal + "emwOSWCreateMutexSem ret=%#lx\n", Int(0x5A), 0},
      {"emwOSWDeleteMutexSem", 2, fini, -1, kFini, kFatal + "emwOSWDeleteMutexSem ret=%#lx\n", Int(0x5A), 0},
      {nullptr, 0, start_with(nullptr, failing_dispatch), -1, kStart, kParam + "server_name=[%s]\n", Str("(null)"), 0},
      {nullptr, 0, start_with("", failing_dispatch), -1, kStart, kParam + "server_name=[%s]\n", Str(""), 0},
      {nullptr, 0, start_with(long_name.c_str(), failing_dispatch), -1, kStart, kParam + "server_name=[%s]\n", Str(long_name), 0},
      {nullptr, 0, start_with("utcp:X", nullptr), -1, kStart, kParam + "dispatch=[%p]\n", Null(), 0},
      {"emwGENIpcStartServer", 1, start_and_probe("utcp:X"), -1, kStart, kFatal + "emwGENIpcStartServer ret=[%#lx]\n", Int(0x5A), 1},
      {"emwOSWRequestMutexSem", 1, start_and_probe("utcp:Y"), -1, kStart, kFatal + "emwOSWRequestMutexSem ret=[%#lx]\n", Int(0x5A), 1},
      {"emwGENIpcRequestAdmin", 1, [this] { return srv_->stop_server(kServer); }, -1, kStop, kFatal + "emwGENIpcStopServer ret=[%#lx]\n", Int(0x5A), 0},
      {nullptr, 0, [this] { return srv_->stop_server(nullptr); }, -1, kStop, kParam + "server_name=[%s]\n", Str("(null)"), 0},
      {nullptr, 0, [&] { return srv_->get_type(nullptr, type); }, -1, kType, kParam + "data is NULL\n", None(), 0},
      {nullptr, 0, [] { return Srv::send_reply(nullptr, 0, data, 1); }, -1, kReply, kParam + "data is NULL\n", None(), 0},
      {"emwOSWRequestMutexSem", 1, reply(data, 1, 0), -1, kReply, kFatal + "emwOSWRequestMutexSem ret=[%#lx]\n", Int(0x5A), 0},
      {"emwGENIpcCreateClient", 1, reply(data, 1, 0), -1, kReply, kFatal + "emwGENIpcCreateClient ret=[%#lx]\n", Int(0x5A), 0},
      {"emwGENIpcCallClient", 1, reply(data, 1, 0), -1, kReply, kFatal + "emwGENIpcCallClient ret=[%#lx]\n", Int(0x5A), 0},
      {"emwOSWReleaseMutexSem", 1, reply(data, 1, 0), -1, kReply, kFatal + "emwOSWReleaseMutexSem ret=[%#lx]\n", Int(0x5A), 1},
      {nullptr, 0, reply(data, 49157, 0), -1, kReply, kParam + "size=%d\n", Int(49157), 0},
      {nullptr, 0, reply(data, -1, 0), -1, kReply, kParam + "size=%d\n", Int(-1), 0},
      {nullptr, 0, reply(data, 1, 'x'), -1, kReply, kParam + "reply_server_name\n", None(), 0},
      {nullptr, 0, [] { return Srv::thread_regist(nullptr, 0); }, -1, kRegist, "<Fatal>:<%s>(%d) : Parameter failed : thread_name=%s\n", Str("(null)"), 0},
      {nullptr, 0, [] { return Srv::thread_regist("t", 12); }, -1, kRegist, "<Fatal>:<%s>(%d) : Parameter failed : index=%#x\n", Int(0xc), 0},
      {nullptr, 0, [] { return Srv::thread_regist("t", -1); }, -1, kRegist, "<Fatal>:<%s>(%d) : Parameter failed : index=%#x\n", Int(0xffffffff), 0},
      {nullptr, 0, [] { return Srv::thread_delete(12); }, -1, kDelete, "<Fatal>:<%s>(%d) : Parameter failed : index=%#x\n", Int(0xc), 0},
      {nullptr, 0, [] { return Srv::thread_delete(-1); }, -1, kDelete, "<Fatal>:<%s>(%d) : Parameter failed : index=%#x\n", Int(0xffffffff), 0},
      // Last: it leaves failing_dispatch set.
      {"emwOSWReleaseMutexSem", 1, start_with("utcp:Z", failing_dispatch), -1, kStart, kFatal + "emwOSWReleaseMutexSem ret=[%#lx]\n", Int(0x5A), 0},
  });
  EXPECT_EQ(7u, type);  // get_type left it alone
  EXPECT_EQ(2, g_calls);
  EXPECT_FALSE(fake::server_running("utcp:X"));
  EXPECT_TRUE(fake::server_running("utcp:Y"));  // left running by its refused start
  fake::clear_log();
  ASSERT_EQ(0, send(2, 300, "utcp:Y"));  // a failed release still set the function
  fake::join_tasks();
  expect_one_trace(kFatal + "dispatch ret=%#lx\n", kThread, Int(0x77));
}

TEST_F(MultiServerTest, FailureRowsOfDispatch) {
  start(count_dispatch);
  auto inject = [] { return send(1); };
  auto direct = [](bool rcv, bool snd) {
    return [=] {
      std::vector<char> form = request_form(3, 1), buffer(65536);
      int size = 9;
      RETCODE r = Srv::dispatch_server(rcv ? form.data() : nullptr, snd ? buffer.data() : nullptr, &size);
      EXPECT_EQ(0, size);
      return r;
    };
  };
  auto with_length = [](std::size_t length) { return [=] { return send(1, length); }; };
  auto unterminated = [] {
    std::vector<char> form = request_form(3, 1);
    std::memset(form.data() + 84, 'x', 32);
    return fake::inject(kServer, form);
  };
  auto failing = [this] { start(failing_dispatch, "utcp:F"); return send(1, 300, "utcp:F"); };
  const std::string kErr = "<Error>:<%s>(%d) : parameter failed : ";
  run_rows({
      {nullptr, 0, direct(false, true), -1, kDispatch, kErr + "rcvbuf=%p\n", Null(), 0},
      {nullptr, 0, direct(true, false), -1, kDispatch, kErr + "sndbuf=%p\n", Null(), 0},
      {nullptr, 0, with_length(123), -1, kDispatch, kErr + "rcvbuf length=%u\n", Int(123), 0},
      {nullptr, 0, with_length(49281), -1, kDispatch, kErr + "rcvbuf length=%u\n", Int(49281), 0},
      {nullptr, 0, unterminated, -1, kDispatch, kErr + "reply_server_name\n", None(), 0},
      {"emwOSWRequestMutexSem", 1, inject, -1, kDispatch, kFatal + "emwOSWRequestMutexSem ret=[%#lx]\n", Int(0x5A), 0},
      {"emwOSWReleaseMutexSem", 1, inject, -1, kDispatch, kFatal + "emwOSWReleaseMutexSem ret=[%#lx]\n", Int(0x5A), 0},
      {"emwOSWCreateJoinTask", 1, inject, -1, kDispatch, kFatal + "emwOSWCreateJoinTask ret=%#lx\n", Int(0x5A), 0},
      {nullptr, 0, [] { Srv::dispatch_thread(0, 0, 0); return 0; }, 0, kThread, kErr + "rcvbuf=%p\n", Null(), 0},
      {"emwGENIpcCallClient", 1, inject, 0, kThread, kFatal + "send_reply ret=%#lx\n", Int(0xffffffff), 0},
      // Request 1 is dispatch_server's, 2 the reply's, 3 the task's end.
      {"emwOSWRequestMutexSem", 3, inject, 0, kThread, kFatal + "emwOSWRequestMutexSem ret=[%#lx]\n", Int(0x5A), 1},
      {"emwOSWReleaseMutexSem", 3, inject, 0, kThread, kFatal + "emwOSWReleaseMutexSem ret=[%#lx]\n", Int(0x5A), 1},
      {nullptr, 0, failing, 0, kThread, kFatal + "dispatch ret=%#lx\n", Int(0x77), 1},
  });
  EXPECT_EQ(4, g_calls);  // only the requests that got a task were dispatched
  EXPECT_TRUE(fake::task_names().size() == 4u);
}

TEST_F(MultiServerTest, TwelveBusyTasksRefuseTheThirteenthAndFreeSlotsAreReusedLowestFirst) {
  start(gated_dispatch);
  for (UINT tag = 0; tag < 12; ++tag) ASSERT_EQ(0, send(tag));
  ASSERT_TRUE(fake::wait_until([] { return g_entered == 12; }));
  EXPECT_EQ(-1, send(12));
  expect_one_trace(kFatal + "connection_check ret=[%#lx]\n", kDispatch, Int(0xffffffff));
  g_released = 5;
  int index = -1;
  ASSERT_TRUE(fake::wait_until([&] { return Srv::thread_check_empty(index) == 0; }));
  EXPECT_EQ(5, index);
  ASSERT_EQ(0, send(13));
  g_all_released = true;
  fake::join_tasks();
  auto names = fake::task_names();
  ASSERT_EQ(13u, names.size());
  EXPECT_EQ("comm_dir_thread_0", names[0]);
  EXPECT_EQ("comm_dir_thread_a", names[10]);
  EXPECT_EQ("comm_dir_thread_5", names[12]);
  std::set<UINT> events;
  for (auto& r : replies()) events.insert(word_at(r.bytes, 72));
  EXPECT_EQ(13u, replies().size());
  EXPECT_EQ(13u, events.size());
  EXPECT_EQ(0u, events.count(112));  // the refused request
  EXPECT_EQ(12, free_slots());
}

TEST_F(MultiServerTest, EachAcceptedRequestIsAnsweredOnceWithItsRouting) {
  // No dispatch function yet: a raw server on dispatch_server answers zeros.
  ASSERT_EQ(0, emwGENIpcStartServer("utcp:RAW", 1, 2, Srv::dispatch_server));
  std::vector<std::vector<char>> forms = {request_form(3, 101), request_form(4, 102, {2, 6}, 132),
                                          request_form(5, 103, {3, 0}, 300)};
  std::vector<char> sndbuf(65536, 'S');
  ASSERT_EQ(0, fake::inject("utcp:RAW", forms[0], &sndbuf));
  fake::join_tasks();
  start(count_dispatch);  // replies with the first payload-word-1 bytes of the send buffer
  ASSERT_EQ(0, fake::inject(kServer, forms[1], &sndbuf));
  fake::join_tasks();
  EXPECT_EQ(0u, g_tail);               // the short copy is padded with zeros
  EXPECT_EQ(0x53535353u, g_sndbuf);    // and the send buffer copied
  start(replying_dispatch, "utcp:SELF");  // now serves kServer too
  ASSERT_EQ(0, fake::inject(kServer, forms[2]));
  fake::join_tasks();

  auto sent = replies();
  ASSERT_EQ(3u, sent.size());
  const char* payloads[] = {"", "SSSSSS", "self"};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    forms[i].resize(124);
    EXPECT_TRUE(expected_reply(forms[i], payloads[i]) == sent[i].bytes) << i;
    EXPECT_TRUE(sent[i].client == "DIR_SC_" && sent[i].kind == 1);
  }
  auto ints = [](const char* fn, std::vector<int> at) {
    std::vector<long long> out;
    for (int i : at) out.push_back(fake::calls_of(fn)[0].args[i].i);
    return out;
  };
  EXPECT_EQ((std::vector<long long>{0, 0, velmarosta::COMM_DIR_IPC_ID_REPLY}),
            ints("emwGENIpcCreateClient", {2, 3, 4}));
  const auto forever = static_cast<long long>(static_cast<ULONG>(-1));  // the ULONG's width
  EXPECT_EQ((std::vector<long long>{1, 0, 0, 49284, 0, 0, 0, forever}),
            ints("emwGENIpcCallClient", {1, 2, 3, 5, 6, 7, 8, 9}));
  EXPECT_EQ((std::vector<long long>{-1, 0x24000, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            ints("emwOSWCreateJoinTask", {2, 3, 5, 8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(3, fake::count_of("emwGENIpcDestroyClient"));
  // A replied request is not answered again, and takes no lock.
  COMM_DIR_IPC_MULTI_REQUEST done = {};
  done.head.replied = 1;
  fake::clear_log();
  EXPECT_EQ(0, Srv::send_reply(&done, 0, nullptr, 0));
  EXPECT_TRUE(fake::calls_of_this_thread().empty());
}

}  // namespace
