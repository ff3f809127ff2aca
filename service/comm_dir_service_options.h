// Command-line options of comm-dir-service and their defaults.
#ifndef COMMDIR_SERVICE_COMM_DIR_SERVICE_OPTIONS_H_
#define COMMDIR_SERVICE_COMM_DIR_SERVICE_OPTIONS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmarosta {

struct comm_dir_service_options {
  bool debug = false;              // a trace line per request
  int workers = 8;                 // threads that serve requests
  int lookup_threads = 4;          // threads that look up host names and connect to them; a user takes half
  int queue_limit = 256;           // requests waiting for a worker, all operations together
  int operation_queue_limit = 32;  // requests waiting behind one operation
  int max_operations = 1024;       // open operations
  // Open operations of one user (the daemon's own and root included), so
  // that one user cannot take every other user's share. 0 until parsed,
  // then a quarter of max_operations unless given.
  int max_operations_per_user = 0;
  int network_timeout_ms = 10000;  // connect, TLS and bind, when the record gives none
  int result_timeout_ms = 0;       // each search answer, when the search has no time limit; 0: the network timeout
  int callback_timeout_ms = 5000;  // the application's answer to a callback
  int reply_wait_ms = 10000;       // a reply kept for an application whose queue is full
  int max_kept_bytes_per_user = 4 << 20;   // kept replies of one user's applications (16 MiB for all)
  int max_held_bytes_per_user = 32 << 20;  // LDAP results that one user's operations hold (comm_dir_memory_budget.h)
  // What a record may ask for at most: its network timeout, and its
  // search's time limit (the daemon's own defaults are not clamped).
  int max_network_timeout_ms = 60000;
  int max_search_time_s = 600;
  int idle_timeout_s = 0;          // end operations unused this long; 0: never
  int failback_after_s = 60;       // after a failover, try the first URI again this much later
  int reclaim_interval_ms = 2000;  // how often operations of ended processes and idle ones are ended
  // A worker busy on one request for longer is taken as hung, and the
  // systemd watchdog is no longer pinged. 0 until parsed, then, unless
  // given, the longest that a request may take when nothing hangs
  // (comm_dir_longest_request_s).
  int hung_after_s = 0;
  // Whom the daemon serves besides its own user and root: these users, and
  // senders whose group is one of these (members from the group database
  // are among the users).
  std::vector<uid_t> allowed_uids;
  std::vector<gid_t> allowed_gids;
  std::string ca_file;  // certificate authority when the record names none
  // Folders (made canonical) whose certificate authority files a record of
  // any user may name; see comm_dir_ca_policy.h.
  std::vector<std::string> ca_dirs;
  // ldapi:// URIs: off by default, for the peer of a local socket sees the
  // daemon's own uid, and would serve a requester as if it were the daemon.
  bool allow_ldapi = false;
};

// The longest that one request may keep a worker when nothing hangs, in
// seconds, from the daemon's maxima: the default of --hung-after. The
// comm_dir_service_options.cc says how it is made up.
long long comm_dir_longest_request_s(const comm_dir_service_options& options);

// What parse_options decided.
enum class comm_dir_parse_result { kRun, kExit, kError };

// Parses argv into `options`. kExit after --help or --version (printed to
// stdout); kError after a message to stderr.
comm_dir_parse_result parse_options(int argc, char** argv, comm_dir_service_options* options);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_SERVICE_OPTIONS_H_
