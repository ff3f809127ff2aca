#include "tools/tool_outcome.h"

#include <cstdio>
#include <cstring>

#include "commdir/comm_dir_result_codes.h"

namespace commdir_tools {

bool is_tls_failure(RETCODE code) {
  return code == velmarosta::COMM_DIR_SVC_TLS_CERT_UNTRUSTED || code == velmarosta::COMM_DIR_SVC_TLS_FAILED ||
         code == velmarosta::COMM_DIR_SVC_TLS_CA_FILE;
}

int exit_status_for(RETCODE code) {
  if (code == 0) return 0;
  if (code == -1 || is_tls_failure(code)) return kExitUnreachable;
  int ldap_code = 0;
  if (!velmarosta::comm_dir_ldap_code_of(code, &ldap_code)) return kExitOther;
  // A process exits with the low byte only; a code whose low byte is 0 must
  // not read as success.
  const int status = ldap_code & 0xff;
  return status != 0 ? status : kExitOther;
}

std::string describe_result(RETCODE code) {
  static constexpr char kLdapPrefix[] = "LDAP: ";
  const char* message = velmarosta::comm_dir_result_message(code);
  if (std::strncmp(message, kLdapPrefix, sizeof kLdapPrefix - 1) == 0) message += sizeof kLdapPrefix - 1;
  char number[32];
  int ldap_code = 0;
  if (velmarosta::comm_dir_ldap_code_of(code, &ldap_code)) {
    std::snprintf(number, sizeof number, " (%d)", ldap_code);
  } else if (code < 0) {
    std::snprintf(number, sizeof number, " (%d)", static_cast<int>(code));
  } else {
    std::snprintf(number, sizeof number, " (%#x)", static_cast<unsigned>(code));
  }
  return message + std::string(number);
}

}  // namespace commdir_tools
