#include "service/comm_dir_failover.h"

#include <algorithm>
#include <numeric>
#include <sstream>

namespace velmarosta {

std::vector<std::string> comm_dir_failover::split(const std::string& uris) {
  std::istringstream words(uris);
  std::vector<std::string> list;
  for (std::string uri; words >> uri;) list.push_back(uri);
  return list;
}

std::vector<std::size_t> comm_dir_failover::order(uid_t user, const std::string& uris, std::size_t count,
                                                  clock::time_point now) {
  std::vector<std::size_t> indexes(count);
  std::iota(indexes.begin(), indexes.end(), 0);
  commdir_sync::lock_guard lock(mu_);
  auto it = lists_.find(key(user, uris));
  if (it == lists_.end()) return indexes;
  if (it->second.answering >= count || now - it->second.first_failed >= failback_after_) return indexes;
  // The answering URI first, the others behind it in the record's order.
  std::rotate(indexes.begin(), indexes.begin() + static_cast<std::ptrdiff_t>(it->second.answering),
              indexes.begin() + static_cast<std::ptrdiff_t>(it->second.answering) + 1);
  return indexes;
}

void comm_dir_failover::answered(uid_t user, const std::string& uris, std::size_t index, bool first_tried,
                                 clock::time_point now, const comm_dir_uri_failure* failure) {
  commdir_sync::lock_guard lock(mu_);
  if (index == 0) {
    lists_.erase(key(user, uris));
    return;
  }
  const bool known = lists_.count(key(user, uris)) != 0;
  failed_over& list = entry(user, uris, now);
  list.answering = index;
  // Only an attempt that tried the first URI and found it down starts a new
  // window; the backup answering within the window leaves its start alone.
  if (first_tried || !known) list.first_failed = now;
  if (failure != nullptr) remember(list, *failure);
}

void comm_dir_failover::none_answered(uid_t user, const std::string& uris, const comm_dir_uri_failure& failure,
                                      clock::time_point now) {
  commdir_sync::lock_guard lock(mu_);
  failed_over& list = entry(user, uris, now);
  list.answering = kNone;
  list.first_failed = now;
  remember(list, failure);
}

comm_dir_failover::failed_over& comm_dir_failover::entry(uid_t user, const std::string& uris, clock::time_point now) {
  auto it = lists_.find(key(user, uris));
  if (it != lists_.end()) return it->second;
  make_room(user);
  return lists_.emplace(key(user, uris), failed_over{kNone, now, {}}).first->second;
}

void comm_dir_failover::remember(failed_over& list, const comm_dir_uri_failure& failure) {
  list.last_failure = failure;
  if (list.last_failure.reason.size() > kMaxReason) list.last_failure.reason.resize(kMaxReason);
}

// A user at its cap gives up its own oldest list; otherwise, when the table
// is full, the oldest list of all goes.
void comm_dir_failover::make_room(uid_t user) {
  const auto first = lists_.lower_bound(key(user, std::string()));
  auto end = first;
  std::size_t own = 0;
  for (; end != lists_.end() && end->first.first == user; ++end) ++own;
  if (own >= kMaxListsPerUser) {
    lists_.erase(std::min_element(first, end, older));
  } else if (lists_.size() >= kMaxLists) {
    lists_.erase(std::min_element(lists_.begin(), lists_.end(), older));
  }
}

}  // namespace velmarosta
