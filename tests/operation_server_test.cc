// The callback endpoint, its dispatch function and the callback registry over
// the fake platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "commdir/comm_dir_facade.h"
#include "server/comm_dir_operation_server.h"
#include "server_test_requests.h"

namespace {

using namespace server_test;
using namespace velmarosta;

const std::string kCtorSig = "velmarosta::comm_dir_operation_server::comm_dir_operation_server(char*)";
const std::string kDtorSig = "velmarosta::comm_dir_operation_server::~comm_dir_operation_server()";
const std::string kDispatchSig = "RETCODE velmarosta::comm_dir_ope_req_ipc_dispatch(char*, char*, int*)";
const std::string kError = "[ERROR]<%s>(%d) \n";
const std::string kNoObject = "[ERROR]<%s>(%d) : word=%#x names no callback object\n";
constexpr char kEndpoint[] = "utcp:DIR_SVR_abcde";

// Records each call and how many replies had gone out by then.
struct Recorder : comm_dir_callback {
  void on_callback(UINT argument) override {
    arguments.push_back(argument);
    replies_before.push_back(replies().size());
    if (unregister_self) { EXPECT_EQ(0, comm_dir_unregister_callback(comm_dir_register_callback(this))); }
    if (throw_once) {
      throw_once = false;
      throw std::runtime_error("boom");
    }
  }
  std::vector<UINT> arguments;
  std::vector<std::size_t> replies_before;
  bool unregister_self = false, throw_once = false;
};

class OperationServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    start_reply_server();
    fake::clear_log();
  }
  void TearDown() override { fake::join_tasks(); }
};

// A callback request: function id, argument word (payload 72), object word
// (payload 76).
std::vector<char> callback_form(UINT type, UINT argument, UINT word) {
  std::vector<UINT> payload(18, 0);
  payload.insert(payload.end(), {argument, word});
  return request_form(type, 42, payload);
}

int traces_of(const std::string& sig, int flag) {
  auto traces = fake::traces();
  return static_cast<int>(std::count_if(traces.begin(), traces.end(), [&](const fake::Trace& t) {
    return t.args.at(0) == sig && t.flag == flag;
  }));
}

TEST_F(OperationServerTest, EndpointIsStartedAndStoppedUnderItsNameWhateverFails) {
  struct Row { std::string name, endpoint; const char* fail_fn; int ctor_errors, dtor_errors; } rows[] = {
      {"DIR_SVR_abcde", kEndpoint, nullptr, 0, 0},
      {"DIR_SVR_abcdefghijkl", "utcp:DIR_SVR_abcdefgh", nullptr, 0, 0},  // 16 characters kept
      {"DIR_SVR_abcde", kEndpoint, "emwGENIpcStartServer", 1, 1},  // nothing to stop either
      {"DIR_SVR_abcde", kEndpoint, "emwGENIpcRequestAdmin", 0, 1},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.endpoint);
    fake::clear_log();
    if (row.fail_fn != nullptr) fake::fail_nth(row.fail_fn, 1, 0x66);
    auto* server = new comm_dir_operation_server(&row.name[0]);
    auto start = fake::calls_of("emwGENIpcStartServer").at(0).args;
    EXPECT_TRUE(start[0] == row.endpoint && start[1] == COMM_DIR_IPC_ID_CALLBACK && start[2] == 0x24000);
    EXPECT_EQ(1, traces_of(kCtorSig, 0));
    EXPECT_EQ(row.ctor_errors, traces_of(kCtorSig, 1));
    delete server;
    EXPECT_TRUE(fake::calls_of("emwGENIpcRequestAdmin").at(0).args[0] == row.endpoint);
    EXPECT_EQ(1, traces_of(kDtorSig, 0));
    EXPECT_EQ(row.dtor_errors, traces_of(kDtorSig, 1));
    for (auto& t : fake::traces()) {
      bool info = t.format == "[Info ]<%s>server_name[%s](%d) \n";
      EXPECT_TRUE(!info || (t.args.at(1) == row.endpoint && t.args.at(2).i > 0));
      EXPECT_TRUE(info || t.format == kError || t.args.at(0).s.find("multi_server") != std::string::npos);
    }
  }
}

TEST_F(OperationServerTest, DispatchCallsOnlyRegisteredObjectsAndAlwaysRepliesZeros) {
  Recorder object;
  auto* gone = new Recorder;
  const UINT word = comm_dir_register_callback(&object), stale = comm_dir_register_callback(gone);
  delete gone;  // its destructor unregisters it
  std::vector<char> replied = callback_form(0, 0x1234, word);
  replied[76] = 1;
  // form empty: null rcvbuf
  struct Row {
    const char* what; std::vector<char> form; const char* fail_fn; RETCODE result; int size_after;
    std::size_t calls, replies; std::string trace; fake::Value extra;
  } rows[] = {
      {"registered", callback_form(0, 0x1234, word), nullptr, 0, 0, 1, 1, "", None()},
      {"no object", callback_form(0, 0x1234, 0), nullptr, 0, 0, 0, 1, "", None()},
      {"forged", callback_form(0, 0x1234, 0xDEADBEEF), nullptr, 0, 0, 0, 1, kNoObject, Int(0xDEADBEEF)},
      {"stale", callback_form(0, 0x1234, stale), nullptr, 0, 0, 0, 1, kNoObject, Int(stale)},
      {"id 5", callback_form(5, 0x1234, word), nullptr, 0, 0, 0, 1, "[ERROR]<%s>(%d):: function id is noting.\n", None()},
      {"replied", replied, nullptr, 0, 0, 1, 0, "", None()},
      {"send fails", callback_form(0, 0x1234, word), "emwGENIpcCallClient", -1, 0, 1, 0, kError, None()},
      {"null rcvbuf", {}, nullptr, -1, 9, 0, 0, kError, None()},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake::clear_log();
    object.arguments.clear();
    if (row.fail_fn != nullptr) fake::fail_nth(row.fail_fn, 1, 0x66);
    std::vector<char> sndbuf(65536, 'S');
    int size = 9;
    char* rcvbuf = row.form.empty() ? nullptr : row.form.data();
    EXPECT_EQ(row.result, comm_dir_ope_req_ipc_dispatch(rcvbuf, sndbuf.data(), &size));
    EXPECT_EQ(row.size_after, size);
    EXPECT_EQ(std::vector<UINT>(row.calls, 0x1234), object.arguments);
    ASSERT_EQ(row.replies, replies().size());
    EXPECT_TRUE(row.replies == 0 || expected_reply(row.form, "") == replies()[0].bytes);
    EXPECT_EQ(row.trace.empty() ? 0 : 1, traces_of(kDispatchSig, 0));
    if (!row.trace.empty()) expect_one_trace(row.trace, kDispatchSig, row.extra);
  }
}

TEST_F(OperationServerTest, CallbackThroughTheEndpointRunsBeforeItsOneReply) {
  char name[] = "DIR_SVR_abcde";
  comm_dir_operation_server server(name);
  Recorder object;
  const UINT word = comm_dir_register_callback(&object);
  EXPECT_EQ(word, comm_dir_register_callback(&object));  // one word per object
  EXPECT_EQ(0u, comm_dir_register_callback(nullptr));
  fake::fail_nth("emwGENIpcCallClient", 1, 0x66);  // the task makes its own attempt
  ASSERT_EQ(0, fake::inject(kEndpoint, callback_form(0, 77, word)));
  fake::join_tasks();
  EXPECT_EQ(std::vector<std::size_t>{0}, object.replies_before);
  ASSERT_EQ(1u, replies().size());
  // An object that unregisters itself from its callback does not deadlock,
  // and a throwing callback is contained; neither is called again.
  object.unregister_self = object.throw_once = true;
  for (UINT argument : {78, 79}) {
    ASSERT_EQ(0, fake::inject(kEndpoint, callback_form(0, argument, word)));
    fake::join_tasks();
  }
  EXPECT_EQ((std::vector<UINT>{77, 78}), object.arguments);
  EXPECT_EQ(3u, replies().size());
  EXPECT_EQ(COMM_DIR_ERR, comm_dir_unregister_callback(word));
}

TEST_F(OperationServerTest, OnCallbackIsTheThirdVirtualTableEntry) {
  Recorder object;
  auto vtable = *reinterpret_cast<void* const* const*>(&object);
  reinterpret_cast<void (*)(comm_dir_callback*, UINT)>(vtable[2])(&object, 5);
  EXPECT_EQ(std::vector<UINT>{5}, object.arguments);
}

class CallbackConcurrency : public OperationServerTest {};

TEST_F(CallbackConcurrency, UnregisterWaitsForTheCallbackUnderWayAndNoneStartsAfter) {
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
  std::vector<char> form = callback_form(0, 1, word);
  std::thread callback([&] { comm_dir_ope_req_ipc_dispatch(form.data(), nullptr, nullptr); });
  object.entered.get_future().wait();
  std::thread unregister([&] {
    EXPECT_EQ(0, comm_dir_unregister_callback(word));
    EXPECT_TRUE(object.finished);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach its wait
  object.release.set_value();
  unregister.join();
  callback.join();
  comm_dir_ope_req_ipc_dispatch(form.data(), nullptr, nullptr);
  EXPECT_EQ(1, object.calls);
}

}  // namespace
