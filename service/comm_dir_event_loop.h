// The one thread that watches every wait of the daemon's requests (see
// comm_dir_wait.h): an LDAP connection's descriptor becoming readable or
// writable, a deadline, or a latch that another thread opens (an
// application's answer to a callback). When a wait ends, by its event or by
// its deadline, whichever comes first, the loop calls its waiter's woken()
// once, on the loop's thread; the waiter hands its request back to the
// workers there, and must not block.
//
// A descriptor is watched one-shot (epoll, EPOLLONESHOT) and taken out of
// the epoll set before woken() is called, so that the waiter may close it
// at once. A wait is known by a ticket, never by its waiter's address: a
// latch that opens after its wait has ended finds no ticket, and touches
// nothing.
//
// Thread-safe: add() and comm_dir_latch::open() from any thread; mu_ guards
// the registrations. Lock order: a latch's mutex, then mu_.
#ifndef COMMDIR_SERVICE_COMM_DIR_EVENT_LOOP_H_
#define COMMDIR_SERVICE_COMM_DIR_EVENT_LOOP_H_

#include <cstdint>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/commdir_thread_safety.h"
#include "service/comm_dir_wait.h"

namespace velmarosta {

class comm_dir_event_loop;

// The end of a wait that another thread brings (kLatch): open() ends the
// wait at once, or makes it end as soon as it is added.
class comm_dir_latch {
 public:
  void open();
  bool is_open() const;

 private:
  friend class comm_dir_event_loop;
  // Ties the latch to its wait; false when it is open already.
  bool attach(comm_dir_event_loop* loop, std::uint64_t ticket);

  mutable commdir_sync::mutex mu_;
  bool open_ GUARDED_BY(mu_) = false;
  comm_dir_event_loop* loop_ GUARDED_BY(mu_) = nullptr;
  std::uint64_t ticket_ GUARDED_BY(mu_) = 0;
};

class comm_dir_event_loop {
 public:
  class waiter {
   public:
    // The wait has ended: by its deadline (`timed_out`) or by its event.
    virtual void woken(bool timed_out) = 0;

   protected:
    ~waiter() = default;
  };

  comm_dir_event_loop() = default;
  ~comm_dir_event_loop();
  comm_dir_event_loop(const comm_dir_event_loop&) = delete;
  comm_dir_event_loop& operator=(const comm_dir_event_loop&) = delete;

  // False (traced) when the loop cannot start.
  bool start();
  // Ends the thread. Call once no wait is left: a wait still added is
  // never woken.
  void stop();

  // Watches `wait` (any kind but kNothing and kBlocking) for `w`.
  void add(const comm_dir_wait& wait, waiter* w);

 private:
  friend class comm_dir_latch;
  struct registration {
    waiter* w;
    int fd;  // -1 for a deadline or a latch
    comm_dir_wait::clock::time_point deadline;
  };
  using woken_list = std::vector<std::pair<waiter*, bool>>;

  void run();
  int wait_ms() REQUIRES(mu_);  // until the first deadline, rounded up
  // Ends the wait of `ticket` into `due` (nothing when it ended already).
  void end(std::uint64_t ticket, bool timed_out, woken_list* due) REQUIRES(mu_);
  void wake(std::uint64_t ticket);  // a latch opened
  void kick();

  int epoll_ = -1;
  int kick_fd_ = -1;  // an eventfd: a wait added, a latch opened, or stop
  std::thread thread_;

  commdir_sync::mutex mu_;
  std::unordered_map<std::uint64_t, registration> registered_ GUARDED_BY(mu_);
  std::set<std::pair<comm_dir_wait::clock::time_point, std::uint64_t>> deadlines_ GUARDED_BY(mu_);
  woken_list opened_ GUARDED_BY(mu_);              // ended by latches, to wake on the thread
  std::uint64_t next_ticket_ GUARDED_BY(mu_) = 1;  // 0 is the kick descriptor's
  bool stopping_ GUARDED_BY(mu_) = false;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_EVENT_LOOP_H_
