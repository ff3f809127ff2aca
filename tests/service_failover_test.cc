// The daemon's memory of failed-over URI lists: which URI it tries first,
// when it goes back to the record's order, and that the memory stays bounded
// and consistent under concurrent workers.
#include "service/comm_dir_failover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace velmarosta {
namespace {

using Order = std::vector<std::size_t>;
using std::chrono::seconds;

constexpr seconds kWindow(60);
constexpr char kList[] = " ldap://a/\tldap://b/   ldap://c/ ";  // any run of blanks separates

// One URI list through a failover, attempts within the window, a failback
// that finds the first still down, and a return to the first.
TEST(ServiceFailoverTest, TriesTheAnsweringUriFirstUntilTheWindowEnds) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  struct Step {
    const char* what;
    seconds at;
    Order expected;       // the order at `at`
    std::size_t answers;  // which index then answers
  };
  const Step kSteps[] = {
      {"a list never seen: the record's order", seconds(0), {0, 1, 2}, 1},
      {"within the window: the backup first", seconds(1), {1, 0, 2}, 2},
      {"the backup died: the third first, same window", seconds(30), {2, 0, 1}, 2},
      {"window over: the first again, still down", kWindow, {0, 1, 2}, 1},
      {"a new window from that failure", kWindow + seconds(59), {1, 0, 2}, 1},
      {"second window over: the first answers", 2 * kWindow, {0, 1, 2}, 0},
      {"back on the first: nothing remembered", 2 * kWindow + seconds(1), {0, 1, 2}, 0},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.what);
    const Order order = failover.order(kList, comm_dir_failover::split(kList).size(), t0 + step.at);
    EXPECT_EQ(order, step.expected);
    failover.answered(kList, step.answers, order.front() == 0, t0 + step.at);
  }
  EXPECT_EQ(failover.order("ldap://other/ ldap://b/", 2, t0), (Order{0, 1})) << "lists are remembered apart";
}

TEST(ServiceFailoverTest, RemembersAtMostMaxListsAndForgetsTheOldest) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  const auto list = [](std::size_t i) { return "ldap://first" + std::to_string(i) + "/ ldap://backup/"; };
  for (std::size_t i = 0; i <= comm_dir_failover::kMaxLists; ++i) failover.answered(list(i), 1, true, t0 + seconds(i));
  EXPECT_EQ(failover.order(list(0), 2, t0 + seconds(1)), (Order{0, 1})) << "the oldest was not evicted";
  EXPECT_EQ(failover.order(list(1), 2, t0 + seconds(1)), (Order{1, 0}));
  EXPECT_EQ(failover.order(list(comm_dir_failover::kMaxLists), 2, t0 + seconds(1)), (Order{1, 0}));
}

// Workers open connections at once; every order they get is a whole
// permutation of the list. Run under ThreadSanitizer in CI.
TEST(ServiceFailoverConcurrencyTest, WorkersShareTheMemory) {
  comm_dir_failover failover(kWindow);
  std::vector<std::thread> workers;
  std::vector<int> broken(4, 0);
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&failover, &broken, w] {
      for (int i = 0; i < 500; ++i) {
        const std::string list = "ldap://x" + std::to_string(i % 300) + "/ ldap://y/ ldap://z/";
        Order order = failover.order(list, 3, comm_dir_failover::clock::now());
        std::sort(order.begin(), order.end());
        if (order != Order{0, 1, 2}) ++broken[w];
        failover.answered(list, static_cast<std::size_t>((i + w) % 3), i % 2 == 0, comm_dir_failover::clock::now());
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(broken, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace velmarosta
