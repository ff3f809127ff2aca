// The order in which the daemon serves requests: one lane (operation) at a
// time per request, lanes and users in turn, bounded queues
// (service/comm_dir_scheduler.h). No LDAP server: the scheduler alone.
#include "service/comm_dir_scheduler.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace velmarosta {
namespace {

// One script step a word:
//   qT@L  queue request T in lane L (a and b: user 1, c: user 2, -: no lane,
//         user 3); qT@L! expects it refused as full
//   tT@L+ take request T at once in lane L (+ taken, - not)
//   nT    the next work is request T; n_ there is none
//   rL+   release lane L's current request (+: more wait in it, -: none)
//   d     the request served is done
//   I, B  the scheduler is idle, busy
struct Row {
  const char* name;
  int queue_limit;
  int lane_limit;
  const char* script;
};

const Row kRows[] = {
    {"a lane's requests one at a time, in order", 8, 8, "q1@a q2@a B n1 n_ ra+ d n2 ra- d I"},
    {"lanes of one user and users in turn", 8, 8, "q1@a q2@a q3@b q4@c n1 n4 n3 ra+ n2"},
    {"a released lane goes behind the others", 8, 8, "q1@a q2@a q3@- n1 ra+ n3 n2"},
    {"no lane: any worker, at once", 8, 8, "q1@- q2@- n1 n2 d d I"},
    {"the whole queue is bounded", 2, 8, "q1@a q2@b q3@c! n1 q3@c n2 n3"},
    {"a lane's queue is bounded", 8, 2, "q1@a q2@a q3@a! q4@b"},
    {"at once only while the lane is free", 8, 8, "t1@a+ t2@a- q2@a n_ ra+ d n2 ra- d I"},
    {"taken at once counts as running", 8, 8, "t1@a+ B ra- d I"},
};

TEST(ServiceScheduler, ServesEachLaneInOrderAndLanesAndUsersInTurn) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    comm_dir_scheduler scheduler(row.queue_limit, row.lane_limit);
    std::map<char, std::shared_ptr<comm_dir_scheduler::lane>> lanes;
    for (char name : std::string("abc")) lanes[name] = std::make_shared<comm_dir_scheduler::lane>(name == 'c' ? 2 : 1);
    std::unique_ptr<comm_dir_request> released;
    std::istringstream words(row.script);
    for (std::string word; words >> word;) {
      SCOPED_TRACE(word);
      auto request = std::make_unique<comm_dir_request>();
      request->operation_id = static_cast<UINT>(word[1] - '0');
      const char lane = word.size() > 3 ? word[3] : '-';
      request->sender.uid = lane == '-' ? 3 : lanes[lane]->user();
      comm_dir_scheduler::runnable next;
      switch (word[0]) {
        case 'q': EXPECT_EQ(scheduler.queue(&request, lane == '-' ? nullptr : lanes[lane]), word.back() != '!'); break;
        case 't': EXPECT_EQ(scheduler.take_now(&request, *lanes[lane]), word.back() == '+'); break;
        case 'n':
          ASSERT_EQ(scheduler.next(&next), word[1] != '_');
          EXPECT_TRUE(word[1] == '_' || next.serving->operation_id == request->operation_id);
          break;
        case 'r':
          EXPECT_EQ(scheduler.release(lanes[word[1]], &released), word[2] == '+');
          EXPECT_EQ(scheduler.held(*lanes[word[1]]), word[2] == '+');
          break;
        case 'd': scheduler.done(); break;
        default: EXPECT_EQ(scheduler.idle(), word[0] == 'I');
      }
    }
  }
}

}  // namespace
}  // namespace velmarosta
