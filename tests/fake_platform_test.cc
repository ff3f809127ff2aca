// The fake platform is the ground every unit test stands on: these cases pin
// the behaviour that the other tests rely on (failure plans, held delivery,
// trace argument capture, event semantics).
#include "support/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"

namespace {

std::atomic<int> g_dispatched{0};
std::vector<char> g_last;

RETCODE count_dispatch(char* rcvbuf, char*, int* size) {
  *size = 0;
  g_last.assign(rcvbuf, rcvbuf + 128);
  ++g_dispatched;
  return 0;
}

class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    g_dispatched = 0;
  }
  void TearDown() override { fake::reset(); }
};

TEST_F(FakePlatformTest, FailurePlanHitsOnlyTheNthCallAndHasNoEffect) {
  fake::fail_nth("emwOSWCreateEventSem", 2, 0x55);
  UINT a = 0, b = 0, c = 0;
  for (UINT* id : {&a, &b, &c}) EXPECT_EQ(emwOSWCreateEventSem(id, 0, 0), id == &b ? 0x55 : 0);
  EXPECT_TRUE(b == 0u && a != c);
  auto calls = fake::calls_of("emwOSWCreateEventSem");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[1].injected && calls[1].result == 0x55 && !calls[0].injected);
  EXPECT_EQ(calls[0].args[1].i, 0);
}

TEST_F(FakePlatformTest, EventPostedBeforeWaitIsNotLostAndDeletedIdsFail) {
  UINT e = 0;
  ASSERT_EQ(emwOSWCreateEventSem(&e, 0, 0), 0);
  ASSERT_EQ(emwOSWResetEventSem(e), 0);
  ASSERT_EQ(emwOSWPostEventSem(e), 0);
  EXPECT_EQ(emwOSWWaitEventSem(e, -1), 0);
  EXPECT_NE(emwOSWWaitEventSem(e, 10), 0);  // consumed: times out
  std::thread poster([e] { emwOSWPostEventSem(e); });
  EXPECT_EQ(emwOSWWaitEventSem(e, -1), 0);
  poster.join();
  EXPECT_EQ(emwOSWDeleteEventSem(e), 0);
  EXPECT_NE(emwOSWPostEventSem(e), 0);
  UINT m = 0;
  ASSERT_EQ(emwOSWCreateMutexSem(&m, 0, 1), 0);
  EXPECT_NE(emwOSWPostEventSem(m), 0);  // a mutex id is no event id
}

TEST_F(FakePlatformTest, HeldServerDeliversInTheOrderTheTestChooses) {
  ASSERT_EQ(emwGENIpcStartServer("utcp:S", 1, 0x24000, count_dispatch), 0);
  EXPECT_NE(emwGENIpcStartServer("utcp:S", 1, 0x24000, count_dispatch), 0);
  fake::hold("utcp:S", true);
  UINT clnt[8] = {};
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:S", 0, 0, 7, clnt), 0);
  for (char tag = 'a'; tag <= 'b'; ++tag) {
    std::vector<char> msg(200, 0);
    msg[100] = tag;
    ASSERT_EQ(emwGENIpcCallClient(clnt[0], 1, 0, 0, msg.data(), 200, nullptr, 0, nullptr, ~0UL), 0);
  }
  ASSERT_EQ(fake::pending("utcp:S"), 2u);
  ASSERT_TRUE(fake::deliver("utcp:S", 1));
  EXPECT_EQ(g_last[100], 'b');
  EXPECT_EQ(velmarosta::read_word(g_last.data(), GEN_IPC_HDR_LENGTH_OFFSET), 200u);
  EXPECT_EQ(velmarosta::read_word(g_last.data(), GEN_IPC_HDR_KIND_OFFSET), 1u);
  fake::hold("utcp:S", false);
  fake::drain();
  EXPECT_EQ(g_dispatched, 2);
  EXPECT_EQ(g_last[100], 'a');
  EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
  EXPECT_NE(emwGENIpcDestroyClient(clnt[0]), 0);  // once only
  EXPECT_EQ(emwGENIpcRequestAdmin("utcp:S", 3), 0);
  EXPECT_NE(emwGENIpcRequestAdmin("utcp:S", 3), 0);
  EXPECT_NE(emwGENIpcCreateClient("C", "utcp:S", 0, 0, 7, clnt), 0);
}

TEST_F(FakePlatformTest, TraceRecordsEachConversionAndTheText) {
  const char* volatile no_name = nullptr;
  emwGENTrcPrintf(0x3409, 258, 1, "<Fatal>:<%s>(%d) : Paramter client_name=[%s] ret=[%#lx] p=%p\n", "sig", 42,
                  no_name, 0xffffffffUL, static_cast<void*>(nullptr));
  auto t = fake::traces();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].flag, 1);
  EXPECT_EQ(t[0].category, 258u);
  ASSERT_EQ(t[0].args.size(), 5u);
  EXPECT_TRUE(t[0].args[0] == "sig" && t[0].args[1] == 42 && t[0].args[3] == 0xffffffffLL);
  EXPECT_TRUE(t[0].args[2].is_null() && t[0].args[4].is_null());
  EXPECT_NE(t[0].text.find("ret=[0xffffffff]"), std::string::npos);
}

TEST_F(FakePlatformTest, TasksRunTheirEntryWithTheFirstThreeWords) {
  static std::atomic<int> sum{0};
  UINT id = 0;
  ASSERT_EQ(emwOSWCreateJoinTask(&id, "t_1", -1, 0x24000, [](INT a, INT b, INT c) { sum = a + b + c; }, 0, 1, 2,
                                 3, 0, 0, 0, 0, 0, 0, 0),
            0);
  fake::join_tasks();
  EXPECT_EQ(sum, 6);
  EXPECT_EQ(fake::task_names(), std::vector<std::string>{"t_1"});
}

}  // namespace
