#include "service/comm_dir_ldap_session.h"

#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_ldap_handle.h"
#include "service/comm_dir_ldap_uris.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

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

}  // namespace

void comm_dir_ldap_initialize() {
  int version = 0;
  ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);  // the first use initializes
  // So does libldap's TLS library, at the first handle's own context, which
  // the handshakes of several threads could otherwise make at once.
  comm_dir_ldap_handle handle;
  if (ldap_initialize(handle.out(), "ldap://127.0.0.1/") != LDAP_SUCCESS) return;
  const int new_context = 0;
  ldap_set_option(handle.get(), LDAP_OPT_X_TLS_NEWCTX, &new_context);
}

bool comm_dir_refuses_bad_certificate(UINT tls_verify) {
  return tls_verify == COMM_DIR_TLS_VERIFY_DEMAND || tls_verify == COMM_DIR_TLS_VERIFY_TRY;
}

RETCODE comm_dir_ldap_failed(LDAP* ld, int ldap_code, RETCODE code, const std::string& step,
                             comm_dir_ldap_findings* findings) {
  findings->ldap_result = ldap_code;
  findings->diagnostic = step + ": " + diagnostic_of(ld, ldap_code);
  SERVICE_TRACE("%s failed: LDAP code %d (%s)", step.c_str(), ldap_code, findings->diagnostic.c_str());
  return code;
}

// The TLS settings go into a context of this handle's own
// (LDAP_OPT_X_TLS_NEWCTX), so records with different authorities never
// share one.
int comm_dir_ldap_set_options(LDAP* ld, UINT tls_verify, const comm_dir_link_settings& link) {
  const int version = LDAP_VERSION3;
  const timeval network = comm_dir_timeval_ms(link.network_timeout_ms);
  const int require_cert = require_cert_level(tls_verify);
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

RETCODE comm_dir_ldap_check_record(const COMM_DIR_CONNECT_INFO& connect, uid_t requester,
                                   const comm_dir_service_options& options, std::vector<std::string>* uris,
                                   comm_dir_link_settings* link, comm_dir_ldap_findings* findings) {
  *uris = comm_dir_ldap_uri_list(connect.uri);
  if (!schemes_allowed(*uris, options, findings)) return COMM_DIR_SVC_URI_NOT_ALLOWED;
  if (connect.security == COMM_DIR_SECURITY_LDAPS && !all_ldaps(*uris)) {
    findings->diagnostic = "security LDAPS needs ldaps:// URIs only";
    return COMM_DIR_SVC_BAD_FIELD;
  }
  link->network_timeout_ms = comm_dir_network_timeout_ms(connect, options);
  const bool tls = uses_tls(connect, *uris);
  if (tls && !check_authority(connect, requester, options, &link->ca_file, findings))
    return COMM_DIR_SVC_TLS_CA_NOT_ALLOWED;
  // libldap would fail the handshake alike for a file it cannot read; say so
  // before any server is tried.
  const char* ca_file = link->ca_file.c_str();
  if (tls && ca_file[0] != '\0' && access(ca_file, R_OK) != 0) {
    findings->diagnostic = std::string("the certificate authority file ") + ca_file + " cannot be read";
    SERVICE_TRACE("%s", findings->diagnostic.c_str());
    return COMM_DIR_SVC_TLS_CA_FILE;
  }
  return 0;
}

}  // namespace velmarosta
