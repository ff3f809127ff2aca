// comm-dir's watchdog over one facade call.
#include "tools/reply_watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace commdir_tools {
namespace {

// An overdue call is reported once and by name, never before its limit;
// calls that end in time never are; the watchdog stops at once.
TEST(ReplyWatchdogTest, ReportsAnOverdueCallOnceByNameAndNeverBeforeItsLimit) {
  using clock = reply_watchdog::clock;
  const std::chrono::milliseconds limit(300);
  std::mutex mu;
  std::condition_variable reported;
  std::vector<std::pair<std::string, clock::time_point>> seen;
  auto wait_for = [&](std::size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return reported.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() >= n; });
  };
  {
    reply_watchdog watchdog(limit, [&](const char* call) {
      std::lock_guard<std::mutex> lock(mu);
      seen.emplace_back(call, clock::now());
      reported.notify_all();
    });
    for (const auto end = clock::now() + 3 * limit; clock::now() < end;) {  // over several of its sleeps
      watchdog.arm("get_next_entry");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      watchdog.disarm();
    }
    const auto armed_at = clock::now();
    watchdog.arm("get_value_string");
    ASSERT_TRUE(wait_for(1));
    std::this_thread::sleep_for(2 * limit);  // reported once: the report disarmed it
    watchdog.arm("search");
    ASSERT_TRUE(wait_for(2));
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_TRUE(seen.size() == 2 && seen[0].first == "get_value_string" && seen[1].first == "search");
    EXPECT_GE(seen[0].second - armed_at, limit);
  }
  const auto began = clock::now();
  {
    reply_watchdog watchdog(std::chrono::hours(1), [](const char*) { ADD_FAILURE() << "reported"; });
    watchdog.arm("start_operation");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // asleep by now
  }
  EXPECT_LT(clock::now() - began, std::chrono::seconds(10));
}

}  // namespace
}  // namespace commdir_tools
