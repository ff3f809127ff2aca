// The daemon's parts that need no LDAP server: the request decoder, the
// operation ids, the memory of failed-over URIs, the order in which users'
// work is taken, the processes it takes for ended, and the watchdog's
// judgement of progress.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/comm_dir_client_process.h"
#include "service/comm_dir_failover.h"
#include "service/comm_dir_fair_queue.h"
#include "service/comm_dir_operation_ids.h"
#include "service/comm_dir_progress.h"
#include "service/comm_dir_request_decoder.h"

namespace velmarosta {
namespace {

constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
using Change = std::function<void(std::vector<char>&)>;
Change word_at(std::size_t at, UINT word) { return [=](std::vector<char>& m) { std::memcpy(&m[at], &word, 4); }; }
Change text_at(std::size_t at, const char* text) { return [=](auto& m) { std::strcpy(&m[at], text); }; }
Change fill_at(std::size_t at, char byte, std::size_t n) { return [=](auto& m) { std::memset(&m[at], byte, n); }; }
Change both(Change a, Change b) { return [=](auto& m) { a(m); b(m); }; }

// A well-formed request form of `function_id` as the library sends it.
std::vector<char> well_formed(int function_id) {
  std::vector<char> m(COMM_DIR_IPC_REQUEST_SIZE, 0);
  const std::size_t p = kHead;
  std::vector<Change> fields = {word_at(GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REQUEST_SIZE), word_at(72, 0x11223344),
                                word_at(80, static_cast<UINT>(function_id)), text_at(84, "utcp:DIR_CS_app"),
                                word_at(116, 0xCAFEF00D), word_at(120, COMM_DIR_IPC_REPLY_SIZE)};
  if (function_id == COMM_DIR_FUNC_CHECK_CONNECTION) {
    fields.insert(fields.end(), {text_at(p + 80, "ldap://1/"), text_at(p + 1988, "DIR_SVR_a"),
                                 word_at(p + 76, 0xABCD0001)});
  } else if (function_id == COMM_DIR_FUNC_START_OPERATION) {
    fields.insert(fields.end(), {text_at(p + 72, "ldap://1/"), word_at(p + 352, 1), word_at(p + 356, 1),
                                 text_at(p + 360, "cn=admin")});
  } else if (function_id == COMM_DIR_FUNC_SEARCH) {
    fields.insert(fields.end(), {text_at(p + 596, "(cn=*)"), word_at(p + 2032, 0x0BADCAFE), word_at(p + 2040, 5),
                                 word_at(p + 2044, 250000)});
  } else {
    fields.push_back(word_at(p + 72, function_id == COMM_DIR_FUNC_DAEMON_STATUS ? 1u : 0x0BADCAFEu));  // status: JSON
    if (function_id >= COMM_DIR_FUNC_GET_VALUE_STRING_CNT && function_id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE) {
      fields.push_back(text_at(p + 76, "mail"));
    }
  }
  for (const Change& field : fields) field(m);
  return m;
}

// Decodes `message` as a whole, and as the daemon does, told how much
// travelled without the trailing zeros: both come to the same verdict.
comm_dir_verdict decode(const std::vector<char>& message, comm_dir_request* out) {
  const UINT length = read_word(message.data(), GEN_IPC_HDR_LENGTH_OFFSET);
  std::size_t travelled = message.size();
  while (travelled > 128 && message[travelled - 1] == 0) --travelled;
  auto whole = std::make_unique<comm_dir_request>();
  const comm_dir_verdict verdict = comm_dir_decode_request(message.data(), length, whole.get());
  EXPECT_EQ(comm_dir_decode_request(message.data(), length, out, travelled), verdict);
  EXPECT_EQ(out->refusal, whole->refusal);
  return verdict;
}

TEST(ServiceRequestDecoder, ServesEveryFunctionIdAndKeepsTheRoute) {
  for (int id = 0; id <= COMM_DIR_FUNC_COUNT; ++id) {
    const int function_id = id < COMM_DIR_FUNC_COUNT ? id : COMM_DIR_FUNC_DAEMON_STATUS;
    std::vector<char> message = well_formed(function_id);
    message[0] = 0x55;  // the platform's header bytes never reach the reply
    auto request = std::make_unique<comm_dir_request>();
    ASSERT_EQ(decode(message, request.get()), comm_dir_verdict::kServe) << function_id;
    const COMM_DIR_IPC_ENVELOPE_HEAD& route = request->route;
    EXPECT_TRUE(request->function_id == function_id && route.event_sem_id == 0x11223344u && route.ipc_header[0] == 0);
    EXPECT_TRUE(route.reply_buffer == 0xCAFEF00Du && route.reply_buffer_size == COMM_DIR_IPC_REPLY_SIZE);
    EXPECT_STREQ(route.reply_server_name, "utcp:DIR_CS_app");
    EXPECT_EQ(request->operation_id, id >= COMM_DIR_FUNC_SEARCH && id < COMM_DIR_FUNC_COUNT ? 0x0BADCAFEu : 0u);
    EXPECT_EQ(std::memcmp(request->record.bytes, &message[kHead], comm_dir_request_size(function_id)), 0);
  }
}

TEST(ServiceRequestDecoder, DropsRefusesOrServesEachMessage) {
  using V = comm_dir_verdict;
  constexpr V Serve = V::kServe, Drop = V::kDrop, Refuse = V::kRefuse;
  const std::size_t p = kHead, t = kHead + 76;  // the payload; a connection test's record
  const Change callback = word_at(p + 72, COMM_DIR_TEST_MODE_CALLBACK);
  constexpr RETCODE kSize = COMM_DIR_SVC_WRONG_SIZE, kField = COMM_DIR_SVC_BAD_FIELD;
  constexpr RETCODE kNul = COMM_DIR_SVC_UNTERMINATED_STRING, kUnknown = COMM_DIR_SVC_UNKNOWN_FUNCTION;
  const struct Row { const char* what; int function_id; Change change; V verdict; RETCODE code; } rows[] = {
      // The limits the library itself sends are served.
      {"reply server of 31", 3, text_at(84, "utcp:abcdefghijklmnopqrstuvwxyz"), Serve, 0},
      {"attribute of 384", 5, fill_at(p + 76, 'a', 384), Serve, 0},
      {"cut right after its record", 3, word_at(4, p + 76), Serve, 0},
      {"no bind, whatever its bytes", 1, both(word_at(p + 352, 0), fill_at(p + 360, 'x', 512)), Serve, 0},
      {"callback with a name", 0, callback, Serve, 0},
      // Nothing to route an answer by: dropped.
      {"shorter than the head", 12, word_at(4, p - 1), Drop, 0}, {"a reply", 12, word_at(24, 1), Drop, 0},
      {"replied set", 12, word_at(76, 1), Drop, 0}, {"name without NUL", 12, fill_at(84, 'a', 32), Drop, 0},
      {"empty name", 12, fill_at(84, 0, 32), Drop, 0}, {"no prefix", 12, text_at(84, "DIR_CS_app"), Drop, 0},
      {"the prefix alone", 12, text_at(84, "utcp:"), Drop, 0}, {"a path", 12, text_at(84, "utcp:../x"), Drop, 0},
      {"the daemon's endpoint", 12, text_at(84, "utcp:COMM_DIR_SRV"), Drop, 0},
      {"the daemon's callback answers", 12, text_at(84, "utcp:COMM_DIR_SRV_CB"), Drop, 0},
      // Routable but not servable: refused with its code.
      {"id 15", 3, word_at(80, 15), Refuse, kUnknown},
      {"id beside the status's", 3, word_at(80, COMM_DIR_FUNC_DAEMON_STATUS + 1), Refuse, kUnknown},
      {"status format 2", COMM_DIR_FUNC_DAEMON_STATUS, word_at(p + 72, 2), Refuse, kField},
      {"a byte after the status", COMM_DIR_FUNC_DAEMON_STATUS, fill_at(p + 76, 1, 1), Refuse, kSize},
      {"record one byte short", 3, word_at(4, p + 75), Refuse, kSize}, {"head only", 2, word_at(4, p), Refuse, kSize},
      {"longer than a form", 3, both([](auto& m) { m.resize(p + 49160); }, word_at(4, p + 49160)), Refuse, kSize},
      {"a byte after the record", 3, fill_at(p + 76, 1, 1), Refuse, kSize},
      {"where a block of zeros begins", 12, fill_at(p + 76 + 1024, 1, 1), Refuse, kSize},
      {"where a block of zeros ends", 12, fill_at(p + 76 + 1023, 1, 1), Refuse, kSize},
      {"the form's last byte", 12, fill_at(COMM_DIR_IPC_REQUEST_SIZE - 1, 1, 1), Refuse, kSize},
      {"attribute without NUL", 7, fill_at(p + 76, 'a', 385), Refuse, kNul},
      {"no attribute", 5, fill_at(p + 76, 0, 1), Refuse, kField},
      {"URI without NUL", 1, fill_at(p + 72, 'u', 176), Refuse, kNul},
      {"CA file without NUL", 1, fill_at(p + 248, 'c', 88), Refuse, kNul},
      {"empty URI", 1, fill_at(p + 72, 0, 1), Refuse, kField}, {"security 3", 1, word_at(p + 336, 3), Refuse, kField},
      {"TLS check 4", 1, word_at(p + 344, 4), Refuse, kField}, {"bind flag 2", 1, word_at(p + 352, 2), Refuse, kField},
      {"bind method 3", 1, word_at(p + 356, 3), Refuse, kField},
      {"bind DN without NUL", 1, fill_at(p + 360, 'd', 512), Refuse, kNul},
      {"password without NUL", 1, fill_at(p + 872, 'w', 512), Refuse, kNul},
      {"base without NUL", 2, fill_at(p + 72, 'b', 512), Refuse, kNul},
      {"filter without NUL", 2, fill_at(p + 596, 'f', 1024), Refuse, kNul},
      {"attributes without NUL", 2, fill_at(p + 1620, 'a', 412), Refuse, kNul},
      {"scope 4", 2, word_at(p + 584, 4), Refuse, kField}, {"deref 4", 2, word_at(p + 588, 4), Refuse, kField},
      {"types only 2", 2, word_at(p + 592, 2), Refuse, kField}, {"-1 s", 2, word_at(p + 2040, ~0u), Refuse, kField},
      {"10^6 us", 2, word_at(p + 2044, 1000000), Refuse, kField}, {"mode 2", 0, word_at(p + 72, 2), Refuse, kField},
      {"callback, no name", 0, both(callback, fill_at(t + 1912, 0, 16)), Refuse, kField},
      {"callback name with a slash", 0, both(callback, text_at(t + 1912, "../x")), Refuse, kField},
      {"callback to the daemon", 0, both(callback, text_at(t + 1912, "COMM_DIR_SRV_CB")), Refuse, kField},
      {"callback name without NUL", 0, fill_at(t + 1912, 'n', 16), Refuse, kNul},
      {"test's URI without NUL", 0, fill_at(t + 4, 'u', 176), Refuse, kNul},
  };
  for (const Row& row : rows) {
    std::vector<char> message = well_formed(row.function_id);
    row.change(message);
    auto request = std::make_unique<comm_dir_request>();
    ASSERT_EQ(decode(message, request.get()), row.verdict) << row.what;
    EXPECT_TRUE(row.verdict != V::kDrop || request->drop_reason != nullptr) << row.what;
    if (row.verdict != V::kRefuse) continue;
    EXPECT_EQ(request->refusal, row.code) << row.what;
    EXPECT_STREQ(request->route.reply_server_name, "utcp:DIR_CS_app") << row.what;
    // Kept, so that the reply echoes the record.
    EXPECT_TRUE(row.function_id != 0 || request->record.check_connection.info.callback_object == 0xABCD0001u);
  }
}

TEST(ServiceOperationIds, NeverZeroNeverRepeatedAndKeyed) {
  const std::uint32_t keys_a[comm_dir_operation_ids::kRounds] = {1, 2, 3, 4};
  const std::uint32_t keys_b[comm_dir_operation_ids::kRounds] = {1, 2, 3, 5};
  comm_dir_operation_ids a(keys_a), b(keys_b);
  std::set<UINT> seen;
  int same_as_b = 0, consecutive = 0;
  for (UINT i = 0, previous = 0, id; i < 100000; ++i, previous = id) {
    id = a.next();
    ASSERT_TRUE(id != 0 && seen.insert(id).second) << id;
    same_as_b += id == b.next();
    consecutive += id == previous + 1;
  }
  EXPECT_TRUE(same_as_b < 5 && consecutive < 5);
}

// --- failover ---

using Order = std::vector<std::size_t>;
using std::chrono::seconds;
constexpr seconds kWindow(60);
constexpr char kList[] = " ldap://a/\tldap://b/   ldap://c/ ";  // any run of blanks separates

TEST(ServiceFailoverTest, TriesTheAnsweringUriFirstUntilTheWindowEnds) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  constexpr std::size_t kNone = comm_dir_failover::kNone;
  // answers: which index answers at `at` (kNone: none)
  const struct Step { const char* what; seconds at; Order expected; std::size_t answers; } steps[] = {
      {"never seen: the record's order", seconds(0), {0, 1, 2}, 1},
      {"in the window: the backup first", seconds(1), {1, 0, 2}, 2},
      {"the backup died: the third first", seconds(30), {2, 0, 1}, 2},
      {"window over: the first again, still down", kWindow, {0, 1, 2}, 1},
      {"a new window from that failure", kWindow + seconds(59), {1, 0, 2}, 1},
      {"second window over: the first answers", 2 * kWindow, {0, 1, 2}, 0},
      {"nothing remembered; then none answers", 2 * kWindow + seconds(1), {0, 1, 2}, kNone},
      {"none answered: the record's order", 2 * kWindow + seconds(2), {0, 1, 2}, 2},
      {"failed over after that: the backup first", 2 * kWindow + seconds(3), {2, 0, 1}, 0},
  };
  const comm_dir_uri_failure failure{"ldap://x/", 0x34092001, std::string(300, 'r'), {}};
  for (const Step& step : steps) {
    const Order order = failover.order(1000, kList, comm_dir_failover::split(kList).size(), t0 + step.at);
    EXPECT_EQ(order, step.expected) << step.what;
    const auto now = t0 + step.at;
    if (step.answers == kNone) failover.none_answered(1000, kList, failure, now);
    const comm_dir_uri_failure* moved = step.answers != order.front() ? &failure : nullptr;
    if (step.answers != kNone) failover.answered(1000, kList, step.answers, order.front() == 0, now, moved);
    // What an operator sees: the URI that answered last, with the failure that moved it.
    const auto lists = failover.lists([](uid_t) { return true; });
    ASSERT_EQ(lists.size(), step.answers == 0 ? 0u : 1u) << step.what;
    EXPECT_TRUE(lists.empty() || lists[0].answering == step.answers) << step.what;
    EXPECT_TRUE(lists.empty() || lists[0].last_failure.reason.size() == comm_dir_failover::kMaxReason) << step.what;
  }
  const auto later = t0 + 3 * kWindow;
  failover.answered(1000, kList, 1, true, later);
  EXPECT_EQ(failover.order(1000, kList, 3, later), (Order{1, 0, 2}));
  EXPECT_EQ(failover.order(1001, kList, 3, later), (Order{0, 1, 2})) << "users are remembered apart";
  EXPECT_TRUE(failover.lists([](uid_t user) { return user == 1001; }).empty()) << "another user's list shown";
  EXPECT_EQ(failover.order(1000, "ldap://other/ ldap://b/", 2, later), (Order{0, 1})) << "lists are remembered apart";
}

TEST(ServiceFailoverTest, RemembersAtMostMaxListsAndAtMostMaxListsPerUserOfOne) {
  comm_dir_failover failover(kWindow);
  const auto t0 = comm_dir_failover::clock::now();
  auto list = [](std::size_t i) { return "ldap://first" + std::to_string(i) + "/ ldap://backup/"; };
  auto remembered = [&](uid_t user, std::size_t i) { return failover.order(user, list(i), 2, t0) == Order{1, 0}; };
  constexpr std::size_t kShare = comm_dir_failover::kMaxListsPerUser, kFlood = comm_dir_failover::kMaxLists * 2;
  failover.answered(1001, list(0), 1, true, t0);
  for (std::size_t i = 1; i <= kFlood; ++i) failover.answered(1000, list(i), 1, true, t0 + seconds(i));
  EXPECT_TRUE(remembered(1001, 0)) << "one user's lists evicted another's";
  EXPECT_TRUE(remembered(1000, kFlood - kShare + 1) && !remembered(1000, kFlood - kShare)) << "more than its share";
  for (uid_t user = 2; user < 2 + comm_dir_failover::kMaxLists / kShare; ++user) {
    for (std::size_t i = 0; i < kShare; ++i) failover.answered(user, list(i), 1, true, t0 + seconds(kFlood + user));
  }
  EXPECT_TRUE(!remembered(1001, 0) && remembered(2, 0)) << "the oldest list goes first";
}

// Every order that workers get at once is a whole permutation of the list.
TEST(ServiceFailoverConcurrencyTest, WorkersShareTheMemory) {
  comm_dir_failover failover(kWindow);
  std::vector<std::thread> workers;
  std::atomic<int> broken{0};
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&failover, &broken, w] {
      for (int i = 0; i < 500; ++i) {
        const std::string list = "ldap://x" + std::to_string(i % 300) + "/ ldap://y/ ldap://z/";
        Order order = failover.order(static_cast<uid_t>(i % 3), list, 3, comm_dir_failover::clock::now());
        std::sort(order.begin(), order.end());
        broken += order != Order{0, 1, 2};
        const auto answering = static_cast<std::size_t>((i + w) % 3);
        failover.answered(static_cast<uid_t>(i % 3), list, answering, i % 2 == 0, comm_dir_failover::clock::now());
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(broken, 0);
}

// --- processes and progress ---

// Clock ticks since boot as the kernel counts a process's start time: whole
// nanoseconds of CLOCK_BOOTTIME divided, in integers, by a tick's length.
unsigned long long ticks_since_boot() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return (static_cast<unsigned long long>(now.tv_sec) * 1000000000ull + static_cast<unsigned long long>(now.tv_nsec)) /
         (1000000000ull / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

pid_t exited_child(bool reap) {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, reap ? WEXITED : WEXITED | WNOWAIT);
  return pid;
}

// A reused pid, a zombie and a reaped child are ended; a running process is
// not, whatever its name makes of /proc/PID/stat.
// Users take turns, each user's work in its order; a user held to its share
// waits for done() while the others' work is taken. Items are uid * 10 + n.
TEST(ServiceFairQueueTest, UsersTakeTurnsWithinTheirShare) {
  const struct { std::size_t cap; std::vector<int> pushed, taken; } rows[] = {
      {0, {11, 12, 13, 14, 21, 31, 22}, {11, 21, 31, 12, 22, 13, 14}},
      {1, {11, 12, 21, 22}, {11, 21}},  // then nothing until done()
  };
  for (const auto& row : rows) {
    comm_dir_fair_queue<int> queue(row.cap);
    for (int item : row.pushed) queue.push(static_cast<uid_t>(item / 10), item);
    std::vector<int> taken;
    for (int item = 0; queue.pop(&item);) taken.push_back(item);
    EXPECT_EQ(taken, row.taken);
    EXPECT_EQ(queue.size(), row.pushed.size() - row.taken.size());
  }
  comm_dir_fair_queue<int> queue(1);
  for (int item : {11, 12, 21}) queue.push(static_cast<uid_t>(item / 10), item);
  int item = 0;
  uid_t user = 0;
  EXPECT_TRUE(queue.pop(&item, &user) && queue.pop(&item) && !queue.pop(&item));
  queue.done(user);
  EXPECT_TRUE(queue.pop(&item) && item == 12);
}

TEST(ServiceClientProcess, EndedProcessesAndOnlyThose) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const unsigned long long before_fork = ticks_since_boot();
  const pid_t running = fork();
  if (running == 0) {
    prctl(PR_SET_NAME, "t) 9 9 9 9 (z");
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  const pid_t zombie = exited_child(false), reaped = exited_child(true);
  const comm_dir_client_process self = comm_dir_identify_process(getpid()), child = comm_dir_identify_process(running);
  EXPECT_TRUE(self.pid == getpid() && child.pid == running && child.start_time >= self.start_time);
  EXPECT_TRUE(child.start_time >= before_fork && child.start_time <= ticks_since_boot());
  EXPECT_TRUE(comm_dir_identify_process(reaped).pid == 0 && comm_dir_identify_process(zombie).pid == 0);
  const std::pair<comm_dir_client_process, bool> rows[] = {{self, false}, {child, false}, {{}, false},
      {{running, child.start_time - 1}, true}, {{zombie, child.start_time}, true}, {{reaped, child.start_time}, true}};
  for (const auto& [process, ended] : rows) EXPECT_EQ(comm_dir_process_ended(process), ended) << process.pid;
  kill(running, SIGKILL);
  waitpid(running, nullptr, 0);
  waitpid(zombie, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

// The receiving thread must dispatch the probe or other messages, and no
// worker may stay on one request beyond --hung-after (10 s here).
TEST(ServiceProgressTest, AliveOnlyWhileTheReceiverAndEveryWorkerMoveOn) {
  constexpr int kReceiver = comm_dir_progress::kReceiver;
  using Steps = std::vector<std::pair<int, bool>>;  // (who, began or ended) in order
  const struct Look { const char* what; Steps meanwhile; bool probe; int at; bool alive; int hung; } looks[] = {
      {"idle, the probe dispatched", {}, true, 1, true, -1},
      {"idle, the probe not dispatched", {}, false, 2, false, -1},
      {"a flood: others got in", {{kReceiver, true}, {kReceiver, false}}, false, 3, true, -1},
      {"the receiver began a message", {{kReceiver, true}}, false, 4, true, -1},
      {"and is still in it", {}, false, 5, false, -1},
      {"worker 1 begins", {{kReceiver, false}, {1, true}}, true, 6, true, -1},
      {"worker 1 on it for --hung-after", {}, true, 16, true, -1},
      {"worker 1 on it for longer", {}, true, 17, false, 1},
      {"worker 0 served some meanwhile", {{0, true}, {0, false}, {0, true}}, true, 18, false, 1},
      {"worker 1 on its next request", {{1, false}, {1, true}}, true, 19, true, -1},
      {"worker 0 idle long after its last", {{0, false}}, true, 40, false, 1},
  };
  comm_dir_progress progress(2, seconds(10));
  const auto t0 = comm_dir_progress::clock::now();
  std::uint32_t probe = 0;
  for (const Look& look : looks) {
    if (look.probe) progress.probe_arrived(++probe); else ++probe;
    for (auto [who, began] : look.meanwhile) began ? progress.begin(who) : progress.end(who);
    const comm_dir_progress::verdict verdict = progress.judge(probe, t0 + seconds(look.at));
    EXPECT_TRUE(verdict.alive == look.alive && verdict.hung_worker == look.hung) << look.what;
  }
}

}  // namespace
}  // namespace velmarosta
