// The order in which users' work is taken (service/comm_dir_fair_queue.h).
#include "service/comm_dir_fair_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmarosta {
namespace {

// Users take turns, each user's work in its order; a user held to its share
// waits for done() while the others' work is taken. Items are uid * 10 + n.
TEST(ServiceFairQueueTest, UsersTakeTurnsWithinTheirShare) {
  const struct {
    std::size_t cap;
    std::vector<int> pushed, taken;
  } rows[] = {
      {0, {11, 12, 13, 14, 21, 31, 22}, {11, 21, 31, 12, 22, 13, 14}},
      {1, {11, 12, 21, 22}, {11, 21}},  // then nothing until done()
  };
  for (const auto& row : rows) {
    comm_dir_fair_queue<int> queue(row.cap);
    for (int item : row.pushed) queue.push(static_cast<uid_t>(item / 10), item);
    std::vector<int> taken;
    for (int item = 0; queue.pop(&item);) taken.push_back(item);
    EXPECT_EQ(taken, row.taken);
    EXPECT_EQ(queue.size(), row.pushed.size() - row.taken.size());
  }
  comm_dir_fair_queue<int> queue(1);
  for (int item : {11, 12, 21}) queue.push(static_cast<uid_t>(item / 10), item);
  int item = 0;
  uid_t user = 0;
  EXPECT_TRUE(queue.pop(&item, &user) && queue.pop(&item) && !queue.pop(&item));
  queue.done(user);
  EXPECT_TRUE(queue.pop(&item) && item == 12);
}

}  // namespace
}  // namespace velmarosta
