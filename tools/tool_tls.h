// What libldap's configuration gives comm-dir's user, as ldapsearch would
// take it: the TLS settings, and the servers and base where the command line
// names none.
#ifndef COMMDIR_TOOLS_TOOL_TLS_H_
#define COMMDIR_TOOLS_TOOL_TLS_H_

#include "tools/tool_options.h"

namespace commdir_tools {

// The certificate authority file and the TLS_REQCERT level that libldap's
// configuration gives this process: ldap.conf, ~/.ldaprc and ./ldaprc,
// LDAPCONF and LDAPRC, and the LDAPTLS_* variables, with libldap's own
// precedence and its own rules for set-uid programs.
tls_settings read_user_tls_settings();

// URI and BASE of the same configuration, taken as take_configured_defaults
// says (tools/tool_options.h).
void read_configured_defaults(tool_options* options);

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_TLS_H_
