// comm-dir's command line, the records it makes from it, and its exit
// statuses.
#include <gtest/gtest.h>

#include <functional>
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
  struct Case {
    std::vector<std::string> words;
    std::string error;  // a part of the message; empty: the line is valid
    std::function<void(const tool_options&)> check;
  };
  const auto none = [](const tool_options&) {};
  const Case cases[] = {
      {{"search", "-x", "-H", "ldap://a/ ldap://b/", "-H", "ldap://c/", "-b", "dc=x", "(cn=a*)", "cn", "+"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(joined(o.connection.uris), "[ldap://a/][ldap://b/][ldap://c/]");
         EXPECT_EQ(o.search.base, "dc=x");
         EXPECT_EQ(o.search.filter, "(cn=a*)");
         EXPECT_EQ(joined(o.search.attributes), "[cn][+]");
       }},
      // The first argument is a filter only when it looks like one.
      {{"search", "cn", "mail"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(o.search.filter, "(objectclass=*)");
         EXPECT_EQ(joined(o.search.attributes), "[cn][mail]");
         EXPECT_EQ(joined(o.connection.uris), "[ldap://localhost]");
       }},
      {{"search", "uid=ada", "1.1"}, "", [](const tool_options& o) { EXPECT_EQ(o.search.filter, "uid=ada"); }},
      // Options may follow the arguments, as with ldapsearch.
      {{"search", "(sn=*)", "cn", "-s", "one", "-z", "3", "-l", "none", "-a", "find", "-A", "-LLL"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(o.search.scope, COMM_DIR_SCOPE_ONE);
         EXPECT_EQ(o.search.size_limit, 3u);
         EXPECT_EQ(o.search.time_limit_s, 0);
         EXPECT_EQ(o.search.deref, COMM_DIR_DEREF_FINDING);
         EXPECT_TRUE(o.search.types_only);
         EXPECT_EQ(joined(o.search.attributes), "[cn]");
       }},
      {{"search", "-s", "children", "-Z"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(o.search.scope, COMM_DIR_SCOPE_CHILDREN);
         EXPECT_EQ(o.connection.starttls, starttls_request::kTry);
       }},
      {{"search", "-ZZ", "-D", "cn=admin", "-w", "secret", "-o", "nettimeout=7"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(o.connection.starttls, starttls_request::kDemand);
         EXPECT_EQ(o.connection.bind_dn, "cn=admin");
         EXPECT_EQ(o.connection.password, "secret");
         EXPECT_TRUE(o.connection.password_given);
         EXPECT_EQ(o.connection.network_timeout_ms, 7000u);
       }},
      {{"search", "-o", "ldif-wrap=no"}, "", [](const tool_options& o) { EXPECT_EQ(o.search.wrap, kLdifNoWrap); }},
      {{"search", "-o", "ldif_wrap=40"}, "", [](const tool_options& o) { EXPECT_EQ(o.search.wrap, 40u); }},
      {{"search", "-o", "ldif-wrap=0"}, "",
       [](const tool_options& o) { EXPECT_EQ(o.search.wrap, kLdifDefaultWrap); }},
      {{"search", "-y", "/tmp/pw"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(o.connection.password_file, "/tmp/pw");
         EXPECT_TRUE(o.connection.password_given);
       }},
      {{"check", "--callback", "--wait", "3", "-H", "ldap://h/"}, "",
       [](const tool_options& o) {
         EXPECT_EQ(o.command, tool_command::kCheck);
         EXPECT_TRUE(o.check.callback);
         EXPECT_EQ(o.check.wait_s, 3);
       }},
      {{"--version"}, "", [](const tool_options& o) { EXPECT_EQ(o.command, tool_command::kVersion); }},
      {{"search", "--help"}, "", [](const tool_options& o) { EXPECT_EQ(o.command, tool_command::kHelp); }},
      {{}, "no command", none},
      {{"find"}, "unknown command", none},
      {{"search", "-s", "deep"}, "invalid scope", none},
      {{"search", "-a", "sometimes"}, "invalid deref", none},
      {{"search", "-z", "-3"}, "invalid size limit", none},
      {{"search", "-z", "99999999999"}, "invalid size limit", none},
      {{"search", "-o", "ldif-wrap=1"}, "ldif_wrap", none},
      {{"search", "-o", "ldif-wrap=abc"}, "ldif_wrap", none},
      {{"search", "-o", "bogus=1"}, "Invalid general option name: bogus", none},
      {{"search", "-b"}, "needs a value: -b", none},
      {{"search", "-q"}, "unknown option: -q", none},
      {{"search", "--callback"}, "not valid for search", none},
      {{"check", "-b", "dc=x"}, "unknown option: -b", none},
      {{"check", "(cn=x)"}, "takes no arguments", none},
      {{"check", "--callback", "--wait", "0"}, "--wait", none},
  };
  for (const Case& c : cases) {
    tool_options options;
    std::string error;
    const bool ok = parse(c.words, &options, &error);
    SCOPED_TRACE(joined(c.words));
    if (c.error.empty()) {
      ASSERT_TRUE(ok) << error;
      c.check(options);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
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

TEST(ToolOptionsTest, ChoosesTransportSecurityFromUrisAndStartTls) {
  struct Case {
    std::vector<std::string> uris;
    bool starttls;
    UINT security;
  };
  const Case cases[] = {
      {{"ldap://a/"}, false, COMM_DIR_SECURITY_NONE},
      {{"ldap://a/"}, true, COMM_DIR_SECURITY_STARTTLS},
      {{"LDAPS://a/", "ldaps://b/"}, false, COMM_DIR_SECURITY_LDAPS},
      {{"ldaps://a/", "ldap://b/"}, true, COMM_DIR_SECURITY_STARTTLS},
  };
  for (const Case& c : cases) {
    connection_options connection;
    connection.uris = c.uris;
    connection.network_timeout_ms = 2500;
    COMM_DIR_CONNECT_INFO record;
    std::string error;
    ASSERT_TRUE(make_connect_record(connection, c.starttls, &record, &error));
    EXPECT_EQ(record.security, c.security) << joined(c.uris);
    EXPECT_EQ(record.network_timeout_ms, 2500u);
  }
  connection_options two;
  two.uris = {"ldap://a/", "ldap://b/"};
  COMM_DIR_CONNECT_INFO record;
  std::string error;
  ASSERT_TRUE(make_connect_record(two, false, &record, &error));
  EXPECT_STREQ(record.uri, "ldap://a/ ldap://b/");
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
