#include "service/comm_dir_service_options.h"

#include <getopt.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commdir/comm_dir_records.h"

namespace velmarosta {
namespace {

constexpr char kUsage[] =
    "Usage: comm-dir-service [OPTION]...\n"
    "Serves directory requests of libcommdir on the endpoint utcp:COMM_DIR_SRV\n"
    "and answers them from LDAP servers. Runs in the foreground; stops cleanly\n"
    "on SIGTERM or SIGINT after answering the requests it has taken; reopens\n"
    "its trace file on SIGHUP. Under systemd ($NOTIFY_SOCKET) it says when it\n"
    "is ready and pings the watchdog ($WATCHDOG_USEC) while it makes progress.\n"
    "\n"
    "The endpoint's folder is $COMM_DIR_IPC_DIR; unset, $XDG_RUNTIME_DIR/commdir\n"
    "when that is this user's private runtime folder, else /tmp/commdir-<euid>.\n"
    "It belongs to the daemon's user or root. Applications of another user reach\n"
    "the daemon with the same COMM_DIR_IPC_DIR and COMM_DIR_SERVICE_USER set to\n"
    "the daemon's user (the daemon itself ignores that variable); the packaged\n"
    "unit runs it as commdir in /run/commdir.\n"
    "\n"
    "Trace lines go where $COMM_DIR_TRACE says (unset: standard error, 'off',\n"
    "or a file). At most 50 lines of one kind are written per minute, and then\n"
    "how many were left out; $COMM_DIR_TRACE_LIMIT=LINES/SECONDS changes that,\n"
    "'off' (the default with --debug) writes them all.\n"
    "\n"
    "  -d, --debug                     a trace line for every request\n"
    "  -w, --workers=N                 threads serving requests (default 8); none of\n"
    "                                  them waits on the network or an application\n"
    "      --lookup-threads=N          threads that look up the host names of URIs and\n"
    "                                  connect to them; one user takes at most half of\n"
    "                                  them (default 4)\n"
    "  -q, --queue-limit=N             requests waiting for a thread, in all (default 256);\n"
    "                                  beyond it requests are answered 'busy'\n"
    "      --operation-queue-limit=N   requests waiting behind one operation (default 32)\n"
    "      --max-operations=N          open operations (default 1024)\n"
    "      --max-operations-per-user=N open operations of one user, every user counted\n"
    "                                  (the daemon's own and root too); beyond it a start\n"
    "                                  is answered 'user limit' (default: a quarter of\n"
    "                                  --max-operations)\n"
    "      --network-timeout=MS        connect, TLS handshake and bind, when the\n"
    "                                  connection record gives none (default 10000)\n"
    "      --max-network-timeout=MS    the longest network timeout that a record may ask\n"
    "                                  for; longer ones are cut to it (default 60000)\n"
    "      --max-search-time=S         the longest time limit that a search may ask for;\n"
    "                                  longer ones are cut to it (default 600)\n"
    "      --result-timeout=MS         wait for each search answer (the first, and each\n"
    "                                  next entry) when the search has no time limit\n"
    "                                  (default: the network timeout)\n"
    "      --callback-timeout=MS       wait for an application's answer to a\n"
    "                                  connection-test callback (default 5000)\n"
    "      --reply-wait=MS             keep a reply this long for an application whose\n"
    "                                  queue is full (it does not read), then send it a\n"
    "                                  notice instead: its call returns 'reply dropped'\n"
    "                                  (default 10000)\n"
    "      --max-kept-bytes-per-user=BYTES  replies kept for the applications of one\n"
    "                                  user (16 MiB for all users); beyond it a notice is\n"
    "                                  kept instead (default 4194304)\n"
    "      --max-held-bytes-per-user=BYTES  LDAP results (entries, value lists) that the\n"
    "                                  operations of one user hold (128 MiB for all, 12 MiB\n"
    "                                  for one operation); beyond it a request is answered\n"
    "                                  'memory limit' (default 33554432)\n"
    "      --idle-timeout=S            end an operation that has had no request for S\n"
    "                                  seconds, so that a crashed application leaks no\n"
    "                                  LDAP connection (default: never)\n"
    "      --failback-after=S          after a failover to a later URI of a record, keep\n"
    "                                  to that URI for S seconds, then try the first\n"
    "                                  again (default 60)\n"
    "      --reclaim-interval=MS       how often operations are ended whose process has\n"
    "                                  ended, and idle ones (default 2000)\n"
    "      --hung-after=S              under systemd's watchdog: a worker busy on one\n"
    "                                  request for S seconds is taken as hung, and the\n"
    "                                  watchdog is no longer pinged (default: the longest\n"
    "                                  that a request may take, from the maxima above)\n"
    "      --allow-uid=USER[,USER]     serve these users (names or uids) too; by default\n"
    "                                  only the daemon's own user and root\n"
    "      --allow-group=GROUP         serve the members of GROUP (name or gid) too\n"
    "      --ca-file=PATH              certificate authority (PEM) for records that\n"
    "                                  name none (default: the system's)\n"
    "      --ca-dir=DIR                a folder whose certificate authority files the\n"
    "                                  records of any user may name; repeatable (default:\n"
    "                                  /etc/ssl/certs, /usr/share/ca-certificates and\n"
    "                                  /usr/local/share/ca-certificates). The daemon's\n"
    "                                  own user and root may name any file\n"
    "      --allow-ldapi               connect to ldapi:// URIs too (by default only\n"
    "                                  ldap:// and ldaps://): the server then sees the\n"
    "                                  daemon's uid on every requester's connection\n"
    "  -h, --help                      this text\n"
    "      --version                   the version\n"
    "\n"
    "Exit status: 0 after a clean stop, 1 when the daemon cannot start, 2 for\n"
    "bad options.\n";

enum LongOnly {
  kOperationQueueLimit = 256,
  kLookupThreads,
  kMaxOperations,
  kMaxOperationsPerUser,
  kNetworkTimeout,
  kMaxNetworkTimeout,
  kMaxSearchTime,
  kMaxKeptBytesPerUser,
  kMaxHeldBytesPerUser,
  kResultTimeout,
  kCallbackTimeout,
  kReplyWait,
  kIdleTimeout,
  kFailbackAfter,
  kReclaimInterval,
  kHungAfter,
  kAllowUid,
  kAllowGroup,
  kCaFile,
  kCaDir,
  kAllowLdapi,
  kVersion,
};

constexpr option kLongOptions[] = {
    {"debug", no_argument, nullptr, 'd'},
    {"workers", required_argument, nullptr, 'w'},
    {"queue-limit", required_argument, nullptr, 'q'},
    {"operation-queue-limit", required_argument, nullptr, kOperationQueueLimit},
    {"lookup-threads", required_argument, nullptr, kLookupThreads},
    {"max-operations", required_argument, nullptr, kMaxOperations},
    {"max-operations-per-user", required_argument, nullptr, kMaxOperationsPerUser},
    {"network-timeout", required_argument, nullptr, kNetworkTimeout},
    {"max-network-timeout", required_argument, nullptr, kMaxNetworkTimeout},
    {"max-search-time", required_argument, nullptr, kMaxSearchTime},
    {"max-kept-bytes-per-user", required_argument, nullptr, kMaxKeptBytesPerUser},
    {"max-held-bytes-per-user", required_argument, nullptr, kMaxHeldBytesPerUser},
    {"result-timeout", required_argument, nullptr, kResultTimeout},
    {"callback-timeout", required_argument, nullptr, kCallbackTimeout},
    {"reply-wait", required_argument, nullptr, kReplyWait},
    {"idle-timeout", required_argument, nullptr, kIdleTimeout},
    {"failback-after", required_argument, nullptr, kFailbackAfter},
    {"reclaim-interval", required_argument, nullptr, kReclaimInterval},
    {"hung-after", required_argument, nullptr, kHungAfter},
    {"allow-uid", required_argument, nullptr, kAllowUid},
    {"allow-group", required_argument, nullptr, kAllowGroup},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"ca-dir", required_argument, nullptr, kCaDir},
    {"allow-ldapi", no_argument, nullptr, kAllowLdapi},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Parses a positive decimal number of at most 9 digits into *value.
bool parse_positive(const char* text, const char* option_name, int* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed <= 0 || parsed > 999999999) {
    std::fprintf(stderr, "comm-dir-service: --%s needs a positive number, not '%s'\n", option_name, text);
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

// The number-valued option `code`, or null.
int* number_option(int code, comm_dir_service_options* options) {
  switch (code) {
    case 'w': return &options->workers;
    case 'q': return &options->queue_limit;
    case kOperationQueueLimit: return &options->operation_queue_limit;
    case kLookupThreads: return &options->lookup_threads;
    case kMaxOperations: return &options->max_operations;
    case kMaxOperationsPerUser: return &options->max_operations_per_user;
    case kNetworkTimeout: return &options->network_timeout_ms;
    case kMaxNetworkTimeout: return &options->max_network_timeout_ms;
    case kMaxSearchTime: return &options->max_search_time_s;
    case kMaxKeptBytesPerUser: return &options->max_kept_bytes_per_user;
    case kMaxHeldBytesPerUser: return &options->max_held_bytes_per_user;
    case kResultTimeout: return &options->result_timeout_ms;
    case kCallbackTimeout: return &options->callback_timeout_ms;
    case kReplyWait: return &options->reply_wait_ms;
    case kIdleTimeout: return &options->idle_timeout_s;
    case kFailbackAfter: return &options->failback_after_s;
    case kReclaimInterval: return &options->reclaim_interval_ms;
    case kHungAfter: return &options->hung_after_s;
    default: return nullptr;
  }
}

// A decimal id of at most 9 digits, as user and group ids are written.
bool parse_id(const std::string& text, unsigned* id) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *id = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

// The uid of a user given by number or by name.
bool user_id(const std::string& user, uid_t* uid) {
  unsigned id = 0;
  if (parse_id(user, &id)) {
    *uid = id;
    return true;
  }
  const passwd* entry = getpwnam(user.c_str());  // not reentrant: options are parsed before any thread starts
  if (entry == nullptr) return false;
  *uid = entry->pw_uid;
  return true;
}

// Adds the users of a comma-separated list to the allowed ones.
bool allow_users(const std::string& list, comm_dir_service_options* options) {
  for (std::string::size_type start = 0;;) {
    const std::string::size_type comma = list.find(',', start);
    const std::string user = list.substr(start, comma - start);  // to the end when there is no comma
    uid_t uid = 0;
    if (!user_id(user, &uid)) {
      std::fprintf(stderr, "comm-dir-service: --allow-uid: no such user '%s'\n", user.c_str());
      return false;
    }
    options->allowed_uids.push_back(uid);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// Allows a group given by number or by name: senders whose group it is, and
// its members as the group database lists them (whose own group may be
// another).
bool allow_group(const std::string& name, comm_dir_service_options* options) {
  unsigned id = 0;
  const bool numeric = parse_id(name, &id);
  const group* entry = numeric ? getgrgid(id) : getgrnam(name.c_str());
  if (entry == nullptr && !numeric) {
    std::fprintf(stderr, "comm-dir-service: --allow-group: no such group '%s'\n", name.c_str());
    return false;
  }
  options->allowed_gids.push_back(entry != nullptr ? entry->gr_gid : id);
  for (char** member = entry != nullptr ? entry->gr_mem : nullptr; member != nullptr && *member != nullptr; ++member) {
    uid_t uid = 0;
    if (user_id(*member, &uid)) options->allowed_uids.push_back(uid);
  }
  return true;
}

// The system's folders of certificate authorities (Debian's layout: the
// files of /etc/ssl/certs are links into the other two). Other systems name
// theirs with --ca-dir.
constexpr const char* kSystemCaDirs[] = {"/etc/ssl/certs", "/usr/share/ca-certificates",
                                         "/usr/local/share/ca-certificates"};

// Adds the folder `dir` to those whose authority files any user may name:
// as written (so that a path written through it passes the check that
// looks at the path only) and made canonical (so that a file's canonical
// path can be found in it). A folder named by --ca-dir must be absolute and
// exist; a system folder that does not exist is left out.
bool allow_ca_dir(std::string dir, bool named, comm_dir_service_options* options) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  char canonical[PATH_MAX];
  const bool absolute = !dir.empty() && dir[0] == '/';
  if (!absolute || realpath(dir.c_str(), canonical) == nullptr) {
    if (named) {
      std::fprintf(stderr, "comm-dir-service: --ca-dir=%s: %s\n", dir.c_str(),
                   absolute ? std::strerror(errno) : "not an absolute path");
    }
    return !named;
  }
  options->ca_dirs.push_back(dir);
  if (dir != canonical) options->ca_dirs.push_back(canonical);
  return true;
}

// The defaults that depend on other options, once all are read.
void complete(comm_dir_service_options* options) {
  if (options->max_operations_per_user == 0)
    options->max_operations_per_user = std::max(1, options->max_operations / 4);
  if (options->hung_after_s == 0) {
    options->hung_after_s = static_cast<int>(std::min<long long>(comm_dir_longest_request_s(*options), 999999999));
  }
  if (options->ca_dirs.empty()) {
    for (const char* dir : kSystemCaDirs) allow_ca_dir(dir, false, options);
  }
}

const char* long_name(int code) {
  for (const option& entry : kLongOptions) {
    if (entry.val == code) return entry.name;
  }
  return "?";
}

}  // namespace

// Made up of what each step of a request may wait, with t the longest wait
// of one network step (the larger of --network-timeout, which is not
// clamped, and --max-network-timeout):
//   - opening a connection (start_operation, a connection test) tries each
//     URI of its record, at most kMaxUris: a name lookup (libldap's
//     getaddrinfo, which the daemon does not bound: kNameLookupMs, glibc's
//     worst at its defaults, 5 s x 2 attempts x 3 name servers), the connect
//     and the ldaps:// handshake (t each), and after a failed handshake all
//     that once more without the certificate check: 2 x (lookup + 2t);
//     then StartTLS (2t: its request and its handshake) and after a failed
//     one a connection and StartTLS once more (lookup + 3t); then the bind
//     (t). So kMaxUris x (2 lookups + 4t) + lookup + 6t;
//   - a connection test by callback then sends its report and waits for
//     the answer, --callback-timeout each;
//   - a search waits once, for its first answer or the next entry: the
//     time limit (at most --max-search-time) + t, or --result-timeout;
// the longest of these and kMarginS for a busy scheduler. A name that
// resolves to several addresses costs t for each that does not answer,
// which no option bounds: such names in records make --hung-after worth
// setting by hand.
long long comm_dir_longest_request_s(const comm_dir_service_options& options) {
  // The most URIs that a record's field holds: "ldap://" and a blank each.
  constexpr long long kMaxUris = sizeof(COMM_DIR_CONNECT_INFO{}.uri) / (sizeof("ldap://") - 1 + 1);
  constexpr long long kNameLookupMs = 30000;
  constexpr long long kMarginS = 10;
  const long long t = std::max(options.network_timeout_ms, options.max_network_timeout_ms);
  const long long open_ms = kMaxUris * (2 * kNameLookupMs + 4 * t) + kNameLookupMs + 6 * t;
  const long long callback_ms = 2LL * options.callback_timeout_ms;
  const long long result_ms = options.result_timeout_ms != 0 ? options.result_timeout_ms : options.network_timeout_ms;
  const long long search_ms = std::max(options.max_search_time_s * 1000LL + t, result_ms);
  return (std::max(open_ms + callback_ms, search_ms) + 999) / 1000 + kMarginS;
}

comm_dir_parse_result parse_options(int argc, char** argv, comm_dir_service_options* options) {
  optind = 1;
  int code;
  while ((code = getopt_long(argc, argv, "dw:q:h", kLongOptions, nullptr)) != -1) {
    if (int* number = number_option(code, options)) {
      if (!parse_positive(optarg, long_name(code), number)) return comm_dir_parse_result::kError;
      continue;
    }
    switch (code) {
      case 'd': options->debug = true; break;
      case kCaFile: options->ca_file = optarg; break;
      case kCaDir:
        if (!allow_ca_dir(optarg, true, options)) return comm_dir_parse_result::kError;
        break;
      case kAllowLdapi: options->allow_ldapi = true; break;
      case kAllowUid:
        if (!allow_users(optarg, options)) return comm_dir_parse_result::kError;
        break;
      case kAllowGroup:
        if (!allow_group(optarg, options)) return comm_dir_parse_result::kError;
        break;
      case 'h': std::fputs(kUsage, stdout); return comm_dir_parse_result::kExit;
      case kVersion: std::puts("comm-dir-service " COMMDIR_VERSION); return comm_dir_parse_result::kExit;
      default: std::fputs("Try 'comm-dir-service --help'.\n", stderr); return comm_dir_parse_result::kError;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "comm-dir-service: unexpected argument '%s'\nTry 'comm-dir-service --help'.\n", argv[optind]);
    return comm_dir_parse_result::kError;
  }
  complete(options);
  return comm_dir_parse_result::kRun;
}

}  // namespace velmarosta
