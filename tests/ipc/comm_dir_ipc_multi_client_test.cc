// The request client over the POSIX platform, against an echo peer or one
// that keeps its requests: the request it sends, the reply it takes, and
// what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "support/transport_harness.h"

namespace velmarosta {
namespace {

using namespace commdir_test;
class MultiClientCallTest : public transport_fixture {};

TEST_F(MultiClientCallTest, ACallTakesItsOwnReplyOnceAndNothingElse) {
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

TEST_F(MultiClientCallTest, EveryRefusalAndFailedSetUpIsTracedAndSendsNothing) {
  std::vector<char> big(COMM_DIR_IPC_MAX_PAYLOAD + 1);
  const std::string n32 = "utcp:" + std::string(27, 'n'), n33 = n32 + "n";
  auto create = [this](const char* name, const char* server) {
    return [=] {
      COMM_DIR_MULTI_IPC_CLNT other{};
      return client_->create_client(name, server, 0, 0, 0, other);
    };
  };
  expect_refusals({
      {[&] { return call(big.data(), -1, nullptr, 0); }, -1, "sndsize=[-1]", 0},
      {[&] { return call(big.data(), COMM_DIR_IPC_MAX_PAYLOAD + 1, nullptr, 0); }, -1, "sndsize=[49157]", 0},
      {[&] { return call(nullptr, 0, big.data(), COMM_DIR_IPC_MAX_PAYLOAD + 1); }, -1, "rcvsize=[49157]", 0},
      {[&] { return call(nullptr, -1, nullptr, 1 << 30); }, 0, "", 2},  // sizes without buffers are never used
      {[&] { return call(big.data(), COMM_DIR_IPC_MAX_PAYLOAD, big.data(), COMM_DIR_IPC_MAX_PAYLOAD); }, 0, "", 2},
      {create(n33.c_str(), COMM_DIR_SERVICE_SERVER_NAME), -1, "client_name=[utcp:n", 0},
      {create("C", nullptr), -1, "server_name=[", 0},
      {create(n32.c_str(), n32.c_str()), -1, "emwGENIpcCreateClient ret=", 0},  // 32 characters pass; no such server
      {failing("emwGENIpcDestroyClient", [this] { return client_->destroy_client(clnt_); }), -1,
       "emwGENIpcDestroyClient ret=[0x5a]", 0},
  });
}

TEST(MultiClientTest, WithoutItsReplyServerEveryCallIsRefused) {
  COMM_DIR_MULTI_IPC_CLNT clnt{};
  const std::pair<std::string, int> steps[] = {{"emwOSWCreateMutexSem", 1},
                                               {"emwOSWCreateMutexSem", 2},
                                               {"emwGENIpcStartServer", 1},
                                               {"emwGENIpcRequestAdmin", 1}};
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

}  // namespace
}  // namespace velmarosta
