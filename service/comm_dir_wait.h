// What a request's work waits for between two of its steps, so that no
// thread waits with it: the daemon's workers run the steps, its event loop
// (comm_dir_event_loop.h) watches the waits, and the lookup pool
// (comm_dir_lookup_pool.h) runs the one step that blocks, a host name's
// lookup with its connects.
//
// A piece of such work is a comm_dir_resumable: a step returns either its
// result (done()) or the wait after which resume() takes the next step.
// resume() learns whether the wait ended by its deadline. Every wait has
// one: no wait is without a bound.
#ifndef COMMDIR_SERVICE_COMM_DIR_WAIT_H_
#define COMMDIR_SERVICE_COMM_DIR_WAIT_H_

#include <chrono>

#include "commdir/comm_dir_types.h"

namespace velmarosta {

class comm_dir_latch;

// What a request waits on, as `comm-dir status` names it.
enum class comm_dir_waiting_on {
  kNameLookup,    // a host name's lookup and its connects, on the lookup pool
  kConnect,       // the TCP connect
  kTlsHandshake,  // of ldaps:// or of StartTLS
  kStartTls,      // the answer to StartTLS
  kBind,          // the answer to the bind
  kFirstAnswer,   // a search's first answer
  kNextEntry,     // the next entry of a search
  kCallback,      // an application's answer to a callback, or room in its queue
  kCount
};

const char* comm_dir_waiting_name(comm_dir_waiting_on what);

struct comm_dir_wait {
  using clock = std::chrono::steady_clock;
  enum class on {
    kNothing,   // no wait: the work is finished
    kReadable,  // fd readable (or its connection closed or reset)
    kWritable,  // fd writable: a connect has ended, one way or the other
    kDeadline,  // nothing but the deadline (a retry)
    kLatch,     // `latch` opened by another thread (an answer)
    kBlocking,  // blocking_step() on the lookup pool; no deadline of the loop's
  };
  on kind = on::kNothing;
  int fd = -1;
  clock::time_point deadline;
  comm_dir_latch* latch = nullptr;
  comm_dir_waiting_on what = comm_dir_waiting_on::kConnect;
};

// A step's outcome: a wait, or (kind kNothing) the result code.
struct comm_dir_step {
  comm_dir_wait wait;
  RETCODE code = 0;
  bool done() const { return wait.kind == comm_dir_wait::on::kNothing; }

  static comm_dir_step finished(RETCODE code) {
    comm_dir_step step;
    step.code = code;
    return step;
  }
  static comm_dir_step waiting(comm_dir_wait::on kind, int fd, comm_dir_wait::clock::time_point deadline,
                               comm_dir_waiting_on what) {
    comm_dir_step step;
    step.wait.kind = kind;
    step.wait.fd = fd;
    step.wait.deadline = deadline;
    step.wait.what = what;
    return step;
  }
};

class comm_dir_resumable {
 public:
  // The next step, once the wait that the last one returned has ended:
  // `timed_out` when its deadline passed first.
  virtual comm_dir_step resume(bool timed_out) = 0;
  // The step that a kBlocking wait stands for; resume(false) follows it.
  virtual void blocking_step() {}

 protected:
  ~comm_dir_resumable() = default;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_WAIT_H_
