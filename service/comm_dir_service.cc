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

bool is_binary_request(int function_id) { return function_id >= COMM_DIR_FUNC_GET_VALUE_BINARY_CNT; }
bool is_count_request(int function_id) {
  return function_id == COMM_DIR_FUNC_GET_VALUE_STRING_CNT || function_id == COMM_DIR_FUNC_GET_VALUE_BINARY_CNT;
}
bool is_length_request(int function_id) {
  return function_id == COMM_DIR_FUNC_GET_VALUE_STRING_LEN || function_id == COMM_DIR_FUNC_GET_VALUE_BINARY_LEN;
}

// Answers a value request (ids 5 to 10) from the attribute's values.
RETCODE serve_value(comm_dir_operation& operation, const comm_dir_request& request, comm_dir_reply& reply) {
  comm_dir_values values;
  RETCODE code = operation.values(request.record.value_count.attribute, &values);
  if (code != 0) return code;
  const int function_id = request.function_id;
  UINT& word = reply.body().body.reply.word;
  if (is_count_request(function_id)) {
    word = static_cast<UINT>(values.count);
    return 0;
  }
  const UINT index = request.record.value.value_index;
  if (index >= static_cast<UINT>(values.count)) {
    // A value request past the last value says "no value" in its reply
    // word; a length request has no such word and fails.
    return is_length_request(function_id) ? COMM_DIR_SVC_NO_SUCH_VALUE : 0;
  }
  const berval& value = *values.values[index];
  const bool binary = is_binary_request(function_id);
  if (value.bv_len > (binary ? COMM_DIR_MAX_BINARY_VALUE : COMM_DIR_MAX_STRING_VALUE)) {
    // Refused whole, never cut. The refusal of a length request still says
    // the length (a reader that leaves the value out can name its size);
    // the library reads no word of a refusal.
    if (is_length_request(function_id)) word = static_cast<UINT>(std::min<ber_len_t>(value.bv_len, UINT_MAX));
    return COMM_DIR_SVC_VALUE_TOO_LARGE;
  }
  const UINT length = static_cast<UINT>(value.bv_len);
  if (is_length_request(function_id)) {
    word = length;
    return 0;
  }
  word = COMM_DIR_REPLY_WORD_PRESENT;
  // A string's NUL is already there: the reply is zero-filled.
  char* data = reply.data(binary ? sizeof length + length : length + 1);
  if (binary) {
    std::memcpy(data, &length, sizeof length);
    data += sizeof length;
  }
  std::memcpy(data, value.bv_val, length);
  return 0;
}

// Puts an attribute name (or none, when empty) into a reply of id 3 or 4.
void put_attribute(const std::string& name, comm_dir_reply& reply) {
  if (name.empty()) return;
  reply.body().body.reply.word = COMM_DIR_REPLY_WORD_PRESENT;
  std::memcpy(reply.data(name.size() + 1), name.c_str(), name.size() + 1);
}

// Copies `text` into a connection test's diagnostic field, cut to fit.
void set_diagnostic(COMM_DIR_TEST_CONNECTION_INFO* info, const std::string& text) {
  std::snprintf(info->diagnostic, sizeof info->diagnostic, "%s", text.c_str());
}

// What a connection test found, and its code, into its record.
void write_findings(COMM_DIR_TEST_CONNECTION_INFO* info, const comm_dir_ldap_findings& findings, RETCODE code) {
  info->reachable = findings.reachable ? 1 : 0;
  info->bind_accepted = findings.bind_accepted ? 1 : 0;
  info->ldap_result = findings.ldap_result;
  info->result = code;
  set_diagnostic(info, findings.diagnostic.empty() ? comm_dir_result_message(code) : findings.diagnostic);
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
    std::unique_lock<std::mutex> lock(mu_);
    idle_cv_.wait(lock, [this] { return waiting_ == 0 && running_ == 0; });
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
    std::lock_guard<std::mutex> lock(mu_);
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
  std::unique_lock<std::mutex> lock(mu_);
  if (waiting_ >= options_.queue_limit) return false;
  comm_dir_request& taken = **request;
  std::shared_ptr<operation_entry> entry;
  if (taken.refusal == 0 && comm_dir_names_operation(taken.function_id)) {
    entry = senders_operation(taken);
    if (entry == nullptr) {
      taken.refusal = COMM_DIR_SVC_UNKNOWN_OPERATION;
      refused_bad_input_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  const uid_t user = taken.sender.uid;
  if (entry == nullptr) {
    ready_.push(user, runnable{nullptr, std::move(*request)});
  } else {
    if (entry->queue.size() >= static_cast<std::size_t>(options_.operation_queue_limit)) return false;
    entry->queue.push_back(std::move(*request));
    if (!entry->scheduled) {
      entry->scheduled = true;
      ready_.push(user, runnable{entry, nullptr});
    }
  }
  ++waiting_;
  lock.unlock();
  work_cv_.notify_one();
  return true;
}

// The operation that `request` names, when its sender's user opened it:
// another user's operation is no operation of this sender's. Null otherwise.
// Call with mu_ held.
std::shared_ptr<comm_dir_service::operation_entry> comm_dir_service::senders_operation(
    const comm_dir_request& request) const {
  auto it = operations_.find(request.operation_id);
  if (it == operations_.end() || it->second->owner_uid != request.sender.uid) return nullptr;
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
    std::lock_guard<std::mutex> lock(mu_);
    entry = senders_operation(taken);
    if (entry == nullptr || entry->scheduled || entry->operation == nullptr ||
        !entry->operation->answers_from_memory(taken.function_id))
      return false;
    entry->queue.push_back(std::move(*request));
    entry->scheduled = true;
    ++running_;
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
      service.entry = std::move(next.entry);
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
  std::unique_lock<std::mutex> lock(mu_);
  work_cv_.wait(lock, [this] { return quit_ || !ready_.empty(); });
  if (!ready_.pop(next)) return false;
  if (next->resumed != nullptr) return true;  // counted as running all along
  next->serving = next->entry != nullptr ? next->entry->queue.front().get() : next->request.get();
  --waiting_;
  ++running_;
  return true;
}

// Once its reply is made, a request leaves its operation's queue (the
// request itself lives on in `service`) and, when more wait there, the
// operation goes back to the end of the ready queue (so that one busy
// operation does not starve the others). Once per request.
void comm_dir_service::release(in_service& service) {
  if (service.released) return;
  service.released = true;
  if (service.entry == nullptr) return;
  operation_entry& entry = *service.entry;
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    entry.last_used = std::chrono::steady_clock::now();
    service.request = std::move(entry.queue.front());
    entry.queue.pop_front();
    if (entry.queue.empty()) {
      entry.scheduled = false;
    } else {
      ready_.push(entry.owner_uid, runnable{service.entry, nullptr});
      more = true;
    }
  }
  if (more) work_cv_.notify_one();
}

// After a request, its reply sent (or not made).
void comm_dir_service::done(in_service& service) {
  release(service);
  std::unique_lock<std::mutex> lock(mu_);
  unreserve(service);
  --running_;
  const bool idle = waiting_ == 0 && running_ == 0;
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
  if (request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION) reply.body().body.info = request.record.check_connection.info;
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
    case COMM_DIR_FUNC_GET_NEXT_ENTRY:
      return true;
    default:
      return false;
  }
}

comm_dir_step comm_dir_service::begin_waiting(in_service& service, const comm_dir_request& request) {
  RETCODE refusal = 0;
  switch (request.function_id) {
    case COMM_DIR_FUNC_CHECK_CONNECTION: {
      if (stopping()) return comm_dir_step::finished(COMM_DIR_SVC_SHUTTING_DOWN);
      if (!reserve(service, false, &refusal)) return comm_dir_step::finished(refusal);
      const COMM_DIR_TEST_CONNECTION_INFO& info = request.record.check_connection.info;
      return begin_opening(service, info.connect, info.bind_present, info.bind);
    }
    case COMM_DIR_FUNC_START_OPERATION: {
      if (stopping()) return comm_dir_step::finished(COMM_DIR_SVC_SHUTTING_DOWN);
      if (!reserve(service, true, &refusal)) return comm_dir_step::finished(refusal);
      // Identified before the connection, which may take long: the sender is
      // then most likely still there, and its pid not yet another's.
      service.owner = comm_dir_identify_process(request.sender.pid);
      const COMM_DIR_START_OPERATION_REQUEST& start = request.record.start_operation;
      return begin_opening(service, start.connect, start.bind_present, start.bind);
    }
    default:
      break;
  }
  comm_dir_operation* operation = service.entry->operation.get();
  if (operation == nullptr) return comm_dir_step::finished(COMM_DIR_SVC_UNKNOWN_OPERATION);  // ended before
  service.under_way = operation;
  if (request.function_id == COMM_DIR_FUNC_SEARCH) return operation->search(request.record.search);
  return request.function_id == COMM_DIR_FUNC_GET_FIRST_ENTRY ? operation->first_entry() : operation->next_entry();
}

comm_dir_step comm_dir_service::begin_opening(in_service& service, const COMM_DIR_CONNECT_INFO& connect,
                                              UINT bind_present, const COMM_DIR_BIND_INFO& bind) {
  service.opening = std::make_unique<comm_dir_ldap_opening>(connect, bind_present != 0 ? &bind : nullptr,
                                                            service.user(), options_, &failover_);
  service.under_way = service.opening.get();
  return service.opening->begin();
}

// Takes steps while they are done at once, then hands the wait over: the
// service moves to the heap then (`held` owns it already when it is there),
// so that a request done at once, an answer from memory among them, costs
// no allocation.
void comm_dir_service::advance(in_service& service, std::unique_ptr<in_service> held, comm_dir_step step) {
  try {
    while (step.done()) {
      if (!next_stage(service, step.code, &step)) return;
    }
    if (held == nullptr) held.reset(new in_service(std::move(service)));
  } catch (const std::exception& e) {
    return give_up(service, e);
  }
  park(std::move(held), step.wait);
}

void comm_dir_service::go_on(std::unique_ptr<in_service> service) {
  comm_dir_step step;
  try {
    step = service->under_way->resume(service->timed_out);
  } catch (const std::exception& e) {
    return give_up(*service, e);
  }
  in_service& resumed = *service;
  advance(resumed, std::move(service), step);
}

// What follows once the work under way is done with `code`: the answer
// (false: the request is done with), or for a test by callback its report
// (true, with its first step in *step).
bool comm_dir_service::next_stage(in_service& service, RETCODE code, comm_dir_step* step) {
  if (!service.replied) {
    answer_waited(service, code);
    return false;
  }
  if (service.report == nullptr) {
    *step = report_test(service, code);
    return true;
  }
  if (!service.report->answered()) callbacks_unanswered_.fetch_add(1, std::memory_order_relaxed);
  done(service);
  return false;
}

// Counted as waiting, then the loop's or the lookup pool's until woken().
void comm_dir_service::park(std::unique_ptr<in_service> service, const comm_dir_wait& wait) {
  in_service* held = service.get();
  held->waiting_on = wait.what;
  bool counted = false;
  try {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++waiting_by_user_[held->user()][static_cast<std::size_t>(wait.what)];
      ++parked_;
      counted = true;
    }
    if (wait.kind == comm_dir_wait::on::kBlocking) {
      lookup_.push(held->user(), [held] {
        held->under_way->blocking_step();
        held->woken(false);
      });
    } else {
      loop_.add(wait, held);
    }
  } catch (const std::exception& e) {
    if (counted) stop_waiting(*held);
    return give_up(*held, e);
  }
  service.release();
}

void comm_dir_service::in_service::woken(bool ended_by_deadline) {
  timed_out = ended_by_deadline;
  service->resume_later(this);
}

// Back to the workers, in its user's turn. On the loop's thread or a lookup
// thread: takes the mutex only.
void comm_dir_service::resume_later(in_service* service) {
  stop_waiting(*service);
  try {
    std::lock_guard<std::mutex> lock(mu_);
    ready_.push(service->user(), runnable{nullptr, nullptr, service});
  } catch (const std::exception& e) {
    std::unique_ptr<in_service> held(service);
    return give_up(*held, e);  // answered here, rather than lost
  }
  work_cv_.notify_one();
}

// No longer counted as waiting, as park() counted it.
void comm_dir_service::stop_waiting(in_service& service) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = waiting_by_user_.find(service.user());
  --it->second[static_cast<std::size_t>(service.waiting_on)];
  --parked_;
  if (it->second == wait_counts{}) waiting_by_user_.erase(it);
}

// The reply to a request whose work waited, with what that work found.
void comm_dir_service::answer_waited(in_service& service, RETCODE code) {
  const comm_dir_request& request = *service.serving;
  comm_dir_reply reply(request.route, request.sender.uid);
  if (!reply.ok()) {
    SERVICE_TRACE("no memory for the reply to %s", request.route.reply_server_name);
    return done(service);
  }
  if (request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION) {
    COMM_DIR_TEST_CONNECTION_INFO& info = reply.body().body.info;
    info = request.record.check_connection.info;
    if (service.opening != nullptr) write_findings(&info, service.opening->findings(), code);
  }
  if (request.function_id == COMM_DIR_FUNC_START_OPERATION) code = opened(service, request, code, reply);
  if (code == COMM_DIR_SVC_BUSY) {
    refused_busy_.fetch_add(1, std::memory_order_relaxed);  // the operation table is full
  } else {
    served_.fetch_add(1, std::memory_order_relaxed);
  }
  service.opening.reset();
  {
    // Its place is free before the answer goes: the caller may ask again
    // at once.
    std::lock_guard<std::mutex> lock(mu_);
    unreserve(service);
  }
  release(service);
  finish_reply(request, code, reply);
  done(service);
}

// An operation whose connection stood: into the table, in the place that
// its start reserved.
RETCODE comm_dir_service::opened(in_service& service, const comm_dir_request& request, RETCODE code,
                                 comm_dir_reply& reply) {
  if (code != 0) return code;
  auto entry = std::make_shared<operation_entry>();
  entry->owner_uid = request.sender.uid;
  entry->owner = service.owner;
  entry->owner_pid = request.sender.pid;
  entry->endpoint = request.route.reply_server_name;
  entry->operation.reset(new comm_dir_operation(
      service.opening->take(), comm_dir_network_timeout_ms(request.record.start_operation.connect, options_),
      options_, &memory_, request.sender.uid, &failover_, service.opening->reopen()));
  std::lock_guard<std::mutex> lock(mu_);
  unreserve(service);
  UINT id = ids_.next();
  operations_.emplace(id, std::move(entry));
  reply.body().body.reply.word = id;
  return 0;
}

// Answers `request` with `code` and nothing else.
void comm_dir_service::answer(const comm_dir_request& request, RETCODE code) {
  comm_dir_reply reply(request.route, request.sender.uid);
  if (!reply.ok()) {
    SERVICE_TRACE("no memory for the reply to %s", request.route.reply_server_name);
    return;
  }
  if (request.function_id == COMM_DIR_FUNC_CHECK_CONNECTION) reply.body().body.info = request.record.check_connection.info;
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
    if (code != 0 && info.diagnostic[0] == '\0') set_diagnostic(&info, comm_dir_result_message(code));
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
    default:
      return handle_operation(*service.entry, request, reply);
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
      put_attribute(name, reply);
      return code;
    case COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE:
      code = operation.next_attribute(&name);
      put_attribute(name, reply);
      return code;
    case COMM_DIR_FUNC_END_OPERATION:
      return end_operation(entry, request.operation_id);
    case COMM_DIR_FUNC_FREE_MSG:
      operation.free_result();
      return 0;
    default:
      return serve_value(operation, request, reply);
  }
}

// Whether `user` may open one more connection: COMM_DIR_SVC_BUSY when the
// daemon holds --max-operations (open and being opened, connection tests
// under way included), COMM_DIR_SVC_USER_LIMIT when the user would hold
// more than --max-operations-per-user operations (every user counts, the
// daemon's own and root too: the limit keeps a share for the others). A
// connection test (`operation` false) counts against the user's share
// with the user's other tests and starts under way, and is answered busy
// beyond it: a test never had the user limit's code. Counted over the
// table, which holds at most --max-operations entries, rather than kept in
// a counter that every way out of the table would have to keep right; a
// start is an LDAP connection, which costs far more. Call with mu_ held.
RETCODE comm_dir_service::room_to_open(uid_t user, bool operation) const {
  const std::size_t most = static_cast<std::size_t>(options_.max_operations);
  const std::size_t share = static_cast<std::size_t>(options_.max_operations_per_user);
  auto it = opening_by_user_.find(user);
  const std::size_t opening = it == opening_by_user_.end() ? 0 : it->second;
  if (!operation) return opening_ >= most || opening >= share ? COMM_DIR_SVC_BUSY : 0;
  if (operations_.size() + opening_ >= most) return COMM_DIR_SVC_BUSY;
  const auto held = static_cast<std::size_t>(std::count_if(
      operations_.begin(), operations_.end(),
      [user](const auto& operation) { return operation.second->owner_uid == user; }));
  return held + opening >= share ? COMM_DIR_SVC_USER_LIMIT : 0;
}

// Reserves the place of one connection of the service's user (see
// room_to_open), until done() or opened(); false with *refusal when there
// is none.
bool comm_dir_service::reserve(in_service& service, bool operation, RETCODE* refusal) {
  std::lock_guard<std::mutex> lock(mu_);
  *refusal = room_to_open(service.user(), operation);
  if (*refusal != 0) return false;
  ++opening_by_user_[service.user()];
  ++opening_;
  service.reserved = true;
  return true;
}

// Call with mu_ held.
void comm_dir_service::unreserve(in_service& service) {
  if (!service.reserved) return;
  service.reserved = false;
  auto it = opening_by_user_.find(service.user());
  if (--it->second == 0) opening_by_user_.erase(it);
  --opening_;
}

RETCODE comm_dir_service::end_operation(operation_entry& entry, UINT operation_id) {
  entry.operation.reset();  // unbinds
  std::lock_guard<std::mutex> lock(mu_);
  operations_.erase(operation_id);
  return 0;
}

// Every reclaim interval: finds the operations whose process has ended
// (reading /proc outside the lock), then takes out of the table those and
// the idle ones, if no worker holds them, and ends them (unbinding) outside
// the lock. A request that comes later finds no such operation.
void comm_dir_service::reclaim() {
  const auto interval = std::chrono::milliseconds(options_.reclaim_interval_ms);
  std::unique_lock<std::mutex> lock(mu_);
  while (!quit_cv_.wait_for(lock, interval, [this] { return quit_; })) {
    const std::vector<std::pair<UINT, comm_dir_client_process>> owners = owners_of_unscheduled();
    lock.unlock();
    std::vector<UINT> orphans;
    for (const auto& [id, owner] : owners) {
      if (comm_dir_process_ended(owner)) orphans.push_back(id);
    }
    lock.lock();
    std::vector<std::shared_ptr<operation_entry>> ended = take_reclaimable(orphans);
    lock.unlock();
    ended.clear();
    lock.lock();
  }
}

// The operations that no worker holds, with the process that opened each.
// Called with mu_ held.
std::vector<std::pair<UINT, comm_dir_client_process>> comm_dir_service::owners_of_unscheduled() {
  std::vector<std::pair<UINT, comm_dir_client_process>> owners;
  for (const auto& [id, entry] : operations_) {
    if (!entry->scheduled && entry->owner.pid != 0) owners.emplace_back(id, entry->owner);
  }
  return owners;
}

// Takes out of the table the `orphans` and the idle operations that no
// worker holds (one may have been scheduled since it was found). Called with
// mu_ held.
std::vector<std::shared_ptr<comm_dir_service::operation_entry>> comm_dir_service::take_reclaimable(
    const std::vector<UINT>& orphans) {
  std::vector<std::shared_ptr<operation_entry>> taken;
  auto take = [&](decltype(operations_)::iterator it) {
    taken.push_back(std::move(it->second));
    return operations_.erase(it);
  };
  for (UINT id : orphans) {
    auto it = operations_.find(id);
    if (it == operations_.end() || it->second->scheduled) continue;
    SERVICE_TRACE("operation %#x of pid %ld, which has ended: ended", id, static_cast<long>(it->second->owner.pid));
    take(it);
  }
  if (options_.idle_timeout_s == 0) return taken;
  const auto limit = std::chrono::seconds(options_.idle_timeout_s);
  const auto now = std::chrono::steady_clock::now();
  for (auto it = operations_.begin(); it != operations_.end();) {
    if (!it->second->scheduled && now - it->second->last_used > limit) {
      SERVICE_TRACE("operation %#x idle for %d s: ended", it->first, options_.idle_timeout_s);
      it = take(it);
    } else {
      ++it;
    }
  }
  return taken;
}

// After the answer to a test by callback, which reserved its place: the
// test, then its report.
void comm_dir_service::begin_report(in_service& service) {
  service.replied = true;
  const COMM_DIR_TEST_CONNECTION_INFO& info = service.serving->record.check_connection.info;
  comm_dir_step step;
  try {
    step = begin_opening(service, info.connect, info.bind_present, info.bind);
  } catch (const std::exception& e) {
    return give_up(service, e);
  }
  advance(service, nullptr, step);
}

// The test by callback is done with `code`: its report's first step.
comm_dir_step comm_dir_service::report_test(in_service& service, RETCODE code) {
  COMM_DIR_TEST_CONNECTION_INFO& asked = service.serving->record.check_connection.info;
  COMM_DIR_TEST_CONNECTION_INFO info = asked;
  write_findings(&info, service.opening->findings(), code);
  service.opening.reset();
  comm_dir_wipe_password(asked.bind);  // no longer needed while the report waits
  service.report =
      std::make_unique<comm_dir_callback_report>(info, code, service.user(), options_.callback_timeout_ms);
  service.under_way = service.report.get();
  comm_dir_wipe_password(info.bind);
  return service.report->begin();
}

// Answers a status request from memory, on the receiving thread.
void comm_dir_service::answer_status(const comm_dir_request& request) {
  comm_dir_reply reply(request.route, request.sender.uid);
  if (!reply.ok()) {
    SERVICE_TRACE("no memory for the reply to %s", request.route.reply_server_name);
    return;
  }
  try {
    const std::string text = comm_dir_format_status(
        gather_status(request.sender.uid), static_cast<COMM_DIR_STATUS_FORMAT>(request.record.status.format));
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(COMM_DIR_STATUS_TEXT_CAPACITY));
    reply.body().body.reply.word = static_cast<UINT>(length);
    std::memcpy(reply.data(length), text.data(), length);
  } catch (const std::bad_alloc&) {
    finish_reply(request, COMM_DIR_SVC_NO_MEMORY, reply);
    return;
  }
  served_.fetch_add(1, std::memory_order_relaxed);
  finish_reply(request, 0, reply);
}

// The state that `viewer` may see (comm_dir_status.h).
comm_dir_status comm_dir_service::gather_status(uid_t viewer) {
  comm_dir_status status;
  status.view = comm_dir_status_view_of(viewer, ::geteuid());
  status.now = std::chrono::system_clock::now();
  status.steady_now = std::chrono::steady_clock::now();
  status.uptime = std::chrono::duration_cast<std::chrono::seconds>(status.steady_now - started_);
  status.workers = options_.workers;
  status.queue_limit = options_.queue_limit;
  status.max_operations = options_.max_operations;
  {
    std::lock_guard<std::mutex> lock(mu_);
    status.workers_busy = running_ - parked_;
    status.queued = waiting_;
    status.operations_open = operations_.size();
    for (const auto& [id, entry] : operations_) {
      if (!status.view.shows(entry->owner_uid)) continue;
      ++status.operations_by_user[entry->owner_uid];
      status.requesters.push_back({id, entry->owner_uid, entry->owner_pid, entry->endpoint});
    }
    status.waiting = static_cast<std::size_t>(parked_);
    for (const auto& [user, counts] : waiting_by_user_) {
      if (!status.view.shows(user)) continue;
      for (std::size_t what = 0; what < counts.size(); ++what) {
        if (counts[what] != 0)
          status.waiting_by_user[user][comm_dir_waiting_name(static_cast<comm_dir_waiting_on>(what))] = counts[what];
      }
    }
  }
  std::sort(status.requesters.begin(), status.requesters.end(),
            [](const auto& a, const auto& b) { return a.operation_id < b.operation_id; });
  for (const auto& [user, kept] : delivery_.kept_by_user()) {
    if (status.view.shows(user)) status.kept_by_user[user] = kept;
  }
  status.lists = failover_.lists([&status](uid_t user) { return status.view.shows(user); });
  status.counters = comm_dir_status_counters{
      served_.load(std::memory_order_relaxed), refused_busy_.load(std::memory_order_relaxed),
      refused_bad_input_.load(std::memory_order_relaxed), refused_not_allowed_.load(std::memory_order_relaxed),
      callbacks_unanswered_.load(std::memory_order_relaxed)};
  return status;
}

}  // namespace velmarosta
