// Result codes of the directory service daemon (comm-dir-service), as the
// facade hands them to the application unchanged, and a message for people
// for each of them.
//
// Ranges (all inside the library's module number 0x3409):
//
//   0x34091001 .. 0x34091FFF   LDAP result code rc (1 .. 0xFFF) returned by
//                              the LDAP server: 0x34091000 + rc.
//   0x34092001 .. 0x340920FF   libldap API error rc (-1 .. -0xFF), a failure
//                              on the daemon's side of the LDAP connection:
//                              0x34092000 + (-rc).
//   0x34093001 .. 0x34093FFF   the daemon's own codes (the table below).
//   0x34094000 .. 0x34097FFF   LDAP result code rc (0x1000 .. 0x4FFF, the
//                              extension codes such as 0x1000 and 0x410E):
//                              0x34094000 + (rc - 0x1000).
//
// An LDAP code outside these ranges (none is assigned today) becomes
// COMM_DIR_SVC_LDAP_CODE_UNKNOWN. No code equals 0, -1, COMM_DIR_ERR or the
// library's own 0x3409F0xx codes.
#ifndef COMMDIR_COMM_DIR_RESULT_CODES_H_
#define COMMDIR_COMM_DIR_RESULT_CODES_H_

#include "commdir/comm_dir_types.h"

namespace velmarosta {

constexpr RETCODE COMM_DIR_SVC_LDAP_RESULT_BASE = 0x34091000;
constexpr RETCODE COMM_DIR_SVC_LDAP_API_BASE = 0x34092000;
constexpr RETCODE COMM_DIR_SVC_LDAP_EXTENDED_BASE = 0x34094000;
constexpr int COMM_DIR_SVC_LDAP_RESULT_LAST = 0xFFF;
constexpr int COMM_DIR_SVC_LDAP_EXTENDED_FIRST = 0x1000;
constexpr int COMM_DIR_SVC_LDAP_EXTENDED_LAST = 0x4FFF;
constexpr int COMM_DIR_SVC_LDAP_API_LAST = 0xFF;

// The daemon's own codes.
// Requests that the daemon refuses before doing anything.
constexpr RETCODE COMM_DIR_SVC_UNKNOWN_FUNCTION = 0x34093001;     // function id the daemon does not serve
constexpr RETCODE COMM_DIR_SVC_WRONG_SIZE = 0x34093002;           // message too short or too long for its id
constexpr RETCODE COMM_DIR_SVC_UNKNOWN_OPERATION = 0x34093003;    // no open operation has this id
constexpr RETCODE COMM_DIR_SVC_UNTERMINATED_STRING = 0x34093004;  // a string field without its NUL
constexpr RETCODE COMM_DIR_SVC_BAD_FIELD = 0x34093005;            // an enumerated or numeric field out of range
constexpr RETCODE COMM_DIR_SVC_BUSY = 0x34093006;                 // queue or operation table full: try again
constexpr RETCODE COMM_DIR_SVC_SHUTTING_DOWN = 0x34093007;        // the daemon is stopping
constexpr RETCODE COMM_DIR_SVC_NO_MEMORY = 0x34093008;
constexpr RETCODE COMM_DIR_SVC_NOT_ALLOWED = 0x34093009;  // the daemon does not serve the caller's user
constexpr RETCODE COMM_DIR_SVC_USER_LIMIT = 0x3409300A;   // the user holds as many operations as one may
// The call's reply was not delivered: the application left it unread longer
// than the daemon keeps replies (--reply-wait), or more of its replies than
// the daemon keeps waited already. The request may have been served (an
// operation opened, a walk moved on); only its answer is lost.
constexpr RETCODE COMM_DIR_SVC_REPLY_DROPPED = 0x3409300B;
constexpr RETCODE COMM_DIR_SVC_URI_NOT_ALLOWED = 0x3409300C;  // a URI scheme the daemon does not connect to
// The entry or value list would take the operation, or its user's
// operations, beyond what the daemon holds for them
// (--max-held-bytes-per-user). A walk ends there; get_first_entry searches
// again, once the user's other operations hold less.
constexpr RETCODE COMM_DIR_SVC_MEMORY_LIMIT = 0x3409300D;
// Walks and values.
constexpr RETCODE COMM_DIR_SVC_NO_SEARCH = 0x34093010;          // entry request before any search
constexpr RETCODE COMM_DIR_SVC_NO_MORE_ENTRIES = 0x34093011;    // the walk is at its end
constexpr RETCODE COMM_DIR_SVC_NO_ENTRY = 0x34093012;           // attribute or value request without a current entry
constexpr RETCODE COMM_DIR_SVC_NO_ATTRIBUTE_WALK = 0x34093013;  // get_next_attribute before get_first_attribute
constexpr RETCODE COMM_DIR_SVC_NO_SUCH_VALUE = 0x34093014;      // value index beyond the attribute's values
constexpr RETCODE COMM_DIR_SVC_VALUE_TOO_LARGE = 0x34093015;    // value longer than one reply can carry
constexpr RETCODE COMM_DIR_SVC_NAME_TOO_LONG = 0x34093016;      // attribute name longer than 384 characters
// Deadlines: each phase has its own code, so that a person can tell which one
// fired. The network timeout is the connection record's, or the daemon's
// (--network-timeout) when the record gives none. A server that is down
// (the connection refused) is not a time-out: libldap's "server down",
// 0x34092001, at once.
constexpr RETCODE COMM_DIR_SVC_CONNECT_TIMEOUT = 0x34093020;  // TCP connect not completed within the network timeout
constexpr RETCODE COMM_DIR_SVC_TLS_TIMEOUT = 0x34093021;      // TLS handshake (ldaps:// or StartTLS) not finished
                                                              // within the network timeout
constexpr RETCODE COMM_DIR_SVC_BIND_TIMEOUT = 0x34093022;     // no bind answer within the network timeout
constexpr RETCODE COMM_DIR_SVC_SEARCH_TIMEOUT = 0x34093023;   // a search with a time limit: its first answer or
                                                              // the next entry not there within the time limit
                                                              // plus the network timeout
constexpr RETCODE COMM_DIR_SVC_RESULT_TIMEOUT = 0x34093024;   // a search without a time limit: its first answer
                                                              // or the next entry not there within the result
                                                              // timeout (by default the network timeout)
// The operation's LDAP connection was lost earlier (reset, closed, a notice
// of disconnection; the call that found out returned what libldap said:
// 0x34092001, or the notice's LDAP code). It is not opened again by itself,
// which would drop the operation's bind: end the operation and start another.
constexpr RETCODE COMM_DIR_SVC_CONNECTION_LOST = 0x34093025;
// TLS.
constexpr RETCODE COMM_DIR_SVC_TLS_CERT_UNTRUSTED = 0x34093030;  // the server's certificate failed the check
constexpr RETCODE COMM_DIR_SVC_TLS_FAILED = 0x34093031;          // the TLS handshake failed for another reason
constexpr RETCODE COMM_DIR_SVC_TLS_CA_FILE = 0x34093032;         // the certificate authority file cannot be read
constexpr RETCODE COMM_DIR_SVC_TLS_CA_NOT_ALLOWED = 0x34093033;  // the record's authority file is in no allowed folder
constexpr RETCODE COMM_DIR_SVC_LDAP_CODE_UNKNOWN = 0x340930FF;   // an LDAP code outside every range above

// The daemon's code for an LDAP result code (positive) or a libldap API
// error (negative); 0 stays 0.
constexpr RETCODE comm_dir_code_from_ldap(int ldap_code) {
  if (ldap_code == 0) return 0;
  if (ldap_code > 0 && ldap_code <= COMM_DIR_SVC_LDAP_RESULT_LAST) return COMM_DIR_SVC_LDAP_RESULT_BASE + ldap_code;
  if (ldap_code >= COMM_DIR_SVC_LDAP_EXTENDED_FIRST && ldap_code <= COMM_DIR_SVC_LDAP_EXTENDED_LAST)
    return COMM_DIR_SVC_LDAP_EXTENDED_BASE + (ldap_code - COMM_DIR_SVC_LDAP_EXTENDED_FIRST);
  if (ldap_code < 0 && ldap_code >= -COMM_DIR_SVC_LDAP_API_LAST) return COMM_DIR_SVC_LDAP_API_BASE - ldap_code;
  return COMM_DIR_SVC_LDAP_CODE_UNKNOWN;
}

// The reverse: true and the LDAP code (result code or negative API error)
// when `code` is one of the daemon's mapped LDAP codes.
constexpr bool comm_dir_ldap_code_of(RETCODE code, int* ldap_code) {
  if (code > COMM_DIR_SVC_LDAP_RESULT_BASE && code <= COMM_DIR_SVC_LDAP_RESULT_BASE + COMM_DIR_SVC_LDAP_RESULT_LAST) {
    *ldap_code = code - COMM_DIR_SVC_LDAP_RESULT_BASE;
    return true;
  }
  if (code > COMM_DIR_SVC_LDAP_API_BASE && code <= COMM_DIR_SVC_LDAP_API_BASE + COMM_DIR_SVC_LDAP_API_LAST) {
    *ldap_code = COMM_DIR_SVC_LDAP_API_BASE - code;
    return true;
  }
  if (code >= COMM_DIR_SVC_LDAP_EXTENDED_BASE &&
      code <= COMM_DIR_SVC_LDAP_EXTENDED_BASE + (COMM_DIR_SVC_LDAP_EXTENDED_LAST - COMM_DIR_SVC_LDAP_EXTENDED_FIRST)) {
    *ldap_code = code - COMM_DIR_SVC_LDAP_EXTENDED_BASE + COMM_DIR_SVC_LDAP_EXTENDED_FIRST;
    return true;
  }
  return false;
}

namespace result_codes_internal {

struct COMM_DIR_RESULT_MESSAGE {
  RETCODE code;
  const char* message;
};

// One row per code that has its own message. Mapped LDAP codes that have no
// row fall back to a message for their range.
inline constexpr COMM_DIR_RESULT_MESSAGE kMessages[] = {
    {0, "success"},
    {-1, "the request could not be sent or its reply not received (IPC failure)"},
    {COMM_DIR_ERR, "the library refused the call (no such operation, or a null argument)"},
    {COMM_DIR_ERR_BAD_REPLY, "the directory service sent a reply that breaks the message limits"},
    {COMM_DIR_ERR_NO_MEMORY, "the library could not allocate memory for the result"},
    {COMM_DIR_SVC_UNKNOWN_FUNCTION, "the directory service does not know this function id"},
    {COMM_DIR_SVC_WRONG_SIZE, "the request message has the wrong size for its function id"},
    {COMM_DIR_SVC_UNKNOWN_OPERATION, "no open operation has this id (never started, or already ended)"},
    {COMM_DIR_SVC_UNTERMINATED_STRING, "a string field of the request has no terminating NUL within its field"},
    {COMM_DIR_SVC_BAD_FIELD, "a field of the request has a value out of range (security, scope, method, mode ...)"},
    {COMM_DIR_SVC_BUSY, "the directory service is busy: too many requests or operations; try again"},
    {COMM_DIR_SVC_SHUTTING_DOWN, "the directory service is stopping"},
    {COMM_DIR_SVC_NO_MEMORY, "the directory service ran out of memory"},
    {COMM_DIR_SVC_NOT_ALLOWED, "the directory service does not serve this user (see its --allow-uid, --allow-group)"},
    {COMM_DIR_SVC_USER_LIMIT,
     "this user holds as many open operations as the directory service allows one user "
     "(--max-operations-per-user): end one first"},
    {COMM_DIR_SVC_REPLY_DROPPED,
     "the directory service dropped the reply: the application did not read its replies in time; the request may "
     "have been served"},
    {COMM_DIR_SVC_URI_NOT_ALLOWED,
     "the directory service connects to ldap:// and ldaps:// URIs only (ldapi:// when it runs with --allow-ldapi)"},
    {COMM_DIR_SVC_MEMORY_LIMIT,
     "the result is larger than the directory service holds for one operation or user (--max-held-bytes-per-user): "
     "end other operations, or search again later"},
    {COMM_DIR_SVC_NO_SEARCH, "the operation has no search result: search first"},
    {COMM_DIR_SVC_NO_MORE_ENTRIES, "no more entries: the walk is at the end of the search result"},
    {COMM_DIR_SVC_NO_ENTRY, "the operation has no current entry: get_first_entry first"},
    {COMM_DIR_SVC_NO_ATTRIBUTE_WALK, "no attribute walk on the current entry: get_first_attribute first"},
    {COMM_DIR_SVC_NO_SUCH_VALUE, "the attribute has no value at this index"},
    {COMM_DIR_SVC_VALUE_TOO_LARGE, "the value is longer than one reply can carry (47,207 characters, 47,208 bytes)"},
    {COMM_DIR_SVC_NAME_TOO_LONG, "the attribute name is longer than 384 characters"},
    {COMM_DIR_SVC_CONNECT_TIMEOUT, "no connection to the LDAP server within the network timeout"},
    {COMM_DIR_SVC_TLS_TIMEOUT, "the TLS handshake did not finish within the network timeout"},
    {COMM_DIR_SVC_BIND_TIMEOUT, "the LDAP server did not answer the bind within the network timeout"},
    {COMM_DIR_SVC_SEARCH_TIMEOUT,
     "the LDAP server did not answer the search within its time limit and the network timeout"},
    {COMM_DIR_SVC_RESULT_TIMEOUT, "the LDAP server stopped answering the search (no answer within the result timeout)"},
    {COMM_DIR_SVC_CONNECTION_LOST,
     "the operation's connection to the LDAP server was lost: end it and start a new one"},
    {COMM_DIR_SVC_TLS_CERT_UNTRUSTED,
     "the LDAP server's TLS certificate is not trusted: not signed by the certificate authority, or not for this "
     "host"},
    {COMM_DIR_SVC_TLS_FAILED, "the TLS handshake with the LDAP server failed (not because of its certificate)"},
    {COMM_DIR_SVC_TLS_CA_FILE, "the daemon cannot read the certificate authority file (missing, or no permission)"},
    {COMM_DIR_SVC_TLS_CA_NOT_ALLOWED,
     "the certificate authority file is not in a folder that the directory service allows (its --ca-dir)"},
    {COMM_DIR_SVC_LDAP_CODE_UNKNOWN, "the LDAP library or server returned a code outside every known range"},
    // LDAP result codes returned by the server.
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x01, "LDAP: operations error"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x02, "LDAP: protocol error"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x03, "LDAP: time limit exceeded"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x04, "LDAP: size limit exceeded"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x05, "LDAP: compare false"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x06, "LDAP: compare true"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x07, "LDAP: authentication method not supported"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x08, "LDAP: stronger authentication required"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x0A, "LDAP: referral"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x0B, "LDAP: administrative limit exceeded"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x0C, "LDAP: unavailable critical extension"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x0D, "LDAP: confidentiality required"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x0E, "LDAP: SASL bind in progress"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x10, "LDAP: no such attribute"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x11, "LDAP: undefined attribute type"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x12, "LDAP: inappropriate matching"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x13, "LDAP: constraint violation"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x14, "LDAP: attribute or value exists"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x15, "LDAP: invalid attribute syntax"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x20, "LDAP: no such object"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x21, "LDAP: alias problem"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x22, "LDAP: invalid DN syntax"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x24, "LDAP: alias dereferencing problem"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x30, "LDAP: inappropriate authentication"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x31, "LDAP: invalid credentials (wrong DN or password)"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x32, "LDAP: insufficient access rights"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x33, "LDAP: server busy"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x34, "LDAP: server unavailable"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x35, "LDAP: server unwilling to perform"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x36, "LDAP: loop detected"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x40, "LDAP: naming violation"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x41, "LDAP: object class violation"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x50, "LDAP: other (internal server error)"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x76, "LDAP: cancelled"},
    {COMM_DIR_SVC_LDAP_RESULT_BASE + 0x7B, "LDAP: authorization denied"},
    // libldap API errors, on the daemon's side of the LDAP connection.
    {COMM_DIR_SVC_LDAP_API_BASE + 1, "LDAP: cannot contact the LDAP server (server down)"},
    {COMM_DIR_SVC_LDAP_API_BASE + 2, "LDAP: local error in the daemon's LDAP library"},
    {COMM_DIR_SVC_LDAP_API_BASE + 3, "LDAP: encoding error"},
    {COMM_DIR_SVC_LDAP_API_BASE + 4, "LDAP: decoding error (malformed answer from the server)"},
    {COMM_DIR_SVC_LDAP_API_BASE + 5, "LDAP: timed out"},
    {COMM_DIR_SVC_LDAP_API_BASE + 6, "LDAP: unknown authentication method"},
    {COMM_DIR_SVC_LDAP_API_BASE + 7, "LDAP: bad search filter"},
    {COMM_DIR_SVC_LDAP_API_BASE + 9, "LDAP: bad parameter (for example a malformed URI)"},
    {COMM_DIR_SVC_LDAP_API_BASE + 10, "LDAP: out of memory"},
    {COMM_DIR_SVC_LDAP_API_BASE + 11, "LDAP: connect error (for example a TLS certificate that fails the check)"},
    {COMM_DIR_SVC_LDAP_API_BASE + 12, "LDAP: not supported"},
    {COMM_DIR_SVC_LDAP_API_BASE + 16, "LDAP: referral loop"},
};

}  // namespace result_codes_internal

// A message for people for any result code that an application can get from
// the facade; never null.
inline const char* comm_dir_result_message(RETCODE code) {
  for (const auto& row : result_codes_internal::kMessages) {
    if (row.code == code) return row.message;
  }
  int ldap_code = 0;
  if (comm_dir_ldap_code_of(code, &ldap_code)) {
    return ldap_code > 0 ? "LDAP: the server returned an error (see the LDAP result code)"
                         : "LDAP: the daemon's LDAP library failed";
  }
  return "unknown result code";
}

}  // namespace velmarosta

#endif  // COMMDIR_COMM_DIR_RESULT_CODES_H_
