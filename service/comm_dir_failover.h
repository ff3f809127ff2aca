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
// The memory is kept per user: its key is the requester's uid with the
// URI list, so that one user's failed attempts, or lists crafted to fail,
// never change the order in which another user's connections are tried.
//
// A list where no URI answered is remembered too, without an answering URI
// (its next attempt takes the record's order), so that an operator can see
// why (lists()). With each list goes the last failure that moved it: the
// URI, the code and the reason, cut to kMaxReason characters.
//
// Lists that run on their first URI are not remembered; the memory holds at
// most kMaxLists lists that have failed over or failed, and at most kMaxListsPerUser
// of one user (a user that sends ever new lists evicts its own oldest,
// which then merely starts from its first URI; so one user evicts at most
// kMaxListsPerUser lists of the others, and only while it is below its cap).
//
// Thread-safe: workers open connections at once.
#ifndef COMMDIR_SERVICE_COMM_DIR_FAILOVER_H_
#define COMMDIR_SERVICE_COMM_DIR_FAILOVER_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/commdir_thread_safety.h"

namespace velmarosta {

// Why a URI of a list did not serve, and when (the wall clock's time, for
// people to read).
struct comm_dir_uri_failure {
  std::string uri;
  std::int32_t code = 0;  // the daemon's result code
  std::string reason;
  std::chrono::system_clock::time_point at;
};

class comm_dir_failover {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxLists = 256;
  static constexpr std::size_t kMaxListsPerUser = 32;
  static constexpr std::size_t kMaxReason = 160;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);  // no URI answered

  // One remembered list, as lists() shows it.
  struct list_state {
    uid_t user = 0;
    std::string uris;
    std::size_t answering = kNone;  // index into comm_dir_ldap_uri_list(uris)
    comm_dir_uri_failure last_failure;
    clock::time_point failback;  // when the record's order is tried again; answering lists only
  };

  explicit comm_dir_failover(std::chrono::seconds failback_after) : failback_after_(failback_after) {}
  comm_dir_failover(const comm_dir_failover&) = delete;
  comm_dir_failover& operator=(const comm_dir_failover&) = delete;

  // The blank-separated words of `uris`, in the record's order (a word may
  // name several URIs: comm_dir_ldap_uri_list).
  static std::vector<std::string> split(const std::string& uris);

  // The indexes into comm_dir_ldap_uri_list(uris), in the order to try
  // them for a request of `user` at `now`.
  std::vector<std::size_t> order(uid_t user, const std::string& uris, std::size_t count, clock::time_point now);

  // Records that the URI at `index` of the list answered a request of
  // `user`, after an attempt whose order started with the first URI
  // (`first_tried`) or not; `failure`, when not null, is the last URI's
  // that failed before it in this attempt.
  void answered(uid_t user, const std::string& uris, std::size_t index, bool first_tried, clock::time_point now,
                const comm_dir_uri_failure* failure = nullptr);

  // Records that no URI of the list answered a request of `user`, the last
  // one failing as `failure` says.
  void none_answered(uid_t user, const std::string& uris, const comm_dir_uri_failure& failure, clock::time_point now);

  // The remembered lists of the users that `visible(uid)` accepts.
  template <typename Visible>
  std::vector<list_state> lists(Visible visible);

 private:
  struct failed_over {
    std::size_t answering;           // index of the URI that answered last, or kNone
    clock::time_point first_failed;  // when the first URI last failed
    comm_dir_uri_failure last_failure;
  };

  using key = std::pair<uid_t, std::string>;
  using table = std::map<key, failed_over>;

  // Makes room for one more list of `user`.
  void make_room(uid_t user) REQUIRES(mu_);
  // The entry of (user, uris), made when missing.
  failed_over& entry(uid_t user, const std::string& uris, clock::time_point now) REQUIRES(mu_);
  static void remember(failed_over& list, const comm_dir_uri_failure& failure);
  static bool older(const table::value_type& a, const table::value_type& b) {
    return a.second.first_failed < b.second.first_failed;
  }

  const std::chrono::seconds failback_after_;
  commdir_sync::mutex mu_;
  table lists_ GUARDED_BY(mu_);  // a user's lists are adjacent
};

template <typename Visible>
std::vector<comm_dir_failover::list_state> comm_dir_failover::lists(Visible visible) {
  std::vector<list_state> shown;
  commdir_sync::lock_guard lock(mu_);
  for (const auto& [id, list] : lists_) {
    if (!visible(id.first)) continue;
    shown.push_back(
        list_state{id.first, id.second, list.answering, list.last_failure, list.first_failed + failback_after_});
  }
  return shown;
}

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_FAILOVER_H_
