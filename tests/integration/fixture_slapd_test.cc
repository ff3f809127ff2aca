// The slapd fixture itself: it serves the sample address book on loopback,
// leaves nothing behind (also when its test process dies), and the stand-ins
// for broken servers behave as the tests that use them assume.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/child_process.h"
#include "support/slapd_fixture.h"

namespace commdir_testing {
namespace {

using std::chrono::seconds;

constexpr auto kGoneWithin = seconds(10);  // the watcher polls twice a second

LdapSearchResult search_people(const SlapdFixture& slapd, const std::string& filter,
                               const std::string& attribute) {
  return slapd.search({"-b", "ou=people,dc=example,dc=com", filter, attribute});
}

// True once `condition` holds, polled up to kGoneWithin.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kGoneWithin;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// `ca_file`: the authority that a TLS connection checks the server against.
bool answers(const std::string& uri, const std::string& ca_file = "") {
  return run_command({"ldapsearch", "-x", "-o", "nettimeout=1", "-H", uri, "-b", "", "-s", "base",
                      "1.1"},
                     "", {{"LDAPTLS_CACERT", ca_file}}, seconds(5))
             .exit_code == 0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(SlapdFixtureTest, ServesTheAddressBookOnLoopbackAndStopsCleanly) {
  std::string uri, dir;
  {
    SlapdFixture slapd(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    ASSERT_TRUE(slapd.ok()) << slapd.error();
    uri = slapd.uri();
    dir = slapd.dir();
    EXPECT_EQ(uri.rfind("ldap://127.0.0.1:", 0), 0u) << uri;

    LdapSearchResult people = search_people(slapd, "(objectClass=inetOrgPerson)", "cn");
    ASSERT_EQ(people.exit_code, 0) << people.diagnostic;
    EXPECT_EQ(people.entries.size(), 50u);

    LdapSearchResult mueller = search_people(slapd, "(uid=jmueller)", "cn");
    ASSERT_EQ(mueller.entries.size(), 1u);
    EXPECT_EQ(mueller.entries[0].attributes.at(0).second, std::vector<std::string>{"Jürgen Müller"});

    LdapSearchResult photos = search_people(slapd, "(jpegPhoto=*)", "jpegPhoto");
    ASSERT_EQ(photos.entries.size(), 10u);
    for (const LdifEntry& entry : photos.entries) {
      const std::string& photo = entry.attributes.at(0).second.at(0);
      ASSERT_GT(photo.size(), 4u);
      EXPECT_EQ(photo.substr(0, 3), "\xFF\xD8\xFF") << entry.dn;
      EXPECT_EQ(photo.substr(photo.size() - 2), "\xFF\xD9") << entry.dn;
    }

    ASSERT_TRUE(slapd.add("dn: cn=extra,dc=example,dc=com\nobjectClass: organizationalRole\n"
                          "cn: extra\n"))
        << slapd.error();
    EXPECT_EQ(slapd.search({"-b", "cn=extra,dc=example,dc=com", "-s", "base"}).entries.size(), 1u);

    EXPECT_EQ(slapd.ldaps_uri().rfind("ldaps://127.0.0.1:", 0), 0u) << slapd.ldaps_uri();
    EXPECT_TRUE(answers(slapd.ldaps_uri(), slapd.ca_file()));
    EXPECT_FALSE(answers(slapd.ldaps_uri(), slapd.foreign_ca_file()));

    // Halted and resumed: the same ports, the same data.
    ASSERT_TRUE(slapd.halt()) << slapd.error();
    EXPECT_FALSE(answers(uri));
    ASSERT_TRUE(slapd.resume()) << slapd.error();
    EXPECT_TRUE(answers(slapd.ldaps_uri(), slapd.ca_file()));
    EXPECT_EQ(slapd.search({"-b", "cn=extra,dc=example,dc=com", "-s", "base"}).entries.size(), 1u);
  }
  EXPECT_FALSE(answers(uri));
  EXPECT_FALSE(exists(dir)) << dir << " left behind";
}

// A test process that dies without running any destructor still takes its
// slapd with it: the script watches the process that started it.
TEST(SlapdFixtureTest, StopsWhenItsTestProcessDies) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto* slapd = new SlapdFixture(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    const std::string said = slapd->ok() ? slapd->uri() + " " + slapd->dir() : "";
    ssize_t written = write(pipe_fds[1], said.data(), said.size());
    _exit(written == static_cast<ssize_t>(said.size()) ? 0 : 1);  // no destructor runs
  }
  close(pipe_fds[1]);
  char buffer[256] = {};
  ssize_t n = read(pipe_fds[0], buffer, sizeof buffer - 1);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(n, 0) << "the child's slapd did not start";
  const std::string said(buffer, static_cast<size_t>(n));
  const std::string uri = said.substr(0, said.find(' ')), dir = said.substr(said.find(' ') + 1);
  EXPECT_TRUE(eventually([&] { return !answers(uri); })) << uri;
  EXPECT_TRUE(eventually([&] { return !exists(dir); })) << dir << " left behind";
}

TEST(SlapdFixtureTest, RefusedLdifIsReportedAndLeavesNothingRunning) {
  std::string dir;
  {
    SlapdFixture slapd(COMMDIR_SLAPD_FIXTURE, "/dev/null/no-such.ldif");
    EXPECT_FALSE(slapd.ok());
    EXPECT_NE(slapd.error().find("slapadd"), std::string::npos) << slapd.error();
    dir = slapd.dir();
  }
  EXPECT_FALSE(exists(dir)) << dir << " left behind";
}

// The stand-ins for broken servers: one that never answers holds a client
// until its own limit, one that is down refuses at once, and one whose
// connects never complete fails the client's connect time-out.
TEST(SlapdFixtureTest, BrokenServerStandInsBehaveAsBrokenServers) {
  SilentServer silent;
  ASSERT_TRUE(silent.ok());
  UnreachableServer unreachable;
  ASSERT_TRUE(unreachable.ok());
  struct Row {
    const char* name;
    std::string uri;
    bool times_out;
  };
  const Row rows[] = {{"never answers", silent.uri(), true},
                      {"down", closed_port_uri(), false},
                      {"connect never completes", unreachable.uri(), false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(row.uri.rfind("ldap://127.0.0.1:", 0), 0u) << row.uri;
    CommandResult run = run_command(
        {"ldapsearch", "-x", "-o", "nettimeout=1", "-H", row.uri, "-b", "", "-s", "base"}, "", {},
        seconds(3));
    EXPECT_EQ(run.timed_out, row.times_out);
    if (!row.times_out) {
      EXPECT_EQ(run.exit_code, 255) << run.err;  // can't contact
    }
  }
}

struct LdifRow {
  const char* name;
  const char* text;
  bool parses;
};

TEST(LdifParserTest, RefusesWhatItDoesNotUnderstand) {
  const LdifRow rows[] = {
      {"folded base64", "dn: cn=a\ncn:: SsO8cmdl\n bg==\n", true},
      {"comment and blank lines", "# c\n\ndn: cn=a\ncn: a\n\n", true},
      {"line without colon", "dn: cn=a\nbroken\n", false},
      {"attribute before dn", "cn: a\n", false},
      {"bad base64", "dn: cn=a\ncn:: ***\n", false},
      {"URL value", "dn: cn=a\njpegPhoto:< file:///x\n", false},
  };
  for (const LdifRow& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<LdifEntry> entries;
    EXPECT_EQ(parse_ldif(row.text, entries), row.parses);
  }
  std::vector<LdifEntry> entries;
  ASSERT_TRUE(parse_ldif("dn: cn=a\ncn:: SsO8cmdl\n bg==\ncn: b\nsn: c\n\ndn: cn=d\n", entries));
  ASSERT_EQ(entries.size(), 2u);
  const LdifEntry first{"cn=a", {{"cn", {"Jürgen", "b"}}, {"sn", {"c"}}}};
  EXPECT_EQ(entries[0], first);
  EXPECT_EQ(entries[1].dn, "cn=d");
}

}  // namespace
}  // namespace commdir_testing
