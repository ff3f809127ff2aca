#include "tools/tool_outcome.h"

#include <cstdio>
#include <cstring>

#include "commdir/comm_dir_result_codes.h"

namespace commdir_tools {

bool is_tls_failure(RETCODE code) {
  return code == velmarosta::COMM_DIR_SVC_TLS_CERT_UNTRUSTED || code == velmarosta::COMM_DIR_SVC_TLS_FAILED ||
         code == velmarosta::COMM_DIR_SVC_TLS_CA_FILE || code == velmarosta::COMM_DIR_SVC_TLS_TIMEOUT;
}

int exit_status_for(RETCODE code) {
  if (code == 0) return 0;
  // A connection that does not stand in time is a server that ldapsearch
  // cannot contact; an answer that does not come in time, its time-out.
  if (code == -1 || is_tls_failure(code) || code == velmarosta::COMM_DIR_SVC_CONNECT_TIMEOUT) {
    return kExitUnreachable;
  }
  if (code == velmarosta::COMM_DIR_SVC_BIND_TIMEOUT || code == velmarosta::COMM_DIR_SVC_SEARCH_TIMEOUT ||
      code == velmarosta::COMM_DIR_SVC_RESULT_TIMEOUT) {
    return kExitTimeout;
  }
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
