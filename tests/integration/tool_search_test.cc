// comm-dir against ldapsearch on the same slapd: the same LDIF, byte for
// byte, with the default folding and without, and the same exit status,
// errors included. Both run as child processes; comm-dir reaches the daemon
// that the test started in its private IPC folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/service_process.h"
#include "support/slapd_fixture.h"

namespace commdir_testing {
namespace {

constexpr char kPeople[] = "ou=people,dc=example,dc=com";

constexpr char kMedia[] = "ou=media,dc=example,dc=com";
// The longest value that one reply of the daemon carries to comm-dir, and
// comm-dir's exit status when it leaves longer ones out.
constexpr std::size_t kLongestValue = 47208;
constexpr int kValuesLeftOut = 11;

// A value whose every position differs from its neighbours'.
std::string pattern(std::size_t length, std::size_t seed) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string value(length, ' ');
  for (std::size_t i = 0; i < length; ++i) value[i] = kDigits[(i * 7 + i / 36 + seed) % 36];
  return value;
}

// Values longer than one reply can carry between shorter ones of the same
// attributes (a photo of exactly the longest length last), and an entry
// after them.
std::string long_values_ldif() {
  return "dn: " + std::string(kMedia) + "\nobjectClass: organizationalUnit\nou: media\n\n"
         "dn: cn=big," + kMedia + "\nobjectClass: inetOrgPerson\ncn: big\nsn: Big\ndescription: short\n"
         "description: " + pattern(60000, 1) + "\njpegPhoto: " + pattern(2000, 2) + "\njpegPhoto: " +
         pattern(100000, 3) + "\njpegPhoto: " + pattern(kLongestValue, 4) + "\nmail: big@example.com\n\n"
         "dn: cn=after," + kMedia + "\nobjectClass: inetOrgPerson\ncn: after\nsn: After\n\n";
}

// What comm-dir prints where ldapsearch printed `ldif`: the same without
// the values longer than one reply can carry, each named on standard error.
struct WithoutLongValues {
  std::string ldif;
  std::vector<std::string> named;  // "value I of NAME of DN: N bytes"
};

WithoutLongValues without_long_values(const std::string& ldif) {
  WithoutLongValues result;
  std::string dn;
  std::map<std::string, int> seen;  // values of each attribute so far in the entry
  for (std::size_t at = 0, end; at < ldif.size(); at = end) {
    // A line with its continuation lines.
    end = ldif.find('\n', at);
    while (end != std::string::npos && end + 1 < ldif.size() && ldif[end + 1] == ' ') end = ldif.find('\n', end + 1);
    end = end == std::string::npos ? ldif.size() : end + 1;
    const std::string lines = ldif.substr(at, end - at);
    std::string line;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == '\n') ++i;  // and the blank that continues
      else line += lines[i];
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {  // the blank line after an entry
      seen.clear();
      result.ldif += lines;
      continue;
    }
    const std::string name = line.substr(0, colon);
    std::string value = line.size() > colon + 1 ? line.substr(colon + 2) : "";
    if (line.compare(colon, 2, "::") == 0) {
      EXPECT_TRUE(base64_decode(line.substr(colon + 3), value)) << line;
    }
    if (name == "dn") dn = value;
    const int index = seen[name]++;
    if (value.size() <= kLongestValue) {
      result.ldif += lines;
    } else {
      result.named.push_back("value " + std::to_string(index) + " of " + name + " of " + dn + ": " +
                             std::to_string(value.size()) + " bytes");
    }
  }
  return result;
}

// Non-overlapping occurrences of `what` in `text`.
long occurrences(const std::string& text, const std::string& what) {
  long count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// Values whose printing ldapsearch decides in ways worth comparing (base64
// for leading and trailing blanks, ':' and '<', plain text for other
// punctuation, folding of a long value, userPassword), beside this file.
std::string edge_entries_path() {
  const std::string source = __FILE__;
  return source.substr(0, source.rfind('/') + 1) + "tool_edge_values.ldif";
}

// The server of a row: the one without TLS (which refuses StartTLS), or the
// one with TLS, reached with ldap:// (for StartTLS) or ldaps://.
enum class Server { kWithoutTls, kStartTls, kLdaps };

// Stand-ins in a row's environment for paths of the server with TLS: the
// authority that signed its certificate, one that did not, and a home
// folder whose .ldaprc names the first.
constexpr char kCa[] = "<ca>";
constexpr char kForeignCa[] = "<foreign-ca>";
constexpr char kHome[] = "<home>";

struct Search {
  const char* what;
  std::vector<std::string> args;  // after -x -H URI
  int status;                     // ldapsearch's exit status, which comm-dir must match
  Server server = Server::kWithoutTls;
  Environment env = {};           // of both programs
};

class ToolSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The StartTLS rows need a server that refuses StartTLS.
    slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK, SlapdFixture::Tls::kNone);
    ASSERT_TRUE(slapd_->ok()) << slapd_->error();
    std::ifstream edge_file(edge_entries_path());
    const std::string edge_entries((std::istreambuf_iterator<char>(edge_file)), std::istreambuf_iterator<char>());
    ASSERT_NE(edge_entries, "") << edge_entries_path();
    ASSERT_TRUE(slapd_->add(edge_entries + "\n" + long_values_ldif())) << slapd_->error();
    service_ = std::make_unique<ServiceProcess>(COMMDIR_SERVICE_BIN);
    ASSERT_TRUE(service_->ok()) << service_->error();
  }
  void TearDown() override {
    service_.reset();
    slapd_.reset();
    tls_slapd_.reset();
    if (!home_.empty()) {
      unlink((home_ + "/.ldaprc").c_str());
      rmdir(home_.c_str());
    }
  }

  // The server with TLS and the home folder, made at their first use.
  void start_tls_slapd() {
    if (tls_slapd_ != nullptr) return;
    tls_slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    ASSERT_TRUE(tls_slapd_->ok()) << tls_slapd_->error();
    std::string error;
    home_ = make_private_folder("comm-dir-home", error);
    ASSERT_NE(home_, "") << error;
    std::ofstream(home_ + "/.ldaprc") << "TLS_CACERT " << tls_slapd_->ca_file() << "\n";
  }

  std::string uri_of(Server server) const {
    if (server == Server::kWithoutTls) return slapd_->uri();
    return server == Server::kLdaps ? tls_slapd_->ldaps_uri() : tls_slapd_->uri();
  }

  Environment resolved(Environment env) const {
    for (auto& [name, value] : env) {
      if (value == kCa) value = tls_slapd_->ca_file();
      if (value == kForeignCa) value = tls_slapd_->foreign_ca_file();
      if (value == kHome) value = home_;
    }
    return env;
  }

  CommandResult run(const std::string& program, const std::vector<std::string>& args,
                    Server server = Server::kWithoutTls, const Environment& env = {}) const {
    std::vector<std::string> argv = {program};
    if (program == COMMDIR_TOOL_BIN) argv.push_back("search");
    argv.insert(argv.end(), {"-LLL", "-x", "-H", uri_of(server)});
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, "", resolved(env));
  }

  // Runs the search with both programs and compares their output and
  // status. comm-dir leaves out the values that one reply cannot carry and
  // names each, and then says so in its status.
  void compare(const Search& search, const std::vector<std::string>& wrap) {
    if (search.server != Server::kWithoutTls) {
      ASSERT_NO_FATAL_FAILURE(start_tls_slapd());
    }
    std::vector<std::string> args = wrap;
    args.insert(args.end(), search.args.begin(), search.args.end());
    const CommandResult expected = run("ldapsearch", args, search.server, search.env);
    const CommandResult actual = run(COMMDIR_TOOL_BIN, args, search.server, search.env);
    ASSERT_EQ(expected.exit_code, search.status) << expected.err;
    // Two empty outputs would prove nothing: every search that succeeds finds entries.
    if (search.status == 0 || search.status == 4) {
      ASSERT_NE(expected.out, "");
    }
    const WithoutLongValues printable = without_long_values(expected.out);
    EXPECT_EQ(actual.exit_code, printable.named.empty() ? expected.exit_code : kValuesLeftOut) << actual.err;
    EXPECT_EQ(actual.out, printable.ldif) << actual.err;
    EXPECT_FALSE(actual.timed_out);
    for (const std::string& named : printable.named) {
      EXPECT_NE(actual.err.find("comm-dir: " + named + ", longer than one reply can carry"), std::string::npos)
          << named << "\n" << actual.err;
    }
    EXPECT_EQ(occurrences(actual.err, "comm-dir: value "), static_cast<long>(printable.named.size())) << actual.err;
  }

  std::unique_ptr<SlapdFixture> slapd_;
  std::unique_ptr<ServiceProcess> service_;
  std::unique_ptr<SlapdFixture> tls_slapd_;
  std::string home_;
};

TEST_F(ToolSearchTest, PrintsWhatLdapsearchPrints) {
  const std::string admin_dn = SlapdFixture::kRootDn;
  const Search searches[] = {
      {"the whole address book: binary photos, non-ASCII names", {"-b", kPeople}, 0},
      {"base scope, StartTLS tried and refused", {"-Z", "-b", "dc=example,dc=com", "-s", "base"}, 0},
      {"one level, no attributes", {"-b", "dc=example,dc=com", "-s", "one", "1.1"}, 0},
      {"children", {"-b", "dc=example,dc=com", "-s", "children", "(objectClass=organizationalUnit)"}, 0},
      {"and, or, wildcards", {"-b", kPeople, "(&(objectClass=inetOrgPerson)(|(sn=L*)(sn=T*)))", "cn", "mail"}, 0},
      {"not", {"-b", kPeople, "(!(telephoneNumber=*))"}, 0},
      {"operational attributes", {"-b", kPeople, "(uid=alovelace)", "+"}, 0},
      {"user and operational attributes", {"-b", kPeople, "(uid=ghopper)", "*", "+"}, 0},
      {"names only", {"-A", "-b", kPeople, "(sn=H*)"}, 0},
      {"binary values", {"-b", kPeople, "(jpegPhoto=*)", "cn", "jpegPhoto"}, 0},
      {"size limit", {"-z", "3", "-b", kPeople, "uid"}, 4},
      {"values that need base64, and folding", {"-b", kPeople, "(sn=Edge)"}, 0},
      {"userPassword as admin", {"-D", admin_dn, "-w", SlapdFixture::kRootPassword, "-b", kPeople, "(sn=Edge)",
                                 "userPassword"}, 0},
      {"bound as reader, deref always", {"-D", SlapdFixture::kReaderDn, "-w", SlapdFixture::kReaderPassword,
                                         "-a", "always", "-b", kPeople, "(cn=J*)", "cn", "sn", "givenName"}, 0},
      {"values longer than one reply can carry", {"-b", kMedia}, 0},
      // TLS as the user's libldap configuration says.
      {"StartTLS, LDAPTLS_CACERT", {"-ZZ", "-b", kPeople, "(uid=a*)"}, 0, Server::kStartTls,
       {{"LDAPTLS_CACERT", kCa}}},
      {"ldaps://, LDAPTLS_CACERT", {"-b", kPeople, "(uid=a*)"}, 0, Server::kLdaps, {{"LDAPTLS_CACERT", kCa}}},
      {"StartTLS, TLS_CACERT of ~/.ldaprc", {"-ZZ", "-b", kPeople, "(uid=a*)"}, 0, Server::kStartTls,
       {{"HOME", kHome}}},
      {"untrusted certificate, LDAPTLS_REQCERT=never", {"-b", kPeople, "(uid=a*)"}, 0, Server::kLdaps,
       {{"LDAPTLS_CACERT", kForeignCa}, {"LDAPTLS_REQCERT", "never"}}},
      {"untrusted certificate, LDAPTLS_REQCERT=allow", {"-ZZ", "-b", kPeople, "(uid=a*)"}, 0, Server::kStartTls,
       {{"LDAPTLS_CACERT", kForeignCa}, {"LDAPTLS_REQCERT", "allow"}}},
  };
  for (const Search& search : searches) {
    SCOPED_TRACE(search.what);
    compare(search, {});
    compare(search, {"-o", "ldif-wrap=no"});
  }
  compare({"narrow folding", {"-b", kPeople, "(uid=edge2)"}, 0}, {"-o", "ldif-wrap=20"});
}

TEST_F(ToolSearchTest, FailsAsLdapsearchFails) {
  const Search searches[] = {
      {"no such object", {"-b", "ou=nowhere,dc=example,dc=com"}, 32},
      {"wrong password", {"-D", SlapdFixture::kReaderDn, "-w", "wrong", "-b", kPeople}, 49},
      {"bad filter", {"-b", kPeople, "(cn="}, 249},
      {"bad scope", {"-s", "deep", "-b", kPeople}, 1},
      {"bad wrap", {"-o", "ldif-wrap=abc", "-b", kPeople}, 1},
      {"StartTLS required by a server without TLS", {"-ZZ", "-b", kPeople}, 1},
      {"ldaps://, untrusted certificate", {"-b", kPeople}, 255, Server::kLdaps, {{"LDAPTLS_CACERT", kForeignCa}}},
      {"StartTLS, untrusted certificate", {"-ZZ", "-b", kPeople}, 1, Server::kStartTls,
       {{"LDAPTLS_CACERT", kForeignCa}}},
      {"untrusted certificate, LDAPTLS_REQCERT=try", {"-b", kPeople}, 255, Server::kLdaps,
       {{"LDAPTLS_CACERT", kForeignCa}, {"LDAPTLS_REQCERT", "try"}}},
  };
  for (const Search& search : searches) {
    SCOPED_TRACE(search.what);
    compare(search, {});
  }
  // A server that is down: the daemon's libldap error, as ldapsearch's own.
  const CommandResult expected = run_command({"ldapsearch", "-LLL", "-x", "-H", closed_port_uri(), "-b", kPeople});
  const CommandResult actual = run_command({COMMDIR_TOOL_BIN, "search", "-x", "-H", closed_port_uri(), "-b", kPeople});
  EXPECT_EQ(expected.exit_code, 255);
  EXPECT_EQ(actual.exit_code, expected.exit_code) << actual.err;
}

TEST_F(ToolSearchTest, ChecksTheConnectionWithAndWithoutCallback) {
  const CommandResult sync = run_command({COMMDIR_TOOL_BIN, "check", "-H", slapd_->uri(), "-D",
                                          SlapdFixture::kReaderDn, "-w", SlapdFixture::kReaderPassword});
  EXPECT_EQ(sync.exit_code, 0) << sync.err;
  EXPECT_NE(sync.out.find("server reachable: yes\nbind accepted: yes\n"), std::string::npos) << sync.out;

  const CommandResult refused = run_command({COMMDIR_TOOL_BIN, "check", "-H", slapd_->uri(), "-D",
                                             SlapdFixture::kReaderDn, "-w", "wrong"});
  EXPECT_EQ(refused.exit_code, 49) << refused.out << refused.err;
  EXPECT_NE(refused.out.find("bind accepted: no\n"), std::string::npos) << refused.out;

  const CommandResult callback = run_command({COMMDIR_TOOL_BIN, "check", "-H", slapd_->uri(), "--callback"});
  EXPECT_EQ(callback.exit_code, 0) << callback.err;
  EXPECT_NE(callback.out.find("\ncallback: success (0)\n"), std::string::npos) << callback.out;

  // The callback carries the failure of a test against a server that is down.
  const CommandResult down = run_command({COMMDIR_TOOL_BIN, "check", "-H", closed_port_uri(), "--callback"});
  EXPECT_EQ(down.exit_code, 255) << down.out << down.err;
  EXPECT_NE(down.out.find("\ncallback: "), std::string::npos) << down.out;

  // -w's password is gone from comm-dir's arguments (what ps shows) while
  // it waits for a bind that a server never answers.
  SilentServer silent;
  ASSERT_TRUE(silent.ok());
  ChildProcess waiting({COMMDIR_TOOL_BIN, "check", "-H", silent.uri(), "-o", "nettimeout=3", "-w", "not-for-ps"}, {},
                       "");
  std::string arguments;
  for (int i = 0; i < 250 && waiting.alive(); ++i, usleep(20000)) {
    std::ifstream cmdline("/proc/" + std::to_string(waiting.pid()) + "/cmdline");
    arguments.assign(std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>());
    if (arguments.find("nettimeout=3") != std::string::npos && arguments.find("not-for-ps") == std::string::npos) break;
  }
  EXPECT_NE(arguments.find("nettimeout=3"), std::string::npos) << "comm-dir ended before it was looked at";
  EXPECT_EQ(arguments.find("not-for-ps"), std::string::npos);
}

// The README's example application, against the same daemon and server: one
// block per person that ldapsearch finds.
TEST_F(ToolSearchTest, ExampleApplicationListsThePeople) {
  const CommandResult listed = run_command({COMMDIR_EXAMPLE_BIN, slapd_->uri(), kPeople});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("cn: Ada Lovelace\nmail: alovelace@example.com\n\n"), std::string::npos) << listed.out;
  const CommandResult people =
      run("ldapsearch", {"-b", kPeople, "-s", "one", "(objectClass=inetOrgPerson)", "1.1"});
  ASSERT_EQ(people.exit_code, 0);
  EXPECT_GT(occurrences(people.out, "dn:"), 40);
  EXPECT_EQ(occurrences(listed.out, "\n\n"), occurrences(people.out, "dn:"));
}

// No daemon at all: one line, at once, and the status of a server that is down.
TEST(ToolWithoutDaemonTest, SaysSoAtOnce) {
  char folder[] = "/tmp/comm-dir-tool-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const CommandResult result = run_command({COMMDIR_TOOL_BIN, "search", "-b", "dc=example,dc=com"}, "",
                                           {{"COMM_DIR_IPC_DIR", folder}}, std::chrono::seconds(10));
  rmdir(folder);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("comm-dir: the directory service is not running", 0), 0u) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

}  // namespace
}  // namespace commdir_testing
