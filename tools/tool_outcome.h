// How comm-dir reports a result code of the library: an exit status in
// ldapsearch's convention and a message for people.
#ifndef COMMDIR_TOOLS_TOOL_OUTCOME_H_
#define COMMDIR_TOOLS_TOOL_OUTCOME_H_

#include <string>

#include "commdir/comm_dir_types.h"

namespace commdir_tools {

// Exit statuses of comm-dir that are not LDAP result codes.
constexpr int kExitFailure = 1;  // EXIT_FAILURE: a bad command line, or a failed StartTLS (as ldapsearch)
constexpr int kExitOther = 80;   // LDAP_OTHER: a refusal that is no LDAP code
// adminLimitExceeded: the search went through, but values longer than one
// reply of the daemon can carry were left out. As with sizeLimitExceeded
// (4), what was printed is correct and a limit cut the rest: here a limit
// of the service rather than of the request, which is what 11 says.
constexpr int kExitValuesLeftOut = 11;
constexpr int kExitTimeout = 251;      // LDAP_TIMEOUT (-5) as ldapsearch exits with it
constexpr int kExitUnreachable = 255;  // LDAP_SERVER_DOWN (-1): nobody to talk to

// The exit status for a result code of a facade call: 0 for 0; the LDAP
// result code for one that the daemon passed on (a libldap error as its low
// byte, as ldapsearch exits); kExitUnreachable for the transport's -1, for a
// failed or unfinished TLS handshake and for a connect time-out; kExitTimeout
// for the daemon's time-outs of the bind and the search; and kExitOther for
// every other code (the daemon's or the library's own).
int exit_status_for(RETCODE code);

// True for the daemon's codes of a TLS handshake that failed: a certificate
// refused, another failure, an authority file it cannot read, no end within
// the network timeout. ldapsearch
// sees each as a server it cannot contact (-1, exit 255) on ldaps://, and
// as a failed StartTLS (exit 1) with -Z and -ZZ.
bool is_tls_failure(RETCODE code);

// "no such object (32)" for an LDAP code, "the directory service is busy
// ... (0x34093006)" for any other.
std::string describe_result(RETCODE code);

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_OUTCOME_H_
