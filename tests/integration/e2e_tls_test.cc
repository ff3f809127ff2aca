// StartTLS and LDAPS through the facade and the daemon against slapd: a walk
// over TLS returns what ldapsearch returns when the server's certificate is
// signed by the authority that the record (or else the daemon) names, and
// fails with the daemon's TLS code otherwise. The check is on unless a
// record turns it off.
#include <gtest/gtest.h>

#include <cstring>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

using velmarosta::COMM_DIR_CONNECT_INFO;
using velmarosta::COMM_DIR_SECURITY_LDAPS;
using velmarosta::COMM_DIR_SECURITY_STARTTLS;
using velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES;
using velmarosta::COMM_DIR_SVC_TLS_CA_FILE;
using velmarosta::COMM_DIR_SVC_TLS_CERT_UNTRUSTED;
using velmarosta::COMM_DIR_SVC_TLS_FAILED;
using velmarosta::COMM_DIR_TLS_VERIFY_ALLOW;
using velmarosta::COMM_DIR_TLS_VERIFY_DEMAND;
using velmarosta::COMM_DIR_TLS_VERIFY_NEVER;
using velmarosta::COMM_DIR_TLS_VERIFY_TRY;

enum class Port { kLdap, kLdaps, kLdapsOnLdapPort };
enum class Authority { kDaemons, kFixtures, kForeign, kMissing };

struct TlsRow {
  const char* name;
  Port port;
  UINT security;
  Authority authority;  // the record's; kDaemons leaves it empty
  UINT verify;
  RETCODE result;  // of start_operation and of the connection test
};

const TlsRow kTlsRows[] = {
    {"StartTLS, record's authority", Port::kLdap, COMM_DIR_SECURITY_STARTTLS, Authority::kFixtures,
     COMM_DIR_TLS_VERIFY_DEMAND, 0},
    {"LDAPS, record's authority", Port::kLdaps, COMM_DIR_SECURITY_LDAPS, Authority::kFixtures,
     COMM_DIR_TLS_VERIFY_DEMAND, 0},
    {"StartTLS, daemon's authority", Port::kLdap, COMM_DIR_SECURITY_STARTTLS, Authority::kDaemons,
     COMM_DIR_TLS_VERIFY_DEMAND, 0},
    {"LDAPS, daemon's authority", Port::kLdaps, COMM_DIR_SECURITY_LDAPS, Authority::kDaemons,
     COMM_DIR_TLS_VERIFY_DEMAND, 0},
    {"StartTLS, foreign authority", Port::kLdap, COMM_DIR_SECURITY_STARTTLS, Authority::kForeign,
     COMM_DIR_TLS_VERIFY_DEMAND, COMM_DIR_SVC_TLS_CERT_UNTRUSTED},
    {"LDAPS, foreign authority", Port::kLdaps, COMM_DIR_SECURITY_LDAPS, Authority::kForeign,
     COMM_DIR_TLS_VERIFY_DEMAND, COMM_DIR_SVC_TLS_CERT_UNTRUSTED},
    {"LDAPS, foreign authority, check off", Port::kLdaps, COMM_DIR_SECURITY_LDAPS, Authority::kForeign,
     COMM_DIR_TLS_VERIFY_NEVER, 0},
    {"LDAPS, foreign authority, allowed", Port::kLdaps, COMM_DIR_SECURITY_LDAPS, Authority::kForeign,
     COMM_DIR_TLS_VERIFY_ALLOW, 0},
    {"StartTLS, foreign authority, tried", Port::kLdap, COMM_DIR_SECURITY_STARTTLS, Authority::kForeign,
     COMM_DIR_TLS_VERIFY_TRY, COMM_DIR_SVC_TLS_CERT_UNTRUSTED},
    {"LDAPS to a port without TLS", Port::kLdapsOnLdapPort, COMM_DIR_SECURITY_LDAPS, Authority::kFixtures,
     COMM_DIR_TLS_VERIFY_DEMAND, COMM_DIR_SVC_TLS_FAILED},
    {"StartTLS, no such authority file", Port::kLdap, COMM_DIR_SECURITY_STARTTLS, Authority::kMissing,
     COMM_DIR_TLS_VERIFY_DEMAND, COMM_DIR_SVC_TLS_CA_FILE},
};

const SearchSpec kPeople{"ou=people,dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB,
                         "(objectClass=inetOrgPerson)", "cn mail jpegPhoto"};

template <size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  ASSERT_LT(text.size(), N);
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), text.size());
}

class EndToEndTlsTest : public EndToEndTest {
 protected:
  // The daemon's own authority is the fixture's, so that records that name
  // none are checked against it.
  std::vector<std::string> daemon_args() const override { return {"-d", "--ca-file=" + slapd_->ca_file()}; }

  COMM_DIR_CONNECT_INFO record_for(const TlsRow& row) const {
    std::string uri = row.port == Port::kLdaps ? slapd_->ldaps_uri() : slapd_->uri();
    if (row.port == Port::kLdapsOnLdapPort) uri.replace(0, std::strlen("ldap"), "ldaps");
    COMM_DIR_CONNECT_INFO record = connect_record(uri);
    record.security = row.security;
    record.tls_verify = row.verify;
    if (row.authority == Authority::kFixtures) copy_field(record.tls_ca_file, slapd_->ca_file());
    if (row.authority == Authority::kForeign) copy_field(record.tls_ca_file, slapd_->foreign_ca_file());
    if (row.authority == Authority::kMissing) copy_field(record.tls_ca_file, slapd_->dir() + "/tls/no-such.pem");
    return record;
  }
};

// Each row as a walk and as a connection test. The connection test tells a
// refused certificate from a server that is down: the server was reached,
// and the diagnostic names the authority. A missing authority file is found
// before any server is tried.
TEST_F(EndToEndTlsTest, WalksOverTlsOnlyWithTheServersAuthority) {
  const LdapSearchResult expected = ldapsearch(*slapd_, Identity::kReader, kPeople);
  ASSERT_EQ(expected.exit_code, 0) << expected.diagnostic;
  ASSERT_EQ(expected.entries.size(), 50u);
  for (const TlsRow& row : kTlsRows) {
    SCOPED_TRACE(row.name);
    const FacadeWalk got = walk(facade_, record_for(row), Identity::kReader, kPeople);
    if (row.result == 0) {
      EXPECT_EQ(got.result, COMM_DIR_SVC_NO_MORE_ENTRIES) << std::hex << got.result << " in " << got.failed_call;
      EXPECT_EQ(got.entries, without_dns(expected.entries));
    } else {
      EXPECT_EQ(got.result, row.result) << std::hex << got.result;
      EXPECT_EQ(got.failed_call, "start_operation");
    }

    velmarosta::COMM_DIR_TEST_CONNECTION_INFO test{};
    test.connect = record_for(row);
    test.bind_present = 1;
    test.bind = bind_record(Identity::kReader);
    EXPECT_EQ(facade_->check_connection(velmarosta::COMM_DIR_TEST_MODE_SYNC, test), row.result) << test.diagnostic;
    EXPECT_EQ(test.result, row.result);
    EXPECT_EQ(test.reachable, row.result == COMM_DIR_SVC_TLS_CA_FILE ? 0u : 1u);
    EXPECT_EQ(test.bind_accepted, row.result == 0 ? 1u : 0u);
    if (row.result == COMM_DIR_SVC_TLS_CERT_UNTRUSTED) {
      EXPECT_NE(std::strstr(test.diagnostic, "not trusted"), nullptr) << test.diagnostic;
      EXPECT_NE(std::strstr(test.diagnostic, "foreign-ca.pem"), nullptr) << test.diagnostic;
    }
  }
}

}  // namespace
}  // namespace commdir_testing
