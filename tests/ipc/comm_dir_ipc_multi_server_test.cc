// The threaded request server over the POSIX platform: its refusals and
// failed set-ups, its twelve task slots, and the reply each task sends.
#include <gtest/gtest.h>

#include "support/transport_harness.h"

namespace velmarosta {
namespace {

using namespace commdir_test;
class MultiServerTest : public transport_fixture {};

TEST_F(MultiServerTest, EveryRefusalAndFailedSetUpIsTracedAndFreesWhatItTook) {
  Srv* srv = Srv::get_instance();
  std::vector<char> request = form(kEcho), unterminated = form(kEcho);
  std::memset(&unterminated[84], 'x', 32);
  auto* head = reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(request.data());
  char data[] = "payload";
  UINT type = 0;
  auto start = [srv](const char* name, PGEN_IPC_DISPATCH to) {
    return [=] { return srv->start_server(name, 1, COMM_DIR_IPC_STACK_SIZE, to); };
  };
  auto reply = [&](int size) { return [&, size] { return Srv::send_reply(head, 0, data, size); }; };
  const Action echo = [] { return dispatch(form(kEcho)); };
  expect_refusals({
      {[] { return dispatch(form(kEcho), false); }, -1, "rcvbuf=", 0},
      {[] { return dispatch(form(kEcho), true, false); }, -1, "sndbuf=", 0},
      {[] { return dispatch(form(kEcho, 0, 123)); }, -1, "rcvbuf length=123\n", 0},
      {[] { return dispatch(form(kEcho, 0, 49281)); }, -1, "rcvbuf length=49281\n", 0},
      {[&] { return dispatch(unterminated); }, -1, "reply_server_name", 0},
      {failing("emwOSWRequestMutexSem", echo), -1, "emwOSWRequestMutexSem ret=[0x5a]", 0},
      {failing("emwOSWReleaseMutexSem", echo), -1, "emwOSWReleaseMutexSem ret=[0x5a]", 0},
      {failing("emwOSWCreateJoinTask", echo), -1, "emwOSWCreateJoinTask ret=0x5a", 0},
      // Mutex request and release 1 are dispatch_server's, 2 the reply's, 3 the task's end. A
      // task releases its last mutex after it frees its slot: a row that counts releases
      // follows one without a task.
      {failing("emwOSWReleaseMutexSem", echo, 2), 0, "send_reply ret=0xffffffff\n", 1},
      {failing("emwGENIpcCallClient", echo), 0, "send_reply ret=0xffffffff\n", 1},
      {failing("emwOSWRequestMutexSem", echo, 3), 0, "emwOSWRequestMutexSem ret=[", 1},
      {failing("emwOSWReleaseMutexSem", echo, 3), 0, "emwOSWReleaseMutexSem ret=[", 1},
      {[] { return dispatch(form(kFail)); }, 0, "dispatch ret=0x77\n", 1},
      {[] {
         Srv::dispatch_thread(0, 0, 0);
         return -1;
       },
       -1, "<Error>:<static void velmarosta::comm_dir_ipc_multi", 0},
      {start(nullptr, serve), -1, "server_name=[(null)]", 0},
      {start("utcp:X", nullptr), -1, "dispatch=", 0},
      {failing("emwGENIpcStartServer", start("utcp:X", serve)), -1, "emwGENIpcStartServer ret=[0x5a]", 0},
      {failing("emwOSWRequestMutexSem", start("utcp:Y", serve)), -1, "emwOSWRequestMutexSem ret=[0x5a]", 0},
      {failing("emwOSWReleaseMutexSem", start("utcp:Z", serve)), -1, "emwOSWReleaseMutexSem ret=[0x5a]", 0},
      {failing("emwGENIpcRequestAdmin", [srv] { return srv->stop_server("utcp:X"); }), -1, "StopServer ret=[0x5a]", 0},
      {[srv] { return srv->stop_server(nullptr); }, -1, "server_name=[(null)]", 0},
      {[&] { return srv->get_type(nullptr, type); }, -1, "data is NULL", 0},
      {[&] { return Srv::send_reply(nullptr, 0, data, 1); }, -1, "data is NULL", 0},
      {reply(COMM_DIR_IPC_MAX_PAYLOAD + 1), -1, "size=49157", 0},
      {reply(-1), -1, "size=-1", 0},
      {failing("emwGENIpcCreateClient", reply(1)), -1, "emwGENIpcCreateClient ret=[0x5a]", 0},
      {failing("emwOSWRequestMutexSem", reply(1)), -1, "emwOSWRequestMutexSem ret=[0x5a]", 0},
      {[&] {
         std::memset(head->head.reply_server_name, 'x', 32);
         return reply(1)();
       },
       -1, "reply_server_name", 0},
      {[&] {
         head->head.replied = 1;
         return reply(1)();
       },
       0, "", 0},  // answered already: nothing more
      {[] { return Srv::thread_regist(nullptr, 0); }, -1, "thread_name=(null)", 0},
      {[] { return Srv::thread_regist("t", COMM_DIR_MAX_THREADS); }, -1, "index=0xc", 0},
      {[] { return Srv::thread_delete(-1); }, -1, "index=0xffffffff", 0},
      {failing("emwOSWCreateMutexSem", [srv] { return srv->initialize(); }), -1, "emwOSWCreateMutexSem ret=0x5a", 0},
      {failing("emwOSWDeleteMutexSem", [srv] { return srv->finalize(); }), -1, "emwOSWDeleteMutexSem ret=0x5a", 0},
  });
}

TEST_F(MultiServerTest, TwelveBusyTasksRefuseTheThirteenthAndAFreedSlotIsReusedLowestFirst) {
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

TEST_F(MultiServerTest, AReplyEchoesTheRoutingOfItsRequestOnce) {
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

}  // namespace
}  // namespace velmarosta
