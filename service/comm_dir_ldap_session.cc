#include "service/comm_dir_ldap_session.h"

#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_ldap_connect_watch.h"
#include "service/comm_dir_ldap_uris.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

// Owns an LDAP handle until release(); unbinds it on every failure path.
class ldap_handle {
 public:
  ldap_handle() = default;
  ~ldap_handle() { reset(); }
  ldap_handle(const ldap_handle&) = delete;
  ldap_handle& operator=(const ldap_handle&) = delete;

  LDAP** out() { return &ld_; }
  LDAP* get() const { return ld_; }
  LDAP* release() {
    LDAP* ld = ld_;
    ld_ = nullptr;
    return ld;
  }
  void reset() {
    if (ld_ != nullptr) ldap_unbind_ext(ld_, nullptr, nullptr);
    ld_ = nullptr;
  }

 private:
  LDAP* ld_ = nullptr;
};

bool is_ldaps(const std::string& uri) { return strncasecmp(uri.c_str(), "ldaps://", 8) == 0; }

// True when every URI that libldap reads in the words `uris` has a scheme
// that `allowed` takes, and there is one.
template <typename Allowed>
bool every_scheme(const std::vector<std::string>& uris, Allowed allowed, std::string* refused = nullptr) {
  for (const std::string& uri : uris) {
    const std::vector<std::string> schemes = comm_dir_ldap_schemes(uri);
    if (schemes.empty() || !std::all_of(schemes.begin(), schemes.end(), allowed)) {
      if (refused != nullptr) *refused = uri;
      return false;
    }
  }
  return !uris.empty();
}

// True when every URI of `uris` is an ldaps:// one.
bool all_ldaps(const std::vector<std::string>& uris) {
  return every_scheme(uris, [](const std::string& scheme) { return scheme == "ldaps"; });
}

// The most of a server's diagnostic message that the daemon repeats, in a
// reply or a trace line: a server may send any amount. 256 bytes keep every
// message of a real server whole and, behind the step and URI that the
// daemon puts in front, fit the reply's 508-byte field.
constexpr std::size_t kMostDiagnostic = 256;

// `text` cut to kMostDiagnostic bytes, at the start of a UTF-8 character.
std::string bounded_diagnostic(const char* text) {
  std::size_t length = ::strnlen(text, kMostDiagnostic + 1);
  if (length > kMostDiagnostic) {
    length = kMostDiagnostic;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  return std::string(text, length);
}

// The server's diagnostic message of the last operation, or libldap's text
// for `code`.
std::string diagnostic_of(LDAP* ld, int code) {
  char* message = nullptr;
  std::string text;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS && message != nullptr &&
      message[0] != '\0')
    text = bounded_diagnostic(message);
  else
    text = ldap_err2string(code);
  ldap_memfree(message);
  return text;
}

// Records a failed step in `findings` and returns `code`.
RETCODE failed_with(LDAP* ld, int ldap_code, RETCODE code, const std::string& step,
                    comm_dir_ldap_findings* findings) {
  findings->ldap_result = ldap_code;
  findings->diagnostic = step + ": " + diagnostic_of(ld, ldap_code);
  SERVICE_TRACE("%s failed: LDAP code %d (%s)", step.c_str(), ldap_code, findings->diagnostic.c_str());
  return code;
}

// Records a failed step in `findings` and returns its code: `timeout_code`
// when libldap timed out, else the mapped LDAP code.
RETCODE failed_step(LDAP* ld, int ldap_code, RETCODE timeout_code, const std::string& step,
                    comm_dir_ldap_findings* findings) {
  return failed_with(ld, ldap_code, ldap_code == LDAP_TIMEOUT ? timeout_code : comm_dir_code_from_ldap(ldap_code),
                     step, findings);
}

// True for the codes of a connect or TLS handshake that ran out of time.
bool is_connect_timeout(RETCODE code) {
  return code == COMM_DIR_SVC_CONNECT_TIMEOUT || code == COMM_DIR_SVC_TLS_TIMEOUT;
}

// What one request's connection uses beside its record: the network timeout,
// clamped to the daemon's maximum, and the certificate authority file that
// checks the server, as check_authority() let the requester have it (empty:
// the system's).
struct link_settings {
  int network_timeout_ms = 0;
  std::string ca_file;
};

// ldap:// and ldaps:// only; ldapi:// when the administrator allows it. The
// peer of an ldapi:// socket learns the daemon's uid (SO_PEERCRED), and a
// server that trusts local users by their uid (slapd's EXTERNAL mapping)
// would take every requester for the daemon. Any other scheme, and an empty
// list (libldap's default URI, which ldap.conf may set to anything), is
// refused before any connection, every URI as libldap reads the word it
// stands in (comm_dir_ldap_uris.h). A diagnostic names the refused word.
bool schemes_allowed(const std::vector<std::string>& uris, const comm_dir_service_options& options,
                     comm_dir_ldap_findings* findings) {
  if (uris.empty()) {
    findings->diagnostic = "the record names no URI";
    return false;
  }
  std::string refused;
  const bool allowed = every_scheme(
      uris,
      [&options](const std::string& scheme) {
        return scheme == "ldap" || scheme == "ldaps" || (options.allow_ldapi && scheme == "ldapi");
      },
      &refused);
  if (!allowed) findings->diagnostic = refused + ": " + comm_dir_result_message(COMM_DIR_SVC_URI_NOT_ALLOWED);
  return allowed;
}

// True when `path` lies in `folder` (both absolute; "/" holds every path).
bool lies_in(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

bool in_allowed_folder(const std::string& path, const comm_dir_service_options& options) {
  for (const std::string& folder : options.ca_dirs) {
    if (lies_in(path, folder)) return true;
  }
  return false;
}

// Written with a ".." component: refused without looking, as it may climb
// out of the folder it starts in.
bool climbs(const std::string& path) {
  for (std::string::size_type at = 0; at != std::string::npos;) {
    const std::string::size_type next = path.find('/', at);
    if (path.compare(at, next == std::string::npos ? std::string::npos : next - at, "..") == 0) return true;
    at = next == std::string::npos ? next : next + 1;
  }
  return false;
}

// The certificate authority file that a request of `requester` may have
// the daemon open. The daemon's own user and root get the record's file as
// they name it: they could read it anyway. Any other user gets it only from
// a folder that the administrator allows (--ca-dir): the path as written
// must lie in one, without "..", and so must the file it names once made
// canonical (realpath: no symbolic link leads out). The canonical path is
// what libldap opens, so that nothing can be swapped behind the check. A
// path as written outside every allowed folder is refused before anything
// is looked up, so that the daemon never looks through folders that the
// requester may not; one whose canonical form cannot be made or lies
// outside is refused alike. The refusal is the same whether the file exists
// or not, so that no one learns about another user's files through the
// daemon (what the allowed folders hold is everyone's to know).
// The daemon's own --ca-file, used when the record names none, is the
// administrator's choice and always taken.
bool check_authority(const COMM_DIR_CONNECT_INFO& connect, uid_t requester, const comm_dir_service_options& options,
                     std::string* ca_file, comm_dir_ldap_findings* findings) {
  const std::string named = connect.tls_ca_file;
  if (named.empty() || requester == 0 || requester == geteuid()) {
    *ca_file = named.empty() ? options.ca_file : named;
    return true;
  }
  if (named[0] == '/' && !climbs(named) && in_allowed_folder(named, options)) {
    char canonical[PATH_MAX];
    if (realpath(named.c_str(), canonical) != nullptr && in_allowed_folder(canonical, options)) {
      *ca_file = canonical;
      return true;
    }
  }
  findings->diagnostic = comm_dir_result_message(COMM_DIR_SVC_TLS_CA_NOT_ALLOWED);
  SERVICE_TRACE("refused the certificate authority file of a record of uid %ld: in no allowed folder",
                static_cast<long>(requester));
  return false;
}

// Whether the connection will speak TLS: by the record's security, or by an
// ldaps:// URI in its list (which schemes_allowed has let through).
bool uses_tls(const COMM_DIR_CONNECT_INFO& connect, const std::vector<std::string>& uris) {
  return connect.security != COMM_DIR_SECURITY_NONE ||
         !every_scheme(uris, [](const std::string& scheme) { return scheme != "ldaps"; });
}

// The largest message that libldap takes from a server (a search entry is
// one message): an entry with some 80 values of the largest size that a
// reply carries (47,208 bytes) and their names. A server that announces more
// loses its connection before libldap allocates anything for it, so that no
// server makes the daemon hold more than this per message.
constexpr ber_len_t kMostIncoming = 4 * 1024 * 1024;

// Puts the limit above on the connection that `ld` is about to open (the
// handle's own socket buffer, which carries its first connection).
int limit_incoming(LDAP* ld) {
  Sockbuf* socket_buffer = nullptr;
  ber_len_t most = kMostIncoming;
  if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &socket_buffer) != LDAP_OPT_SUCCESS || socket_buffer == nullptr ||
      ber_sockbuf_ctrl(socket_buffer, LBER_SB_OPT_SET_MAX_INCOMING, &most) != 1)
    return LDAP_LOCAL_ERROR;
  return LDAP_OPT_SUCCESS;
}

// libldap's TLS_REQCERT level for the record's word (the decoder let only
// these through).
int require_cert_level(UINT tls_verify) {
  switch (tls_verify) {
    case COMM_DIR_TLS_VERIFY_NEVER: return LDAP_OPT_X_TLS_NEVER;
    case COMM_DIR_TLS_VERIFY_ALLOW: return LDAP_OPT_X_TLS_ALLOW;
    case COMM_DIR_TLS_VERIFY_TRY: return LDAP_OPT_X_TLS_TRY;
    default: return LDAP_OPT_X_TLS_DEMAND;
  }
}

// Whether a certificate that fails the check ends the handshake.
bool refuses_bad_certificate(UINT tls_verify) {
  return tls_verify == COMM_DIR_TLS_VERIFY_DEMAND || tls_verify == COMM_DIR_TLS_VERIFY_TRY;
}

// Sets the options that every connection needs before it connects. The TLS
// settings go into a context of this handle's own (LDAP_OPT_X_TLS_NEWCTX),
// so records with different authorities never share one.
int set_options(LDAP* ld, const COMM_DIR_CONNECT_INFO& connect, const link_settings& link) {
  const int version = LDAP_VERSION3;
  const timeval network = comm_dir_timeval_ms(link.network_timeout_ms);
  const int require_cert = require_cert_level(connect.tls_verify);
  const char* ca_file = link.ca_file.c_str();
  const int new_context = 0;
  int rc = limit_incoming(ld);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &network);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require_cert);
  if (rc == LDAP_OPT_SUCCESS && ca_file[0] != '\0') rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca_file);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &new_context);
  return rc == LDAP_OPT_SUCCESS ? LDAP_SUCCESS : LDAP_LOCAL_ERROR;
}

// The steps of opening a connection, and their names for the diagnostic.
enum class open_step { kUri, kOptions, kConnect };
const char* name_of(open_step step) {
  switch (step) {
    case open_step::kUri: return "URI";
    case open_step::kOptions: return "options";
    case open_step::kConnect: return "connect";
  }
  return "?";
}

// A step of opening a connection that failed, and libldap's code.
struct failed_open {
  open_step step = open_step::kUri;
  int ldap_code = LDAP_SUCCESS;
  RETCODE code = 0;            // the daemon's code for it: a time-out's own, else the mapped LDAP code
  bool tcp_connected = false;  // the TCP connection stood before the failure
};

// Opens `uri` up to a connection that carries LDAP: the TCP connection,
// with its TLS handshake for ldaps://. Returns false and what failed.
bool open_transport(const std::string& uri, const COMM_DIR_CONNECT_INFO& connect,
                    const link_settings& link, ldap_handle* handle, failed_open* failure) {
  failure->step = open_step::kUri;
  failure->ldap_code = ldap_initialize(handle->out(), uri.c_str());
  if (failure->ldap_code == LDAP_SUCCESS) {
    failure->step = open_step::kOptions;
    failure->ldap_code = set_options(handle->get(), connect, link);
  }
  if (failure->ldap_code != LDAP_SUCCESS) {
    failure->code = comm_dir_code_from_ldap(failure->ldap_code);
    return false;
  }
  failure->step = open_step::kConnect;
  comm_dir_ldap_connect_watch watch(handle->get());
  failure->ldap_code = watch.connect();
  failure->tcp_connected = watch.tcp_connected();
  failure->code = watch.failure(failure->ldap_code);
  return failure->ldap_code == LDAP_SUCCESS;
}

// Runs StartTLS, its handshake bounded by the network timeout, when the
// record asks for it. Returns libldap's code; *code is the daemon's for it.
int start_tls(LDAP* ld, const COMM_DIR_CONNECT_INFO& connect, RETCODE* code) {
  *code = 0;
  if (connect.security != COMM_DIR_SECURITY_STARTTLS) return LDAP_SUCCESS;
  comm_dir_ldap_connect_watch watch(ld);
  const int rc = watch.start_tls();
  *code = watch.failure(rc);
  return rc;
}

// True when a TLS handshake with `uri` succeeds without checking the
// server's certificate.
bool handshake_passes_unchecked(const std::string& uri, COMM_DIR_CONNECT_INFO connect,
                                const link_settings& link) {
  connect.tls_verify = COMM_DIR_TLS_VERIFY_NEVER;
  ldap_handle probe;
  failed_open failure;
  RETCODE code = 0;
  return open_transport(uri, connect, link, &probe, &failure) &&
         start_tls(probe.get(), connect, &code) == LDAP_SUCCESS;
}

// Records a TLS handshake that failed (not by running out of time) and
// returns its code. libldap gives no reason ("Connect error"), so the
// handshake is tried once more without the certificate check: if that one
// passes, the certificate was refused: not signed by the authority, or not
// for this host. This second connection is made on this failure path only,
// sends nothing over TLS and is closed at once.
RETCODE failed_handshake(const std::string& uri, const COMM_DIR_CONNECT_INFO& connect,
                         const link_settings& link, int ldap_code, comm_dir_ldap_findings* findings) {
  const bool refused_certificate =
      refuses_bad_certificate(connect.tls_verify) && handshake_passes_unchecked(uri, connect, link);
  const char* ca_file = link.ca_file.c_str();
  findings->ldap_result = ldap_code;
  findings->diagnostic = "TLS with " + uri + ": ";
  if (refused_certificate) {
    findings->diagnostic += std::string("the server's certificate is not trusted (authority: ") +
                            (ca_file[0] != '\0' ? ca_file : "the system's") + ")";
  } else {
    // libldap's diagnostic is "(unknown error code)" here; its code's text
    // says at least which side gave up.
    findings->diagnostic += std::string("the handshake failed: ") + ldap_err2string(ldap_code);
  }
  SERVICE_TRACE("%s", findings->diagnostic.c_str());
  return refused_certificate ? COMM_DIR_SVC_TLS_CERT_UNTRUSTED : COMM_DIR_SVC_TLS_FAILED;
}

// True when `failure` is a TLS handshake of ldaps:// that failed on a TCP
// connection that stood, and not for lack of time.
bool is_failed_ldaps_handshake(const std::string& uri, const failed_open& failure) {
  return is_ldaps(uri) && failure.step == open_step::kConnect && failure.tcp_connected &&
         failure.ldap_code != LDAP_TIMEOUT && !is_connect_timeout(failure.code);
}

// Records that `uri` answered after the URIs before it failed: no longer a
// failure, but the connection test still says why it was not the first.
void failed_over(const std::string& uri, comm_dir_ldap_findings* findings) {
  findings->ldap_result = LDAP_SUCCESS;
  findings->diagnostic = "failed over to " + uri + " after " + findings->diagnostic;
  SERVICE_TRACE("%s", findings->diagnostic.c_str());
}

// Tries the record's URIs (`uris`) in the order that `failover` gives and
// leaves the first connection that stands in `handle`. Returns 0, or the
// code of the last URI's failure.
RETCODE connect_first_answering(const COMM_DIR_CONNECT_INFO& connect, const std::vector<std::string>& uris,
                                const link_settings& link, uid_t requester, comm_dir_failover* failover,
                                ldap_handle* handle, std::string* connected_uri, comm_dir_ldap_findings* findings) {
  const std::vector<std::size_t> order =
      failover->order(requester, connect.uri, uris.size(), comm_dir_failover::clock::now());
  comm_dir_uri_failure last_failure;  // for the failover memory, which an operator reads
  for (std::size_t index : order) {
    handle->reset();
    failed_open failure;
    if (open_transport(uris[index], connect, link, handle, &failure)) {
      failover->answered(requester, connect.uri, index, order.front() == 0, comm_dir_failover::clock::now(),
                         index != order.front() ? &last_failure : nullptr);
      if (index != order.front()) failed_over(uris[index], findings);
      *connected_uri = uris[index];
      return 0;
    }
    findings->reachable = findings->reachable || failure.tcp_connected;
    last_failure.code =
        is_failed_ldaps_handshake(uris[index], failure)
            ? failed_handshake(uris[index], connect, link, failure.ldap_code, findings)
            : failed_with(handle->get(), is_connect_timeout(failure.code) ? LDAP_TIMEOUT : failure.ldap_code,
                          failure.code, std::string(name_of(failure.step)) + " " + uris[index], findings);
    last_failure.uri = uris[index];
    last_failure.reason = findings->diagnostic;
    last_failure.at = std::chrono::system_clock::now();
  }
  handle->reset();
  failover->none_answered(requester, connect.uri, last_failure, comm_dir_failover::clock::now());
  return last_failure.code;
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

// A record may ask for less than the daemon's maximum, never more; 0 takes
// the daemon's own timeout, which is the administrator's and not clamped.
int comm_dir_network_timeout_ms(const COMM_DIR_CONNECT_INFO& connect, const comm_dir_service_options& options) {
  if (connect.network_timeout_ms == 0) return options.network_timeout_ms;
  const UINT limit = static_cast<UINT>(options.max_network_timeout_ms);
  return static_cast<int>(connect.network_timeout_ms < limit ? connect.network_timeout_ms : limit);
}

RETCODE comm_dir_ldap_open(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind_record,
                           uid_t requester, const comm_dir_service_options& options, comm_dir_failover* failover,
                           LDAP** ld, comm_dir_ldap_findings* findings) {
  *ld = nullptr;
  const std::vector<std::string> uris = comm_dir_failover::split(connect.uri);
  if (!schemes_allowed(uris, options, findings)) return COMM_DIR_SVC_URI_NOT_ALLOWED;
  if (connect.security == COMM_DIR_SECURITY_LDAPS && !all_ldaps(uris)) {
    findings->diagnostic = "security LDAPS needs ldaps:// URIs only";
    return COMM_DIR_SVC_BAD_FIELD;
  }
  link_settings link;
  link.network_timeout_ms = comm_dir_network_timeout_ms(connect, options);
  const bool tls = uses_tls(connect, uris);
  if (tls && !check_authority(connect, requester, options, &link.ca_file, findings))
    return COMM_DIR_SVC_TLS_CA_NOT_ALLOWED;
  // libldap would fail the handshake alike for a file it cannot read; say so
  // before any server is tried.
  const char* ca_file = link.ca_file.c_str();
  if (tls && ca_file[0] != '\0' && access(ca_file, R_OK) != 0) {
    findings->diagnostic = std::string("the certificate authority file ") + ca_file + " cannot be read";
    SERVICE_TRACE("%s", findings->diagnostic.c_str());
    return COMM_DIR_SVC_TLS_CA_FILE;
  }
  ldap_handle handle;
  std::string uri;
  RETCODE code = connect_first_answering(connect, uris, link, requester, failover, &handle, &uri, findings);
  if (code != 0) return code;
  findings->reachable = true;
  RETCODE tls_code = 0;
  const int rc = start_tls(handle.get(), connect, &tls_code);
  if (rc == LDAP_CONNECT_ERROR && !is_connect_timeout(tls_code))
    return failed_handshake(uri, connect, link, rc, findings);
  if (rc != LDAP_SUCCESS)
    return failed_with(handle.get(), is_connect_timeout(tls_code) ? LDAP_TIMEOUT : rc,
                       rc == LDAP_TIMEOUT ? COMM_DIR_SVC_TLS_TIMEOUT : tls_code, "StartTLS", findings);
  if (bind_record != nullptr) {
    RETCODE code = bind(handle.get(), *bind_record, link.network_timeout_ms, findings);
    if (code != 0) return code;
  }
  *ld = handle.release();
  return 0;
}

}  // namespace velmarosta
