// The watchdog's judgement of progress (service/comm_dir_progress.h).
#include "service/comm_dir_progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>
#include <vector>

namespace velmarosta {
namespace {

using std::chrono::seconds;

// The receiving thread must dispatch the probe or other messages, and no
// worker may stay on one request beyond --hung-after (10 s here).
TEST(ServiceProgressTest, AliveOnlyWhileTheReceiverAndEveryWorkerMoveOn) {
  constexpr int kReceiver = comm_dir_progress::kReceiver;
  using Steps = std::vector<std::pair<int, bool>>;  // (who, began or ended) in order
  const struct Look {
    const char* what;
    Steps meanwhile;
    bool probe;
    int at;
    bool alive;
    int hung;
  } looks[] = {
      {"idle, the probe dispatched", {}, true, 1, true, -1},
      {"idle, the probe not dispatched", {}, false, 2, false, -1},
      {"a flood: others got in", {{kReceiver, true}, {kReceiver, false}}, false, 3, true, -1},
      {"the receiver began a message", {{kReceiver, true}}, false, 4, true, -1},
      {"and is still in it", {}, false, 5, false, -1},
      {"worker 1 begins", {{kReceiver, false}, {1, true}}, true, 6, true, -1},
      {"worker 1 on it for --hung-after", {}, true, 16, true, -1},
      {"worker 1 on it for longer", {}, true, 17, false, 1},
      {"worker 0 served some meanwhile", {{0, true}, {0, false}, {0, true}}, true, 18, false, 1},
      {"worker 1 on its next request", {{1, false}, {1, true}}, true, 19, true, -1},
      {"worker 0 idle long after its last", {{0, false}}, true, 40, false, 1},
  };
  comm_dir_progress progress(2, seconds(10));
  const auto t0 = comm_dir_progress::clock::now();
  std::uint32_t probe = 0;
  for (const Look& look : looks) {
    if (look.probe)
      progress.probe_arrived(++probe);
    else
      ++probe;
    for (auto [who, began] : look.meanwhile) began ? progress.begin(who) : progress.end(who);
    const comm_dir_progress::verdict verdict = progress.judge(probe, t0 + seconds(look.at));
    EXPECT_TRUE(verdict.alive == look.alive && verdict.hung_worker == look.hung) << look.what;
  }
}

}  // namespace
}  // namespace velmarosta
