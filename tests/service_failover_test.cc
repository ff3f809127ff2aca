// The daemon's memory of failed-over URI lists: which URI it tries first,
// when it goes back to the record's order, that one user's memory never
// steers another's, and that the memory stays bounded, per user too, and
// consistent under concurrent workers.
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
constexpr uid_t kUser = 1000;
constexpr uid_t kOtherUser = 1001;
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
    std::size_t answers;  // which index then answers; kNone: none
  };
  constexpr std::size_t kNone = comm_dir_failover::kNone;
  const Step kSteps[] = {
      {"a list never seen: the record's order", seconds(0), {0, 1, 2}, 1},
      {"within the window: the backup first", seconds(1), {1, 0, 2}, 2},
      {"the backup died: the third first, same window", seconds(30), {2, 0, 1}, 2},
      {"window over: the first again, still down", kWindow, {0, 1, 2}, 1},
      {"a new window from that failure", kWindow + seconds(59), {1, 0, 2}, 1},
      {"second window over: the first answers", 2 * kWindow, {0, 1, 2}, 0},
      {"back on the first: nothing remembered; then none answers", 2 * kWindow + seconds(1), {0, 1, 2}, kNone},
      {"none answered: the record's order", 2 * kWindow + seconds(2), {0, 1, 2}, 2},
      {"failed over after that: the backup first", 2 * kWindow + seconds(3), {2, 0, 1}, 0},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.what);
    const Order order = failover.order(kUser, kList, comm_dir_failover::split(kList).size(), t0 + step.at);
    EXPECT_EQ(order, step.expected);
    // What an operator sees of the list: the URI that answered last, or
    // none, with the failure that moved it.
    const comm_dir_uri_failure failure{"ldap://x/", 0x34092001, std::string(300, 'r'), {}};
    const bool failed = step.answers != order.front();
    if (step.answers == kNone) {
      failover.none_answered(kUser, kList, failure, t0 + step.at);
    } else {
      failover.answered(kUser, kList, step.answers, order.front() == 0, t0 + step.at, failed ? &failure : nullptr);
    }
    const auto lists = failover.lists([](uid_t) { return true; });
    if (step.answers == 0) {
      EXPECT_TRUE(lists.empty());
      continue;
    }
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].answering, step.answers);
    EXPECT_EQ(lists[0].last_failure.reason.size(), comm_dir_failover::kMaxReason);
  }
  const auto later = t0 + 3 * kWindow;
  failover.answered(kUser, kList, 1, true, later);
  EXPECT_EQ(failover.order(kUser, kList, 3, later), (Order{1, 0, 2}));
  EXPECT_EQ(failover.order(kOtherUser, kList, 3, later), (Order{0, 1, 2})) << "users are remembered apart";
  EXPECT_TRUE(failover.lists([](uid_t user) { return user == kOtherUser; }).empty()) << "another user's list shown";
  EXPECT_EQ(failover.order(kUser, "ldap://other/ ldap://b/", 2, later), (Order{0, 1})) << "lists are remembered apart";
}

TEST(ServiceFailoverTest, RemembersAtMostMaxListsAndAtMostMaxListsPerUserOfOne) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  const auto list = [](std::size_t i) { return "ldap://first" + std::to_string(i) + "/ ldap://backup/"; };
  const auto remembered = [&](uid_t user, std::size_t i) {
    return failover.order(user, list(i), 2, t0) == Order{1, 0};
  };
  // One user that sends ever new lists gives up its own oldest, and leaves
  // another user's older list alone.
  constexpr std::size_t kShare = comm_dir_failover::kMaxListsPerUser;
  constexpr std::size_t kFlood = comm_dir_failover::kMaxLists * 2;
  failover.answered(kOtherUser, list(0), 1, true, t0);
  for (std::size_t i = 1; i <= kFlood; ++i) failover.answered(kUser, list(i), 1, true, t0 + seconds(i));
  EXPECT_TRUE(remembered(kOtherUser, 0)) << "one user's lists evicted another's";
  EXPECT_TRUE(remembered(kUser, kFlood - kShare + 1));
  EXPECT_FALSE(remembered(kUser, kFlood - kShare)) << "one user kept more than its share";
  // Many users, each within its share, fill the table: the oldest list goes.
  for (uid_t user = 2; user < 2 + comm_dir_failover::kMaxLists / kShare; ++user) {
    for (std::size_t i = 0; i < kShare; ++i) failover.answered(user, list(i), 1, true, t0 + seconds(kFlood + user));
  }
  EXPECT_FALSE(remembered(kOtherUser, 0)) << "the oldest list was not evicted";
  EXPECT_TRUE(remembered(2, 0));
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
        const uid_t user = static_cast<uid_t>(i % 3);
        Order order = failover.order(user, list, 3, comm_dir_failover::clock::now());
        std::sort(order.begin(), order.end());
        if (order != Order{0, 1, 2}) ++broken[w];
        failover.answered(user, list, static_cast<std::size_t>((i + w) % 3), i % 2 == 0,
                          comm_dir_failover::clock::now());
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(broken, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace velmarosta
