// The order in which the daemon serves requests. The requests of one
// operation (its lane) are served one at a time, in the order they came;
// different operations, and requests without one, are served at once by
// different workers, taken user by user in turn (comm_dir_fair_queue.h).
//
// A request is waiting from queue() until a worker takes it (next()), then
// running until done(), its waits on the network or an application
// included. A lane is held from its first queued request until the last one
// is released: while it is held no other worker takes it, and the reclaimer
// leaves it alone.
//
// Not thread-safe: its owner's mutex guards it (the daemon's member is
// GUARDED_BY that mutex, so the compiler checks every call). A lane's state
// is the scheduler's alone: only these calls read or change it.
#ifndef COMMDIR_SERVICE_COMM_DIR_SCHEDULER_H_
#define COMMDIR_SERVICE_COMM_DIR_SCHEDULER_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>

#include "service/comm_dir_fair_queue.h"
#include "service/comm_dir_request_decoder.h"

namespace velmarosta {

// A request whose work waited and goes on (the daemon's type); the
// scheduler only hands it back to a worker.
struct comm_dir_in_service;

class comm_dir_scheduler {
 public:
  using clock = std::chrono::steady_clock;

  // One operation's requests.
  class lane {
   public:
    explicit lane(uid_t user) : user_(user) {}
    virtual ~lane() = default;
    lane(const lane&) = delete;
    lane& operator=(const lane&) = delete;
    uid_t user() const { return user_; }

   private:
    friend class comm_dir_scheduler;
    std::deque<std::unique_ptr<comm_dir_request>> queue_;
    bool held_ = false;  // in the ready queue or being served
    clock::time_point last_used_ = clock::now();
    const uid_t user_;  // whose operation it is
  };

  // What a worker takes: a lane's first request, a request without a lane,
  // or work that goes on after its wait.
  struct runnable {
    std::shared_ptr<lane> of;
    std::unique_ptr<comm_dir_request> request;
    comm_dir_in_service* resumed = nullptr;  // owned by whoever holds the runnable
    comm_dir_request* serving = nullptr;     // the request to serve, set by next()
  };

  // At most `queue_limit` requests wait in all, `lane_limit` in one lane.
  comm_dir_scheduler(int queue_limit, int lane_limit);

  // Queues `request` behind `in` (null: for any worker). False, leaving the
  // request with the caller, when the queue it belongs in is full.
  bool queue(std::unique_ptr<comm_dir_request>* request, const std::shared_ptr<lane>& in);
  // Takes `request` for the caller to serve at once when `in` is not held:
  // it goes into the lane, which is held, and counts as running, as a
  // worker's would. False, leaving the request with the caller, otherwise.
  bool take_now(std::unique_ptr<comm_dir_request>* request, lane& in);
  // The next piece of work into *next; false when there is none.
  bool next(runnable* next);
  // The request being served in `in` leaves its lane into *request; the lane
  // goes back into its user's turn when more wait in it (true: a worker has
  // work), and is no longer held otherwise.
  bool release(const std::shared_ptr<lane>& in, std::unique_ptr<comm_dir_request>* request);
  // A running request is done with.
  void done();
  // Work that waited goes back to the workers, in its user's turn (still
  // running all along).
  void resume(uid_t user, comm_dir_in_service* resumed);

  bool held(const lane& in) const { return in.held_; }
  clock::time_point last_used(const lane& in) const { return in.last_used_; }
  bool has_work() const { return !ready_.empty(); }
  bool idle() const { return waiting_ == 0 && running_ == 0; }
  int waiting() const { return waiting_; }
  int running() const { return running_; }

 private:
  const int queue_limit_;
  const std::size_t lane_limit_;
  comm_dir_fair_queue<runnable> ready_;
  int waiting_ = 0;  // queued, not yet taken
  int running_ = 0;  // taken, not yet done
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_SCHEDULER_H_
