#include "service/comm_dir_service_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace velmarosta {
namespace {

constexpr char kUsage[] =
    "Usage: comm-dir-service [OPTION]...\n"
    "Serves directory requests of libcommdir on the endpoint utcp:COMM_DIR_SRV\n"
    "and answers them from LDAP servers. Runs in the foreground; stops cleanly\n"
    "on SIGTERM or SIGINT after answering the requests it has taken.\n"
    "\n"
    "The endpoint's folder is $COMM_DIR_IPC_DIR (default /tmp/commdir-<euid>);\n"
    "trace lines go where $COMM_DIR_TRACE says (unset: standard error, 'off',\n"
    "or a file).\n"
    "\n"
    "  -d, --debug                     a trace line for every request\n"
    "  -w, --workers=N                 threads serving requests (default 8)\n"
    "  -q, --queue-limit=N             requests waiting for a thread, in all (default 256);\n"
    "                                  beyond it requests are answered 'busy'\n"
    "      --operation-queue-limit=N   requests waiting behind one operation (default 32)\n"
    "      --max-operations=N          open operations (default 1024)\n"
    "      --network-timeout=MS        connect, TLS handshake and bind, when the\n"
    "                                  connection record gives none (default 10000)\n"
    "      --result-timeout=MS         wait for each search answer (the first, and each\n"
    "                                  next entry) when the search has no time limit\n"
    "                                  (default: the network timeout)\n"
    "      --callback-timeout=MS       wait for an application's answer to a\n"
    "                                  connection-test callback (default 5000)\n"
    "      --idle-timeout=S            end an operation that has had no request for S\n"
    "                                  seconds, so that a crashed application leaks no\n"
    "                                  LDAP connection (default: never)\n"
    "      --ca-file=PATH              certificate authority (PEM) for records that\n"
    "                                  name none\n"
    "  -h, --help                      this text\n"
    "      --version                   the version\n"
    "\n"
    "Exit status: 0 after a clean stop, 1 when the daemon cannot start, 2 for\n"
    "bad options.\n";

enum LongOnly {
  kOperationQueueLimit = 256,
  kMaxOperations,
  kNetworkTimeout,
  kResultTimeout,
  kCallbackTimeout,
  kIdleTimeout,
  kCaFile,
  kVersion,
};

constexpr option kLongOptions[] = {
    {"debug", no_argument, nullptr, 'd'},
    {"workers", required_argument, nullptr, 'w'},
    {"queue-limit", required_argument, nullptr, 'q'},
    {"operation-queue-limit", required_argument, nullptr, kOperationQueueLimit},
    {"max-operations", required_argument, nullptr, kMaxOperations},
    {"network-timeout", required_argument, nullptr, kNetworkTimeout},
    {"result-timeout", required_argument, nullptr, kResultTimeout},
    {"callback-timeout", required_argument, nullptr, kCallbackTimeout},
    {"idle-timeout", required_argument, nullptr, kIdleTimeout},
    {"ca-file", required_argument, nullptr, kCaFile},
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
    case kMaxOperations: return &options->max_operations;
    case kNetworkTimeout: return &options->network_timeout_ms;
    case kResultTimeout: return &options->result_timeout_ms;
    case kCallbackTimeout: return &options->callback_timeout_ms;
    case kIdleTimeout: return &options->idle_timeout_s;
    default: return nullptr;
  }
}

const char* long_name(int code) {
  for (const option& entry : kLongOptions) {
    if (entry.val == code) return entry.name;
  }
  return "?";
}

}  // namespace

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
      case 'h': std::fputs(kUsage, stdout); return comm_dir_parse_result::kExit;
      case kVersion: std::puts("comm-dir-service " COMMDIR_VERSION); return comm_dir_parse_result::kExit;
      default:
        std::fputs("Try 'comm-dir-service --help'.\n", stderr);
        return comm_dir_parse_result::kError;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "comm-dir-service: unexpected argument '%s'\nTry 'comm-dir-service --help'.\n",
                 argv[optind]);
    return comm_dir_parse_result::kError;
  }
  return comm_dir_parse_result::kRun;
}

}  // namespace velmarosta
