// Applications of several local users against one daemon in a folder that
// they share, each a child that becomes its user: each is served with its
// own operations, share, failover memory and the authority files that the
// daemon allows every user, its operations reclaimed when it ends; a user
// the daemon does not serve is refused at once; and a hostile user, wherever
// it waits for another's requests, replies or callbacks, gets nothing of
// them, the password least of all.
#include <limits>
#include <set>

#include "integration/harness.h"

namespace commdir_testing {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep what is freed for a while, and shadow what is held
#else
constexpr bool kSanitized = false;
#endif

constexpr uid_t kNobody = 65534;                                       // allowed by its group, nogroup
constexpr uid_t kVictim = 64881, kHostile = 64882, kStranger = 64883;  // no other test uses them
const Search kPeopleSearch{kPeople, "(objectClass=inetOrgPerson)", "cn mail"};

std::string hex(RETCODE code) {
  char text[16];
  return std::string(text, std::snprintf(text, sizeof text, "0x%x", static_cast<UINT>(code)));
}

void share(const std::string& folder) { ASSERT_EQ(chmod(folder.c_str(), 01777), 0); }

long rss_kib(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  return std::atol(status.c_str() + status.find("VmRSS:") + 6);
}

// A walk that equals ldapsearch's, as the child reports it.
std::string exact_walk(const COMM_DIR_CONNECT_INFO& connect, const std::vector<Entry>& expected) {
  const Walk walked = walk(connect, &kReader, kPeopleSearch);
  return walked.result == COMM_DIR_SVC_NO_MORE_ENTRIES && walked.entries == expected ? "exact" : hex(walked.result);
}

// Now on the steady clock, which all processes share.
long long now_ns() { return Clock::now().time_since_epoch().count(); }

class Users : public IntegrationTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    start_slapd();
    expected = slapd->search(kPeopleSearch);
  }
  // What `act` returns in a child as `uid`, which lives on until the end.
  std::string as(uid_t uid, const std::function<std::string()>& act) { return users.emplace_back(uid, act).result(); }

  std::vector<Entry> expected;
  std::deque<AsUser> users;
};

// A connection test's outcome as the application sees it.
std::string outcome_of(const COMM_DIR_CONNECT_INFO& connect) {
  COMM_DIR_TEST_CONNECTION_INFO test = connecting(connect);
  const RETCODE code = facade()->check_connection(COMM_DIR_TEST_MODE_SYNC, test);
  return hex(code) + " reachable " + std::to_string(test.reachable) + ": " + test.diagnostic;
}

TEST_F(Users, EachIsServedWithItsOwnOperationsShareAndFiles) {
  // The fixture's authority in an allowed folder, outside it, and in a
  // folder beside it whose name begins with the allowed one's; links out of
  // the allowed folder and into it.
  const std::string cas = make_private_folder("commdir-ca"), allowed = cas + "/allowed", beside = allowed + "x";
  for (const std::string& folder : {allowed, beside}) ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  for (const std::string& copy : {allowed + "/ca.pem", beside + "/ca.pem", cas + "/outside.pem"}) {
    std::filesystem::copy_file(slapd->ca(), copy);
  }
  ASSERT_EQ(symlink((cas + "/outside.pem").c_str(), (allowed + "/link.pem").c_str()), 0);
  ASSERT_EQ(symlink((allowed + "/ca.pem").c_str(), (cas + "/in.pem").c_str()), 0);
  ASSERT_EQ(start_daemon({"-d", "--allow-uid=64881", "--allow-group=65534", "--max-operations-per-user=2",
                          "--ca-dir=" + allowed, "--reclaim-interval=500"},
                         {}, share),
            "");
  const std::string uri = slapd->uri, failing_over = std::string(kDownUri) + " " + uri;
  const auto failover_twice = [&] {
    std::string said;
    for (int i = 0; i < 2; ++i)
      said +=
          outcome_of(connect_to(failing_over)).find("failed over to " + uri) != std::string::npos ? "over " : "not ";
    return said;
  };
  const auto open_operations = [&](int count, UINT* first = nullptr) {
    std::string codes;
    for (UINT operation = 0; count-- > 0; first = nullptr) {
      codes += hex(facade()->start_operation(connect_to(uri), nullptr, &operation)) + " ";
      if (first != nullptr) *first = operation;
    }
    return codes;
  };

  // Root holds two operations, and its list has failed over: its second
  // test goes to the URI that answered.
  const std::string held = as(0, [&] {
    UINT first = 0;
    const std::string said = open_operations(2, &first) + failover_twice();
    return said + std::to_string(first);
  });
  EXPECT_EQ(held.substr(0, 17), "0x0 0x0 over not ");
  EXPECT_EQ(connections_to(slapd->port()), 2);

  // The operation of a process that ends is reclaimed with its connection,
  // also when the process's name holds blanks and parentheses (as
  // /proc/PID/stat shows it); those of live processes stay.
  AsUser ending(kVictim, [&] {
    prctl(PR_SET_NAME, "reclaim) 7 (x");
    UINT operation = 0;
    timeval none{0, 0};
    const bool walking = facade()->start_operation(connect_to(uri), nullptr, &operation) == 0 &&
                         facade()->search(condition(kPeopleSearch, operation), 0, none) == 0 &&
                         facade()->get_first_entry(operation) == 0;
    return walking ? hex(static_cast<RETCODE>(operation)) : "";
  });
  const std::string operation = ending.result();
  ASSERT_NE(operation, "");
  EXPECT_EQ(connections_to(slapd->port()), 3);
  const std::string line =
      "operation " + operation + " of pid " + std::to_string(ending.pid) + ", which has ended: ended";
  ending.kill();
  EXPECT_TRUE(eventually([&] { return connections_to(slapd->port()) == 2 && log().find(line) != std::string::npos; }))
      << line;

  // nobody, allowed by its group, is served; a user that the daemon does
  // not serve is refused at once, before any connection.
  EXPECT_EQ(as(kNobody, [&] { return exact_walk(connect_to(slapd->uri), expected); }), "exact");
  EXPECT_EQ(as(kStranger,
               [&] {
                 const auto start = Clock::now();
                 const std::string said = open_operations(1);
                 return said + (Clock::now() - start < std::chrono::seconds(2) ? " at once" : " late");
               }),
            hex(COMM_DIR_SVC_NOT_ALLOWED) + "  at once");
  EXPECT_EQ(connections_to(slapd->port()), 2);
  EXPECT_NE(log().find("(not an allowed user)"), std::string::npos);

  // Root's operation is unknown to nobody, asked over the wire (its facade
  // would refuse an id it never got).
  EXPECT_EQ(as(kNobody,
               [&] {
                 Endpoint own(dir, "DIR_CS_intru");
                 COMM_DIR_OPERATION_REQUEST record{};
                 record.operation_id = static_cast<UINT>(std::stoul(held.substr(17)));
                 send(request(COMM_DIR_FUNC_GET_FIRST_ENTRY, 1, record, "utcp:DIR_CS_intru"));
                 return hex(own.wait(1).result());
               }),
            hex(COMM_DIR_SVC_UNKNOWN_OPERATION));

  // nobody names only the authority files that the daemon allows every
  // user: one anywhere else is refused alike whether it is there or not.
  // Refused: a file outside the allowed folders, no such file outside them,
  // ../ out of an allowed folder, a link out of it, a link into it, ../ out
  // of it to a link back into it, a folder whose name begins with its name.
  const std::string files[] = {cas + "/outside.pem",  cas + "/no-such.pem", allowed + "/../outside.pem",
                               allowed + "/link.pem", cas + "/in.pem",      allowed + "/../in.pem",
                               beside + "/ca.pem",    allowed + "/ca.pem"};
  const std::string refused = hex(COMM_DIR_SVC_TLS_CA_NOT_ALLOWED) +
                              " reachable 0: " + comm_dir_result_message(COMM_DIR_SVC_TLS_CA_NOT_ALLOWED) + "\n";
  std::string expected_outcomes;
  for (int i = 0; i < 7; ++i) expected_outcomes += refused;
  EXPECT_EQ(as(kNobody,
               [&] {
                 std::string said;
                 for (const std::string& file : files)
                   said += outcome_of(connect_to(uri, COMM_DIR_SECURITY_STARTTLS, file)) + "\n";
                 return said;
               }),
            expected_outcomes + "0x0 reachable 1: success\n");
  // Its own share of operations while root holds two, and its own memory
  // of the list that failed over for root.
  EXPECT_EQ(as(kNobody, [&] { return open_operations(3) + failover_twice(); }),
            "0x0 0x0 " + hex(COMM_DIR_SVC_USER_LIMIT) + " over not ");
  std::filesystem::remove_all(cas);
}

// One user's calls that wait on a host that never answers, or never
// completes the TLS handshake, hold none of the daemon's two workers: the
// walks of another user and of the same user are answered while they wait,
// over ldap:// and ldaps://, and the daemon keeps within 40 threads.
TEST_F(Users, CallsThatWaitOnTheNetworkHoldUpNoOne) {
  ASSERT_EQ(start_daemon({"--workers=2", "--allow-uid=64881", "--allow-group=65534"}, {}, share), "");
  Listener silent;  // accepts, and never answers
  const UINT kLdaps = COMM_DIR_SECURITY_LDAPS, kNever = COMM_DIR_TLS_VERIFY_NEVER;
  const struct {
    const char* what;
    COMM_DIR_CONNECT_INFO stuck, healthy;
  } rows[] = {
      {"searches never answered", connect_to(silent.uri(), 0, "", kNever, 4000), connect_to(slapd->uri)},
      {"TLS handshakes never answered", connect_to(silent.uri("ldaps"), kLdaps, "", kNever, 4000),
       connect_to(slapd->ldaps_uri, kLdaps, "", kNever)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    // 16 calls that wait 4 s, then the user's own walk: when it ended, and
    // when the first of those did.
    AsUser stuck(kVictim, [&] {
      std::atomic<long long> first_end{std::numeric_limits<long long>::max()};
      std::vector<std::thread> waiting;
      for (int i = 0; i < 16; ++i) {
        waiting.emplace_back([&] {
          UINT operation = 0;
          timeval none{0, 0};
          if (facade()->start_operation(row.stuck, nullptr, &operation) == 0)
            facade()->search(condition(kPeopleSearch, operation), 0, none);
          for (long long end = now_ns(), seen = first_end; end < seen && !first_end.compare_exchange_weak(seen, end);) {
          }
        });
      }
      std::this_thread::sleep_for(ms(300));
      const std::string own = exact_walk(row.healthy, expected) + " " + std::to_string(now_ns());
      for (std::thread& thread : waiting) thread.join();
      return own + " " + std::to_string(first_end.load());
    });
    std::this_thread::sleep_for(ms(500));
    const std::string other =
        as(kNobody, [&] { return exact_walk(row.healthy, expected) + " " + std::to_string(now_ns()); });
    const std::string process = read_file("/proc/" + std::to_string(daemon->pid()) + "/status");
    EXPECT_LE(std::stoi(process.substr(process.find("Threads:") + 8)), 40);
    long long own_end = 0, first_end = 0, other_end = 0;
    std::string own_walk, other_walk;
    std::istringstream(stuck.result()) >> own_walk >> own_end >> first_end;
    std::istringstream(other) >> other_walk >> other_end;
    EXPECT_EQ(own_walk + " " + other_walk, "exact exact");
    EXPECT_LT(own_end, first_end) << "the user's own walk waited for its calls that wait";
    EXPECT_LT(other_end, first_end) << "another user's walk waited for them";
  }
}

// A local user who is not the directory service, in every place where it
// could wait for another user's request, reply or callback: it gets
// nothing, the password shows nowhere, and the other user's next call works.
TEST_F(Users, AnotherLocalUserGetsNothingOfAUsersCalls) {
  // A daemon does not start in a shared folder of another user, even if
  // its environment names that user as the directory service's.
  const std::string squatted = start_daemon({}, {{"COMM_DIR_SERVICE_USER", "64882"}}, [](const std::string& folder) {
    ASSERT_EQ(chown(folder.c_str(), kHostile, kHostile), 0);
    share(folder);
  });
  EXPECT_NE(squatted.find(" refused: it belongs to uid 64882"), std::string::npos) << squatted;
  ASSERT_EQ(start_daemon({"-d", "--allow-uid=64881,64882"}, {}, share), "");
  const std::string traces = make_private_folder("commdir-traces");
  share(traces);
  struct Row {
    const char* what;
    uid_t actor;
    bool callback;        // a connection test that calls back, else a start of an operation, sent over the wire
    const char* watched;  // the endpoint in the shared folder that must get nothing
    uid_t watched_owner;
  };
  const Row rows[] = {
      {"a callback name bound by another user", kVictim, true, "DIR_SVR_victi", kHostile},
      {"a reply server name bound by another user", kVictim, false, "DIR_CS_ended", kHostile},
      {"replies aimed at another user's reply server", kHostile, false, "DIR_CS_victim", kVictim},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string server = "utcp:" + std::string(row.watched), trace = traces + "/" + server + ".log";
    const std::string refusal =
        "not sending to " + server + ": it is neither an endpoint of uid " + std::to_string(row.actor);
    auto watched = std::make_unique<Endpoint>(dir, row.watched);
    ASSERT_EQ(chown(watched->path.c_str(), row.watched_owner, row.watched_owner), 0);
    ASSERT_EQ(chmod(watched->path.c_str(), 0666), 0);
    AsUser actor(row.actor, [&] {
      setenv("COMM_DIR_TRACE", trace.c_str(), 1);
      prctl(PR_SET_NAME, "victim");
      COMM_DIR_TEST_CONNECTION_INFO info = connecting(connect_to(slapd->uri), &kReader);
      copy_field(info.callback_server_name, row.watched);  // over the wire: the facade names only its own
      const auto start = connecting<COMM_DIR_START_OPERATION_REQUEST>(info.connect, &kReader);
      return send(row.callback ? request(COMM_DIR_FUNC_CHECK_CONNECTION, 7,
                                         COMM_DIR_CHECK_CONNECTION_REQUEST{{}, COMM_DIR_TEST_MODE_CALLBACK, info})
                               : request(COMM_DIR_FUNC_START_OPERATION, 7, start, server))
                 ? "sent"
                 : "not sent";
    });
    EXPECT_EQ(actor.result(), "sent");
    actor.kill();  // the copy of `watched` that it inherited closes with it
    EXPECT_TRUE(eventually([&] { return log().find(refusal) != std::string::npos; })) << refusal;
    Reply leaked;
    EXPECT_FALSE(watched->receive(&leaked, ms(0))) << "a message of type " << leaked.head.type;
    watched.reset();  // the name is the next victim's reply server's
    AsUser next(kVictim, [&] {
      setenv("COMM_DIR_TRACE", (traces + "/next.log").c_str(), 1);
      prctl(PR_SET_NAME, "victim");
      return exact_walk(connect_to(slapd->uri), expected);
    });
    EXPECT_EQ(next.result(), "exact") << read_file(traces + "/next.log");
  }
  std::string everything = log();
  for (const auto& file : std::filesystem::directory_iterator(traces)) everything += read_file(file.path());
  EXPECT_NE(everything.find("not sending to"), std::string::npos);  // the traces are there to search
  EXPECT_EQ(everything.find(kReaderPassword), std::string::npos);
  std::filesystem::remove_all(traces);
}

// Attacks of a hostile local user on a root daemon that serves it in a
// shared folder, each as that user: each holds.
TEST_F(Users, AHostileUsersAttacksHold) {
  struct Attack {
    const char* what;
    std::vector<std::string> options;  // the daemon's, beside serving both users
    std::function<std::string()> run;  // what the attack got
    std::string held;
  };
  const auto logged = [&](const std::string& text) {
    return eventually([&] { return log().find(text) != std::string::npos; });
  };
  const std::string down = kDownUri, root_only = make_private_folder("commdir-root-only");
  const Attack attacks[] = {
      // Refused before any connection; libldap's own failover behind a comma
      // stays, and a record that asks for LDAPS gets no ldap:// behind one.
      {"an ldapi:// URI of a root-only socket, behind a comma",
       {},
       [&] {
         return as(kHostile, [&] {
           UINT operation = 0;
           const auto start = [&](const COMM_DIR_CONNECT_INFO& connect) {
             return hex(facade()->start_operation(connect, nullptr, &operation)) + " ";
           };
           return start(connect_to(down + ",ldapi://%2Frun%2Fslapd%2Fldapi")) +
                  start(connect_to(down + "," + slapd->uri)) +
                  start(connect_to(slapd->ldaps_uri + "," + slapd->uri, COMM_DIR_SECURITY_LDAPS, slapd->ca()));
         });
       },
       hex(COMM_DIR_SVC_URI_NOT_ALLOWED) + " 0x0 " + hex(COMM_DIR_SVC_BAD_FIELD) + " "},
      {"operations that keep entries of 4 MiB",
       {"--max-held-bytes-per-user=16777216", "--reclaim-interval=500"},
       [&] {
         const std::string big = "cn=big," + std::string(kRoot);
         EXPECT_TRUE(slapd->add("dn: " + big + "\nobjectClass: inetOrgPerson\ncn: big\nsn: B\njpegPhoto: " +
                                std::string(4000000, 'x') + "\n"))
             << slapd->error;
         const long before = rss_kib(daemon->pid());
         AsUser holder(kHostile, [&] {
           std::set<RETCODE> codes;
           for (UINT i = 0, operation, count; i < 40; ++i) {
             COMM_DIR_BERVAL** values = nullptr;
             timeval none{0, 0};
             RETCODE rc = facade()->start_operation(connect_to(slapd->uri), nullptr, &operation);
             if (rc == 0) rc = facade()->search(condition({big, "", "jpegPhoto"}, operation), 0, none);
             if (rc == 0) rc = facade()->get_first_entry(operation);
             codes.insert(
                 rc != 0 ? rc : facade()->get_value_binary(operation, const_cast<CHAR*>("jpegPhoto"), count, values));
           }
           return codes == std::set<RETCODE>{COMM_DIR_SVC_MEMORY_LIMIT, COMM_DIR_SVC_VALUE_TOO_LARGE} ? "some kept"
                                                                                                      : "";
         });
         const std::string said = holder.result(ms(60000));
         const long held = rss_kib(daemon->pid()) - before;
         holder.kill();
         const bool returned = eventually([&] { return rss_kib(daemon->pid()) - before < 8192; });
         std::cerr << "daemon RSS with 40 operations: " << held << " KiB above its start\n";
         return said + (kSanitized || held < 26 * 1024 ? " within" : " beyond") +
                (kSanitized || returned ? " given back" : " kept");
       },
       "some kept within given back"},
      // A reply kept for each of 400 servers that never read (and stays a
      // reply: --reply-wait), and another user's reply queue kept full.
      {"400 reply servers that never read",
       {"--reply-wait=600000"},
       [&] {
         AsUser hostile(kHostile, [&] {
           for (int i = 0; i < 400; ++i) {
             (new Endpoint(dir, "DEAF" + std::to_string(i)))->fill();  // lives as long as the child
             send(request(COMM_DIR_FUNC_GET_FIRST_ENTRY, 1, {}, "utcp:DEAF" + std::to_string(i)));
           }
           std::thread([this] {
             const std::vector<char> junk(sizeof(COMM_DIR_IPC_ENVELOPE_HEAD));
             while (true) send(junk, "DIR_CS_victim") || usleep(1000);
           }).detach();
           return "deaf";
         });
         hostile.result();
         const auto start = Clock::now();
         const std::string walked = AsUser(kVictim, [&] {
                                      setenv("COMM_DIR_TRACE", "off", 1);
                                      prctl(PR_SET_NAME, "victim");
                                      return exact_walk(connect_to(slapd->uri), expected);
                                    }).result(ms(60000));
         std::cerr << "the other user's walk took " << (Clock::now() - start) / ms(1) << " ms\n";
         return walked + (logged("wait for 128 reply servers already") ? " bounded" : "");
       },
       "exact bounded"},
      {"the daemon's names bound while it was down",
       {},
       [&] {
         const auto squat = [&](const std::string& folder) {
           share(folder);
           as(kHostile,
              [&] { return new Endpoint(folder, "COMM_DIR_SRV"), new Endpoint(folder, "COMM_DIR_SRV_CB"), ""; });
         };
         const std::string folder = make_private_folder("commdir-squatted");
         squat(folder);
         const CommandResult as_user =
             run_command({"setpriv", "--reuid=64881", "--regid=64881", "--clear-groups", COMMDIR_SERVICE_BIN}, "",
                         {{"COMM_DIR_IPC_DIR", folder}});
         std::filesystem::remove_all(folder);
         const std::string as_root = start_daemon({"--allow-uid=64881,64882"}, {}, squat);
         return std::to_string(as_user.exit_code) +
                (as_user.err.find("held by uid 64882") != std::string::npos ? " named " : " ") + as_root +
                (logged("was held by a socket of uid 64882") ? "removed " : "") +
                (logged("serving utcp:COMM_DIR_SRV in")
                     ? as(kVictim, [&] { return exact_walk(connect_to(slapd->uri), expected); })
                     : "");
       },
       "1 named removed exact"},
      {"a trace file in a shared folder that another user prepared",
       {},
       [&] {
         const std::string shared = make_private_folder("commdir-traces"), secret = root_only + "/secret";
         share(shared);
         std::ofstream(secret) << "root's\n";
         as(kHostile, [&] {
           const int fd = open((shared + "/planted").c_str(), O_CREAT | O_WRONLY, 0666);
           return fchmod(fd, 0666), symlink(secret.c_str(), (shared + "/link").c_str()), close(fd), "";
         });
         std::string said;
         for (const std::string trace : {"link: it is a symbolic link", "planted: it belongs to uid 64882"}) {
           const std::string file = shared + "/" + trace.substr(0, trace.find(':'));
           said += start_daemon({"-d"}, {{"COMM_DIR_TRACE", file}}, share);
           said += logged("trace file " + file + " refused" + trace.substr(trace.find(':'))) ? "refused " : "taken ";
         }
         said += read_file(secret) + std::to_string(read_file(shared + "/planted").size());
         std::filesystem::remove_all(shared);
         return said;
       },
       "refused refused root's\n0"},
      {"a hard link to the daemon's callback endpoint, named as a reply server",
       {},
       [&] {
         // As where fs.protected_hardlinks is 0 (root makes it here).
         EXPECT_EQ(link((dir + "/COMM_DIR_SRV_CB").c_str(), (dir + "/DIR_CS_link").c_str()), 0);
         as(kHostile,
            [&] { return send(request(COMM_DIR_FUNC_GET_FIRST_ENTRY, 9, {}, "utcp:DIR_CS_link")) ? "" : "?"; });
         return logged("DIR_CS_link refused: it is the socket of a server of this") ? "refused" : "sent";
       },
       "refused"},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.what);
    std::vector<std::string> options = attack.options;
    options.push_back("--allow-uid=64881,64882");
    ASSERT_EQ(start_daemon(options, {}, share), "");
    EXPECT_EQ(attack.run(), attack.held);
  }
  std::filesystem::remove_all(root_only);
}

}  // namespace
}  // namespace commdir_testing
