// comm-dir against ldapsearch on the same slapd: the same LDIF, byte for
// byte, folded or not, and the same exit status, errors and TLS settings
// included; its connection test; and comm-dir status as root and as two
// users. comm-dir reaches the daemon that the test started in its folder.
#include <fstream>
#include <future>
#include <set>

#include "integration/fault_proxy.h"
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
    const std::size_t colon = std::min(line.find(": "), line.size()),
                      length = line.size() - std::min(line.size(), colon + 3);
    if (colon == line.size()) seen.clear();  // the blank line after an entry
    const std::string name = line.substr(0, colon);
    if (name == "dn") dn = line.substr(4, length);
    const int index = seen[name]++;
    if (length <= kLongest) kept += ldif.substr(at, end - at);
    if (length > kLongest) {
      named += "comm-dir: value " + std::to_string(index) + " of " + name + " of " + dn + ": " +
               std::to_string(length) + " bytes, longer than one reply can carry (47208 bytes); left out\n";
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
  std::ofstream(home + "/.ldaprc") << "URI " + slapd->uri + "\nTLS_CACERT " + tls.ca() + "\nBASE " + kPeople + "\n";
  ASSERT_EQ(start_daemon({}), "");
  const std::map<std::string, std::string> servers = {{"plain", slapd->uri},
                                                      {"starttls", tls.uri},
                                                      {"ldaps", tls.ldaps_uri},
                                                      {"down", kDownUri}},
                                           stand_ins = {{"<ca>", tls.ca()},
                                                        {"<foreign-ca>", tls.foreign_ca()},
                                                        {"<home>", home}};
  std::istringstream searches(beside("tool_searches.txt"));
  ASSERT_GT(searches.str().size(), 0u) << "no tool_searches.txt beside " << __FILE__;
  for (std::string line; std::getline(searches, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    std::istringstream words(line);
    int status = -1;
    std::string server;
    words >> status >> server;
    std::vector<std::string> args = {"ldapsearch", "-x"};
    if (server != "conf") args.insert(args.end(), {"-H", servers.at(server)});
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
    if (line.find(" -L") == std::string::npos) args.insert(args.begin() + 1, "-LLL");  // unless the row says
    for (bool wrapped : {true, false}) {
      if (!wrapped) args.insert(args.begin() + 1, {"-o", "ldif-wrap=no"});
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

// A server's words outside LDIF values (its diagnostic, an attribute name,
// the DN in a message) come out with their control characters visible.
TEST_F(ToolTest, ChecksTheConnectionAndSaysWhenNoDaemonRuns) {
  start_slapd(false);
  ASSERT_EQ(start_daemon({"--allow-uid=64881", "--callback-timeout=500"}, {},
                         [](const std::string& folder) { chmod(folder.c_str(), 01777); }),
            "");
  ASSERT_TRUE(slapd->add(long_values_ldif())) << slapd->error;
  const std::string words = "\x1b]0;\x07\r\x7f", shown = "\\x1b]0;\\x07\\x0d\\x7f";
  FaultProxy hostile(slapd->port(), {Fault::kNone,
                                     0,
                                     0,
                                     {{"invalid DN", "inv" + words},
                                      {"description", "desc" + words},
                                      {"=v47209", words},
                                      {"mail", "m\x1b\x07\x7f"}}});
  const struct {
    std::vector<std::string> args;  // after comm-dir, or "example" and the example's
    int status;
    std::string said;
  } rows[] = {
      {{"check", "-H", slapd->uri, "-D", kReaderDn, "-w", kReaderPassword},
       0,
       "server reachable: yes\nbind accepted: yes\n"},
      {{"check", "-H", slapd->uri, "-D", kReaderDn, "-w", "wrong"}, 49, "bind accepted: no\n"},
      // The callback carries the failure of a test against a server that is down (its success:
      // RootUsesThePrivateFolderOfTheDaemonsUser).
      {{"check", "-H", kDownUri, "--callback"}, 255, "\ncallback: "},
      {{"check", "-H", hostile.uri(), "-D", "not a DN", "-w", "x"}, 34, "\ndiagnostic: bind: inv" + shown + "\n"},
      {{"search", "-H", hostile.uri(), "-x", "-b", kMedia}, 11, "\ndesc" + shown + ": short\n"},
      {{"search", "-H", hostile.uri(), "-x", "-b", kMedia}, 11, " of desc" + shown + " of cn" + shown + ",ou=media"},
      {{"example", hostile.uri(), kPeople}, 0, "\nm\\x1b\\x07\\x7f: "},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv = {row.args[0] == "example" ? COMMDIR_EXAMPLE_BIN : COMMDIR_TOOL_BIN};
    argv.insert(argv.end(), row.args.begin() + (row.args[0] == "example"), row.args.end());
    const CommandResult checked = run_command(argv);
    EXPECT_EQ(checked.exit_code, row.status) << checked.out << checked.err;
    EXPECT_NE((checked.out + checked.err).find(row.said), std::string::npos) << checked.out << checked.err;
    EXPECT_EQ((checked.out + checked.err).find_first_of("\x1b\x07\r\x7f"), std::string::npos)
        << checked.out << checked.err;
  }
  // Each check by callback leaves once its answer has gone to the daemon
  // (one that left at once would often leave first: tried more times).
  for (int i = 0; i < 10; ++i) run_command({COMMDIR_TOOL_BIN, "check", "-H", slapd->uri, "--callback"});
  EXPECT_FALSE(eventually([&] { return log().find("not answered") != std::string::npos; }, ms(1000))) << log();
  // -w's password is gone from comm-dir's arguments (what ps shows) while
  // it waits for a bind that a server never answers, and comm-dir (of
  // another user than root, whose /proc files are then root's) cannot be
  // dumped.
  Listener silent;
  std::vector<std::string> check = {COMMDIR_TOOL_BIN, "check", "-H",        silent.uri(), "-o",
                                    "nettimeout=3",   "-w",    "not-for-ps"};
  if (geteuid() == 0) check.insert(check.begin(), {"setpriv", "--reuid=64881", "--regid=64881", "--clear-groups"});
  for (const char* left : {"/DIR_CS_comm-di", "/DIR_SVR_comm-"}) unlink((dir + left).c_str());  // root's, from above
  ChildProcess waiting(check, {}, "");
  std::string arguments;
  struct stat environment {};
  EXPECT_TRUE(eventually(
      [&] {
        arguments = read_file("/proc/" + std::to_string(waiting.pid()) + "/cmdline");
        return arguments.find("nettimeout=3") != std::string::npos &&
               arguments.find("not-for-ps") == std::string::npos &&
               stat(("/proc/" + std::to_string(waiting.pid()) + "/environ").c_str(), &environment) == 0;
      },
      ms(5000)))
      << arguments;
  EXPECT_EQ(environment.st_uid, 0u) << "comm-dir can be dumped";
  // No daemon at all: one line, at once, and the status of a server that is down.
  const std::string empty = make_private_folder("comm-dir-nodaemon");
  const CommandResult alone = run_command({COMMDIR_TOOL_BIN, "search", "-b", kRoot}, "", {{"COMM_DIR_IPC_DIR", empty}});
  rmdir(empty.c_str());
  EXPECT_EQ(alone.exit_code, 255);
  EXPECT_EQ(alone.out, "");
  EXPECT_EQ(alone.err.rfind("comm-dir: the directory service is not running", 0), 0u) << alone.err;
  EXPECT_EQ(std::count(alone.err.begin(), alone.err.end(), '\n'), 1) << alone.err;
}

// Processes that use the library at once in one folder, each serving
// endpoints of its own whatever its name: each prints what ldapsearch (or
// the example's list) prints. A socket that is not the library's keeps its
// name and gets nothing; files left by a crash are taken over; once they
// end, by exit or by a signal, the folder holds what it held before. Where
// every name is held, comm-dir says by what.
TEST_F(ToolTest, AnyNumberOfProcessesAtOnceAndNoFileLeftBehind) {
  start_slapd(false);
  ASSERT_EQ(start_daemon({}), "");
  const std::string names = make_private_folder("comm-dir-names");  // programs that run under these names
  for (const char* name : {"phonebook-ui", "phonebook-sync"}) symlink(COMMDIR_TOOL_BIN, (names + "/" + name).c_str());
  const std::vector<std::string> search = {"search", "-x", "-H", slapd->uri, "-b", kPeople, "(sn=L*)", "cn"};
  std::vector<std::string> ldapsearch = search;
  ldapsearch[0] = "-LLL", ldapsearch.insert(ldapsearch.begin(), "ldapsearch");
  const std::string found = run_command(ldapsearch).out, people = beside("../shipped/app/expected.txt");
  const auto listing = [&] {
    std::set<std::string> files;
    for (const auto& file : std::filesystem::directory_iterator(dir)) files.insert(file.path().filename());
    return files;
  };
  const std::set<std::string> before = listing();
  const struct {
    std::vector<std::string> programs;  // started at once
    std::vector<std::string> held;      // endpoint files first: a live socket, or (~) one whose process died
  } rows[] = {
      {std::vector<std::string>(16, COMMDIR_TOOL_BIN), {}},
      {{COMMDIR_EXAMPLE_BIN, COMMDIR_EXAMPLE_BIN}, {}},
      {{names + "/phonebook-ui", names + "/phonebook-sync"}, {}},
      {{COMMDIR_TOOL_BIN}, {"DIR_CS_comm-di", "DIR_SVR_comm-"}},
      {{COMMDIR_TOOL_BIN, COMMDIR_TOOL_BIN}, {"~DIR_CS_comm-di", "~DIR_SVR_comm-"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.programs.front() + " x" + std::to_string(row.programs.size()));
    const bool example = row.programs.front() == COMMDIR_EXAMPLE_BIN;
    std::vector<std::unique_ptr<Endpoint>> held;
    std::set<std::string> stays = before;
    for (const std::string& file : row.held) {
      held.push_back(std::make_unique<Endpoint>(dir, file.substr(file[0] == '~')));
      if (file[0] == '~') close(held.back()->fd), held.back()->fd = -1;  // its file stays
      if (file[0] != '~') stays.insert(file);
    }
    std::vector<std::future<CommandResult>> runs;
    for (const std::string& program : row.programs) {
      std::vector<std::string> argv = example ? std::vector<std::string>{slapd->uri, kPeople} : search;
      argv.insert(argv.begin(), program);
      runs.push_back(std::async(std::launch::async, [argv] { return run_command(argv); }));
    }
    for (auto& run : runs) {
      const CommandResult result = run.get();
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(result.out, example ? people : found) << result.err;
    }
    EXPECT_EQ(listing(), stays);
    for (const auto& socket : held) EXPECT_TRUE(socket->fd < 0 || socket->quiet(ms(0)));
  }
  // Ended by a signal while it waits for an answer.
  Listener silent;
  ChildProcess waiting({COMMDIR_TOOL_BIN, "search", "-H", silent.uri(), "-o", "nettimeout=20", "-b", kRoot}, {}, "");
  pollfd asked{silent.fd(), POLLIN, 0};  // the daemon connects for it: comm-dir waits in its call
  EXPECT_EQ(poll(&asked, 1, 10000), 1);
  EXPECT_EQ(listing().size(), before.size() + 2);
  EXPECT_EQ(waiting.stop(), SIGTERM);  // the wait status of an end by that signal
  EXPECT_EQ(listing(), before);
  // Every name that it could serve under held, by files that are no sockets: it says by what, and ends.
  const std::string counter = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::vector<std::string> files = {dir + "/DIR_SVR_comm-"};
  for (char a : counter)
    for (char b : counter) files.push_back(dir + "/DIR_SVR_com" + a + b);
  for (const std::string& file : files) std::ofstream{file};
  std::vector<std::string> argv = search;
  argv.insert(argv.begin(), COMMDIR_TOOL_BIN);
  const CommandResult refused = run_command(argv);
  EXPECT_EQ(refused.exit_code, 255);
  EXPECT_EQ(refused.err, "comm-dir: cannot serve utcp:DIR_SVR_comm-: " + files[0] + " is a file of uid " +
                             std::to_string(geteuid()) + " that is not a socket; remove it\n");
  for (const std::string& file : files) unlink(file.c_str());
  EXPECT_EQ(listing(), before);
  std::filesystem::remove_all(names);
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
                         [](const std::string& folder) { ASSERT_EQ(chmod(folder.c_str(), 01777), 0); }),
            "");
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
  const auto status = [&](uid_t user, bool json) {  // comm-dir status as `user`
    std::vector<std::string> argv = {"setpriv",
                                     "--reuid=" + std::to_string(user),
                                     "--regid=" + std::to_string(user),
                                     "--clear-groups",
                                     COMMDIR_TOOL_BIN,
                                     "status"};
    if (json) argv.push_back("--json");
    return run_command(argv);
  };
  const std::string deaf_pid = std::to_string(deaf.pid), failed_over_pid = std::to_string(failed_over.pid);
  const std::string both_open = "\"by_uid\":{\"64891\":2,\"64892\":1}", kept = "\"64892\":{\"replies\":";
  const std::string waits = "\"by_uid\":{\"64891\":{\"first answer\":1}}";
  EXPECT_TRUE(eventually(
      [&] {
        const std::string seen = status(0, true).out;
        return seen.find(both_open) != std::string::npos && seen.find(kept) != std::string::npos &&
               seen.find(waits) != std::string::npos;
      },
      ms(20000)));
  const struct {
    uid_t viewer;
    bool json;
    std::vector<std::string> shown;  // in the output; for a refusal, in the message
    std::vector<std::string> hidden;
    int status;
  } rows[] = {
      {0,
       true,
       {"\"everything\":true", both_open, "\"waiting\":{\"all\":1," + waits,
        "\"uid\":64891,\"uris\":\"" + list + "\",\"in_use\":\"" + uri + "\"",
        "\"last_failure\":{\"uri\":\"" + std::string(kDownUri) + "\",\"code\":\"0x34092001\"", kept,
        "\"counters\":{\"served\":", "\"uid\":64892,\"pid\":" + deaf_pid + ",\"endpoint\":\"utcp:DIR_CS_deaf\"}"},
       {},
       0},
      {0,
       false,
       {"view: everything", "by uid: 64891: 2, 64892: 1", "application: 1; by uid: 64891: 1 on first answer",
        "in use: \"" + uri + "\"", "failback: ", "; by uid: 64892: ", "requests: "},
       {},
       0},
      {kFailedOver,
       true,
       {"\"everything\":false", "\"by_uid\":{\"64891\":2}", "\"waiting\":{" + waits, "\"in_use\":\"" + uri + "\"",
        "\"uid\":64891,\"pid\":" + failed_over_pid + ",\"endpoint\":\"utcp:DIR_CS_u"},
       {"64892", "\"counters\"", "\"open\"", "\"kept\":{\"replies\"", "\"waiting\":{\"all\"", "DIR_CS_deaf"},
       0},
      {kDeaf,
       false,
       {"view: what is uid 64892's", "operations open: by uid: 64892: 1",
        ": uid 64892, pid " + deaf_pid +
            ", endpoint \"utcp:DIR_CS_deaf\"\nwaiting on the network or an application: by uid: none\nkept replies: by "
            "uid: 64892: "},
       {"64891", kDownUri, "requests: ", " of 1024", "notices; by uid"},
       0},
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

// The daemon as its packaged unit runs it: as its own user, in a private
// folder of that user. Root, naming that user as its directory service, gets
// the replies and callbacks of comm-dir there (the daemon's user uses its own
// folder as any user does). A reply server that the daemon's user may not
// write to gets nothing, and the trace says so.
TEST_F(ToolTest, RootUsesThePrivateFolderOfTheDaemonsUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the daemon as another user";
  start_slapd(false);
  ASSERT_EQ(start_daemon({}, {}, [](const std::string& folder) { ASSERT_EQ(chown(folder.c_str(), 64894, 64894), 0); },
                         {"setpriv", "--reuid=64894", "--regid=64894", "--clear-groups"}),
            "");
  // Its reply comes to comm-dir's reply server, its result to its callback endpoint.
  const CommandResult checked = run_command({COMMDIR_TOOL_BIN, "check", "-H", slapd->uri, "--callback"}, "",
                                            {{"COMM_DIR_SERVICE_USER", "64894"}});
  EXPECT_TRUE(checked.exit_code == 0 && checked.out.find("\ncallback: success (0)\n") != std::string::npos)
      << checked.out << checked.err;
  Endpoint shut(dir, "DIR_CS_shut");
  ASSERT_EQ(chmod(shut.path.c_str(), 0600), 0);
  const auto start = connecting<COMM_DIR_START_OPERATION_REQUEST>(connect_to(slapd->uri));
  ASSERT_TRUE(send(request(COMM_DIR_FUNC_START_OPERATION, 9, start, "utcp:DIR_CS_shut")));
  const std::string refusal =
      "not sending to utcp:DIR_CS_shut of uid 0: its socket file does not let the daemon's user";
  EXPECT_TRUE(eventually([&] { return log().find(refusal) != std::string::npos; })) << log();
}

}  // namespace
}  // namespace commdir_testing
