// The operation table: the room to open one more connection, an
// operation's entry once it is open, its end, and the reclaimer that ends the
// operations of processes that have ended and the idle ones.
#include <algorithm>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_ldap_session.h"
#include "service/comm_dir_service.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {

// An operation whose connection stood: into the table, in the place that
// its start reserved.
RETCODE comm_dir_service::opened(in_service& service, const comm_dir_request& request, RETCODE code,
                                 comm_dir_reply& reply) {
  if (code != 0) return code;
  auto entry = std::make_shared<operation_entry>(request.sender.uid);
  entry->owner = service.owner;
  entry->owner_pid = request.sender.pid;
  entry->endpoint = request.route.reply_server_name;
  entry->operation.reset(new comm_dir_operation(
      service.opening->take(), comm_dir_network_timeout_ms(request.record.start_operation.connect, options_), options_,
      &memory_, request.sender.uid, &failover_, service.opening->reopen()));
  commdir_sync::lock_guard lock(mu_);
  unreserve(service);
  UINT id = ids_.next();
  operations_.emplace(id, std::move(entry));
  reply.body().body.reply.word = id;
  return 0;
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
// start is an LDAP connection, which costs far more.
RETCODE comm_dir_service::room_to_open(uid_t user, bool operation) const {
  const std::size_t most = static_cast<std::size_t>(options_.max_operations);
  const std::size_t share = static_cast<std::size_t>(options_.max_operations_per_user);
  auto it = opening_by_user_.find(user);
  const std::size_t opening = it == opening_by_user_.end() ? 0 : it->second;
  if (!operation) return opening_ >= most || opening >= share ? COMM_DIR_SVC_BUSY : 0;
  if (operations_.size() + opening_ >= most) return COMM_DIR_SVC_BUSY;
  const auto held =
      static_cast<std::size_t>(std::count_if(operations_.begin(), operations_.end(), [user](const auto& operation) {
        return operation.second->user() == user;
      }));
  return held + opening >= share ? COMM_DIR_SVC_USER_LIMIT : 0;
}

// Reserves the place of one connection of the service's user (see
// room_to_open), until done() or opened(); false with *refusal when there
// is none.
bool comm_dir_service::reserve(in_service& service, bool operation, RETCODE* refusal) {
  commdir_sync::lock_guard lock(mu_);
  *refusal = room_to_open(service.user(), operation);
  if (*refusal != 0) return false;
  ++opening_by_user_[service.user()];
  ++opening_;
  service.reserved = true;
  return true;
}

void comm_dir_service::unreserve(in_service& service) {
  if (!service.reserved) return;
  service.reserved = false;
  auto it = opening_by_user_.find(service.user());
  if (--it->second == 0) opening_by_user_.erase(it);
  --opening_;
}

RETCODE comm_dir_service::end_operation(operation_entry& entry, UINT operation_id) {
  entry.operation.reset();  // unbinds
  commdir_sync::lock_guard lock(mu_);
  operations_.erase(operation_id);
  return 0;
}

// Every reclaim interval: finds the operations whose process has ended
// (reading /proc outside the lock), then takes out of the table those and
// the idle ones, if no worker holds them, and ends them (unbinding) outside
// the lock. A request that comes later finds no such operation.
void comm_dir_service::reclaim() {
  const auto interval = std::chrono::milliseconds(options_.reclaim_interval_ms);
  commdir_sync::unique_lock lock(mu_);
  while (!quit_cv_.wait_for(lock, interval, [this]() REQUIRES(mu_) { return quit_; })) {
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
std::vector<std::pair<UINT, comm_dir_client_process>> comm_dir_service::owners_of_unscheduled() {
  std::vector<std::pair<UINT, comm_dir_client_process>> owners;
  for (const auto& [id, entry] : operations_) {
    if (!scheduler_.held(*entry) && entry->owner.pid != 0) owners.emplace_back(id, entry->owner);
  }
  return owners;
}

// Takes out of the table the `orphans` and the idle operations that no
// worker holds (one may have been scheduled since it was found).
std::vector<std::shared_ptr<comm_dir_service::operation_entry>> comm_dir_service::take_reclaimable(
    const std::vector<UINT>& orphans) {
  std::vector<std::shared_ptr<operation_entry>> taken;
  auto take = [&](decltype(operations_)::iterator it) REQUIRES(mu_) {
    taken.push_back(std::move(it->second));
    return operations_.erase(it);
  };
  for (UINT id : orphans) {
    auto it = operations_.find(id);
    if (it == operations_.end() || scheduler_.held(*it->second)) continue;
    SERVICE_TRACE("operation %#x of pid %ld, which has ended: ended", id, static_cast<long>(it->second->owner.pid));
    take(it);
  }
  if (options_.idle_timeout_s == 0) return taken;
  const auto limit = std::chrono::seconds(options_.idle_timeout_s);
  const auto now = std::chrono::steady_clock::now();
  for (auto it = operations_.begin(); it != operations_.end();) {
    if (!scheduler_.held(*it->second) && now - scheduler_.last_used(*it->second) > limit) {
      SERVICE_TRACE("operation %#x idle for %d s: ended", it->first, options_.idle_timeout_s);
      it = take(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace velmarosta
