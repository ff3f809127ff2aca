// The library's request client and callback server over the real POSIX
// platform: every datagram that the reply server must drop (the platform's
// bounds, credentials and senders, the library's routing words and lengths,
// late and forged replies), callers and callbacks at once, and servers that
// end while a call waits (children: this program run as "--serve NAME MODE").
#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "platform/emw_osw.h"
#include "posix/posix_testing.h"
#include "server/comm_dir_operation_server.h"
#include "support/child_process.h"
#include "support/reply_echo.h"

namespace {

using namespace posix_testing;
using namespace velmarosta;
using std::chrono::milliseconds;

const std::string kService = "utcp:" + std::string(27, 'S');  // the longest names there are
const std::string kClientName(32, 'C');
constexpr char kWaitFailed[] = "function failed : emwOSWWaitEventSem ret=[0x68]";
constexpr char kServerEnded[] = "the server that a reply was awaited from has ended";

// The requests that the service took; answered when the test says.
std::mutex g_mu;
std::condition_variable g_arrived;
std::vector<Bytes> g_requests;  // guarded by g_mu

RETCODE HoldRequest(char* message, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_requests.emplace_back(message, message + COMM_DIR_IPC_REQUEST_SIZE);
  g_arrived.notify_all();
  return *size = 0;
}

// The reply to the `n`th request (from 1), once it came (bounded).
Bytes ReplyTo(std::size_t n) {
  std::unique_lock<std::mutex> lock(g_mu);
  if (!g_arrived.wait_for(lock, std::chrono::seconds(20), [n] { return g_requests.size() >= n; })) return {};
  return commdir_test::reply_to(g_requests[n - 1].data());
}

Bytes Tagged(int tag, std::size_t size = 76) {
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(tag * 7 + i);
  return payload;
}

using CallResult = std::pair<RETCODE, Bytes>;

class LibraryTest : public PosixTest {
 protected:
  void SetUp() override {
    PosixTest::SetUp();
    g_requests.clear();
    client_ = comm_dir_ipc_multi_client::get_instance();
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(Start(kService, HoldRequest), 0);
    ASSERT_EQ(client_->create_client(kClientName.c_str(), kService.c_str(), 0, 0, COMM_DIR_IPC_ID_SERVICE, clnt_), 0);
  }
  void TearDown() override {
    client_->destroy_client(clnt_);
    PosixTest::TearDown();
  }
  // A call with `payload` on a thread of its own: its result and what came back.
  std::future<CallResult> Call(Bytes payload, UINT type = 12) {
    return std::async(std::launch::async, [this, payload, type]() mutable {
      Bytes received(payload.size(), 0);
      int size = static_cast<int>(received.size());
      const RETCODE rc = client_->call_client(clnt_, static_cast<int>(type), 0, 0, payload.data(),
                                              static_cast<int>(payload.size()), received.data(), size, &size, ~0UL);
      return CallResult{rc, received};
    });
  }
  // The socket file of this process's reply server.
  std::string ReplyServerPath() const {
    char process[16] = {};
    emwOSWGetProcessName(process);
    return Path("DIR_CS_" + std::string(process).substr(0, COMM_DIR_REPLY_SERVER_PROCESS_CHARS));
  }

  comm_dir_ipc_multi_client* client_ = nullptr;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};

std::size_t OpenFiles() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// While a call waits, a datagram comes to the reply server, made of the
// call's own reply with another payload: dropped with its trace line (by the
// platform or by the library), or, well-formed, taken; a dropped one wakes
// nobody, and the call's own reply that follows reaches it intact.
TEST_F(LibraryTest, EveryDatagramThatIsNoReplyToTheWaitingCallIsDropped) {
  // A call that gave up (its server stopped while it waited); its reply comes late.
  auto gave_up = Call(Tagged(0));
  const Bytes late = ReplyTo(1);
  ASSERT_EQ(emwGENIpcRequestAdmin(kService.c_str(), GEN_IPC_ADMIN_STOP), 0);
  EXPECT_EQ(gave_up.get().first, -1);
  EXPECT_EQ(Count(Trace(), kWaitFailed), 1u);
  ASSERT_EQ(emwGENIpcStartServer(kService.c_str(), 0, 0x24000, HoldRequest), 0);

  enum class Via { kSocket, kWithDescriptor, kAsNobody };
  using Change = std::function<void(Bytes&)>;
  struct Row {
    std::string what;
    Change change;
    std::string dropped;  // the trace line's telling part; empty: taken
    Via via = Via::kSocket;
  };
  const auto word = [](std::size_t offset, UINT value) { return [=](Bytes& m) { PutWord(m, offset, value); }; };
  const auto cut = [](std::size_t size) {
    return [size](Bytes& m) {
      PutWord(m, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(size));
      m.resize(size);
    };
  };
  const auto platform = [](std::size_t size, const std::string& reason) {
    return "dropped a datagram of " + std::to_string(size) + " bytes from pid " + std::to_string(getpid()) + " uid " +
           std::to_string(getuid()) + ": " + reason;
  };
  const std::size_t kReply = COMM_DIR_IPC_REPLY_SIZE;
  const std::string kBelowReply = "reply dropped : length=[";
  const std::string kNoCall = "names no waiting call", kNotTheEvent = "is not the call's";
  const std::string kAbove = "its length word is above the largest message";
  const Row rows[] = {
      {"127 bytes", cut(127), platform(127, "it is shorter than 128 bytes")},
      {"128 bytes", cut(128), kBelowReply},
      {"a reply form 4 bytes short", cut(kReply - 4), kBelowReply},
      {"a reply form 1 byte short", cut(kReply - 1), kBelowReply},
      {"length word 0", word(GEN_IPC_HDR_LENGTH_OFFSET, 0), platform(kReply, "it is longer than its length word")},
      {"length word 1 short", word(GEN_IPC_HDR_LENGTH_OFFSET, kReply - 1),
       platform(kReply, "it is longer than its length word")},
      {"length word 65536: the largest message", word(GEN_IPC_HDR_LENGTH_OFFSET, 65536), ""},
      {"length word 65537", word(GEN_IPC_HDR_LENGTH_OFFSET, 65537), platform(kReply, kAbove)},
      {"length word 0xFFFFFFFF", word(GEN_IPC_HDR_LENGTH_OFFSET, ~0u), platform(kReply, kAbove)},
      {"65,537 bytes", [](Bytes& m) { m = Message(65537); }, platform(65537, "it is longer than the largest message")},
      {"a descriptor beside", nullptr, platform(kReply, "it carried more than credentials"), Via::kWithDescriptor},
      {"from a user the process does not trust", nullptr, "uid 65534: the sender's uid is refused", Via::kAsNobody},
      {"no reply marker", word(GEN_IPC_HDR_KIND_OFFSET, 2),
       "flag=1 [ERROR]<static RETCODE velmarosta::comm_dir_ipc_multi_client::dispatch_client(char*, char*, int*)>("},
      {"reply_buffer 0", word(116, 0), kNoCall},
      {"reply_buffer 0xFFFFFFFF", word(116, ~0u), kNoCall},
      {"reply_buffer guessed", [](Bytes& m) { PutWord(m, 116, Word(m.data(), 116) ^ 0x10000); }, kNoCall},
      {"event_sem_id 0", word(72, 0), kNotTheEvent},
      {"event_sem_id guessed", [](Bytes& m) { PutWord(m, 72, Word(m.data(), 72) ^ 1); }, kNotTheEvent},
      {"the reply to a call that gave up", [&late](Bytes& m) { m = late; }, kNoCall},
  };
  std::size_t requests = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.via == Via::kAsNobody && geteuid() != 0) continue;  // needs root to become nobody
    const Bytes payload = Tagged(&row - rows + 1);
    auto call = Call(payload);
    Bytes good = ReplyTo(++requests), bad = good;
    ASSERT_FALSE(good.empty());
    std::fill(bad.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, bad.end(), 'B');
    if (row.change) row.change(bad);
    const std::string counted = row.dropped.empty() ? "\n" : row.dropped;  // a reply taken writes no line
    const std::size_t before = Count(Trace(), counted), files = OpenFiles();
    const int fd = Connected(ReplyServerPath());  // while root: the folder is private
    iovec part{bad.data(), bad.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{nullptr, 0, &part, 1, nullptr, 0, 0};
    if (row.via == Via::kWithDescriptor) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      *CMSG_FIRSTHDR(&message) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
      std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&message)), &fd, sizeof fd);
    }
    const auto send_bad = [&] { return sendmsg(fd, &message, 0) == static_cast<ssize_t>(bad.size()); };
    ASSERT_TRUE(row.via == Via::kAsNobody ? AsUser(65534, send_bad) : send_bad()) << strerror(errno);
    close(fd);
    ASSERT_TRUE(row.dropped.empty() || commdir_test::send_reply_form(good) == 0);
    const CallResult result = call.get();
    EXPECT_EQ(result.first, 0);
    EXPECT_EQ(result.second, row.dropped.empty() ? Bytes(payload.size(), 'B') : payload);
    EXPECT_EQ(Count(Trace(), counted), before + (row.dropped.empty() ? 0 : 1)) << Trace().substr(Trace().size() - 300);
    EXPECT_TRUE(row.via != Via::kWithDescriptor || OpenFiles() == files);  // the descriptor was never installed
  }
  COMM_DIR_MULTI_IPC_CLNT unused{};
  EXPECT_EQ(client_->create_client((kClientName + "C").c_str(), kService.c_str(), 0, 0, 0, unused), -1);
  EXPECT_EQ(client_->create_client(kClientName.c_str(), (kService + "S").c_str(), 0, 0, 0, unused), -1);
}

using LibraryConcurrencyTest = LibraryTest;

TEST_F(LibraryConcurrencyTest, SixtyFourCallersAnsweredInReverseEachGetTheirOwn) {
  constexpr int kCallers = 64;
  std::vector<std::future<CallResult>> calls;
  for (int i = 0; i < kCallers; ++i) calls.push_back(Call(Tagged(i)));
  ASSERT_FALSE(ReplyTo(kCallers).empty());
  for (int i = kCallers; i > 0; --i) {
    Bytes reply = ReplyTo(i);
    ASSERT_EQ(commdir_test::send_reply_form(reply), 0);
  }
  for (int i = 0; i < kCallers; ++i) EXPECT_EQ(calls[i].get(), CallResult(0, Tagged(i))) << i;
}

// Callbacks from four threads at once through the callback endpoint, each
// thread's next after its reply: every callback runs once, with its own
// argument, before its reply, and every task slot is free again at the end.
// (A task holds its slot a moment after its reply; four threads of three
// each leave none of the twelve short.)
constexpr int kSenders = 4, kPerSender = 50, kCallbacks = kSenders * kPerSender;
std::array<std::atomic<int>, kCallbacks> g_callbacks{}, g_replied{};
std::atomic<int> g_faults{0};

struct Counter : comm_dir_callback {
  void on_callback(UINT number) override {
    if (number >= static_cast<UINT>(kCallbacks) || g_replied[number] != 0) ++g_faults;
    if (number < static_cast<UINT>(kCallbacks)) ++g_callbacks[number];
  }
};

TEST_F(LibraryConcurrencyTest, CallbacksFromFourThreadsRunOnceEachBeforeTheirReply) {
  char name[] = "DIR_SVR_ptest";
  comm_dir_operation_server server(name);
  Counter object;
  const UINT word = comm_dir_register_callback(&object);
  COMM_DIR_MULTI_IPC_CLNT endpoint{};
  ASSERT_EQ(client_->create_client("SENDER", "utcp:DIR_SVR_ptest", 0, 0, COMM_DIR_IPC_ID_CALLBACK, endpoint), 0);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int n = s * kPerSender; n < (s + 1) * kPerSender; ++n) {
        std::array<UINT, 20> request{};  // the argument and the object word at bytes 72 and 76
        request[18] = static_cast<UINT>(n);
        request[19] = word;
        Bytes reply(COMM_DIR_REPLY_SIZE, 1);
        g_faults += client_->call_client(endpoint, COMM_DIR_FUNC_CHECK_CONNECTION, 0, 0,
                                         reinterpret_cast<char*>(request.data()), sizeof request, reply.data(),
                                         COMM_DIR_REPLY_SIZE, nullptr, ~0UL) != 0 ||
                    std::count(reply.begin(), reply.end(), 0) != COMM_DIR_REPLY_SIZE;
        ++g_replied[n];
      }
    });
  }
  for (auto& t : senders) t.join();
  client_->destroy_client(endpoint);
  EXPECT_EQ(comm_dir_unregister_callback(word), 0);
  EXPECT_EQ(g_faults, 0);
  for (int n = 0; n < kCallbacks; ++n) EXPECT_EQ(g_callbacks[n], 1) << n;
  // Every slot comes free (a task ends just after its reply): a probe takes them all.
  int probed = 0;
  for (int i = 0; i < 500 && probed < COMM_DIR_MAX_THREADS; ++i) {
    int index = 0;
    if (comm_dir_ipc_multi_server::thread_check_empty(index) == 0 &&
        comm_dir_ipc_multi_server::thread_regist("probe", index) == 0) {
      ++probed;
    } else {
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  EXPECT_EQ(probed, COMM_DIR_MAX_THREADS);
}

// How to start this program again: behind the emulator's words when an
// emulator runs it (qemu answers /proc/self/exe with the emulated program).
std::vector<std::string> ThisProgram() {
  std::vector<std::string> argv;
  const char* emulator = std::getenv("COMMDIR_TEST_EMULATOR");
  std::istringstream words(emulator != nullptr ? emulator : "");
  for (std::string word; words >> word;) argv.push_back(word);
  argv.push_back(std::filesystem::read_symlink("/proc/self/exe"));
  return argv;
}

bool LogSays(const std::string& log, const std::string& line) {
  for (int i = 0; i < 4000; ++i, std::this_thread::sleep_for(milliseconds(5))) {
    if (Count(commdir_testing::read_file(log), line + "\n") != 0) return true;
  }
  return false;
}

// A server is killed while a call waits: for the reply to a request it
// took, for the reply while a new server runs at the name at once (the
// caller's socket names the dead one), or to hand the request over at all
// (its dispatch stuck, its queue full). The call returns -1 with the trace
// of the failed call, and the next server answers the next call. A server
// that lives, however slow, is waited for, and the empty datagrams that
// asked after it leave no trace.
TEST_F(LibraryTest, ACallEndsWhenItsServerIsKilledAndTheNextServerAnswers) {
  struct Row {
    const char* mode;  // of the child: see Serve
    bool new_server_at_once;
    const char* failed;  // the failed call's trace, or null: it lives and answers
  } const rows[] = {{"mute", false, kWaitFailed},
                    {"mute", true, kWaitFailed},
                    {"stuck", false, "function failed : emwGENIpcCallClient ret=["},
                    {"slow", false, nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    emwGENIpcRequestAdmin(kService.c_str(), GEN_IPC_ADMIN_STOP);
    const std::size_t traced = Trace().size();
    const std::string log = Path("child" + std::to_string(&row - rows) + ".log");
    std::vector<std::string> argv = ThisProgram();
    argv.insert(argv.end(), {"--serve", kService, row.mode});
    commdir_testing::ChildProcess child(argv, {}, log);
    ASSERT_TRUE(LogSays(log, "ready")) << commdir_testing::read_file(log);
    if (row.mode == std::string("stuck")) {  // its queue filled behind the message it sticks at
      const int raw = Connected(Path(kService.substr(5)));
      Bytes message = Message(128);
      EXPECT_EQ(send(raw, message.data(), 128, 0), 128);
      EXPECT_TRUE(LogSays(log, "received"));
      for (int i = 0; i < 100000 && send(raw, message.data(), 128, MSG_DONTWAIT) == 128; ++i) {
      }
      close(raw);
    }
    auto waiting = Call(Tagged(&row - rows));
    if (row.failed == nullptr) {
      EXPECT_EQ(waiting.get(), CallResult(0, Tagged(&row - rows)));
      EXPECT_EQ(Count(Trace().substr(traced), kServerEnded) + Count(Trace().substr(traced), "dropped"), 0u);
      EXPECT_TRUE(child.alive());
      continue;
    }
    EXPECT_TRUE(LogSays(log, "received"));
    EXPECT_EQ(waiting.wait_for(milliseconds(300)), std::future_status::timeout) << "it ended while its server lived";
    EXPECT_EQ(kill(child.pid(), SIGKILL), 0);
    while (child.alive()) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_TRUE(!row.new_server_at_once || Start(kService, commdir_test::echo_dispatch) == 0);
    EXPECT_EQ(waiting.get().first, -1);
    const std::string traces = Trace().substr(traced);
    EXPECT_EQ(Count(traces, row.failed), 1u) << traces;
    EXPECT_EQ(Count(traces, kServerEnded), row.failed == kWaitFailed ? 1u : 0u) << traces;
    ASSERT_TRUE(row.new_server_at_once || Start(kService, commdir_test::echo_dispatch) == 0);
    EXPECT_EQ(Call(Tagged(9)).get(), CallResult(0, Tagged(9)));
  }
}

// The child's server: says "ready", then "received" for each request; a
// "slow" one answers each after six check intervals, a "mute" one never,
// a "stuck" one never returns from its first dispatch.
std::string g_mode;

RETCODE Serve(char* message, char* unused, int* size) {
  std::printf("received\n");
  std::fflush(stdout);
  while (g_mode == "stuck") pause();
  if (g_mode == "slow") std::this_thread::sleep_for(milliseconds(1500));
  return g_mode == "slow" ? commdir_test::echo_dispatch(message, unused, size) : *size = 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--serve") {
    g_mode = argv[3];
    if (emwGENIpcStartServer(argv[2], 0, 0x24000, Serve) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();  // until the test kills it
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
