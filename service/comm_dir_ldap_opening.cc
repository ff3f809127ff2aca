#include "service/comm_dir_ldap_opening.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_service_trace.h"

// libldap's own step of a TLS handshake on a connection's socket buffer:
// 0 once it is done (the certificate and the host name checked as the
// handle's options say), above 0 while it waits for the server, below 0
// when it failed. Exported by libldap (OPENLDAP_2.5) for its tools and
// slapd; its public header leaves it out.
extern "C" int ldap_pvt_tls_connect(LDAP* ld, Sockbuf* sb, const char* host);

namespace velmarosta {
namespace {

using clock = comm_dir_wait::clock;
using on = comm_dir_wait::on;

clock::time_point after_ms(int ms) { return clock::now() + std::chrono::milliseconds(ms); }

int descriptor_of(LDAP* ld) {
  int fd = -1;
  ldap_get_option(ld, LDAP_OPT_DESC, &fd);
  return fd;
}

Sockbuf* socket_buffer_of(LDAP* ld) {
  Sockbuf* sb = nullptr;
  ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb);
  return sb;
}

// A host that needs no lookup: an IPv4 or IPv6 address as written.
bool numeric_host(const std::string& host) {
  in6_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 || inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// Whether the server has closed or reset the connection on `fd`: after a
// failed handshake, a server that is still there waits for more.
bool peer_gone(int fd) {
  char byte = 0;
  const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

// One URI's connection, up to where it carries LDAP: the connect, the
// ldaps:// handshake, and StartTLS when the record asks for it.
class comm_dir_ldap_link {
 public:
  comm_dir_ldap_link(const std::string& uri, const COMM_DIR_CONNECT_INFO& connect, UINT tls_verify,
                     const comm_dir_link_settings& link)
      : uri_(uri), connect_(connect), tls_verify_(tls_verify), link_(link) {}

  comm_dir_step begin();
  comm_dir_step resume(bool timed_out);
  void blocking_step();

  comm_dir_ldap_handle& handle() { return handle_; }
  // Of a link that failed:
  const char* step() const { return step_; }  // "URI", "options", "connect" or "StartTLS"
  int ldap_code() const { return ldap_code_; }
  RETCODE code() const { return code_; }
  bool tcp_connected() const { return tcp_connected_; }
  bool handshake_failed() const { return handshake_failed_; }  // not by running out of time
  bool lost() const { return lost_; }                          // the server closed or reset it
  bool at_starttls() const { return std::strcmp(step_, "StartTLS") == 0; }

 private:
  enum class phase { kLookup, kConnect, kStartTls, kHandshake };

  comm_dir_step connected();
  comm_dir_step start_tls();
  comm_dir_step start_tls_answered(bool timed_out);
  comm_dir_step handshake();
  comm_dir_step fail(const char* step, int ldap_code, RETCODE code);
  comm_dir_step wait(on kind, comm_dir_waiting_on what) {
    return comm_dir_step::waiting(kind, descriptor_of(handle_.get()), deadline_, what);
  }
  const char* tls_step() const { return in_starttls_ ? "StartTLS" : "connect"; }

  const std::string uri_;
  const COMM_DIR_CONNECT_INFO& connect_;
  const UINT tls_verify_;
  const comm_dir_link_settings& link_;
  comm_dir_ldap_handle handle_;
  std::string host_;  // as the server's certificate must name it
  bool ldaps_ = false;
  bool in_starttls_ = false;
  phase phase_ = phase::kConnect;
  clock::time_point deadline_;  // of the current phase
  int msgid_ = -1;              // StartTLS's request
  int lookup_rc_ = LDAP_SUCCESS;
  int lookup_errno_ = 0;

  const char* step_ = "URI";
  int ldap_code_ = LDAP_SUCCESS;
  RETCODE code_ = 0;
  bool tcp_connected_ = false;
  bool handshake_failed_ = false;
  bool lost_ = false;
};

comm_dir_step comm_dir_ldap_link::fail(const char* step, int ldap_code, RETCODE code) {
  step_ = step;
  ldap_code_ = ldap_code;
  code_ = code;
  return comm_dir_step::finished(code);
}

comm_dir_step comm_dir_ldap_link::begin() {
  int rc = ldap_initialize(handle_.out(), uri_.c_str());
  LDAPURLDesc* parsed = nullptr;
  if (rc == LDAP_SUCCESS && ldap_url_parse(uri_.c_str(), &parsed) != LDAP_URL_SUCCESS) rc = LDAP_PARAM_ERROR;
  if (rc != LDAP_SUCCESS) return fail("URI", rc, comm_dir_code_from_ldap(rc));
  const std::string scheme = parsed->lud_scheme != nullptr ? parsed->lud_scheme : "";
  host_ = parsed->lud_host != nullptr && parsed->lud_host[0] != '\0' ? parsed->lud_host : "localhost";
  const int port = parsed->lud_port;
  ldap_free_urldesc(parsed);
  ldaps_ = strcasecmp(scheme.c_str(), "ldaps") == 0;
  rc = comm_dir_ldap_set_options(handle_.get(), tls_verify_, link_);
  // The same host and port without libldap's handshake, which would wait.
  const std::string bracketed = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  if (rc == LDAP_SUCCESS && ldaps_)
    rc = ldap_set_option(handle_.get(), LDAP_OPT_URI, ("ldap://" + bracketed + ":" + std::to_string(port)).c_str());
  if (rc != LDAP_SUCCESS) return fail("options", rc, comm_dir_code_from_ldap(rc));
  const bool local = strcasecmp(scheme.c_str(), "ldapi") == 0;
  if (!local && !numeric_host(host_)) {
    phase_ = phase::kLookup;
    return comm_dir_step::waiting(on::kBlocking, -1, clock::time_point(), comm_dir_waiting_on::kNameLookup);
  }
  ldap_set_option(handle_.get(), LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_ON);
  rc = ldap_connect(handle_.get());
  if (rc != LDAP_SUCCESS) return fail("connect", rc, comm_dir_code_from_ldap(rc));
  deadline_ = after_ms(link_.network_timeout_ms);
  return wait(on::kWritable, comm_dir_waiting_on::kConnect);
}

// libldap tries each address of the name in turn, each within the network
// timeout (its synchronous connect).
void comm_dir_ldap_link::blocking_step() {
  errno = 0;
  lookup_rc_ = ldap_connect(handle_.get());
  lookup_errno_ = lookup_rc_ != LDAP_SUCCESS ? errno : 0;
}

comm_dir_step comm_dir_ldap_link::resume(bool timed_out) {
  switch (phase_) {
    case phase::kLookup:
      if (lookup_rc_ != LDAP_SUCCESS) {
        // libldap reports a connect that ran out of time as "server down" with ETIMEDOUT.
        return lookup_errno_ == ETIMEDOUT ? fail("connect", LDAP_TIMEOUT, COMM_DIR_SVC_CONNECT_TIMEOUT)
                                          : fail("connect", lookup_rc_, comm_dir_code_from_ldap(lookup_rc_));
      }
      return connected();
    case phase::kConnect: {
      if (timed_out) return fail("connect", LDAP_TIMEOUT, COMM_DIR_SVC_CONNECT_TIMEOUT);
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(descriptor_of(handle_.get()), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
        return fail("connect", LDAP_SERVER_DOWN, comm_dir_code_from_ldap(LDAP_SERVER_DOWN));
      return connected();
    }
    case phase::kStartTls: return start_tls_answered(timed_out);
    case phase::kHandshake: return timed_out ? fail(tls_step(), LDAP_TIMEOUT, COMM_DIR_SVC_TLS_TIMEOUT) : handshake();
  }
  return fail("connect", LDAP_OTHER, comm_dir_code_from_ldap(LDAP_OTHER));
}

comm_dir_step comm_dir_ldap_link::connected() {
  tcp_connected_ = true;
  LDAP* ld = handle_.get();
  // Were libldap to open the connection again by itself, it would speak
  // TLS as the URI says.
  if (ldaps_) ldap_set_option(ld, LDAP_OPT_URI, uri_.c_str());
  // A synchronous connect leaves the socket blocking; libldap's reads must
  // never wait for the rest of a message.
  ber_sockbuf_ctrl(socket_buffer_of(ld), LBER_SB_OPT_SET_NONBLOCK, reinterpret_cast<void*>(1));
  if (!ldaps_) return start_tls();
  phase_ = phase::kHandshake;
  deadline_ = after_ms(link_.network_timeout_ms);
  return handshake();
}

comm_dir_step comm_dir_ldap_link::start_tls() {
  if (connect_.security != COMM_DIR_SECURITY_STARTTLS) return comm_dir_step::finished(0);
  in_starttls_ = true;
  LDAP* ld = handle_.get();
  // StartTLS over TLS: refused as ldap_start_tls_s refuses it.
  if (ldap_tls_inplace(ld)) return fail("StartTLS", LDAP_LOCAL_ERROR, comm_dir_code_from_ldap(LDAP_LOCAL_ERROR));
  const int rc = ldap_start_tls(ld, nullptr, nullptr, &msgid_);
  if (rc != LDAP_SUCCESS) {
    lost_ = rc == LDAP_SERVER_DOWN;
    return fail("StartTLS", rc, comm_dir_code_from_ldap(rc));
  }
  phase_ = phase::kStartTls;
  deadline_ = after_ms(link_.network_timeout_ms);
  return wait(on::kReadable, comm_dir_waiting_on::kStartTls);
}

comm_dir_step comm_dir_ldap_link::start_tls_answered(bool timed_out) {
  LDAP* ld = handle_.get();
  if (timed_out) {
    ldap_abandon_ext(ld, msgid_, nullptr, nullptr);
    return fail("StartTLS", LDAP_TIMEOUT, COMM_DIR_SVC_TLS_TIMEOUT);
  }
  timeval no_wait{0, 0};
  LDAPMessage* answer = nullptr;
  int rc = ldap_result(ld, msgid_, LDAP_MSG_ALL, &no_wait, &answer);
  if (rc == 0) return wait(on::kReadable, comm_dir_waiting_on::kStartTls);
  if (rc < 0) {
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
    lost_ = rc == LDAP_SERVER_DOWN;
    return fail("StartTLS", rc, comm_dir_code_from_ldap(rc));
  }
  int result = LDAP_OTHER;
  rc = ldap_parse_result(ld, answer, &result, nullptr, nullptr, nullptr, nullptr, 1);
  if (rc != LDAP_SUCCESS) result = rc;
  if (result != LDAP_SUCCESS) return fail("StartTLS", result, comm_dir_code_from_ldap(result));
  phase_ = phase::kHandshake;
  deadline_ = after_ms(link_.network_timeout_ms);
  return handshake();
}

// One step of the handshake. It waits for the server to say more; a
// handshake that needs room to write (its messages are far smaller than a
// socket's buffer) runs into its deadline.
comm_dir_step comm_dir_ldap_link::handshake() {
  LDAP* ld = handle_.get();
  const int rc = ldap_pvt_tls_connect(ld, socket_buffer_of(ld), host_.c_str());
  if (rc > 0) return wait(on::kReadable, comm_dir_waiting_on::kTlsHandshake);
  if (rc == 0) return in_starttls_ ? comm_dir_step::finished(0) : start_tls();
  handshake_failed_ = true;
  lost_ = peer_gone(descriptor_of(ld));
  return fail(tls_step(), LDAP_CONNECT_ERROR, COMM_DIR_SVC_TLS_FAILED);
}

namespace {

// StartTLS refused, failed or not answered in time: the server is there,
// and no other URI is tried. Only a server that closed or reset the
// connection is left for the next one.
bool server_stays(const comm_dir_ldap_link& failed) { return failed.at_starttls() && !failed.lost(); }

}  // namespace

comm_dir_ldap_opening::comm_dir_ldap_opening(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind,
                                             uid_t requester, const comm_dir_service_options& options,
                                             comm_dir_failover* failover)
    : connect_(connect), bind_(bind), requester_(requester), options_(options), failover_(failover) {}

comm_dir_ldap_opening::comm_dir_ldap_opening(const comm_dir_ldap_reopen& reopen, const comm_dir_uri_failure& lost,
                                             const comm_dir_service_options& options, comm_dir_failover* failover)
    : connect_(reopen.connect),
      bind_(nullptr),
      requester_(reopen.requester),
      options_(options),
      failover_(failover),
      order_(reopen.order),
      first_tried_(reopen.first_tried),
      given_order_(true),
      last_failure_(lost) {
  findings_.diagnostic = lost.reason;
}

comm_dir_ldap_opening::~comm_dir_ldap_opening() = default;

comm_dir_step comm_dir_ldap_opening::begin() {
  const RETCODE code = comm_dir_ldap_check_record(connect_, requester_, options_, &uris_, &link_, &findings_);
  if (code != 0) return finish(code);
  if (!given_order_) {
    order_ = failover_->order(requester_, connect_.uri, uris_.size(), comm_dir_failover::clock::now());
    first_tried_ = order_.front() == 0;
  }
  return settle(next_uri());
}

comm_dir_step comm_dir_ldap_opening::resume(bool timed_out) {
  switch (phase_) {
    case phase::kLinking: return settle(link_try_->resume(timed_out));
    case phase::kProbing: return settle(probe_->resume(timed_out));
    case phase::kBinding: return settle(bind_answer(timed_out));
    case phase::kDone: break;
  }
  return comm_dir_step::finished(result_);
}

void comm_dir_ldap_opening::blocking_step() {
  if (phase_ == phase::kProbing) {
    probe_->blocking_step();
  } else if (phase_ == phase::kLinking) {
    link_try_->blocking_step();
  }
}

// A step of a link or probe that is done leads to the next one of the
// opening, which may be done at once too.
comm_dir_step comm_dir_ldap_opening::settle(comm_dir_step step) {
  while (step.done() && phase_ != phase::kDone) step = after(step.code);
  return step;
}

comm_dir_step comm_dir_ldap_opening::after(RETCODE code) {
  switch (phase_) {
    case phase::kLinking: return code == 0 ? link_stood() : link_failed();
    case phase::kProbing: return probed(code == 0);
    default: return finish(code);
  }
}

comm_dir_step comm_dir_ldap_opening::next_uri() {
  link_try_.reset();
  if (next_ >= order_.size()) {
    failover_->none_answered(requester_, connect_.uri, last_failure_, comm_dir_failover::clock::now());
    return finish(last_failure_.code);
  }
  index_ = order_[next_++];
  link_try_ = std::make_unique<comm_dir_ldap_link>(uris_[index_], connect_, connect_.tls_verify, link_);
  phase_ = phase::kLinking;
  return link_try_->begin();
}

comm_dir_step comm_dir_ldap_opening::link_stood() {
  findings_.reachable = true;
  // A reopen comes after the URI that served failed; otherwise an URI
  // that is not the first of the order answered after those before it failed.
  const bool over = given_order_ || index_ != order_.front();
  failover_->answered(requester_, connect_.uri, index_, first_tried_, comm_dir_failover::clock::now(),
                      over ? &last_failure_ : nullptr);
  if (over) {
    // No longer a failure, but the connection test still says why it was not the first.
    findings_.ldap_result = LDAP_SUCCESS;
    findings_.diagnostic = "failed over to " + uris_[index_] + " after " + findings_.diagnostic;
    SERVICE_TRACE("%s", findings_.diagnostic.c_str());
  }
  handle_ = std::move(link_try_->handle());
  link_try_.reset();
  return bind_ == nullptr ? finish(0) : send_bind();
}

comm_dir_step comm_dir_ldap_opening::link_failed() {
  comm_dir_ldap_link& failed = *link_try_;
  findings_.reachable = findings_.reachable || failed.tcp_connected();
  if (failed.handshake_failed()) {
    if (failed.lost() || !comm_dir_refuses_bad_certificate(connect_.tls_verify)) return probed(false);
    // The handshake once more, without the certificate check: see the header.
    probe_ = std::make_unique<comm_dir_ldap_link>(uris_[index_], connect_, COMM_DIR_TLS_VERIFY_NEVER, link_);
    phase_ = phase::kProbing;
    return probe_->begin();
  }
  const std::string step = failed.at_starttls() ? std::string("StartTLS") : failed.step() + (" " + uris_[index_]);
  const RETCODE code = comm_dir_ldap_failed(failed.handle().get(), failed.ldap_code(), failed.code(), step, &findings_);
  if (server_stays(failed)) return finish(code);
  remember(code);
  return next_uri();
}

// After a failed handshake: `passed` when the probe without the
// certificate check passed.
comm_dir_step comm_dir_ldap_opening::probed(bool passed) {
  probe_.reset();
  phase_ = phase::kLinking;
  comm_dir_ldap_link& failed = *link_try_;
  const std::string& uri = uris_[index_];
  const char* ca_file = link_.ca_file.c_str();
  findings_.ldap_result = failed.ldap_code();
  findings_.diagnostic = "TLS with " + uri + ": ";
  if (passed) {
    findings_.diagnostic += std::string("the server's certificate is not trusted (authority: ") +
                            (ca_file[0] != '\0' ? ca_file : "the system's") + ")";
  } else {
    // libldap's diagnostic is "(unknown error code)" here; its code's text
    // says at least which side gave up.
    findings_.diagnostic += std::string("the handshake failed: ") + ldap_err2string(failed.ldap_code());
  }
  SERVICE_TRACE("%s", findings_.diagnostic.c_str());
  const RETCODE code = passed ? COMM_DIR_SVC_TLS_CERT_UNTRUSTED : COMM_DIR_SVC_TLS_FAILED;
  if (server_stays(failed)) return finish(code);
  remember(code);
  return next_uri();
}

void comm_dir_ldap_opening::remember(RETCODE code) {
  last_failure_.code = code;
  last_failure_.uri = uris_[index_];
  last_failure_.reason = findings_.diagnostic;
  last_failure_.at = std::chrono::system_clock::now();
}

// The connection stood, and the server closed or reset it during the
// bind: the next URI is tried, as after a failed connect.
comm_dir_step comm_dir_ldap_opening::failed_over_from(int ldap_code, RETCODE code, const std::string& step) {
  remember(comm_dir_ldap_failed(handle_.get(), ldap_code, code, step, &findings_));
  handle_.reset();
  return next_uri();
}

comm_dir_step comm_dir_ldap_opening::send_bind() {
  phase_ = phase::kBinding;
  const COMM_DIR_BIND_INFO& record = *bind_;
  const bool external = record.method == COMM_DIR_BIND_SASL_EXTERNAL;
  const bool anonymous = record.method == COMM_DIR_BIND_ANONYMOUS;
  berval credentials{};
  if (record.method == COMM_DIR_BIND_SIMPLE) {
    credentials.bv_val = const_cast<char*>(record.password);
    credentials.bv_len = std::strlen(record.password);
  }
  const char* dn = anonymous ? "" : record.bind_dn;
  LDAP* ld = handle_.get();
  const int rc = ldap_sasl_bind(ld, external && dn[0] == '\0' ? nullptr : dn, external ? "EXTERNAL" : LDAP_SASL_SIMPLE,
                                external ? nullptr : &credentials, nullptr, nullptr, &bind_msgid_);
  if (rc == LDAP_SERVER_DOWN) return failed_over_from(rc, comm_dir_code_from_ldap(rc), "bind");
  if (rc != LDAP_SUCCESS) return finish(failed_bind(rc));
  bind_deadline_ = after_ms(link_.network_timeout_ms);
  return comm_dir_step::waiting(on::kReadable, descriptor_of(ld), bind_deadline_, comm_dir_waiting_on::kBind);
}

comm_dir_step comm_dir_ldap_opening::bind_answer(bool timed_out) {
  LDAP* ld = handle_.get();
  if (timed_out) {
    ldap_abandon_ext(ld, bind_msgid_, nullptr, nullptr);
    return finish(failed_bind(LDAP_TIMEOUT));
  }
  timeval no_wait{0, 0};
  LDAPMessage* answer = nullptr;
  int rc = ldap_result(ld, bind_msgid_, LDAP_MSG_ALL, &no_wait, &answer);
  if (rc == 0) {
    return comm_dir_step::waiting(on::kReadable, descriptor_of(ld), bind_deadline_, comm_dir_waiting_on::kBind);
  }
  if (rc < 0) {
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
    if (rc == LDAP_SERVER_DOWN) return failed_over_from(rc, comm_dir_code_from_ldap(rc), "bind");
    return finish(failed_bind(rc));
  }
  int result = LDAP_OTHER;
  rc = ldap_parse_result(ld, answer, &result, nullptr, nullptr, nullptr, nullptr, 1);
  if (rc != LDAP_SUCCESS) result = rc;
  if (result != LDAP_SUCCESS) return finish(failed_bind(result));
  findings_.bind_accepted = true;
  return finish(0);
}

RETCODE comm_dir_ldap_opening::failed_bind(int ldap_code) {
  const RETCODE code = ldap_code == LDAP_TIMEOUT ? COMM_DIR_SVC_BIND_TIMEOUT : comm_dir_code_from_ldap(ldap_code);
  return comm_dir_ldap_failed(handle_.get(), ldap_code, code, "bind", &findings_);
}

comm_dir_step comm_dir_ldap_opening::finish(RETCODE code) {
  phase_ = phase::kDone;
  result_ = code;
  link_try_.reset();
  probe_.reset();
  if (code != 0) handle_.reset();
  return comm_dir_step::finished(code);
}

std::unique_ptr<comm_dir_ldap_reopen> comm_dir_ldap_opening::reopen() const {
  if (bind_ != nullptr || result_ != 0 || next_ >= order_.size()) return nullptr;
  auto reopen = std::make_unique<comm_dir_ldap_reopen>();
  reopen->connect = connect_;
  reopen->requester = requester_;
  reopen->order.assign(order_.begin() + static_cast<std::ptrdiff_t>(next_), order_.end());
  reopen->first_tried = first_tried_;
  reopen->serving = index_;
  return reopen;
}

}  // namespace velmarosta
