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

std::vector<std::size_t> comm_dir_failover::order(const std::string& uris, std::size_t count,
                                                   clock::time_point now) {
  std::vector<std::size_t> indexes(count);
  std::iota(indexes.begin(), indexes.end(), 0);
  std::lock_guard<std::mutex> lock(mu_);
  auto it = lists_.find(uris);
  if (it == lists_.end()) return indexes;
  if (it->second.answering >= count || now - it->second.first_failed >= failback_after_) return indexes;
  // The answering URI first, the others behind it in the record's order.
  std::rotate(indexes.begin(), indexes.begin() + static_cast<std::ptrdiff_t>(it->second.answering),
              indexes.begin() + static_cast<std::ptrdiff_t>(it->second.answering) + 1);
  return indexes;
}

void comm_dir_failover::answered(const std::string& uris, std::size_t index, bool first_tried,
                                 clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index == 0) {
    lists_.erase(uris);
    return;
  }
  auto it = lists_.find(uris);
  if (it == lists_.end()) {
    if (lists_.size() >= kMaxLists) evict_oldest();
    lists_.emplace(uris, failed_over{index, now});
    return;
  }
  it->second.answering = index;
  // Only an attempt that tried the first URI and found it down starts a new
  // window; the backup answering within the window leaves its start alone.
  if (first_tried) it->second.first_failed = now;
}

void comm_dir_failover::evict_oldest() {
  auto oldest = std::min_element(lists_.begin(), lists_.end(), [](const auto& a, const auto& b) {
    return a.second.first_failed < b.second.first_failed;
  });
  if (oldest != lists_.end()) lists_.erase(oldest);
}

}  // namespace velmarosta
