// The directory service: takes request envelopes from "utcp:COMM_DIR_SRV",
// serves them from LDAP on a pool of workers and answers each with exactly
// one reply form sent to the reply server named in it.
//
// The platform's receiving thread only decodes a request and queues it; it
// never waits on LDAP. Requests that name an operation wait in that
// operation's own queue, so the requests of one operation are served in
// order, one at a time, while different operations are served at once on
// different workers. Requests without an operation (connection tests, new
// operations, refusals) are served by any free worker.
//
// Every request comes with its sender's kernel-checked credentials. A
// sender whose user the allow list does not admit is answered
// COMM_DIR_SVC_NOT_ALLOWED at once, from the receiving thread, and nothing
// is done for it. An operation remembers the process and the user that
// opened it, and serves no other user.
//
// One reclaiming thread wakes every --reclaim-interval and ends (unbinding,
// which closes the LDAP connection) every operation that no worker holds
// and whose process has ended, or, with --idle-timeout, that has had no
// request for that long: an application that crashed in the middle of an
// operation leaks no LDAP connection.
//
// A request that its operation answers from what it holds (attribute names
// and values of the current entry, an entry already read) is served on the
// receiving thread itself when no worker holds that operation and nothing of
// it waits: handing it to a worker would cost a thread switch, which on a
// small device is most of such an exchange. Whatever may wait on the LDAP
// server always goes to a worker.
//
// Queues are bounded: a request that finds the daemon's queue full (or its
// operation's queue full) is answered COMM_DIR_SVC_BUSY at once, from the
// receiving thread; nothing is dropped that can be answered. A user holds
// at most --max-operations-per-user operations (COMM_DIR_SVC_USER_LIMIT
// beyond), so that one user cannot take every other's share of the table.
//
// The receiving thread never waits for an application's queue to take a
// reply: what it answers itself (refusals, answers from memory, the status)
// is tried once and otherwise kept (comm_dir_reply_delivery::no_wait_scope).
//
// The status request (COMM_DIR_FUNC_DAEMON_STATUS) is answered on the
// receiving thread too, from memory, so that it answers also when every
// worker is busy; what each user sees of it is comm_dir_status.h's.
//
// Under systemd it tells its readiness and pings the watchdog while the
// receiving thread and the workers make progress (comm_dir_watchdog.h);
// each thread counts the requests it begins and ends (comm_dir_progress.h).
//
// Thread-safe: mu_ guards the queues and the operation table. An operation
// itself is used only by the one worker that serves its current request
// (operation_entry::scheduled), and the hand-over from one worker to the
// next goes through mu_, which orders their accesses.
#ifndef COMMDIR_SERVICE_COMM_DIR_SERVICE_H_
#define COMMDIR_SERVICE_COMM_DIR_SERVICE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/comm_dir_failover.h"
#include "service/comm_dir_allow_list.h"
#include "service/comm_dir_memory_budget.h"
#include "service/comm_dir_client_process.h"
#include "service/comm_dir_operation.h"
#include "service/comm_dir_operation_ids.h"
#include "service/comm_dir_progress.h"
#include "service/comm_dir_reply_delivery.h"
#include "service/comm_dir_request_decoder.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_options.h"
#include "service/comm_dir_status.h"
#include "service/comm_dir_watchdog.h"

namespace velmarosta {

class comm_dir_service {
 public:
  explicit comm_dir_service(const comm_dir_service_options& options);
  ~comm_dir_service();
  comm_dir_service(const comm_dir_service&) = delete;
  comm_dir_service& operator=(const comm_dir_service&) = delete;

  // Starts the workers, the callback reply server and the endpoint. Returns
  // 0, or the platform's code of the start that failed (nothing then runs).
  RETCODE start();
  // Closes the endpoint, answers every request already taken, then ends
  // every operation (unbinding its connection) and stops the workers.
  void stop();
  // SIGHUP: reopens the trace file, which a log rotation may have moved.
  void hang_up();

 private:
  struct operation_entry {
    std::unique_ptr<comm_dir_operation> operation;  // null once ended; see the class comment
    std::deque<std::unique_ptr<comm_dir_request>> queue;  // guarded by mu_
    bool scheduled = false;  // guarded by mu_: in ready_ or being served
    std::chrono::steady_clock::time_point last_used = std::chrono::steady_clock::now();  // guarded by mu_
    uid_t owner_uid = 0;              // set before the entry is shared; read-only afterwards
    comm_dir_client_process owner;    // likewise
    pid_t owner_pid = 0;              // likewise: the kernel's pid of the start, identified or not
    std::string endpoint;             // likewise: the reply server that the start named
  };
  struct runnable {
    std::shared_ptr<operation_entry> entry;      // serve entry's next request, or
    std::unique_ptr<comm_dir_request> request;   // this request without an operation
    comm_dir_request* serving = nullptr;         // the one to serve, taken under mu_
  };

  static RETCODE receive(char* rcvbuf, char* sndbuf, int* size);
  void take(const char* message, const comm_dir_sender& sender);
  bool queue(std::unique_ptr<comm_dir_request>* request);
  bool serve_from_memory(std::unique_ptr<comm_dir_request>* request);
  std::shared_ptr<operation_entry> senders_operation(const comm_dir_request& request) const;
  // A request being served and its operation (null for a request without
  // one). release() frees the operation for its next request once the reply
  // is made, before it is sent: the caller's next request may arrive before
  // the sender is done, and is then served at once instead of queued.
  struct in_service {
    std::shared_ptr<operation_entry> entry;
    std::unique_ptr<comm_dir_request> request;  // popped from entry's queue by release(), kept alive here
    bool released = false;
  };
  void work(int worker);
  void serve_guarded(in_service& service, comm_dir_request& request);
  bool next_runnable(runnable* next);
  void release(in_service& service);
  void done(in_service& service);
  void serve(in_service& service, comm_dir_request& request);
  RETCODE handle(operation_entry* entry, const comm_dir_request& request, comm_dir_reply& reply);
  RETCODE handle_operation(operation_entry& entry, const comm_dir_request& request, comm_dir_reply& reply);
  RETCODE start_operation(const comm_dir_request& request, comm_dir_reply& reply);
  RETCODE end_operation(operation_entry& entry, UINT operation_id);
  RETCODE room_for_operation(uid_t user) const;
  RETCODE test_connection(COMM_DIR_TEST_CONNECTION_INFO* info, uid_t requester);
  void reclaim();
  std::vector<std::pair<UINT, comm_dir_client_process>> owners_of_unscheduled();
  std::vector<std::shared_ptr<operation_entry>> take_reclaimable(const std::vector<UINT>& orphans);
  void report_by_callback(const comm_dir_request& request);
  void answer(const comm_dir_request& request, RETCODE code);
  void finish_reply(const comm_dir_request& request, RETCODE code, comm_dir_reply& reply);
  void answer_status(const comm_dir_request& request);
  comm_dir_status gather_status(uid_t viewer);
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }

  // The instance whose endpoint runs; receive() finds it here. Set before
  // the endpoint starts and cleared after it stopped.
  static std::atomic<comm_dir_service*> s_running_;

  const comm_dir_service_options options_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  const pid_t own_pid_;  // a message from it is the watchdog's probe
  comm_dir_failover failover_;  // thread-safe of its own
  comm_dir_reply_delivery delivery_;  // thread-safe of its own
  comm_dir_memory_budget memory_;     // thread-safe of its own; outlives the operations
  const comm_dir_allow_list allowed_;
  std::atomic<bool> stopping_{false};
  comm_dir_progress progress_;
  comm_dir_watchdog watchdog_;
  // What the status counts (comm_dir_status_counters); relaxed, for people.
  std::atomic<std::uint64_t> served_{0};
  std::atomic<std::uint64_t> refused_busy_{0};
  std::atomic<std::uint64_t> refused_bad_input_{0};
  std::atomic<std::uint64_t> refused_not_allowed_{0};
  std::atomic<std::uint64_t> callbacks_unanswered_{0};
  std::vector<std::thread> workers_;
  std::thread reclaimer_;

  std::mutex mu_;
  std::condition_variable work_cv_;   // ready_ has work, or quit_
  std::condition_variable idle_cv_;   // waiting_ and running_ reached 0
  std::condition_variable quit_cv_;   // quit_ was set
  std::deque<runnable> ready_;        // guarded by mu_
  int waiting_ = 0;                   // guarded by mu_: requests queued, not yet served
  int running_ = 0;                   // guarded by mu_: requests being served
  bool quit_ = false;                 // guarded by mu_
  std::unordered_map<UINT, std::shared_ptr<operation_entry>> operations_;  // guarded by mu_
  comm_dir_operation_ids ids_;        // guarded by mu_
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_SERVICE_H_
