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

// A file beside this one.
std::string beside(const char* name) {
  const std::string source = __FILE__;
  return read_file(source.substr(0, source.rfind('/') + 1) + name);
}

class ToolTest : public IntegrationTest {};

// The searches of tool_searches.txt (which says how to read them), on the
// values of tool_edge_values.ldif (whose printing ldapsearch decides in ways
// worth comparing) and of the long values.
TEST_F(ToolTest, PrintsAndFailsAsLdapsearchDoes) {
  start_slapd(false);  // refuses StartTLS
  ASSERT_TRUE(slapd->add(beside("tool_edge_values.ldif") + "\n" + long_values_ldif())) << slapd->error;
  Slapd tls;
  ASSERT_NE(tls.uri, "") << tls.error;
  const std::string home = make_private_folder("comm-dir-home");
  std::ofstream(home + "/.ldaprc") << "TLS_CACERT " << tls.ca() << "\n";
  ASSERT_EQ(start_daemon({}), "");
  const std::map<std::string, std::string> servers = {
      {"plain", slapd->uri}, {"starttls", tls.uri}, {"ldaps", tls.ldaps_uri}, {"down", kDownUri}},
      stand_ins = {{"<ca>", tls.ca()}, {"<foreign-ca>", tls.foreign_ca()}, {"<home>", home}};
  std::istringstream searches(beside("tool_searches.txt"));
  ASSERT_GT(searches.str().size(), 0u) << "no tool_searches.txt beside " << __FILE__;
  for (std::string line; std::getline(searches, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    std::istringstream words(line);
    int status = -1;
    std::string server;
    words >> status >> server;
    std::vector<std::string> args = {"ldapsearch", "-LLL", "-x", "-H", servers.at(server)};
    Environment env;
    for (std::string word; words >> word;) {
      const std::size_t equals = word.find('=');
      if (word[0] >= 'A' && word[0] <= 'Z' && equals != std::string::npos) {
        const std::string value = word.substr(equals + 1);
        env.emplace_back(word.substr(0, equals), stand_ins.count(value) ? stand_ins.at(value) : value);
      } else {
        args.push_back(word);
      }
    }
    for (bool wrapped : {true, false}) {
      if (!wrapped) args.insert(args.begin() + 5, {"-o", "ldif-wrap=no"});
      std::vector<std::string> tool = {COMMDIR_TOOL_BIN, "search"};
      tool.insert(tool.end(), args.begin() + 1, args.end());
      const CommandResult expected = run_command(args, "", env), actual = run_command(tool, "", env);
      ASSERT_EQ(expected.exit_code, status) << expected.err;
      // Two empty outputs would prove nothing: every search that succeeds finds entries.
      EXPECT_EQ(expected.out.empty(), status != 0 && status != 4);
      const auto [ldif, left_out] = without_long_values(expected.out);
      EXPECT_EQ(actual.exit_code, left_out.empty() ? expected.exit_code : kValuesLeftOut) << actual.err;
      EXPECT_EQ(actual.out, ldif) << actual.err;
      // Where it names values it left out, that is all it says.
      EXPECT_EQ(actual.err.find("comm-dir: value ") == std::string::npos ? "" : actual.err, left_out);
    }
  }
  std::filesystem::remove_all(home);
}

TEST_F(ToolTest, ChecksTheConnectionAndSaysWhenNoDaemonRuns) {
  start_slapd(false);
  ASSERT_EQ(start_daemon({"--callback-timeout=500"}), "");
  const struct {
    std::vector<std::string> args;  // after comm-dir check -H
    int status;
    const char* said;
  } rows[] = {
      {{slapd->uri, "-D", kReaderDn, "-w", kReaderPassword}, 0, "server reachable: yes\nbind accepted: yes\n"},
      {{slapd->uri, "-D", kReaderDn, "-w", "wrong"}, 49, "bind accepted: no\n"},
      {{slapd->uri, "--callback"}, 0, "\ncallback: success (0)\n"},
      // The callback carries the failure of a test against a server that is down.
      {{kDownUri, "--callback"}, 255, "\ncallback: "},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv = {COMMDIR_TOOL_BIN, "check", "-H"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const CommandResult checked = run_command(argv);
    EXPECT_EQ(checked.exit_code, row.status) << checked.out << checked.err;
    EXPECT_NE(checked.out.find(row.said), std::string::npos) << checked.out;
  }
  // Each check by callback leaves once its answer has gone to the daemon
  // (one that left at once would often leave first: tried more times).
  for (int i = 0; i < 10; ++i) run_command({COMMDIR_TOOL_BIN, "check", "-H", slapd->uri, "--callback"});
  EXPECT_FALSE(eventually([&] { return log().find("not answered") != std::string::npos; }, ms(1000))) << log();
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
  const std::string empty = make_private_folder("comm-dir-nodaemon");
  const CommandResult alone = run_command({COMMDIR_TOOL_BIN, "search", "-b", kRoot}, "", {{"COMM_DIR_IPC_DIR", empty}});
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
  start_slapd(false);
  ASSERT_EQ(start_daemon({"--allow-uid=64891,64892", "--reply-wait=60000"}, {},
               [](const std::string& folder) { ASSERT_EQ(chmod(folder.c_str(), 01777), 0); }), "");
  const std::string uri = slapd->uri, list = std::string(kDownUri) + " " + uri;
  Listener silent;  // its search waits for an answer that never comes
  AsUser failed_over(kFailedOver, [&] {
    UINT operation = 0, waiting = 0;
    const bool open = facade()->start_operation(connect_to(list), nullptr, &operation) == 0 &&
                      facade()->start_operation(connect_to(silent.uri(), 0, "", 0, 8000), nullptr, &waiting) == 0;
    std::thread([waiting] {
      timeval none{0, 0};
      facade()->search(condition(Search{}, waiting), 0, none);
    }).detach();
    return open ? "open" : "";
  });
  // A reply server that never reads, an operation answered to it and more
  // requests than its queue holds: their replies are kept.
  AsUser deaf(kDeaf, [&] {
    new Endpoint(dir, "DIR_CS_deaf");  // kept until the child is killed
    const auto start = connecting<COMM_DIR_START_OPERATION_REQUEST>(connect_to(uri));
    bool sent = send(request(COMM_DIR_FUNC_START_OPERATION, 1, start, "utcp:DIR_CS_deaf"));
    for (UINT tag = 2; tag < 40; ++tag) {
      sent = sent && send(request(COMM_DIR_FUNC_FREE_MSG, tag, COMM_DIR_OPERATION_REQUEST{}, "utcp:DIR_CS_deaf"));
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
    unlink((dir + "/DIR_CS_comm-di").c_str());
    return result;
  };
  const std::string both_open = "\"by_uid\":{\"64891\":2,\"64892\":1}", kept = "\"64892\":{\"replies\":";
  const std::string waits = "\"by_uid\":{\"64891\":{\"first answer\":1}}";
  EXPECT_TRUE(eventually([&] {
    const std::string seen = status(0, true).out;
    return seen.find(both_open) != std::string::npos && seen.find(kept) != std::string::npos &&
           seen.find(waits) != std::string::npos;
  }, ms(20000)));
  const struct {
    uid_t viewer;
    bool json;
    std::vector<std::string> shown;  // in the output; for a refusal, in the message
    std::vector<std::string> hidden;
    int status;
  } rows[] = {
      {0, true,
       {"\"everything\":true", both_open, "\"waiting\":{\"all\":1," + waits,
        "\"uid\":64891,\"uris\":\"" + list + "\",\"in_use\":\"" + uri + "\"",
        "\"last_failure\":{\"uri\":\"" + std::string(kDownUri) + "\",\"code\":\"0x34092001\"", kept,
        "\"counters\":{\"served\":"},
       {}, 0},
      {0, false,
       {"view: everything", "by uid: 64891: 2, 64892: 1", "application: 1; by uid: 64891: 1 on first answer",
        "in use: \"" + uri + "\"", "failback: ", "; by uid: 64892: ",
        "requests: "},
       {}, 0},
      {kFailedOver, true,
       {"\"everything\":false", "\"by_uid\":{\"64891\":2}", "\"waiting\":{" + waits, "\"in_use\":\"" + uri + "\""},
       {"64892", "\"counters\"", "\"open\"", "\"kept\":{\"replies\"", "\"waiting\":{\"all\""}, 0},
      {kDeaf, false,
       {"view: what is uid 64892's", "operations open: by uid: 64892: 1", "application: by uid: none",
        "kept replies: by uid: 64892: "},
       {"64891", kDownUri, "requests: ", " of 1024", "notices; by uid"}, 0},
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
