// comm-dir's command line, the records it makes from it, and its exit
// statuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "tools/tool_options.h"
#include "tools/tool_outcome.h"
#include "tools/tool_records.h"

namespace commdir_tools {
namespace {

using namespace velmarosta;

bool parse(std::vector<std::string> words, tool_options* options, std::string* error) {
  words.insert(words.begin(), "comm-dir");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(words.size()), argv.data(), options, error);
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += "[" + word + "]";
  return text;
}

TEST(ToolOptionsTest, ParsesLdapsearchStyleCommandLines) {
  tool_options o;
  std::string error;
  ASSERT_TRUE(parse({"search", "-x", "-H", "ldap://a/ ldap://b/", "-H", "ldap://c/", "-b", "dc=x", "(cn=a*)", "cn",
                     "+", "-s", "children", "-z", "3", "-l", "none", "-a", "find", "-A", "-LLL", "-ZZ", "-D",
                     "cn=admin", "-w", "secret", "-o", "nettimeout=7", "-o", "ldif_wrap=40"},
                    &o, &error))
      << error;
  // Options after the arguments count too, as with ldapsearch.
  EXPECT_EQ(joined(o.connection.uris), "[ldap://a/][ldap://b/][ldap://c/]");
  EXPECT_EQ(o.search.base, "dc=x");
  EXPECT_EQ(o.search.filter, "(cn=a*)");
  EXPECT_EQ(joined(o.search.attributes), "[cn][+]");
  EXPECT_EQ(o.search.scope, COMM_DIR_SCOPE_CHILDREN);
  EXPECT_EQ(o.search.size_limit, 3u);
  EXPECT_EQ(o.search.time_limit_s, 0);
  EXPECT_EQ(o.search.deref, COMM_DIR_DEREF_FINDING);
  EXPECT_TRUE(o.search.types_only);
  EXPECT_EQ(o.search.wrap, 40u);
  EXPECT_EQ(o.connection.starttls, starttls_request::kDemand);
  EXPECT_EQ(o.connection.bind_dn, "cn=admin");
  EXPECT_EQ(o.connection.password, "secret");
  EXPECT_EQ(o.connection.network_timeout_ms, 7000u);

  // The first argument is a filter only when it looks like one.
  tool_options bare;
  ASSERT_TRUE(parse({"search", "cn", "mail", "-o", "ldif-wrap=no"}, &bare, &error)) << error;
  EXPECT_EQ(bare.search.filter, "(objectclass=*)");
  EXPECT_EQ(joined(bare.search.attributes), "[cn][mail]");
  EXPECT_EQ(joined(bare.connection.uris), "[ldap://localhost]");
  EXPECT_EQ(bare.search.wrap, kLdifNoWrap);
  EXPECT_EQ(bare.connection.starttls, starttls_request::kNone);

  tool_options check;
  ASSERT_TRUE(parse({"check", "--callback", "--wait", "3", "-Z"}, &check, &error)) << error;
  EXPECT_EQ(check.command, tool_command::kCheck);
  EXPECT_TRUE(check.check.callback);
  EXPECT_EQ(check.check.wait_s, 3);
  EXPECT_EQ(check.connection.starttls, starttls_request::kTry);

  tool_options status;
  ASSERT_TRUE(parse({"status", "--json"}, &status, &error)) << error;
  EXPECT_EQ(status.command, tool_command::kStatus);
  EXPECT_TRUE(status.status_json);
}

TEST(ToolOptionsTest, RefusesBadCommandLinesWithAReason) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command"},
      {{"find"}, "unknown command"},
      {{"search", "-s", "deep"}, "invalid scope"},
      {{"search", "-a", "sometimes"}, "invalid deref"},
      {{"search", "-z", "-3"}, "invalid size limit"},
      {{"search", "-z", "99999999999"}, "invalid size limit"},
      {{"search", "-o", "ldif-wrap=1"}, "ldif_wrap"},
      {{"search", "-o", "ldif-wrap=max"}, "ldif_wrap"},
      {{"search", "-o", "bogus=1"}, "Invalid general option name: bogus"},
      {{"search", "-b"}, "needs a value: -b"},
      {{"search", "-q"}, "unknown option: -q"},
      {{"search", "--callback"}, "not valid for search"},
      {{"check", "-b", "dc=x"}, "unknown option: -b"},
      {{"check", "(cn=x)"}, "takes no arguments"},
      {{"check", "--callback", "--wait", "0"}, "--wait"},
      {{"status", "-H", "ldap://a/"}, "status takes only --json: -H"},
  };
  for (const auto& [words, reason] : cases) {
    tool_options options;
    std::string error;
    EXPECT_FALSE(parse(words, &options, &error)) << joined(words);
    EXPECT_NE(error.find(reason), std::string::npos) << joined(words) << ": " << error;
  }
}

TEST(ToolOptionsTest, AddsEntryDnToTheRequestedAttributesUnlessAsked) {
  struct Case {
    std::vector<std::string> attributes;
    std::string requested;
  };
  const Case cases[] = {
      {{}, "* entryDN"},       {{"cn", "mail"}, "cn mail entryDN"}, {{"1.1"}, "1.1 entryDN"},
      {{"+"}, "+"},            {{"*", "+"}, "* +"},                 {{"entrydn"}, "entrydn"},
  };
  for (const Case& c : cases) {
    search_options search;
    search.attributes = c.attributes;
    search.types_only = true;
    COMM_DIR_SEARCH_CONDITION record;
    std::string error;
    ASSERT_TRUE(make_search_record(search, &record, &error)) << error;
    EXPECT_STREQ(record.attributes, c.requested.c_str());
    // The DN travels as entryDN's value, so values are asked for also with -A.
    EXPECT_EQ(record.types_only, 0u);
  }
}

// The daemon opens the authority file from another folder, and a file that
// ldap.conf names for other uses must not fail a search without TLS.
TEST(ToolOptionsTest, CarriesTheUsersTlsSettingsWhereTlsMayBeUsed) {
  struct Case {
    std::vector<std::string> uris;
    bool starttls;
    std::string ca_file;  // the user's
    std::string carried;  // "" when the record carries none; "CWD/" stands for the current folder
    UINT verify;          // the record's
  };
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const Case cases[] = {
      {{"ldap://a/"}, false, "/etc/ca.pem", "", COMM_DIR_TLS_VERIFY_DEMAND},
      {{"ldap://a/"}, true, "/etc/ca.pem", "/etc/ca.pem", COMM_DIR_TLS_VERIFY_ALLOW},
      {{"ldap://a/", "ldaps://b/"}, false, "tls/ca.pem", "CWD/tls/ca.pem", COMM_DIR_TLS_VERIFY_ALLOW},
      {{"ldaps://b/"}, false, "", "", COMM_DIR_TLS_VERIFY_ALLOW},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.uris) + " " + c.ca_file);
    connection_options connection;
    connection.uris = c.uris;
    connection.tls = {c.ca_file, COMM_DIR_TLS_VERIFY_ALLOW};
    COMM_DIR_CONNECT_INFO record;
    std::string error;
    ASSERT_TRUE(make_connect_record(connection, c.starttls, &record, &error)) << error;
    const std::string carried = c.carried.rfind("CWD/", 0) == 0 ? std::string(cwd) + c.carried.substr(3) : c.carried;
    EXPECT_EQ(record.tls_ca_file, carried);
    EXPECT_EQ(record.tls_verify, c.verify);
  }
  connection_options connection;
  connection.uris = {"ldaps://b/"};
  COMM_DIR_CONNECT_INFO record;
  connection.tls.ca_file = "/" + std::string(sizeof record.tls_ca_file - 1, 'c');
  std::string error;
  EXPECT_FALSE(make_connect_record(connection, false, &record, &error));
  EXPECT_NE(error.find("certificate authority file"), std::string::npos) << error;
}

TEST(ToolOptionsTest, RefusesValuesThatDoNotFitTheirFields) {
  search_options search;
  COMM_DIR_SEARCH_CONDITION condition;
  std::string error;
  search.base = std::string(sizeof condition.base_dn - 1, 'b');
  EXPECT_TRUE(make_search_record(search, &condition, &error)) << error;
  EXPECT_EQ(condition.base_dn[sizeof condition.base_dn - 1], '\0');
  search.base.push_back('b');
  EXPECT_FALSE(make_search_record(search, &condition, &error));
  EXPECT_NE(error.find("base DN"), std::string::npos);

  connection_options connection;
  COMM_DIR_BIND_INFO bind;
  connection.password = std::string(sizeof bind.password, 'p');
  EXPECT_FALSE(make_bind_record(connection, &bind, &error));
  EXPECT_NE(error.find("password"), std::string::npos);
  connection.password = std::string("a\0b", 3);  // would be cut at the NUL
  EXPECT_FALSE(make_bind_record(connection, &bind, &error));
}

TEST(ToolOptionsTest, ExitsWithLdapsearchsStatuses) {
  struct Case {
    RETCODE code;
    int status;
    std::string described;  // the end of the message
  };
  const Case cases[] = {
      {0, 0, "success (0)"},
      {comm_dir_code_from_ldap(4), 4, "size limit exceeded (4)"},
      {comm_dir_code_from_ldap(32), 32, "no such object (32)"},
      {comm_dir_code_from_ldap(49), 49, "(49)"},
      {comm_dir_code_from_ldap(-1), 255, "(-1)"},
      {comm_dir_code_from_ldap(-7), 249, "bad search filter (-7)"},
      // An LDAP code whose low byte is 0 must not exit as success.
      {comm_dir_code_from_ldap(0x1000), kExitOther, "(4096)"},
      {-1, kExitUnreachable, "(-1)"},
      {COMM_DIR_ERR, kExitOther, "(0x34090000)"},
      {COMM_DIR_SVC_BUSY, kExitOther, "busy: too many requests or operations; try again (0x34093006)"},
      // A failed ldaps:// handshake is a server that ldapsearch cannot contact.
      {COMM_DIR_SVC_TLS_CERT_UNTRUSTED, kExitUnreachable, "(0x34093030)"},
      {COMM_DIR_SVC_TLS_FAILED, kExitUnreachable, "(0x34093031)"},
      {COMM_DIR_SVC_TLS_CA_FILE, kExitUnreachable, "(0x34093032)"},
      {COMM_DIR_SVC_TLS_CA_NOT_ALLOWED, kExitOther, "(0x34093033)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exit_status_for(c.code), c.status) << std::hex << c.code;
    const std::string described = describe_result(c.code);
    EXPECT_TRUE(described.size() >= c.described.size() &&
                described.compare(described.size() - c.described.size(), std::string::npos, c.described) == 0)
        << described;
    EXPECT_EQ(described.rfind("LDAP: ", 0), std::string::npos) << described;
  }
}

}  // namespace
}  // namespace commdir_tools
