// The library's request client and callback server over the real POSIX
// platform: every datagram that the reply server must drop (the platform's
// bounds, credentials and senders, the library's routing words and lengths,
// late and forged replies), callers and callbacks at once, and servers that
// end, stop or dawdle while a call waits.
#include <array>
#include <atomic>
#include <functional>
#include <future>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "posix/posix_testing.h"
#include "server/comm_dir_operation_server.h"
#include "support/reply_echo.h"

namespace {

using namespace posix_testing;
using namespace velmarosta;
using CallResult = std::pair<RETCODE, Bytes>;

const std::string kService = "utcp:" + std::string(27, 'S');  // the longest names there are
const std::string kClientName(32, 'C');
constexpr char kWaitFailed[] = "function failed : emwOSWWaitEventSem ret=[0x68]";
constexpr char kServerEnded[] = "the server that a reply was awaited from has ended";
constexpr uid_t kServiceUser = 65533;  // named in COMM_DIR_SERVICE_USER: its replies are taken

// The reply to the `n`th request (from 1) that the service took.
Bytes ReplyTo(std::size_t n) {
  const std::vector<Bytes> requests = Taken(n);
  return requests.size() < n ? Bytes() : commdir_test::reply_to(requests[n - 1].data());
}

// A payload of 200 bytes: 76 marked by `tag`, then zeros that the platform
// leaves out of the datagram and restores, from a buffer that held others.
Bytes Tagged(std::size_t tag) {
  Bytes payload(200);
  for (std::size_t i = 0; i < 76; ++i) payload[i] = static_cast<char>(tag * 7 + i);
  return payload;
}

class LibraryTest : public PosixTest {
 protected:
  void SetUp() override {
    PosixTest::SetUp();
    setenv("COMM_DIR_SERVICE_USER", std::to_string(kServiceUser).c_str(), 1);
    client_ = comm_dir_ipc_multi_client::get_instance();  // its reply server starts here
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(Start(kService), 0);
    ASSERT_EQ(client_->create_client(kClientName.c_str(), kService.c_str(), 0, 0, COMM_DIR_IPC_ID_SERVICE, clnt_), 0);
  }
  void TearDown() override {
    client_->destroy_client(clnt_);
    PosixTest::TearDown();
  }
  // A call with `payload` on a thread of its own: its result and what came back.
  std::future<CallResult> Call(Bytes payload) {
    return std::async(std::launch::async, [this, payload]() mutable {
      Bytes received(payload.size(), 0);
      const RETCODE rc = client_->call_client(clnt_, 12, 0, 0, payload.data(), 200, received.data(), 200, nullptr, ~0UL);
      return CallResult{rc, received};
    });
  }

  comm_dir_ipc_multi_client* client_ = nullptr;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};

// While a call waits, a datagram made of its own reply, with another
// payload, comes to the reply server: dropped with its trace line (by the
// platform or by the library), or, well-formed, taken. A dropped one wakes
// nobody, and the call's own reply that follows reaches it intact: also its
// zeros, restored where the dropped one's bytes were.
TEST_F(LibraryTest, EveryDatagramThatIsNoReplyToTheWaitingCallIsDropped) {
  auto gave_up = Call(Tagged(0));  // its server stops while it waits; its reply comes late
  const Bytes late = ReplyTo(1);
  ASSERT_EQ(emwGENIpcRequestAdmin(kService.c_str(), GEN_IPC_ADMIN_STOP), 0);
  EXPECT_EQ(gave_up.get().first, -1);
  ASSERT_EQ(Start(kService), 0);

  const std::string below_reply = "reply dropped : length=[", no_call = "names no waiting call",
                    not_the_event = "is not the call's", above = "its length word is above the largest message";
  const auto word = [](std::size_t offset, UINT value) { return [=](Bytes& m) { PutWord(m, offset, value); }; };
  const auto length = [&](UINT value) { return word(GEN_IPC_HDR_LENGTH_OFFSET, value); };
  const auto cut = [](UINT size) { return [size](Bytes& m) { m.resize(size), PutWord(m, GEN_IPC_HDR_LENGTH_OFFSET, size); }; };
  const auto flip = [](std::size_t offset, UINT bits) { return [=](Bytes& m) { PutWord(m, offset, Word(&m[0], offset) ^ bits); }; };
  const auto platform = [](std::size_t size, const std::string& reason) {
    return "dropped a datagram of " + std::to_string(size) + " bytes from pid " + std::to_string(getpid()) + " uid " +
           std::to_string(getuid()) + ": " + reason;
  };
  const UINT reply = COMM_DIR_IPC_REPLY_SIZE;
  struct Row {
    std::function<void(Bytes&)> change;
    std::string dropped;  // the trace line's telling part; empty: taken
    uid_t as = 0;         // the sender's uid
    bool descriptor = false;
  } const rows[] = {
      {cut(127), platform(127, "it is shorter than 128 bytes")},
      {cut(128), below_reply},
      {cut(reply - 4), below_reply},
      {cut(reply - 1), below_reply},
      {length(0), platform(reply, "it is longer than its length word")},
      {length(reply - 1), platform(reply, "it is longer than its length word")},
      {length(65536), ""},  // the largest message
      {length(65537), platform(reply, above)},
      {length(~0u), platform(reply, above)},
      {[](Bytes& m) { m = Message(65537); }, platform(65537, "it is longer than the largest message")},
      {nullptr, platform(reply, "it carried more than credentials"), 0, true},
      {nullptr, "", kServiceUser},
      {nullptr, "uid 65534: the sender's uid is refused", 65534},
      {word(GEN_IPC_HDR_KIND_OFFSET, 2),  // no reply marker
       "flag=1 [ERROR]<static RETCODE velmarosta::comm_dir_ipc_multi_client::dispatch_client(char*, char*, int*)>("},
      {flip(116, 0x10000), no_call},
      {flip(72, 1), not_the_event},
      {[&late](Bytes& m) { m = late; }, no_call},  // the reply to the call that gave up
  };
  char process[16] = {};
  emwOSWGetProcessName(process);
  const std::string reply_server = Path("DIR_CS_" + std::string(process).substr(0, COMM_DIR_REPLY_SERVER_PROCESS_CHARS));
  std::size_t requests = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    if (row.as != 0 && geteuid() != 0) continue;  // needs root to become another user
    const Bytes payload = Tagged(++requests);
    auto call = Call(payload);
    Bytes good = ReplyTo(requests), bad = good;
    ASSERT_FALSE(good.empty());
    std::fill(bad.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, bad.end(), 'B');
    if (row.change) row.change(bad);
    const std::string counted = row.dropped.empty() ? "\n" : row.dropped;  // a reply taken writes no line
    const std::size_t before = Count(Trace(), counted);
    const auto files = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    const int fd = Socket(reply_server, false);
    iovec part{bad.data(), bad.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{nullptr, 0, &part, 1, row.descriptor ? control : nullptr, row.descriptor ? sizeof control : 0, 0};
    if (row.descriptor) {  // the socket itself
      *CMSG_FIRSTHDR(&message) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
      std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&message)), &fd, sizeof fd);
    }
    const auto send_bad = [&] { return sendmsg(fd, &message, 0) == static_cast<ssize_t>(bad.size()); };
    ASSERT_TRUE(row.as != 0 ? AsUser(row.as, send_bad) : send_bad()) << strerror(errno);
    close(fd);
    const auto bound = std::chrono::seconds(row.dropped.empty() ? 10 : 0);  // one taken ends the call by itself
    ASSERT_TRUE(call.wait_for(bound) == std::future_status::ready || commdir_test::send_reply_form(good) == 0);
    EXPECT_EQ(call.get(), CallResult(0, row.dropped.empty() ? Bytes(200, 'B') : payload));
    EXPECT_EQ(Count(Trace(), counted), before + (row.dropped.empty() ? 0 : 1)) << Trace().substr(Trace().size() - 300);
    EXPECT_TRUE(!row.descriptor || std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}) == files);
  }
  COMM_DIR_MULTI_IPC_CLNT unused{};
  EXPECT_EQ(client_->create_client((kClientName + "C").c_str(), kService.c_str(), 0, 0, 0, unused), -1);
  EXPECT_EQ(client_->create_client(kClientName.c_str(), (kService + "S").c_str(), 0, 0, 0, unused), -1);
}

// A server whose call waits: one that lives, however slow, is waited for,
// and so is one that stops but still answers what it took; the empty
// datagrams that asked after them leave no trace. One that ends (also with a
// new one at the name at once: the caller's socket names the one that
// ended), or that ends while the call's send waits for room in its queue,
// ends the call: -1, with the failed call's trace, and the next server
// answers the next call.
RETCODE Slow(char* message, char* unused, int* size) {
  std::this_thread::sleep_for(milliseconds(1500));  // six checks of the server
  return commdir_test::echo_dispatch(message, unused, size);
}
RETCODE StopsAndAnswers(char* message, char* unused, int* size) {
  emwGENIpcRequestAdmin(kService.c_str(), GEN_IPC_ADMIN_STOP);
  return Slow(message, unused, size);
}

TEST_F(LibraryTest, ACallGivesUpOnlyWhenItsServerHasEnded) {
  enum End { kLives, kEnds, kEndsAndANewOneStarts, kEndsWithAFullQueue };
  const std::tuple<PGEN_IPC_DISPATCH, End, const char*> rows[] = {
      {Slow, kLives, nullptr}, {StopsAndAnswers, kLives, nullptr}, {Record, kEnds, kWaitFailed},
      {Record, kEndsAndANewOneStarts, kWaitFailed},
      {nullptr, kEndsWithAFullQueue, "function failed : emwGENIpcCallClient ret=["}};
  for (auto [dispatch, end, failed] : rows) {
    SCOPED_TRACE(end);
    emwGENIpcRequestAdmin(kService.c_str(), GEN_IPC_ADMIN_STOP);
    const std::size_t traced = Trace().size();
    const std::string path = Path(kService.substr(5));
    int raw = -1;
    if (dispatch != nullptr) {
      ASSERT_EQ(Start(kService, dispatch), 0);
    } else {  // a server that does not read, its queue full
      raw = Socket(path, true);
      const int filler = Socket(path, false);
      for (int i = 0; i < 100000 && send(filler, Message(128).data(), 128, MSG_DONTWAIT) == 128; ++i) {
      }
      close(filler);
    }
    auto waiting = Call(Tagged(end));
    if (end == kLives) {
      EXPECT_EQ(waiting.get(), CallResult(0, Tagged(end)));
      EXPECT_EQ(Count(Trace().substr(traced), kServerEnded) + Count(Trace().substr(traced), "dropped"), 0u);
      EXPECT_TRUE(dispatch == Slow || access(path.c_str(), F_OK) != 0);
      continue;
    }
    EXPECT_EQ(waiting.wait_for(milliseconds(300)), std::future_status::timeout) << "it ended while its server lived";
    if (raw >= 0) close(raw);
    emwGENIpcRequestAdmin(kService.c_str(), GEN_IPC_ADMIN_STOP);
    ASSERT_TRUE(end != kEndsAndANewOneStarts || Start(kService, commdir_test::echo_dispatch) == 0);
    EXPECT_EQ(waiting.get().first, -1);
    const std::string traces = Trace().substr(traced);
    EXPECT_EQ(Count(traces, failed), 1u) << traces;
    EXPECT_EQ(Count(traces, kServerEnded), raw < 0 ? 1u : 0u) << traces;
    ASSERT_TRUE(end == kEndsAndANewOneStarts || Start(kService, commdir_test::echo_dispatch) == 0);
    EXPECT_EQ(Call(Tagged(9)).get(), CallResult(0, Tagged(9)));
  }
}

using LibraryConcurrencyTest = LibraryTest;

TEST_F(LibraryConcurrencyTest, SixtyFourCallersAnsweredInReverseEachGetTheirOwn) {
  std::vector<std::future<CallResult>> calls;
  for (std::size_t i = 0; i < 64; ++i) calls.push_back(Call(Tagged(i)));
  for (std::size_t n = 64; n > 0; --n) {
    Bytes reply = ReplyTo(n);
    ASSERT_EQ(commdir_test::send_reply_form(reply), 0);
  }
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(calls[i].get(), CallResult(0, Tagged(i))) << i;
}

// Callbacks from two threads at once through the callback endpoint, each
// thread's next after its reply: every callback runs once, with its own
// argument, before its reply, and every task slot is free again at the end.
// (A task holds its slot a moment after its reply, longer on a loaded
// machine: two threads leave the twelve slots six each.)
constexpr int kSenders = 2, kPerSender = 100, kCallbacks = kSenders * kPerSender;
std::array<std::atomic<int>, kCallbacks> g_callbacks{}, g_replied{};
std::atomic<int> g_faults{0};

struct Counter : comm_dir_callback {
  void on_callback(UINT number) override {
    if (number >= static_cast<UINT>(kCallbacks) || g_replied[number] != 0) ++g_faults;
    if (number < static_cast<UINT>(kCallbacks)) ++g_callbacks[number];
  }
};

TEST_F(LibraryConcurrencyTest, CallbacksFromTwoThreadsRunOnceEachBeforeTheirReply) {
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
                    reply != Bytes(COMM_DIR_REPLY_SIZE, 0);
        ++g_replied[n];
      }
    });
  }
  for (auto& t : senders) t.join();
  client_->destroy_client(endpoint);
  EXPECT_EQ(comm_dir_unregister_callback(word), 0);
  EXPECT_EQ(g_faults, 0);
  for (int n = 0; n < kCallbacks; ++n) EXPECT_EQ(g_callbacks[n], 1) << n;
  int probed = 0;  // every slot comes free (a task ends just after its reply): a probe takes them all
  for (int i = 0; i < 500 && probed < COMM_DIR_MAX_THREADS; ++i) {
    int index = 0;
    const bool took = comm_dir_ipc_multi_server::thread_check_empty(index) == 0 &&
                      comm_dir_ipc_multi_server::thread_regist("probe", index) == 0;
    if (!took) std::this_thread::sleep_for(milliseconds(10));
    probed += took;
  }
  int index = 0;
  EXPECT_TRUE(probed == COMM_DIR_MAX_THREADS && comm_dir_ipc_multi_server::thread_check_empty(index) != 0);
}

}  // namespace
