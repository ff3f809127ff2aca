#include "tools/tool_tls.h"

#include <ldap.h>

#include "commdir/comm_dir_records.h"

namespace commdir_tools {

namespace {

// The record's word for a libldap TLS_REQCERT level. hard is libldap's
// other name for demand; a level that libldap may add later is taken as
// demand, the strictest.
UINT verify_word_for(int require_cert) {
  switch (require_cert) {
    case LDAP_OPT_X_TLS_NEVER: return velmarosta::COMM_DIR_TLS_VERIFY_NEVER;
    case LDAP_OPT_X_TLS_ALLOW: return velmarosta::COMM_DIR_TLS_VERIFY_ALLOW;
    case LDAP_OPT_X_TLS_TRY: return velmarosta::COMM_DIR_TLS_VERIFY_TRY;
    default: return velmarosta::COMM_DIR_TLS_VERIFY_DEMAND;
  }
}

}  // namespace

// The daemon makes the connection, with its own libldap and in its own
// environment, so comm-dir hands it what its user's configuration says.
// libldap itself reads that configuration here (its first use in the
// process reads every file and variable that ldapsearch's would), rather
// than a parser of comm-dir's own that could drift from libldap's rules.
// Only what the connect record can carry travels: the authority file and
// the check level. TLS_CACERTDIR, client certificates and the rest of the
// TLS options stay the daemon's.
tls_settings read_user_tls_settings() {
  tls_settings settings;
  char* ca_file = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, &ca_file) == LDAP_OPT_SUCCESS && ca_file != nullptr) {
    settings.ca_file = ca_file;
  }
  ldap_memfree(ca_file);
  int require_cert = LDAP_OPT_X_TLS_DEMAND;
  ldap_get_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &require_cert);
  settings.verify = verify_word_for(require_cert);
  return settings;
}

void read_configured_defaults(tool_options* options) {
  char* uris = nullptr;
  char* base = nullptr;
  ldap_get_option(nullptr, LDAP_OPT_URI, &uris);
  ldap_get_option(nullptr, LDAP_OPT_DEFBASE, &base);
  take_configured_defaults(uris, base, options);
  ldap_memfree(uris);
  ldap_memfree(base);
}

}  // namespace commdir_tools
