// The public records that an application fills and hands to the facade. The
// library copies each one byte for byte into its request and never looks
// inside, except for the callback server name of the connection test record,
// which the facade writes. The fields are read by the directory service
// daemon (comm-dir-service); their sizes are fixed by the wire contract.
//
// Strings are NUL-terminated inside their fields; a string that fills its
// field without a NUL is refused by the daemon.
#ifndef COMMDIR_COMM_DIR_RECORDS_H_
#define COMMDIR_COMM_DIR_RECORDS_H_

#include <cstddef>

#include "commdir/comm_dir_types.h"

namespace velmarosta {

// How a connection test is answered.
enum COMM_DIR_TEST_MODE : UINT {
  // The reply comes when the test has finished and carries its findings.
  COMM_DIR_TEST_MODE_SYNC = 0,
  // The reply comes at once; the finished test is reported by a callback
  // request to the callback server named in the record, which calls the
  // object whose word stands in `callback_object` with the test's result.
  COMM_DIR_TEST_MODE_CALLBACK = 1,
};

// Transport security of a connection.
enum : UINT {
  COMM_DIR_SECURITY_NONE = 0,      // plain ldap://
  COMM_DIR_SECURITY_LDAPS = 1,     // TLS from the first byte (ldaps://)
  COMM_DIR_SECURITY_STARTTLS = 2,  // ldap:// upgraded with StartTLS
};

// Checking of the server's certificate: libldap's TLS_REQCERT levels.
// DEMAND is 0 so that a zeroed record checks.
enum : UINT {
  COMM_DIR_TLS_VERIFY_DEMAND = 0,  // the default: a bad certificate fails
  COMM_DIR_TLS_VERIFY_NEVER = 1,   // no check (tests of broken servers only)
  COMM_DIR_TLS_VERIFY_ALLOW = 2,   // checked, but a bad certificate is accepted
  COMM_DIR_TLS_VERIFY_TRY = 3,     // as DEMAND for a server that sends a certificate
};

struct COMM_DIR_CONNECT_INFO {
  // One or more LDAP URIs separated by blanks, tried in order (failover).
  char uri[176];
  // PEM file of the certificate authority; empty: the daemon's default.
  char tls_ca_file[88];
  UINT security;            // COMM_DIR_SECURITY_*
  UINT network_timeout_ms;  // connect, TLS handshake and each answer; 0: daemon default
  UINT tls_verify;          // COMM_DIR_TLS_VERIFY_*
  UINT reserved;            // zero
};
static_assert(sizeof(COMM_DIR_CONNECT_INFO) == 280, "connect record size");
static_assert(offsetof(COMM_DIR_CONNECT_INFO, tls_ca_file) == 176, "");
static_assert(offsetof(COMM_DIR_CONNECT_INFO, security) == 264, "");
static_assert(offsetof(COMM_DIR_CONNECT_INFO, network_timeout_ms) == 268, "");
static_assert(offsetof(COMM_DIR_CONNECT_INFO, tls_verify) == 272, "");

// Bind methods.
enum : UINT {
  COMM_DIR_BIND_ANONYMOUS = 0,
  COMM_DIR_BIND_SIMPLE = 1,
  COMM_DIR_BIND_SASL_EXTERNAL = 2,
};

struct COMM_DIR_BIND_INFO {
  UINT method;  // COMM_DIR_BIND_*
  char bind_dn[512];
  char password[512];  // simple bind only
  char reserved[72];   // zero
};
static_assert(sizeof(COMM_DIR_BIND_INFO) == 1100, "bind record size");
static_assert(offsetof(COMM_DIR_BIND_INFO, bind_dn) == 4, "");
static_assert(offsetof(COMM_DIR_BIND_INFO, password) == 516, "");

// Search scopes and alias dereferencing, with libldap's numbers.
enum : UINT {
  COMM_DIR_SCOPE_BASE = 0,
  COMM_DIR_SCOPE_ONE = 1,
  COMM_DIR_SCOPE_SUB = 2,
  COMM_DIR_SCOPE_CHILDREN = 3,
};
enum : UINT {
  COMM_DIR_DEREF_NEVER = 0,
  COMM_DIR_DEREF_SEARCHING = 1,
  COMM_DIR_DEREF_FINDING = 2,
  COMM_DIR_DEREF_ALWAYS = 3,
};

// The search of `comm_dir_facade::search`. Its UINT argument is the size
// limit (0: none) and its timeval the time limit (0: none).
//
// `search` takes no operation id of its own, so the record names the
// operation whose connection runs the search: set `operation_id` to the id
// that start_operation gave. A search replaces the operation's previous
// search result; get_first_entry and get_next_entry then walk it.
struct COMM_DIR_SEARCH_CONDITION {
  char base_dn[512];
  UINT scope;         // COMM_DIR_SCOPE_*
  UINT deref;         // COMM_DIR_DEREF_*
  UINT types_only;    // 1: attribute names without values
  char filter[1024];  // RFC 4515 filter; empty: "(objectClass=*)"
  // Attribute names separated by blanks, as ldapsearch takes them ("*", "+",
  // "1.1" included); empty: all user attributes.
  char attributes[412];
  UINT operation_id;  // the operation that runs the search
};
static_assert(sizeof(COMM_DIR_SEARCH_CONDITION) == 1964, "search record size");
static_assert(offsetof(COMM_DIR_SEARCH_CONDITION, scope) == 512, "");
static_assert(offsetof(COMM_DIR_SEARCH_CONDITION, filter) == 524, "");
static_assert(offsetof(COMM_DIR_SEARCH_CONDITION, attributes) == 1548, "");
static_assert(offsetof(COMM_DIR_SEARCH_CONDITION, operation_id) == 1960, "");

// A connection test: the application fills the connect and bind records (and
// the callback word for COMM_DIR_TEST_MODE_CALLBACK); the daemon answers with
// the whole record, the findings filled in and the password zeroed, and the
// answer replaces the caller's record. The facade writes the name of the
// process's callback server into `callback_server_name` before every test.
struct COMM_DIR_TEST_CONNECTION_INFO {
  UINT callback_object;  // word of a registered callback object, or 0
  COMM_DIR_CONNECT_INFO connect;
  UINT bind_present;  // 1: bind as `bind` says; 0: connect only
  COMM_DIR_BIND_INFO bind;
  UINT reachable;        // out: 1 when a server answered
  UINT bind_accepted;    // out: 1 when the bind succeeded
  INT ldap_result;       // out: the LDAP result code (or libldap error)
  RETCODE result;        // out: the daemon's result code for the test
  char diagnostic[508];  // out: the server's or the daemon's message
  char callback_server_name[16];
  UINT reserved;  // zero
};
static_assert(sizeof(COMM_DIR_TEST_CONNECTION_INFO) == 1932, "test record size");
static_assert(offsetof(COMM_DIR_TEST_CONNECTION_INFO, connect) == 4, "");
static_assert(offsetof(COMM_DIR_TEST_CONNECTION_INFO, bind_present) == 284, "");
static_assert(offsetof(COMM_DIR_TEST_CONNECTION_INFO, bind) == 288, "");
static_assert(offsetof(COMM_DIR_TEST_CONNECTION_INFO, reachable) == 1388, "");
static_assert(offsetof(COMM_DIR_TEST_CONNECTION_INFO, diagnostic) == 1404, "");
static_assert(offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_server_name) == 1912, "");
static_assert(sizeof(COMM_DIR_TEST_MODE) == 4, "test mode travels as one word");

// A binary value: a length word followed by that many bytes, in one block
// from new[] (one delete[] of the block frees it whole).
struct COMM_DIR_BERVAL {
  UINT bv_len;
  char bv_val[];  // bv_len bytes
};
static_assert(offsetof(COMM_DIR_BERVAL, bv_val) == 4, "value bytes follow the length word");

}  // namespace velmarosta

#endif  // COMMDIR_COMM_DIR_RECORDS_H_
