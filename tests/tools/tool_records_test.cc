// The records comm-dir makes from its command line for the library.
#include "tools/tool_records.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

namespace commdir_tools {
namespace {

using namespace velmarosta;

// entryDN, which carries the DN, is asked for unless the user asked; values
// are asked for also with -A. A value must fit its field with its NUL.
TEST(ToolRecordsTest, MakesTheRecordsTheLibraryTakes) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "* entryDN"}, {{"1.1"}, "1.1 entryDN"}, {{"cn", "mail"}, "cn mail entryDN"},
      {{"+"}, "+"},      {{"*", "+"}, "* +"},      {{"entrydn"}, "entrydn"}};
  std::string error;
  for (const auto& [attributes, requested] : cases) {
    search_options search;
    search.attributes = attributes;
    search.types_only = true;
    COMM_DIR_SEARCH_CONDITION record;
    ASSERT_TRUE(make_search_record(search, &record, &error)) << error;
    EXPECT_TRUE(record.attributes == requested && record.types_only == 0u) << requested;
  }
  search_options search;
  COMM_DIR_SEARCH_CONDITION condition;
  search.base = std::string(sizeof condition.base_dn - 1, 'b');
  EXPECT_TRUE(make_search_record(search, &condition, &error) && condition.base_dn[search.base.size()] == '\0');
  search.base.push_back('b');
  EXPECT_TRUE(!make_search_record(search, &condition, &error) && error.find("base DN") != std::string::npos);
  connection_options connection;
  COMM_DIR_BIND_INFO bind;
  connection.password = std::string(sizeof bind.password, 'p');
  EXPECT_TRUE(!make_bind_record(connection, &bind, &error) && error.find("password") != std::string::npos);
  connection.password = std::string("a\0b", 3);  // would be cut at the NUL
  EXPECT_FALSE(make_bind_record(connection, &bind, &error));
}

// The daemon opens the authority file from another folder, and a file that
// ldap.conf names for other uses must not fail a search without TLS.
TEST(ToolRecordsTest, CarriesTheUsersTlsSettingsWhereTlsMayBeUsed) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const struct Case {
    std::vector<std::string> uris;
    bool starttls;
    std::string ca_file, carried;
    UINT verify;
  } cases[] = {
      {{"ldap://a/"}, false, "/etc/ca.pem", "", COMM_DIR_TLS_VERIFY_DEMAND},
      {{"ldap://a/"}, true, "/etc/ca.pem", "/etc/ca.pem", COMM_DIR_TLS_VERIFY_ALLOW},
      {{"ldap://a/", "ldaps://b/"}, false, "tls/ca.pem", std::string(cwd) + "/tls/ca.pem", COMM_DIR_TLS_VERIFY_ALLOW},
      {{"ldaps://b/"}, false, "", "", COMM_DIR_TLS_VERIFY_ALLOW},
      {{"ldaps://b/"}, false, "/" + std::string(sizeof(COMM_DIR_CONNECT_INFO::tls_ca_file) - 1, 'c'), "too long", 0},
  };
  for (const Case& c : cases) {
    connection_options connection;
    connection.uris = c.uris;
    connection.tls = {c.ca_file, COMM_DIR_TLS_VERIFY_ALLOW};
    COMM_DIR_CONNECT_INFO record;
    std::string error;
    const bool made = make_connect_record(connection, c.starttls, &record, &error);
    EXPECT_EQ(made, c.carried != "too long") << c.ca_file;
    EXPECT_TRUE(made ? record.tls_ca_file == c.carried && record.tls_verify == c.verify
                     : error.find("certificate authority file") != std::string::npos)
        << c.ca_file;
  }
}

}  // namespace
}  // namespace commdir_tools
