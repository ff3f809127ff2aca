#include "service/comm_dir_ldap_connect_watch.h"

#include <strings.h>

#include <cerrno>

#include "commdir/comm_dir_result_codes.h"

namespace velmarosta {
namespace {

thread_local comm_dir_ldap_connect_watch* t_watch = nullptr;

}  // namespace

comm_dir_ldap_connect_watch::comm_dir_ldap_connect_watch(LDAP* ld) : ld_(ld), outer_(t_watch) {
  // libldap keeps the pointers for the handle's life: the callback records
  // are static, and they reach this watch only through t_watch.
  static ldap_conncb connect_callbacks{&on_tcp_connected, &on_closed, nullptr};
  ldap_set_option(ld_, LDAP_OPT_CONNECT_CB, &connect_callbacks);
  ldap_set_option(ld_, LDAP_OPT_X_TLS_CONNECT_CB, reinterpret_cast<void*>(&on_tls_begins));
  t_watch = this;
}

comm_dir_ldap_connect_watch::~comm_dir_ldap_connect_watch() {
  ldap_set_option(ld_, LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_OFF);
  t_watch = outer_;
}

int comm_dir_ldap_connect_watch::connect() {
  errno = 0;
  const int rc = ldap_connect(ld_);
  connect_errno_ = rc != LDAP_SUCCESS ? errno : 0;
  return rc;
}

int comm_dir_ldap_connect_watch::start_tls() {
  Sockbuf* sb = nullptr;
  if (ldap_get_option(ld_, LDAP_OPT_SOCKBUF, &sb) == LDAP_OPT_SUCCESS && sb != nullptr) bound_handshake(sb);
  errno = 0;
  const int rc = ldap_start_tls_s(ld_, nullptr, nullptr);
  connect_errno_ = rc != LDAP_SUCCESS ? errno : 0;
  return rc;
}

RETCODE comm_dir_ldap_connect_watch::failure(int ldap_code) const {
  if (connect_errno_ == ETIMEDOUT) {
    if (tls_begun_) return COMM_DIR_SVC_TLS_TIMEOUT;
    if (!tcp_connected_) return COMM_DIR_SVC_CONNECT_TIMEOUT;
  }
  return comm_dir_code_from_ldap(ldap_code);
}

comm_dir_ldap_connect_watch* comm_dir_ldap_connect_watch::watching(LDAP* ld) {
  return t_watch != nullptr && t_watch->ld_ == ld ? t_watch : nullptr;
}

// libldap's handshake loop waits with the network timeout only when the
// flag is on, and leaves the socket blocking then: both are set here.
void comm_dir_ldap_connect_watch::bound_handshake(Sockbuf* sb) {
  ldap_set_option(ld_, LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_ON);
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_NONBLOCK, reinterpret_cast<void*>(1));
}

int comm_dir_ldap_connect_watch::on_tcp_connected(LDAP* ld, Sockbuf* sb, LDAPURLDesc* srv, sockaddr*,
                                                  ldap_conncb*) {
  comm_dir_ldap_connect_watch* watch = watching(ld);
  if (watch == nullptr) return 0;
  watch->tcp_connected_ = true;
  if (srv != nullptr && srv->lud_scheme != nullptr && strcasecmp(srv->lud_scheme, "ldaps") == 0)
    watch->bound_handshake(sb);
  return 0;
}

void comm_dir_ldap_connect_watch::on_closed(LDAP*, Sockbuf*, ldap_conncb*) {}

int comm_dir_ldap_connect_watch::on_tls_begins(LDAP* ld, void*, void*, void*) {
  comm_dir_ldap_connect_watch* watch = watching(ld);
  if (watch == nullptr) return 0;
  watch->tls_begun_ = true;
  // libldap has read the flag for this handshake; no later connect of the
  // handle may be asynchronous.
  ldap_set_option(ld, LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_OFF);
  return 0;
}

}  // namespace velmarosta
