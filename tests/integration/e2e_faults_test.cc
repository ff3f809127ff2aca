// The LDAP server's faults, through the facade and the daemon: a server that
// is down, one that drops connection attempts, refuses, swallows, never
// finishes a TLS handshake, answers late, or stops, resets, sends a notice
// of disconnection or announces a huge entry in the middle of a search result. Each gives its own code
// within the deadline that applies, and the daemon goes on serving. Then
// slapd stopped and started again under running operations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"
#include "support/fault_proxy.h"

namespace commdir_testing {
namespace {

using velmarosta::comm_dir_code_from_ldap;
using velmarosta::COMM_DIR_CONNECT_INFO;
using Millis = std::chrono::milliseconds;

constexpr UINT kTimeoutMs = 400;      // the connection record's network timeout
constexpr long kTimeLimitMs = 600;    // of the searches that have one
// What a loaded machine (or a sanitizer) may add to a deadline. A call that
// is to fail at once must also come back within it.
constexpr long kMarginMs = 1200;
// Entries of this search are about 100 bytes: a cut after this many bytes
// of the result lets the search and a few entries through.
constexpr std::size_t kCutAfterBytes = 1200;

const SearchSpec kPeople{"ou=people,dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB,
                         "(objectClass=inetOrgPerson)", "cn mail"};

const RETCODE kServerDown = comm_dir_code_from_ldap(-1);
const RETCODE kUnavailable = comm_dir_code_from_ldap(52);  // the notice's result code

enum class Server { kProxy, kDown, kUnanswered };
// When the proxy's fault is set: before the operation starts, or once it is
// bound (so that it hits the search).
enum class Moment { kAtStart, kAtSearch };

struct FaultRow {
  const char* name;
  Server server;
  const char* scheme;
  UINT security;
  FaultPlan plan;
  Moment moment;
  long time_limit_ms;     // of the search; 0: none
  const char* failing_call;  // "start_operation", "search" or "entries"
  RETCODE code;
  long deadline_ms;       // the bound that should fire; 0: fails at once
  bool then_lost;         // the operation's connection stays lost
  UINT network_timeout_ms = kTimeoutMs;  // the record's; the daemon allows kTimeoutMs at most
};

// The daemon's maxima: what a record asks for beyond them is cut to them.
constexpr long kMaxSearchTimeMs = 1000;
constexpr long kMonthMs = 30L * 24 * 3600 * 1000;

const UINT kNone = velmarosta::COMM_DIR_SECURITY_NONE;

const FaultRow kFaultRows[] = {
    {"server down", Server::kDown, "ldap", kNone, {}, Moment::kAtStart, 0, "start_operation", kServerDown, 0, false},
    {"connection attempts dropped", Server::kUnanswered, "ldap", kNone, {}, Moment::kAtStart, 0, "start_operation",
     velmarosta::COMM_DIR_SVC_CONNECT_TIMEOUT, kTimeoutMs, false},
    {"refused after accept", Server::kProxy, "ldap", kNone, {Fault::kRefuse}, Moment::kAtStart, 0, "start_operation",
     kServerDown, 0, false},
    {"accepts, never answers", Server::kProxy, "ldap", kNone, {Fault::kSwallow}, Moment::kAtStart, 0,
     "start_operation", velmarosta::COMM_DIR_SVC_BIND_TIMEOUT, kTimeoutMs, false},
    {"ldaps handshake never answered", Server::kProxy, "ldaps", velmarosta::COMM_DIR_SECURITY_LDAPS,
     {Fault::kStallTls}, Moment::kAtStart, 0, "start_operation", velmarosta::COMM_DIR_SVC_TLS_TIMEOUT, kTimeoutMs,
     false},
    {"StartTLS handshake never answered", Server::kProxy, "ldap", velmarosta::COMM_DIR_SECURITY_STARTTLS,
     {Fault::kStallTls}, Moment::kAtStart, 0, "start_operation", velmarosta::COMM_DIR_SVC_TLS_TIMEOUT, kTimeoutMs,
     false},
    {"bind answered too late", Server::kProxy, "ldap", kNone, {Fault::kDelay, 3 * kTimeoutMs}, Moment::kAtStart, 0,
     "start_operation", velmarosta::COMM_DIR_SVC_BIND_TIMEOUT, kTimeoutMs, false},
    {"search stalls mid-result", Server::kProxy, "ldap", kNone, {Fault::kStallAfter, 0, kCutAfterBytes},
     Moment::kAtSearch, 0, "entries", velmarosta::COMM_DIR_SVC_RESULT_TIMEOUT, kTimeoutMs, false},
    {"search with a time limit stalls mid-result", Server::kProxy, "ldap", kNone,
     {Fault::kStallAfter, 0, kCutAfterBytes}, Moment::kAtSearch, kTimeLimitMs, "entries",
     velmarosta::COMM_DIR_SVC_SEARCH_TIMEOUT, kTimeLimitMs + kTimeoutMs, false},
    {"search never answered", Server::kProxy, "ldap", kNone, {Fault::kStallAfter, 0, 0}, Moment::kAtSearch, 0,
     "search", velmarosta::COMM_DIR_SVC_RESULT_TIMEOUT, kTimeoutMs, false},
    {"record asking for a network timeout of 49 days, bind never answered", Server::kProxy, "ldap", kNone,
     {Fault::kSwallow}, Moment::kAtStart, 0, "start_operation", velmarosta::COMM_DIR_SVC_BIND_TIMEOUT, kTimeoutMs,
     false, 0xFFFFFFFFu},
    {"search with a time limit of a month never answered", Server::kProxy, "ldap", kNone, {Fault::kStallAfter, 0, 0},
     Moment::kAtSearch, kMonthMs, "search", velmarosta::COMM_DIR_SVC_SEARCH_TIMEOUT, kMaxSearchTimeMs + kTimeoutMs,
     false},
    {"reset mid-result", Server::kProxy, "ldap", kNone, {Fault::kResetAfter, 0, kCutAfterBytes}, Moment::kAtSearch,
     0, "entries", kServerDown, 0, true},
    {"notice of disconnection mid-result", Server::kProxy, "ldap", kNone, {Fault::kNoticeAfter, 0, kCutAfterBytes},
     Moment::kAtSearch, 0, "entries", kUnavailable, 0, true},
    // Refused as it is announced, before anything is allocated or awaited.
    {"an entry of 256 MiB mid-result", Server::kProxy, "ldap", kNone, {Fault::kHugeAfter, 0, kCutAfterBytes},
     Moment::kAtSearch, 0, "entries", kServerDown, 0, true},
};

// How a walk under a fault ended.
struct FaultOutcome {
  RETCODE code = 0;
  std::string call;      // that returned `code`
  long elapsed_ms = 0;   // of that call
  int entries = 0;       // taken before it
  RETCODE next_search = 0;   // a search after the failure, when the operation was open
  RETCODE end_operation = 0;
};

template <typename Call>
RETCODE timed(Call call, long* elapsed_ms) {
  const auto start = std::chrono::steady_clock::now();
  const RETCODE rc = call();
  *elapsed_ms = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start).count();
  return rc;
}

class EndToEndFaultTest : public EndToEndTest {
 protected:
  std::vector<std::string> daemon_args() const override {
    return {"-d", "--max-network-timeout=" + std::to_string(kTimeoutMs),
            "--max-search-time=" + std::to_string(kMaxSearchTimeMs / 1000)};
  }

  // libldap leaks the notice of disconnection that a row sends; a daemon
  // built with the leak checker is told so (the variables are read at its
  // start), with whole allocation stacks, so that only that leak matches.
  void SetUp() override {
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan != nullptr ? asan : "") + ":fast_unwind_on_malloc=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    setenv("LSAN_OPTIONS", "suppressions=" COMMDIR_LSAN_LIBLDAP, 1);
    EndToEndTest::SetUp();
  }

  COMM_DIR_CONNECT_INFO connect_to(const std::string& uri, UINT security, UINT network_timeout_ms = kTimeoutMs) {
    COMM_DIR_CONNECT_INFO record = connect_record(uri);
    record.security = security;
    record.network_timeout_ms = network_timeout_ms;
    record.tls_verify = velmarosta::COMM_DIR_TLS_VERIFY_NEVER;
    return record;
  }

  RETCODE search(UINT operation, long time_limit_ms, long* elapsed_ms) {
    timeval limit{time_limit_ms / 1000, (time_limit_ms % 1000) * 1000};
    return timed([&] { return facade_->search(search_record(kPeople, operation), 0, limit); }, elapsed_ms);
  }

  // Walks the entries of the running search until a call fails.
  void walk_entries(UINT operation, FaultOutcome* outcome) {
    outcome->call = "entries";
    outcome->code = timed([&] { return facade_->get_first_entry(operation); }, &outcome->elapsed_ms);
    while (outcome->code == 0) {
      ++outcome->entries;
      outcome->code = timed([&] { return facade_->get_next_entry(operation); }, &outcome->elapsed_ms);
    }
  }

  FaultOutcome run(const std::string& uri, UINT security, FaultProxy* proxy, const FaultPlan& plan, Moment moment,
                   long time_limit_ms, UINT network_timeout_ms = kTimeoutMs) {
    FaultOutcome outcome;
    if (moment == Moment::kAtStart) proxy->set_fault(plan);
    const COMM_DIR_CONNECT_INFO connect = connect_to(uri, security, network_timeout_ms);
    const velmarosta::COMM_DIR_BIND_INFO bind = bind_record(Identity::kReader);
    UINT operation = 0;
    outcome.call = "start_operation";
    outcome.code = timed([&] { return facade_->start_operation(connect, &bind, &operation); }, &outcome.elapsed_ms);
    if (outcome.code != 0) return outcome;
    if (moment == Moment::kAtSearch) proxy->set_fault(plan);
    outcome.call = "search";
    outcome.code = search(operation, time_limit_ms, &outcome.elapsed_ms);
    if (outcome.code == 0) walk_entries(operation, &outcome);
    long ignored = 0;
    outcome.next_search = search(operation, time_limit_ms, &ignored);
    outcome.end_operation = facade_->end_operation(operation);
    return outcome;
  }

  // A full walk through a proxy without faults: the number of entries.
  int clean_walk_entries(FaultProxy* proxy) {
    FaultOutcome outcome = run(proxy->uri(), kNone, proxy, FaultPlan{}, Moment::kAtStart, 0);
    EXPECT_EQ(outcome.code, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES) << std::hex << outcome.code;
    return outcome.entries;
  }
};

TEST_F(EndToEndFaultTest, EachFaultGivesItsCodeWithinItsDeadline) {
  FaultProxy healthy(port_of_uri(slapd_->uri()));
  ASSERT_TRUE(healthy.ok()) << healthy.error();
  const int all_entries = clean_walk_entries(&healthy);
  ASSERT_GT(all_entries, 10);
  for (const FaultRow& row : kFaultRows) {
    SCOPED_TRACE(row.name);
    FaultProxy proxy(port_of_uri(slapd_->uri()));
    UnansweredServer unanswered;
    ASSERT_TRUE(proxy.ok() && unanswered.ok()) << proxy.error();
    const std::string uri = row.server == Server::kDown         ? closed_port_uri()
                            : row.server == Server::kUnanswered ? unanswered.uri()
                                                                : proxy.uri(row.scheme);
    const FaultOutcome outcome =
        run(uri, row.security, &proxy, row.plan, row.moment, row.time_limit_ms, row.network_timeout_ms);
    EXPECT_EQ(outcome.code, row.code) << std::hex << outcome.code << " from " << outcome.call;
    EXPECT_EQ(outcome.call, row.failing_call);
    EXPECT_GE(outcome.elapsed_ms, row.deadline_ms * 9 / 10);
    EXPECT_LE(outcome.elapsed_ms, row.deadline_ms + kMarginMs);
    if (std::string(row.failing_call) == "entries") {
      EXPECT_GT(outcome.entries, 0) << "the fault should hit the middle of the result";
      EXPECT_LT(outcome.entries, all_entries);
    }
    if (row.then_lost) {
      EXPECT_EQ(outcome.next_search, velmarosta::COMM_DIR_SVC_CONNECTION_LOST);
    }
    EXPECT_EQ(outcome.end_operation, 0);
  }
  // Nothing of it stuck in the daemon: a clean walk is whole.
  EXPECT_EQ(clean_walk_entries(&healthy), all_entries);
}

// Replies that come late, but within the deadline, change nothing.
TEST_F(EndToEndFaultTest, DelayedRepliesWithinTheDeadlineSucceed) {
  FaultProxy direct(port_of_uri(slapd_->uri()));
  FaultProxy slow(port_of_uri(slapd_->uri()));
  ASSERT_TRUE(direct.ok() && slow.ok());
  const FaultOutcome delayed = run(slow.uri(), kNone, &slow, {Fault::kDelay, kTimeoutMs / 2}, Moment::kAtStart, 0);
  EXPECT_EQ(delayed.code, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES) << std::hex << delayed.code;
  EXPECT_EQ(delayed.entries, clean_walk_entries(&direct));
  EXPECT_EQ(delayed.next_search, 0);
}

// slapd stopped and started again on its port under running operations:
// the calls of the operations it served fail with their codes within the
// network timeout, new operations succeed once it is back, and the daemon is
// the same process throughout.
TEST_F(EndToEndFaultTest, SlapdRestartFailsItsOperationsAndServesNewOnes) {
  const pid_t daemon = service_->pid();
  const COMM_DIR_CONNECT_INFO connect = connect_to(slapd_->uri(), kNone);
  const velmarosta::COMM_DIR_BIND_INFO bind = bind_record(Identity::kReader);
  UINT walking = 0;
  UINT idle = 0;
  UINT fresh = 0;
  long elapsed = 0;
  ASSERT_EQ(facade_->start_operation(connect, &bind, &walking), 0);
  ASSERT_EQ(facade_->start_operation(connect, &bind, &idle), 0);
  ASSERT_EQ(search(walking, 0, &elapsed), 0);
  ASSERT_EQ(facade_->get_first_entry(walking), 0);
  struct Call {
    const char* what;
    std::function<RETCODE()> call;
    RETCODE code;
  };
  auto search_of = [&](const UINT& operation) { return [&] { return search(operation, 0, &elapsed); }; };
  auto start_fresh = [&] { return facade_->start_operation(connect, &bind, &fresh); };
  const Call while_down[] = {
      {"search of the walking operation", search_of(walking), kServerDown},
      {"its next search", search_of(walking), velmarosta::COMM_DIR_SVC_CONNECTION_LOST},
      {"search of the idle operation", search_of(idle), kServerDown},
      {"a new operation", start_fresh, kServerDown},
  };
  const Call once_back[] = {
      {"search of the walking operation", search_of(walking), velmarosta::COMM_DIR_SVC_CONNECTION_LOST},
      {"search of the idle operation", search_of(idle), velmarosta::COMM_DIR_SVC_CONNECTION_LOST},
      {"a new operation", start_fresh, 0},
      {"its search", search_of(fresh), 0},
  };
  auto expect_calls = [](const char* phase, const Call* calls, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      SCOPED_TRACE(std::string(phase) + ": " + calls[i].what);
      long call_ms = 0;
      EXPECT_EQ(timed(calls[i].call, &call_ms), calls[i].code);
      EXPECT_LE(call_ms, static_cast<long>(kTimeoutMs) + kMarginMs);
    }
  };
  ASSERT_TRUE(slapd_->halt()) << slapd_->error();
  expect_calls("slapd down", while_down, sizeof while_down / sizeof while_down[0]);
  ASSERT_TRUE(slapd_->resume()) << slapd_->error();
  expect_calls("slapd back", once_back, sizeof once_back / sizeof once_back[0]);
  FaultOutcome walked;
  walk_entries(fresh, &walked);
  EXPECT_EQ(walked.code, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES);
  EXPECT_EQ(walked.entries, static_cast<int>(slapd_->search({"-b", kPeople.base, kPeople.filter, "1.1"}).entries.size()));
  for (UINT operation : {walking, idle, fresh}) EXPECT_EQ(facade_->end_operation(operation), 0);
  EXPECT_TRUE(service_->alive());
  EXPECT_EQ(service_->pid(), daemon);
}

}  // namespace
}  // namespace commdir_testing
