#include "service/comm_dir_service.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "commdir/comm_dir_result_codes.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/commdir_posix_trace.h"
#include "service/comm_dir_callback_client.h"
#include "service/comm_dir_ldap_session.h"
#include "service/comm_dir_reply_contents.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

struct id_keys {
  std::uint32_t words[comm_dir_operation_ids::kRounds];
};

// Keys for the operation ids from the kernel's random source. getrandom
// without flags blocks only until the kernel's pool is first seeded.
id_keys random_keys() {
  id_keys keys{};
  std::size_t filled = 0;
  while (filled < sizeof keys.words) {
    ssize_t got = getrandom(reinterpret_cast<char*>(keys.words) + filled, sizeof keys.words - filled, 0);
    if (got > 0) filled += static_cast<std::size_t>(got);
  }
  return keys;
}

}  // namespace

std::atomic<comm_dir_service*> comm_dir_service::s_running_{nullptr};

comm_dir_service::comm_dir_service(const comm_dir_service_options& options)
    : options_(options),
      own_pid_(::getpid()),
      failover_(std::chrono::seconds(options.failback_after_s)),
      delivery_(options),
      memory_(static_cast<std::size_t>(options.max_held_bytes_per_user)),
      allowed_(options_),
      progress_(options.workers + options.lookup_threads, std::chrono::seconds(options.hung_after_s)),
      watchdog_(&progress_),
      lookup_(options.lookup_threads, &progress_, options.workers),
      scheduler_(options.queue_limit, options.operation_queue_limit),
      ids_(random_keys().words) {}

comm_dir_service::~comm_dir_service() { stop(); }

RETCODE comm_dir_service::start() {
  comm_dir_ldap_initialize();
  if (!delivery_.start()) {
    SERVICE_TRACE("cannot start the thread that delivers kept replies");
    return ENOMEM;
  }
  if (!loop_.start() || !lookup_.start()) return ENOMEM;
  for (int i = 0; i < options_.workers; ++i) workers_.emplace_back(&comm_dir_service::work, this, i);
  reclaimer_ = std::thread(&comm_dir_service::reclaim, this);
  RETCODE rc = comm_dir_callback_client::start(&allowed_);
  if (rc != 0) {
    SERVICE_TRACE("cannot start %s: %#lx", COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER, trace_code(rc));
    stop();
    return rc;
  }
  s_running_.store(this, std::memory_order_release);
  // Open to every user: the allow list, not the platform, decides whom the
  // daemon serves, so that a refused user gets a refusal and does not wait.
  rc = commdir_posix_ipc_start_open_server(COMM_DIR_SERVICE_SERVER_NAME, COMM_DIR_IPC_ID_SERVICE,
                                           COMM_DIR_IPC_STACK_SIZE, &comm_dir_service::receive);
  if (rc != 0) {
    SERVICE_TRACE("cannot start %s: %#lx", COMM_DIR_SERVICE_SERVER_NAME, trace_code(rc));
    s_running_.store(nullptr, std::memory_order_release);
    comm_dir_callback_client::stop();
    stop();
    return rc;
  }
  SERVICE_TRACE("serving %s with %d workers", COMM_DIR_SERVICE_SERVER_NAME, options_.workers);
  watchdog_.ready(std::string("serving ") + COMM_DIR_SERVICE_SERVER_NAME + " with " + std::to_string(options_.workers) +
                  " workers");
  return 0;
}

void comm_dir_service::stop() {
  if (workers_.empty()) return;
  watchdog_.stop();
  stopping_.store(true, std::memory_order_release);
  if (s_running_.load(std::memory_order_acquire) == this) {
    RETCODE rc = emwGENIpcRequestAdmin(COMM_DIR_SERVICE_SERVER_NAME, GEN_IPC_ADMIN_STOP);
    if (rc != 0) SERVICE_TRACE("stopping %s failed: %#lx", COMM_DIR_SERVICE_SERVER_NAME, trace_code(rc));
    s_running_.store(nullptr, std::memory_order_release);
    comm_dir_callback_client::stop();
  }
  {
    commdir_sync::unique_lock lock(mu_);
    idle_cv_.wait(lock, [this]() REQUIRES(mu_) { return scheduler_.idle(); });
    quit_ = true;
  }
  work_cv_.notify_all();
  quit_cv_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  if (reclaimer_.joinable()) reclaimer_.join();
  lookup_.stop();
  loop_.stop();
  delivery_.stop();
  std::unordered_map<UINT, std::shared_ptr<operation_entry>> ended;
  {
    commdir_sync::lock_guard lock(mu_);
    ended.swap(operations_);
  }
  SERVICE_TRACE("stopped; %zu operations ended", ended.size());
}

// The allow list is not read again here: it comes from the command line,
// which a signal cannot change, but for the members of --allow-group, and
// the receiving thread and the callback reply server read it on every
// message without a lock. Restart the daemon to read the group again.
void comm_dir_service::hang_up() {
  SERVICE_TRACE("SIGHUP: reopening the trace file");
  commdir_posix_trace_reopen();
  SERVICE_TRACE("SIGHUP: trace file reopened");
}

RETCODE comm_dir_service::receive(char* rcvbuf, char* /*sndbuf*/, int* size) {
  if (size != nullptr) *size = 0;
  comm_dir_service* service = s_running_.load(std::memory_order_acquire);
  if (service == nullptr || rcvbuf == nullptr) return -1;
  comm_dir_sender sender;
  if (commdir_posix_ipc_sender(&sender.uid, &sender.gid, &sender.pid) != 0) {
    SERVICE_TRACE("dropped a request that came without its sender's credentials");
    return -1;
  }
  comm_dir_progress& progress = service->progress_;
  if (sender.pid == service->own_pid_) {  // the kernel's pid: only the watchdog of this process sends from it
    progress.probe_arrived(read_word(rcvbuf, comm_dir_watchdog::kProbeNumberOffset));
    return 0;
  }
  progress.begin(comm_dir_progress::kReceiver);
  RETCODE rc = 0;
  try {
    const comm_dir_reply_delivery::no_wait_scope serving_everyone;
    service->take(rcvbuf, sender);
  } catch (const std::exception& e) {
    SERVICE_TRACE("request lost: %s", e.what());
    rc = -1;
  }
  progress.end(comm_dir_progress::kReceiver);
  return rc;
}

void comm_dir_service::take(const char* message, const comm_dir_sender& sender) {
  std::unique_ptr<comm_dir_request> request(new comm_dir_request);
  const std::size_t received = read_word(message, GEN_IPC_HDR_LENGTH_OFFSET);
  std::size_t travelled = received;
  commdir_posix_ipc_received(&travelled);  // left as it is outside a dispatch
  const comm_dir_verdict verdict = comm_dir_decode_request(message, received, request.get(), travelled);
  if (verdict == comm_dir_verdict::kDrop) {
    refused_bad_input_.fetch_add(1, std::memory_order_relaxed);
    SERVICE_TRACE("dropped a message of %zu bytes: %s", received, request->drop_reason);
    return;
  }
  request->sender = sender;
  if (!allowed_.admits(sender)) {
    refused_not_allowed_.fetch_add(1, std::memory_order_relaxed);
    SERVICE_TRACE("refused function id %u from %s, pid %ld uid %ld gid %ld: %#lx (not an allowed user)",
                  request->route.type, request->route.reply_server_name, static_cast<long>(sender.pid),
                  static_cast<long>(sender.uid), static_cast<long>(sender.gid), trace_code(COMM_DIR_SVC_NOT_ALLOWED));
    answer(*request, COMM_DIR_SVC_NOT_ALLOWED);
    return;
  }
  if (verdict == comm_dir_verdict::kRefuse) {
    refused_bad_input_.fetch_add(1, std::memory_order_relaxed);
    SERVICE_TRACE("refused function id %u from %s: %#lx", request->route.type, request->route.reply_server_name,
                  trace_code(request->refusal));
  }
  if (verdict == comm_dir_verdict::kServe && request->function_id == COMM_DIR_FUNC_DAEMON_STATUS) {
    answer_status(*request);
    return;
  }
  if (verdict == comm_dir_verdict::kServe && serve_from_memory(&request)) return;
  if (!queue(&request)) {
    refused_busy_.fetch_add(1, std::memory_order_relaxed);
    SERVICE_TRACE("busy: function id %u from %s answered %#lx", request->route.type, request->route.reply_server_name,
                  trace_code(COMM_DIR_SVC_BUSY));
    answer(*request, COMM_DIR_SVC_BUSY);
  }
}

// Queues `request` behind its operation or for any worker. Returns false,
// leaving the request with the caller, when the queue it belongs in is full.
bool comm_dir_service::queue(std::unique_ptr<comm_dir_request>* request) {
  commdir_sync::unique_lock lock(mu_);
  comm_dir_request& taken = **request;
  std::shared_ptr<operation_entry> entry;
  const bool names_operation = taken.refusal == 0 && comm_dir_names_operation(taken.function_id);
  if (names_operation) entry = senders_operation(taken);
  if (!scheduler_.queue(request, entry)) return false;
  if (names_operation && entry == nullptr) {  // refused by a worker, in its turn
    taken.refusal = COMM_DIR_SVC_UNKNOWN_OPERATION;
    refused_bad_input_.fetch_add(1, std::memory_order_relaxed);
  }
  lock.unlock();
  work_cv_.notify_one();
  return true;
}

// The operation that `request` names, when its sender's user opened it:
// another user's operation is no operation of this sender's. Null otherwise.
std::shared_ptr<comm_dir_service::operation_entry> comm_dir_service::senders_operation(
    const comm_dir_request& request) const {
  auto it = operations_.find(request.operation_id);
  if (it == operations_.end() || it->second->user() != request.sender.uid) return nullptr;
  return it->second;
}

// Serves `request` at once on the calling (receiving) thread when its
// operation answers it from memory and is free: no worker holds it and none
// of its requests waits, so the order of its requests is kept. The request is
// put in the operation's queue and counted as running, as a worker would
// have it, so that done(), stop() and the reclaimer see it the same way.
// Returns false, leaving the request with the caller, otherwise.
bool comm_dir_service::serve_from_memory(std::unique_ptr<comm_dir_request>* request) {
  comm_dir_request& taken = **request;
  if (taken.refusal != 0 || !comm_dir_names_operation(taken.function_id)) return false;
  std::shared_ptr<operation_entry> entry;
  {
    commdir_sync::lock_guard lock(mu_);
    entry = senders_operation(taken);
    if (entry == nullptr || scheduler_.held(*entry) || entry->operation == nullptr ||
        !entry->operation->answers_from_memory(taken.function_id))
      return false;
    scheduler_.take_now(request, *entry);
  }
  in_service service(this);
  service.entry = std::move(entry);
  service.serving = &taken;
  serve_guarded(service, taken);
  return true;
}

void comm_dir_service::work(int worker) {
  runnable next;
  while (next_runnable(&next)) {
    progress_.begin(worker);
    if (next.resumed != nullptr) {
      go_on(std::unique_ptr<in_service>(next.resumed));
    } else {
      in_service service(this);
      service.entry = std::static_pointer_cast<operation_entry>(std::move(next.of));
      service.request = std::move(next.request);
      service.serving = next.serving;
      serve_guarded(service, *next.serving);
    }
    progress_.end(worker);
    next = runnable{};
  }
}

// serve(), with a failure to allocate answered rather than lost. The
// request is done() with, unless it waits.
void comm_dir_service::serve_guarded(in_service& service, comm_dir_request& request) {
  try {
    serve(service, request);
  } catch (const std::exception& e) {
    give_up(service, e);
  }
}

// A request whose service failed for lack of memory: answered so, unless
// its answer went already, and done with.
void comm_dir_service::give_up(in_service& service, const std::exception& e) {
  comm_dir_request& request = *service.serving;
  SERVICE_TRACE("serving function id %d failed: %s", request.function_id, e.what());
  if (!service.replied) answer(request, COMM_DIR_SVC_NO_MEMORY);
  done(service);
}

// Waits for the next piece of work; false once the service quits.
bool comm_dir_service::next_runnable(runnable* next) {
  commdir_sync::unique_lock lock(mu_);
  work_cv_.wait(lock, [this]() REQUIRES(mu_) { return quit_ || scheduler_.has_work(); });
  return scheduler_.next(next);
}

// Once its reply is made, a request leaves its operation's lane (the
// request itself lives on in `service`), which goes on with its next.
// Once per request.
void comm_dir_service::release(in_service& service) {
  if (service.released) return;
  service.released = true;
  if (service.entry == nullptr) return;
  bool more = false;
  {
    commdir_sync::lock_guard lock(mu_);
    more = scheduler_.release(service.entry, &service.request);
  }
  if (more) work_cv_.notify_one();
}

// After a request, its reply sent (or not made).
void comm_dir_service::done(in_service& service) {
  release(service);
  commdir_sync::unique_lock lock(mu_);
  unreserve(service);
  scheduler_.done();
  const bool idle = scheduler_.idle();
  lock.unlock();
  if (idle) idle_cv_.notify_all();
}

void comm_dir_service::serve(in_service& service, comm_dir_request& request) {
  if (request.refusal == 0 && may_wait(request)) return advance(service, nullptr, begin_waiting(service, request));
  comm_dir_reply reply(request.route, request.sender.uid);
  if (!reply.ok()) {
    SERVICE_TRACE("no memory for the reply to %s", request.route.reply_server_name);
    return done(service);
  }
  if (request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION)
    reply.body().body.info = request.record.check_connection.info;
  const RETCODE code = request.refusal != 0 ? request.refusal : handle(service, request, reply);
  if (code == COMM_DIR_SVC_BUSY) {
    refused_busy_.fetch_add(1, std::memory_order_relaxed);  // the operation table is full
  } else if (request.refusal == 0) {
    served_.fetch_add(1, std::memory_order_relaxed);
  }
  release(service);
  finish_reply(request, code, reply);
  if (code == 0 && request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION &&
      request.record.check_connection.test_mode == COMM_DIR_TEST_MODE_CALLBACK)
    return begin_report(service);
  done(service);
}

// Searches and walks wait on the server, starts and connection tests on
// the connection and bind; a test by callback is answered at once, and its
// waits come after its answer (begin_report).
bool comm_dir_service::may_wait(const comm_dir_request& request) {
  switch (request.function_id) {
    case COMM_DIR_FUNC_CHECK_CONNECTION:
      return request.record.check_connection.test_mode != COMM_DIR_TEST_MODE_CALLBACK;
    case COMM_DIR_FUNC_START_OPERATION:
    case COMM_DIR_FUNC_SEARCH:
    case COMM_DIR_FUNC_GET_FIRST_ENTRY:
    case COMM_DIR_FUNC_GET_NEXT_ENTRY: return true;
    default: return false;
  }
}

// Answers `request` with `code` and nothing else.
void comm_dir_service::answer(const comm_dir_request& request, RETCODE code) {
  comm_dir_reply reply(request.route, request.sender.uid);
  if (!reply.ok()) {
    SERVICE_TRACE("no memory for the reply to %s", request.route.reply_server_name);
    return;
  }
  if (request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION)
    reply.body().body.info = request.record.check_connection.info;
  finish_reply(request, code, reply);
}

void comm_dir_service::finish_reply(const comm_dir_request& request, RETCODE code, comm_dir_reply& reply) {
  reply.set_result(code);
  if (request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION) {
    COMM_DIR_TEST_CONNECTION_INFO& info = reply.body().body.info;
    // The test's echo carries the record back, the bind DN included, but
    // never the password: it goes to the LDAP server and nowhere else.
    comm_dir_wipe_password(info.bind);
    info.result = code;
    if (code != 0 && info.diagnostic[0] == '\0') comm_dir_set_diagnostic(&info, comm_dir_result_message(code));
  }
  const bool sent = reply.send(delivery_);
  if (options_.debug) {
    SERVICE_TRACE("function id %u, operation %#x, from %s: %#lx%s", request.route.type, request.operation_id,
                  request.route.reply_server_name, trace_code(code), sent ? "" : " (reply not delivered)");
  }
}

RETCODE comm_dir_service::handle(in_service& service, const comm_dir_request& request, comm_dir_reply& reply) {
  RETCODE refusal = 0;
  switch (request.function_id) {
    case COMM_DIR_FUNC_CHECK_CONNECTION:  // by callback: reported later, once there is room for it
      if (stopping()) return COMM_DIR_SVC_SHUTTING_DOWN;
      return reserve(service, false, &refusal) ? 0 : refusal;
    default: return handle_operation(*service.entry, request, reply);
  }
}

RETCODE comm_dir_service::handle_operation(operation_entry& entry, const comm_dir_request& request,
                                           comm_dir_reply& reply) {
  if (entry.operation == nullptr) return COMM_DIR_SVC_UNKNOWN_OPERATION;  // ended by a request before this one
  comm_dir_operation& operation = *entry.operation;
  std::string name;
  RETCODE code = 0;
  switch (request.function_id) {
    case COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE:
      code = operation.first_attribute(&name);
      comm_dir_put_attribute(name, reply);
      return code;
    case COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE:
      code = operation.next_attribute(&name);
      comm_dir_put_attribute(name, reply);
      return code;
    case COMM_DIR_FUNC_END_OPERATION: return end_operation(entry, request.operation_id);
    case COMM_DIR_FUNC_FREE_MSG: operation.free_result(); return 0;
    default: return comm_dir_serve_value(operation, request, reply);
  }
}

}  // namespace velmarosta
