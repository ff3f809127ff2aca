// The POSIX platform over real threads and sockets, alone and under the
// library. Alone: its objects and their ids, the trace, the message IPC
// (names, a server's life, what travels, room in a queue, the caller that
// takes its own reply, the watch of a server whose reply is awaited), and the
// folders and peers it trusts, other users being forked children that switch
// their uid (as root only). Under the library: every datagram that the reply
// server must drop, callers and callbacks at once, and servers that end, stop
// or dawdle while a call waits.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <numeric>
#include <thread>

#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "support/read_file.h"
#include "support/reply_echo.h"

// When armed, the next connect() of this process runs `g_around_connect`
// before (false) and after (true) it: a row swaps a socket file there, as a
// user racing the platform's look at its owner would.
std::function<void(bool)> g_around_connect;
std::atomic<bool> g_connect_armed{false};

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "connect"));
  const bool armed = g_connect_armed.exchange(false);
  if (armed) g_around_connect(false);
  const int rc = real(fd, address, length);
  if (armed) g_around_connect(true);
  return rc;
}

namespace {

using namespace velmarosta;
using Bytes = std::vector<char>;
using CallResult = std::pair<RETCODE, Bytes>;
using std::chrono::milliseconds;
constexpr uid_t kService = 65534;   // the directory service's user where a row names it
constexpr uid_t kStranger = 65533;  // anyone else

void PutWord(Bytes& bytes, std::size_t offset, UINT word) { std::memcpy(&bytes[offset], &word, sizeof word); }

// A message of `length` bytes, its length word set as a raw sender must.
Bytes Message(std::size_t length, std::vector<std::pair<std::size_t, char>> bytes = {}) {
  Bytes message(length, 0);
  for (auto& [offset, byte] : bytes) message[offset] = byte;
  PutWord(message, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(length));
  return message;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A datagram socket bound at, or connected to, the socket file `path`.
int Socket(const std::string& path, bool bound) {
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto* to = reinterpret_cast<const sockaddr*>(&address);
  EXPECT_EQ(bound ? bind(fd, to, sizeof address) : connect(fd, to, sizeof address), 0) << path;
  return fd;
}

// Runs `body` as `uid` (and its group) in a forked child, or right here for
// 0; true when the child could switch and `body` returned true.
template <typename Body>
bool AsUser(uid_t uid, Body body) {
  if (uid == 0) return body();
  const pid_t child = fork();
  if (child == 0) _exit(setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0 && body() ? 0 : 1);
  int status = -1;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What the recording servers took, in order; and the threads that posted an
// event named by a request (byte 72).
std::mutex g_mu;
std::condition_variable g_taken_cv;
std::vector<Bytes> g_taken;
std::vector<pthread_t> g_posted;

RETCODE Record(char* message, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_taken.emplace_back(message, message + read_word(message, GEN_IPC_HDR_LENGTH_OFFSET));
  g_taken_cv.notify_all();
  return *size = 0;
}
RETCODE PostNamedEvent(char* message, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_posted.push_back(pthread_self());
  return *size = emwOSWPostEventSem(read_word(message, 72));
}

// What was taken, once there are `n` (bounded).
std::vector<Bytes> Taken(std::size_t n) {
  std::unique_lock<std::mutex> lock(g_mu);
  g_taken_cv.wait_for(lock, std::chrono::seconds(20), [n] { return g_taken.size() >= n; });
  return g_taken;
}

// Each test gets a private folder for its endpoints and its trace
// (trace.log); the servers it started are stopped after it.
class PosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(folder_.data()), nullptr) << folder_;
    setenv("COMM_DIR_IPC_DIR", folder_.c_str(), 1);
    setenv("COMM_DIR_TRACE", Path("trace.log").c_str(), 1);
  }
  void TearDown() override {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  RETCODE Start(const std::string& name, PGEN_IPC_DISPATCH dispatch = Record) {
    const RETCODE rc = emwGENIpcStartServer(name.c_str(), 0, 0x24000, dispatch);
    if (rc == 0) started_.push_back(name);
    return rc;
  }
  std::string Trace() const { return commdir_testing::read_file(Path("trace.log")); }
  std::string Path(const std::string& file) const { return folder_ + "/" + file; }

  std::string folder_ = std::filesystem::temp_directory_path() / "commdir-posix-XXXXXX";  // mode 0700
  std::vector<std::string> started_;
};

// --- the platform alone -------------------------------------------------------

using PlatformTest = PosixTest;

// Sends `message` over a client of its own.
RETCODE Send(const std::string& server, Bytes& message) {
  UINT clnt = 0;
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server.c_str(), 0, 0, 0, &clnt);
  if (rc == 0) rc = emwGENIpcCallClient(clnt, 0, 0, 0, message.data(), static_cast<INT>(message.size()), 0, 0, 0, ~0ul);
  return rc | emwGENIpcDestroyClient(clnt);
}

// What the library's exchange comes to: the caller creates an event, sends
// a request naming it (byte 72), and waits without limit for its post, by
// the server that takes the request or meanwhile.
RETCODE Exchange(
    const char* server, const std::function<void(UINT)>& meanwhile = [](UINT) {}) {
  UINT event = 0, clnt = 0;
  EXPECT_EQ(emwOSWCreateEventSem(&event, 0, 0) | emwGENIpcCreateClient("TEST_CLT", server, 0, 0, 0, &clnt), 0);
  Bytes request = Message(128);
  PutWord(request, 72, event);
  RETCODE rc = emwGENIpcCallClient(clnt, 0, 0, 0, request.data(), 128, 0, 0, 0, ~0ul);
  std::thread helper(meanwhile, event);
  if (rc == 0) rc = emwOSWWaitEventSem(event, -1);
  helper.join();
  return rc | emwOSWDeleteEventSem(event) | emwGENIpcDestroyClient(clnt);
}

// An id names only its own object while it lives: not when it is stale (its
// object deleted, another in its slot: a slot is reused once a thousand
// others are free), forged, or of another kind.
TEST_F(PlatformTest, AnIdNamesOnlyItsOwnLiveObject) {
  ASSERT_EQ(Start("utcp:IDS"), 0);
  const std::function<RETCODE(UINT)> finds[] = {[](UINT id) { return emwOSWRequestMutexSem(id, 0); },
                                                emwOSWPostEventSem, emwGENIpcDestroyClient};
  UINT stale[3], live[3];
  for (int round = -1; round < 1100; ++round) {
    EXPECT_EQ(emwOSWCreateMutexSem(&live[0], 0, 1) | emwOSWCreateEventSem(&live[1], 0, 0) |
                  emwGENIpcCreateClient("C", "utcp:IDS", 0, 0, 0, &live[2]),
              0);
    for (int k = 0; k < 3 && round >= 0; ++k) {
      for (UINT id : {stale[k], 0u, live[k] ^ 0x10000u, live[k] | 0xFFFFu, live[(k + 1) % 3], live[(k + 2) % 3]}) {
        ASSERT_EQ(finds[k](id), EINVAL) << k << " " << std::hex << id << " round " << std::dec << round;
      }
    }
    if (round < 0) std::copy(live, live + 3, stale);
    EXPECT_EQ(emwOSWDeleteMutexSem(&live[0]) | emwOSWDeleteEventSem(live[1]) | emwGENIpcDestroyClient(live[2]), 0);
  }
}

// A mutex belongs to its owner; an event stays posted until its reset, and
// a post or a deletion ends a wait; the process's name is the first of its
// own and its variants whose endpoints no live socket holds.
TEST_F(PlatformTest, MutexesEventsAndTheProcessName) {
  UINT id = 0;
  ASSERT_TRUE(emwOSWCreateMutexSem(&id, 0, 1) == 0 && emwOSWRequestMutexSem(id, -1) == 0);
  EXPECT_EQ(emwOSWRequestMutexSem(id, -1), EDEADLK);  // not a hang
  std::thread([id] {
    EXPECT_TRUE(emwOSWReleaseMutexSem(id) == EPERM && emwOSWRequestMutexSem(id, 20) == ETIMEDOUT);
  }).join();
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), EBUSY);
  EXPECT_TRUE(emwOSWReleaseMutexSem(id) == 0 && emwOSWDeleteMutexSem(&id) == 0);
  ASSERT_EQ(emwOSWCreateEventSem(&id, 0, 0), 0);
  EXPECT_TRUE(emwOSWWaitEventSem(id, 0) == ETIMEDOUT && emwOSWWaitEventSem(id, -2) == EINVAL);
  ASSERT_EQ(emwOSWPostEventSem(id), 0);
  EXPECT_TRUE(emwOSWWaitEventSem(id, -1) == 0 && emwOSWWaitEventSem(id, 0) == 0 &&
              emwOSWResetEventSem(id) == 0);  // still posted
  EXPECT_EQ(emwOSWWaitEventSem(id, 10), ETIMEDOUT);
  for (auto later : {emwOSWPostEventSem, emwOSWDeleteEventSem}) {
    std::thread other([&] { std::this_thread::sleep_for(milliseconds(20)), later(id); });
    EXPECT_EQ(emwOSWWaitEventSem(id, -1), later == emwOSWPostEventSem ? 0 : EIDRM);
    other.join(), emwOSWResetEventSem(id);
  }
  EXPECT_TRUE(emwOSWGetProcessName(nullptr) == EINVAL && emwOSWCreateMutexSem(nullptr, 0, 1) == EINVAL);
  const int held = Socket(Path("DIR_SVR_a_pro"), true);  // a live socket, not the library's: passed over
  char got_in_child[16] = {};
  for (const char* name : {"a_process name too long", "renamed"}) {
    ASSERT_EQ(prctl(PR_SET_NAME, name), 0);  // the main thread names the process
    char got[16] = {};
    std::thread([&] { pthread_setname_np(pthread_self(), "other"), emwOSWGetProcessName(got); }).join();
    EXPECT_STREQ(got, "a_p01cess_name_");  // chosen once, its endpoints bound since, and handed to their start
  }
  EXPECT_TRUE(access(Path("DIR_SVR_a_p01").c_str(), F_OK) == 0 && Start("utcp:DIR_CS_a_p01ce") == 0);
  const pid_t child = fork();  // named anew, after the name it has
  if (child == 0) _exit(emwOSWGetProcessName(got_in_child) == 0 && std::string(got_in_child) == "renamed" ? 0 : 1);
  int status = -1;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0);
  close(held);
}

// A text that peers fill can neither start a line of its own nor send a
// terminal a command: every control character is escaped, nothing else. A
// flood of one format is cut to its budget: the first line left out says
// so, and the next line of that format in a later window comes after the
// count of lines left out; other formats go on. A setting that cannot be
// read keeps the default budget; "off" lifts it.
TEST_F(PlatformTest, TraceLinesAreEscapedAndBudgeted) {
  const std::string long_text(10000, 'L');
  emwGENTrcPrintf(0x3409, 258, 1, "<%s>(%d) %s\n", long_text.c_str(), 42,
                  "a\nb\tc\rd\x1b[2Je\a\x01"
                  "f\x7fg\xc2\x9b"
                  "2J J\xc3\xbcrgen\xc2\xa0\\");
  setenv("COMM_DIR_TRACE", "off", 1);
  emwGENTrcPrintf(7, 8, 0, "never written");
  setenv("COMM_DIR_TRACE", Path("trace.log").c_str(), 1);
  std::string trace = Trace();
  EXPECT_EQ(trace.rfind("20", 0), 0u);  // the date first
  EXPECT_EQ(Count(trace, " pid=" + std::to_string(getpid()) + " tid="), 1u);
  EXPECT_EQ(Count(trace, "mod=0x3409 cat=258 flag=1 <" + long_text +
                             ">(42) a\\nb\\x09c\\x0dd\\x1b[2Je\\x07\\x01f\\x7fg\\xc2\\x9b2J J\xc3\xbcrgen\xc2\xa0\\\n"),
            1u);
  EXPECT_EQ(Count(trace, "\n"), 1u) << trace;

  setenv("COMM_DIR_TRACE_LIMIT", "3/1", 1);
  static const char kFlood[] = "flood %d.";
  for (int i = 0; i < 10; ++i) emwGENTrcPrintf(7, 8, 0, kFlood, i);
  emwGENTrcPrintf(7, 8, 0, "another format");
  std::this_thread::sleep_for(milliseconds(1100));
  emwGENTrcPrintf(7, 8, 0, kFlood, 10);
  trace = Trace();
  for (int i = 0; i < 11; ++i)
    EXPECT_EQ(Count(trace, "flood " + std::to_string(i) + ".\n"), i < 3 || i == 10 ? 1u : 0u);
  EXPECT_EQ(Count(trace, "flag=0 trace: leaving out further lines of this format for up to 1 s: flood %d.\n"), 1u);
  EXPECT_EQ(Count(trace, "another format\n"), 1u);
  EXPECT_LT(trace.find("flag=0 trace: left out 7 lines of this format: flood %d.\n"), trace.find("flood 10."));
  for (const char* setting : {"3-1", "-1/60", "off"}) {
    setenv("COMM_DIR_TRACE_LIMIT", setting, 1);
    static const char kMore[] = "more %s %d.";
    for (int i = 0; i < 60; ++i) emwGENTrcPrintf(7, 8, 0, kMore, setting, i);
    const std::string more = std::string("more ") + setting;
    EXPECT_EQ(Count(Trace(), more + " 49.\n") + Count(Trace(), more + " 50.\n"), setting[0] == 'o' ? 2u : 1u);
  }
}

// Names are 1 to 27 characters of a small alphabet after "utcp:". A name
// runs once, and again after a stop, reached through the pooled socket of
// before; a socket file of a dead process is replaced, a live one or a file
// that is no socket is not, and what holds it is said. Past 1,024
// descriptors, as a daemon may be.
TEST_F(PlatformTest, NamesAndTheLifeOfAServer) {
  std::vector<int> descriptors(1, open("/dev/null", O_RDONLY | O_CLOEXEC));
  while (descriptors.back() >= 0 && descriptors.back() < 1100) descriptors.push_back(dup(descriptors[0]));
  const std::string name32 = "utcp:" + std::string(27, 'n'), name33 = name32 + "n";
  const char* names[] = {name32.c_str(), "utcp:a.b-c_D9",  // the valid ones
                         name33.c_str(), "utcp:",         "COMM_DIR_SRV", "utcp:a/b", "utcp:a b",
                         "utcp:..",      "utcp:\xc3\xa9", "tcp:abc",      nullptr};
  UINT clnt[8] = {};
  for (const char* name : names) {
    const RETCODE valid = name == names[0] || name == names[1] ? 0 : EINVAL;
    EXPECT_EQ(emwGENIpcStartServer(name, 0, 0x24000, Record), valid);
    EXPECT_EQ(emwGENIpcCreateClient("C", name, 0, 0, 0, clnt), valid);
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwGENIpcRequestAdmin(name, GEN_IPC_ADMIN_STOP), valid);
  }
  EXPECT_EQ(emwGENIpcCreateClient(name33.c_str(), name32.c_str(), 0, 0, 0, clnt), EINVAL);
  for (char tag : {'\1', '\2'}) {
    Bytes message = Message(200, {{150, tag}});
    ASSERT_EQ(Start("utcp:LIFE"), 0);
    EXPECT_EQ(Start("utcp:LIFE"), EADDRINUSE);
    ASSERT_EQ(Send("utcp:LIFE", message), 0);
    EXPECT_EQ(Taken(tag).back(), message);
    ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
    EXPECT_NE(access(Path("LIFE").c_str(), F_OK), 0);
    EXPECT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), ENOENT);
    EXPECT_TRUE(tag == 1 || Send("utcp:LIFE", message) != 0);  // not before: the pooled socket is to reconnect
  }
  const int other = Socket(Path("STALE"), true);
  EXPECT_EQ(Start("utcp:STALE"), EADDRINUSE);
  EXPECT_EQ(Count(Trace(), "utcp:STALE cannot be served: " + Path("STALE") + " is the socket of pid " +
                               std::to_string(getpid()) + " ("),
            1u);  // the holder, when the kernel tells it
  close(other);
  EXPECT_EQ(Start("utcp:STALE"), 0);
  std::ofstream(Path("PLAIN")) << "keep";
  EXPECT_EQ(Start("utcp:PLAIN"), EADDRINUSE);
  EXPECT_EQ(access(Path("PLAIN").c_str(), F_OK), 0);
  char why[512];
  EXPECT_EQ(commdir_posix_ipc_start_failure(why, sizeof why), 0);
  EXPECT_EQ(why, "cannot serve utcp:PLAIN: " + Path("PLAIN") + " is a file of uid " + std::to_string(geteuid()) +
                     " that is not a socket; remove it");
  // At its end a process removes its own files, not one that another bound since at the path of one.
  ASSERT_EQ(Start("utcp:GONE"), 0);
  unlink(Path("GONE").c_str());
  const int since = Socket(Path("GONE"), true);
  commdir_posix_ipc_remove_own_files();
  EXPECT_TRUE(access(Path("STALE").c_str(), F_OK) != 0 && access(Path("GONE").c_str(), F_OK) == 0);
  close(since);
  for (int fd : descriptors) close(fd);
}

// A sender leaves a message's trailing zeros out of the datagram (never its
// header, whose words are the platform's), told where they begin or not,
// and leaves the caller's buffer as it was. (The receiver restores them:
// the reply server's table below.) A send waits for room in the server's
// queue as long as its time-out says: 0 only tries, a bound gives ETIMEDOUT
// after it, -1 waits until the server takes a message off its queue.
TEST_F(PlatformTest, TrailingZerosStayHomeAndASendWaitsForRoom) {
  const int raw = Socket(Path("RAW"), true);  // in a server's place, it shows what travels; reads only when told
  UINT clnt = 0;
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:RAW", 0, 0, 0, &clnt), 0);
  constexpr std::size_t kPlain = ~std::size_t{0};  // zero_from for the send that is not told
  const Bytes tail = Message(49280, {{124, 7}, {199, 9}});
  const std::tuple<Bytes, INT, std::size_t, ssize_t> rows[] = {// message, kind, zero_from, datagram
                                                               {tail, 0, kPlain, 200},
                                                               {Message(49284, {{49283, 1}}), 1, kPlain, 49284},
                                                               {Message(128), 0, kPlain, 128},
                                                               {Message(49280, {{3, 1}, {71, 1}}), 1, kPlain, 128},
                                                               {tail, 0, 49280, 200},
                                                               {tail, 0, 200, 200},
                                                               {tail, 0, 1000000, 200},
                                                               {tail, 0, 190, 128},
                                                               {tail, 0, 0, 128}};
  for (auto [message, kind, zero_from, datagram] : rows) {
    Bytes sent = message, got(65536);
    const INT length = static_cast<INT>(sent.size());
    const RETCODE rc = zero_from == kPlain
                           ? emwGENIpcCallClient(clnt, kind, 0, 0, sent.data(), length, 0, 0, 0, ~0ul)
                           : commdir_posix_ipc_send_zero_tail(clnt, kind, sent.data(), length, zero_from, ~0ul);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(recv(raw, got.data(), got.size(), 0), datagram) << zero_from;
    EXPECT_EQ(read_word(got.data(), GEN_IPC_HDR_LENGTH_OFFSET), message.size());
    EXPECT_EQ(read_word(got.data(), GEN_IPC_HDR_KIND_OFFSET) + read_word(got.data(), 0), static_cast<UINT>(kind));
    EXPECT_EQ(sent, message);
  }
  Bytes m = Message(128);
  auto send = [&](ULONG timeout) { return emwGENIpcCallClient(clnt, 0, 0, 0, m.data(), 128, 0, 0, 0, timeout); };
  for (int queued = 0; send(0) == 0;) ASSERT_LT(++queued, 10000) << "the queue never filled";
  EXPECT_EQ(send(100), ETIMEDOUT);
  for (ULONG timeout : {~0ul, 5000ul}) {
    auto waiting = std::async(std::launch::async, send, timeout);
    EXPECT_EQ(waiting.wait_for(milliseconds(100)), std::future_status::timeout) << "did not wait for room";
    char taken[128];  // not into m, which the waiting send reads
    ASSERT_GT(recv(raw, taken, sizeof taken, 0), 0);
    EXPECT_EQ(waiting.get(), 0);
  }
  close(raw);
}

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

enum Kind { kMissing, kDirectory, kSymlink };
struct Made {
  Kind kind;
  mode_t mode;
  uid_t owner;
};

class OtherUsersTest : public PosixTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    PosixTest::SetUp();
    ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);  // other users pass through to the folders
    unsetenv("COMM_DIR_SERVICE_USER");
    umask(022);
  }
  // `path` made a directory of `mode` and `owner`, or a symbolic link to one.
  static void Make(const std::string& path, Made made) {
    const std::string real = made.kind == kSymlink ? path + ".real" : path;
    ASSERT_TRUE(made.kind == kMissing || (mkdir(real.c_str(), 0700) == 0 && chmod(real.c_str(), made.mode) == 0 &&
                                          chown(real.c_str(), made.owner, -1) == 0));
    ASSERT_TRUE(made.kind != kSymlink || symlink(real.c_str(), path.c_str()) == 0);
  }
  // A server's socket file `name` in the shared folder, of `owner`, which
  // every user may write (as the platform leaves it there); open while `live`.
  int Server(const std::string& name, uid_t owner, bool live) {
    const std::string path = Path("shared/" + name);
    unlink(path.c_str());
    const int fd = Socket(path, true);
    EXPECT_TRUE(chown(path.c_str(), owner, -1) == 0 && chmod(path.c_str(), 0666) == 0 && (live || close(fd) == 0));
    return live ? fd : -1;
  }
};

// A folder is taken only when no user that this process does not trust can
// put another in its place or replace its endpoints. A row: the default
// folder or not (XDG_RUNTIME_DIR names `above`), the folder above, the folder
// ("ipc", COMM_DIR_IPC_DIR, or "commdir" by default), COMM_DIR_SERVICE_USER
// (or null), a part of the refusal's reason (null: taken), and the socket
// file's group and others bits when taken.
TEST_F(OtherUsersTest, AFolderIsTakenOnlyWhenNoUntrustedUserCanReplaceIt) {
  struct Row {
    bool by_default;
    Made above, folder;
    const char *service, *refusal;
    mode_t socket_others;
  };
  const Made up{kDirectory, 0755, 0}, runtime{kDirectory, 0700, 0}, mine{kDirectory, 0700, 0};
  const Row rows[] = {
      {false, up, mine, nullptr, nullptr, 0055},
      {false, up, {kMissing, 0, 0}, nullptr, nullptr, 0055},  // made, private
      {false, up, {kDirectory, 01770, 0}, nullptr, nullptr, 0066},
      {false, up, {kDirectory, 01733, 0}, nullptr, nullptr, 0066},
      {false, up, {kDirectory, 0770, 0}, nullptr, "is not sticky", 0},
      {false, up, {kDirectory, 02777, 0}, nullptr, "is not sticky", 0},
      {false, up, {kDirectory, 01770, kService}, "65534", nullptr, 0066},
      {false, up, {kDirectory, 0700, kService}, "65534", nullptr, 0066},  // root's process in the service's folder
      {false, up, {kDirectory, 01777, kService}, "nobody", nullptr, 0066},
      {false, up, {kDirectory, 01777, kStranger}, nullptr, "belongs to uid 65533", 0},
      {false, up, {kDirectory, 01777, kStranger}, "65534", "whom this process does not trust", 0},
      {false, up, {kSymlink, 0700, 0}, nullptr, "not a directory", 0},
      {false, up, mine, "no-such-user-x", "names no user", 0},
      {false, {kDirectory, 0755, kStranger}, mine, nullptr, "which belongs to uid 65533", 0},
      {false, {kDirectory, 0777, 0}, mine, nullptr, "which others may write", 0},
      {false, {kDirectory, 01777, 0}, mine, nullptr, nullptr, 0055},
      {false, {kSymlink, 0700, 0}, mine, nullptr, "symbolic link", 0},
      {true, runtime, {kMissing, 0, 0}, nullptr, nullptr, 0055},
      {true, runtime, {kDirectory, 0750, 0}, nullptr, "make it private", 0},
      {true, runtime, {kDirectory, 01777, kStranger}, nullptr, "belongs to uid 65533", 0},
      {true, runtime, {kDirectory, 0700, kService}, "65534", "belongs to uid 65534", 0},
  };
  char chosen[108] = {}, problem[512] = {};
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    const std::string above = Path(std::to_string(&row - rows)),
                      folder = above + (row.by_default ? "/commdir" : "/ipc");
    Make(above, row.above);
    Make(folder, row.folder);
    setenv(row.by_default ? "XDG_RUNTIME_DIR" : "COMM_DIR_IPC_DIR", row.by_default ? above.c_str() : folder.c_str(), 1);
    if (row.by_default) unsetenv("COMM_DIR_IPC_DIR");
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    UINT clnt = 0;
    const RETCODE checked = commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem),
                  started = Start("utcp:F"), created = emwGENIpcCreateClient("C", "utcp:F", 0, 0, 0, &clnt);
    EXPECT_EQ(chosen, folder);
    struct stat st {};
    if (row.refusal == nullptr) {
      EXPECT_EQ(checked | started | created | emwGENIpcDestroyClient(clnt), 0) << problem;
      EXPECT_TRUE(row.folder.kind != kMissing || (lstat(folder.c_str(), &st) == 0 && (st.st_mode & 07777) == 0700));
      EXPECT_TRUE(stat((folder + "/F").c_str(), &st) == 0 &&
                  (st.st_mode & 0077) == row.socket_others);  // who may connect
    } else {
      EXPECT_NE(std::string(problem).find(row.refusal), std::string::npos) << problem;
      EXPECT_TRUE(checked == EACCES && started == EACCES && created == EACCES);               // nothing is sent into it
      EXPECT_EQ(Count(Trace(), "ipc folder " + folder + " refused: " + problem + "\n"), 2u);  // start, client
    }
    emwGENIpcRequestAdmin("utcp:F", GEN_IPC_ADMIN_STOP);
    for (const char* name : {"COMM_DIR_SERVICE_USER", "XDG_RUNTIME_DIR"}) unsetenv(name);
  }
  setenv("COMM_DIR_IPC_DIR", "relative/ipc", 1);  // it would depend on the working directory
  EXPECT_EQ(commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem), EACCES);
  EXPECT_STREQ(problem, "COMM_DIR_IPC_DIR must be an absolute path");

  // The default folder is the runtime directory only when that is the
  // user's and private; else /tmp/commdir-<uid>, as the user finds it.
  unsetenv("COMM_DIR_IPC_DIR");
  for (auto [mode, owner] : {std::pair<mode_t, uid_t>{0700, 0}, {0755, 64871}, {0700, 64871}}) {
    const std::string dir = Path("run" + std::to_string(mode) + "-" + std::to_string(owner));
    Make(dir, {kDirectory, mode, owner});
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    const std::string expected = owner != 0 && mode == 0700 ? dir + "/commdir" : "/tmp/commdir-64871";
    EXPECT_TRUE(AsUser(64871, [&] {  // a uid that no other test uses: its /tmp folder is this test's
      return commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem) == 0 && chosen == expected;
    })) << dir;
  }
  std::filesystem::remove_all("/tmp/commdir-64871");
}

// A client reaches only a server whose socket file belongs to a user it
// trusts, looked at again after the connect and whenever a pooled socket
// connects anew; a pooled socket goes only to a client that trusts its
// server's owner. (A server takes the datagrams of the users it trusts: the
// reply server's table below; an open one anyone's: the daemon's, serving
// other users in the integration tests, users_test.) A row: who owns the
// server's socket file; whether the server runs (else connecting is
// refused); COMM_DIR_SERVICE_USER; the
// client's euid; the owner of a client that came first and left its socket
// pooled (or kApplication); the owner given to
// commdir_posix_ipc_create_client_of (or kApplication, a client of this
// process's trust); what creating gives (ECONNREFUSED: the owner passed and
// connecting was tried); whose live server takes the name between the look
// and the connect (or 0); whether a new server of the owner takes the name
// after the connect; whose server replaces the pooled one's before the send
// (or 0). A stale socket file of another user, which a user may not remove,
// holds its name: a process of that name takes a variant.
TEST_F(OtherUsersTest, AClientReachesOnlyServersOfUsersItTrustsAndAServerTakesOnlyTheirs) {
  Make(Path("shared"), {kDirectory, 01777, 0});
  setenv("COMM_DIR_IPC_DIR", Path("shared").c_str(), 1);
  constexpr uid_t kApplication = 0, kUser = 64872;  // kUser: a user of the shared folder, not root
  struct Row {
    uid_t binder;
    bool live;
    const char* service;
    uid_t as, pooled, of;
    RETCODE created;
    uid_t swapped_in = 0;
    bool put_back = false;
    uid_t rebound = 0;
  };
  const Row rows[] = {
      {kService, false, "65534", 0, kApplication, kApplication, ECONNREFUSED},  // the service user's, named
      {kService, false, nullptr, 0, kApplication, kApplication, EACCES},        // ... not named
      {kStranger, false, "65534", 0, kApplication, kApplication, EACCES},
      {kUser, false, nullptr, kUser, kApplication, kApplication, ECONNREFUSED},  // own, as a user
      {0, false, nullptr, kUser, kApplication, kApplication, ECONNREFUSED},      // root's, as a user
      {kService, false, nullptr, 0, kApplication, kService, ECONNREFUSED},       // the requester's
      {0, false, nullptr, 0, kApplication, kService, ECONNREFUSED},              // root's, for a requester
      {kStranger, false, nullptr, 0, kApplication, kService, EACCES},
      {kUser, false, nullptr, kUser, kApplication, kService, EACCES},               // own, for another requester
      {kService, true, nullptr, 0, kService, kService, 0},                          // pooled for the requester
      {kService, true, nullptr, 0, kService, kStranger, EACCES},                    // ... asked for another
      {kService, true, "65534", 0, kService, kApplication, 0},                      // ... asked by the application
      {kService, true, "65534", 0, kApplication, kApplication, EACCES, kStranger},  // exchanged during the connect
      {kService, true, "65534", 0, kApplication, kApplication, EACCES, kStranger, true},  // ... and back after it
      {kService, true, nullptr, 0, kService, kService, 0, 0, false, kStranger},  // pooled, then another's at the name
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    const std::string name = "S" + std::to_string(&row - rows), server = "utcp:" + name;
    int fd = Server(name, row.binder, row.live),
        swapped = row.swapped_in ? Server(name + ".new", row.swapped_in, true) : -1,
        put_back = row.put_back ? Server(name + ".back", row.binder, true) : -1;
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    auto create = [&](uid_t of, UINT* clnt) {
      return of == kApplication ? emwGENIpcCreateClient("C", server.c_str(), 0, 0, 0, clnt)
                                : commdir_posix_ipc_create_client_of("C", server.c_str(), of, clnt);
    };
    g_around_connect = [&](bool after) {
      rename(Path("shared/" + name + (after ? ".back" : ".new")).c_str(), Path("shared/" + name).c_str());
    };
    g_connect_armed = row.swapped_in != 0;
    UINT clnt = 0;
    ASSERT_TRUE(row.pooled == kApplication || (create(row.pooled, &clnt) == 0 && emwGENIpcDestroyClient(clnt) == 0));
    if (row.rebound != 0) close(fd), fd = Server(name, row.rebound, true);
    EXPECT_TRUE(AsUser(row.as, [&] { return create(row.of, &clnt) == row.created; }));
    Bytes m = Message(128);
    if (row.as == 0 && row.created == 0) {
      EXPECT_EQ(emwGENIpcCallClient(clnt, 0, 0, 0, m.data(), 128, 0, 0, 0, ~0ul), row.rebound ? EACCES : 0);
      emwGENIpcDestroyClient(clnt);
      EXPECT_EQ(recv(fd, m.data(), 128, MSG_DONTWAIT), row.rebound ? -1 : 128);
    }
    const std::string refused =
        row.swapped_in ? " refused: its socket file changed while connecting"
                       : " refused: its server runs as uid " + std::to_string(row.rebound ? row.rebound : row.binder);
    EXPECT_EQ(Count(Trace(), "/" + name + refused), row.swapped_in || row.rebound || row.created == EACCES ? 1u : 0u);
    EXPECT_TRUE(swapped < 0 || recv(swapped, m.data(), 128, MSG_DONTWAIT) == -1);  // it got nothing
    for (int socket : {fd, swapped, put_back}) close(socket);
    unsetenv("COMM_DIR_SERVICE_USER");
  }
  Server("DIR_SVR_s_too", kStranger, false);  // stale, and another's: it holds the name
  EXPECT_TRUE(AsUser(kUser, [] {
    char name[16] = {};
    return prctl(PR_SET_NAME, "s_too") == 0 && emwOSWGetProcessName(name) == 0 && std::string(name) == "s_t01";
  }));
}

// --- the library over the platform --------------------------------------------

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
