// The POSIX platform over real threads and sockets, in a private folder per
// test (COMM_DIR_IPC_DIR) with the trace written to a file there.
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "support/read_file.h"

namespace {

using Bytes = std::vector<char>;
using std::chrono::milliseconds;

UINT Word(const char* bytes, int offset) {
  UINT w;
  std::memcpy(&w, bytes + offset, sizeof w);
  return w;
}
void PutWord(char* bytes, int offset, UINT w) { std::memcpy(bytes + offset, &w, sizeof w); }

Bytes Message(std::size_t length, std::initializer_list<std::pair<std::size_t, char>> bytes = {}) {
  Bytes m(length, 0);
  for (auto& b : bytes) m[b.first] = b.second;
  PutWord(m.data(), GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(length));  // as a raw sender must
  return m;
}

// What the recording servers' dispatch functions received, in order.
struct Inbox {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> messages;
  std::vector<Bytes> wait_for(std::size_t n) {  // bounded
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return messages.size() >= n; });
    return messages;
  }
} g_inbox;

RETCODE Record(char* rcvbuf, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_inbox.mu);
  g_inbox.messages.emplace_back(rcvbuf, rcvbuf + Word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET));
  g_inbox.cv.notify_all();
  return *size = 0;
}

// Sends `message` over a fresh client of `server`; the platform's result.
// Sends `message` over a client of its own; with `zero_from`, through the
// send that is told where the message's zeros begin.
RETCODE Send(const char* server, Bytes message, INT kind = GEN_IPC_KIND_REQUEST,
             const std::size_t* zero_from = nullptr) {
  UINT clnt[8] = {};
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server, 0, 0, 0, clnt);
  if (rc != 0) return rc;
  const INT length = static_cast<INT>(message.size());
  rc = zero_from != nullptr
           ? commdir_posix_ipc_send_zero_tail(clnt[0], kind, message.data(), length, *zero_from, ~0ul)
           : emwGENIpcCallClient(clnt[0], kind, 0, 0, message.data(), length, nullptr, 0, nullptr, ~0ul);
  EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
  return rc;
}


// --- replies taken by the thread that awaits them ------------------------------
//
// An exchange as the library makes it: the caller creates its event, sends a
// request that names the event (word at byte 72) to "utcp:ECH", whose
// dispatch sends it back as a reply to "utcp:RPL", whose dispatch posts the
// event named. Every dispatch of a reply is recorded with its thread.
struct ReplyLog {
  std::mutex mu;
  std::vector<std::pair<UINT, pthread_t>> posted;  // event, dispatching thread
} g_replies;

RETCODE PostNamedEvent(char* rcvbuf, char*, int* size) {
  *size = 0;
  const UINT event = Word(rcvbuf, 72);
  {
    std::lock_guard<std::mutex> lock(g_replies.mu);
    g_replies.posted.emplace_back(event, pthread_self());
  }
  return emwOSWPostEventSem(event);
}

RETCODE EchoAsReply(char* rcvbuf, char*, int* size) {
  *size = 0;
  return Send("utcp:RPL", Bytes(rcvbuf, rcvbuf + 128), GEN_IPC_KIND_REPLY);
}

// One request to `server` naming a fresh event, and the wait without limit
// for it (unless `meanwhile`, given the event, ends it). The wait's result.
RETCODE Exchange(const char* server = "utcp:ECH", const std::function<void(UINT)>& meanwhile = nullptr,
                 UINT* event_out = nullptr) {
  UINT event = 0, clnt[8] = {};
  if (emwOSWCreateEventSem(&event, 0, 0) != 0) return -100;
  if (event_out != nullptr) *event_out = event;
  Bytes request = Message(128);
  PutWord(request.data(), 72, event);
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server, 0, 0, 0, clnt);
  if (rc == 0) rc = emwGENIpcCallClient(clnt[0], GEN_IPC_KIND_REQUEST, 0, 0, request.data(), 128, nullptr, 0, nullptr, ~0ul);
  std::thread helper;
  if (rc == 0 && meanwhile) helper = std::thread(meanwhile, event);
  if (rc == 0) rc = emwOSWWaitEventSem(event, -1);
  if (helper.joinable()) helper.join();
  emwOSWDeleteEventSem(event);
  emwGENIpcDestroyClient(clnt[0]);
  return rc;
}

std::vector<std::pair<UINT, pthread_t>> RepliesPosted() {
  std::lock_guard<std::mutex> lock(g_replies.mu);
  return g_replies.posted;
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/commdir-posix-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    folder_ = root_ + "/ipc";
    setenv("COMM_DIR_IPC_DIR", folder_.c_str(), 1);
    setenv("COMM_DIR_TRACE", (root_ + "/trace.log").c_str(), 1);
    std::lock_guard<std::mutex> lock(g_inbox.mu);
    g_inbox.messages.clear();
  }
  void TearDown() override {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    std::filesystem::remove_all(root_);
  }
  RETCODE Start(const char* name, PGEN_IPC_DISPATCH dispatch = Record) {
    RETCODE rc = emwGENIpcStartServer(name, 0, 0x24000, dispatch);
    if (rc == 0) started_.push_back(name);
    return rc;
  }
  std::string Trace() { return commdir_testing::read_file(root_ + "/trace.log"); }
  // A raw datagram socket bound at, or connected to, the endpoint file `name`.
  int RawSocket(const std::string& name, bool bound) {
    mkdir(folder_.c_str(), 0700);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{AF_UNIX, {}};
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/%s", folder_.c_str(), name.c_str());
    auto* address = reinterpret_cast<sockaddr*>(&a);
    EXPECT_EQ(bound ? bind(fd, address, sizeof a) : connect(fd, address, sizeof a), 0) << name;
    return fd;
  }
  std::string root_, folder_;
  std::vector<std::string> started_;
};

TEST_F(PosixPlatformTest, StaleDeletedAndForgedIdsFail) {
  UINT mutex = 0, event = 0, clnt[8] = {};
  ASSERT_EQ(emwOSWCreateMutexSem(&mutex, 0, 1), 0);
  ASSERT_EQ(emwOSWCreateEventSem(&event, 0, 0), 0);
  ASSERT_EQ(Start("utcp:IDS"), 0);
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:IDS", 0, 0, 0, clnt), 0);
  const UINT stale_mutex = mutex, stale_event = event, stale_client = clnt[0];
  EXPECT_NE(emwOSWRequestMutexSem(event, 0), 0);  // ids of one kind are no ids of another
  EXPECT_NE(emwOSWPostEventSem(mutex), 0);
  EXPECT_NE(emwGENIpcDestroyClient(event), 0);
  ASSERT_EQ(emwOSWDeleteMutexSem(&mutex), 0);
  ASSERT_EQ(emwOSWDeleteEventSem(event), 0);
  ASSERT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
  // Many creations later the stale ids name nothing, also while new objects
  // live in their slots.
  for (int i = 0; i < 3000; ++i) {
    UINT m = 0, e = 0;
    ASSERT_EQ(emwOSWCreateMutexSem(&m, 0, 1), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&e, 0, 0), 0);
    ASSERT_TRUE(m != stale_mutex && e != stale_event);
    ASSERT_NE(emwOSWRequestMutexSem(stale_mutex, 0), 0);
    ASSERT_NE(emwOSWPostEventSem(stale_event), 0);
    ASSERT_EQ(emwOSWDeleteMutexSem(&m), 0);
    ASSERT_EQ(emwOSWDeleteEventSem(e), 0);
  }
  Bytes m = Message(128);
  std::pair<const char*, std::function<RETCODE(UINT mutex, UINT event, UINT client)>> rows[] = {
      {"request", [](UINT id, UINT, UINT) { return emwOSWRequestMutexSem(id, -1); }},
      {"release", [](UINT id, UINT, UINT) { return emwOSWReleaseMutexSem(id); }},
      {"delete mutex", [](UINT id, UINT, UINT) { return emwOSWDeleteMutexSem(&id); }},
      {"reset", [](UINT, UINT id, UINT) { return emwOSWResetEventSem(id); }},
      {"post", [](UINT, UINT id, UINT) { return emwOSWPostEventSem(id); }},
      {"wait", [](UINT, UINT id, UINT) { return emwOSWWaitEventSem(id, -1); }},
      {"delete event", [](UINT, UINT id, UINT) { return emwOSWDeleteEventSem(id); }},
      {"call", [&m](UINT, UINT, UINT id) { return emwGENIpcCallClient(id, 0, 0, 0, m.data(), 128, 0, 0, 0, ~0ul); }},
      {"destroy", [](UINT, UINT, UINT id) { return emwGENIpcDestroyClient(id); }},
  };
  for (auto& row : rows) {
    EXPECT_NE(row.second(stale_mutex, stale_event, stale_client), 0) << row.first << " stale";
    for (UINT id : {0u, ~0u, 1u, 0x40010001u, 0x80010001u, 0xC0010001u}) {
      EXPECT_NE(row.second(id, id, id), 0) << row.first << " forged " << id;
    }
  }
  EXPECT_NE(emwOSWCreateJoinTask(&mutex, "t", -1, 0x24000, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), 0);
  EXPECT_NE(emwOSWCreateMutexSem(nullptr, 0, 1), 0);
  EXPECT_NE(emwOSWGetProcessName(nullptr), 0);
}

TEST_F(PosixPlatformTest, MutexBelongsToItsOwner) {
  UINT id = 0;
  ASSERT_EQ(emwOSWCreateMutexSem(&id, 0, 1), 0);
  ASSERT_EQ(emwOSWRequestMutexSem(id, -1), 0);
  EXPECT_EQ(emwOSWRequestMutexSem(id, -1), EDEADLK);  // not a hang
  EXPECT_EQ(emwOSWRequestMutexSem(id, 0), EDEADLK);   // a try says so too
  std::thread([id] {
    EXPECT_EQ(emwOSWReleaseMutexSem(id), EPERM);
    EXPECT_EQ(emwOSWRequestMutexSem(id, 0), ETIMEDOUT);
    EXPECT_EQ(emwOSWRequestMutexSem(id, 20), ETIMEDOUT);
  }).join();
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), EBUSY);
  ASSERT_EQ(emwOSWReleaseMutexSem(id), 0);
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), 0);

  // A thread that waits while the owner releases and deletes the mutex
  // either gets it first, and holds it until the deletion has been tried
  // (which then finds it owned), or learns of the deletion (or, not yet
  // waiting, finds the id gone). It never holds a deleted mutex, and never
  // hangs.
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(emwOSWCreateMutexSem(&id, 0, 1), 0);
    ASSERT_EQ(emwOSWRequestMutexSem(id, -1), 0);
    const UINT held = id;
    std::atomic<RETCODE> waiter_got{-1};
    std::atomic<bool> deletion_tried{false};
    std::thread waiter([&] {
      waiter_got = emwOSWRequestMutexSem(held, -1);
      if (waiter_got != 0) return;
      while (!deletion_tried) std::this_thread::yield();
      EXPECT_EQ(emwOSWReleaseMutexSem(held), 0);
    });
    std::this_thread::sleep_for(milliseconds(round % 2));
    ASSERT_EQ(emwOSWReleaseMutexSem(id), 0);
    const RETCODE deleted = emwOSWDeleteMutexSem(&id);
    deletion_tried = true;
    waiter.join();
    if (deleted == 0) {
      EXPECT_TRUE(waiter_got == EIDRM || waiter_got == EINVAL) << "round " << round << ": " << waiter_got;
    } else {
      EXPECT_EQ(deleted, EBUSY);
      EXPECT_EQ(waiter_got, 0) << "round " << round;
      EXPECT_EQ(emwOSWDeleteMutexSem(&id), 0);
    }
  }

  OSW_Mutex_Semaphore sem(1);
  std::atomic<bool> first_guard_gone{false};
  std::thread other;
  {
    OSW_Guard guard(sem);
    ASSERT_TRUE(guard.locked());
    other = std::thread([&] { OSW_Guard g(sem); EXPECT_TRUE(g.locked() && first_guard_gone); });
    std::this_thread::sleep_for(milliseconds(20));
    first_guard_gone = true;
  }
  other.join();
  OSW_Thread_Guard outer, nested;  // nesting on one thread does not lock it out
}

TEST_F(PosixPlatformTest, EventPostIsNeverLost) {
  UINT id = 0;
  ASSERT_EQ(emwOSWCreateEventSem(&id, 0, 0), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 0), ETIMEDOUT);
  ASSERT_EQ(emwOSWPostEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, -1), 0);  // posted before the wait
  EXPECT_EQ(emwOSWWaitEventSem(id, 0), 0);   // and posted until the reset
  ASSERT_EQ(emwOSWResetEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 10), ETIMEDOUT);
  EXPECT_EQ(emwOSWWaitEventSem(id, -2), EINVAL);
  for (auto later : {emwOSWPostEventSem, emwOSWDeleteEventSem}) {
    std::thread other([&] { std::this_thread::sleep_for(milliseconds(20)); later(id); });
    EXPECT_EQ(emwOSWWaitEventSem(id, -1) == 0, later == emwOSWPostEventSem);  // deletion ends the wait too
    other.join();
    emwOSWResetEventSem(id);
  }
}

// What the task saw: its words, name and detach state, and its stack size.
char g_task_seen[64];
size_t g_task_stack;
UINT g_task_done;

TEST_F(PosixPlatformTest, TaskGetsNameStackAndWords) {
  ASSERT_EQ(emwOSWCreateEventSem(&g_task_done, 0, 0), 0);
  UINT task = 0;
  OSW_TASK_ENTRY entry = [](INT a1, INT a2, INT a3) {
    char name[16];
    pthread_getname_np(pthread_self(), name, sizeof name);
    pthread_attr_t attr;
    int detach = -1;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &g_task_stack);
    pthread_attr_getdetachstate(&attr, &detach);
    pthread_attr_destroy(&attr);
    std::snprintf(g_task_seen, sizeof g_task_seen, "%x %d %x %s %d", a1, a2, a3, name, detach);
    emwOSWPostEventSem(g_task_done);
  };
  ASSERT_EQ(emwOSWCreateJoinTask(&task, "comm_dir_thread_a", -1, 0x24000, entry, 0, 0x7FFFFFFF, -1, 0x12345678,
                                 0, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(emwOSWWaitEventSem(g_task_done, 5000), 0);
  EXPECT_NE(task, 0u);
  // The kernel keeps 15 characters of the name.
  EXPECT_EQ(g_task_seen, "7fffffff -1 12345678 comm_dir_thread " + std::to_string(PTHREAD_CREATE_DETACHED));
  EXPECT_GE(g_task_stack, 0x24000u);
}

TEST_F(PosixPlatformTest, ProcessNameIsTheProcessesNotTheThreads) {
  ASSERT_EQ(prctl(PR_SET_NAME, "a_process_name_too_long"), 0);  // the main thread names the process
  char buffer[16];
  std::thread([&] {
    pthread_setname_np(pthread_self(), "other_thread");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(emwOSWGetProcessName(buffer), 0);
  }).join();
  EXPECT_STREQ(buffer, "a_process_name_");
}

// A text that peers fill (a name, a URI, a server's message) can neither
// start a line of its own nor send a terminal a command: every control
// character is escaped, and nothing else is.
TEST_F(PosixPlatformTest, TraceLinesGoWhereTheVariableSaysWithControlCharactersEscaped) {
  std::string long_text(10000, 'L');
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
  std::string trace = Trace();
  EXPECT_EQ(static_cast<std::size_t>(std::count(trace.begin(), trace.end(), '\n')), 1 + std::size(escaped)) << trace;
  EXPECT_EQ(trace.compare(0, 2, "20"), 0);  // starts with the date
  EXPECT_NE(trace.find(" pid=" + std::to_string(getpid()) + " tid="), std::string::npos);
  EXPECT_NE(trace.find("mod=0x3409 cat=258 flag=1 [ERROR]<" + long_text + ">(42) \n"), std::string::npos);
  for (const auto& row : escaped) {
    EXPECT_NE(trace.find(std::string("mod=0x7 cat=8 flag=0 ") + row.second + "\n"), std::string::npos)
        << row.second << "\n" << trace;
  }
}

// A flood of one format is cut to its budget: the first line left out says
// so, other formats still go through, and the next line of that format in a
// later window comes after the count of lines left out. A setting that
// cannot be read keeps the default budget; "off" lifts it.
TEST_F(PosixPlatformTest, AFloodOfOneFormatIsCutToItsBudgetAndTheCountFollows) {
  struct Unset {
    ~Unset() { unsetenv("COMM_DIR_TRACE_LIMIT"); }
  } unset;
  auto count = [](const std::string& trace, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = trace.find(what); at != std::string::npos; at = trace.find(what, at + 1)) ++n;
    return n;
  };
  setenv("COMM_DIR_TRACE_LIMIT", "3/1", 1);
  static const char kFlood[] = "flood %d.";
  for (int i = 0; i < 10; ++i) emwGENTrcPrintf(7, 8, 0, kFlood, i);
  emwGENTrcPrintf(7, 8, 0, "another format");
  std::this_thread::sleep_for(milliseconds(1100));
  emwGENTrcPrintf(7, 8, 0, kFlood, 10);
  std::string trace = Trace();
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(count(trace, "flood " + std::to_string(i) + ".\n"), i < 3 || i == 10 ? 1u : 0u) << i << "\n" << trace;
  }
  EXPECT_EQ(count(trace, "flag=0 trace: leaving out further lines of this format for up to 1 s: flood %d.\n"), 1u) << trace;
  EXPECT_EQ(count(trace, "another format\n"), 1u);
  const std::size_t left_out = trace.find("flag=0 trace: left out 7 lines of this format: flood %d.\n");
  ASSERT_NE(left_out, std::string::npos) << trace;
  EXPECT_LT(left_out, trace.find("flood 10."));

  for (const char* setting : {"3-1", "-1/60", "off"}) {
    SCOPED_TRACE(setting);
    setenv("COMM_DIR_TRACE_LIMIT", setting, 1);
    static const char kMore[] = "more %s %d.";
    for (int i = 0; i < 60; ++i) emwGENTrcPrintf(7, 8, 0, kMore, setting, i);
    trace = Trace();
    EXPECT_EQ(count(trace, std::string("more ") + setting + " 49.\n"), 1u);
    EXPECT_EQ(count(trace, std::string("more ") + setting + " 50.\n"), setting == std::string("off") ? 1u : 0u);
  }
}

// A send waits for room in the server's queue as long as its time-out says:
// 0 only tries, a bound gives ETIMEDOUT after it, -1 waits until the server
// takes a message off its queue.
TEST_F(PosixPlatformTest, SendWaitsForRoomAsLongAsItsTimeOutSays) {
  const int server = RawSocket("FULL", true);  // never reads unless told
  UINT clnt[8] = {};
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:FULL", 0, 0, 0, clnt), 0);
  Bytes m = Message(128);
  auto send = [&](ULONG timeout) { return emwGENIpcCallClient(clnt[0], 0, 0, 0, m.data(), 128, 0, 0, 0, timeout); };
  int queued = 0;
  while (queued < 10000 && send(0) == 0) ++queued;
  ASSERT_GT(queued, 0);
  ASSERT_LT(queued, 10000) << "the queue never filled";
  EXPECT_EQ(send(0), ETIMEDOUT);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send(100), ETIMEDOUT);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(90));
  EXPECT_LT(waited, milliseconds(2000));

  auto unlimited = std::async(std::launch::async, [&] { return send(~0ul); });
  EXPECT_EQ(unlimited.wait_for(milliseconds(100)), std::future_status::timeout) << "did not wait for room";
  char datagram[256];
  ASSERT_GT(recv(server, datagram, sizeof datagram, 0), 0);
  ASSERT_EQ(unlimited.wait_for(milliseconds(5000)), std::future_status::ready);
  EXPECT_EQ(unlimited.get(), 0);
  auto bounded = std::async(std::launch::async, [&] { return send(5000); });
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_GT(recv(server, datagram, sizeof datagram, 0), 0);
  EXPECT_EQ(bounded.get(), 0);
  EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
  close(server);
}

TEST_F(PosixPlatformTest, ServerLifecycle) {
  ASSERT_EQ(Start("utcp:LIFE"), 0);
  struct stat st;
  ASSERT_EQ(lstat(folder_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(Start("utcp:LIFE"), EADDRINUSE);
  ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, 1}})), 0);
  ASSERT_EQ(g_inbox.wait_for(1).size(), 1u);
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
  EXPECT_NE(access((folder_ + "/LIFE").c_str(), F_OK), 0);
  EXPECT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), ENOENT);
  // Started again, the name is reached through the pooled socket of before.
  ASSERT_EQ(Start("utcp:LIFE"), 0);
  ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, 2}})), 0);
  auto got = g_inbox.wait_for(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1][150], 2);
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
  EXPECT_NE(Send("utcp:LIFE", Message(128)), 0);

  // A socket file of a dead process is replaced; a live one, or a file that
  // is not a socket, is not.
  int other = RawSocket("STALE", true);
  EXPECT_EQ(Start("utcp:STALE"), EADDRINUSE);
  close(other);
  EXPECT_EQ(Start("utcp:STALE"), 0);
  std::ofstream(folder_ + "/PLAIN") << "keep";
  EXPECT_NE(Start("utcp:PLAIN"), 0);
  EXPECT_EQ(access((folder_ + "/PLAIN").c_str(), F_OK), 0);
}

TEST_F(PosixPlatformTest, NamesOf1To32CharactersOfTheAlphabetOnly) {
  const std::string name32 = "utcp:" + std::string(27, 'n'), name33 = name32 + "n";
  std::pair<const char*, bool> rows[] = {
      {name32.c_str(), true}, {"utcp:a.b-c_D9", true}, {name33.c_str(), false}, {"utcp:", false},
      {nullptr, false},       {"COMM_DIR_SRV", false}, {"utcp:a/b", false},     {"utcp:a b", false},
      {"utcp:..", false},     {"utcp:\xc3\xa9", false}, {"tcp:abc", false}};
  for (auto& [name, valid] : rows) {
    SCOPED_TRACE(name == nullptr ? "(null)" : name);
    UINT clnt[8] = {};
    EXPECT_EQ(Start(name), valid ? 0 : EINVAL);
    EXPECT_EQ(emwGENIpcCreateClient("C", name, 0, 0, 0, clnt) == 0, valid);
    if (valid) {
      EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
    }
    EXPECT_EQ(emwGENIpcRequestAdmin(name, GEN_IPC_ADMIN_STOP), valid ? 0 : EINVAL);
  }
  UINT clnt[8] = {};
  EXPECT_EQ(emwGENIpcCreateClient(name33.c_str(), name32.c_str(), 0, 0, 0, clnt), EINVAL);
}

TEST_F(PosixPlatformTest, TrailingZerosStayHomeAndComeBack) {
  int raw = RawSocket("RAW", true);  // in a server's place, it shows what travels
  std::tuple<Bytes, INT, ssize_t> rows[] = {
      {Message(49280, {{124, 7}, {199, 9}}), 0, 200},
      {Message(49284, {{49283, 1}}), 1, 49284},
      {Message(49280, {{3, 1}, {71, 1}}), 1, 128},  // the header is the platform's
      {Message(128), 0, 128},
  };
  for (auto& [message, kind, datagram] : rows) {
    Bytes before = message;
    ASSERT_EQ(Send("utcp:RAW", message, kind), 0);
    char got[65536];
    EXPECT_EQ(recv(raw, got, sizeof got, 0), datagram);
    EXPECT_EQ(Word(got, GEN_IPC_HDR_LENGTH_OFFSET), message.size());
    EXPECT_EQ(Word(got, GEN_IPC_HDR_KIND_OFFSET), static_cast<UINT>(kind));
    EXPECT_EQ(Word(got, 0), 0u);
    EXPECT_EQ(message, before);  // the caller's buffer is untouched
  }
  // Told where the zeros begin, the platform looks only before that, never
  // below its header, never beyond the message; a tail that is not zero
  // after all is the sender's loss.
  std::tuple<std::size_t, ssize_t> told[] = {{49280, 200}, {200, 200}, {1000000, 200}, {190, 128}, {0, 128}};
  for (auto& [zero_from, datagram] : told) {
    SCOPED_TRACE(zero_from);
    ASSERT_EQ(Send("utcp:RAW", Message(49280, {{124, 7}, {199, 9}}), 0, &zero_from), 0);
    char got[65536];
    EXPECT_EQ(recv(raw, got, sizeof got, 0), datagram);
    EXPECT_EQ(Word(got, GEN_IPC_HDR_LENGTH_OFFSET), 49280u);
  }
  close(raw);
  // Through a server: a short message after a long one sees zeros, not the
  // long one's bytes left in the reused buffer.
  ASSERT_EQ(Start("utcp:FULL"), 0);
  ASSERT_EQ(Send("utcp:FULL", Message(49284, {{49283, 5}, {30000, 6}, {200, 4}})), 0);
  ASSERT_EQ(Send("utcp:FULL", Message(49280, {{200, 3}})), 0);
  auto got = g_inbox.wait_for(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], Message(49280, {{200, 3}}));
  // The same after a long datagram that is refused: its bytes stay behind in
  // the buffer all the same, and must not show through.
  int stranger = RawSocket("FULL", false);
  Bytes refused(60000, 7);
  PutWord(refused.data(), GEN_IPC_HDR_LENGTH_OFFSET, 59999);  // longer than its length word
  ASSERT_EQ(send(stranger, refused.data(), refused.size(), 0), static_cast<ssize_t>(refused.size()));
  close(stranger);
  ASSERT_EQ(Send("utcp:FULL", Message(49284, {{300, 2}})), 0);
  got = g_inbox.wait_for(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2], Message(49284, {{300, 2}}));
}

TEST_F(PosixPlatformTest, MalformedDatagramsAreDroppedWithATrace) {
  ASSERT_EQ(Start("utcp:DROP"), 0);
  int raw = RawSocket("DROP", false);
  auto with_length = [](std::size_t size, UINT length) {
    Bytes m(size, 1);
    PutWord(m.data(), GEN_IPC_HDR_LENGTH_OFFSET, length);
    return m;
  };
  auto open_files = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  ASSERT_EQ(Send("utcp:DROP", Message(128)), 0);  // the client socket is pooled from now on
  ASSERT_EQ(g_inbox.wait_for(1).size(), 1u);
  emwGENTrcPrintf(7, 8, 0, "and the trace file open");
  const auto files = open_files();
  std::tuple<const char*, Bytes, bool> rows[] = {
      {"it is shorter than 128 bytes", with_length(127, 127), false},
      {"it is shorter than 128 bytes", Bytes(1, 1), false},  // 0 bytes: a client's check, ignored
      {"it is longer than its length word", with_length(200, 199), false},
      {"its length word is above the largest message", with_length(200, 65537), false},
      {"its length word is above the largest message", with_length(200, 0xFFFFFFFF), false},
      {"it is longer than the largest message", with_length(65537, 65537), false},
      {"it carried more than credentials", with_length(128, 128), true},
  };
  for (auto& [reason, datagram, pass_descriptor] : rows) {
    SCOPED_TRACE(reason);
    iovec part{datagram.data(), datagram.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{nullptr, 0, &part, 1, pass_descriptor ? control : nullptr, pass_descriptor ? sizeof control : 0, 0};
    if (pass_descriptor) {
      *CMSG_FIRSTHDR(&msg) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
      std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), &raw, sizeof raw);
    }
    ASSERT_GE(sendmsg(raw, &msg, 0), 0) << strerror(errno);
    // The server lives on, and the next good message is the next it takes.
    std::size_t before = g_inbox.wait_for(0).size();
    ASSERT_EQ(Send("utcp:DROP", Message(128)), 0);
    EXPECT_EQ(g_inbox.wait_for(before + 1).size(), before + 1);
    EXPECT_NE(Trace().find("ipc utcp:DROP: dropped a datagram of " + std::to_string(datagram.size()) +
                           " bytes from pid " + std::to_string(getpid()) + " uid " + std::to_string(getuid()) + ": " + reason),
              std::string::npos);
  }
  EXPECT_EQ(open_files(), files);  // the passed descriptor was closed on arrival
  close(raw);
}

TEST_F(PosixPlatformTest, RefusesASenderOfAnotherUid) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  ASSERT_EQ(Start("utcp:UID"), 0);
  int raw = RawSocket("UID", false);  // connected while root: the folder is 0700
  pid_t child = fork();
  if (child == 0) _exit(setuid(65534) == 0 && send(raw, Message(128).data(), 128, 0) == 128 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(Send("utcp:UID", Message(128)), 0);  // ours comes after the stranger's
  EXPECT_EQ(g_inbox.wait_for(1).size(), 1u);
  EXPECT_NE(Trace().find("uid 65534: the sender's uid is refused"), std::string::npos);
  close(raw);
}

TEST_F(PosixPlatformTest, WorksWithMoreThan1024DescriptorsOpen) {
  std::vector<int> fds;
  while (fds.empty() || (fds.back() >= 0 && fds.back() < 1100)) fds.push_back(open("/dev/null", O_RDONLY));
  ASSERT_GE(fds.back(), 1100);
  ASSERT_EQ(Start("utcp:MANYFD"), 0);
  ASSERT_EQ(Send("utcp:MANYFD", Message(49280, {{500, 1}})), 0);
  EXPECT_EQ(g_inbox.wait_for(1).size(), 1u);
  for (int fd : fds) close(fd);
}

TEST_F(PosixPlatformTest, StopFromInsideTheDispatch) {
  static std::atomic<RETCODE> stop_rc{-1};
  ASSERT_EQ(emwGENIpcStartServer("utcp:SELF", 0, 0x24000, [](char*, char*, int* size) {
    stop_rc = emwGENIpcRequestAdmin("utcp:SELF", GEN_IPC_ADMIN_STOP);
    return *size = 0;
  }), 0);
  ASSERT_EQ(Send("utcp:SELF", Message(128)), 0);
  for (int i = 0; i < 500 && stop_rc == -1; ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(stop_rc, 0);
  EXPECT_NE(access((folder_ + "/SELF").c_str(), F_OK), 0);
}


// After the first replies have shown where replies come, a lone caller takes
// its reply on its own thread; the server's thread dispatched the first. A
// caller that comes back while the thread is still busy with the last reply
// waits for the thread instead, and on a loaded machine runs of those are
// long; so the test counts replies taken on the caller until it has
// kOnTheCaller of them, within a bound no loaded machine comes near. A
// server that never lets a caller receive takes none.
TEST_F(PosixPlatformTest, AWaitingCallerTakesItsOwnReply) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent), 0);
  ASSERT_EQ(Start("utcp:ECH", EchoAsReply), 0);
  constexpr int kOnTheCaller = 10;
  constexpr int kMostExchanges = 2000;
  const std::size_t before = RepliesPosted().size();
  int exchanges = 0;
  int on_the_caller = 0;
  while (on_the_caller < kOnTheCaller && exchanges < kMostExchanges) {
    ASSERT_EQ(Exchange(), 0) << exchanges;
    ++exchanges;
    const auto posted = RepliesPosted();
    ASSERT_EQ(posted.size(), before + exchanges);  // each reply dispatched once
    if (exchanges > 2 && pthread_equal(posted.back().second, pthread_self())) ++on_the_caller;
  }
  EXPECT_FALSE(pthread_equal(RepliesPosted()[before].second, pthread_self()));
  EXPECT_EQ(on_the_caller, kOnTheCaller) << "after " << exchanges << " exchanges";
}

// A caller that receives on the reply server learns at once of its event
// posted or deleted by a thread that is not dispatching there, well before
// it would ask after the server; and a stop of the reply server while it
// receives ends neither the stop nor the wait wrongly.
TEST_F(PosixPlatformTest, AReceivingCallerIsWokenByAPostElsewhereAndByAStop) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent), 0);
  ASSERT_EQ(Start("utcp:ECH", EchoAsReply), 0);
  ASSERT_EQ(Start("utcp:MUTE"), 0);  // takes requests, never answers
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Exchange(), 0);
  struct Row {
    const char* what;
    std::function<RETCODE(UINT)> end;
    RETCODE wait_rc;
  };
  const Row rows[] = {
      {"posted", [](UINT event) { return emwOSWPostEventSem(event); }, 0},
      {"deleted", [](UINT event) { return emwOSWDeleteEventSem(event); }, EIDRM},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const auto started = std::chrono::steady_clock::now();
    RETCODE end_rc = -1;
    EXPECT_EQ(Exchange("utcp:MUTE", [&](UINT event) {
                std::this_thread::sleep_for(milliseconds(30));
                end_rc = row.end(event);
              }),
              row.wait_rc);
    EXPECT_EQ(end_rc, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(200));  // no 250 ms slice
  }
  RETCODE stop_rc = -1;
  EXPECT_EQ(Exchange("utcp:MUTE", [&](UINT event) {
              std::this_thread::sleep_for(milliseconds(30));
              stop_rc = emwGENIpcRequestAdmin("utcp:RPL", GEN_IPC_ADMIN_STOP);
              emwOSWPostEventSem(event);
            }),
            0);
  EXPECT_EQ(stop_rc, 0);
  EXPECT_NE(access((folder_ + "/RPL").c_str(), F_OK), 0);
}

using PosixPlatformConcurrencyTest = PosixPlatformTest;

// Threads send at once to an echo server, whose dispatch sends each message
// back as a reply to a second server (the reply path of a real exchange).
TEST_F(PosixPlatformConcurrencyTest, SendersThroughAnEchoServer) {
  ASSERT_EQ(Start("utcp:ECHO", [](char* rcvbuf, char*, int* size) {
    *size = 0;
    return Send("utcp:REPLIES", Bytes(rcvbuf, rcvbuf + 49280), GEN_IPC_KIND_REPLY);
  }), 0);
  ASSERT_EQ(Start("utcp:REPLIES"), 0);
  constexpr int kThreads = 8, kEach = 40;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        Bytes m = Message(49280);
        PutWord(m.data(), 124, static_cast<UINT>(t * kEach + i));
        ASSERT_EQ(Send("utcp:ECHO", m), 0);
      }
    });
  }
  for (auto& s : senders) s.join();
  auto got = g_inbox.wait_for(kThreads * kEach);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> seen(kThreads * kEach, 0);
  for (const Bytes& m : got) {
    EXPECT_EQ(Word(m.data(), GEN_IPC_HDR_KIND_OFFSET), 1u);
    ++seen.at(Word(m.data(), 124));
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kThreads * kEach);
}


// Callers at once: whoever receives dispatches the others' replies too, the
// server's thread takes over when callers wait while another receives, and
// every caller gets its own reply, each dispatched exactly once.
TEST_F(PosixPlatformConcurrencyTest, CallersTakeEachOthersRepliesAndEachGetsItsOwn) {
  ASSERT_EQ(Start("utcp:RPL", PostNamedEvent), 0);
  ASSERT_EQ(Start("utcp:ECH", EchoAsReply), 0);
  ASSERT_EQ(Exchange(), 0);  // where replies come is known from here on
  constexpr int kThreads = 16, kEach = 60;
  const std::size_t before = RepliesPosted().size();
  std::atomic<int> failed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        if (Exchange() != 0) ++failed;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failed.load(), 0);
  const auto posted = RepliesPosted();
  EXPECT_EQ(posted.size(), before + kThreads * kEach);
}

}  // namespace
