// comm-dir's parts: its LDIF against what ldapsearch -LLL (OpenLDAP 2.5)
// printed for the same values, its command line, the records it makes, its
// exit statuses and its watchdog over one facade call.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "tools/ldif_writer.h"
#include "tools/reply_watchdog.h"
#include "tools/tool_options.h"
#include "tools/tool_outcome.h"
#include "tools/tool_records.h"

namespace commdir_tools {
namespace {

using namespace velmarosta;

// Each expected text was taken from ldapsearch's output, or from libldap's
// ldif_put_wrap that it prints with, for values that slapd does not hold.
// What the integration test compares with ldapsearch itself (leading and
// trailing blanks, ':' and '<' first, non-ASCII, passwords, binary values,
// folding at 78 and 20 and none) has no row here.
TEST(LdifWriterTest, WritesValuesAsLdapsearchDoes) {
  const struct Case { std::size_t wrap; std::string attribute, value, expected; } cases[] = {
      {78, "title", "tab\there", "title:: dGFiCWhlcmU=\n"}, {78, "l", "a\x7f" "b", "l:: YX9i\n"},
      {78, "userpassword;binary", "x", "userpassword;binary:: eA==\n"}, {78, "2.5.4.35", "x", "2.5.4.35:: eA==\n"},
      {78, "userPassword", "", "userPassword:\n"},
      {78, "photo", std::string("\0\x01\xff\x02", 4), "photo:: AAH/Ag==\n"},
      // A name wider than the line is written whole; the value starts on the next line.
      {3, "dn", "uid=w", "dn: \n ui\n d=\n w\n"},
      // Base64 text folds the same way, counted after "name:: ".
      {10, "cn", " ab", "cn:: IGFi\n"}, {10, "cn", " abcd", "cn:: IGFiY\n 2Q=\n"},
      {1, "dn", "ui", "dn: \n u\n i\n"},  // widths below the minimum act as the minimum
  };
  for (const Case& c : cases) {
    std::string out;
    ldif_writer(c.wrap).put_value(c.attribute, c.value, &out);
    EXPECT_EQ(out, c.expected) << c.wrap << " " << c.value;
  }
  const ldif_writer writer(kLdifDefaultWrap);
  std::string out;
  writer.put_dn("uid=j\xc3\xbcrgen,ou=people,dc=example,dc=com", &out);
  writer.put_value("sn", "M", &out);
  writer.put_name("cn", &out);
  writer.end_entry(&out);
  EXPECT_EQ(out, "dn:: dWlkPWrDvHJnZW4sb3U9cGVvcGxlLGRjPWV4YW1wbGUsZGM9Y29t\nsn: M\ncn:\n\n");
}

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
  ASSERT_TRUE(parse({"search", "-x", "-H", "ldap://a/ ldap://b/", "-H", "ldap://c/", "-b", "dc=x", "(cn=a*)", "cn",
                     "+", "-s", "children", "-z", "3", "-l", "none", "-a", "find", "-A", "-LLL", "-ZZ", "-D",
                     "cn=admin", "-w", "secret", "-o", "nettimeout=7", "-o", "ldif_wrap=40"}, &o, &error)) << error;
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
      {{}, "no command"}, {{"find"}, "unknown command"}, {{"search", "-s", "deep"}, "invalid scope"},
      {{"search", "-a", "sometimes"}, "invalid deref"}, {{"search", "-z", "-3"}, "invalid size limit"},
      {{"search", "-z", "99999999999"}, "invalid size limit"}, {{"search", "-o", "ldif-wrap=1"}, "ldif_wrap"},
      {{"search", "-o", "ldif-wrap=max"}, "ldif_wrap"}, {{"search", "-o", "bogus=1"}, "general option name: bogus"},
      {{"search", "-b"}, "needs a value: -b"}, {{"search", "-q"}, "unknown option: -q"},
      {{"search", "--callback"}, "not valid for search"}, {{"check", "-b", "dc=x"}, "unknown option: -b"},
      {{"check", "(cn=x)"}, "takes no arguments"}, {{"check", "--callback", "--wait", "0"}, "--wait"},
      {{"status", "-H", "ldap://a/"}, "status takes only --json: -H"},
      {{"search", "-h", "ldap1"}, "-h is not taken"}, {{"check", "-p", "389"}, "-p is not taken"}, {{"search", "-L"}, "-L (LDIF"},
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

// entryDN, which carries the DN, is asked for unless the user asked; values
// are asked for also with -A. A value must fit its field with its NUL.
TEST(ToolOptionsTest, MakesTheRecordsTheLibraryTakes) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {{{}, "* entryDN"}, {{"1.1"}, "1.1 entryDN"},
      {{"cn", "mail"}, "cn mail entryDN"}, {{"+"}, "+"}, {{"*", "+"}, "* +"}, {{"entrydn"}, "entrydn"}};
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
TEST(ToolOptionsTest, CarriesTheUsersTlsSettingsWhereTlsMayBeUsed) {
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
                     : error.find("certificate authority file") != std::string::npos) << c.ca_file;
  }
}

TEST(ToolOutcomeTest, ExitsWithLdapsearchsStatuses) {
  const struct Case { RETCODE code; int status; std::string described; } cases[] = {  // described: the message's end
      {0, 0, "success (0)"}, {comm_dir_code_from_ldap(4), 4, "size limit exceeded (4)"},
      {comm_dir_code_from_ldap(32), 32, "no such object (32)"}, {comm_dir_code_from_ldap(-1), 255, "(-1)"},
      {comm_dir_code_from_ldap(-7), 249, "bad search filter (-7)"},
      {comm_dir_code_from_ldap(0x1000), kExitOther, "(4096)"},  // a low byte of 0 is no success
      {comm_dir_code_from_ldap(0xFFF), 255, "(4095)"}, {comm_dir_code_from_ldap(0x4FFF), 255, "(20479)"},
      {comm_dir_code_from_ldap(-0xFF), 1, "(-255)"}, {comm_dir_code_from_ldap(0x5000), kExitOther, "(0x340930ff)"},
      {comm_dir_code_from_ldap(-0x100), kExitOther, "(0x340930ff)"},
      {-1, kExitUnreachable, "(-1)"}, {COMM_DIR_ERR, kExitOther, "(0x34090000)"},
      {COMM_DIR_SVC_BUSY, kExitOther, "busy: too many requests or operations; try again (0x34093006)"},
      // A failed ldaps:// handshake is a server that ldapsearch cannot contact.
      {COMM_DIR_SVC_TLS_CERT_UNTRUSTED, kExitUnreachable, "(0x34093030)"},
      {COMM_DIR_SVC_TLS_FAILED, kExitUnreachable, "(0x34093031)"},
      {COMM_DIR_SVC_TLS_CA_FILE, kExitUnreachable, "(0x34093032)"},
      {COMM_DIR_SVC_TLS_CA_NOT_ALLOWED, kExitOther, "(0x34093033)"},
      // A connection that does not stand in time cannot be contacted; an answer late is a time-out.
      {COMM_DIR_SVC_CONNECT_TIMEOUT, 255, "(0x34093020)"}, {COMM_DIR_SVC_TLS_TIMEOUT, 255, "(0x34093021)"},
      {COMM_DIR_SVC_BIND_TIMEOUT, 251, "(0x34093022)"}, {COMM_DIR_SVC_RESULT_TIMEOUT, 251, "(0x34093024)"},
  };
  for (const Case& c : cases) {
    const std::string described = describe_result(c.code);
    EXPECT_EQ(exit_status_for(c.code), c.status) << std::hex << c.code;
    const std::size_t end = described.size() - std::min(described.size(), c.described.size());
    EXPECT_TRUE(described.rfind("LDAP: ", 0) == std::string::npos && described.substr(end) == c.described) << described;
  }
}

// An overdue call is reported once and by name, never before its limit;
// calls that end in time never are; the watchdog stops at once.
TEST(ReplyWatchdogTest, ReportsAnOverdueCallOnceByNameAndNeverBeforeItsLimit) {
  using clock = reply_watchdog::clock;
  const std::chrono::milliseconds limit(300);
  std::mutex mu;
  std::condition_variable reported;
  std::vector<std::pair<std::string, clock::time_point>> seen;
  auto wait_for = [&](std::size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return reported.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() >= n; });
  };
  {
    reply_watchdog watchdog(limit, [&](const char* call) {
      std::lock_guard<std::mutex> lock(mu);
      seen.emplace_back(call, clock::now());
      reported.notify_all();
    });
    for (const auto end = clock::now() + 3 * limit; clock::now() < end;) {  // over several of its sleeps
      watchdog.arm("get_next_entry");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      watchdog.disarm();
    }
    const auto armed_at = clock::now();
    watchdog.arm("get_value_string");
    ASSERT_TRUE(wait_for(1));
    std::this_thread::sleep_for(2 * limit);  // reported once: the report disarmed it
    watchdog.arm("search");
    ASSERT_TRUE(wait_for(2));
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_TRUE(seen.size() == 2 && seen[0].first == "get_value_string" && seen[1].first == "search");
    EXPECT_GE(seen[0].second - armed_at, limit);
  }
  const auto began = clock::now();
  {
    reply_watchdog watchdog(std::chrono::hours(1), [](const char*) { ADD_FAILURE() << "reported"; });
    watchdog.arm("start_operation");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // asleep by now
  }
  EXPECT_LT(clock::now() - began, std::chrono::seconds(10));
}

}  // namespace
}  // namespace commdir_tools
