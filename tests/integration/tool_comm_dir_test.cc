// comm-dir against ldapsearch on the same slapd: the same LDIF, byte for
// byte, folded or not, and the same exit status, errors and TLS settings
// included; its connection test; and comm-dir status as root and as two
// users. comm-dir reaches the daemon that the test started in its folder.
#include "integration/harness.h"

namespace commdir_testing {
namespace {

// comm-dir's exit status when it leaves out a value longer than one reply
// carries (47,208 bytes).
constexpr int kValuesLeftOut = 11;
constexpr std::size_t kLongest = 47208;

// ldapsearch's output without the values longer than one reply carries
// (plain text here), and the lines in which comm-dir names them.
std::pair<std::string, std::string> without_long_values(const std::string& ldif) {
  std::string kept, named, dn;
  std::map<std::string, int> seen;  // values of each attribute so far in the entry
  for (std::size_t at = 0, end; at < ldif.size(); at = end) {
    end = ldif.find('\n', at);  // a line with its continuation lines
    while (end != std::string::npos && end + 1 < ldif.size() && ldif[end + 1] == ' ') end = ldif.find('\n', end + 1);
    end = end == std::string::npos ? ldif.size() : end + 1;
    std::string line = ldif.substr(at, end - at);
    for (std::size_t fold; (fold = line.find("\n ")) != std::string::npos;) line.erase(fold, 2);
    const std::size_t colon = std::min(line.find(": "), line.size()), length = line.size() - std::min(line.size(), colon + 3);
    if (colon == line.size()) seen.clear();  // the blank line after an entry
    const std::string name = line.substr(0, colon);
    if (name == "dn") dn = line.substr(4, length);
    const int index = seen[name]++;
    if (length <= kLongest) kept += ldif.substr(at, end - at);
    if (length > kLongest) {
      named += "comm-dir: value " + std::to_string(index) + " of " + name + " of " + dn + ": " + std::to_string(length) +
               " bytes, longer than one reply can carry (47208 bytes); left out\n";
    }
  }
  return {kept, named};
}

// Values whose printing ldapsearch decides in ways worth comparing (base64
// for leading and trailing blanks, ':' and '<', plain text for other
// punctuation, folding of a long value, userPassword), beside this file.
std::string edge_values() {
  const std::string source = __FILE__;
  return read_file(source.substr(0, source.rfind('/') + 1) + "tool_edge_values.ldif");
}

class ToolTest : public IntegrationTest {
 protected:
  CommandResult comm_dir(const std::vector<std::string>& args, const Environment& env = {}) {
    std::vector<std::string> argv = {COMMDIR_TOOL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, "", env);
  }
};

// Stand-ins in a row's environment for paths of the server with TLS: the
// authority that signed its certificate, one that did not, and a home
// folder whose .ldaprc names the first.
constexpr char kCa[] = "<ca>", kForeignCa[] = "<foreign-ca>", kHome[] = "<home>";

TEST_F(ToolTest, PrintsAndFailsAsLdapsearchDoes) {
  start_slapd(false);  // refuses StartTLS
  ASSERT_TRUE(slapd->add(edge_values() + "\n" + long_values_ldif())) << slapd->error;
  Slapd tls;
  ASSERT_NE(tls.uri, "") << tls.error;
  std::string error;
  const std::string home = make_private_folder("comm-dir-home", error);
  std::ofstream(home + "/.ldaprc") << "TLS_CACERT " << tls.ca() << "\n";
  start_daemon({});
  enum Server { kWithoutTls, kStartTls, kLdaps, kDown };
  struct Row {
    const char* what;
    std::vector<std::string> args;  // after -LLL -x -H URI
    int status;                     // ldapsearch's exit status, which comm-dir must match
    Server server = kWithoutTls;
    Environment env = {};  // of both programs
  };
  const std::string reader[] = {"-D", kReaderDn, "-w", kReaderPassword};
  const Row rows[] = {
      {"the whole address book: binary photos, non-ASCII names", {"-b", kPeople}, 0},
      {"base scope, StartTLS tried and refused", {"-Z", "-b", kRoot, "-s", "base"}, 0},
      {"one level, no attributes", {"-b", kRoot, "-s", "one", "1.1"}, 0},
      {"children", {"-b", kRoot, "-s", "children", "(objectClass=organizationalUnit)"}, 0},
      {"and, or, wildcards", {"-b", kPeople, "(&(objectClass=inetOrgPerson)(|(sn=L*)(sn=T*)))", "cn", "mail"}, 0},
      {"not", {"-b", kPeople, "(!(telephoneNumber=*))"}, 0},
      {"operational attributes", {"-b", kPeople, "(uid=alovelace)", "+"}, 0},
      {"user and operational attributes", {"-b", kPeople, "(uid=ghopper)", "*", "+"}, 0},
      {"names only", {"-A", "-b", kPeople, "(sn=H*)"}, 0},
      {"binary values", {"-b", kPeople, "(jpegPhoto=*)", "cn", "jpegPhoto"}, 0},
      {"size limit", {"-z", "3", "-b", kPeople, "uid"}, 4},
      {"values that need base64, and folding", {"-b", kPeople, "(sn=Edge)"}, 0},
      {"narrow folding", {"-o", "ldif-wrap=20", "-b", kPeople, "(uid=edge2)"}, 0},
      {"userPassword as admin", {"-D", kAdminDn, "-w", kAdminPassword, "-b", kPeople, "(sn=Edge)", "userPassword"}, 0},
      {"bound as reader, deref always",
       {reader[0], reader[1], reader[2], reader[3], "-a", "always", "-b", kPeople, "(cn=J*)", "cn", "sn", "givenName"},
       0},
      {"values longer than one reply carries, between shorter ones", {"-b", kMedia}, 0},
      {"StartTLS, LDAPTLS_CACERT", {"-ZZ", "-b", kPeople, "(uid=a*)"}, 0, kStartTls, {{"LDAPTLS_CACERT", kCa}}},
      {"ldaps://, LDAPTLS_CACERT", {"-b", kPeople, "(uid=a*)"}, 0, kLdaps, {{"LDAPTLS_CACERT", kCa}}},
      {"StartTLS, TLS_CACERT of ~/.ldaprc", {"-ZZ", "-b", kPeople, "(uid=a*)"}, 0, kStartTls, {{"HOME", kHome}}},
      {"untrusted certificate, LDAPTLS_REQCERT=never", {"-b", kPeople, "(uid=a*)"}, 0, kLdaps,
       {{"LDAPTLS_CACERT", kForeignCa}, {"LDAPTLS_REQCERT", "never"}}},
      {"untrusted certificate, LDAPTLS_REQCERT=allow", {"-ZZ", "-b", kPeople, "(uid=a*)"}, 0, kStartTls,
       {{"LDAPTLS_CACERT", kForeignCa}, {"LDAPTLS_REQCERT", "allow"}}},
      {"no such object", {"-b", "ou=nowhere,dc=example,dc=com"}, 32},
      {"wrong password", {"-D", kReaderDn, "-w", "wrong", "-b", kPeople}, 49},
      {"bad filter", {"-b", kPeople, "(cn="}, 249},
      {"bad scope", {"-s", "deep", "-b", kPeople}, 1},
      {"bad wrap", {"-o", "ldif-wrap=abc", "-b", kPeople}, 1},
      {"StartTLS required by a server without TLS", {"-ZZ", "-b", kPeople}, 1},
      {"ldaps://, untrusted certificate", {"-b", kPeople}, 255, kLdaps, {{"LDAPTLS_CACERT", kForeignCa}}},
      {"StartTLS, untrusted certificate", {"-ZZ", "-b", kPeople}, 1, kStartTls, {{"LDAPTLS_CACERT", kForeignCa}}},
      {"untrusted certificate, LDAPTLS_REQCERT=try", {"-b", kPeople}, 255, kLdaps,
       {{"LDAPTLS_CACERT", kForeignCa}, {"LDAPTLS_REQCERT", "try"}}},
      {"a server that is down: the daemon's libldap error, as ldapsearch's own", {"-b", kPeople}, 255, kDown},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string uris[] = {slapd->uri, tls.uri, tls.ldaps_uri, closed_port_uri()};
    Environment env = row.env;
    for (auto& [name, value] : env) value = value == kCa ? tls.ca() : value == kForeignCa ? tls.foreign_ca() : value == kHome ? home : value;
    for (const std::vector<std::string>& wrap : {std::vector<std::string>{}, {"-o", "ldif-wrap=no"}}) {
      std::vector<std::string> args = {"ldapsearch", "-LLL", "-x", "-H", uris[row.server]};
      args.insert(args.end(), wrap.begin(), wrap.end());
      args.insert(args.end(), row.args.begin(), row.args.end());
      const CommandResult expected = run_command(args, "", env);
      args[0] = "search";
      const CommandResult actual = comm_dir(args, env);
      ASSERT_EQ(expected.exit_code, row.status) << expected.err;
      // Two empty outputs would prove nothing: every search that succeeds finds entries.
      EXPECT_EQ(expected.out.empty(), row.status != 0 && row.status != 4);
      const auto [ldif, left_out] = without_long_values(expected.out);
      EXPECT_EQ(actual.exit_code, left_out.empty() ? expected.exit_code : kValuesLeftOut) << actual.err;
      EXPECT_EQ(actual.out, ldif) << actual.err;
      std::string named;
      std::istringstream lines(actual.err);
      for (std::string line; std::getline(lines, line);) named += line.rfind("comm-dir: value ", 0) == 0 ? line + "\n" : "";
      EXPECT_EQ(named, left_out);
    }
  }
  std::filesystem::remove_all(home);
}

TEST_F(ToolTest, ChecksTheConnectionAndSaysWhenNoDaemonRuns) {
  start_slapd(false);
  start_daemon({});
  const std::string down = closed_port_uri();
  const struct {
    std::vector<std::string> args;
    int status;
    const char* said;
  } rows[] = {
      {{"-H", slapd->uri, "-D", kReaderDn, "-w", kReaderPassword}, 0, "server reachable: yes\nbind accepted: yes\n"},
      {{"-H", slapd->uri, "-D", kReaderDn, "-w", "wrong"}, 49, "bind accepted: no\n"},
      {{"-H", slapd->uri, "--callback"}, 0, "\ncallback: success (0)\n"},
      // The callback carries the failure of a test against a server that is down.
      {{"-H", down, "--callback"}, 255, "\ncallback: "},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"check"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const CommandResult checked = comm_dir(args);
    EXPECT_EQ(checked.exit_code, row.status) << checked.out << checked.err;
    EXPECT_NE(checked.out.find(row.said), std::string::npos) << checked.out;
  }
  // -w's password is gone from comm-dir's arguments (what ps shows) while
  // it waits for a bind that a server never answers.
  Listener silent;
  ChildProcess waiting({COMMDIR_TOOL_BIN, "check", "-H", silent.uri(), "-o", "nettimeout=3", "-w", "not-for-ps"}, {},
                       "");
  std::string arguments;
  EXPECT_TRUE(eventually([&] {
    arguments = read_file("/proc/" + std::to_string(waiting.pid()) + "/cmdline");
    return arguments.find("nettimeout=3") != std::string::npos && arguments.find("not-for-ps") == std::string::npos;
  }, ms(5000))) << arguments;
  // No daemon at all: one line, at once, and the status of a server that is down.
  std::string error;
  const std::string empty = make_private_folder("comm-dir-nodaemon", error);
  const CommandResult alone = comm_dir({"search", "-b", kRoot}, {{"COMM_DIR_IPC_DIR", empty}});
  rmdir(empty.c_str());
  EXPECT_EQ(alone.exit_code, 255);
  EXPECT_EQ(alone.out, "");
  EXPECT_EQ(alone.err.rfind("comm-dir: the directory service is not running", 0), 0u) << alone.err;
  EXPECT_EQ(std::count(alone.err.begin(), alone.err.end(), '\n'), 1) << alone.err;
}

// comm-dir status against a daemon that holds something of everything: an
// operation of each of two users, one on a URI list that failed over, and
// replies kept for an application of the other that does not read. Root
// sees all of it; each user its own and nothing of the other's.
TEST_F(ToolTest, StatusShowsEachUserItsOwnAndRootEverything) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two other users";
  constexpr uid_t kFailedOver = 64891, kDeaf = 64892, kStranger = 64893;
  constexpr char kDeadUri[] = "ldap://127.0.0.1:1/";
  start_slapd(false);
  start_daemon({"--allow-uid=64891,64892", "--reply-wait=60000"}, {},
               [](const std::string& dir) { ASSERT_EQ(chmod(dir.c_str(), 01777), 0); });
  const std::string uri = slapd->uri, list = std::string(kDeadUri) + " " + uri;
  AsUser failed_over(kFailedOver, [&] {
    UINT operation = 0;
    return facade()->start_operation(connect_to(list), nullptr, &operation) == 0 ? "open" : "";
  });
  // A reply server that never reads, an operation answered to it and more
  // requests than its queue holds: their replies are kept.
  AsUser deaf(kDeaf, [&] {
    new Endpoint(daemon->dir, "DIR_CS_deaf");  // kept until the child is killed
    const COMM_DIR_START_OPERATION_REQUEST start = start_record(uri);
    bool sent = send_datagram(daemon->dir + "/COMM_DIR_SRV",
                              request(COMM_DIR_FUNC_START_OPERATION, 1, &start, sizeof start, "utcp:DIR_CS_deaf"));
    for (UINT tag = 2; tag < 40; ++tag) {
      sent = sent && send_datagram(daemon->dir + "/COMM_DIR_SRV",
                                   request(COMM_DIR_FUNC_FREE_MSG, tag, nullptr, 0, "utcp:DIR_CS_deaf"));
    }
    return sent ? "open" : "";
  });
  ASSERT_EQ(failed_over.result(), "open");
  ASSERT_EQ(deaf.result(), "open");
  // comm-dir status as `user`; it leaves its reply server's socket behind,
  // which another user may not replace in the shared folder.
  const auto status = [&](uid_t user, bool json) {
    std::vector<std::string> argv = {"setpriv", "--reuid=" + std::to_string(user), "--regid=" + std::to_string(user),
                                     "--clear-groups", COMMDIR_TOOL_BIN, "status"};
    if (json) argv.push_back("--json");
    const CommandResult result = run_command(argv);
    unlink((daemon->dir + "/DIR_CS_comm-di").c_str());
    return result;
  };
  const std::string both_open = "\"by_uid\":{\"64891\":1,\"64892\":1}", kept = "\"64892\":{\"replies\":";
  EXPECT_TRUE(eventually([&] {
    const std::string seen = status(0, true).out;
    return seen.find(both_open) != std::string::npos && seen.find(kept) != std::string::npos;
  }, ms(20000)));
  const struct {
    uid_t viewer;
    bool json;
    std::vector<std::string> shown;  // in the output; for a refusal, in the message
    std::vector<std::string> hidden;
    int status;
  } rows[] = {
      {0, true,
       {"\"everything\":true", both_open, "\"uid\":64891,\"uris\":\"" + list + "\",\"in_use\":\"" + uri + "\"",
        "\"last_failure\":{\"uri\":\"" + std::string(kDeadUri) + "\",\"code\":\"0x34092001\"", kept,
        "\"counters\":{\"served\":"},
       {}, 0},
      {0, false,
       {"view: everything", "by uid: 64891: 1, 64892: 1", "in use: \"" + uri + "\"", "failback: ", "; by uid: 64892: ",
        "requests: "},
       {}, 0},
      {kFailedOver, true, {"\"everything\":false", "\"by_uid\":{\"64891\":1}", "\"in_use\":\"" + uri + "\""},
       {"64892", "\"counters\"", "\"open\"", "\"kept\":{\"replies\""}, 0},
      {kDeaf, false,
       {"view: what is uid 64892's", "operations open: by uid: 64892: 1", "kept replies: by uid: 64892: "},
       {"64891", kDeadUri, "requests: ", " of 1024", "notices; by uid"}, 0},
      {kStranger, true, {"does not serve"}, {}, 80},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("uid " + std::to_string(row.viewer) + (row.json ? " --json" : ""));
    const CommandResult result = status(row.viewer, row.json);
    ASSERT_EQ(result.exit_code, row.status) << result.err;
    const std::string& said = row.status == 0 ? result.out : result.err;
    for (const std::string& text : row.shown) EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
    for (const std::string& text : row.hidden) EXPECT_EQ(result.out.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace commdir_testing
