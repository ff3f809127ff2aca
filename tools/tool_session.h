// What every comm-dir command shares: how the process ends and what it
// says, its endpoint files on a signal, the daemon's reachability, the
// watchdog over each call, and the connection's records with the password.
#ifndef COMMDIR_TOOLS_TOOL_SESSION_H_
#define COMMDIR_TOOLS_TOOL_SESSION_H_

#include <memory>
#include <string>

#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_records.h"
#include "tools/reply_watchdog.h"
#include "tools/tool_options.h"

namespace commdir_tools {

// Ends the process with `status` once output is flushed and the endpoint
// files are gone.
[[noreturn]] void finish(int status);

// A line on standard error, after "comm-dir: ".
void say(const std::string& line);

// A signal that ends comm-dir removes its endpoint files first.
void remove_files_on_signals();

// Fills in the password of -W and -y; false after a message.
bool resolve_password(connection_options* connection);

// Each ends the process, with a message, when what it requires is missing.
void require_daemon();
void require_own_endpoints();
velmarosta::comm_dir_facade* reach_facade();

// A watchdog over comm-dir's calls that says which call got no answer and
// ends comm-dir.
std::unique_ptr<reply_watchdog> start_watchdog(long time_limit_s);

// Makes the records of the connection; ends the process on a value that
// does not fit. `bind` stays unused when no bind is asked for. The password
// is in `bind` alone afterwards.
const velmarosta::COMM_DIR_BIND_INFO* make_connection_records(connection_options* connection,
                                                              velmarosta::COMM_DIR_CONNECT_INFO* connect,
                                                              velmarosta::COMM_DIR_BIND_INFO* bind);

// Runs one facade call under the watchdog.
template <typename Call>
RETCODE guarded(reply_watchdog& watchdog, const char* name, Call call) {
  watchdog.arm(name);
  const RETCODE rc = call();
  watchdog.disarm();
  return rc;
}

// The commands; each ends the process.
[[noreturn]] void run_search(tool_options& options);
[[noreturn]] void run_check(tool_options& options);
[[noreturn]] void run_status(const tool_options& options);

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_SESSION_H_
