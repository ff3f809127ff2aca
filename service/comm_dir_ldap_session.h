// What opening an LDAP connection as a connection record and a bind record
// say needs besides the waits (comm_dir_ldap_opening.h has those): the
// checks of a record before any server is tried, the options of each
// handle, and the words that a failed step leaves for the connection test.
//
// Every phase has a deadline (libldap's own defaults wait without limit):
// the record's network timeout (or the daemon's) bounds the connect, the TLS
// handshake and the bind, and each phase that runs out has its own code.
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
#include <vector>

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

// What one request's connections use beside their record: the network
// timeout, clamped to the daemon's maximum, and the certificate authority
// file that checks the server, as the record's requester may name it
// (empty: the system's).
struct comm_dir_link_settings {
  int network_timeout_ms = 0;
  std::string ca_file;
};

// Checks `connect` before any server is tried: its URIs (into *uris), their
// schemes, its security, and the authority file that `requester` names
// (check_authority in the .cc says which). Returns 0 with *link set, or the
// code of the refusal with its diagnostic in `findings`.
RETCODE comm_dir_ldap_check_record(const COMM_DIR_CONNECT_INFO& connect, uid_t requester,
                                   const comm_dir_service_options& options, std::vector<std::string>* uris,
                                   comm_dir_link_settings* link, comm_dir_ldap_findings* findings);

// Sets what a handle needs before it connects; `tls_verify` is the record's
// word. Returns LDAP_SUCCESS or LDAP_LOCAL_ERROR.
int comm_dir_ldap_set_options(LDAP* ld, UINT tls_verify, const comm_dir_link_settings& link);

// Records a failed step in `findings` (its LDAP code and "STEP: the server's
// or libldap's message") and returns `code`.
RETCODE comm_dir_ldap_failed(LDAP* ld, int ldap_code, RETCODE code, const std::string& step,
                             comm_dir_ldap_findings* findings);

// Whether a certificate that fails the check ends the handshake at the
// record's level `tls_verify`.
bool comm_dir_refuses_bad_certificate(UINT tls_verify);

// A timeval of `ms` milliseconds.
timeval comm_dir_timeval_ms(long ms);

// The connection's network timeout: the record's, clamped to the daemon's
// --max-network-timeout, else the daemon's --network-timeout.
int comm_dir_network_timeout_ms(const COMM_DIR_CONNECT_INFO& connect, const comm_dir_service_options& options);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_SESSION_H_
