// The transport under the library, over the POSIX platform: the request
// client and its reply server, the threaded request server, the callback
// endpoint, and the words that name objects in messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "commdir/comm_dir_facade.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "ipc/comm_dir_word_table.h"
#include "server/comm_dir_callback_registry.h"
#include "server/comm_dir_operation_server.h"
#include "support/fake/faults.h"
#include "support/reply_echo.h"

namespace velmarosta {
namespace {

using Srv = comm_dir_ipc_multi_server;
using Action = std::function<RETCODE()>;
constexpr char kReplyServer[] = "utcp:TREPLY";

std::mutex g_mu;
std::vector<std::vector<char>> g_kept;  // what the test's own servers received
RETCODE keep(char* rcvbuf, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_kept.emplace_back(rcvbuf, rcvbuf + read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET));
  return *size = 0;
}
std::vector<std::vector<char>> kept() { std::lock_guard<std::mutex> lock(g_mu); return g_kept; }

void put(std::vector<char>& bytes, int offset, UINT word) { std::memcpy(&bytes[offset], &word, sizeof word); }
UINT address_word(const void* p) { return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(p)); }
int sent() { return faults::calls("emwGENIpcCallClient"); }
bool mutex_free(UINT id) { return emwOSWRequestMutexSem(id, 0) == 0 && emwOSWReleaseMutexSem(id) == 0; }
Action failing(const char* fn, Action act, int nth = 1) {
  return [=] {
    faults::fail(fn, nth);
    return act();
  };
}

// Payload word 0 (byte 124) of a request tells the server's dispatch what to
// do; word 1 (byte 128) is its tag.
enum : UINT { kEcho, kSelf, kGate, kFail };
constexpr UINT kOpenAll = ~1u;
std::atomic<UINT> g_released{~0u};
std::atomic<int> g_entered{0};
std::atomic<char*> g_copy{nullptr};
RETCODE serve(char* rcvbuf, char* sndbuf, int* size) {
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
std::vector<char> form(UINT action, UINT tag = 0, std::size_t length = COMM_DIR_IPC_REQUEST_SIZE) {
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
int free_slots() {
  std::vector<int> taken;
  for (int i = 0; Srv::thread_check_empty(i) == 0; taken.push_back(i)) Srv::thread_regist("probe", i);
  for (int i : taken) Srv::thread_delete(i);
  return static_cast<int>(taken.size());
}

RETCODE dispatch(std::vector<char> request, bool with_rcvbuf = true, bool with_sndbuf = true) {
  std::vector<char> sndbuf(65536, 'S');
  int size = 9;
  return Srv::dispatch_server(with_rcvbuf ? request.data() : nullptr, with_sndbuf ? sndbuf.data() : nullptr, &size);
}

// The service endpoint answered by an echo peer, with a client of it; a reply
// server of the test's own; and the threaded server on `serve`.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, 1, COMM_DIR_IPC_STACK_SIZE,
                                   commdir_test::echo_dispatch), 0);
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

TEST_F(TransportTest, ACallTakesItsOwnReplyOnceAndNothingElse) {
  std::vector<char> payload(76), received(COMM_DIR_IPC_MAX_PAYLOAD + 1, 'U');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i + 1);
  emwGENIpcRequestAdmin(COMM_DIR_SERVICE_SERVER_NAME, GEN_IPC_ADMIN_STOP);  // a peer that keeps requests instead
  ASSERT_EQ(emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, 1, COMM_DIR_IPC_STACK_SIZE, keep), 0);
  faults::pause_next("emwOSWWaitEventSem");  // every reply below comes before the wait
  std::atomic<RETCODE> rc{99};
  std::thread caller([&] { rc = call(payload.data(), 76, received.data(), COMM_DIR_IPC_MAX_PAYLOAD); });
  ASSERT_TRUE(faults::wait_until([] { return faults::paused() && kept().size() == 1; }));
  const std::vector<char> request = kept()[0];
  char process[16];
  emwOSWGetProcessName(process);
  const std::string reply_server = "utcp:DIR_CS_" + std::string(process).substr(0, 7);
  ASSERT_EQ(request.size(), static_cast<std::size_t>(COMM_DIR_IPC_REQUEST_SIZE));
  COMM_DIR_IPC_ENVELOPE_HEAD head;
  std::memcpy(&head, request.data(), sizeof head);
  EXPECT_TRUE(head.replied == 0 && head.type == 12 && head.reply_buffer_size == COMM_DIR_IPC_REPLY_SIZE);
  EXPECT_EQ(std::string(head.reply_server_name, 32), reply_server + std::string(32 - reply_server.size(), '\0'));
  EXPECT_EQ(std::vector<char>(request.begin() + 124, request.begin() + 200), payload);
  EXPECT_EQ(std::count(request.begin() + 200, request.end(), 0), request.end() - request.begin() - 200);

  // The posix tests drop the forged replies; here a reply whose post fails
  // leaves the call waiting for it, and a repeated one is refused.
  std::vector<char> good = commdir_test::reply_to(request.data());
  good.back() = 'Z';
  int size = 7;
  faults::fail("emwOSWPostEventSem");
  EXPECT_EQ(comm_dir_ipc_multi_client::dispatch_client(good.data(), nullptr, &size), faults::kCode);
  EXPECT_TRUE(faults::traced("emwOSWPostEventSem ret=[0x5a]"));
  EXPECT_EQ(comm_dir_ipc_multi_client::dispatch_client(good.data(), nullptr, &size), 0);
  EXPECT_EQ(comm_dir_ipc_multi_client::dispatch_client(good.data(), nullptr, &size), -1);
  EXPECT_TRUE(faults::traced("already answered"));
  EXPECT_EQ(comm_dir_ipc_multi_client::dispatch_client(nullptr, nullptr, &size), -1);
  EXPECT_EQ(size, 0);
  faults::resume();
  ASSERT_TRUE(faults::wait_until([&] { return rc != 99; }));  // else the thread's end is the test's
  caller.join();
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(std::equal(good.begin() + 128, good.end(), received.begin()));
  EXPECT_EQ(received.back(), 'U');
}

TEST_F(TransportTest, EveryRefusalAndFailedSetUpIsTracedAndFreesWhatItTook) {
  Srv* srv = Srv::get_instance();
  std::vector<char> big(COMM_DIR_IPC_MAX_PAYLOAD + 1), request = form(kEcho), unterminated = form(kEcho);
  std::memset(&unterminated[84], 'x', 32);
  auto* head = reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(request.data());
  const std::string n32 = "utcp:" + std::string(27, 'n'), n33 = n32 + "n";
  char data[] = "payload";
  UINT type = 0;
  auto start = [srv](const char* name, PGEN_IPC_DISPATCH to) {
    return [=] { return srv->start_server(name, 1, COMM_DIR_IPC_STACK_SIZE, to); };
  };
  auto reply = [&](int size) { return [&, size] { return Srv::send_reply(head, 0, data, size); }; };
  const Action echo = [] { return dispatch(form(kEcho)); };
  auto create = [this](const char* name, const char* server) {
    return [=] { COMM_DIR_MULTI_IPC_CLNT other{}; return client_->create_client(name, server, 0, 0, 0, other); };
  };
  // sent: messages sent for the row (requests and replies)
  struct Row { Action act; RETCODE rc; const char* trace; int sent; } rows[] = {
      {[&] { return call(big.data(), -1, nullptr, 0); }, -1, "sndsize=[-1]", 0},
      {[&] { return call(big.data(), COMM_DIR_IPC_MAX_PAYLOAD + 1, nullptr, 0); }, -1, "sndsize=[49157]", 0},
      {[&] { return call(nullptr, 0, big.data(), COMM_DIR_IPC_MAX_PAYLOAD + 1); }, -1, "rcvsize=[49157]", 0},
      {[&] { return call(nullptr, -1, nullptr, 1 << 30); }, 0, "", 2},  // sizes without buffers are never used
      {[&] { return call(big.data(), COMM_DIR_IPC_MAX_PAYLOAD, big.data(), COMM_DIR_IPC_MAX_PAYLOAD); }, 0, "", 2},
      {create(n33.c_str(), COMM_DIR_SERVICE_SERVER_NAME), -1, "client_name=[utcp:n", 0},
      {create("C", nullptr), -1, "server_name=[", 0},
      {create(n32.c_str(), n32.c_str()), -1, "emwGENIpcCreateClient ret=", 0},  // 32 characters pass; no such server
      {[] { return dispatch(form(kEcho), false); }, -1, "rcvbuf=", 0},
      {[] { return dispatch(form(kEcho), true, false); }, -1, "sndbuf=", 0},
      {[] { return dispatch(form(kEcho, 0, 123)); }, -1, "rcvbuf length=123\n", 0},
      {[] { return dispatch(form(kEcho, 0, 49281)); }, -1, "rcvbuf length=49281\n", 0},
      {[&] { return dispatch(unterminated); }, -1, "reply_server_name", 0},
      {failing("emwOSWRequestMutexSem", echo), -1, "emwOSWRequestMutexSem ret=[0x5a]", 0},
      {failing("emwOSWReleaseMutexSem", echo), -1, "emwOSWReleaseMutexSem ret=[0x5a]", 0},
      {failing("emwOSWCreateJoinTask", echo), -1, "emwOSWCreateJoinTask ret=0x5a", 0},
      {failing("emwGENIpcCallClient", echo), 0, "send_reply ret=0xffffffff\n", 1},
      // Mutex request and release 1 are dispatch_server's, 2 the reply's, 3 the task's end.
      {failing("emwOSWReleaseMutexSem", echo, 2), 0, "send_reply ret=0xffffffff\n", 1},
      {failing("emwOSWRequestMutexSem", echo, 3), 0, "emwOSWRequestMutexSem ret=[", 1},
      {failing("emwOSWReleaseMutexSem", echo, 3), 0, "emwOSWReleaseMutexSem ret=[", 1},
      {[] { return dispatch(form(kFail)); }, 0, "dispatch ret=0x77\n", 1},
      {[] { Srv::dispatch_thread(0, 0, 0); return -1; }, -1, "<Error>:<static void velmarosta::comm_dir_ipc_multi", 0},
      {start(nullptr, serve), -1, "server_name=[(null)]", 0},
      {start("utcp:X", nullptr), -1, "dispatch=", 0},
      {failing("emwGENIpcStartServer", start("utcp:X", serve)), -1, "emwGENIpcStartServer ret=[0x5a]", 0},
      {failing("emwOSWRequestMutexSem", start("utcp:Y", serve)), -1, "emwOSWRequestMutexSem ret=[0x5a]", 0},
      {failing("emwOSWReleaseMutexSem", start("utcp:Z", serve)), -1, "emwOSWReleaseMutexSem ret=[0x5a]", 0},
      {failing("emwGENIpcRequestAdmin", [srv] { return srv->stop_server("utcp:X"); }), -1, "StopServer ret=[0x5a]", 0},
      {[srv] { return srv->stop_server(nullptr); }, -1, "server_name=[(null)]", 0},
      {[&] { return srv->get_type(nullptr, type); }, -1, "data is NULL", 0},
      {[&] { return Srv::send_reply(nullptr, 0, data, 1); }, -1, "data is NULL", 0},
      {failing("emwGENIpcDestroyClient", [this] { return client_->destroy_client(clnt_); }), -1,
       "emwGENIpcDestroyClient ret=[0x5a]", 0},
      {reply(COMM_DIR_IPC_MAX_PAYLOAD + 1), -1, "size=49157", 0},
      {reply(-1), -1, "size=-1", 0},
      {failing("emwGENIpcCreateClient", reply(1)), -1, "emwGENIpcCreateClient ret=[0x5a]", 0},
      {failing("emwOSWRequestMutexSem", reply(1)), -1, "emwOSWRequestMutexSem ret=[0x5a]", 0},
      {[&] { std::memset(head->head.reply_server_name, 'x', 32); return reply(1)(); }, -1, "reply_server_name", 0},
      {[&] { head->head.replied = 1; return reply(1)(); }, 0, "", 0},  // answered already: nothing more
      {[] { return Srv::thread_regist(nullptr, 0); }, -1, "thread_name=(null)", 0},
      {[] { return Srv::thread_regist("t", COMM_DIR_MAX_THREADS); }, -1, "index=0xc", 0},
      {[] { return Srv::thread_delete(-1); }, -1, "index=0xffffffff", 0},
      {failing("emwOSWCreateMutexSem", [srv] { return srv->initialize(); }), -1, "emwOSWCreateMutexSem ret=0x5a", 0},
      {failing("emwOSWDeleteMutexSem", [srv] { return srv->finalize(); }), -1, "emwOSWDeleteMutexSem ret=0x5a", 0},
  };
  for (const Row& row : rows) {
    faults::clear();
    const int before = sent();
    EXPECT_EQ(row.act(), row.rc) << row.trace;
    EXPECT_TRUE(faults::wait_until([&] { return faults::traced(row.trace) && free_slots() == 12; })) << row.trace;
    EXPECT_EQ(sent() - before, row.sent) << row.trace;
  }
}

TEST(MultiClientTest, WithoutItsReplyServerEveryCallIsRefused) {
  COMM_DIR_MULTI_IPC_CLNT clnt{};
  const std::pair<std::string, int> steps[] = {
      {"emwOSWCreateMutexSem", 1}, {"emwOSWCreateMutexSem", 2}, {"emwGENIpcStartServer", 1}, {"emwGENIpcRequestAdmin", 1}};
  for (const auto& [fn, nth] : steps) {
    const bool at_stop = fn == "emwGENIpcRequestAdmin";
    faults::clear();
    if (!at_stop) faults::fail(fn, nth);
    comm_dir_ipc_multi_client client;
    EXPECT_TRUE(!at_stop || failing(fn.c_str(), [&] { return client.finalize(); })() == -1);
    EXPECT_TRUE(faults::traced((at_stop ? "emwGENIpcStopServer" : fn) + " ret=[0x5a]")) << fn;
    EXPECT_EQ(client.call_client(clnt, 12, 0, 0, nullptr, 0, nullptr, 0, nullptr, ~0UL), -1);
    EXPECT_TRUE(faults::traced("reply server not running")) << fn;
  }
}

// Each singleton is built once, however many threads ask for it first.
TEST(SingletonConcurrencyTest, RacingFirstCallsBuildOneOfEach) {
  std::atomic<bool> go{false};
  std::vector<std::vector<void*>> seen(8);
  std::vector<std::thread> threads;
  for (auto& mine : seen) {
    threads.emplace_back([&go, &mine] {
      while (!go) std::this_thread::yield();
      mine = {comm_dir_facade::comm_dir_get_instance(), comm_dir_ipc_multi_client::get_instance(), Srv::get_instance()};
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  for (auto& mine : seen) EXPECT_EQ(mine, seen[0]);
  EXPECT_EQ(std::count(seen[0].begin(), seen[0].end(), nullptr), 0);
  EXPECT_EQ(faults::calls("emwGENIpcStartServer"), 2);  // the reply server and the callback endpoint
}

TEST_F(TransportTest, TwelveBusyTasksRefuseTheThirteenthAndAFreedSlotIsReusedLowestFirst) {
  for (UINT tag = 0; tag < 12; ++tag) ASSERT_EQ(dispatch(form(kGate, tag)), 0);
  ASSERT_TRUE(faults::wait_until([] { return g_entered == 12; }));
  EXPECT_EQ(dispatch(form(kGate, 12)), -1);
  EXPECT_TRUE(faults::traced("connection_check ret=[0xffffffff]"));
  ASSERT_TRUE(mutex_free(faults::last_id("emwOSWRequestMutexSem")));  // given back after the refusal
  g_released = 5;
  ASSERT_TRUE(faults::wait_until([] {
    int index = -1;
    return Srv::thread_check_empty(index) == 0 && index == 5;
  }));
  ASSERT_EQ(dispatch(form(kGate, 13)), 0);
  g_released = kOpenAll;
  ASSERT_TRUE(faults::wait_until([] { return free_slots() == COMM_DIR_MAX_THREADS && sent() == 13; }));
  const std::vector<faults::task> tasks = faults::tasks();
  ASSERT_EQ(tasks.size(), 13u);
  EXPECT_EQ(tasks[10].name, "comm_dir_thread_a");
  EXPECT_EQ(tasks[12].name, "comm_dir_thread_5");
}

TEST_F(TransportTest, AReplyEchoesTheRoutingOfItsRequestOnce) {
  for (UINT action : {kSelf, kEcho}) ASSERT_EQ(dispatch(form(action, action, 300)), 0);
  ASSERT_TRUE(faults::wait_until([] { return kept().size() == 2; }));
  EXPECT_EQ(sent(), 2);
  EXPECT_FALSE(faults::traced("dispatch ret"));
  for (const std::vector<char>& reply : kept()) {  // the send buffer's first bytes, then zeros
    std::vector<char> expected = commdir_test::reply_to(form(0, read_word(reply.data(), 72)).data());
    std::fill(expected.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, expected.end(), 0);
    std::memset(&expected[COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET], 'S', 4);
    EXPECT_EQ(reply, expected);
  }
  // The task found its copy by a word, not by the copy's address.
  const INT word = faults::tasks().back().words[0];
  EXPECT_TRUE(word != 0 && static_cast<UINT>(word) != address_word(g_copy.load()));
}

// --- the callback endpoint ---

constexpr UINT kThrow = 0xE1, kUnregister = 0xE2;
struct Recorder : comm_dir_callback {
  void on_callback(UINT argument) override {
    arguments.push_back(argument);
    if (argument == kThrow) throw std::runtime_error("boom");
    EXPECT_TRUE(argument != kUnregister || comm_dir_unregister_callback(comm_dir_register_callback(this)) == 0);
  }
  std::vector<UINT> arguments;
};

// A connection test's callback request: the argument at byte 196, the
// object's word at byte 200.
std::vector<char> callback_form(UINT type, UINT argument, UINT word) {
  std::vector<char> request = form(kEcho);
  put(request, 80, type);
  put(request, 196, argument);
  put(request, 200, word);
  return request;
}

// A running server's socket is a file in the IPC folder.
bool running(const char* endpoint) {
  return std::filesystem::exists(std::string(std::getenv("COMM_DIR_IPC_DIR")) + "/" + (endpoint + 5));
}

// A name that fits is the facade test's.
TEST_F(TransportTest, TheCallbackEndpointIsNamedAfterItsServerAndStoppedWhateverFails) {
  struct Row { std::string name; const char* endpoint; std::string fail, trace; } rows[] = {
      {"DIR_SVR_abcdefghijkl", "utcp:DIR_SVR_abcdefgh", "", "server_name[utcp:DIR_SVR_abcdefgh]"},
      {"DIR_SVR_abcde", "utcp:DIR_SVR_abcde", "emwGENIpcStartServer", "server(char*)>("},  // the constructor's error
      {"DIR_SVR_abcde", "utcp:DIR_SVR_abcde", "emwGENIpcRequestAdmin", "server()>("},      // the destructor's
  };
  for (Row& row : rows) {
    faults::clear();
    if (row.fail == "emwGENIpcStartServer") faults::fail(row.fail);
    auto* server = new comm_dir_operation_server(&row.name[0]);
    EXPECT_EQ(running(row.endpoint), row.fail != "emwGENIpcStartServer") << row.endpoint;
    if (row.fail == "emwGENIpcRequestAdmin") faults::fail(row.fail);
    delete server;
    EXPECT_EQ(running(row.endpoint), row.fail == "emwGENIpcRequestAdmin") << row.endpoint;
    EXPECT_TRUE(faults::traced(row.trace)) << row.trace;
    emwGENIpcRequestAdmin(row.endpoint, GEN_IPC_ADMIN_STOP);
  }
}

TEST_F(TransportTest, ACallbackRequestCallsOnlyARegisteredObjectAndIsAnsweredWithZeros) {
  Recorder object;
  auto* gone = new Recorder;
  const UINT word = comm_dir_register_callback(&object), stale = comm_dir_register_callback(gone);
  delete gone;  // its destructor unregisters it
  EXPECT_TRUE(comm_dir_register_callback(&object) == word && word != address_word(&object));
  EXPECT_EQ(comm_dir_register_callback(nullptr), 0u);
  // on_callback is the third entry of the virtual table, after the two
  // destructors: applications built against the header call it there.
  const auto vtable = *reinterpret_cast<void* const* const*>(&object);
  reinterpret_cast<void (*)(comm_dir_callback*, UINT)>(vtable[2])(&object, 5);
  EXPECT_EQ(object.arguments, std::vector<UINT>{5});
  std::vector<char> replied = callback_form(0, 1, word);
  put(replied, 76, 1);
  const std::string kFailed = "comm_dir_ope_req_ipc_dispatch(char*, char*, int*)>(";
  // calls: the arguments the object got; sent: the replies sent
  struct Row {
    std::vector<char> request;
    const char* fail;
    RETCODE rc;
    std::vector<UINT> calls;
    int sent;
    std::string trace;
  } rows[] = {
      {callback_form(0, 0x1234, word), nullptr, 0, {0x1234}, 1, ""},
      {callback_form(0, 1, 0), nullptr, 0, {}, 1, ""},
      {callback_form(0, 1, 0xDEADBEEF), nullptr, 0, {}, 1, "word=0xdeadbeef names no callback object"},
      {callback_form(0, 1, stale), nullptr, 0, {}, 1, "names no callback object"},
      {callback_form(5, 1, word), nullptr, 0, {}, 1, "function id is noting"},
      {replied, nullptr, 0, {1}, 0, ""},
      {callback_form(0, 1, word), "emwGENIpcCallClient", -1, {1}, 1, kFailed},
      {{}, nullptr, -1, {}, 0, kFailed},
      {callback_form(0, kThrow, word), nullptr, 0, {kThrow}, 1, "threw"},
      {callback_form(0, kUnregister, word), nullptr, 0, {kUnregister}, 1, ""},  // from its own callback
      {callback_form(0, 1, word), nullptr, 0, {}, 1, "names no callback object"},
  };
  for (Row& row : rows) {
    object.arguments.clear();
    faults::clear();
    if (row.fail != nullptr) faults::fail(row.fail);
    const int before = sent();
    int size = 9;
    char* rcvbuf = row.request.empty() ? nullptr : row.request.data();
    EXPECT_EQ(comm_dir_ope_req_ipc_dispatch(rcvbuf, nullptr, &size), row.rc);
    EXPECT_EQ(object.arguments, row.calls) << row.trace;
    EXPECT_EQ(sent() - before, row.sent) << row.trace;
    EXPECT_EQ(faults::traced("comm_dir_ope_req_ipc_dispatch"), !row.trace.empty() && row.trace != "threw") << row.trace;
    EXPECT_TRUE(faults::traced(row.trace)) << row.trace;
  }
  ASSERT_TRUE(faults::wait_until([] { return kept().size() == 8; }));
  for (const std::vector<char>& reply : kept()) {
    EXPECT_EQ(read_word(reply.data(), 76), 1u);
    EXPECT_EQ(std::count(reply.begin() + 124, reply.end(), 0), COMM_DIR_IPC_MAX_PAYLOAD + 4);
  }
}

TEST(CallbackConcurrencyTest, UnregisterWaitsForTheCallbackUnderWayAndNoneStartsAfter) {
  struct Blocking : comm_dir_callback {
    void on_callback(UINT) override {
      if (++calls > 1) return;
      entered.set_value();
      release.get_future().wait();
      finished = true;
    }
    std::promise<void> entered, release;
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
  } object;
  const UINT word = comm_dir_register_callback(&object);
  std::thread callback([&] { comm_dir_invoke_callback(word, 1); });
  object.entered.get_future().wait();
  std::thread unregister([&] {
    EXPECT_EQ(comm_dir_unregister_callback(word), 0);
    EXPECT_TRUE(object.finished);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach its wait
  object.release.set_value();
  unregister.join();
  callback.join();
  EXPECT_FALSE(comm_dir_invoke_callback(word, 1));
  EXPECT_EQ(object.calls, 1);
}

// --- words ---

TEST(HostWordsTest, AWordIsRandomNeverZeroAndNeverShared) {
  comm_dir_word_table<int> scripted([](UINT* words, std::size_t count) {
    static const UINT kScript[] = {0, 5, 5, 0, 7, 5, 9};
    for (std::size_t i = 0; i < count; ++i) words[i] = kScript[i % 7];
  });
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(scripted.add(&a), 5u);
  EXPECT_EQ(scripted.add(&b), 7u);
  EXPECT_EQ(scripted.remove(5), &a);
  EXPECT_EQ(scripted.add(&c), 5u);

  comm_dir_word_table<int> table;
  std::vector<int> objects(256);  // four draws from the kernel
  std::set<UINT> live;
  int steps_of_one = 0;
  UINT previous = 0;
  for (int& object : objects) {
    const UINT word = table.add(&object);
    EXPECT_NE(word, address_word(&object));
    steps_of_one += word == previous + 1 ? 1 : 0;
    live.insert(previous = word);
  }
  EXPECT_TRUE(live.size() == 256u && live.count(0) == 0 && *live.rbegin() > 0x10000u);
  EXPECT_LT(steps_of_one, 2) << "words that count up";
}

}  // namespace
}  // namespace velmarosta
