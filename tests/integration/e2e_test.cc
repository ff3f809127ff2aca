// Through the public facade, the daemon and slapd: walks return what
// ldapsearch returns, over TLS only with the server's authority; each failure
// of a server or of the network gives its own code within the deadline that
// applies, also to connection tests and their callbacks; a server that goes
// and comes back fails over and back; and threads walk at once.
#include <sys/resource.h>
#include <sys/select.h>

#include "integration/fault_proxy.h"
#include "integration/harness.h"

namespace commdir_testing {
namespace {

const RETCODE kServerDown = comm_dir_code_from_ldap(-1);
const RETCODE kEnd = COMM_DIR_SVC_NO_MORE_ENTRIES;

long since_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<ms>(Clock::now() - start).count());
}

class EndToEnd : public IntegrationTest {};

enum class Server { kLdap, kLdaps, kLdapsOnLdapPort, kDown, kSilent };
enum class Authority { kNone, kFixtures, kForeign, kMissing };

// The library and the daemon with more than FD_SETSIZE descriptors open: a
// wait built on select() would break. They are opened before slapd and the
// daemon start, and the daemon inherits them.
TEST_F(EndToEnd, WalksAndConnectionTestsFindWhatLdapsearchFinds) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  while (open("/dev/null", O_RDONLY) < FD_SETSIZE + 100) {
  }
  start_slapd();
  // The daemon's own authority is the fixture's: records that name none are checked against it.
  ASSERT_EQ(start_daemon({"-d", "--ca-file=" + slapd->ca()}), "");
  struct Row {
    const char* what;
    RETCODE code;  // where the walk ends: kEnd, or start_operation's failure
    Server server;
    UINT security = COMM_DIR_SECURITY_NONE;
    Authority authority = Authority::kNone;
    UINT verify = COMM_DIR_TLS_VERIFY_DEMAND;
    const char* password = kReaderPassword;
  };
  const UINT kStartTls = COMM_DIR_SECURITY_STARTTLS, kLdaps = COMM_DIR_SECURITY_LDAPS;
  const UINT kNever = COMM_DIR_TLS_VERIFY_NEVER, kAllow = COMM_DIR_TLS_VERIFY_ALLOW, kTry = COMM_DIR_TLS_VERIFY_TRY;
  const RETCODE kUntrusted = COMM_DIR_SVC_TLS_CERT_UNTRUSTED;
  using S = Server;
  using A = Authority;
  // What the walks find, and their values up to and beyond what one reply
  // carries, are compared with ldapsearch's by the tool's test.
  const Row rows[] = {
      {"plain", kEnd, S::kLdap},
      {"wrong password", comm_dir_code_from_ldap(49), S::kLdap, 0, A::kNone, 0, "wrong"},
      {"server down", kServerDown, S::kDown},
      {"server never answers", COMM_DIR_SVC_BIND_TIMEOUT, S::kSilent},
      {"StartTLS, record's authority", kEnd, S::kLdap, kStartTls, A::kFixtures},
      {"LDAPS, record's authority", kEnd, S::kLdaps, kLdaps, A::kFixtures},
      {"StartTLS, daemon's authority", kEnd, S::kLdap, kStartTls},
      {"LDAPS, daemon's authority", kEnd, S::kLdaps, kLdaps},
      {"StartTLS, foreign authority", kUntrusted, S::kLdap, kStartTls, A::kForeign},
      {"LDAPS, foreign authority", kUntrusted, S::kLdaps, kLdaps, A::kForeign},
      {"LDAPS, foreign authority, check off", kEnd, S::kLdaps, kLdaps, A::kForeign, kNever},
      {"LDAPS, foreign authority, allowed", kEnd, S::kLdaps, kLdaps, A::kForeign, kAllow},
      {"StartTLS, foreign authority, tried", kUntrusted, S::kLdap, kStartTls, A::kForeign, kTry},
      {"LDAPS, a port without TLS", COMM_DIR_SVC_TLS_FAILED, S::kLdapsOnLdapPort, kLdaps, A::kFixtures},
      {"StartTLS, no such authority file", COMM_DIR_SVC_TLS_CA_FILE, S::kLdap, kStartTls, A::kMissing},
  };
  const Search people{kPeople, "(objectClass=inetOrgPerson)", "cn mail jpegPhoto"};
  const std::vector<Entry> expected = slapd->search(people);
  ASSERT_FALSE(expected.empty());
  Listener silent;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string uris[] = {slapd->uri, slapd->ldaps_uri, "ldaps" + slapd->uri.substr(4), kDownUri, silent.uri()};
    const std::string authorities[] = {"", slapd->ca(), slapd->foreign_ca(), slapd->dir + "/tls/no-such.pem"};
    const COMM_DIR_BIND_INFO bind = bind_as(kReaderDn, row.password);
    COMM_DIR_TEST_CONNECTION_INFO test = connecting(
        connect_to(uris[static_cast<int>(row.server)], row.security, authorities[static_cast<int>(row.authority)],
                   row.verify, row.server == Server::kSilent ? 500 : 5000),
        &bind);
    const Walk walked = walk(test.connect, &test.bind, people);
    EXPECT_EQ(walked.result, row.code) << std::hex << walked.result;
    EXPECT_EQ(walked.failed_call, row.code == kEnd ? "entries" : "start_operation");
    EXPECT_TRUE(row.code != kEnd || walked.entries == expected) << walked.entries.size() << " entries";

    // The same as a connection test, which tells a refused certificate from
    // a server that is down; a missing authority file is found before any
    // server is tried.
    const RETCODE code = row.code == kEnd ? 0 : row.code;
    EXPECT_EQ(facade()->check_connection(COMM_DIR_TEST_MODE_SYNC, test), code) << test.diagnostic;
    EXPECT_EQ(test.result, code);
    EXPECT_EQ(test.reachable, code != kServerDown && code != COMM_DIR_SVC_TLS_CA_FILE);
    EXPECT_EQ(test.bind_accepted, code == 0);
    int ldap_code = 0;
    EXPECT_TRUE((code != 0 && !comm_dir_ldap_code_of(code, &ldap_code)) || test.ldap_result == ldap_code);
    const std::string diagnostic = test.diagnostic;
    EXPECT_TRUE(code != kUntrusted || (diagnostic.find("not trusted") != std::string::npos &&
                                       diagnostic.find("foreign-ca.pem") != std::string::npos))
        << diagnostic;
  }
  // The daemon's trace of every request (-d) names no password.
  for (const char* password : {kReaderPassword, "wrong"}) EXPECT_EQ(log().find(password), std::string::npos);
}

// The faults of an LDAP server and the network, one table of each wait
// (connect, TLS handshake, StartTLS, bind, the first answer, the next entry)
// and each fault (never answers, resets, closes). A server that resets or
// closes during StartTLS, the bind or an anonymous operation's first search
// is failed over to the next URI, never once entries came. The daemon cuts
// what a record asks for to its maxima, and its one worker serves others
// while a call waits.
TEST_F(EndToEnd, EachFaultGivesItsCodeWithinItsDeadline) {
  start_slapd();
  // libldap leaks the notice of disconnection that a row sends; a daemon
  // built with the leak checker is told so, with whole allocation stacks,
  // so that only that leak matches.
  const char* asan = std::getenv("ASAN_OPTIONS");
  ASSERT_EQ(start_daemon({"-d", "--max-network-timeout=400", "--max-search-time=1", "--workers=1"},
                         {{"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":fast_unwind_on_malloc=0"},
                          {"LSAN_OPTIONS", "suppressions=" COMMDIR_LSAN_LIBLDAP}}),
            "");
  enum Where { kProxy, kDown, kDropped, kSilent, kSilentLdaps, kProxyLdaps };
  struct Row {
    const char* what;
    Where where;
    FaultPlan plan;
    long time_limit_ms;  // of the search; 0: none
    const char* failed_call;
    RETCODE code;
    long deadline_ms;  // the bound that should fire; 0: at once
    UINT security = COMM_DIR_SECURITY_NONE;
    UINT network_timeout_ms = 400;
    bool backup = false;  // a healthy URI follows in the record's list
    bool anonymous = false;
  };
  const char kStart[] = "start_operation";
  const RETCODE kBindTimeout = COMM_DIR_SVC_BIND_TIMEOUT, kResultTimeout = COMM_DIR_SVC_RESULT_TIMEOUT;
  const RETCODE kTlsTimeout = COMM_DIR_SVC_TLS_TIMEOUT, kSearchTimeout = COMM_DIR_SVC_SEARCH_TIMEOUT;
  const UINT kStartTls = COMM_DIR_SECURITY_STARTTLS, kLdaps = COMM_DIR_SECURITY_LDAPS;
  const long kMonthMs = 30L * 24 * 3600 * 1000;
  const Row rows[] = {
      {"server down", kDown, {}, 0, kStart, kServerDown, 0},
      {"connection attempts dropped", kDropped, {}, 0, kStart, COMM_DIR_SVC_CONNECT_TIMEOUT, 400},
      {"accepts, never answers", kSilent, {}, 0, kStart, kBindTimeout, 400},
      {"a record asking for a network timeout of 49 days", kSilent, {}, 0, kStart, kBindTimeout, 400, 0, 0xFFFFFFFFu},
      {"ldaps handshake never answered", kSilentLdaps, {}, 0, kStart, kTlsTimeout, 400, kLdaps},
      {"ldaps handshake reset, failed over", kProxyLdaps, {Fault::kReset, 0}, 0, "entries", kEnd, 0, kLdaps, 400, true},
      {"ldaps handshake closed", kProxyLdaps, {Fault::kClose, 0}, 0, kStart, COMM_DIR_SVC_TLS_FAILED, 0, kLdaps},
      {"StartTLS handshake never answered", kProxy, {Fault::kStall, 1}, 0, kStart, kTlsTimeout, 400, kStartTls},
      {"StartTLS reset, failed over", kProxy, {Fault::kReset, 0}, 0, "entries", kEnd, 0, kStartTls, 400, true},
      {"StartTLS handshake closed, failover", kProxy, {Fault::kClose, 1}, 0, "entries", kEnd, 0, kStartTls, 400, true},
      {"bind answered too late", kProxy, {Fault::kDelay, 0, 1200}, 0, kStart, kBindTimeout, 400},
      {"bind reset, failed over", kProxy, {Fault::kReset, 0}, 0, "entries", kEnd, 0, 0, 400, true},
      {"bind closed", kProxy, {Fault::kClose, 0}, 0, kStart, kServerDown, 0},
      {"search never answered", kProxy, {Fault::kStall, 1}, 0, "search", kResultTimeout, 400},
      {"first search reset, failed over", kProxy, {Fault::kReset, 0}, 0, "entries", kEnd, 0, 0, 400, true, true},
      {"first search closed", kProxy, {Fault::kClose, 0}, 0, "search", kServerDown, 0, 0, 400, false, true},
      {"search stalls mid-result", kProxy, {Fault::kStall, 11}, 0, "entries", kResultTimeout, 400},
      {"search with a time limit stalls mid-result", kProxy, {Fault::kStall, 11}, 600, "entries", kSearchTimeout, 1000},
      {"a time limit of a month, never answered", kProxy, {Fault::kStall, 1}, kMonthMs, "search", kSearchTimeout, 1400},
      // Entries came: no failover, for none may come twice.
      {"reset mid-result", kProxy, {Fault::kReset, 11}, 0, "entries", kServerDown, 0, 0, 400, true, true},
      {"closed mid-result", kProxy, {Fault::kClose, 11}, 0, "entries", kServerDown, 0},
      {"disconnection notice mid-result", kProxy, {Fault::kNotice, 11}, 0, "entries", comm_dir_code_from_ldap(52), 0},
      // Refused as it is announced, before anything is allocated or awaited.
      {"an entry of 256 MiB mid-result", kProxy, {Fault::kHuge, 11}, 0, "entries", kServerDown, 0},
      {"replies late, within the deadline", kProxy, {Fault::kDelay, 0, 200}, 0, "entries", kEnd, 0},
  };
  const Search people{kPeople, "(objectClass=inetOrgPerson)", "cn mail"};
  const std::size_t all_entries = slapd->search(people).size();
  ASSERT_GT(all_entries, 20u);
  const int ldaps_port = std::atoi(slapd->ldaps_uri.c_str() + slapd->ldaps_uri.rfind(':') + 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FaultProxy proxy(row.where == kProxyLdaps ? ldaps_port : slapd->port(), row.plan);
    Listener dropped(true), silent;
    const std::string uris[] = {proxy.uri(),         kDownUri,          dropped.uri(), silent.uri(),
                                silent.uri("ldaps"), proxy.uri("ldaps")};
    const std::string backup = row.security == kLdaps ? slapd->ldaps_uri : slapd->uri;
    const COMM_DIR_CONNECT_INFO connect = connect_to(uris[row.where] + (row.backup ? " " + backup : ""), row.security,
                                                     "", COMM_DIR_TLS_VERIFY_NEVER, row.network_timeout_ms);
    std::string call;
    UINT operation = 0;
    std::size_t entries = 0;
    RETCODE code = 0;
    long elapsed = 0;
    Clock::time_point ended;
    const auto timed = [&](const char* name, const std::function<RETCODE()>& run) {
      const auto start = Clock::now();
      call = name;
      code = run();
      elapsed = since_ms(start);
      ended = Clock::now();
    };
    timeval limit{row.time_limit_ms / 1000, row.time_limit_ms % 1000 * 1000};
    const auto search = [&] { return facade()->search(condition(people, operation), 0, limit); };
    std::thread faulty([&] {
      timed(kStart, [&] { return facade()->start_operation(connect, row.anonymous ? nullptr : &kReader, &operation); });
      if (code == 0) timed("search", search);
      if (code == 0) timed("entries", [&] { return facade()->get_first_entry(operation); });
      while (code == 0) {
        timed("entries", [&] { return facade()->get_next_entry(operation); });  // sets code
        ++entries;
      }
    });
    // While a call waits, the daemon's one worker serves another.
    std::this_thread::sleep_for(ms(100));
    COMM_DIR_TEST_CONNECTION_INFO healthy = connecting(connect_to(slapd->uri));
    EXPECT_EQ(facade()->check_connection(COMM_DIR_TEST_MODE_SYNC, healthy), 0);
    const auto answered = Clock::now();
    faulty.join();
    EXPECT_TRUE(row.deadline_ms == 0 || answered < ended) << "the worker waited with the call";
    EXPECT_EQ(code, row.code) << std::hex << code << " from " << call;
    EXPECT_EQ(call, row.failed_call);
    // What a loaded machine or a sanitizer may add to a deadline; a call
    // that is to fail at once comes back within it too.
    EXPECT_GE(elapsed, row.deadline_ms * 9 / 10);
    EXPECT_LE(elapsed, row.deadline_ms + 1200);
    EXPECT_TRUE(call != "entries" || (entries == all_entries) == (code == kEnd)) << entries << " entries";
    if (row.plan.fault >= Fault::kReset && call != kStart && code != kEnd) {  // the connection stays lost
      EXPECT_EQ(search(), COMM_DIR_SVC_CONNECTION_LOST);
    }
    if (call != kStart) {
      EXPECT_EQ(facade()->end_operation(operation), 0);
    }
  }
}

// A server that goes away under running operations and comes back: the calls
// of the operations it served fail with their codes at once, new ones
// succeed once it is back. A list of two URIs is served by the second
// meanwhile, and by the first again once it answers and --failback-after has
// passed.
TEST_F(EndToEnd, ServersGoAndComeBack) {
  start_slapd(false);
  ASSERT_EQ(start_daemon({"-d", "--failback-after=2"}), "");
  FaultProxy proxy(slapd->port());
  const Search people{kPeople, "(objectClass=inetOrgPerson)", "cn"};
  const COMM_DIR_CONNECT_INFO through = connect_to(proxy.uri(), COMM_DIR_SECURITY_NONE, "", 0, 400);
  const std::string list = proxy.uri() + " " + slapd->uri;
  const auto served_by_first = [&] {  // of the list: the proxy relays then
    const int before = proxy.relayed();
    EXPECT_EQ(walk(connect_to(list), &kReader, people).result, kEnd);
    return proxy.relayed() > before;
  };
  UINT walking = 0, idle = 0, fresh = 0;
  ASSERT_EQ(facade()->start_operation(through, &kReader, &walking), 0);
  ASSERT_EQ(facade()->start_operation(through, &kReader, &idle), 0);
  timeval none{0, 0};
  ASSERT_EQ(facade()->search(condition(people, walking), 0, none), 0);
  ASSERT_EQ(facade()->get_first_entry(walking), 0);
  EXPECT_TRUE(served_by_first());
  const auto search_of = [&](const UINT& operation) {
    return [&] { return facade()->search(condition(people, operation), 0, none); };
  };
  const auto start_fresh = [&] { return facade()->start_operation(through, &kReader, &fresh); };
  const RETCODE kLost = COMM_DIR_SVC_CONNECTION_LOST;
  using Calls = std::vector<std::pair<std::function<RETCODE()>, RETCODE>>;  // each to fail or succeed at once
  const Calls while_down = {{search_of(walking), kServerDown},
                            {search_of(walking), kLost},
                            {search_of(idle), kServerDown},
                            {start_fresh, kServerDown}};
  const Calls once_back = {
      {search_of(walking), kLost}, {search_of(idle), kLost}, {start_fresh, 0}, {search_of(fresh), 0}};
  const auto expect_calls = [](const Calls& calls) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      SCOPED_TRACE(i);
      const auto start = Clock::now();
      EXPECT_EQ(calls[i].first(), calls[i].second);
      EXPECT_LE(since_ms(start), 1600);
    }
  };
  proxy.set_down(true);
  expect_calls(while_down);
  // The connection test that fails over succeeds, and says why.
  COMM_DIR_TEST_CONNECTION_INFO test = connecting(connect_to(list));
  EXPECT_EQ(facade()->check_connection(COMM_DIR_TEST_MODE_SYNC, test), 0) << test.diagnostic;
  EXPECT_NE(std::string(test.diagnostic).find("failed over to " + slapd->uri), std::string::npos) << test.diagnostic;
  EXPECT_FALSE(served_by_first());
  EXPECT_FALSE(served_by_first());
  proxy.set_down(false);
  expect_calls(once_back);
  std::size_t entries = 0;
  for (RETCODE rc = facade()->get_first_entry(fresh); rc == 0; rc = facade()->get_next_entry(fresh)) ++entries;
  EXPECT_EQ(entries, slapd->search(people).size());
  for (UINT operation : {walking, idle, fresh}) EXPECT_EQ(facade()->end_operation(operation), 0);
  EXPECT_TRUE(eventually(served_by_first, ms(3500))) << "not back on the first URI after the failback window";
}

TEST_F(EndToEnd, SixteenThreadsWalkTheirOwnOperationsExactly) {
  start_slapd(false);
  ASSERT_EQ(start_daemon({}), "");
  const Search everything{kRoot};
  const std::vector<Entry> expected = slapd->search(everything);
  ASSERT_FALSE(expected.empty());
  std::vector<Walk> walks(16);
  std::vector<std::thread> threads;
  for (Walk& walked : walks) threads.emplace_back([&] { walked = walk(connect_to(slapd->uri), &kReader, everything); });
  for (std::thread& thread : threads) thread.join();
  for (const Walk& walked : walks) {
    EXPECT_EQ(walked.result, kEnd) << walked.failed_call;
    EXPECT_EQ(walked.ended, 0);
    EXPECT_TRUE(walked.entries == expected) << walked.entries.size() << " entries";
  }
}

}  // namespace
}  // namespace commdir_testing
