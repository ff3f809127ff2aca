// The platform's objects: ids that name only their own live object, mutexes
// and events, and the process's name.
#include "support/posix_harness.h"

namespace {

using namespace commdir_posix_test;

// An id names only its own object while it lives: not when it is stale (its
// object deleted, another in its slot: a slot is reused once a thousand
// others are free), forged, or of another kind.
TEST_F(PlatformTest, AnIdNamesOnlyItsOwnLiveObject) {
  ASSERT_EQ(Start("utcp:IDS"), 0);
  const std::function<RETCODE(UINT)> finds[] = {[](UINT id) { return emwOSWRequestMutexSem(id, 0); },
                                                emwOSWPostEventSem, emwGENIpcDestroyClient};
  UINT stale[3], live[3];
  for (int round = -1; round < 1100; ++round) {
    EXPECT_EQ(emwOSWCreateMutexSem(&live[0], 0, 1) | emwOSWCreateEventSem(&live[1], 0, 0) |
                  emwGENIpcCreateClient("C", "utcp:IDS", 0, 0, 0, &live[2]),
              0);
    for (int k = 0; k < 3 && round >= 0; ++k) {
      for (UINT id : {stale[k], 0u, live[k] ^ 0x10000u, live[k] | 0xFFFFu, live[(k + 1) % 3], live[(k + 2) % 3]}) {
        ASSERT_EQ(finds[k](id), EINVAL) << k << " " << std::hex << id << " round " << std::dec << round;
      }
    }
    if (round < 0) std::copy(live, live + 3, stale);
    EXPECT_EQ(emwOSWDeleteMutexSem(&live[0]) | emwOSWDeleteEventSem(live[1]) | emwGENIpcDestroyClient(live[2]), 0);
  }
}

// A mutex belongs to its owner; an event stays posted until its reset, and
// a post or a deletion ends a wait; the process's name is the first of its
// own and its variants whose endpoints no live socket holds.
TEST_F(PlatformTest, MutexesEventsAndTheProcessName) {
  UINT id = 0;
  ASSERT_TRUE(emwOSWCreateMutexSem(&id, 0, 1) == 0 && emwOSWRequestMutexSem(id, -1) == 0);
  EXPECT_EQ(emwOSWRequestMutexSem(id, -1), EDEADLK);  // not a hang
  std::thread([id] {
    EXPECT_TRUE(emwOSWReleaseMutexSem(id) == EPERM && emwOSWRequestMutexSem(id, 20) == ETIMEDOUT);
  }).join();
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), EBUSY);
  EXPECT_TRUE(emwOSWReleaseMutexSem(id) == 0 && emwOSWDeleteMutexSem(&id) == 0);
  ASSERT_EQ(emwOSWCreateEventSem(&id, 0, 0), 0);
  EXPECT_TRUE(emwOSWWaitEventSem(id, 0) == ETIMEDOUT && emwOSWWaitEventSem(id, -2) == EINVAL);
  ASSERT_EQ(emwOSWPostEventSem(id), 0);
  EXPECT_TRUE(emwOSWWaitEventSem(id, -1) == 0 && emwOSWWaitEventSem(id, 0) == 0 &&
              emwOSWResetEventSem(id) == 0);  // still posted
  EXPECT_EQ(emwOSWWaitEventSem(id, 10), ETIMEDOUT);
  for (auto later : {emwOSWPostEventSem, emwOSWDeleteEventSem}) {
    std::thread other([&] { std::this_thread::sleep_for(milliseconds(20)), later(id); });
    EXPECT_EQ(emwOSWWaitEventSem(id, -1), later == emwOSWPostEventSem ? 0 : EIDRM);
    other.join(), emwOSWResetEventSem(id);
  }
  EXPECT_TRUE(emwOSWGetProcessName(nullptr) == EINVAL && emwOSWCreateMutexSem(nullptr, 0, 1) == EINVAL);
  const int held = Socket(Path("DIR_SVR_a_pro"), true);  // a live socket, not the library's: passed over
  char got_in_child[16] = {};
  for (const char* name : {"a_process name too long", "renamed"}) {
    ASSERT_EQ(prctl(PR_SET_NAME, name), 0);  // the main thread names the process
    char got[16] = {};
    std::thread([&] { pthread_setname_np(pthread_self(), "other"), emwOSWGetProcessName(got); }).join();
    EXPECT_STREQ(got, "a_p01cess_name_");  // chosen once, its endpoints bound since, and handed to their start
  }
  EXPECT_TRUE(access(Path("DIR_SVR_a_p01").c_str(), F_OK) == 0 && Start("utcp:DIR_CS_a_p01ce") == 0);
  const pid_t child = fork();  // named anew, after the name it has
  if (child == 0) _exit(emwOSWGetProcessName(got_in_child) == 0 && std::string(got_in_child) == "renamed" ? 0 : 1);
  int status = -1;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0);
  close(held);
}

}  // namespace
