// The watchdog's judgement of the daemon's progress, look by look: the
// receiving thread must dispatch the probe or other messages, and no worker
// may stay on one request beyond --hung-after.
#include <gtest/gtest.h>

#include <functional>

#include "service/comm_dir_progress.h"

namespace velmarosta {
namespace {

using std::chrono::seconds;
constexpr int kReceiver = comm_dir_progress::kReceiver;

TEST(ServiceProgressTest, AliveOnlyWhileTheReceiverAndEveryWorkerMoveOn) {
  struct Look {
    const char* what;
    std::function<void(comm_dir_progress&)> meanwhile;
    bool probe_dispatched;
    seconds at;
    bool alive;
    int hung_worker;
  };
  const auto nothing = [](comm_dir_progress&) {};
  const Look kLooks[] = {
      {"idle, the probe dispatched", nothing, true, seconds(1), true, -1},
      {"idle, the probe not dispatched", nothing, false, seconds(2), false, -1},
      {"a flood: the probe did not get in, others did",
       [](comm_dir_progress& p) {
         p.begin(kReceiver);
         p.end(kReceiver);
       },
       false, seconds(3), true, -1},
      {"the receiver began a message", [](comm_dir_progress& p) { p.begin(kReceiver); }, false, seconds(4), true, -1},
      {"and is still in it", nothing, false, seconds(5), false, -1},
      {"worker 1 begins a request",
       [](comm_dir_progress& p) {
         p.end(kReceiver);
         p.begin(1);
       },
       true, seconds(6), true, -1},
      {"worker 1 on it for --hung-after exactly", nothing, true, seconds(16), true, -1},
      {"worker 1 on it for longer", nothing, true, seconds(17), false, 1},
      {"worker 0 served some meanwhile; worker 1 still on it",
       [](comm_dir_progress& p) {
         p.begin(0);
         p.end(0);
         p.begin(0);
       },
       true, seconds(18), false, 1},
      {"worker 1 on its next request",
       [](comm_dir_progress& p) {
         p.end(1);
         p.begin(1);
       },
       true, seconds(19), true, -1},
      {"worker 0 idle long after its last request", [](comm_dir_progress& p) { p.end(0); }, true, seconds(40), false,
       1},
  };
  comm_dir_progress progress(2, seconds(10));
  const auto t0 = comm_dir_progress::clock::now();
  std::uint32_t probe = 0;
  for (const Look& look : kLooks) {
    SCOPED_TRACE(look.what);
    ++probe;
    if (look.probe_dispatched) progress.probe_arrived(probe);
    look.meanwhile(progress);
    const comm_dir_progress::verdict verdict = progress.judge(probe, t0 + look.at);
    EXPECT_EQ(verdict.alive, look.alive);
    EXPECT_EQ(verdict.hung_worker, look.hung_worker);
  }
}

}  // namespace
}  // namespace velmarosta
