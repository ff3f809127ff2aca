// The caller that takes its own reply, the watch of a server whose reply is
// awaited, and the library's reply server over the platform: every datagram
// it must drop, callers at once, and servers that end, stop or dawdle while
// a call waits.
#include "support/posix_harness.h"

namespace {

using namespace commdir_posix_test;

// Once the first replies have shown where replies come, a lone caller takes
// its reply on its own thread (one that comes back while the thread is still
// busy waits for the thread instead, so ten of a bounded number will do). A
// caller that receives there is woken by a post of its event elsewhere; a
// stop of that server while it receives ends neither the stop nor the wait
// wrongly. With the hand-off switched off, no reply is taken on the caller.
TEST_F(PlatformTest, AWaitingCallerTakesItsOwnReply) {
  const char* hand_off = std::getenv("COMM_DIR_CALLER_RECEIVES");
  const std::size_t expected = hand_off != nullptr && std::string(hand_off) == "off" ? 0 : 10;
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent) | Start("utcp:MUTE"), 0);
  std::size_t exchanges = 0, on_the_caller = 0;
  for (; on_the_caller < 10 && exchanges < 2000; ++exchanges) {
    ASSERT_EQ(Exchange("utcp:RPL"), 0);
    std::lock_guard<std::mutex> lock(g_mu);
    ASSERT_EQ(g_posted.size(), exchanges + 1);  // each reply dispatched once
    on_the_caller += exchanges > 2 && pthread_equal(g_posted.back(), pthread_self());
  }
  EXPECT_FALSE(pthread_equal(g_posted[0], pthread_self()));
  EXPECT_EQ(on_the_caller, expected) << "after " << exchanges << " exchanges";
  RETCODE stopped = -1;
  for (bool stop : {false, true}) {  // a post by a thread that does not dispatch there wakes it
    EXPECT_EQ(Exchange("utcp:MUTE",
                       [&](UINT event) {
                         std::this_thread::sleep_for(milliseconds(30));
                         if (stop) stopped = emwGENIpcRequestAdmin("utcp:RPL", GEN_IPC_ADMIN_STOP);
                         emwOSWPostEventSem(event);
                       }),
              0);
  }
  EXPECT_EQ(stopped, 0);
}

// Callers that began to wait before the first replies showed where replies
// come are counted by no caller that receives there; one that receives
// and gives the role back knowing of none leaves them to the server's
// thread, asleep while it received: their replies reach them all the same.
TEST_F(PlatformTest, RepliesReachCallersThatWaitedBeforeTheirServerWasKnown) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent) | Start("utcp:MUTE"), 0);
  const auto reply_at_rpl = [](UINT event) {  // a little later, to the server where replies come
    std::this_thread::sleep_for(milliseconds(30));
    Bytes reply = Message(128);
    PutWord(reply, 72, event);
    EXPECT_EQ(Send("utcp:RPL", reply), 0);
  };
  std::vector<std::promise<UINT>> named(4);
  std::vector<std::future<RETCODE>> early;
  for (auto& event : named) {
    early.push_back(std::async(std::launch::async,
                               [&event] { return Exchange("utcp:MUTE", [&event](UINT id) { event.set_value(id); }); }));
  }
  std::vector<UINT> events;
  for (auto& event : named) events.push_back(event.get_future().get());
  std::this_thread::sleep_for(milliseconds(50));  // they wait, not knowing where replies come
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Exchange("utcp:MUTE", reply_at_rpl), 0);  // the last on this caller
  for (UINT event : events) reply_at_rpl(event);
  for (auto& call : early) EXPECT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  emwGENIpcRequestAdmin("utcp:MUTE", GEN_IPC_ADMIN_STOP);  // ends the waits of a run that failed
}

// Only a wait without limit, on the event created last before a request
// went out, watches the server that it went to; every other wait is as it
// was, also after that server has ended. A wait that must not give up is
// posted after several check intervals, so that a wrong watch ends it first.
TEST_F(PlatformTest, OnlyAWaitWithoutLimitOnTheRequestsEventWatchesItsServer) {
  const std::tuple<INT, bool, INT, bool, RETCODE> rows[] = {// kind, event made after, timeout, waited before, rc
                                                            {0, false, -1, false, ECONNRESET},
                                                            {0, false, 600, false, ETIMEDOUT},
                                                            {0, true, -1, false, 0},
                                                            {0, false, -1, true, 0},
                                                            {1, false, -1, false, 0}};
  for (auto [kind, made_after, timeout, waited_before, expected] : rows) {
    ASSERT_EQ(Start("utcp:GATED"), 0);
    UINT clnt[8] = {}, events[2] = {};
    ASSERT_EQ(emwGENIpcCreateClient("TEST_CLT", "utcp:GATED", 0, 0, 0, clnt) | emwOSWCreateEventSem(&events[0], 0, 0),
              0);
    ASSERT_EQ(emwGENIpcCallClient(clnt[0], kind, 0, 0, Message(128).data(), 128, 0, 0, 0, ~0ul), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&events[1], 0, 0), 0);
    ASSERT_EQ(emwGENIpcRequestAdmin("utcp:GATED", GEN_IPC_ADMIN_STOP), 0);  // its socket is closed now
    const UINT target = events[made_after];
    EXPECT_TRUE(!waited_before || emwOSWWaitEventSem(target, -1) == ECONNRESET);
    const milliseconds late(expected == 0 ? 600 : 2000);  // late enough for a wrong watch; never a hang
    auto poster = std::async(std::launch::async, [=] {
      std::this_thread::sleep_for(late);
      emwOSWPostEventSem(target);
    });
    EXPECT_EQ(emwOSWWaitEventSem(target, timeout), expected) << kind << made_after << timeout << waited_before;
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwOSWDeleteEventSem(events[0]) | emwOSWDeleteEventSem(events[1]), 0);
  }
}

// --- other users ------------------------------------------------------------

const std::string kServer = "utcp:" + std::string(27, 'S');  // the longest names there are
const std::string kClientName(32, 'C');
constexpr char kServerEnded[] = "the server that a reply was awaited from has ended";

// The reply to the `n`th request (from 1) that the service took.
Bytes ReplyTo(std::size_t n) {
  const std::vector<Bytes> taken = Taken(n);
  return taken.size() < n ? Bytes() : commdir_test::reply_to(taken[n - 1].data());
}

// A payload of 200 bytes: 76 marked by `tag`, then zeros that the platform
// leaves out of the datagram and restores, from a buffer that held others.
Bytes Tagged(std::size_t tag) {
  Bytes payload(200);
  std::iota(payload.begin(), payload.begin() + 76, static_cast<char>(tag * 7));
  return payload;
}

class LibraryTest : public PosixTest {
 protected:
  void SetUp() override {
    PosixTest::SetUp();
    setenv("COMM_DIR_SERVICE_USER", std::to_string(kService).c_str(), 1);  // its replies are taken
    client_ = comm_dir_ipc_multi_client::get_instance();                   // its reply server starts here
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(Start(kServer), 0);
    ASSERT_EQ(client_->create_client(kClientName.c_str(), kServer.c_str(), 0, 0, COMM_DIR_IPC_ID_SERVICE, clnt_), 0);
  }
  void TearDown() override {
    client_->destroy_client(clnt_);
    PosixTest::TearDown();
  }
  // A call with `payload` on a thread of its own: its result and what came back.
  std::future<CallResult> Call(Bytes payload) {
    return std::async(std::launch::async, [this, payload]() mutable {
      Bytes received(payload.size(), 0);
      const RETCODE rc =
          client_->call_client(clnt_, 12, 0, 0, payload.data(), 200, received.data(), 200, nullptr, ~0UL);
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
// zeros, restored where the dropped one's bytes were. A row: how the
// datagram is made from the reply, the trace line's telling part (empty:
// taken), the sender's uid (0: this process), and whether it carries a
// descriptor.
TEST_F(LibraryTest, EveryDatagramThatIsNoReplyToTheWaitingCallIsDropped) {
  auto gave_up = Call(Tagged(0));  // its server stops while it waits; its reply comes late
  const Bytes late = ReplyTo(1);
  ASSERT_EQ(emwGENIpcRequestAdmin(kServer.c_str(), GEN_IPC_ADMIN_STOP), 0);
  EXPECT_EQ(gave_up.get().first, -1);
  ASSERT_EQ(Start(kServer), 0);

  const std::string below_reply = "reply dropped : length=[", no_call = "names no waiting call",
                    above = "its length word is above the largest message";
  const auto word = [](std::size_t offset, UINT value) { return [=](Bytes& m) { PutWord(m, offset, value); }; };
  const auto length = [&](UINT value) { return word(GEN_IPC_HDR_LENGTH_OFFSET, value); };
  const auto cut = [](UINT size) {
    return [size](Bytes& m) { m.resize(size), PutWord(m, GEN_IPC_HDR_LENGTH_OFFSET, size); };
  };
  const auto flip = [](int offset, UINT bits) {
    return [=](Bytes& m) { PutWord(m, offset, read_word(&m[0], offset) ^ bits); };
  };
  const auto platform = [](std::size_t size, const std::string& reason) {
    return "dropped a datagram of " + std::to_string(size) + " bytes from pid " + std::to_string(getpid()) + " uid " +
           std::to_string(getuid()) + ": " + reason;
  };
  const UINT reply = COMM_DIR_IPC_REPLY_SIZE;
  struct Row {
    std::function<void(Bytes&)> change;
    std::string dropped;
    uid_t as = 0;
    bool descriptor = false;
  };
  const Row rows[] = {
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
      {nullptr, "", kService},
      {nullptr, "uid 65533: the sender's uid is refused", kStranger},
      {word(GEN_IPC_HDR_KIND_OFFSET, 2),  // no reply marker
       "flag=1 [ERROR]<static RETCODE velmarosta::comm_dir_ipc_multi_client::dispatch_client(char*, char*, int*)>("},
      {flip(116, 0x10000), no_call},
      {flip(72, 1), "is not the call's"},
      {[&late](Bytes& m) { m = late; }, no_call},  // the reply to the call that gave up
  };
  const std::string reply_server = Path(late.data() + 84 + 5);  // as the requests name it, after "utcp:"
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
    *reinterpret_cast<cmsghdr*>(control) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};  // the socket itself
    std::memcpy(CMSG_DATA(reinterpret_cast<cmsghdr*>(control)), &fd, sizeof fd);
    ASSERT_TRUE(AsUser(row.as, [&] { return sendmsg(fd, &message, 0) == static_cast<ssize_t>(bad.size()); }));
    close(fd);
    const auto bound = std::chrono::seconds(row.dropped.empty() ? 10 : 0);  // one taken ends the call by itself
    ASSERT_TRUE(call.wait_for(bound) == std::future_status::ready || commdir_test::send_reply_form(good) == 0);
    EXPECT_EQ(call.get(), CallResult(0, row.dropped.empty() ? Bytes(200, 'B') : payload));
    EXPECT_EQ(Count(Trace(), counted), before + (row.dropped.empty() ? 0 : 1)) << Trace().substr(Trace().size() - 300);
    EXPECT_TRUE(!row.descriptor || std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}) == files);
  }
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
std::string g_row_server;  // the server of the row under way
RETCODE StopsAndAnswers(char* message, char* unused, int* size) {
  emwGENIpcRequestAdmin(g_row_server.c_str(), GEN_IPC_ADMIN_STOP);
  return Slow(message, unused, size);
}

TEST_F(LibraryTest, ACallGivesUpOnlyWhenItsServerHasEnded) {
  enum End { kLives, kEndsAndANewOneStarts, kEndsWithAFullQueue };
  const std::tuple<PGEN_IPC_DISPATCH, End, const char*> rows[] = {
      {Slow, kLives, nullptr},
      {StopsAndAnswers, kLives, nullptr},
      {Record, kEndsAndANewOneStarts, "function failed : emwOSWWaitEventSem ret=[0x68]"},
      {nullptr, kEndsWithAFullQueue, "function failed : emwGENIpcCallClient ret=["}};
  int row = 0;
  for (auto [dispatch, end, failed] : rows) {
    // Each row calls a server of its own name: a server stopped just before
    // may still hold a socket that the client's pooled one is connected to.
    g_row_server = "utcp:END" + std::to_string(row++);
    SCOPED_TRACE(g_row_server);
    const std::size_t traced = Trace().size();
    const std::string path = Path(g_row_server.substr(5));
    ASSERT_TRUE(dispatch == nullptr || Start(g_row_server, dispatch) == 0);
    const int raw = dispatch ? -1 : Socket(path, true),
              filler = dispatch ? -1 : Socket(path, false);  // no reader, a full queue
    for (const Bytes m = Message(128); filler >= 0 && send(filler, m.data(), 128, MSG_DONTWAIT) == 128;) continue;
    close(filler);
    client_->destroy_client(clnt_);
    ASSERT_EQ(client_->create_client(kClientName.c_str(), g_row_server.c_str(), 0, 0, COMM_DIR_IPC_ID_SERVICE, clnt_),
              0);
    auto waiting = Call(Tagged(end));
    if (end == kLives) {
      EXPECT_EQ(waiting.get(), CallResult(0, Tagged(end)));
      EXPECT_EQ(Count(Trace().substr(traced), kServerEnded) + Count(Trace().substr(traced), "dropped"), 0u);
      EXPECT_TRUE(dispatch == Slow || access(path.c_str(), F_OK) != 0);
      continue;
    }
    EXPECT_EQ(waiting.wait_for(milliseconds(300)), std::future_status::timeout) << "it ended while its server lived";
    close(raw);
    emwGENIpcRequestAdmin(g_row_server.c_str(), GEN_IPC_ADMIN_STOP);
    ASSERT_TRUE(raw >= 0 || Start(g_row_server, commdir_test::echo_dispatch) == 0);
    EXPECT_EQ(waiting.get().first, -1);
    const std::string traces = Trace().substr(traced);
    EXPECT_EQ(Count(traces, failed), 1u) << traces;
    EXPECT_EQ(Count(traces, kServerEnded), raw < 0 ? 1u : 0u) << traces;
    ASSERT_TRUE(raw < 0 || Start(g_row_server, commdir_test::echo_dispatch) == 0);
    EXPECT_EQ(Call(Tagged(9)).get(), CallResult(0, Tagged(9)));
  }
}

TEST_F(LibraryTest, SixtyFourCallersAnsweredInReverseEachGetTheirOwn) {
  std::vector<std::future<CallResult>> calls;
  for (std::size_t i = 0; i < 64; ++i) calls.push_back(Call(Tagged(i)));
  for (std::size_t n = 64; n > 0; --n) {
    Bytes reply = ReplyTo(n);
    ASSERT_EQ(commdir_test::send_reply_form(reply), 0);
  }
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(calls[i].get(), CallResult(0, Tagged(i))) << i;
}

}  // namespace
