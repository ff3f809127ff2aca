// The daemon's live state as `comm-dir status` shows it (the request
// COMM_DIR_FUNC_DAEMON_STATUS), and who may see which part of it.
//
// Root and the daemon's own user see everything. Any other user that the
// daemon serves sees
//   - the version and the uptime;
//   - the workers busy of all and the depth of the queue: they decide
//     whether that user's next request is answered busy, any user can
//     learn them by sending requests, and they name no user, operation or
//     URI;
//   - its own open operations, each with its requester (the uid and pid
//     that the kernel gave the start, and the reply server that it named,
//     which tells apart processes of one name), its own requests that wait
//     on the network or an application (and on what), its own kept replies
//     and notices, and its own URI lists (the failover memory is kept per
//     user already);
// and nothing else: not the operations, kept replies or URI lists of other
// users, nor the totals over all users (operations open in all, requests
// waiting in all, replies kept in all), nor the counters of requests served and refused, which
// would tell how much the others ask and when.
//
// The text is bounded: what does not fit in the reply's COMM_DIR_STATUS_
// TEXT_CAPACITY bytes (a list of many users or URI lists) is left out and
// counted. Every string that a requester chose (a URI list, a reason that
// quotes a URI) is written as a JSON string, control characters escaped,
// in the text for people too, so that it cannot write to a terminal.
#ifndef COMMDIR_SERVICE_COMM_DIR_STATUS_H_
#define COMMDIR_SERVICE_COMM_DIR_STATUS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/comm_dir_messages.h"
#include "service/comm_dir_failover.h"
#include "service/comm_dir_reply_delivery.h"

namespace velmarosta {

// Who asks, and whether that user sees everything.
struct comm_dir_status_view {
  uid_t viewer = 0;
  bool everything = false;
  bool shows(uid_t user) const { return everything || user == viewer; }
};

inline comm_dir_status_view comm_dir_status_view_of(uid_t viewer, uid_t daemon_user) {
  return comm_dir_status_view{viewer, viewer == 0 || viewer == daemon_user};
}

// An open operation and the process that opened it.
struct comm_dir_status_requester {
  UINT operation_id = 0;
  uid_t uid = 0;
  pid_t pid = 0;
  std::string endpoint;  // as the requester wrote it: escaped when shown
};

struct comm_dir_status_counters {
  std::uint64_t served = 0;                // requests answered by serving them
  std::uint64_t refused_busy = 0;          // answered COMM_DIR_SVC_BUSY
  std::uint64_t refused_bad_input = 0;     // dropped, or refused for what they carried
  std::uint64_t refused_not_allowed = 0;   // of users that the daemon does not serve
  std::uint64_t callbacks_unanswered = 0;  // connection-test callbacks not answered in time
};

// What the status shows, gathered for one view: the per-user parts hold
// the users that the view shows only; the totals and the counters are
// written only when it shows everything.
struct comm_dir_status {
  comm_dir_status_view view;
  std::chrono::system_clock::time_point now;
  std::chrono::steady_clock::time_point steady_now;
  std::chrono::seconds uptime{0};
  int workers = 0;
  int workers_busy = 0;
  int queued = 0;
  int queue_limit = 0;
  std::size_t operations_open = 0;
  int max_operations = 0;
  std::map<uid_t, std::size_t> operations_by_user;
  std::vector<comm_dir_status_requester> requesters;  // by operation id
  std::size_t waiting = 0;                            // requests waiting on the network or an application, in all
  std::map<uid_t, std::map<std::string, std::size_t>> waiting_by_user;  // by what they wait on
  std::map<uid_t, comm_dir_reply_delivery::kept_count> kept_by_user;
  std::vector<comm_dir_failover::list_state> lists;
  comm_dir_status_counters counters;
};

// `status` as `format` asks, in at most COMM_DIR_STATUS_TEXT_CAPACITY bytes.
std::string comm_dir_format_status(const comm_dir_status& status, COMM_DIR_STATUS_FORMAT format);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_STATUS_H_
