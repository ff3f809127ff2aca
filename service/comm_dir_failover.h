// Which URI of a connection record's list to try first.
//
// The URIs of a record are tried in order, and the first that accepts a
// connection serves the operation (failover). Without a memory of earlier
// attempts, every operation after a failover would pay the dead first
// server's connect attempt again (up to the network timeout each time); a
// daemon that instead kept to the backup would never go back. So, per URI
// list, the daemon remembers the URI that answered after the first one
// failed, and when the first one failed:
//
//   - within `failback_after` of that failure, the answering URI is tried
//     first, then the others in the record's order (so that a backup that
//     dies too still finds the first one if it is back);
//   - once `failback_after` has passed, the record's own order is tried
//     again: the first URI gets one connect attempt, and serves again if it
//     answers (failback). If it is still down, the backup answers and the
//     window starts again from this failure.
//
// So a dead first server costs one connect attempt per `failback_after`, not
// one per operation, and a first server that comes back is used again at
// most `failback_after` later.
//
// Lists that run on their first URI are not remembered; the memory holds at
// most kMaxLists lists that have failed over (a client that sends ever new
// lists evicts the oldest, which then merely starts from its first URI).
//
// Thread-safe: mu_ guards the table; workers open connections at once.
// Header-only, so that the unit tests, which build without libldap, use it.
#ifndef COMMDIR_SERVICE_COMM_DIR_FAILOVER_H_
#define COMMDIR_SERVICE_COMM_DIR_FAILOVER_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <numeric>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmarosta {

class comm_dir_failover {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxLists = 256;

  explicit comm_dir_failover(std::chrono::seconds failback_after) : failback_after_(failback_after) {}
  comm_dir_failover(const comm_dir_failover&) = delete;
  comm_dir_failover& operator=(const comm_dir_failover&) = delete;

  // The blank-separated URIs of `uris`, in the record's order.
  static std::vector<std::string> split(const std::string& uris);

  // The indexes into split(uris), in the order to try them at `now`.
  std::vector<std::size_t> order(const std::string& uris, std::size_t count, clock::time_point now);

  // Records that the URI at `index` of the list answered, after an attempt
  // whose order started with the first URI (`first_tried`) or not.
  void answered(const std::string& uris, std::size_t index, bool first_tried, clock::time_point now);

 private:
  struct failed_over {
    std::size_t answering;           // index of the URI that answered last
    clock::time_point first_failed;  // when the first URI last failed
  };

  void evict_oldest();  // requires mu_

  const std::chrono::seconds failback_after_;
  std::mutex mu_;
  std::unordered_map<std::string, failed_over> lists_;  // guarded by mu_
};

inline std::vector<std::string> comm_dir_failover::split(const std::string& uris) {
  std::istringstream words(uris);
  std::vector<std::string> list;
  for (std::string uri; words >> uri;) list.push_back(uri);
  return list;
}

inline std::vector<std::size_t> comm_dir_failover::order(const std::string& uris, std::size_t count,
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

inline void comm_dir_failover::answered(const std::string& uris, std::size_t index, bool first_tried,
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

inline void comm_dir_failover::evict_oldest() {
  auto oldest = std::min_element(lists_.begin(), lists_.end(), [](const auto& a, const auto& b) {
    return a.second.first_failed < b.second.first_failed;
  });
  if (oldest != lists_.end()) lists_.erase(oldest);
}

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_FAILOVER_H_
