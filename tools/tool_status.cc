// comm-dir status: the daemon's state, as it answers it.

#include <cstdio>
#include <memory>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "tools/tool_outcome.h"
#include "tools/tool_session.h"

namespace commdir_tools {

// Asks the daemon for its state with its own request kind, through the
// library's request client as every call of the facade goes, and prints
// the text it answers.
[[noreturn]] void run_status(const tool_options& options) {
  require_daemon();
  velmarosta::comm_dir_ipc_multi_client* transport = velmarosta::comm_dir_ipc_multi_client::get_instance();
  require_own_endpoints();
  velmarosta::COMM_DIR_MULTI_IPC_CLNT clnt{};
  if (transport == nullptr ||
      transport->create_client(velmarosta::COMM_DIR_SERVICE_CLIENT_NAME, velmarosta::COMM_DIR_SERVICE_SERVER_NAME, 0, 0,
                               velmarosta::COMM_DIR_IPC_ID_SERVICE, clnt) != 0) {
    say("cannot make a client of the directory service");
    finish(kExitUnreachable);
  }
  velmarosta::COMM_DIR_STATUS_REQUEST request{};
  request.format = options.status_json ? velmarosta::COMM_DIR_STATUS_JSON : velmarosta::COMM_DIR_STATUS_TEXT;
  auto reply = std::make_unique<velmarosta::COMM_DIR_STATUS_REPLY>();
  const std::unique_ptr<reply_watchdog> watching = start_watchdog(0);
  int length = 0;  // neither read nor written by the transport
  RETCODE rc = guarded(*watching, "status", [&] {
    return transport->call_client(
        clnt, velmarosta::COMM_DIR_FUNC_DAEMON_STATUS, 0, 0, reinterpret_cast<char*>(&request), sizeof request,
        reinterpret_cast<char*>(reply.get()), sizeof *reply, &length, static_cast<unsigned long>(-1));
  });
  transport->destroy_client(clnt);
  if (rc == 0) rc = reply->result;
  if (rc == 0 && reply->length > sizeof reply->text) rc = velmarosta::COMM_DIR_ERR_BAD_REPLY;
  if (rc != 0) {
    say("status: " + describe_result(rc));
    finish(exit_status_for(rc));
  }
  std::fwrite(reply->text, 1, reply->length, stdout);
  finish(0);
}

}  // namespace commdir_tools
