// The daemon's own endpoint names in its folder, before it binds them.
//
// In a folder that others may write, any of them may bind a free name,
// also the daemon's own while it is down; its clients refuse such a
// squatter (they trust only the daemon's user and root), so nothing leaks,
// but the daemon could not start. So a name held by a file of another user
// is not taken for "another daemon serves it": a daemon that runs as root
// removes a socket of another user there and binds its own; any other
// daemon names the owner and says what to do. A live socket of the
// daemon's own user is another daemon. Systemd's RuntimeDirectory= makes a
// fresh folder at each start, where no one can be first.
#ifndef COMMDIR_SERVICE_COMM_DIR_ENDPOINT_NAMES_H_
#define COMMDIR_SERVICE_COMM_DIR_ENDPOINT_NAMES_H_

#include <string>

namespace velmarosta {

// Readies the daemon's names in `folder` as above. False after a line on
// standard error that says why the daemon cannot start.
bool comm_dir_claim_endpoint_names(const std::string& folder);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_ENDPOINT_NAMES_H_
