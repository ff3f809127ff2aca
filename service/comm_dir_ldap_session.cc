#include "service/comm_dir_ldap_session.h"

#include <strings.h>

#include <cstring>
#include <sstream>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_ldap_connect_watch.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

// Owns an LDAP handle until release(); unbinds it on every failure path.
class ldap_handle {
 public:
  ldap_handle() = default;
  ~ldap_handle() {
    if (ld_ != nullptr) ldap_unbind_ext(ld_, nullptr, nullptr);
  }
  ldap_handle(const ldap_handle&) = delete;
  ldap_handle& operator=(const ldap_handle&) = delete;

  LDAP** out() { return &ld_; }
  LDAP* get() const { return ld_; }
  LDAP* release() {
    LDAP* ld = ld_;
    ld_ = nullptr;
    return ld;
  }

 private:
  LDAP* ld_ = nullptr;
};

// True when every blank-separated URI of `uris` is an ldaps:// one.
bool all_ldaps(const char* uris) {
  std::istringstream words(uris);
  std::string uri;
  bool any = false;
  while (words >> uri) {
    if (strncasecmp(uri.c_str(), "ldaps://", 8) != 0) return false;
    any = true;
  }
  return any;
}

// The server's diagnostic message of the last operation, or libldap's text
// for `code`.
std::string diagnostic_of(LDAP* ld, int code) {
  char* message = nullptr;
  std::string text;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS && message != nullptr &&
      message[0] != '\0')
    text = message;
  else
    text = ldap_err2string(code);
  ldap_memfree(message);
  return text;
}

// Records a failed step in `findings` and returns `code`.
RETCODE failed_with(LDAP* ld, int ldap_code, RETCODE code, const char* step, comm_dir_ldap_findings* findings) {
  findings->ldap_result = ldap_code;
  findings->diagnostic = std::string(step) + ": " + diagnostic_of(ld, ldap_code);
  SERVICE_TRACE("%s failed: LDAP code %d (%s)", step, ldap_code, findings->diagnostic.c_str());
  return code;
}

// Records a failed step in `findings` and returns its code: `timeout_code`
// when libldap timed out, else the mapped LDAP code.
RETCODE failed_step(LDAP* ld, int ldap_code, RETCODE timeout_code, const char* step,
                    comm_dir_ldap_findings* findings) {
  return failed_with(ld, ldap_code, ldap_code == LDAP_TIMEOUT ? timeout_code : comm_dir_code_from_ldap(ldap_code),
                     step, findings);
}

// A failed connect: the watch knows whether a deadline fired, and which.
RETCODE failed_connect(LDAP* ld, int ldap_code, const comm_dir_ldap_connect_watch& watch,
                       comm_dir_ldap_findings* findings) {
  const RETCODE code = watch.connect_failure(ldap_code);
  const bool timed_out = code == COMM_DIR_SVC_CONNECT_TIMEOUT || code == COMM_DIR_SVC_TLS_TIMEOUT;
  return failed_with(ld, timed_out ? LDAP_TIMEOUT : ldap_code, code, "connect", findings);
}

// Sets the options that every connection needs before it connects. The TLS
// settings go into a context of this handle's own (LDAP_OPT_X_TLS_NEWCTX),
// so records with different authorities never share one.
int set_options(LDAP* ld, const COMM_DIR_CONNECT_INFO& connect, const comm_dir_service_options& options) {
  const int version = LDAP_VERSION3;
  const timeval network = comm_dir_timeval_ms(comm_dir_network_timeout_ms(connect, options));
  const int require_cert = connect.tls_verify == COMM_DIR_TLS_VERIFY_NEVER ? LDAP_OPT_X_TLS_NEVER : LDAP_OPT_X_TLS_DEMAND;
  const char* ca_file = connect.tls_ca_file[0] != '\0' ? connect.tls_ca_file : options.ca_file.c_str();
  const int new_context = 0;
  int rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &network);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require_cert);
  if (rc == LDAP_OPT_SUCCESS && ca_file[0] != '\0') rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca_file);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &new_context);
  return rc == LDAP_OPT_SUCCESS ? LDAP_SUCCESS : LDAP_LOCAL_ERROR;
}

// Sends the bind and waits for its answer within the network timeout.
RETCODE bind(LDAP* ld, const COMM_DIR_BIND_INFO& record, int timeout_ms, comm_dir_ldap_findings* findings) {
  const bool external = record.method == COMM_DIR_BIND_SASL_EXTERNAL;
  const bool anonymous = record.method == COMM_DIR_BIND_ANONYMOUS;
  berval credentials{};
  if (record.method == COMM_DIR_BIND_SIMPLE) {
    credentials.bv_val = const_cast<char*>(record.password);
    credentials.bv_len = std::strlen(record.password);
  }
  const char* dn = anonymous ? "" : record.bind_dn;
  int msgid = 0;
  int rc = ldap_sasl_bind(ld, external && dn[0] == '\0' ? nullptr : dn, external ? "EXTERNAL" : LDAP_SASL_SIMPLE,
                          external ? nullptr : &credentials, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return failed_step(ld, rc, COMM_DIR_SVC_BIND_TIMEOUT, "bind", findings);
  timeval timeout = comm_dir_timeval_ms(timeout_ms);
  LDAPMessage* answer = nullptr;
  rc = ldap_result(ld, msgid, LDAP_MSG_ALL, &timeout, &answer);
  if (rc == 0) {
    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
    return failed_step(ld, LDAP_TIMEOUT, COMM_DIR_SVC_BIND_TIMEOUT, "bind", findings);
  }
  if (rc < 0) {
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
    return failed_step(ld, rc, COMM_DIR_SVC_BIND_TIMEOUT, "bind", findings);
  }
  int result = LDAP_OTHER;
  rc = ldap_parse_result(ld, answer, &result, nullptr, nullptr, nullptr, nullptr, 1);
  if (rc != LDAP_SUCCESS) result = rc;
  if (result != LDAP_SUCCESS) return failed_step(ld, result, COMM_DIR_SVC_BIND_TIMEOUT, "bind", findings);
  findings->bind_accepted = true;
  return 0;
}

}  // namespace

void comm_dir_ldap_initialize() {
  int version = 0;
  ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);  // the first use initializes
}

timeval comm_dir_timeval_ms(long ms) {
  timeval value{};
  value.tv_sec = ms / 1000;
  value.tv_usec = (ms % 1000) * 1000;
  return value;
}

int comm_dir_network_timeout_ms(const COMM_DIR_CONNECT_INFO& connect, const comm_dir_service_options& options) {
  const UINT limit = 999999999;
  if (connect.network_timeout_ms == 0) return options.network_timeout_ms;
  return static_cast<int>(connect.network_timeout_ms < limit ? connect.network_timeout_ms : limit);
}

RETCODE comm_dir_ldap_open(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind_record,
                           const comm_dir_service_options& options, LDAP** ld, comm_dir_ldap_findings* findings) {
  *ld = nullptr;
  if (connect.security == COMM_DIR_SECURITY_LDAPS && !all_ldaps(connect.uri)) {
    findings->diagnostic = "security LDAPS needs ldaps:// URIs only";
    return COMM_DIR_SVC_BAD_FIELD;
  }
  ldap_handle handle;
  int rc = ldap_initialize(handle.out(), connect.uri);
  if (rc != LDAP_SUCCESS) return failed_step(handle.get(), rc, COMM_DIR_SVC_CONNECT_TIMEOUT, "URI", findings);
  rc = set_options(handle.get(), connect, options);
  if (rc != LDAP_SUCCESS) return failed_step(handle.get(), rc, COMM_DIR_SVC_CONNECT_TIMEOUT, "options", findings);
  comm_dir_ldap_connect_watch watch(handle.get());
  rc = watch.connect();
  findings->reachable = rc == LDAP_SUCCESS || watch.tcp_connected();
  if (rc != LDAP_SUCCESS) return failed_connect(handle.get(), rc, watch, findings);
  if (connect.security == COMM_DIR_SECURITY_STARTTLS) {
    rc = watch.start_tls();
    if (rc != LDAP_SUCCESS) return failed_step(handle.get(), rc, COMM_DIR_SVC_TLS_TIMEOUT, "StartTLS", findings);
  }
  if (bind_record != nullptr) {
    RETCODE code = bind(handle.get(), *bind_record, comm_dir_network_timeout_ms(connect, options), findings);
    if (code != 0) return code;
  }
  *ld = handle.release();
  return 0;
}

}  // namespace velmarosta
