// Opening an LDAP connection as a connection record and a bind record say:
// shared by start_operation and the connection test.
//
// Every phase has a deadline (libldap's own defaults wait without limit):
// the record's network timeout (or the daemon's) bounds the connect, the TLS
// handshake and the bind, and each phase that runs out has its own code.
//
// The blank-separated URIs of a record are tried one by one, each on a
// handle of its own, in the order that comm_dir_failover gives (the record's
// order, or the URI that answered after a failover first): the first one
// whose connection (and ldaps:// handshake) stands serves. StartTLS and the
// bind then run on that one only: a server that answers but refuses them has
// not failed over.
//
// TLS: the server's certificate is checked against the record's authority
// file (else the daemon's --ca-file, else the system's) at the record's
// level (libldap's TLS_REQCERT: demand, never, allow or try); each handle
// has a TLS context of its own.
// A refused certificate gives COMM_DIR_SVC_TLS_CERT_UNTRUSTED, any other
// failed handshake COMM_DIR_SVC_TLS_FAILED, and an authority file that the
// daemon cannot read COMM_DIR_SVC_TLS_CA_FILE before any server is tried.
// A requester other than the daemon's own user and root names an authority
// file only in the folders that the daemon allows (--ca-dir), else
// COMM_DIR_SVC_TLS_CA_NOT_ALLOWED, alike whether the file exists or not.
//
// Schemes: ldap:// and ldaps://, and ldapi:// with --allow-ldapi; any other
// URI gives COMM_DIR_SVC_URI_NOT_ALLOWED before any server is tried.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_

#include <ldap.h>

#include <string>

#include "commdir/comm_dir_records.h"
#include "service/comm_dir_failover.h"
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

// Connects (failing over as `failover` says, and telling it which URI
// answered) and (when `bind` is not null) binds. Returns 0 and the open
// connection in *ld, or the daemon's code with *ld null. Fills `findings`.
// `requester` is the uid that sent the request: the failover memory is
// kept per user, and the record's certificate authority file is the
// requester's to name only as check_authority (in the .cc) says.
RETCODE comm_dir_ldap_open(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, uid_t requester,
                           const comm_dir_service_options& options, comm_dir_failover* failover, LDAP** ld,
                           comm_dir_ldap_findings* findings);

// A timeval of `ms` milliseconds.
timeval comm_dir_timeval_ms(long ms);

// The connection's network timeout: the record's, clamped to the daemon's
// --max-network-timeout, else the daemon's --network-timeout.
int comm_dir_network_timeout_ms(const COMM_DIR_CONNECT_INFO& connect, const comm_dir_service_options& options);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_
