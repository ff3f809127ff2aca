// The callback endpoint, its dispatch function and the callback registry over
// the fake platform.
#include <gtest/gtest.h>

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
constexpr char kName[] = "DIR_SVR_abcde";
constexpr char kEndpoint[] = "utcp:DIR_SVR_abcde";

// Records each call and how many replies had gone out by then.
class Recorder : public comm_dir_callback {
 public:
  void on_callback(UINT argument) override {
    arguments.push_back(argument);
    replies_before.push_back(replies().size());
    if (unregister_self) {
      EXPECT_EQ(0, comm_dir_unregister_callback(comm_dir_register_callback(this)));
    }
    if (throw_once) { throw_once = false; throw std::runtime_error("boom"); }
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

// A callback request form: function id, argument word (payload 72), object
// word (payload 76).
std::vector<char> callback_form(UINT type, UINT argument, UINT word, UINT replied = 0) {
  std::vector<UINT> payload(20, 0);
  payload[18] = argument;
  payload[19] = word;
  std::vector<char> form = request_form(type, 42, payload);
  std::memcpy(form.data() + 76, &replied, 4);
  return form;
}

void expect_all_zero_callback_reply(const fake::Message& reply) {
  ASSERT_EQ(49284u, reply.bytes.size());
  EXPECT_EQ(42u, word_at(reply.bytes, 72));
  EXPECT_EQ(std::string::npos, std::string(reply.bytes.begin() + 124, reply.bytes.end()).find_first_not_of('\0'));
}

TEST_F(OperationServerTest, EndpointIsStartedAndStoppedUnderItsNameWhateverFails) {
  struct Row {
    const char* name;
    const char* endpoint;
    const char* fail_fn;
    int ctor_errors, dtor_errors;
  } rows[] = {
      {kName, kEndpoint, nullptr, 0, 0},
      {"DIR_SVR_abcdefghijkl", "utcp:DIR_SVR_abcdefgh", nullptr, 0, 0},  // 16 characters kept
      {kName, kEndpoint, "emwGENIpcStartServer", 1, 1},  // nothing to stop either
      {kName, kEndpoint, "emwGENIpcRequestAdmin", 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.endpoint);
    fake::clear_log();
    if (row.fail_fn != nullptr) fake::fail_nth(row.fail_fn, 1, 0x66);
    std::vector<char> name(row.name, row.name + std::strlen(row.name) + 1);
    auto* server = new comm_dir_operation_server(name.data());
    auto start = fake::calls_of("emwGENIpcStartServer").at(0).args;
    EXPECT_TRUE(start[0] == row.endpoint && start[1] == COMM_DIR_IPC_ID_CALLBACK &&
                start[2] == static_cast<long long>(COMM_DIR_IPC_STACK_SIZE));
    delete server;
    EXPECT_TRUE(fake::calls_of("emwGENIpcRequestAdmin").at(0).args[0] == row.endpoint);
    const bool stop_refused = row.ctor_errors == 0 && row.dtor_errors == 1;
    EXPECT_EQ(stop_refused, fake::server_running(row.endpoint));
    int ctor_errors = 0, dtor_errors = 0;
    for (auto& t : fake::traces()) {
      bool ctor = t.args.at(0) == kCtorSig;
      if (!ctor && !(t.args.at(0) == kDtorSig)) continue;  // the request server's own lines
      if (t.format == "[Info ]<%s>server_name[%s](%d) \n") {
        EXPECT_TRUE(t.args.at(1) == row.endpoint && t.args.at(2).i > 0 && t.flag == 0);
      } else {
        EXPECT_TRUE(t.format == kError && t.flag == 1) << t.text;
        ++(ctor ? ctor_errors : dtor_errors);
      }
    }
    EXPECT_EQ(row.ctor_errors, ctor_errors);
    EXPECT_EQ(row.dtor_errors, dtor_errors);
  }
}

TEST_F(OperationServerTest, DispatchCallsOnlyRegisteredObjectsAndAlwaysRepliesZeros) {
  Recorder object, gone;
  const UINT word = comm_dir_register_callback(&object);
  const UINT stale = comm_dir_register_callback(&gone);
  ASSERT_EQ(0, comm_dir_unregister_callback(stale));
  fake::clear_log();
  struct Row {
    const char* what;
    std::vector<char> form;  // empty: null rcvbuf
    const char* fail_fn;
    RETCODE result;
    int size_after;
    std::size_t calls, replies;
    std::string trace;
    fake::Value extra;
  } rows[] = {
      {"registered", callback_form(0, 0x1234, word), nullptr, 0, 0, 1, 1, "", None()},
      {"no object", callback_form(0, 0x1234, 0), nullptr, 0, 0, 0, 1, "", None()},
      {"forged", callback_form(0, 0x1234, 0xDEADBEEF), nullptr, 0, 0, 0, 1, kNoObject, Int(0xDEADBEEF)},
      {"stale", callback_form(0, 0x1234, stale), nullptr, 0, 0, 0, 1, kNoObject, Int(stale)},
      {"id 5", callback_form(5, 0x1234, word), nullptr, 0, 0, 0, 1,
       "[ERROR]<%s>(%d):: function id is noting.\n", None()},
      {"replied", callback_form(0, 0x1234, word, 1), nullptr, 0, 0, 1, 0, "", None()},
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
    EXPECT_EQ(row.result, comm_dir_ope_req_ipc_dispatch(row.form.empty() ? nullptr : row.form.data(),
                                                        sndbuf.data(), &size));
    EXPECT_EQ(row.size_after, size);
    EXPECT_EQ(row.calls, object.arguments.size());
    if (row.calls == 1) {
      EXPECT_EQ(0x1234u, object.arguments[0]);
    }
    ASSERT_EQ(row.replies, replies().size());
    if (row.replies == 1) expect_all_zero_callback_reply(replies()[0]);
    auto traces = fake::traces();
    EXPECT_EQ(row.trace.empty() ? 0 : 1, std::count_if(traces.begin(), traces.end(), [](const fake::Trace& t) {
                return t.args.at(0) == kDispatchSig;
              }));
    if (!row.trace.empty()) expect_one_trace(row.trace, kDispatchSig, row.extra);
  }
  EXPECT_TRUE(gone.arguments.empty());
}

TEST_F(OperationServerTest, CallbackThroughTheEndpointRunsBeforeItsOneReply) {
  std::vector<char> name(kName, kName + sizeof kName);
  comm_dir_operation_server server(name.data());
  Recorder object;
  const UINT word = comm_dir_register_callback(&object);
  EXPECT_EQ(word, comm_dir_register_callback(&object));  // one word per object
  fake::fail_nth("emwGENIpcCallClient", 1, 0x66);  // the task makes its own attempt
  ASSERT_EQ(0, fake::inject(kEndpoint, callback_form(0, 77, word)));
  fake::join_tasks();
  ASSERT_EQ(std::vector<UINT>{77}, object.arguments);
  EXPECT_EQ(std::vector<std::size_t>{0}, object.replies_before);
  ASSERT_EQ(1u, replies().size());
  expect_all_zero_callback_reply(replies()[0]);
  // An object that unregisters itself from its callback does not deadlock,
  // and a throwing callback is contained; neither is called again.
  object.unregister_self = object.throw_once = true;
  ASSERT_EQ(0, fake::inject(kEndpoint, callback_form(0, 78, word)));
  fake::join_tasks();
  ASSERT_EQ(0, fake::inject(kEndpoint, callback_form(0, 79, word)));
  fake::join_tasks();
  EXPECT_EQ((std::vector<UINT>{77, 78}), object.arguments);
  EXPECT_EQ(3u, replies().size());
  EXPECT_EQ(COMM_DIR_ERR, comm_dir_unregister_callback(word));
  EXPECT_EQ(0u, comm_dir_register_callback(nullptr));
}

TEST_F(OperationServerTest, OnCallbackIsTheThirdVirtualTableEntry) {
  Recorder object;
  auto vtable = *reinterpret_cast<void* const* const*>(&object);
  reinterpret_cast<void (*)(comm_dir_callback*, UINT)>(vtable[2])(&object, 5);
  EXPECT_EQ(std::vector<UINT>{5}, object.arguments);
}

TEST_F(OperationServerTest, DestroyedObjectIsNoLongerNamed) {
  auto* object = new Recorder;
  const UINT word = comm_dir_register_callback(object);
  delete object;
  std::vector<char> form = callback_form(0, 1, word);
  EXPECT_EQ(0, comm_dir_ope_req_ipc_dispatch(form.data(), nullptr, nullptr));
  expect_one_trace(kNoObject, kDispatchSig, Int(word));
}

// Unregister waits for a callback under way; none starts afterwards.
class CallbackConcurrency : public OperationServerTest {};

TEST_F(CallbackConcurrency, UnregisterWaitsForTheCallbackUnderWay) {
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
  std::vector<char> again = callback_form(0, 2, word);
  comm_dir_ope_req_ipc_dispatch(again.data(), nullptr, nullptr);
  EXPECT_EQ(1, object.calls);
}

}  // namespace
