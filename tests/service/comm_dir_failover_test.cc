// The memory of failed-over URIs (service/comm_dir_failover.h).
#include "service/comm_dir_failover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace velmarosta {
namespace {

using Order = std::vector<std::size_t>;
using std::chrono::seconds;
constexpr seconds kWindow(60);
constexpr char kList[] = " ldap://a/\tldap://b/   ldap://c/ ";  // any run of blanks separates

TEST(ServiceFailoverTest, TriesTheAnsweringUriFirstUntilTheWindowEnds) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  constexpr std::size_t kNone = comm_dir_failover::kNone;
  // answers: which index answers at `at` (kNone: none)
  const struct Step {
    const char* what;
    seconds at;
    Order expected;
    std::size_t answers;
  } steps[] = {
      {"never seen: the record's order", seconds(0), {0, 1, 2}, 1},
      {"in the window: the backup first", seconds(1), {1, 0, 2}, 2},
      {"the backup died: the third first", seconds(30), {2, 0, 1}, 2},
      {"window over: the first again, still down", kWindow, {0, 1, 2}, 1},
      {"a new window from that failure", kWindow + seconds(59), {1, 0, 2}, 1},
      {"second window over: the first answers", 2 * kWindow, {0, 1, 2}, 0},
      {"nothing remembered; then none answers", 2 * kWindow + seconds(1), {0, 1, 2}, kNone},
      {"none answered: the record's order", 2 * kWindow + seconds(2), {0, 1, 2}, 2},
      {"failed over after that: the backup first", 2 * kWindow + seconds(3), {2, 0, 1}, 0},
  };
  const comm_dir_uri_failure failure{"ldap://x/", 0x34092001, std::string(300, 'r'), {}};
  for (const Step& step : steps) {
    const Order order = failover.order(1000, kList, comm_dir_failover::split(kList).size(), t0 + step.at);
    EXPECT_EQ(order, step.expected) << step.what;
    const auto now = t0 + step.at;
    if (step.answers == kNone) failover.none_answered(1000, kList, failure, now);
    const comm_dir_uri_failure* moved = step.answers != order.front() ? &failure : nullptr;
    if (step.answers != kNone) failover.answered(1000, kList, step.answers, order.front() == 0, now, moved);
    // What an operator sees: the URI that answered last, with the failure that moved it.
    const auto lists = failover.lists([](uid_t) { return true; });
    ASSERT_EQ(lists.size(), step.answers == 0 ? 0u : 1u) << step.what;
    EXPECT_TRUE(lists.empty() || lists[0].answering == step.answers) << step.what;
    EXPECT_TRUE(lists.empty() || lists[0].last_failure.reason.size() == comm_dir_failover::kMaxReason) << step.what;
  }
  const auto later = t0 + 3 * kWindow;
  failover.answered(1000, kList, 1, true, later);
  EXPECT_EQ(failover.order(1000, kList, 3, later), (Order{1, 0, 2}));
  EXPECT_EQ(failover.order(1001, kList, 3, later), (Order{0, 1, 2})) << "users are remembered apart";
  EXPECT_TRUE(failover.lists([](uid_t user) { return user == 1001; }).empty()) << "another user's list shown";
  EXPECT_EQ(failover.order(1000, "ldap://other/ ldap://b/", 2, later), (Order{0, 1})) << "lists are remembered apart";
}

TEST(ServiceFailoverTest, RemembersAtMostMaxListsAndAtMostMaxListsPerUserOfOne) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  auto list = [](std::size_t i) { return "ldap://first" + std::to_string(i) + "/ ldap://backup/"; };
  auto remembered = [&](uid_t user, std::size_t i) { return failover.order(user, list(i), 2, t0) == Order{1, 0}; };
  constexpr std::size_t kShare = comm_dir_failover::kMaxListsPerUser, kFlood = comm_dir_failover::kMaxLists * 2;
  failover.answered(1001, list(0), 1, true, t0);
  for (std::size_t i = 1; i <= kFlood; ++i) failover.answered(1000, list(i), 1, true, t0 + seconds(i));
  EXPECT_TRUE(remembered(1001, 0)) << "one user's lists evicted another's";
  EXPECT_TRUE(remembered(1000, kFlood - kShare + 1) && !remembered(1000, kFlood - kShare)) << "more than its share";
  for (uid_t user = 2; user < 2 + comm_dir_failover::kMaxLists / kShare; ++user) {
    for (std::size_t i = 0; i < kShare; ++i) failover.answered(user, list(i), 1, true, t0 + seconds(kFlood + user));
  }
  EXPECT_TRUE(!remembered(1001, 0) && remembered(2, 0)) << "the oldest list goes first";
}

// Every order that workers get at once is a whole permutation of the list.
TEST(ServiceFailoverConcurrencyTest, WorkersShareTheMemory) {
  comm_dir_failover failover(kWindow);
  std::vector<std::thread> workers;
  std::atomic<int> broken{0};
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&failover, &broken, w] {
      for (int i = 0; i < 500; ++i) {
        const std::string list = "ldap://x" + std::to_string(i % 300) + "/ ldap://y/ ldap://z/";
        Order order = failover.order(static_cast<uid_t>(i % 3), list, 3, comm_dir_failover::clock::now());
        std::sort(order.begin(), order.end());
        broken += order != Order{0, 1, 2};
        const auto answering = static_cast<std::size_t>((i + w) % 3);
        failover.answered(static_cast<uid_t>(i % 3), list, answering, i % 2 == 0, comm_dir_failover::clock::now());
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(broken, 0);
}

}  // namespace
}  // namespace velmarosta
