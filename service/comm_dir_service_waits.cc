// The requests whose work waits on the network or on an application: their
// steps, their hand-over to the event loop or the lookup pool and back to
// the workers, and their answers once the work is done.
#include <exception>
#include <memory>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_reply_contents.h"
#include "service/comm_dir_service.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {

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
    default: break;
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
      commdir_sync::lock_guard lock(mu_);
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

void comm_dir_in_service::woken(bool ended_by_deadline) {
  timed_out = ended_by_deadline;
  service->resume_later(this);
}

// Back to the workers, in its user's turn. On the loop's thread or a lookup
// thread: takes the mutex only.
void comm_dir_service::resume_later(in_service* service) {
  stop_waiting(*service);
  try {
    commdir_sync::lock_guard lock(mu_);
    scheduler_.resume(service->user(), service);
  } catch (const std::exception& e) {
    std::unique_ptr<in_service> held(service);
    return give_up(*held, e);  // answered here, rather than lost
  }
  work_cv_.notify_one();
}

// No longer counted as waiting, as park() counted it.
void comm_dir_service::stop_waiting(in_service& service) {
  commdir_sync::lock_guard lock(mu_);
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
    if (service.opening != nullptr) comm_dir_write_findings(&info, service.opening->findings(), code);
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
    commdir_sync::lock_guard lock(mu_);
    unreserve(service);
  }
  release(service);
  finish_reply(request, code, reply);
  done(service);
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
  comm_dir_write_findings(&info, service.opening->findings(), code);
  service.opening.reset();
  comm_dir_wipe_password(asked.bind);  // no longer needed while the report waits
  service.report = std::make_unique<comm_dir_callback_report>(info, code, service.user(), options_.callback_timeout_ms);
  service.under_way = service.report.get();
  comm_dir_wipe_password(info.bind);
  return service.report->begin();
}

}  // namespace velmarosta
