// comm-dir's watchdog over one facade call: an overdue call is reported once
// and by name, never before its limit; calls that end in time never are; and
// the watchdog stops at once, however long its limit.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/reply_watchdog.h"

namespace commdir_tools {
namespace {

using clock_type = reply_watchdog::clock;
using std::chrono::milliseconds;

// What the watchdog reported, and when.
class reports {
 public:
  void add(const char* call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.emplace_back(call);
    times_.push_back(clock_type::now());
    cv_.notify_all();
  }

  // Waits at most `bound` for the n-th report.
  bool wait_for(std::size_t n, clock_type::duration bound) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, bound, [&] { return calls_.size() >= n; });
  }

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

  clock_type::time_point time(std::size_t i) {
    std::lock_guard<std::mutex> lock(mu_);
    return times_.at(i);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::vector<clock_type::time_point> times_;
};

TEST(ReplyWatchdogTest, ReportsAnOverdueCallOnceByNameAndNeverBeforeItsLimit) {
  const milliseconds limit(300);
  reports seen;
  reply_watchdog watchdog(limit, [&](const char* call) { seen.add(call); });

  // Calls that end in time, over several of the watchdog's sleeps.
  const auto calls_end = clock_type::now() + 3 * limit;
  while (clock_type::now() < calls_end) {
    watchdog.arm("get_next_entry");
    std::this_thread::sleep_for(milliseconds(5));
    watchdog.disarm();
  }
  EXPECT_TRUE(seen.calls().empty());

  // Armed part-way through a sleep, and never disarmed.
  const auto armed_at = clock_type::now();
  watchdog.arm("get_value_string");
  ASSERT_TRUE(seen.wait_for(1, std::chrono::seconds(10))) << "the overdue call was never reported";
  EXPECT_GE(seen.time(0) - armed_at, limit);
  EXPECT_EQ(seen.calls(), std::vector<std::string>{"get_value_string"});

  // Reported once: the report disarmed it.
  std::this_thread::sleep_for(2 * limit);
  EXPECT_EQ(seen.calls().size(), 1u);

  // The next call is watched again.
  watchdog.arm("search");
  ASSERT_TRUE(seen.wait_for(2, std::chrono::seconds(10)));
  EXPECT_EQ(seen.calls().back(), "search");
}

TEST(ReplyWatchdogTest, StopsAtOnceWhetherIdleOrWatchingACall) {
  for (bool armed : {false, true}) {
    const auto began = clock_type::now();
    {
      reply_watchdog watchdog(std::chrono::hours(1), [](const char*) { ADD_FAILURE() << "reported"; });
      if (armed) watchdog.arm("start_operation");
      std::this_thread::sleep_for(milliseconds(20));  // asleep by now
    }
    EXPECT_LT(clock_type::now() - began, std::chrono::seconds(10)) << "armed " << armed;
  }
}

}  // namespace
}  // namespace commdir_tools
