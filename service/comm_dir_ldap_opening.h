// Opening an LDAP connection as a connection record and a bind record say,
// in steps that never wait (comm_dir_wait.h): the event loop watches the
// connect, each TLS handshake, StartTLS and the bind, each bounded by the
// network timeout, while the workers serve others. Only a host name's
// lookup blocks, with the connects to its addresses: the lookup pool runs
// that step (comm_dir_lookup_pool.h).
//
// libldap (2.5) would block in two places that the opening therefore does
// itself:
//   - the connect: a handle connects asynchronously (LDAP_OPT_CONNECT_ASYNC)
//     and the loop waits for its descriptor to become writable; the
//     socket's error then says how the connect ended. libldap tries only
//     the first address of a name asynchronously, so names are connected
//     synchronously on the lookup pool instead, every address in turn
//     within the network timeout, as libldap does;
//   - the TLS handshake: libldap's own (ldap_start_tls_s, or an ldaps://
//     connect) polls until the handshake ends or the network timeout runs
//     out, also on an asynchronous connection. So an ldaps:// URI is
//     connected as ldap:// to the same host and port, and the handshake is
//     driven a step at a time with ldap_pvt_tls_connect, libldap's own
//     handshake step (exported, though not in its public header), which
//     checks the certificate and the host name as libldap's handshake
//     does. The handle's URI is set back to the ldaps:// one once the
//     connect is under way, so that a connection that libldap opened again
//     by itself would speak TLS. StartTLS is its request (ldap_start_tls),
//     its answer, then the same handshake.
//
// The blank-separated URIs of a record are tried one by one, each on a
// handle of its own, in the order that comm_dir_failover gives (the record's
// order, or the URI that answered after a failover first): the first one
// whose connection (and ldaps:// handshake) stands serves. StartTLS and the
// bind then run on that one; a server that answers but refuses them has not
// failed over. A server that closes or resets the connection during
// StartTLS or the bind has: the next URI is tried, as after a failed
// connect. An operation without a bind fails over likewise when its first
// search loses the connection before any answer (reopen()).
//
// A TLS handshake that fails (not by running out of time) gets a second
// try without the certificate check, which sends nothing over TLS and is
// closed at once: if that one passes, the certificate was refused
// (COMM_DIR_SVC_TLS_CERT_UNTRUSTED), else the handshake failed
// (COMM_DIR_SVC_TLS_FAILED). libldap gives no reason of its own.
//
// Not thread-safe: its steps run one at a time, on the workers and the
// lookup pool in turn, handed over through their mutexes.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_OPENING_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_OPENING_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "commdir/comm_dir_records.h"
#include "service/comm_dir_failover.h"
#include "service/comm_dir_ldap_handle.h"
#include "service/comm_dir_ldap_session.h"
#include "service/comm_dir_service_options.h"
#include "service/comm_dir_wait.h"

namespace velmarosta {

class comm_dir_ldap_link;

// What an operation without a bind keeps to fail over at its first
// search: the record and the URIs that were not tried.
struct comm_dir_ldap_reopen {
  COMM_DIR_CONNECT_INFO connect;
  uid_t requester = 0;
  std::vector<std::size_t> order;  // indexes into the record's URIs, to try in this order
  bool first_tried = false;        // the first attempt began with the record's first URI
  std::size_t serving = 0;         // the URI whose connection is in use
};

class comm_dir_ldap_opening final : public comm_dir_resumable {
 public:
  // Opens `connect` and, when `bind` is not null, binds; `requester` is
  // the uid that sent the request (the failover memory is kept per user,
  // and the authority file is the requester's to name only as
  // comm_dir_ldap_session.h says). The records must outlive the opening.
  comm_dir_ldap_opening(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, uid_t requester,
                        const comm_dir_service_options& options, comm_dir_failover* failover);
  // Opens, without a bind, the URIs that `reopen` left untried, after the
  // one that served lost its connection (`lost`). `reopen` must outlive
  // the opening.
  comm_dir_ldap_opening(const comm_dir_ldap_reopen& reopen, const comm_dir_uri_failure& lost,
                        const comm_dir_service_options& options, comm_dir_failover* failover);
  ~comm_dir_ldap_opening();
  comm_dir_ldap_opening(const comm_dir_ldap_opening&) = delete;
  comm_dir_ldap_opening& operator=(const comm_dir_ldap_opening&) = delete;

  // The first step; done() at once when the record is refused.
  comm_dir_step begin();
  comm_dir_step resume(bool timed_out) override;
  void blocking_step() override;

  // Once done with 0: the open (and bound) connection.
  comm_dir_ldap_handle take() { return std::move(handle_); }
  const comm_dir_ldap_findings& findings() const { return findings_; }
  // Once done with 0, without a bind, when URIs are left untried: what a
  // first search needs to fail over; null otherwise.
  std::unique_ptr<comm_dir_ldap_reopen> reopen() const;

 private:
  enum class phase { kLinking, kProbing, kBinding, kDone };

  comm_dir_step settle(comm_dir_step step);
  comm_dir_step after(RETCODE code);
  comm_dir_step next_uri();
  comm_dir_step link_stood();
  comm_dir_step link_failed();
  comm_dir_step probed(bool passed);
  comm_dir_step failed_over_from(int ldap_code, RETCODE code, const std::string& step);
  comm_dir_step send_bind();
  comm_dir_step bind_answer(bool timed_out);
  comm_dir_step finish(RETCODE code);
  RETCODE failed_bind(int ldap_code);
  void remember(RETCODE code);

  const COMM_DIR_CONNECT_INFO& connect_;
  const COMM_DIR_BIND_INFO* const bind_;
  const uid_t requester_;
  const comm_dir_service_options& options_;
  comm_dir_failover* const failover_;
  std::vector<std::string> uris_;
  comm_dir_link_settings link_;
  std::vector<std::size_t> order_;
  std::size_t next_ = 0;      // into order_
  std::size_t index_ = 0;     // the URI being tried
  bool first_tried_ = false;  // order_ began with the record's first URI
  bool given_order_ = false;  // order_ came from a reopen
  phase phase_ = phase::kLinking;
  RETCODE result_ = 0;
  std::unique_ptr<comm_dir_ldap_link> link_try_;  // the URI's connection being made
  std::unique_ptr<comm_dir_ldap_link> probe_;     // the same without the certificate check
  comm_dir_ldap_handle handle_;
  int bind_msgid_ = -1;
  comm_dir_wait::clock::time_point bind_deadline_;
  comm_dir_uri_failure last_failure_;  // for the failover memory, which an operator reads
  comm_dir_ldap_findings findings_;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_OPENING_H_
