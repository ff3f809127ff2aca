// comm-dir's command line, as ldapsearch takes it, and the defaults of
// ldap.conf.
#include "tools/tool_options.h"

#include <gtest/gtest.h>

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

TEST(ToolOptionsTest, ParsesLdapsearchStyleCommandLinesAndRefusesBadOnesWithAReason) {
  tool_options o, bare, check, status;
  std::string error;
  // Options after the arguments count too, as with ldapsearch.
  ASSERT_TRUE(parse({"search",   "-x",          "-H",   "ldap://a/ ldap://b/",
                     "-H",       "ldap://c/",   "-b",   "dc=x",
                     "(cn=a*)",  "cn",          "+",    "-s",
                     "children", "-z",          "3",    "-l",
                     "none",     "-a",          "find", "-A",
                     "-LLL",     "-ZZ",         "-D",   "cn=admin",
                     "-w",       "secret",      "-o",   "nettimeout=7",
                     "-o",       "ldif_wrap=40"},
                    &o, &error))
      << error;
  EXPECT_EQ(joined(o.connection.uris) + joined(o.search.attributes), "[ldap://a/][ldap://b/][ldap://c/][cn][+]");
  EXPECT_TRUE(o.search.base == "dc=x" && o.search.filter == "(cn=a*)" && o.search.scope == COMM_DIR_SCOPE_CHILDREN);
  EXPECT_TRUE(o.search.size_limit == 3u && o.search.time_limit_s == 0 && o.search.deref == COMM_DIR_DEREF_FINDING);
  EXPECT_TRUE(o.search.types_only && o.search.wrap == 40u && o.connection.starttls == starttls_request::kDemand);
  EXPECT_TRUE(o.connection.bind_dn == "cn=admin" && o.connection.password == "secret" &&
              o.connection.network_timeout_ms == 7000u);
  // The first argument is a filter only when it looks like one.
  ASSERT_TRUE(parse({"search", "cn", "mail", "-o", "ldif-wrap=no", "-LL"}, &bare, &error)) << error;
  EXPECT_EQ(bare.search.filter + joined(bare.search.attributes), "(objectclass=*)[cn][mail]");
  EXPECT_TRUE(bare.search.wrap == kLdifNoWrap && bare.connection.starttls == starttls_request::kNone &&
              bare.search.ldif_level == 2 && o.search.ldif_level == 3);
  ASSERT_TRUE(parse({"check", "--callback", "--wait", "3", "-Z"}, &check, &error)) << error;
  EXPECT_TRUE(check.command == tool_command::kCheck && check.check.callback && check.check.wait_s == 3);
  EXPECT_EQ(check.connection.starttls, starttls_request::kTry);
  ASSERT_TRUE(parse({"status", "--json"}, &status, &error)) << error;
  EXPECT_TRUE(status.command == tool_command::kStatus && status.status_json);
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{}, "no command"},
      {{"find"}, "unknown command"},
      {{"search", "-s", "deep"}, "invalid scope"},
      {{"search", "-a", "sometimes"}, "invalid deref"},
      {{"search", "-z", "-3"}, "invalid size limit"},
      {{"search", "-z", "99999999999"}, "invalid size limit"},
      {{"search", "-o", "ldif-wrap=1"}, "ldif_wrap"},
      {{"search", "-o", "ldif-wrap=max"}, "ldif_wrap"},
      {{"search", "-o", "bogus=1"}, "general option name: bogus"},
      {{"search", "-b"}, "needs a value: -b"},
      {{"search", "-q"}, "unknown option: -q"},
      {{"search", "--callback"}, "not valid for search"},
      {{"check", "-b", "dc=x"}, "unknown option: -b"},
      {{"check", "(cn=x)"}, "takes no arguments"},
      {{"check", "--callback", "--wait", "0"}, "--wait"},
      {{"status", "-H", "ldap://a/"}, "status takes only --json: -H"},
      {{"search", "-h", "ldap1"}, "-h is not taken"},
      {{"check", "-p", "389"}, "-p is not taken"},
      {{"search", "-L"}, "-L (LDIF"},
  };
  for (const auto& [words, reason] : refused) {
    tool_options options;
    EXPECT_TRUE(!parse(words, &options, &error) && error.find(reason) != std::string::npos) << joined(words) << error;
  }
  // URI and BASE of ldap.conf where the command line names none; libldap's
  // own default (it always gives one) carries a scope.
  take_configured_defaults("ldap://a:1 ldaps://b:636", "dc=c", &status);
  take_configured_defaults("ldap://localhost:389/??base", "dc=c", &bare);
  take_configured_defaults("ldap://z/", "dc=c", &o);  // after -H and -b
  EXPECT_EQ(joined(status.connection.uris) + status.search.base + joined(bare.connection.uris),
            "[ldap://a:1/][ldaps://b:636/]dc=c[ldap://localhost:389/]");
  EXPECT_EQ(joined(o.connection.uris).substr(0, 11) + o.search.base, "[ldap://a/]dc=x");
}

}  // namespace
}  // namespace commdir_tools
