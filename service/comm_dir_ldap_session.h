// Opening an LDAP connection as a connection record and a bind record say:
// shared by start_operation and the connection test.
//
// Every phase has a deadline (libldap's own defaults wait without limit):
// the record's network timeout (or the daemon's) bounds the connect, the TLS
// handshake and the bind, and each phase that runs out has its own code.
// Several blank-separated URIs are tried in order by libldap itself, so an
// operation that starts after the first server is back uses it again.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_

#include <ldap.h>

#include <string>

#include "commdir/comm_dir_records.h"
#include "service/comm_dir_service_options.h"

namespace velmarosta {

// What an attempt found, for the connection test's record.
struct comm_dir_ldap_findings {
  bool reachable = false;      // a server accepted the connection
  bool bind_accepted = false;  // the bind succeeded
  int ldap_result = 0;         // the LDAP result code or libldap error of the failed step
  std::string diagnostic;      // the server's message, or libldap's
};

// libldap sets up its global options on first use, and not safely when two
// threads are first at once: call this once before the workers start.
void comm_dir_ldap_initialize();

// Connects and (when `bind` is not null) binds. Returns 0 and the open
// connection in *ld, or the daemon's code with *ld null. Fills `findings`.
RETCODE comm_dir_ldap_open(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind,
                           const comm_dir_service_options& options, LDAP** ld,
                           comm_dir_ldap_findings* findings);

// A timeval of `ms` milliseconds.
timeval comm_dir_timeval_ms(long ms);

// The connection's network timeout: the record's, else the daemon's.
int comm_dir_network_timeout_ms(const COMM_DIR_CONNECT_INFO& connect, const comm_dir_service_options& options);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_
