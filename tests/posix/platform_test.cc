// The POSIX platform over real threads and sockets: its objects and their
// ids, the trace, the message IPC (names, a server's life, what travels,
// room in a queue, the caller that takes its own reply, the watch of a server
// whose reply is awaited), and the folders and peers it trusts, other users
// being forked children that switch their uid (as root only).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>

#include "platform/emw_gen_trc.h"
#include "posix/posix_testing.h"

// Run around the next connect() of this process when armed: a row swaps a
// socket file there, as a user racing the platform's look at its owner
// would. The platform's connect() comes here first.
std::function<void()> g_before_connect, g_after_connect;
std::atomic<bool> g_connect_armed{false};

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "connect"));
  if (!g_connect_armed.exchange(false)) return real(fd, address, length);
  g_before_connect();
  const int rc = real(fd, address, length);
  g_after_connect();
  return rc;
}

namespace {

using namespace posix_testing;
using Clock = std::chrono::steady_clock;
constexpr std::size_t kPlain = ~std::size_t{0};  // Send's zero_from for the plain send

// Sends `message` over a client of its own; with `zero_from`, through the
// send that is told where the message's zeros begin.
RETCODE Send(const std::string& server, Bytes& message, INT kind = 0, std::size_t zero_from = kPlain) {
  UINT clnt[8] = {};
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server.c_str(), 0, 0, 0, clnt);
  const INT length = static_cast<INT>(message.size());
  if (rc == 0) {
    rc = zero_from == kPlain ? emwGENIpcCallClient(clnt[0], kind, 0, 0, message.data(), length, 0, 0, 0, ~0ul)
                             : commdir_posix_ipc_send_zero_tail(clnt[0], kind, message.data(), length, zero_from, ~0ul);
  }
  emwGENIpcDestroyClient(clnt[0]);
  return rc;
}
RETCODE Send(const std::string& server, Bytes&& message, INT kind = 0) { return Send(server, message, kind); }

// What the library's exchange comes to: the caller creates an event, sends
// a request naming it (byte 72), and waits without limit for its post; here
// the server that takes the request posts it (the threads that did so are
// kept), or it is posted meanwhile.
std::mutex g_posted_mu;
std::vector<pthread_t> g_posted;

RETCODE PostNamedEvent(char* message, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_posted_mu);
  g_posted.push_back(pthread_self());
  return *size = emwOSWPostEventSem(Word(message, 72));
}
RETCODE Ignore(char*, char*, int* size) { return *size = 0; }

std::vector<pthread_t> Posted() {
  std::lock_guard<std::mutex> lock(g_posted_mu);
  return g_posted;
}

RETCODE Exchange(const char* server, const std::function<void(UINT)>& meanwhile = [](UINT) {}) {
  UINT event = 0, clnt[8] = {};
  EXPECT_EQ(emwOSWCreateEventSem(&event, 0, 0) | emwGENIpcCreateClient("TEST_CLT", server, 0, 0, 0, clnt), 0);
  Bytes request = Message(128);
  PutWord(request, 72, event);
  RETCODE rc = emwGENIpcCallClient(clnt[0], 0, 0, 0, request.data(), 128, 0, 0, 0, ~0ul);
  std::thread helper(meanwhile, event);
  if (rc == 0) rc = emwOSWWaitEventSem(event, -1);
  helper.join();
  emwOSWDeleteEventSem(event);
  emwGENIpcDestroyClient(clnt[0]);
  return rc;
}

using PlatformTest = PosixTest;

// An id names only its own object while it lives: not when it is stale (its
// object deleted, another in its slot), forged, or of another kind.
TEST_F(PlatformTest, AnIdNamesOnlyItsOwnLiveObject) {
  ASSERT_EQ(Start("utcp:IDS"), 0);
  const std::function<RETCODE(UINT)> finds[] = {[](UINT id) { return emwOSWRequestMutexSem(id, 0); },
                                                emwOSWPostEventSem, emwGENIpcDestroyClient};
  auto make = [](UINT* ids) {
    UINT clnt[8] = {};
    EXPECT_EQ(emwOSWCreateMutexSem(&ids[0], 0, 1) | emwOSWCreateEventSem(&ids[1], 0, 0) |
                  emwGENIpcCreateClient("C", "utcp:IDS", 0, 0, 0, clnt), 0);
    ids[2] = clnt[0];
  };
  auto end = [](UINT* ids) {
    EXPECT_EQ(emwOSWDeleteMutexSem(&ids[0]) | emwOSWDeleteEventSem(ids[1]) | emwGENIpcDestroyClient(ids[2]), 0);
  };
  UINT stale[3], live[3];
  make(stale);
  end(stale);
  for (int round = 0; round < 1100; ++round) {  // a slot is reused once a thousand others are free
    make(live);
    for (int k = 0; k < 3; ++k) {
      for (UINT id : {stale[k], 0u, live[k] ^ 0x10000u, live[k] | 0xFFFFu, live[(k + 1) % 3], live[(k + 2) % 3]}) {
        ASSERT_EQ(finds[k](id), EINVAL) << k << " " << std::hex << id << " round " << std::dec << round;
      }
    }
    end(live);
  }
}

// A mutex belongs to its owner; an event stays posted until its reset, and
// a post or a deletion ends a wait; the process's name is the process's.
TEST_F(PlatformTest, MutexesEventsAndTheProcessName) {
  UINT id = 0;
  ASSERT_EQ(emwOSWCreateMutexSem(&id, 0, 1), 0);
  ASSERT_EQ(emwOSWRequestMutexSem(id, -1), 0);
  EXPECT_EQ(emwOSWRequestMutexSem(id, -1), EDEADLK);  // not a hang
  std::thread([id] { EXPECT_TRUE(emwOSWReleaseMutexSem(id) == EPERM && emwOSWRequestMutexSem(id, 20) == ETIMEDOUT); })
      .join();
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), EBUSY);
  EXPECT_EQ(emwOSWReleaseMutexSem(id), 0);
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), 0);
  {  // a guard holds its mutex; nested thread guards on one thread do not lock it out
    OSW_Mutex_Semaphore sem(1);
    OSW_Guard guard(sem);
    OSW_Thread_Guard outer, nested;
    EXPECT_TRUE(guard.locked() && sem.lock() == EDEADLK);
  }
  // A thread that waits while the owner releases and deletes the mutex gets
  // it first (the deletion then finds it owned) or learns of the deletion: it
  // never holds a deleted mutex, and never hangs.
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(emwOSWCreateMutexSem(&id, 0, 1), 0);
    ASSERT_EQ(emwOSWRequestMutexSem(id, -1), 0);
    auto waiter = std::async(std::launch::async, [held = id] { return emwOSWRequestMutexSem(held, -1); });
    std::this_thread::sleep_for(milliseconds(round % 2));
    ASSERT_EQ(emwOSWReleaseMutexSem(id), 0);
    const RETCODE deleted = emwOSWDeleteMutexSem(&id), waited = waiter.get();
    EXPECT_TRUE(deleted == 0 ? waited == EIDRM || waited == EINVAL : deleted == EBUSY && waited == 0) << round;
  }

  ASSERT_EQ(emwOSWCreateEventSem(&id, 0, 0), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 0), ETIMEDOUT);
  EXPECT_EQ(emwOSWWaitEventSem(id, -2), EINVAL);
  ASSERT_EQ(emwOSWPostEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, -1) | emwOSWWaitEventSem(id, 0), 0);  // posted before the wait, and still
  EXPECT_EQ(emwOSWResetEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 10), ETIMEDOUT);
  for (auto later : {emwOSWPostEventSem, emwOSWDeleteEventSem}) {
    std::thread other([&] { std::this_thread::sleep_for(milliseconds(20)); later(id); });
    EXPECT_EQ(emwOSWWaitEventSem(id, -1), later == emwOSWPostEventSem ? 0 : EIDRM);
    other.join();
    emwOSWResetEventSem(id);
  }
  EXPECT_TRUE(emwOSWGetProcessName(nullptr) == EINVAL && emwOSWCreateMutexSem(nullptr, 0, 1) == EINVAL);
  for (std::string name : {"short", "a_process_name_too_long"}) {
    ASSERT_EQ(prctl(PR_SET_NAME, name.c_str()), 0);  // the main thread names the process
    char got[16] = {};
    std::thread([&] { pthread_setname_np(pthread_self(), "other"), emwOSWGetProcessName(got); }).join();
    EXPECT_EQ(got, name.substr(0, 15));
  }
}

// A text that peers fill can neither start a line of its own nor send a
// terminal a command: every control character is escaped, nothing else. A
// flood of one format is cut to its budget: the first line left out says
// so, and the next line of that format in a later window comes after the
// count of lines left out; other formats go on. A setting that cannot be
// read keeps the default budget; "off" lifts it.
TEST_F(PlatformTest, TraceLinesAreEscapedAndBudgeted) {
  const std::string long_text(10000, 'L');
  emwGENTrcPrintf(0x3409, 258, 1, "[ERROR]<%s>(%d) \n", long_text.c_str(), 42);
  emwGENTrcPrintf(7, 8, 0, "%s", "a\nb\tc\rd\x1b[2Je\a\x01" "f\x7fg\xc2\x9b" "2J J\xc3\xbcrgen\xc2\xa0\\");
  setenv("COMM_DIR_TRACE", "off", 1);
  emwGENTrcPrintf(7, 8, 0, "never written");
  setenv("COMM_DIR_TRACE", Path("trace.log").c_str(), 1);
  std::string trace = Trace();
  EXPECT_EQ(trace.rfind("20", 0), 0u);  // the date first
  EXPECT_EQ(Count(trace, " pid=" + std::to_string(getpid()) + " tid="), Count(trace, "\n"));
  EXPECT_EQ(Count(trace, "mod=0x3409 cat=258 flag=1 [ERROR]<" + long_text + ">(42) \n"), 1u);
  EXPECT_EQ(Count(trace, "mod=0x7 cat=8 flag=0 a\\nb\\x09c\\x0dd\\x1b[2Je\\x07\\x01f\\x7fg\\xc2\\x9b2J J\xc3\xbcrgen\xc2\xa0\\\n"), 1u);
  EXPECT_EQ(Count(trace, "\n"), 2u) << trace;

  setenv("COMM_DIR_TRACE_LIMIT", "3/1", 1);
  static const char kFlood[] = "flood %d.";
  for (int i = 0; i < 10; ++i) emwGENTrcPrintf(7, 8, 0, kFlood, i);
  emwGENTrcPrintf(7, 8, 0, "another format");
  std::this_thread::sleep_for(milliseconds(1100));
  emwGENTrcPrintf(7, 8, 0, kFlood, 10);
  trace = Trace();
  for (int i = 0; i < 11; ++i) EXPECT_EQ(Count(trace, "flood " + std::to_string(i) + ".\n"), i < 3 || i == 10 ? 1u : 0u);
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
  unsetenv("COMM_DIR_TRACE_LIMIT");
}

// Names are 1 to 27 characters of a small alphabet after "utcp:". A name
// runs once, and again after a stop, reached through the pooled socket of
// before; a socket file of a dead process is replaced, a live one or a file
// that is no socket is not. Past 1,024 descriptors, as a daemon may be.
TEST_F(PlatformTest, NamesAndTheLifeOfAServer) {
  std::vector<int> descriptors(1, open("/dev/null", O_RDONLY | O_CLOEXEC));
  while (descriptors.back() >= 0 && descriptors.back() < 1100) descriptors.push_back(dup(descriptors[0]));
  const std::string name32 = "utcp:" + std::string(27, 'n'), name33 = name32 + "n";
  const char* names[] = {name32.c_str(), "utcp:a.b-c_D9",  // the valid ones
                         name33.c_str(), "utcp:", "COMM_DIR_SRV", "utcp:a/b", "utcp:a b", "utcp:..", "utcp:\xc3\xa9", "tcp:abc", nullptr};
  for (const char* name : names) {
    const RETCODE valid = name == names[0] || name == names[1] ? 0 : EINVAL;
    UINT clnt[8] = {};
    EXPECT_EQ(emwGENIpcStartServer(name, 0, 0x24000, Record), valid);
    EXPECT_EQ(emwGENIpcCreateClient("C", name, 0, 0, 0, clnt), valid);
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwGENIpcRequestAdmin(name, GEN_IPC_ADMIN_STOP), valid);
  }
  UINT clnt[8] = {};
  EXPECT_EQ(emwGENIpcCreateClient(name33.c_str(), name32.c_str(), 0, 0, 0, clnt), EINVAL);

  for (char tag : {'\1', '\2'}) {
    ASSERT_EQ(Start("utcp:LIFE"), 0);
    EXPECT_EQ(Start("utcp:LIFE"), EADDRINUSE);
    ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, tag}})), 0);
    EXPECT_EQ(Taken(tag).back(), Message(200, {{150, tag}}));
    ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
    EXPECT_NE(access(Path("LIFE").c_str(), F_OK), 0);
    EXPECT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), ENOENT);
    EXPECT_TRUE(tag == 1 || Send("utcp:LIFE", Message(128)) != 0);  // not before: the pooled socket is to reconnect
  }
  const int other = Socket(Path("STALE"), true);
  EXPECT_EQ(Start("utcp:STALE"), EADDRINUSE);
  close(other);
  EXPECT_EQ(Start("utcp:STALE"), 0);
  std::ofstream(Path("PLAIN")) << "keep";
  EXPECT_EQ(Start("utcp:PLAIN"), EADDRINUSE);
  EXPECT_EQ(access(Path("PLAIN").c_str(), F_OK), 0);
  for (int fd : descriptors) close(fd);
}

// A send waits for room in the server's queue as long as its time-out
// says: 0 only tries, a bound gives ETIMEDOUT after it, -1 waits until the
// server takes a message off its queue.
TEST_F(PlatformTest, SendWaitsForRoomAsLongAsItsTimeOutSays) {
  const int server = Socket(Path("FULL"), true);  // reads only when told
  UINT clnt[8] = {};
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:FULL", 0, 0, 0, clnt), 0);
  Bytes m = Message(128);
  auto send = [&](ULONG timeout) { return emwGENIpcCallClient(clnt[0], 0, 0, 0, m.data(), 128, 0, 0, 0, timeout); };
  for (int queued = 0; send(0) == 0;) ASSERT_LT(++queued, 10000) << "the queue never filled";
  const auto start = Clock::now();
  EXPECT_EQ(send(100), ETIMEDOUT);
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  for (ULONG timeout : {~0ul, 5000ul}) {
    auto waiting = std::async(std::launch::async, send, timeout);
    EXPECT_EQ(waiting.wait_for(milliseconds(100)), std::future_status::timeout) << "did not wait for room";
    char taken[128];  // not into m, which the waiting send reads
    ASSERT_GT(recv(server, taken, sizeof taken, 0), 0);
    EXPECT_EQ(waiting.get(), 0);
  }
  close(server);
}

// A sender leaves a message's trailing zeros out of the datagram (never its
// header, whose words are the platform's), told where they begin or not,
// and leaves the caller's buffer as it was. (The receiver restores them:
// the reply server's table of the library's test.)
TEST_F(PlatformTest, TrailingZerosStayHome) {
  const int raw = Socket(Path("RAW"), true);  // in a server's place, it shows what travels
  const Bytes tail = Message(49280, {{124, 7}, {199, 9}});
  const std::tuple<Bytes, INT, std::size_t, ssize_t> rows[] = {  // message, kind, zero_from, datagram
      {tail, 0, kPlain, 200},         {Message(49284, {{49283, 1}}), 1, kPlain, 49284},
      {Message(128), 0, kPlain, 128}, {Message(49280, {{3, 1}, {71, 1}}), 1, kPlain, 128},
      {tail, 0, 49280, 200},          {tail, 0, 200, 200}, {tail, 0, 1000000, 200}, {tail, 0, 190, 128}, {tail, 0, 0, 128}};
  for (auto [message, kind, zero_from, datagram] : rows) {
    Bytes sent = message, got(65536);
    ASSERT_EQ(Send("utcp:RAW", sent, kind, zero_from), 0);
    EXPECT_EQ(recv(raw, got.data(), got.size(), 0), datagram) << zero_from;
    EXPECT_EQ(Word(got.data(), GEN_IPC_HDR_LENGTH_OFFSET), message.size());
    EXPECT_EQ(Word(got.data(), GEN_IPC_HDR_KIND_OFFSET) + Word(got.data(), 0), static_cast<UINT>(kind));
    EXPECT_EQ(sent, message);
  }
  close(raw);
}

// Once the first replies have shown where replies come, a lone caller takes
// its reply on its own thread (one that comes back while the thread is still
// busy waits for the thread instead, so ten of a bounded number will do). A
// caller that receives there is woken by a post of its event elsewhere; a
// stop of that server while it receives ends neither the stop nor the wait
// wrongly.
TEST_F(PlatformTest, AWaitingCallerTakesItsOwnReply) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent) | Start("utcp:MUTE", Ignore), 0);
  std::size_t exchanges = 0, on_the_caller = 0;
  for (; on_the_caller < 10 && exchanges < 2000; ++exchanges) {
    ASSERT_EQ(Exchange("utcp:RPL"), 0);
    ASSERT_EQ(Posted().size(), exchanges + 1);  // each reply dispatched once
    on_the_caller += exchanges > 2 && pthread_equal(Posted().back(), pthread_self());
  }
  EXPECT_FALSE(pthread_equal(Posted()[0], pthread_self()));
  EXPECT_EQ(on_the_caller, 10u) << "after " << exchanges << " exchanges";
  auto post = [](UINT event) { std::this_thread::sleep_for(milliseconds(30)), emwOSWPostEventSem(event); };
  EXPECT_EQ(Exchange("utcp:MUTE", post), 0);  // a post by a thread that does not dispatch there wakes it
  RETCODE stopped = -1;
  EXPECT_EQ(Exchange("utcp:MUTE", [&](UINT event) {
              std::this_thread::sleep_for(milliseconds(30));
              stopped = emwGENIpcRequestAdmin("utcp:RPL", GEN_IPC_ADMIN_STOP);
              emwOSWPostEventSem(event);
            }), 0);
  EXPECT_EQ(stopped, 0);
}

// Only a wait without limit, on the event created last before a request
// went out, watches the server that it went to; every other wait is as it
// was, also after that server has ended. A wait that must not give up is
// posted after several check intervals, so that a wrong watch ends it first.
TEST_F(PlatformTest, OnlyAWaitWithoutLimitOnTheRequestsEventWatchesItsServer) {
  const std::tuple<INT, bool, INT, bool, RETCODE> rows[] = {  // kind, event made after, timeout, waited before, rc
      {0, false, -1, false, ECONNRESET}, {0, false, 600, false, ETIMEDOUT}, {0, true, -1, false, 0},
      {0, false, -1, true, 0},           {1, false, -1, false, 0}};
  for (auto [kind, made_after, timeout, waited_before, expected] : rows) {
    ASSERT_EQ(emwGENIpcStartServer("utcp:GATED", 0, 0x24000, Ignore), 0);
    UINT clnt[8] = {}, events[2] = {};
    ASSERT_EQ(emwGENIpcCreateClient("TEST_CLT", "utcp:GATED", 0, 0, 0, clnt) | emwOSWCreateEventSem(&events[0], 0, 0), 0);
    ASSERT_EQ(emwGENIpcCallClient(clnt[0], kind, 0, 0, Message(128).data(), 128, 0, 0, 0, ~0ul), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&events[1], 0, 0), 0);
    ASSERT_EQ(emwGENIpcRequestAdmin("utcp:GATED", GEN_IPC_ADMIN_STOP), 0);  // its socket is closed now
    const UINT target = events[made_after];
    EXPECT_TRUE(!waited_before || emwOSWWaitEventSem(target, -1) == ECONNRESET);
    std::promise<void> waited;
    std::thread poster([&, done = waited.get_future()] {  // late enough for a wrong watch; never a hang
      done.wait_for(expected == 0 ? milliseconds(600) : milliseconds(5000));
      emwOSWPostEventSem(target);
    });
    EXPECT_EQ(emwOSWWaitEventSem(target, timeout), expected) << kind << made_after << timeout << waited_before;
    waited.set_value();
    poster.join();
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwOSWDeleteEventSem(events[0]) | emwOSWDeleteEventSem(events[1]), 0);
  }
}

// --- other users ------------------------------------------------------------

constexpr uid_t kService = 65534;   // the directory service's user where a row names it
constexpr uid_t kStranger = 65533;  // anyone else
enum Kind { kMissing, kDirectory, kSymlink };

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
  static void Make(const std::string& path, Kind kind, mode_t mode, uid_t owner) {
    ASSERT_TRUE(kind != kSymlink || (mkdir((path + ".real").c_str(), 0700) == 0 && symlink((path + ".real").c_str(), path.c_str()) == 0));
    ASSERT_TRUE(kind != kDirectory || (mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0 && chown(path.c_str(), owner, -1) == 0));
  }
  // A server's socket file `name` in the shared folder, of `owner`, which
  // every user may write (as the platform leaves it there); open while `live`.
  int Server(const std::string& name, uid_t owner, bool live) {
    unlink(Path("shared/" + name).c_str());
    const int fd = Socket(Path("shared/" + name), true);
    EXPECT_EQ(chown(Path("shared/" + name).c_str(), owner, -1) | chmod(Path("shared/" + name).c_str(), 0666), 0);
    if (live) return fd;
    close(fd);
    return -1;
  }
};

// A folder is taken only when no user that this process does not trust can
// put another in its place or replace its endpoints.
TEST_F(OtherUsersTest, AFolderIsTakenOnlyWhenNoUntrustedUserCanReplaceIt) {
  struct Made {
    Kind kind;
    mode_t mode;
    uid_t owner;
  };
  struct Row {
    bool by_default;       // the default folder: XDG_RUNTIME_DIR names `above`
    Made above, folder;    // the folder: "ipc" (COMM_DIR_IPC_DIR) or "commdir" (default)
    const char* service;   // COMM_DIR_SERVICE_USER, or null
    const char* refusal;   // a part of the refusal's reason, or null when the folder is taken
    mode_t socket_others;  // the socket file's group and others bits when taken
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
      {false, up, {kDirectory, 01777, kService}, "nobody", nullptr, 0066},
      {false, up, {kDirectory, 01777, kStranger}, nullptr, "belongs to uid 65533", 0},
      {false, up, {kDirectory, 01777, kStranger}, "65534", "whom this process does not trust", 0},
      {false, up, {kSymlink, 0, 0}, nullptr, "not a directory", 0},
      {false, up, mine, "no-such-user-x", "names no user", 0},
      {false, {kDirectory, 0755, kStranger}, mine, nullptr, "which belongs to uid 65533", 0},
      {false, {kDirectory, 0777, 0}, mine, nullptr, "which others may write", 0},
      {false, {kDirectory, 01777, 0}, mine, nullptr, nullptr, 0055},
      {false, {kSymlink, 0, 0}, mine, nullptr, "symbolic link", 0},
      {true, runtime, {kMissing, 0, 0}, nullptr, nullptr, 0055},
      {true, runtime, {kDirectory, 0750, 0}, nullptr, "make it private", 0},
      {true, runtime, {kDirectory, 01777, kStranger}, nullptr, "belongs to uid 65533", 0},
      {true, runtime, {kDirectory, 0700, kService}, "65534", "belongs to uid 65534", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    const std::string above = Path(std::to_string(&row - rows)), folder = above + (row.by_default ? "/commdir" : "/ipc");
    Make(above, row.above.kind, row.above.mode, row.above.owner);
    Make(folder, row.folder.kind, row.folder.mode, row.folder.owner);
    setenv(row.by_default ? "XDG_RUNTIME_DIR" : "COMM_DIR_IPC_DIR", row.by_default ? above.c_str() : folder.c_str(), 1);
    if (row.by_default) unsetenv("COMM_DIR_IPC_DIR");
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    char chosen[108] = {}, problem[512] = {};
    const RETCODE checked = commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem);
    UINT clnt[8] = {};
    const RETCODE started = Start("utcp:F"), created = emwGENIpcCreateClient("C", "utcp:F", 0, 0, 0, clnt);
    EXPECT_EQ(chosen, folder);
    struct stat st {};
    if (row.refusal == nullptr) {
      EXPECT_EQ(checked | started | created | emwGENIpcDestroyClient(clnt[0]), 0) << problem;
      EXPECT_TRUE(row.folder.kind != kMissing || (lstat(folder.c_str(), &st) == 0 && (st.st_mode & 07777) == 0700));
      EXPECT_TRUE(stat((folder + "/F").c_str(), &st) == 0 && (st.st_mode & 0077) == row.socket_others);  // who may connect
    } else {
      EXPECT_NE(std::string(problem).find(row.refusal), std::string::npos) << problem;
      EXPECT_TRUE(checked == EACCES && started == EACCES && created == EACCES);  // nothing is sent into it
      EXPECT_EQ(Count(Trace(), "ipc folder " + folder + " refused: " + problem + "\n"), 2u);  // start, client
    }
    emwGENIpcRequestAdmin("utcp:F", GEN_IPC_ADMIN_STOP);
    unsetenv("COMM_DIR_SERVICE_USER");
    unsetenv("XDG_RUNTIME_DIR");
  }
  setenv("COMM_DIR_IPC_DIR", "relative/ipc", 1);  // it would depend on the working directory
  char chosen[108] = {}, problem[512] = {};
  EXPECT_EQ(commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem), EACCES);
  EXPECT_STREQ(problem, "COMM_DIR_IPC_DIR must be an absolute path");

  // The default folder is the runtime directory only when that is the
  // user's and private; else /tmp/commdir-<uid>, as the user finds it.
  unsetenv("COMM_DIR_IPC_DIR");
  for (auto [mode, owner] : {std::pair<mode_t, uid_t>{0700, 0}, {0755, 64871}, {0700, 64871}}) {
    const std::string dir = Path("run" + std::to_string(mode) + "-" + std::to_string(owner));
    Make(dir, kDirectory, mode, owner);
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
// server's owner. A server takes the datagrams of the users it trusts, an
// open one anyone's.
TEST_F(OtherUsersTest, AClientReachesOnlyServersOfUsersItTrustsAndAServerTakesOnlyTheirs) {
  Make(Path("shared"), kDirectory, 01777, 0);
  setenv("COMM_DIR_IPC_DIR", Path("shared").c_str(), 1);
  constexpr uid_t kApplication = 0;  // `of`: a client of this process's trust
  constexpr uid_t kUser = 64872;     // a user of the shared folder, not root
  struct Row {
    uid_t binder;           // who owns the server's socket file
    bool live;              // the server runs (else it has ended: connecting is refused)
    const char* service;    // COMM_DIR_SERVICE_USER
    uid_t as;               // the client's euid
    uid_t pooled;           // a client of this owner came first and left its socket, or kApplication
    uid_t of;               // commdir_posix_ipc_create_client_of's owner, or kApplication
    RETCODE created;        // ECONNREFUSED: the owner passed and connecting was tried
    uid_t swapped_in = 0;   // whose live server takes the name between the look and the connect, or 0
    bool put_back = false;  // after the connect, a new server of the binder takes the name
    uid_t rebound = 0;      // whose server replaces the pooled one's before the send, or 0
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
      {kUser, false, nullptr, kUser, kApplication, kService, EACCES},  // own, for another requester
      {kService, true, nullptr, 0, kService, kService, 0},             // pooled for the requester
      {kService, true, nullptr, 0, kService, kStranger, EACCES},       // ... asked for another
      {kService, true, "65534", 0, kService, kApplication, 0},         // ... asked by the application
      {kService, true, "65534", 0, kApplication, kApplication, EACCES, kStranger},        // exchanged during the connect
      {kService, true, "65534", 0, kApplication, kApplication, EACCES, kStranger, true},  // ... and back after it
      {kService, true, nullptr, 0, kService, kService, 0, 0, false, kStranger},  // pooled, then another's at the name
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    const std::string name = "S" + std::to_string(&row - rows), server = "utcp:" + name;
    int fd = Server(name, row.binder, row.live), swapped = -1, put_back = -1;
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    auto create = [&](uid_t of, UINT* clnt) {
      return of == kApplication ? emwGENIpcCreateClient("C", server.c_str(), 0, 0, 0, clnt)
                                : commdir_posix_ipc_create_client_of("C", server.c_str(), of, clnt);
    };
    if (row.swapped_in != 0) swapped = Server(name + ".new", row.swapped_in, true);
    if (row.put_back) put_back = Server(name + ".back", row.binder, true);
    auto move_in = [&](const char* from) { rename(Path("shared/" + name + from).c_str(), Path("shared/" + name).c_str()); };
    g_before_connect = [&] { move_in(".new"); };
    g_after_connect = [&] { move_in(".back"); };
    g_connect_armed = row.swapped_in != 0;
    UINT clnt[8] = {};
    ASSERT_TRUE(row.pooled == kApplication || (create(row.pooled, clnt) == 0 && emwGENIpcDestroyClient(clnt[0]) == 0));
    if (row.rebound != 0) close(fd), fd = Server(name, row.rebound, true);
    Bytes m = Message(128);
    const bool as_user_ok = row.as != 0 && AsUser(row.as, [&] { return create(row.of, clnt) == row.created; });
    const RETCODE created = row.as != 0 ? (as_user_ok ? row.created : -1) : create(row.of, clnt);
    EXPECT_EQ(created, row.created);
    if (row.as == 0 && created == 0) {
      EXPECT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, m.data(), 128, 0, 0, 0, ~0ul), row.rebound ? EACCES : 0);
      EXPECT_EQ(recv(fd, m.data(), 128, MSG_DONTWAIT), row.rebound ? -1 : 128);
      emwGENIpcDestroyClient(clnt[0]);
    }
    const std::string refused = row.swapped_in ? " refused: its socket file changed while connecting"
                                               : " refused: its server runs as uid " + std::to_string(row.rebound ? row.rebound : row.binder);
    EXPECT_EQ(Count(Trace(), "/" + name + refused), row.swapped_in || row.rebound || row.created == EACCES ? 1u : 0u);
    EXPECT_TRUE(swapped < 0 || recv(swapped, m.data(), 128, MSG_DONTWAIT) == -1);  // it got nothing
    for (int socket : {fd, swapped, put_back}) close(socket);
    unsetenv("COMM_DIR_SERVICE_USER");
  }

  // An open server takes anyone's datagrams (a closed one those of the users
  // it trusts: the reply server's table of the library's test).
  ASSERT_EQ(Start("utcp:OPEN", Record, true), 0);
  const int fd = Socket(Path("shared/OPEN"), false);
  ASSERT_TRUE(AsUser(kStranger, [&] { return send(fd, Message(128).data(), 128, 0) == 128; }));
  close(fd);
  Taken(1);
  std::lock_guard<std::mutex> lock(g_mu);
  EXPECT_EQ(g_senders, std::vector<uid_t>{kStranger});
}

}  // namespace
