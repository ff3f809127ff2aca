// The POSIX platform over real threads and sockets: its objects and their
// ids, the trace, the message IPC (names, a server's life, what travels,
// room in a queue, the caller that takes its own reply, the watch of a server
// whose reply is awaited), and the folders and peers it trusts, other users
// being forked children that switch their uid (as root only).
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"
#include "posix/posix_testing.h"

// Run around the next connect() of this process, once, when armed: a row
// swaps a socket file there, as a user racing the platform's look at its
// owner would. The platform's connect() comes here first.
std::function<void()> g_before_connect, g_after_connect;
std::atomic<bool> g_connect_armed{false};

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "connect"));
  if (!g_connect_armed.exchange(false)) return real(fd, address, length);
  if (g_before_connect) g_before_connect();
  const int rc = real(fd, address, length);
  if (g_after_connect) g_after_connect();
  g_before_connect = g_after_connect = nullptr;
  return rc;
}

namespace {

using namespace posix_testing;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// What the recording servers took, in order, and from whom.
struct Inbox {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> messages;
  std::vector<uid_t> senders;
} g_inbox;

RETCODE Record(char* message, char*, int* size) {
  uid_t uid = 0;
  commdir_posix_ipc_sender(&uid, nullptr, nullptr);
  std::lock_guard<std::mutex> lock(g_inbox.mu);
  g_inbox.messages.emplace_back(message, message + Word(message, GEN_IPC_HDR_LENGTH_OFFSET));
  g_inbox.senders.push_back(uid);
  g_inbox.cv.notify_all();
  return *size = 0;
}

// The messages taken so far, once there are `n` (bounded).
std::vector<Bytes> Taken(std::size_t n) {
  std::unique_lock<std::mutex> lock(g_inbox.mu);
  g_inbox.cv.wait_for(lock, std::chrono::seconds(5), [n] { return g_inbox.messages.size() >= n; });
  return g_inbox.messages;
}

// Sends `message` over a client of its own; with `zero_from`, through the
// send that is told where the message's zeros begin.
RETCODE Send(const std::string& server, Bytes& message, INT kind = GEN_IPC_KIND_REQUEST,
             const std::size_t* zero_from = nullptr) {
  UINT clnt[8] = {};
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server.c_str(), 0, 0, 0, clnt);
  if (rc != 0) return rc;
  const INT length = static_cast<INT>(message.size());
  rc = zero_from != nullptr
           ? commdir_posix_ipc_send_zero_tail(clnt[0], kind, message.data(), length, *zero_from, ~0ul)
           : emwGENIpcCallClient(clnt[0], kind, 0, 0, message.data(), length, nullptr, 0, nullptr, ~0ul);
  emwGENIpcDestroyClient(clnt[0]);
  return rc;
}
RETCODE Send(const std::string& server, Bytes&& message, INT kind = GEN_IPC_KIND_REQUEST) {
  return Send(server, message, kind);
}

// An exchange as the library makes it: the caller creates its event, sends
// a request naming it (byte 72) to utcp:ECH, whose dispatch sends it back as
// a reply to utcp:RPL, whose dispatch posts the event named. Each post is
// logged with the thread that dispatched it.
std::mutex g_posted_mu;
std::vector<pthread_t> g_posted;

RETCODE PostNamedEvent(char* message, char*, int* size) {
  *size = 0;
  {
    std::lock_guard<std::mutex> lock(g_posted_mu);
    g_posted.push_back(pthread_self());
  }
  return emwOSWPostEventSem(Word(message, 72));
}

RETCODE EchoAsReply(char* message, char*, int* size) {
  *size = 0;
  return Send("utcp:RPL", Bytes(message, message + 128), GEN_IPC_KIND_REPLY);
}

RETCODE Ignore(char*, char*, int* size) { return *size = 0; }

std::vector<pthread_t> Posted() {
  std::lock_guard<std::mutex> lock(g_posted_mu);
  return g_posted;
}

// A request of `length` bytes to `server` naming a fresh event, then the
// wait without limit for it, while `meanwhile` (given the event) runs.
RETCODE Exchange(const char* server = "utcp:ECH", const std::function<void(UINT)>& meanwhile = nullptr,
                 std::size_t length = 128) {
  UINT event = 0, clnt[8] = {};
  if (emwOSWCreateEventSem(&event, 0, 0) != 0) return -100;
  Bytes request = Message(length);
  PutWord(request, 72, event);
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server, 0, 0, 0, clnt);
  if (rc == 0) rc = emwGENIpcCallClient(clnt[0], 0, 0, 0, request.data(), static_cast<INT>(length), 0, 0, 0, ~0ul);
  std::thread helper;
  if (rc == 0 && meanwhile) helper = std::thread(meanwhile, event);
  if (rc == 0) rc = emwOSWWaitEventSem(event, -1);
  if (helper.joinable()) helper.join();
  emwOSWDeleteEventSem(event);
  emwGENIpcDestroyClient(clnt[0]);
  return rc;
}

class PlatformTest : public PosixTest {
 protected:
  void SetUp() override {
    PosixTest::SetUp();
    std::lock_guard<std::mutex> lock(g_inbox.mu);
    g_inbox.messages.clear();
    g_inbox.senders.clear();
  }
  // A raw datagram socket bound at the endpoint file `name`.
  int Bound(const std::string& name) {
    const sockaddr_un address = Address(Path(name));
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << name;
    return fd;
  }
};

// Every call refuses an id that is stale (its object deleted, another in
// its slot), forged, or of another kind, while objects live.
TEST_F(PlatformTest, AnIdNamesOnlyItsOwnLiveObject) {
  ASSERT_EQ(Start("utcp:IDS", Record), 0);
  Bytes m = Message(128);
  const std::function<RETCODE(UINT)> calls[] = {
      [](UINT id) { return emwOSWRequestMutexSem(id, 0); }, emwOSWReleaseMutexSem,
      [](UINT id) { return emwOSWDeleteMutexSem(&id); },   emwOSWResetEventSem,
      emwOSWPostEventSem, [](UINT id) { return emwOSWWaitEventSem(id, 0); }, emwOSWDeleteEventSem,
      [&m](UINT id) { return emwGENIpcCallClient(id, 0, 0, 0, m.data(), 128, 0, 0, 0, 0); }, emwGENIpcDestroyClient};
  auto create = [](UINT* live) {
    UINT clnt[8] = {};
    EXPECT_EQ(emwOSWCreateMutexSem(&live[0], 0, 1) | emwOSWCreateEventSem(&live[1], 0, 0) |
                  emwGENIpcCreateClient("C", "utcp:IDS", 0, 0, 0, clnt), 0);
    live[2] = clnt[0];
  };
  auto destroy = [](UINT* live) {
    EXPECT_EQ(emwOSWDeleteMutexSem(&live[0]) | emwOSWDeleteEventSem(live[1]) | emwGENIpcDestroyClient(live[2]), 0);
  };
  UINT stale[3], live[3];
  create(stale);
  destroy(stale);
  // A slot is reused once a thousand others are free: by then the stale ids'
  // slots hold new objects.
  for (int round = 0; round < 1100; ++round) {
    create(live);
    for (std::size_t c = 0; c < std::size(calls); ++c) {
      const std::size_t kind = c < 3 ? 0 : c < 7 ? 1 : 2;
      for (UINT id : {stale[kind], 0u, ~0u, live[kind] ^ 0x10000u, live[kind] | 0xFFFFu, live[(kind + 1) % 3],
                      live[(kind + 2) % 3]}) {
        ASSERT_EQ(calls[c](id), EINVAL) << "call " << c << " id " << std::hex << id << " round " << round;
      }
    }
    destroy(live);
  }
  EXPECT_EQ(emwOSWCreateJoinTask(&live[0], "t", 0, 0, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), EINVAL);
  EXPECT_EQ(emwOSWCreateMutexSem(nullptr, 0, 1), EINVAL);
  EXPECT_EQ(emwOSWGetProcessName(nullptr), EINVAL);
}

std::string g_task_seen;
UINT g_task_done;

TEST_F(PlatformTest, MutexesEventsTasksAndTheProcessName) {
  UINT id = 0;
  ASSERT_EQ(emwOSWCreateMutexSem(&id, 0, 1), 0);
  ASSERT_EQ(emwOSWRequestMutexSem(id, -1), 0);
  EXPECT_EQ(emwOSWRequestMutexSem(id, -1), EDEADLK);  // not a hang
  std::thread([id] {
    EXPECT_EQ(emwOSWReleaseMutexSem(id), EPERM);
    EXPECT_EQ(emwOSWRequestMutexSem(id, 20), ETIMEDOUT);
  }).join();
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), EBUSY);
  ASSERT_EQ(emwOSWReleaseMutexSem(id), 0);
  ASSERT_EQ(emwOSWDeleteMutexSem(&id), 0);
  // A thread that waits while the owner releases and deletes the mutex gets
  // it first (and the deletion finds it owned) or learns of the deletion:
  // it never holds a deleted mutex, and never hangs.
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(emwOSWCreateMutexSem(&id, 0, 1), 0);
    ASSERT_EQ(emwOSWRequestMutexSem(id, -1), 0);
    const UINT held = id;
    std::promise<RETCODE> got;
    std::atomic<bool> deletion_tried{false};
    std::thread waiter([&] {
      const RETCODE rc = emwOSWRequestMutexSem(held, -1);
      got.set_value(rc);
      while (rc == 0 && !deletion_tried) std::this_thread::yield();
      EXPECT_TRUE(rc != 0 || emwOSWReleaseMutexSem(held) == 0);
    });
    std::this_thread::sleep_for(milliseconds(round % 2));
    ASSERT_EQ(emwOSWReleaseMutexSem(id), 0);
    const RETCODE deleted = emwOSWDeleteMutexSem(&id);
    deletion_tried = true;
    const RETCODE waited = got.get_future().get();
    waiter.join();
    EXPECT_TRUE(deleted == 0 ? waited == EIDRM || waited == EINVAL : deleted == EBUSY && waited == 0) << round;
    EXPECT_TRUE(deleted == 0 || emwOSWDeleteMutexSem(&id) == 0);
  }
  OSW_Mutex_Semaphore sem(1);
  std::atomic<bool> first_gone{false};
  std::thread other;
  {
    OSW_Guard guard(sem);
    other = std::thread([&] { EXPECT_TRUE(OSW_Guard(sem).locked() && first_gone); });
    std::this_thread::sleep_for(milliseconds(20));
    first_gone = true;
  }
  other.join();
  { OSW_Thread_Guard outer, nested; }  // nesting on one thread does not lock it out

  // An event stays posted until its reset; a post or a deletion ends a wait.
  ASSERT_EQ(emwOSWCreateEventSem(&id, 0, 0), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 0), ETIMEDOUT);
  EXPECT_EQ(emwOSWWaitEventSem(id, -2), EINVAL);
  ASSERT_EQ(emwOSWPostEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, -1) | emwOSWWaitEventSem(id, 0), 0);
  ASSERT_EQ(emwOSWResetEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 10), ETIMEDOUT);
  for (auto later : {emwOSWPostEventSem, emwOSWDeleteEventSem}) {
    std::thread other([&] { std::this_thread::sleep_for(milliseconds(20)); later(id); });
    EXPECT_EQ(emwOSWWaitEventSem(id, -1), later == emwOSWPostEventSem ? 0 : EIDRM);
    other.join();
    emwOSWResetEventSem(id);
  }

  // A task gets its words as given, its name (15 characters kept), a stack
  // of at least what it asked for, and runs detached.
  ASSERT_EQ(emwOSWCreateEventSem(&g_task_done, 0, 0), 0);
  OSW_TASK_ENTRY entry = [](INT a1, INT a2, INT a3) {
    char name[16];
    pthread_attr_t attr;
    std::size_t stack = 0;
    int detached = -1;
    pthread_getname_np(pthread_self(), name, sizeof name);
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_getdetachstate(&attr, &detached);
    pthread_attr_destroy(&attr);
    g_task_seen = std::to_string(a1) + " " + std::to_string(a2) + " " + std::to_string(a3) + " " + name + " " +
                  std::to_string(stack >= 0x24000 && detached == PTHREAD_CREATE_DETACHED);
    emwOSWPostEventSem(g_task_done);
  };
  UINT task = 0;
  ASSERT_EQ(emwOSWCreateJoinTask(&task, "comm_dir_thread_a", -1, 0x24000, entry, 0, 0x7FFFFFFF, -1, 0x12345678, 0,
                                 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(emwOSWWaitEventSem(g_task_done, 5000), 0);
  EXPECT_NE(task, 0u);
  EXPECT_EQ(g_task_seen, "2147483647 -1 305419896 comm_dir_thread 1");

  // The process's name, not the calling thread's.
  for (std::string name : {"short", "a_process_name_too_long"}) {
    ASSERT_EQ(prctl(PR_SET_NAME, name.c_str()), 0);  // the main thread names the process
    char got[16];
    std::thread([&] {
      pthread_setname_np(pthread_self(), "other_thread");
      EXPECT_EQ(emwOSWGetProcessName(got), 0);
    }).join();
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
  const std::pair<const char*, const char*> escaped[] = {
      {"two\nlines", "two\\nlines"},
      {"tab\there", "tab\\x09here"},
      {"return\rhere", "return\\x0dhere"},
      {"escape\x1b[2Jhere", "escape\\x1b[2Jhere"},
      {"bell\a nul-less\x01", "bell\\x07 nul-less\\x01"},
      {"delete\x7fhere", "delete\\x7fhere"},
      {"C1 \xc2\x9b" "2J", "C1 \\xc2\\x9b" "2J"},
      {"J\xc3\xbcrgen \xc2\xa0\\ plain", "J\xc3\xbcrgen \xc2\xa0\\ plain"},
  };
  for (const auto& row : escaped) emwGENTrcPrintf(7, 8, 0, "%s", row.first);
  setenv("COMM_DIR_TRACE", "off", 1);
  emwGENTrcPrintf(7, 8, 0, "never written");
  setenv("COMM_DIR_TRACE", (folder_ + "/trace.log").c_str(), 1);
  std::string trace = Trace();
  EXPECT_EQ(Count(trace, "\n"), 1 + std::size(escaped)) << trace;
  EXPECT_EQ(trace.rfind("20", 0), 0u);  // the date first
  EXPECT_EQ(Count(trace, " pid=" + std::to_string(getpid()) + " tid="), 1 + std::size(escaped));
  EXPECT_EQ(Count(trace, "mod=0x3409 cat=258 flag=1 [ERROR]<" + long_text + ">(42) \n"), 1u);
  for (const auto& row : escaped) {
    EXPECT_EQ(Count(trace, std::string("mod=0x7 cat=8 flag=0 ") + row.second + "\n"), 1u) << row.second;
  }

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
  const std::size_t left_out = trace.find("flag=0 trace: left out 7 lines of this format: flood %d.\n");
  EXPECT_LT(left_out, trace.find("flood 10."));
  for (const char* setting : {"3-1", "-1/60", "off"}) {
    setenv("COMM_DIR_TRACE_LIMIT", setting, 1);
    static const char kMore[] = "more %s %d.";
    for (int i = 0; i < 60; ++i) emwGENTrcPrintf(7, 8, 0, kMore, setting, i);
    trace = Trace();
    EXPECT_EQ(Count(trace, std::string("more ") + setting + " 49.\n"), 1u) << setting;
    EXPECT_EQ(Count(trace, std::string("more ") + setting + " 50.\n"), setting == std::string("off") ? 1u : 0u) << setting;
  }
  unsetenv("COMM_DIR_TRACE_LIMIT");
}

// Names, and a server's life: a name runs once, and again after a stop,
// reached through the pooled socket of before; a socket file of a dead
// process is replaced, a live one or a file that is no socket is not; a
// dispatch may stop its own server. Past 1,024 descriptors, as the daemon
// may be.
TEST_F(PlatformTest, NamesAndTheLifeOfAServer) {
  std::vector<int> descriptors;
  while (descriptors.empty() || (descriptors.back() >= 0 && descriptors.back() < 1100)) {
    descriptors.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  const std::string name32 = "utcp:" + std::string(27, 'n'), name33 = name32 + "n";
  const std::pair<const char*, bool> names[] = {
      {name32.c_str(), true},   {"utcp:a.b-c_D9", true},  {name33.c_str(), false}, {"utcp:", false},
      {nullptr, false},         {"COMM_DIR_SRV", false},  {"utcp:a/b", false},             {"utcp:a b", false},
      {"utcp:..", false},       {"utcp:\xc3\xa9", false}, {"tcp:abc", false}};
  for (auto& [name, valid] : names) {
    SCOPED_TRACE(name == nullptr ? "(null)" : name);
    UINT clnt[8] = {};
    EXPECT_EQ(emwGENIpcStartServer(name, 0, 0x24000, Record), valid ? 0 : EINVAL);
    EXPECT_EQ(emwGENIpcCreateClient("C", name, 0, 0, 0, clnt), valid ? 0 : EINVAL);
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), valid ? 0 : EINVAL);
    EXPECT_EQ(emwGENIpcRequestAdmin(name, GEN_IPC_ADMIN_STOP), valid ? 0 : EINVAL);
  }
  UINT clnt[8] = {};
  EXPECT_EQ(emwGENIpcCreateClient(name33.c_str(), name32.c_str(), 0, 0, 0, clnt), EINVAL);

  ASSERT_EQ(Start("utcp:LIFE", Record), 0);
  EXPECT_EQ(Start("utcp:LIFE", Record), EADDRINUSE);
  ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, 1}})), 0);
  ASSERT_EQ(Taken(1).size(), 1u);
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
  EXPECT_NE(access(Path("LIFE").c_str(), F_OK), 0);
  EXPECT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), ENOENT);
  ASSERT_EQ(Start("utcp:LIFE", Record), 0);
  ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, 2}})), 0);
  EXPECT_EQ(Taken(2).back(), Message(200, {{150, 2}}));
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
  EXPECT_NE(Send("utcp:LIFE", Message(128)), 0);

  const int other = Bound("STALE");
  EXPECT_EQ(Start("utcp:STALE", Record), EADDRINUSE);
  close(other);
  EXPECT_EQ(Start("utcp:STALE", Record), 0);
  std::ofstream(Path("PLAIN")) << "keep";
  EXPECT_EQ(Start("utcp:PLAIN", Record), EADDRINUSE);
  EXPECT_EQ(access(Path("PLAIN").c_str(), F_OK), 0);

  static std::atomic<RETCODE> stopped{-1};
  ASSERT_EQ(emwGENIpcStartServer("utcp:SELF", 0, 0x24000, [](char*, char*, int* size) {
    stopped = emwGENIpcRequestAdmin("utcp:SELF", GEN_IPC_ADMIN_STOP);
    return *size = 0;
  }), 0);
  ASSERT_EQ(Send("utcp:SELF", Message(128)), 0);
  for (int i = 0; i < 500 && stopped == -1; ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(stopped, 0);
  EXPECT_NE(access(Path("SELF").c_str(), F_OK), 0);
  for (int fd : descriptors) close(fd);
}

// A send waits for room in the server's queue as long as its time-out
// says: 0 only tries, a bound gives ETIMEDOUT after it, -1 waits until the
// server takes a message off its queue.
TEST_F(PlatformTest, SendWaitsForRoomAsLongAsItsTimeOutSays) {
  const int server = Bound("FULL");  // reads only when told
  UINT clnt[8] = {};
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:FULL", 0, 0, 0, clnt), 0);
  Bytes m = Message(128);
  auto send = [&](ULONG timeout) { return emwGENIpcCallClient(clnt[0], 0, 0, 0, m.data(), 128, 0, 0, 0, timeout); };
  int queued = 0;
  while (queued < 10000 && send(0) == 0) ++queued;
  ASSERT_LT(queued, 10000) << "the queue never filled";
  EXPECT_EQ(send(0), ETIMEDOUT);
  const auto start = Clock::now();
  EXPECT_EQ(send(100), ETIMEDOUT);
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  char datagram[256];
  for (ULONG timeout : {~0ul, 5000ul}) {
    auto waiting = std::async(std::launch::async, [&] { return send(timeout); });
    EXPECT_EQ(waiting.wait_for(milliseconds(100)), std::future_status::timeout) << "did not wait for room";
    ASSERT_GT(recv(server, datagram, sizeof datagram, 0), 0);
    EXPECT_EQ(waiting.get(), 0);
  }
  emwGENIpcDestroyClient(clnt[0]);
  close(server);
}

// A sender leaves a message's trailing zeros out of the datagram (never its
// header, whose words are the platform's), told where they begin or not,
// and never changes the caller's buffer; the receiver restores them, also
// after a long message or a long datagram that was refused, whose bytes
// must not show through.
TEST_F(PlatformTest, TrailingZerosStayHomeAndComeBack) {
  const int raw = Bound("RAW");  // in a server's place, it shows what travels
  const std::size_t all = ~std::size_t{0};
  struct Row {
    Bytes message;
    INT kind;
    std::size_t zero_from;  // all: the plain send
    ssize_t datagram;
  };
  const Row rows[] = {
      {Message(49280, {{124, 7}, {199, 9}}), 0, all, 200}, {Message(49284, {{49283, 1}}), 1, all, 49284},
      {Message(49280, {{3, 1}, {71, 1}}), 1, all, 128},      {Message(128), 0, all, 128},
      {Message(49280, {{124, 7}, {199, 9}}), 0, 49280, 200}, {Message(49280, {{124, 7}, {199, 9}}), 0, 200, 200},
      {Message(49280, {{124, 7}, {199, 9}}), 0, 1000000, 200}, {Message(49280, {{124, 7}, {199, 9}}), 0, 190, 128},
      {Message(49280, {{124, 7}, {199, 9}}), 0, 0, 128},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    Bytes sent = row.message;
    ASSERT_EQ(Send("utcp:RAW", sent, row.kind, row.zero_from == all ? nullptr : &row.zero_from), 0);
    char got[65536];
    EXPECT_EQ(recv(raw, got, sizeof got, 0), row.datagram);
    EXPECT_EQ(Word(got, GEN_IPC_HDR_LENGTH_OFFSET), row.message.size());
    EXPECT_EQ(Word(got, GEN_IPC_HDR_KIND_OFFSET), static_cast<UINT>(row.kind));
    EXPECT_EQ(Word(got, 0), 0u);
    EXPECT_EQ(sent, row.message);
  }
  close(raw);
  ASSERT_EQ(Start("utcp:FULL", Record), 0);
  ASSERT_EQ(Send("utcp:FULL", Message(49284, {{49283, 5}, {30000, 6}, {200, 4}})), 0);
  ASSERT_EQ(Send("utcp:FULL", Message(49280, {{200, 3}})), 0);
  Bytes refused(60000, 7);
  PutWord(refused, GEN_IPC_HDR_LENGTH_OFFSET, 59999);  // longer than its length word
  const int stranger = Connected(Path("FULL"));
  ASSERT_EQ(send(stranger, refused.data(), refused.size(), 0), static_cast<ssize_t>(refused.size()));
  close(stranger);
  ASSERT_EQ(Send("utcp:FULL", Message(49284, {{300, 2}})), 0);
  const std::vector<Bytes> got = Taken(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1], Message(49280, {{200, 3}}));
  EXPECT_EQ(got[2], Message(49284, {{300, 2}}));
}

// Once the first replies have shown where replies come, a lone caller takes
// its reply on its own thread (a caller that comes back while the thread is
// still busy waits for the thread instead, so ten of a bounded number will
// do). A caller that receives learns at once of its event posted or deleted
// by a thread that is not dispatching there, and a stop of the reply server
// ends neither the stop nor the wait wrongly.
TEST_F(PlatformTest, AWaitingCallerTakesItsOwnReply) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent), 0);
  ASSERT_EQ(Start("utcp:ECH", EchoAsReply), 0);
  ASSERT_EQ(Start("utcp:MUTE", Ignore), 0);
  int exchanges = 0, on_the_caller = 0;
  for (; on_the_caller < 10 && exchanges < 2000; ++exchanges) {
    ASSERT_EQ(Exchange(), 0);
    ASSERT_EQ(Posted().size(), exchanges + 1u);  // each reply dispatched once
    if (exchanges > 2 && pthread_equal(Posted().back(), pthread_self())) ++on_the_caller;
  }
  EXPECT_FALSE(pthread_equal(Posted()[0], pthread_self()));
  EXPECT_EQ(on_the_caller, 10) << "after " << exchanges << " exchanges";
  for (auto end : {emwOSWPostEventSem, emwOSWDeleteEventSem}) {
    const auto started = Clock::now();
    RETCODE ended = -1;
    EXPECT_EQ(Exchange("utcp:MUTE", [&](UINT event) {
                std::this_thread::sleep_for(milliseconds(30));
                ended = end(event);
              }), end == emwOSWPostEventSem ? 0 : EIDRM);
    EXPECT_EQ(ended, 0);
    EXPECT_LT(Clock::now() - started, milliseconds(200));  // not after a 250 ms slice
  }
  RETCODE stopped = -1;
  EXPECT_EQ(Exchange("utcp:MUTE", [&](UINT event) {
              std::this_thread::sleep_for(milliseconds(30));
              stopped = emwGENIpcRequestAdmin("utcp:RPL", GEN_IPC_ADMIN_STOP);
              emwOSWPostEventSem(event);
            }), 0);
  EXPECT_EQ(stopped, 0);
}

using PlatformConcurrencyTest = PlatformTest;

// Callers at once, with messages of the library's size: whoever receives
// dispatches the others' replies too, the server's thread takes over when
// callers wait while another receives, and every caller gets its own reply,
// each dispatched once.
TEST_F(PlatformConcurrencyTest, CallersTakeEachOthersRepliesAndEachGetsItsOwn) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent), 0);
  ASSERT_EQ(Start("utcp:ECH", EchoAsReply), 0);
  ASSERT_EQ(Exchange(), 0);  // where replies come is known from here on
  constexpr int kThreads = 16, kEach = 60;
  std::atomic<int> failed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) failed += Exchange("utcp:ECH", nullptr, 49280) != 0;
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(Posted().size(), 1u + kThreads * kEach);
}

// Only a wait without limit, on the event created last before a request
// went out, watches the server that it went to; every other wait is as it
// was, also after that server has ended. A wait that must not give up is
// posted after several check intervals, so that a wrong watch ends it first.
TEST_F(PlatformTest, OnlyAWaitWithoutLimitOnTheRequestsEventWatchesItsServer) {
  struct Row {
    INT kind;
    bool event_created_after;
    INT timeout;
    bool waited_before;  // a watched wait on the same event returned first
    RETCODE expected;
  } const rows[] = {
      {GEN_IPC_KIND_REQUEST, false, -1, false, ECONNRESET}, {GEN_IPC_KIND_REQUEST, false, 600, false, ETIMEDOUT},
      {GEN_IPC_KIND_REQUEST, true, -1, false, 0},           {GEN_IPC_KIND_REQUEST, false, -1, true, 0},
      {GEN_IPC_KIND_REPLY, false, -1, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    ASSERT_EQ(Start("utcp:GATED", Ignore), 0);
    UINT clnt[8] = {}, request_event = 0, later_event = 0;
    ASSERT_EQ(emwGENIpcCreateClient("TEST_CLT", "utcp:GATED", 0, 0, 0, clnt), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&request_event, 0, 0), 0);
    ASSERT_EQ(emwGENIpcCallClient(clnt[0], row.kind, 0, 0, Message(128).data(), 128, 0, 0, 0, ~0ul), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&later_event, 0, 0), 0);
    ASSERT_EQ(emwGENIpcRequestAdmin("utcp:GATED", GEN_IPC_ADMIN_STOP), 0);  // its socket is closed now
    started_.clear();
    const UINT target = row.event_created_after ? later_event : request_event;
    EXPECT_TRUE(!row.waited_before || emwOSWWaitEventSem(target, -1) == ECONNRESET);
    std::promise<void> waited;
    std::thread poster([&, done = waited.get_future()] {  // late enough for a wrong watch; never a hang
      done.wait_for(row.expected == 0 ? milliseconds(600) : std::chrono::seconds(5));
      emwOSWPostEventSem(target);
    });
    EXPECT_EQ(emwOSWWaitEventSem(target, row.timeout), row.expected);
    waited.set_value();
    poster.join();
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwOSWDeleteEventSem(request_event) | emwOSWDeleteEventSem(later_event),
              0);
  }
}

// A server that is stopping still dispatches what it had queued, so a
// caller whose request is in that queue is waited for and gets its post;
// an empty datagram queued before it (a check) is ignored without a trace.
std::atomic<bool> g_gate_open{false};

RETCODE GatedPost(char* message, char*, int* size) {
  for (int i = 0; i < 5000 && !g_gate_open; ++i) std::this_thread::sleep_for(milliseconds(1));
  if (Word(message, 72) != 0) emwOSWPostEventSem(Word(message, 72));
  return *size = 0;
}

TEST_F(PlatformTest, AStoppingServerIsWaitedForUntilItsQueueIsDone) {
  ASSERT_EQ(emwGENIpcStartServer("utcp:GATED", 0, 0x24000, GatedPost), 0);
  UINT clnt[8] = {}, event = 0;
  ASSERT_EQ(emwGENIpcCreateClient("TEST_CLT", "utcp:GATED", 0, 0, 0, clnt), 0);
  ASSERT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, Message(128).data(), 128, 0, 0, 0, ~0ul), 0);  // held
  const int raw = Connected(Path("GATED"));
  ASSERT_EQ(send(raw, nullptr, 0, 0), 0);
  close(raw);
  ASSERT_EQ(emwOSWCreateEventSem(&event, 0, 0), 0);
  Bytes request = Message(128);
  PutWord(request, 72, event);
  ASSERT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, request.data(), 128, 0, 0, 0, ~0ul), 0);
  std::thread stopper([] { EXPECT_EQ(emwGENIpcRequestAdmin("utcp:GATED", GEN_IPC_ADMIN_STOP), 0); });
  std::thread opener([] {
    std::this_thread::sleep_for(milliseconds(900));  // several checks of a stopping server
    g_gate_open = true;
  });
  EXPECT_EQ(emwOSWWaitEventSem(event, -1), 0);
  opener.join();
  stopper.join();
  EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwOSWDeleteEventSem(event), 0);
  EXPECT_EQ(Count(Trace(), "has ended") + Count(Trace(), "dropped"), 0u) << Trace();
}

// --- other users ----------------------------------------------------------------

constexpr uid_t kService = 65534;   // the directory service's user where a row names it
constexpr uid_t kStranger = 65533;  // anyone else
constexpr uid_t kMe = static_cast<uid_t>(-2);  // a row's stand-in for this process's euid

class OtherUsersTest : public PlatformTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    PlatformTest::SetUp();
    ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);  // other users pass through to the folders
    unsetenv("COMM_DIR_SERVICE_USER");
    unsetenv("XDG_RUNTIME_DIR");
    umask(022);
  }
  // `path` made a directory (a file, a symbolic link to a directory) of
  // `mode` and `owner`; `kind` 0 leaves it missing.
  enum Kind { kMissing, kDirectory, kSymlink, kFile };
  static void Make(const std::string& path, Kind kind, mode_t mode, uid_t owner) {
    if (kind == kSymlink) {
      ASSERT_EQ(mkdir((path + ".real").c_str(), 0700) | symlink((path + ".real").c_str(), path.c_str()), 0);
      return;
    }
    if (kind == kFile) std::ofstream(path) << "x";
    ASSERT_TRUE(kind != kDirectory || mkdir(path.c_str(), 0700) == 0);
    ASSERT_TRUE(kind == kMissing || (chmod(path.c_str(), mode) == 0 && chown(path.c_str(), owner == kMe ? 0 : owner, -1) == 0));
  }
  // A socket file `name` in `folder` of `owner`, writable by all as the
  // platform leaves it in a shared folder; its descriptor while `live`.
  static int Socket(const std::string& folder, const std::string& name, uid_t owner, bool live) {
    const sockaddr_un address = Address(folder + "/" + name);
    unlink(address.sun_path);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(chown(address.sun_path, owner, -1) | chmod(address.sun_path, 0666), 0);
    if (live) return fd;
    close(fd);
    return -1;
  }
  std::string Shared() {
    const std::string folder = Path("shared");
    Make(folder, kDirectory, 01777, kMe);
    setenv("COMM_DIR_IPC_DIR", folder.c_str(), 1);
    return folder;
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
    const char* what;
    bool by_default;       // the default folder: XDG_RUNTIME_DIR names `above`
    Made above;            // the directory that holds the folder
    Made folder;           // the folder: "ipc" (COMM_DIR_IPC_DIR) or "commdir" (default)
    const char* service;   // COMM_DIR_SERVICE_USER, or null
    const char* refusal;   // a part of the refusal's reason, or null when the folder is taken
    mode_t socket_others;  // the socket file's group and others bits when taken
  };
  const Made up{kDirectory, 0755, kMe}, runtime{kDirectory, 0700, kMe};
  const Row rows[] = {
      {"own, private", false, up, {kDirectory, 0700, kMe}, nullptr, nullptr, 0055},
      {"own, missing: made private", false, up, {kMissing, 0, kMe}, nullptr, nullptr, 0055},
      {"own, shared with a group, sticky", false, up, {kDirectory, 01770, kMe}, nullptr, nullptr, 0066},
      {"own, shared with everyone, sticky", false, up, {kDirectory, 01733, kMe}, nullptr, nullptr, 0066},
      {"own, group-writable, not sticky", false, up, {kDirectory, 0770, kMe}, nullptr, "is not sticky", 0},
      {"own, world-writable, setgid", false, up, {kDirectory, 02777, kMe}, nullptr, "is not sticky", 0},
      {"the service user's by uid, shared", false, up, {kDirectory, 01770, kService}, "65534", nullptr, 0066},
      {"the service user's by name, shared", false, up, {kDirectory, 01777, kService}, "nobody", nullptr, 0066},
      {"another user's, shared", false, up, {kDirectory, 01777, kStranger}, nullptr, "belongs to uid 65533", 0},
      {"another user's, the service user named", false, up, {kDirectory, 01777, kStranger}, "65534",
       "whom this process does not trust", 0},
      {"another user's, private", false, up, {kDirectory, 0700, kService}, nullptr, "belongs to uid 65534", 0},
      {"a symbolic link", false, up, {kSymlink, 0, kMe}, nullptr, "not a directory", 0},
      {"a plain file", false, up, {kFile, 0600, kMe}, nullptr, "not a directory", 0},
      {"an unknown service user", false, up, {kDirectory, 0700, kMe}, "no-such-user-x", "names no user", 0},
      {"under another user's directory", false, {kDirectory, 0755, kStranger}, {kDirectory, 0700, kMe}, nullptr,
       "which belongs to uid 65533", 0},
      {"under a directory others may write", false, {kDirectory, 0777, kMe}, {kDirectory, 0700, kMe}, nullptr,
       "which others may write", 0},
      {"under a sticky directory", false, {kDirectory, 01777, kMe}, {kDirectory, 0700, kMe}, nullptr, nullptr, 0055},
      {"under a symbolic link", false, {kSymlink, 0, kMe}, {kDirectory, 0700, kMe}, nullptr, "symbolic link", 0},
      {"default, missing: made private", true, runtime, {kMissing, 0, kMe}, nullptr, nullptr, 0055},
      {"default, own, group may enter", true, runtime, {kDirectory, 0750, kMe}, nullptr, "make it private", 0},
      {"default, made first by another user", true, runtime, {kDirectory, 01777, kStranger}, nullptr,
       "belongs to uid 65533", 0},
      {"default, the service user's", true, runtime, {kDirectory, 0700, kService}, "65534", "belongs to uid 65534", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string above = Path(std::to_string(&row - rows));
    const std::string folder = above + (row.by_default ? "/commdir" : "/ipc");
    Make(above, row.above.kind, row.above.mode, row.above.owner);
    Make(folder, row.folder.kind, row.folder.mode, row.folder.owner);
    setenv(row.by_default ? "XDG_RUNTIME_DIR" : "COMM_DIR_IPC_DIR", row.by_default ? above.c_str() : folder.c_str(), 1);
    if (row.by_default) unsetenv("COMM_DIR_IPC_DIR");
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    char chosen[108] = {}, problem[512] = {};
    const RETCODE checked = commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem);
    const RETCODE started = Start("utcp:F", Record);
    UINT clnt[8] = {};
    const RETCODE created = emwGENIpcCreateClient("C", "utcp:F", 0, 0, 0, clnt);
    EXPECT_EQ(chosen, folder);
    if (row.refusal == nullptr) {
      EXPECT_EQ(checked | started | created | emwGENIpcDestroyClient(clnt[0]), 0) << problem;
      struct stat st {};
      EXPECT_TRUE(row.folder.kind != kMissing || (lstat(folder.c_str(), &st) == 0 && (st.st_mode & 07777) == 0700));
      ASSERT_EQ(stat((folder + "/F").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0077, row.socket_others);  // who may connect
    } else {
      EXPECT_NE(std::string(problem).find(row.refusal), std::string::npos) << problem;
      EXPECT_TRUE(checked == EACCES && started == EACCES && created == EACCES);  // nothing is sent into it
      EXPECT_EQ(Count(Trace(), "ipc folder " + folder + " refused: " + problem + "\n"), 2u);  // start, client
    }
    emwGENIpcRequestAdmin("utcp:F", GEN_IPC_ADMIN_STOP);
    started_.clear();
    unsetenv("COMM_DIR_SERVICE_USER");
    unsetenv("XDG_RUNTIME_DIR");
  }
  setenv("COMM_DIR_IPC_DIR", "relative/ipc", 1);  // it would depend on the working directory
  char chosen[108] = {}, problem[512] = {};
  EXPECT_EQ(commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem), EACCES);
  EXPECT_STREQ(problem, "COMM_DIR_IPC_DIR must be an absolute path");

  // The default folder is the runtime directory only when that is the
  // user's and private; else /tmp/commdir-<uid>, as the user finds it.
  constexpr uid_t kUser = 64871;  // no other test's: its /tmp folder is this test's
  unsetenv("COMM_DIR_IPC_DIR");
  const std::pair<mode_t, uid_t> runtimes[] = {{0700, kMe}, {0755, kUser}, {0700, kUser}};
  for (auto [mode, owner] : runtimes) {
    const std::string dir = Path("run" + std::to_string(mode) + "-" + std::to_string(owner));
    Make(dir, kDirectory, mode, owner);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    const std::string expected = owner == kUser && mode == 0700 ? dir + "/commdir" : "/tmp/commdir-64871";
    EXPECT_TRUE(AsUser(kUser, [&] {
      return commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem) == 0 && chosen == expected;
    })) << dir;
  }
  std::filesystem::remove_all("/tmp/commdir-64871");
}

// A server takes its own user's, root's and the named service user's
// datagrams, an open one anyone's; the rest are dropped with a trace.
TEST_F(OtherUsersTest, AServerTakesOnlyTheUsersItTrusts) {
  EXPECT_EQ(commdir_posix_ipc_sender(nullptr, nullptr, nullptr), ENOENT);  // outside a dispatch
  const std::string folder = Shared();
  struct Row {
    bool open;
    const char* service;  // COMM_DIR_SERVICE_USER when the server starts
    uid_t sender;
    bool taken;
  } const rows[] = {{false, "65534", kService, true}, {false, "65534", kStranger, false},
                    {false, nullptr, kService, false}, {true, nullptr, kStranger, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    ASSERT_EQ(Start("utcp:S", Record, row.open), 0);
    unsetenv("COMM_DIR_SERVICE_USER");
    const std::size_t before = Taken(0).size(), refusals = Count(Trace(), "the sender's uid is refused");
    ASSERT_TRUE(AsUser(row.sender, [&] {
      const int fd = Connected(folder + "/S");
      return send(fd, Message(128).data(), 128, 0) == 128;
    }));
    ASSERT_EQ(Send("utcp:S", Message(128)), 0);  // then ours: the child's was dealt with before
    Taken(before + (row.taken ? 2 : 1));
    std::lock_guard<std::mutex> lock(g_inbox.mu);
    ASSERT_EQ(g_inbox.senders.size(), before + (row.taken ? 2 : 1));
    EXPECT_EQ(g_inbox.senders[before], row.taken ? row.sender : 0);
    EXPECT_EQ(Count(Trace(), "the sender's uid is refused"), refusals + (row.taken ? 0 : 1));
    emwGENIpcRequestAdmin("utcp:S", GEN_IPC_ADMIN_STOP);
    started_.clear();
  }
}

// A client reaches only a server whose socket file belongs to a user it
// trusts, checked again after the connect and whenever a pooled socket
// connects anew; a pooled socket goes only to a client that trusts its
// server's owner.
TEST_F(OtherUsersTest, AClientReachesOnlyServersOfUsersItTrusts) {
  const std::string folder = Shared();
  constexpr uid_t kApplication = 0;  // `of`: a client of this process's trust
  constexpr uid_t kUser = 64872;     // a user of the shared folder, not root
  struct Row {
    const char* what;
    uid_t binder;          // who owns the server's socket file
    bool live;             // the server runs (else it has ended: connecting is refused)
    const char* service;   // COMM_DIR_SERVICE_USER
    uid_t as;              // the client's euid
    uid_t pooled;          // a client of this owner came first and left its socket, or kApplication
    uid_t of;              // commdir_posix_ipc_create_client_of's owner, or kApplication
    RETCODE created;       // ECONNREFUSED: the owner passed and connecting was tried
    uid_t swapped_in = 0;  // whose live server takes the name between the look and the connect, or 0
    bool put_back = false;  // after the connect, a new server of the binder takes the name
    uid_t rebound = 0;      // whose server replaces the pooled one's before the send, or 0
  };
  const Row rows[] = {
      {"the service user's, named", kService, false, "65534", 0, kApplication, kApplication, ECONNREFUSED},
      {"the service user's, not named", kService, false, nullptr, 0, kApplication, kApplication, EACCES},
      {"another user's", kStranger, false, "65534", 0, kApplication, kApplication, EACCES},
      {"own, as a user", kUser, false, nullptr, kUser, kApplication, kApplication, ECONNREFUSED},
      {"root's, as a user", 0, false, nullptr, kUser, kApplication, kApplication, ECONNREFUSED},
      {"the requester's", kService, false, nullptr, 0, kApplication, kService, ECONNREFUSED},
      {"root's, for a requester", 0, false, nullptr, 0, kApplication, kService, ECONNREFUSED},
      {"another's, for a requester", kStranger, false, nullptr, 0, kApplication, kService, EACCES},
      {"own, for another requester", kUser, false, nullptr, kUser, kApplication, kService, EACCES},
      {"the requester's, pooled", kService, true, nullptr, 0, kService, kService, 0},
      {"pooled for one requester, asked for another", kService, true, nullptr, 0, kService, kStranger, EACCES},
      {"pooled for a requester, asked by the application", kService, true, "65534", 0, kService, kApplication, 0},
      {"exchanged for another user's during the connect", kService, true, "65534", 0, kApplication, kApplication,
       EACCES, kStranger},
      {"... and for a new one of its owner's after it", kService, true, "65534", 0, kApplication, kApplication,
       EACCES, kStranger, true},
      {"pooled, then replaced by another user's", kService, true, nullptr, 0, kService, kService, 0, 0, false,
       kStranger},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "S" + std::to_string(&row - rows), server = "utcp:" + name;
    int fd = Socket(folder, name, row.binder, row.live), swapped = -1, put_back = -1;
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    auto create = [&](uid_t of, UINT* clnt) {
      return of == kApplication ? emwGENIpcCreateClient("C", server.c_str(), 0, 0, 0, clnt)
                                : commdir_posix_ipc_create_client_of("C", server.c_str(), of, clnt);
    };
    auto move_in = [&](const std::string& from) { rename((folder + "/" + from).c_str(), (folder + "/" + name).c_str()); };
    if (row.swapped_in != 0) {
      swapped = Socket(folder, name + ".new", row.swapped_in, true);
      g_before_connect = [&] { move_in(name + ".new"); };
    }
    if (row.put_back) {
      put_back = Socket(folder, name + ".back", row.binder, true);
      g_after_connect = [&] { move_in(name + ".back"); };
    }
    g_connect_armed = row.swapped_in != 0;
    UINT clnt[8] = {};
    if (row.pooled != kApplication) {
      ASSERT_EQ(create(row.pooled, clnt), 0);
      ASSERT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);  // its socket waits in the pool
    }
    if (row.rebound != 0) {
      close(fd);
      fd = Socket(folder, name, row.rebound, true);
    }
    if (row.as == 0) {
      EXPECT_EQ(create(row.of, clnt), row.created);
      if (row.created == 0) {
        Bytes m = Message(128);
        EXPECT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, m.data(), 128, 0, 0, 0, ~0ul), row.rebound ? EACCES : 0);
        EXPECT_EQ(recv(fd, m.data(), 128, MSG_DONTWAIT), row.rebound ? -1 : 128);
        emwGENIpcDestroyClient(clnt[0]);
      }
    } else {
      EXPECT_TRUE(AsUser(row.as, [&] { return create(row.of, clnt) == row.created; }));
    }
    if (row.swapped_in != 0) {
      Bytes m = Message(128);
      EXPECT_EQ(recv(swapped, m.data(), 128, MSG_DONTWAIT), -1);  // it got nothing
      EXPECT_EQ(Count(Trace(), name + " refused: its socket file changed while connecting"), 1u);
      close(swapped);
      if (put_back >= 0) close(put_back);
    } else if (row.created == EACCES || row.rebound != 0) {
      const uid_t refused = row.rebound != 0 ? row.rebound : row.binder;
      EXPECT_EQ(Count(Trace(), name + " refused: its server runs as uid " + std::to_string(refused)), 1u);
    }
    unsetenv("COMM_DIR_SERVICE_USER");
    if (fd >= 0) close(fd);
  }
}

}  // namespace
