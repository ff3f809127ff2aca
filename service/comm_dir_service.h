// The directory service: takes request envelopes from "utcp:COMM_DIR_SRV",
// serves them from LDAP on a pool of workers and answers each with exactly
// one reply form sent to the reply server named in it.
//
// The platform's receiving thread only decodes a request and queues it; it
// never waits on LDAP. Requests that name an operation wait in that
// operation's own queue, so the requests of one operation are served in
// order, one at a time, while different operations are served at once on
// different workers. Requests without an operation (connection tests, new
// operations, refusals) are served by any free worker. Work that waits for
// a worker is taken user by user in turn (comm_dir_fair_queue.h): one user's
// many requests never stand in front of another's one.
//
// No worker waits on the network or on an application. A request that
// must wait (a connect, a TLS handshake, StartTLS, a bind, a search's
// answer or next entry, an application's answer to a callback) returns its
// wait (comm_dir_wait.h) to its worker, which hands it to the event loop
// (comm_dir_event_loop.h) and serves others; once the wait ends, by its
// event or by its deadline, the request goes back to the workers, in its
// user's turn, and goes on. A request that waits still holds its operation:
// the operation's later requests wait behind it, and the reclaimer leaves
// it alone. The one step that blocks, a host name's lookup with its
// connects, runs on the lookup pool (comm_dir_lookup_pool.h), of which each
// user has a share. What waits, per user and on what, is in the status.
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
// beyond), so that one user cannot take every other's share of the table;
// the operations being opened count, and so do the connection tests under
// way (each holds a connection or a callback): a user's tests beyond its
// share, or beyond --max-operations in all, are answered COMM_DIR_SVC_BUSY.
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
// receiving thread, the workers and the lookup threads make progress
// (comm_dir_watchdog.h); each thread counts the requests it begins and ends
// (comm_dir_progress.h).
//
// Thread-safe: mu_ guards the scheduler, the operation table and the counts
// of what waits (members GUARDED_BY(mu_), which clang checks). An operation
// itself is used only by the one thread that runs its current request's step
// (its lane is held: comm_dir_scheduler.h), and the hand-over from one thread
// to the next goes through mu_ or the event loop's mutex, which order their
// accesses; no lock guards it, so it carries no annotation.
#ifndef COMMDIR_SERVICE_COMM_DIR_SERVICE_H_
#define COMMDIR_SERVICE_COMM_DIR_SERVICE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/commdir_thread_safety.h"
#include "service/comm_dir_allow_list.h"
#include "service/comm_dir_callback_client.h"
#include "service/comm_dir_client_process.h"
#include "service/comm_dir_event_loop.h"
#include "service/comm_dir_failover.h"
#include "service/comm_dir_ldap_opening.h"
#include "service/comm_dir_lookup_pool.h"
#include "service/comm_dir_memory_budget.h"
#include "service/comm_dir_operation.h"
#include "service/comm_dir_operation_ids.h"
#include "service/comm_dir_progress.h"
#include "service/comm_dir_reply_delivery.h"
#include "service/comm_dir_request_decoder.h"
#include "service/comm_dir_scheduler.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_options.h"
#include "service/comm_dir_status.h"
#include "service/comm_dir_wait.h"
#include "service/comm_dir_watchdog.h"

namespace velmarosta {

// An operation in the table: its lane of requests (comm_dir_scheduler.h) and
// what it serves them with.
struct comm_dir_operation_entry final : comm_dir_scheduler::lane {
  using lane::lane;
  // Used only by the thread that serves the lane's current request; null
  // once ended.
  std::unique_ptr<comm_dir_operation> operation;
  comm_dir_client_process owner;  // set before the entry is shared; read-only afterwards
  pid_t owner_pid = 0;            // likewise: the kernel's pid of the start, identified or not
  std::string endpoint;           // likewise: the reply server that the start named
};

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
  friend struct comm_dir_in_service;
  using in_service = comm_dir_in_service;
  using operation_entry = comm_dir_operation_entry;
  using runnable = comm_dir_scheduler::runnable;
  using wait_counts = std::array<std::size_t, static_cast<std::size_t>(comm_dir_waiting_on::kCount)>;

  static RETCODE receive(char* rcvbuf, char* sndbuf, int* size);
  void take(const char* message, const comm_dir_sender& sender);
  bool queue(std::unique_ptr<comm_dir_request>* request);
  bool serve_from_memory(std::unique_ptr<comm_dir_request>* request);
  std::shared_ptr<operation_entry> senders_operation(const comm_dir_request& request) const REQUIRES(mu_);
  void work(int worker);
  void serve_guarded(in_service& service, comm_dir_request& request);
  bool next_runnable(runnable* next);
  void release(in_service& service);
  void done(in_service& service);
  void serve(in_service& service, comm_dir_request& request);
  RETCODE handle(in_service& service, const comm_dir_request& request, comm_dir_reply& reply);
  RETCODE handle_operation(operation_entry& entry, const comm_dir_request& request, comm_dir_reply& reply);
  RETCODE end_operation(operation_entry& entry, UINT operation_id);
  // The requests that may wait, and their steps (comm_dir_wait.h).
  static bool may_wait(const comm_dir_request& request);
  comm_dir_step begin_waiting(in_service& service, const comm_dir_request& request);
  comm_dir_step begin_opening(in_service& service, const COMM_DIR_CONNECT_INFO& connect, UINT bind_present,
                              const COMM_DIR_BIND_INFO& bind);
  void advance(in_service& service, std::unique_ptr<in_service> held, comm_dir_step step);
  bool next_stage(in_service& service, RETCODE code, comm_dir_step* step);
  void park(std::unique_ptr<in_service> service, const comm_dir_wait& wait);
  void resume_later(in_service* service);
  void stop_waiting(in_service& service);
  void go_on(std::unique_ptr<in_service> service);
  void give_up(in_service& service, const std::exception& e);
  void answer_waited(in_service& service, RETCODE code);
  RETCODE opened(in_service& service, const comm_dir_request& request, RETCODE code, comm_dir_reply& reply);
  void begin_report(in_service& service);
  comm_dir_step report_test(in_service& service, RETCODE code);
  RETCODE room_to_open(uid_t user, bool operation) const REQUIRES(mu_);
  bool reserve(in_service& service, bool operation, RETCODE* refusal);
  void unreserve(in_service& service) REQUIRES(mu_);
  void reclaim();
  std::vector<std::pair<UINT, comm_dir_client_process>> owners_of_unscheduled() REQUIRES(mu_);
  std::vector<std::shared_ptr<operation_entry>> take_reclaimable(const std::vector<UINT>& orphans) REQUIRES(mu_);
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
  const pid_t own_pid_;               // a message from it is the watchdog's probe
  comm_dir_failover failover_;        // thread-safe of its own
  comm_dir_reply_delivery delivery_;  // thread-safe of its own
  comm_dir_memory_budget memory_;     // thread-safe of its own; outlives the operations
  const comm_dir_allow_list allowed_;
  std::atomic<bool> stopping_{false};
  comm_dir_progress progress_;
  comm_dir_watchdog watchdog_;
  comm_dir_event_loop loop_;
  comm_dir_lookup_pool lookup_;
  // What the status counts (comm_dir_status_counters); relaxed, for people.
  std::atomic<std::uint64_t> served_{0};
  std::atomic<std::uint64_t> refused_busy_{0};
  std::atomic<std::uint64_t> refused_bad_input_{0};
  std::atomic<std::uint64_t> refused_not_allowed_{0};
  std::atomic<std::uint64_t> callbacks_unanswered_{0};
  std::vector<std::thread> workers_;
  std::thread reclaimer_;

  commdir_sync::mutex mu_;
  commdir_sync::condition_variable work_cv_;  // scheduler_ has work, or quit_
  commdir_sync::condition_variable idle_cv_;  // scheduler_ became idle
  commdir_sync::condition_variable quit_cv_;  // quit_ was set
  comm_dir_scheduler scheduler_ GUARDED_BY(mu_);
  int parked_ GUARDED_BY(mu_) = 0;  // of the running requests, those waiting on the network or an application
  bool quit_ GUARDED_BY(mu_) = false;
  std::unordered_map<UINT, std::shared_ptr<operation_entry>> operations_ GUARDED_BY(mu_);
  std::unordered_map<uid_t, std::size_t> opening_by_user_ GUARDED_BY(mu_);  // reservations, none zero
  std::size_t opening_ GUARDED_BY(mu_) = 0;                                 // their sum
  std::map<uid_t, wait_counts> waiting_by_user_ GUARDED_BY(mu_);            // what waits, per user (none all zero)
  comm_dir_operation_ids ids_ GUARDED_BY(mu_);
};

// A request being served and its operation (null for a request without
// one), from its first step to its reply (and, for a connection test by
// callback, to the end of its report). It is the event loop's waiter
// while it waits. release() frees the operation for its next request once
// the reply is made, before it is sent: the caller's next request may
// arrive before the sender is done, and is then served at once instead
// of queued.
struct comm_dir_in_service final : comm_dir_event_loop::waiter {
  explicit comm_dir_in_service(comm_dir_service* owner) : service(owner) {}
  comm_dir_in_service(comm_dir_in_service&&) = default;
  void woken(bool ended_by_deadline) override;
  uid_t user() const { return serving->sender.uid; }

  comm_dir_service* service;
  std::shared_ptr<comm_dir_operation_entry> entry;
  std::unique_ptr<comm_dir_request> request;  // one without an operation, or popped from entry's queue by release()
  comm_dir_request* serving = nullptr;        // the request, wherever it is kept
  bool released = false;
  bool reserved = false;          // counted in opening_by_user_ (see room_to_open)
  bool replied = false;           // a connection test by callback: answered; its report goes on
  comm_dir_client_process owner;  // of an operation being opened
  std::unique_ptr<comm_dir_ldap_opening> opening;
  std::unique_ptr<comm_dir_callback_report> report;
  comm_dir_resumable* under_way = nullptr;  // what goes on after the wait: opening, report or operation
  comm_dir_waiting_on waiting_on = comm_dir_waiting_on::kConnect;  // counted in waiting_by_user_ meanwhile
  bool timed_out = false;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_SERVICE_H_
