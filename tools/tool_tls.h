// The TLS settings of comm-dir's user, as ldapsearch would take them.
#ifndef COMMDIR_TOOLS_TOOL_TLS_H_
#define COMMDIR_TOOLS_TOOL_TLS_H_

#include "tools/tool_options.h"

namespace commdir_tools {

// The certificate authority file and the TLS_REQCERT level that libldap's
// configuration gives this process: ldap.conf, ~/.ldaprc and ./ldaprc,
// LDAPCONF and LDAPRC, and the LDAPTLS_* variables, with libldap's own
// precedence and its own rules for set-uid programs.
tls_settings read_user_tls_settings();

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_TLS_H_
