// A server that ends while a caller waits for its reply, over the real POSIX
// platform: the wait gives up within a few of the platform's check intervals
// and the call returns -1 with its trace, whether or not a new server runs at
// the name by then; a new server answers the calls made after it started; a
// server that lives, slow or stopping, is waited for.
//
// The servers that are killed are child processes: this program run as
// "--serve NAME MODE" (see main at the end), in the test's private folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_osw.h"
#include "support/child_process.h"
#include "support/reply_echo.h"
#include "support/read_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using velmarosta::COMM_DIR_MULTI_IPC_CLNT;
using velmarosta::comm_dir_ipc_multi_client;

constexpr char kService[] = "utcp:COMM_DIR_SRV";
constexpr INT kServiceId = 0x34090000;
constexpr int kPayload = 76;
// The requirement: a caller learns within 2 s that its server has ended. The
// platform asks every 250 ms, so this leaves room for a slow machine.
constexpr auto kGiveUpBound = std::chrono::seconds(2);
// What the slow child server takes to answer: six check intervals.
constexpr auto kSlowAnswer = milliseconds(1500);
constexpr auto kPatience = std::chrono::seconds(20);  // bounds every wait of the test itself

const char kWaitFailed[] = "function failed : emwOSWWaitEventSem ret=[0x68]";
const char kServerEnded[] = "the server that a reply was awaited from has ended";

std::string g_dir;  // the private folder: endpoints, the trace, the children's logs

using commdir_testing::read_file;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Polls until `path` holds the line `line`; bounded.
bool wait_for_line(const std::string& path, const std::string& line) {
  for (const auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
    if (count(read_file(path), line + "\n") != 0) return true;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return false;
}

std::vector<char> tagged(int tag) {
  std::vector<char> payload(kPayload);
  for (int i = 0; i < kPayload; ++i) payload[i] = static_cast<char>(tag * 11 + i);
  return payload;
}

// One call_client to kService on a thread of its own, as the facade client
// makes it: a client per call.
class Call {
 public:
  explicit Call(int tag) : payload_(tagged(tag)), thread_([this] { run(); }) {}
  ~Call() {
    if (thread_.joinable()) join();
  }
  // Joins the call; one still waiting after kPatience ends the program with
  // a failure, since nothing would wake it.
  void join() {
    for (const auto deadline = Clock::now() + kPatience; !done_ && Clock::now() < deadline;) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    if (!done_) {
      ADD_FAILURE() << "the call still waits after " << kPatience.count() << " s";
      std::fflush(stdout);
      std::_Exit(1);
    }
    thread_.join();
  }
  bool done() const { return done_; }
  RETCODE rc() const { return rc_; }
  Clock::time_point ended() const { return ended_; }
  bool got_own_payload() const { return received_ == payload_; }

 private:
  void run() {
    comm_dir_ipc_multi_client* client = comm_dir_ipc_multi_client::get_instance();
    COMM_DIR_MULTI_IPC_CLNT clnt{};
    rc_ = client->create_client("COMM_DIR_CLT", kService, 0, 0, kServiceId, clnt);
    if (rc_ == 0) {
      int size = kPayload;
      rc_ = client->call_client(clnt, 12, 0, 0, payload_.data(), kPayload, received_.data(), kPayload, &size,
                                ~0UL);
      client->destroy_client(clnt);
    }
    ended_ = Clock::now();
    done_ = true;
  }

  std::vector<char> payload_;
  std::vector<char> received_ = std::vector<char>(kPayload, 0);
  RETCODE rc_ = 0;
  Clock::time_point ended_;
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: starts once the fields above exist
};

class DeadServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(comm_dir_ipc_multi_client::get_instance(), nullptr);
    trace_start_ = read_file(trace_path()).size();
  }
  void TearDown() override { emwGENIpcRequestAdmin(kService, GEN_IPC_ADMIN_STOP); }

  static std::string trace_path() { return g_dir + "/trace.log"; }
  std::string new_traces() const { return read_file(trace_path()).substr(trace_start_); }

  // How to start this program again: its path, behind the emulator's words
  // when an emulator runs it (a cross build's tests run under qemu, which
  // answers /proc/self/exe with the emulated program).
  static std::vector<std::string> this_program() {
    std::vector<std::string> argv;
    const char* emulator = std::getenv("COMMDIR_TEST_EMULATOR");
    std::istringstream words(emulator != nullptr ? emulator : "");
    for (std::string word; words >> word;) argv.push_back(word);
    char path[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    argv.push_back(n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "/proc/self/exe");
    return argv;
  }

  // This program as a server at kService in `mode`, started and ready.
  std::unique_ptr<commdir_testing::ChildProcess> start_child(const std::string& mode) {
    // Numbered for the whole process: a log left by a child of an earlier
    // test must not pass for this child's "ready".
    static int children = 0;
    child_log_ = g_dir + "/child-" + std::to_string(++children) + ".log";
    std::vector<std::string> argv = this_program();
    argv.insert(argv.end(), {"--serve", kService, mode});
    auto child = std::make_unique<commdir_testing::ChildProcess>(argv, commdir_testing::Environment{}, child_log_);
    EXPECT_TRUE(child->started() && wait_for_line(child_log_, "ready")) << read_file(child_log_);
    return child;
  }

  // SIGKILL, and the child reaped (its socket closed); when it happened.
  static Clock::time_point kill_child(commdir_testing::ChildProcess& child) {
    EXPECT_EQ(::kill(child.pid(), SIGKILL), 0);
    while (child.alive()) std::this_thread::sleep_for(milliseconds(1));
    return Clock::now();
  }

  // Fills the queue of the child server at kService, whose dispatch sticks
  // at the first message: a send to it then blocks. Raw datagrams, sent
  // without blocking until the kernel refuses, whatever its queue length.
  void fill_queue() {
    int raw = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::snprintf(to.sun_path, sizeof to.sun_path, "%s/%s", g_dir.c_str(), kService + 5);
    std::vector<char> message(128, 0);
    const UINT length = 128;
    std::memcpy(message.data() + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
    auto send = [&] {
      return ::sendto(raw, message.data(), message.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    EXPECT_EQ(send(), 128);
    EXPECT_TRUE(wait_for_line(child_log_, "received"));  // the dispatch sticks at it
    for (int i = 0; i < 100000 && send() == 128; ++i) {
    }
    EXPECT_EQ(errno, EAGAIN);
    ::close(raw);
  }

  static RETCODE start_echo_server() {
    return emwGENIpcStartServer(kService, kServiceId, 0x24000, commdir_test::echo_dispatch);
  }

  std::string child_log_;
  std::size_t trace_start_ = 0;
};

// The server is killed while a call waits: for the reply to a request it
// took, or (its dispatch stuck, its queue full) to hand the request over at
// all. In one row a new server runs at the name at once, before the kill can
// have been noticed: the caller's socket still names the dead instance, so a
// live server at the name does not fool it. Every time the call returns -1
// in time with the trace of the failed call, and the new server answers the
// next call.
TEST_F(DeadServerTest, KilledServerEndsTheCallAndTheNextServerAnswers) {
  struct Row {
    const char* what;
    bool queue_full;
    bool new_server_at_once;
    const char* failed_call;
  };
  const Row rows[] = {
      {"no server at the name for a while", false, false, kWaitFailed},
      {"a new server at the name at once", false, true, kWaitFailed},
      {"the request's send blocked on a full queue", true, false, "function failed : emwGENIpcCallClient ret=["},
  };
  int tag = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::size_t traces_before = read_file(trace_path()).size();
    std::unique_ptr<commdir_testing::ChildProcess> server = start_child(row.queue_full ? "stuck" : "mute");
    if (row.queue_full) fill_queue();
    Call waiting(++tag);
    // No ASSERT until the child is killed, or the call would wait for good.
    EXPECT_TRUE(wait_for_line(child_log_, "received"));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(waiting.done()) << "the call ended while its server lived";
    const Clock::time_point killed = kill_child(*server);
    if (row.new_server_at_once) {
      ASSERT_EQ(start_echo_server(), 0);
    }
    waiting.join();
    EXPECT_EQ(waiting.rc(), -1);
    EXPECT_LT(waiting.ended() - killed, kGiveUpBound);
    const std::string traces = read_file(trace_path()).substr(traces_before);
    EXPECT_EQ(count(traces, row.failed_call), 1u) << traces;
    EXPECT_EQ(count(traces, kServerEnded), row.queue_full ? 0u : 1u) << traces;

    if (!row.new_server_at_once) {
      ASSERT_EQ(start_echo_server(), 0);
    }
    Call next(++tag);
    next.join();
    EXPECT_EQ(next.rc(), 0);
    EXPECT_TRUE(next.got_own_payload());
    EXPECT_EQ(emwGENIpcRequestAdmin(kService, GEN_IPC_ADMIN_STOP), 0);
  }
}

// A server that lives but answers only after several check intervals is
// waited for; the empty datagrams that asked after it were ignored without a
// trace.
TEST_F(DeadServerTest, SlowServerThatLivesIsWaitedFor) {
  std::unique_ptr<commdir_testing::ChildProcess> slow = start_child("slow");
  const Clock::time_point started = Clock::now();
  Call waiting(7);
  waiting.join();
  EXPECT_EQ(waiting.rc(), 0);
  EXPECT_TRUE(waiting.got_own_payload());
  EXPECT_GE(waiting.ended() - started, kSlowAnswer);
  EXPECT_EQ(count(new_traces(), kServerEnded), 0u) << new_traces();
  EXPECT_EQ(count(new_traces(), "dropped"), 0u) << new_traces();
  EXPECT_TRUE(slow->alive());
}

// --- the platform's side, in this process ------------------------------------

// A server that holds the first message in its dispatch until released, and
// posts the event whose id a message carries at byte 72.
class GatedPoster {
 public:
  static RETCODE dispatch(char* rcvbuf, char*, int* size) {
    *size = 0;
    if (!first_taken_.exchange(true)) {
      for (const auto deadline = Clock::now() + kPatience; !released_ && Clock::now() < deadline;) {
        std::this_thread::sleep_for(milliseconds(1));
      }
    }
    UINT event_id;
    std::memcpy(&event_id, rcvbuf + 72, sizeof event_id);
    if (event_id != 0) emwOSWPostEventSem(event_id);
    return 0;
  }
  static void release() { released_ = true; }

 private:
  static inline std::atomic<bool> first_taken_{false};
  static inline std::atomic<bool> released_{false};
};

constexpr char kGated[] = "utcp:GATED";

RETCODE ignore(char*, char*, int* size) { return *size = 0; }

// Sends a 128-byte message carrying `event_id` over `clnt`; the platform's
// result.
RETCODE send_event_word(UINT clnt, INT kind, UINT event_id) {
  std::vector<char> message(128, 0);
  std::memcpy(message.data() + 72, &event_id, sizeof event_id);
  return emwGENIpcCallClient(clnt, kind, 0, 0, message.data(), 128, nullptr, 0, nullptr, ~0UL);
}

// Only a wait without limit, on the event created last before the request
// went out, watches the server; every other wait is as it always was, even
// after the server has ended. A wait expected to succeed is posted after
// several check intervals, so that a watch wrongly applied would have ended
// it first.
TEST_F(DeadServerTest, OnlyAWaitWithoutLimitOnTheRequestsEventWatchesItsServer) {
  enum class Target { kRequestEvent, kEventCreatedAfter };
  struct Row {
    const char* what;
    INT kind;
    Target target;
    INT timeout;
    int waits_before;  // watched waits on the same event that returned first
    RETCODE expected;
  };
  const Row rows[] = {
      {"the request's event, no limit", GEN_IPC_KIND_REQUEST, Target::kRequestEvent, -1, 0, ECONNRESET},
      {"the request's event, with a time-out", GEN_IPC_KIND_REQUEST, Target::kRequestEvent, 900, 0, ETIMEDOUT},
      {"an event created after the request", GEN_IPC_KIND_REQUEST, Target::kEventCreatedAfter, -1, 0, 0},
      {"the request's event, waited on again", GEN_IPC_KIND_REQUEST, Target::kRequestEvent, -1, 1, 0},
      {"a reply's event: no answer awaited", GEN_IPC_KIND_REPLY, Target::kRequestEvent, -1, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(emwGENIpcStartServer(kGated, 1, 0x24000, ignore), 0);
    UINT clnt[8] = {};
    ASSERT_EQ(emwGENIpcCreateClient("TEST_CLT", kGated, 0, 0, 0, clnt), 0);
    UINT request_event = 0, later_event = 0;
    ASSERT_EQ(emwOSWCreateEventSem(&request_event, 0, 0), 0);
    ASSERT_EQ(send_event_word(clnt[0], row.kind, 0), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&later_event, 0, 0), 0);
    ASSERT_EQ(emwGENIpcRequestAdmin(kGated, GEN_IPC_ADMIN_STOP), 0);  // its socket is closed now
    const UINT target = row.target == Target::kRequestEvent ? request_event : later_event;
    for (int i = 0; i < row.waits_before; ++i) EXPECT_EQ(emwOSWWaitEventSem(target, -1), ECONNRESET);

    std::thread poster;
    if (row.expected == 0) {
      poster = std::thread([target] {
        std::this_thread::sleep_for(milliseconds(900));
        emwOSWPostEventSem(target);
      });
    }
    EXPECT_EQ(emwOSWWaitEventSem(target, row.timeout), row.expected);
    if (poster.joinable()) poster.join();
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
    EXPECT_EQ(emwOSWDeleteEventSem(request_event), 0);
    EXPECT_EQ(emwOSWDeleteEventSem(later_event), 0);
  }
}

// A server that is stopping still dispatches what it had queued, so a caller
// whose request is in that queue keeps waiting and gets its post. An empty
// datagram queued before the request does not end the queue early, and is
// ignored without a trace.
TEST_F(DeadServerTest, StoppingServerIsWaitedForUntilItsQueueIsDone) {
  ASSERT_EQ(emwGENIpcStartServer(kGated, 1, 0x24000, GatedPoster::dispatch), 0);
  UINT clnt[8] = {};
  ASSERT_EQ(emwGENIpcCreateClient("TEST_CLT", kGated, 0, 0, 0, clnt), 0);
  ASSERT_EQ(send_event_word(clnt[0], GEN_IPC_KIND_REQUEST, 0), 0);  // held in the dispatch

  int raw = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un gated{};
  gated.sun_family = AF_UNIX;
  std::snprintf(gated.sun_path, sizeof gated.sun_path, "%s/GATED", g_dir.c_str());
  ASSERT_EQ(::sendto(raw, nullptr, 0, 0, reinterpret_cast<sockaddr*>(&gated), sizeof gated), 0);
  ::close(raw);

  UINT event = 0;
  ASSERT_EQ(emwOSWCreateEventSem(&event, 0, 0), 0);
  ASSERT_EQ(send_event_word(clnt[0], GEN_IPC_KIND_REQUEST, event), 0);
  std::thread stopper([] { EXPECT_EQ(emwGENIpcRequestAdmin(kGated, GEN_IPC_ADMIN_STOP), 0); });
  std::thread releaser([] {
    std::this_thread::sleep_for(milliseconds(900));  // several checks of a stopping server
    GatedPoster::release();
  });
  EXPECT_EQ(emwOSWWaitEventSem(event, -1), 0);
  releaser.join();
  stopper.join();
  EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
  EXPECT_EQ(emwOSWDeleteEventSem(event), 0);
  EXPECT_EQ(count(new_traces(), kServerEnded), 0u) << new_traces();
  EXPECT_EQ(count(new_traces(), "dropped"), 0u) << new_traces();
}

// The child's server: announces "ready", then "received" for each request;
// a "slow" one answers each after kSlowAnswer, a "mute" one never, a "stuck"
// one never returns from its first dispatch.
std::string g_mode;

RETCODE serve_dispatch(char* rcvbuf, char* sndbuf, int* size) {
  *size = 0;
  std::printf("received\n");
  std::fflush(stdout);
  if (g_mode == "stuck") {
    for (;;) ::pause();
  }
  if (g_mode != "slow") return 0;
  std::this_thread::sleep_for(kSlowAnswer);
  return commdir_test::echo_dispatch(rcvbuf, sndbuf, size);
}

int serve(const char* name, const std::string& mode) {
  g_mode = mode;
  if (emwGENIpcStartServer(name, kServiceId, 0x24000, serve_dispatch) != 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) ::pause();  // until the test kills it
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--serve") == 0) return serve(argv[2], argv[3]);
  ::testing::InitGoogleTest(&argc, argv);
  std::string error;
  g_dir = commdir_testing::make_private_folder("commdir-deadserver", error);
  if (g_dir.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  ::setenv("COMM_DIR_IPC_DIR", g_dir.c_str(), 1);
  ::setenv("COMM_DIR_TRACE", (g_dir + "/trace.log").c_str(), 1);
  const int result = RUN_ALL_TESTS();
  const std::string remove = "rm -rf '" + g_dir + "'";
  if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", g_dir.c_str());
  return result;
}
