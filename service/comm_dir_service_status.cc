// The status request, answered from memory on the receiving thread.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_service.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {

// Answers a status request from memory, on the receiving thread.
void comm_dir_service::answer_status(const comm_dir_request& request) {
  comm_dir_reply reply(request.route, request.sender.uid);
  if (!reply.ok()) {
    SERVICE_TRACE("no memory for the reply to %s", request.route.reply_server_name);
    return;
  }
  try {
    const std::string text = comm_dir_format_status(gather_status(request.sender.uid),
                                                    static_cast<COMM_DIR_STATUS_FORMAT>(request.record.status.format));
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
    commdir_sync::lock_guard lock(mu_);
    status.workers_busy = scheduler_.running() - parked_;
    status.queued = scheduler_.waiting();
    status.operations_open = operations_.size();
    for (const auto& [id, entry] : operations_) {
      if (!status.view.shows(entry->user())) continue;
      ++status.operations_by_user[entry->user()];
      status.requesters.push_back({id, entry->user(), entry->owner_pid, entry->endpoint});
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
