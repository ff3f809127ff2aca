// Deadlines for the phases of opening an LDAP connection that libldap itself
// leaves without one, and the facts needed to tell the phases apart.
//
// libldap (2.5) bounds the TLS handshake by the network timeout only on a
// connection that it opened asynchronously (LDAP_OPT_CONNECT_ASYNC);
// otherwise an ldaps:// server, or a StartTLS server, that never answers the
// ClientHello holds the worker for good. An asynchronous connect, though,
// would blur the connect phase into the bind. So the watch lets the TCP
// connect run as usual and switches the connection to the bounded handshake
// in between: libldap's connect callback (after the TCP connect, before TLS)
// turns the asynchronous flag on and the socket to non-blocking, and its TLS
// callback (when the handshake begins, after libldap has read the flag)
// turns the flag off again, so that no later connect of the handle is
// asynchronous.
//
// libldap reports a connect that ran out of time, and a handshake that ran
// out of time, as "server down" with errno ETIMEDOUT; the watch knows from
// the callbacks how far the attempt got, and so which deadline fired.
//
// Thread-compatible: a watch belongs to the thread that opens the
// connection. libldap calls the callbacks synchronously on that thread,
// inside ldap_connect and ldap_start_tls_s, where they find the watch
// through a thread-local pointer; outside a watch they do nothing.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_CONNECT_WATCH_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_CONNECT_WATCH_H_

#include <ldap.h>

#include "commdir/comm_dir_types.h"

namespace velmarosta {

class comm_dir_ldap_connect_watch {
 public:
  // Registers the callbacks on `ld` (before its connect) and watches this
  // thread's calls on it until destroyed. `ld` must outlive the watch.
  explicit comm_dir_ldap_connect_watch(LDAP* ld);
  ~comm_dir_ldap_connect_watch();
  comm_dir_ldap_connect_watch(const comm_dir_ldap_connect_watch&) = delete;
  comm_dir_ldap_connect_watch& operator=(const comm_dir_ldap_connect_watch&) = delete;

  // ldap_connect with the watch; returns its LDAP code.
  int connect();
  // ldap_start_tls_s on the open connection, its handshake bounded by the
  // network timeout; returns its LDAP code.
  int start_tls();

  // True once a server accepted the TCP connection.
  bool tcp_connected() const { return tcp_connected_; }
  // The daemon's code for the result of connect() or start_tls(): the
  // connect or TLS time-out when that is what happened, else the mapped
  // LDAP code (0 for success).
  RETCODE failure(int ldap_code) const;

 private:
  static int on_tcp_connected(LDAP* ld, Sockbuf* sb, LDAPURLDesc* srv, sockaddr* addr, ldap_conncb* self);
  static void on_closed(LDAP* ld, Sockbuf* sb, ldap_conncb* self);
  static int on_tls_begins(LDAP* ld, void* session, void* context, void* arg);
  static comm_dir_ldap_connect_watch* watching(LDAP* ld);
  void bound_handshake(Sockbuf* sb);

  LDAP* const ld_;
  comm_dir_ldap_connect_watch* const outer_;  // the thread's watch before this one
  bool tcp_connected_ = false;
  bool tls_begun_ = false;
  int connect_errno_ = 0;  // errno right after the last failed connect() or start_tls()
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_CONNECT_WATCH_H_
