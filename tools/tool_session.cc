// What every comm-dir command shares (tool_session.h).
#include "tools/tool_session.h"

#include <signal.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "tools/tool_outcome.h"
#include "tools/tool_password.h"
#include "tools/tool_records.h"
#include "tools/tool_tls.h"

namespace commdir_tools {

using velmarosta::comm_dir_facade;

namespace {

// A signal that ends comm-dir (an interrupt, a closed pipe) leaves no
// endpoint file behind either; the signal then ends it as it would have.
void end_on_signal(int signal_number) {
  commdir_posix_ipc_remove_own_files();  // async-signal-safe
  ::raise(signal_number);                // its action is the default again (SA_RESETHAND)
}

// The folder of the platform's endpoints, as the POSIX platform chooses and
// checks it; "" with *problem set when it is refused.
std::string ipc_folder(std::string* problem) {
  char folder[sizeof(sockaddr_un{}.sun_path)];
  char why[512];
  const RETCODE rc = commdir_posix_ipc_folder(folder, sizeof folder, why, sizeof why);
  if (rc == 0) return folder;
  *problem = "the IPC folder " + std::string(folder) + " is refused: " + (rc == EACCES ? why : std::strerror(rc));
  return "";
}

// Empty when the daemon's endpoint takes messages; else why not, in one line.
// A request to an absent daemon would wait for its reply without end (the
// library waits without a time limit), so this is checked first.
std::string daemon_unreachable_reason() {
  std::string problem;
  const std::string folder = ipc_folder(&problem);
  if (folder.empty()) return problem;
  const std::string path = folder + "/COMM_DIR_SRV";
  const int error = commdir_posix_ipc_probe(velmarosta::COMM_DIR_SERVICE_SERVER_NAME);
  if (error == 0) return "";
  if (error == ENAMETOOLONG) return "the endpoint path " + path + " is too long";
  if (error == ENOENT) {
    return "the directory service is not running (no endpoint " + path +
           "; start comm-dir-service, or set COMM_DIR_IPC_DIR to its folder)";
  }
  if (error == ECONNREFUSED) {
    return "the directory service is not running (" + path + " is left from a daemon that stopped)";
  }
  return "cannot reach the directory service at " + path + ": " + std::strerror(error);
}

// The watchdog's bound: well beyond the daemon's own deadlines, and beyond
// the search's time limit.
std::chrono::seconds reply_bound(long time_limit_s) { return std::chrono::seconds(120 + time_limit_s); }

}  // namespace

// The process ends with _exit: the library's endpoints and threads live as
// long as the process (nothing in the library stops them), and running the
// static destructors under a thread that still serves an endpoint would be a
// race for nothing. Output is flushed first, and the endpoints' files go.
[[noreturn]] void finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "comm-dir: writing the output failed: %s\n", std::strerror(errno));
    if (status == 0) status = kExitFailure;
  }
  std::fflush(stderr);
  commdir_posix_ipc_remove_own_files();
  ::_exit(status);
}

void remove_files_on_signals() {
  struct sigaction action {};
  action.sa_handler = end_on_signal;
  action.sa_flags = SA_RESETHAND;
  for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) ::sigaction(signal_number, &action, nullptr);
}

void say(const std::string& line) { std::fprintf(stderr, "comm-dir: %s\n", line.c_str()); }

bool resolve_password(connection_options* connection) {
  if (connection->prompt_password) {
    if (prompt_password(&connection->password)) return true;
    say("-W needs a terminal to ask for the password");
    return false;
  }
  if (!connection->password_file.empty() && !read_password_file(connection->password_file, &connection->password)) {
    say("cannot read the password file " + connection->password_file);
    return false;
  }
  return true;
}

std::unique_ptr<reply_watchdog> start_watchdog(long time_limit_s) {
  const std::chrono::seconds limit = reply_bound(time_limit_s);
  return std::make_unique<reply_watchdog>(limit, [limit](const char* call) {
    say(std::string("no answer from the directory service to ") + call + " within " + std::to_string(limit.count()) +
        " s");
    finish(kExitTimeout);
  });
}

const velmarosta::COMM_DIR_BIND_INFO* make_connection_records(connection_options* connection,
                                                              velmarosta::COMM_DIR_CONNECT_INFO* connect,
                                                              velmarosta::COMM_DIR_BIND_INFO* bind) {
  std::string error;
  const bool starttls = connection->starttls != starttls_request::kNone;
  connection->tls = read_user_tls_settings();
  const bool made =
      make_connect_record(*connection, starttls, connect, &error) && make_bind_record(*connection, bind, &error);
  wipe(&connection->password);
  if (!made) {
    say(error);
    finish(kExitFailure);
  }
  // Without a DN or password the operation stays anonymous: no bind at all.
  return connection->bind_dn.empty() && !connection->password_given ? nullptr : bind;
}

// Ends the process when the daemon is not there, before any call waits.
void require_daemon() {
  const std::string reason = daemon_unreachable_reason();
  if (!reason.empty()) {
    say(reason);
    finish(kExitUnreachable);
  }
}

// Ends the process when one of its own endpoints could not start (its
// name is held): no reply or callback could reach it, and the platform
// says by whom.
void require_own_endpoints() {
  char why[512];
  if (commdir_posix_ipc_start_failure(why, sizeof why) == 0) {
    say(why);
    finish(kExitUnreachable);
  }
}

comm_dir_facade* reach_facade() {
  require_daemon();
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  velmarosta::comm_dir_ipc_multi_client::get_instance();  // starts the reply server now, not at the first call
  require_own_endpoints();
  return facade;
}

}  // namespace commdir_tools
