// The callback endpoint over the POSIX platform: its name, its stop, and
// the callback requests it answers, for registered objects only.
#include "server/comm_dir_operation_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "commdir/comm_dir_facade.h"
#include "server/comm_dir_callback_registry.h"
#include "support/transport_harness.h"

namespace velmarosta {
namespace {

using namespace commdir_test;
class OperationServerTest : public transport_fixture {};

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
TEST_F(OperationServerTest, TheCallbackEndpointIsNamedAfterItsServerAndStoppedWhateverFails) {
  struct Row {
    std::string name;
    const char* endpoint;
    std::string fail, trace;
  } rows[] = {
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

TEST_F(OperationServerTest, ACallbackRequestCallsOnlyARegisteredObjectAndIsAnsweredWithZeros) {
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

}  // namespace
}  // namespace velmarosta
