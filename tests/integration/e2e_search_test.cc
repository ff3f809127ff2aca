// Full walks through the public facade, the daemon and slapd, compared with
// what ldapsearch returns for the same search and the same identity.
#include <gtest/gtest.h>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

using velmarosta::comm_dir_code_from_ldap;
using velmarosta::COMM_DIR_SCOPE_BASE;
using velmarosta::COMM_DIR_SCOPE_CHILDREN;
using velmarosta::COMM_DIR_SCOPE_ONE;
using velmarosta::COMM_DIR_SCOPE_SUB;
using velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES;

constexpr char kPeople[] = "ou=people,dc=example,dc=com";
constexpr char kRoot[] = "dc=example,dc=com";

// Counts of the sample address book, so that a search that finds nothing on
// both sides cannot pass.
constexpr size_t kPeopleCount = 50;
constexpr size_t kAllEntries = 59;  // root, 3 ous, 50 people, 4 groups, reader

struct WalkRow {
  const char* name;
  Identity identity;
  SearchSpec spec;
  size_t expected_entries;
};

const WalkRow kWalkRows[] = {
    {"every person", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(objectClass=inetOrgPerson)", ""}, kPeopleCount},
    {"and", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(&(objectClass=inetOrgPerson)(mobile=*)(sn=*r*))", ""}, 9},
    {"or", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(|(sn=Turing)(sn=Hopper)(givenName=Zo*))", ""}, 3},
    {"not", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(&(objectClass=person)(!(ou=Sales)))", ""}, 37},
    {"wildcards", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(cn=*o*n*)", "cn mail"}, 15},
    {"initial and final", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(mail=d*@example.com)", "mail"}, 2},
    {"non-ASCII filter", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(sn=Müller)", ""}, 1},
    {"scope base", Identity::kReader, {kPeople, COMM_DIR_SCOPE_BASE, "", ""}, 1},
    {"scope one", Identity::kReader, {kRoot, COMM_DIR_SCOPE_ONE, "", ""}, 3},
    {"scope sub", Identity::kReader, {kRoot, COMM_DIR_SCOPE_SUB, "", ""}, kAllEntries},
    {"scope children", Identity::kReader, {"ou=groups,dc=example,dc=com", COMM_DIR_SCOPE_CHILDREN, "", ""}, 4},
    {"no attributes", Identity::kReader, {kPeople, COMM_DIR_SCOPE_ONE, "(uid=a*)", "1.1"}, 7},
    {"operational attributes", Identity::kReader, {kPeople, COMM_DIR_SCOPE_ONE, "(uid=alovelace)", "+"}, 1},
    {"binary photos", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(jpegPhoto=*)", "cn jpegPhoto"}, 10},
    {"anonymous", Identity::kAnonymous, {kRoot, COMM_DIR_SCOPE_SUB, "", ""}, kAllEntries},
    {"own entry, password included", Identity::kReader, {"ou=system,dc=example,dc=com", COMM_DIR_SCOPE_ONE, "", ""}, 1},
    {"unknown attribute in filter", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(noSuchAttribute=x)", ""}, 0},
};

TEST_F(EndToEndTest, WalkReturnsExactlyWhatLdapsearchReturns) {
  for (const WalkRow& row : kWalkRows) {
    SCOPED_TRACE(row.name);
    const LdapSearchResult expected = ldapsearch(*slapd_, row.identity, row.spec);
    ASSERT_EQ(expected.exit_code, 0) << expected.diagnostic;
    ASSERT_EQ(expected.entries.size(), row.expected_entries);
    const FacadeWalk got = walk(facade_, slapd_->uri(), row.identity, row.spec);
    EXPECT_EQ(got.result, COMM_DIR_SVC_NO_MORE_ENTRIES) << got.failed_call;
    EXPECT_EQ(got.failed_call, "entries");
    EXPECT_EQ(got.end_operation_result, 0);
    EXPECT_EQ(got.entries, without_dns(expected.entries));
  }
}

// The bind decides what is seen: the reader sees its own password, an
// anonymous client does not.
TEST_F(EndToEndTest, PasswordsAreSeenOnlyByTheirOwner) {
  const SearchSpec system{"ou=system,dc=example,dc=com", COMM_DIR_SCOPE_ONE, "", "userPassword"};
  const FacadeWalk as_reader = walk(facade_, slapd_->uri(), Identity::kReader, system);
  const FacadeWalk as_anonymous = walk(facade_, slapd_->uri(), Identity::kAnonymous, system);
  ASSERT_EQ(as_reader.entries.size(), 1u);
  ASSERT_EQ(as_anonymous.entries.size(), 1u);
  ASSERT_EQ(as_reader.entries[0].attributes.size(), 1u);
  EXPECT_EQ(as_reader.entries[0].attributes[0].second,
            std::vector<std::string>{SlapdFixture::kReaderPassword});
  EXPECT_TRUE(as_anonymous.entries[0].attributes.empty());
}

// Binary values arrive byte for byte: the photos are JPEGs whose bytes
// include zeros and 0xFF, which a string path would cut or mangle.
TEST_F(EndToEndTest, PhotosArriveByteForByte) {
  const SearchSpec photos{kPeople, COMM_DIR_SCOPE_SUB, "(jpegPhoto=*)", "jpegPhoto"};
  const FacadeWalk got = walk(facade_, slapd_->uri(), Identity::kReader, photos);
  ASSERT_EQ(got.entries.size(), 10u);
  for (const LdifEntry& entry : got.entries) {
    ASSERT_EQ(entry.attributes.size(), 1u);
    const std::string& photo = entry.attributes[0].second.at(0);
    ASSERT_GT(photo.size(), 4u);
    EXPECT_EQ(photo.substr(0, 2), "\xFF\xD8");                 // start of image
    EXPECT_EQ(photo.substr(photo.size() - 2), "\xFF\xD9");     // end of image
    EXPECT_NE(photo.find('\0'), std::string::npos);
  }
}

struct FailureRow {
  const char* name;
  Identity identity;
  SearchSpec spec;
  int ldap_code;              // what ldapsearch exits with
  // Where the facade walk stops: the search itself waits for the server's
  // first answer, so a search that fails at once fails there.
  const char* failed_call;
  size_t entries_before;      // entries read before it stops
};

const FailureRow kFailureRows[] = {
    {"size limit exceeded", Identity::kReader, {kPeople, COMM_DIR_SCOPE_SUB, "(uid=*)", "uid", 5}, 4, "entries", 5},
    {"no such object", Identity::kReader, {"ou=nobody,dc=example,dc=com", COMM_DIR_SCOPE_SUB, "", ""}, 32, "search", 0},
    {"wrong password", Identity::kReaderWrongPassword, {kPeople, COMM_DIR_SCOPE_SUB, "", ""}, 49, "start_operation", 0},
};

// Each failure of the server reaches the application as the daemon's code for
// the same LDAP result that ldapsearch reports, after the same entries.
TEST_F(EndToEndTest, ServerFailuresCarryLdapsearchsResult) {
  for (const FailureRow& row : kFailureRows) {
    SCOPED_TRACE(row.name);
    const LdapSearchResult expected = ldapsearch(*slapd_, row.identity, row.spec);
    ASSERT_EQ(expected.exit_code, row.ldap_code) << expected.diagnostic;
    ASSERT_EQ(expected.entries.size(), row.entries_before);
    const FacadeWalk got = walk(facade_, slapd_->uri(), row.identity, row.spec);
    const RETCODE code = row.ldap_code == 0 ? COMM_DIR_SVC_NO_MORE_ENTRIES
                                            : comm_dir_code_from_ldap(row.ldap_code);
    EXPECT_EQ(got.result, code) << std::hex << got.result;
    EXPECT_EQ(got.failed_call, row.failed_call);
    EXPECT_EQ(got.entries, without_dns(expected.entries));
  }
}

}  // namespace
}  // namespace commdir_testing
