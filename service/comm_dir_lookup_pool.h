// The few threads that run the one step of a request that blocks: the
// lookup of a host name and the connects to its addresses (libldap looks the
// name up with getaddrinfo, which no option bounds, and tries each address
// in turn within the network timeout; see comm_dir_ldap_opening.h). Host
// names are looked up here and nowhere else, so that no worker waits on a
// name server.
//
// The pool is bounded (--lookup-threads), and one user takes at most half
// of it (at least one thread): the users' steps wait in turn
// (comm_dir_fair_queue.h), so that a user whose names never resolve, or
// whose hosts drop every connect, holds its share and no more.
//
// Each thread counts its steps in the daemon's progress (comm_dir_progress.h)
// under the slot given to it, so that a step that hangs stops the watchdog's
// pings as a hung worker does.
//
// Thread-safe: push() from any thread; mu_ guards the queue.
#ifndef COMMDIR_SERVICE_COMM_DIR_LOOKUP_POOL_H_
#define COMMDIR_SERVICE_COMM_DIR_LOOKUP_POOL_H_

#include <sys/types.h>

#include <functional>
#include <thread>
#include <vector>

#include "platform/commdir_thread_safety.h"
#include "service/comm_dir_fair_queue.h"
#include "service/comm_dir_progress.h"

namespace velmarosta {

class comm_dir_lookup_pool {
 public:
  // `threads` threads, counted in `progress` from slot `first_slot` on.
  comm_dir_lookup_pool(int threads, comm_dir_progress* progress, int first_slot);
  ~comm_dir_lookup_pool();
  comm_dir_lookup_pool(const comm_dir_lookup_pool&) = delete;
  comm_dir_lookup_pool& operator=(const comm_dir_lookup_pool&) = delete;

  // False (traced) when a thread cannot start.
  bool start();
  // Ends the threads once the steps pushed so far have run.
  void stop();

  // Runs `step` on a thread of the pool, in `user`'s turn.
  void push(uid_t user, std::function<void()> step);

 private:
  struct queued {
    std::function<void()> step;
  };
  void run(int slot);

  const int threads_;
  comm_dir_progress* const progress_;
  const int first_slot_;
  std::vector<std::thread> running_;

  commdir_sync::mutex mu_;
  commdir_sync::condition_variable cv_;
  comm_dir_fair_queue<queued> queue_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LOOKUP_POOL_H_
