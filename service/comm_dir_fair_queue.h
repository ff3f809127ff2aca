// The order in which work that waits for a thread is taken: users in turn
// (round-robin by uid), each user's own work in the order it came. One
// user's thousand requests then stand in front of another user's one at
// most once: the other's is taken next but one.
//
// A user may be held to `most_running` items taken and not yet given back
// with done(): its further items wait while others' are taken (the lookup
// pool's share per user). Without a cap done() need not be called.
//
// Not thread-safe: its owner's mutex guards it (its owners hold it
// GUARDED_BY that mutex).
#ifndef COMMDIR_SERVICE_COMM_DIR_FAIR_QUEUE_H_
#define COMMDIR_SERVICE_COMM_DIR_FAIR_QUEUE_H_

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <unordered_map>
#include <utility>

namespace velmarosta {

template <typename Item>
class comm_dir_fair_queue {
 public:
  // `most_running`: items of one user taken at once; 0 for no cap.
  explicit comm_dir_fair_queue(std::size_t most_running = 0) : most_running_(most_running) {}

  void push(uid_t user, Item item) {
    per_user& own = users_[user];
    own.items.push_back(std::move(item));
    ++size_;
    if (own.items.size() == 1 && may_take(own)) turn_.push_back(user);
  }

  // Takes the first item of the user whose turn it is into *item; false
  // when no user may take one.
  bool pop(Item* item, uid_t* user = nullptr) {
    if (turn_.empty()) return false;
    const uid_t next = turn_.front();
    turn_.pop_front();
    per_user& own = users_[next];
    *item = std::move(own.items.front());
    own.items.pop_front();
    --size_;
    ++own.running;
    if (!own.items.empty() && may_take(own)) turn_.push_back(next);
    if (user != nullptr) *user = next;
    return true;
  }

  // An item of `user` taken by pop() is finished: its next may be taken.
  void done(uid_t user) {
    per_user& own = users_[user];
    const bool was_held = !may_take(own);
    --own.running;
    if (was_held && !own.items.empty()) turn_.push_back(user);
  }

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

 private:
  struct per_user {
    std::deque<Item> items;
    std::size_t running = 0;  // taken, not yet done(); counted only under a cap
  };
  bool may_take(const per_user& own) const { return most_running_ == 0 || own.running < most_running_; }

  const std::size_t most_running_;
  // Kept once made: only users that the daemon serves send work, and they
  // are few; a deque that comes and goes with each burst would cost more.
  std::unordered_map<uid_t, per_user> users_;
  std::deque<uid_t> turn_;  // users that have an item they may take, in turn
  std::size_t size_ = 0;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_FAIR_QUEUE_H_
