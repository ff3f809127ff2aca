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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"

namespace {

using Bytes = std::vector<char>;
constexpr auto kPatience = std::chrono::seconds(5);

UINT Word(const char* bytes, int offset) {
  UINT w;
  std::memcpy(&w, bytes + offset, sizeof w);
  return w;
}

void PutWord(char* bytes, int offset, UINT w) { std::memcpy(bytes + offset, &w, sizeof w); }

// What the recording servers' dispatch functions received, in order.
struct Inbox {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> messages;

  void add(const char* message) {
    std::lock_guard<std::mutex> lock(mu);
    messages.emplace_back(message, message + Word(message, GEN_IPC_HDR_LENGTH_OFFSET));
    cv.notify_all();
  }
  // Waits (bounded) until `n` messages are in.
  std::vector<Bytes> wait_for(std::size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, kPatience, [&] { return messages.size() >= n; });
    return messages;
  }
};
Inbox g_inbox;
RETCODE Record(char* rcvbuf, char*, int* size) {
  g_inbox.add(rcvbuf);
  *size = 0;
  return 0;
}

// Sends `message` over a fresh client of `server`; the platform's result.
RETCODE Send(const char* server, Bytes message, INT kind = GEN_IPC_KIND_REQUEST) {
  UINT clnt[8] = {};
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server, 0, 0, 0, clnt);
  if (rc != 0) return rc;
  rc = emwGENIpcCallClient(clnt[0], kind, 0, 0, message.data(), static_cast<INT>(message.size()), nullptr, 0,
                           nullptr, static_cast<ULONG>(-1));
  EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);
  return rc;
}

Bytes Message(std::size_t length, std::initializer_list<std::pair<std::size_t, char>> bytes = {}) {
  Bytes m(length, 0);
  for (auto& b : bytes) m[b.first] = b.second;
  return m;
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/commdir-posix-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    folder_ = root_ + "/ipc";
    trace_ = root_ + "/trace.log";
    setenv("COMM_DIR_IPC_DIR", folder_.c_str(), 1);
    setenv("COMM_DIR_TRACE", trace_.c_str(), 1);
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
  std::string Trace() {
    std::ifstream in(trace_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A raw datagram socket connected to the endpoint file `name`.
  int RawClient(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/%s", folder_.c_str(), name.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << name;
    return fd;
  }
  std::string root_, folder_, trace_;
  std::vector<std::string> started_;
};

TEST_F(PosixPlatformTest, StaleDeletedAndForgedIdsFail) {
  UINT mutex = 0, event = 0, task = 0;
  ASSERT_EQ(emwOSWCreateMutexSem(&mutex, 0, 1), 0);
  ASSERT_EQ(emwOSWCreateEventSem(&event, 0, 0), 0);
  UINT clnt[8] = {};
  ASSERT_EQ(Start("utcp:IDS"), 0);
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:IDS", 0, 0, 0, clnt), 0);
  UINT client = clnt[0];
  const UINT live_mutex = mutex, live_event = event;
  // An event id must not work as a mutex id and the reverse.
  EXPECT_NE(emwOSWRequestMutexSem(live_event, 0), 0);
  EXPECT_NE(emwOSWPostEventSem(live_mutex), 0);
  EXPECT_NE(emwGENIpcDestroyClient(live_event), 0);
  ASSERT_EQ(emwOSWDeleteMutexSem(&mutex), 0);
  ASSERT_EQ(emwOSWDeleteEventSem(event), 0);
  ASSERT_EQ(emwGENIpcDestroyClient(client), 0);
  // Many creations later, the stale ids still name nothing.
  for (int i = 0; i < 3000; ++i) {
    UINT m = 0, e = 0;
    ASSERT_EQ(emwOSWCreateMutexSem(&m, 0, 1), 0);
    ASSERT_EQ(emwOSWCreateEventSem(&e, 0, 0), 0);
    ASSERT_NE(m, live_mutex);
    ASSERT_NE(e, live_event);
    ASSERT_EQ(emwOSWDeleteMutexSem(&m), 0);
    ASSERT_EQ(emwOSWDeleteEventSem(e), 0);
  }
  Bytes m = Message(128);
  struct Row {
    const char* call;
    std::function<RETCODE(UINT mutex, UINT event, UINT client)> run;
  } rows[] = {
      {"request", [](UINT id, UINT, UINT) { return emwOSWRequestMutexSem(id, -1); }},
      {"release", [](UINT id, UINT, UINT) { return emwOSWReleaseMutexSem(id); }},
      {"delete mutex", [](UINT id, UINT, UINT) { return emwOSWDeleteMutexSem(&id); }},
      {"reset", [](UINT, UINT id, UINT) { return emwOSWResetEventSem(id); }},
      {"post", [](UINT, UINT id, UINT) { return emwOSWPostEventSem(id); }},
      {"wait", [](UINT, UINT id, UINT) { return emwOSWWaitEventSem(id, -1); }},
      {"delete event", [](UINT, UINT id, UINT) { return emwOSWDeleteEventSem(id); }},
      {"call", [&m](UINT, UINT, UINT id) {
         return emwGENIpcCallClient(id, 0, 0, 0, m.data(), 128, nullptr, 0, nullptr, ~0ul);
       }},
      {"destroy", [](UINT, UINT, UINT id) { return emwGENIpcDestroyClient(id); }},
  };
  const UINT forged[] = {0, 0xFFFFFFFF, 1, 0x40010001, 0x80010001, 0xC0010001};
  for (const Row& row : rows) {
    EXPECT_NE(row.run(live_mutex, live_event, client), 0) << row.call << " stale";
    for (UINT id : forged) EXPECT_NE(row.run(id, id, id), 0) << row.call << " forged " << id;
  }
  EXPECT_NE(emwOSWCreateJoinTask(&task, "t", -1, 0x24000, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), 0);
  EXPECT_NE(emwOSWCreateMutexSem(nullptr, 0, 1), 0);
  EXPECT_NE(emwOSWGetProcessName(nullptr), 0);
}

TEST_F(PosixPlatformTest, MutexBelongsToItsOwner) {
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
  std::thread([id] { EXPECT_EQ(emwOSWRequestMutexSem(id, 0), 0); EXPECT_EQ(emwOSWReleaseMutexSem(id), 0); }).join();
  EXPECT_EQ(emwOSWDeleteMutexSem(&id), 0);
  EXPECT_EQ(id, 0u);

  OSW_Mutex_Semaphore sem(1);
  std::atomic<bool> inside{false};
  std::thread other;
  {
    OSW_Guard guard(sem);
    ASSERT_TRUE(guard.locked());
    other = std::thread([&] { OSW_Guard g(sem); EXPECT_TRUE(g.locked()); EXPECT_TRUE(inside.load()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    inside = true;  // the other guard cannot have got the lock before this
  }
  other.join();
  { OSW_Thread_Guard outer; OSW_Thread_Guard nested; }  // no self-deadlock
}

TEST_F(PosixPlatformTest, EventPostIsNeverLost) {
  UINT id = 0;
  ASSERT_EQ(emwOSWCreateEventSem(&id, 0, 0), 0);
  ASSERT_EQ(emwOSWResetEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 0), ETIMEDOUT);
  ASSERT_EQ(emwOSWPostEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, -1), 0);  // posted before the wait
  ASSERT_EQ(emwOSWResetEventSem(id), 0);
  EXPECT_EQ(emwOSWWaitEventSem(id, 10), ETIMEDOUT);
  EXPECT_EQ(emwOSWWaitEventSem(id, -2), EINVAL);
  std::thread poster([id] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); emwOSWPostEventSem(id); });
  EXPECT_EQ(emwOSWWaitEventSem(id, -1), 0);
  poster.join();
  ASSERT_EQ(emwOSWResetEventSem(id), 0);
  std::thread deleter([id] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); emwOSWDeleteEventSem(id); });
  EXPECT_NE(emwOSWWaitEventSem(id, -1), 0);  // deletion ends the wait
  deleter.join();
}

struct TaskSeen {
  INT a1, a2, a3;
  char name[16];
  size_t stack;
  int detach;
  UINT done;
} g_task;
void TaskEntry(INT a1, INT a2, INT a3) {
  g_task.a1 = a1, g_task.a2 = a2, g_task.a3 = a3;
  pthread_getname_np(pthread_self(), g_task.name, sizeof g_task.name);
  pthread_attr_t attr;
  pthread_getattr_np(pthread_self(), &attr);
  pthread_attr_getstacksize(&attr, &g_task.stack);
  pthread_attr_getdetachstate(&attr, &g_task.detach);
  pthread_attr_destroy(&attr);
  emwOSWPostEventSem(g_task.done);
}

TEST_F(PosixPlatformTest, TaskGetsNameStackAndWords) {
  ASSERT_EQ(emwOSWCreateEventSem(&g_task.done, 0, 0), 0);
  UINT task = 0;
  ASSERT_EQ(emwOSWCreateJoinTask(&task, "comm_dir_thread_a", -1, 0x24000, TaskEntry, 0, 0x7FFFFFFF, -1,
                                 0x12345678, 0, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(emwOSWWaitEventSem(g_task.done, 5000), 0);
  EXPECT_NE(task, 0u);
  EXPECT_EQ(g_task.a1, 0x7FFFFFFF);
  EXPECT_EQ(g_task.a2, -1);
  EXPECT_EQ(g_task.a3, 0x12345678);
  EXPECT_STREQ(g_task.name, "comm_dir_thread");  // what the kernel keeps
  EXPECT_GE(g_task.stack, 0x24000u);
  EXPECT_EQ(g_task.detach, PTHREAD_CREATE_DETACHED);
}

TEST_F(PosixPlatformTest, ProcessNameIsTheProcessesNotTheThreads) {
  ASSERT_EQ(prctl(PR_SET_NAME, "a_process_name_too_long"), 0);  // the main thread: the process name
  char buffer[16];
  std::thread([&] {
    pthread_setname_np(pthread_self(), "other_thread");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(emwOSWGetProcessName(buffer), 0);
  }).join();
  EXPECT_STREQ(buffer, "a_process_name_");
}

TEST_F(PosixPlatformTest, TraceLinesGoWhereTheVariableSays) {
  std::string long_text(10000, 'L');
  emwGENTrcPrintf(0x3409, 258, 1, "[ERROR]<%s>(%d) \n", long_text.c_str(), 42);
  emwGENTrcPrintf(7, 8, 0, "two\nlines");
  setenv("COMM_DIR_TRACE", "off", 1);
  emwGENTrcPrintf(7, 8, 0, "never written");
  std::string trace = Trace();
  std::string expected_tail = " pid=" + std::to_string(getpid()) + " tid=";
  ASSERT_EQ(std::count(trace.begin(), trace.end(), '\n'), 2) << trace;
  EXPECT_NE(trace.find(expected_tail), std::string::npos);
  EXPECT_NE(trace.find("mod=0x3409 cat=258 flag=1 [ERROR]<" + long_text + ">(42) \n"), std::string::npos);
  EXPECT_NE(trace.find("mod=0x7 cat=8 flag=0 two\\nlines\n"), std::string::npos);
  EXPECT_EQ(trace.find("never"), std::string::npos);
  EXPECT_EQ(trace.compare(0, 2, "20"), 0);  // starts with the date
}

TEST_F(PosixPlatformTest, ServerLifecycle) {
  ASSERT_EQ(Start("utcp:LIFE"), 0);
  std::string file = folder_ + "/LIFE";
  struct stat st;
  ASSERT_EQ(lstat(folder_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(Start("utcp:LIFE"), EADDRINUSE);
  ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, 1}})), 0);
  ASSERT_EQ(g_inbox.wait_for(1).size(), 1u);
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  EXPECT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), ENOENT);
  // Started again, the name is reached through the pooled socket of before.
  ASSERT_EQ(Start("utcp:LIFE"), 0);
  ASSERT_EQ(Send("utcp:LIFE", Message(200, {{150, 2}})), 0);
  auto got = g_inbox.wait_for(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1][150], 2);
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
  EXPECT_NE(Send("utcp:LIFE", Message(128)), 0);

  // A socket file left by a dead process is replaced; a live one, or a file
  // that is not a socket, is not.
  int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s/STALE", folder_.c_str());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(Start("utcp:STALE"), EADDRINUSE);  // still open: live
  close(stale);
  EXPECT_EQ(Start("utcp:STALE"), 0);
  std::ofstream(folder_ + "/PLAIN") << "keep";
  EXPECT_NE(Start("utcp:PLAIN"), 0);
  EXPECT_EQ(access((folder_ + "/PLAIN").c_str(), F_OK), 0);
}

TEST_F(PosixPlatformTest, NamesOf1To32CharactersOfTheAlphabetOnly) {
  const std::string name32 = "utcp:" + std::string(27, 'n'), name33 = name32 + "n";
  struct Row {
    const char* name;
    bool valid;
  } rows[] = {{name32.c_str(), true}, {"utcp:a.b-c_D9", true}, {name33.c_str(), false},
              {"utcp:", false},       {nullptr, false},          {"COMM_DIR_SRV", false},
              {"utcp:a/b", false},    {"utcp:a b", false},       {"utcp:..", false},
              {"utcp:\xc3\xa9", false}, {"tcp:abc", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name == nullptr ? "(null)" : row.name);
    UINT clnt[8] = {};
    if (row.valid) {
      ASSERT_EQ(Start(row.name), 0);
      EXPECT_EQ(Send(row.name, Message(128)), 0);
      EXPECT_EQ(emwGENIpcRequestAdmin(row.name, GEN_IPC_ADMIN_STOP), 0);
    } else {
      EXPECT_EQ(Start(row.name), EINVAL);
      EXPECT_EQ(emwGENIpcCreateClient("C", row.name, 0, 0, 0, clnt), EINVAL);
      EXPECT_EQ(emwGENIpcRequestAdmin(row.name, GEN_IPC_ADMIN_STOP), EINVAL);
    }
  }
  EXPECT_EQ(emwGENIpcCreateClient(std::string(33, 'c').c_str(), name32.c_str(), 0, 0, 0, nullptr), EINVAL);
}

TEST_F(PosixPlatformTest, RefusesAFolderOthersControl) {
  struct Row {
    const char* what;
    std::function<void(const std::string&)> make;
    bool needs_root;
  } rows[] = {
      {"group-writable", [](const std::string& f) { mkdir(f.c_str(), 0770); chmod(f.c_str(), 0770); }, false},
      {"world-writable", [](const std::string& f) { mkdir(f.c_str(), 0777); chmod(f.c_str(), 0777); }, false},
      {"a symbolic link", [this](const std::string& f) {
         mkdir((root_ + "/real").c_str(), 0700);
         ASSERT_EQ(symlink("real", f.c_str()), 0);
       }, false},
      {"a plain file", [](const std::string& f) { std::ofstream(f) << "x"; }, false},
      {"another user's", [](const std::string& f) {
         mkdir(f.c_str(), 0700);
         ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
       }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.needs_root && geteuid() != 0) continue;
    std::string folder = root_ + "/f" + std::to_string(&row - rows);
    row.make(folder);
    setenv("COMM_DIR_IPC_DIR", folder.c_str(), 1);
    EXPECT_NE(Start("utcp:F"), 0);
    EXPECT_NE(Send("utcp:F", Message(128)), 0);
    EXPECT_NE(Trace().find("ipc folder " + folder + " refused"), std::string::npos);
  }
}

TEST_F(PosixPlatformTest, TrailingZerosStayHomeAndComeBack) {
  // A raw socket in the server's place shows what travels.
  int raw = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  mkdir(folder_.c_str(), 0700);
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s/RAW", folder_.c_str());
  ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  struct Row {
    Bytes message;
    INT kind;
    std::size_t datagram;
  } rows[] = {
      {Message(49280, {{124, 7}, {199, 9}}), 0, 200},
      {Message(49284, {{49283, 1}}), 1, 49284},
      {Message(49280, {{3, 1}, {71, 1}}), 1, 128},  // header bytes are the platform's
      {Message(128), 0, 128},
  };
  for (Row& row : rows) {
    Bytes before = row.message;
    ASSERT_EQ(Send("utcp:RAW", row.message, row.kind), 0);
    char got[65536];
    ssize_t n = recv(raw, got, sizeof got, 0);
    EXPECT_EQ(n, static_cast<ssize_t>(row.datagram));
    EXPECT_EQ(Word(got, GEN_IPC_HDR_LENGTH_OFFSET), row.message.size());
    EXPECT_EQ(Word(got, GEN_IPC_HDR_KIND_OFFSET), static_cast<UINT>(row.kind));
    EXPECT_EQ(row.message, before);  // the caller's buffer is untouched
  }
  close(raw);
  // Through a server: a short message after a long one sees zeros, not the
  // long one's bytes left in the reused buffer.
  ASSERT_EQ(Start("utcp:FULL"), 0);
  ASSERT_EQ(Send("utcp:FULL", Message(49284, {{49283, 5}, {30000, 6}, {200, 4}})), 0);
  ASSERT_EQ(Send("utcp:FULL", Message(49280, {{200, 3}})), 0);
  auto got = g_inbox.wait_for(2);
  ASSERT_EQ(got.size(), 2u);
  Bytes expected = Message(49280, {{200, 3}});
  PutWord(expected.data(), GEN_IPC_HDR_LENGTH_OFFSET, 49280);
  EXPECT_EQ(got[1], expected);
  EXPECT_EQ(got[0][49283], 5);
}

TEST_F(PosixPlatformTest, MalformedDatagramsAreDroppedWithATrace) {
  ASSERT_EQ(Start("utcp:DROP"), 0);
  int raw = RawClient("DROP");
  int spare = open("/dev/null", O_RDONLY);
  auto open_null_files = [] {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ignored;
      count += std::filesystem::read_symlink(entry.path(), ignored) == "/dev/null";
    }
    return count;
  };
  const int null_files = open_null_files();
  auto with_length = [](std::size_t size, UINT length) {
    Bytes m(size, 1);
    PutWord(m.data(), GEN_IPC_HDR_LENGTH_OFFSET, length);
    return m;
  };
  struct Row {
    const char* reason;
    Bytes datagram;
    bool pass_descriptor;
  } rows[] = {
      {"shorter than 128 bytes", with_length(127, 127), false},
      {"shorter than 128 bytes", Bytes(), false},
      {"longer than its length word", with_length(200, 199), false},
      {"above the largest message", with_length(200, 65537), false},
      {"above the largest message", with_length(200, 0xFFFFFFFF), false},
      {"longer than the largest message", with_length(65537, 65537), false},
      {"carried descriptors", with_length(128, 128), true},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.reason);
    iovec part{row.datagram.data(), row.datagram.size()};
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (row.pass_descriptor) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET, c->cmsg_type = SCM_RIGHTS, c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &spare, sizeof spare);
    }
    ASSERT_GE(sendmsg(raw, &msg, 0), 0) << strerror(errno);
    // The server lives on: the next good message is the next one it takes.
    std::size_t before = g_inbox.wait_for(0).size();
    ASSERT_EQ(Send("utcp:DROP", with_length(128, 128)), 0);
    EXPECT_EQ(g_inbox.wait_for(before + 1).size(), before + 1);
    EXPECT_NE(Trace().find("ipc utcp:DROP: dropped a datagram of " + std::to_string(row.datagram.size()) +
                           " bytes from pid " + std::to_string(getpid())),
              std::string::npos);
    EXPECT_NE(Trace().find(row.reason), std::string::npos);
  }
  EXPECT_EQ(open_null_files(), null_files);  // the passed descriptor was closed on arrival
  close(spare), close(raw);
}

TEST_F(PosixPlatformTest, RefusesASenderOfAnotherUid) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  ASSERT_EQ(Start("utcp:UID"), 0);
  int raw = RawClient("UID");  // connected while root, as the folder is 0700
  pid_t child = fork();
  if (child == 0) {
    Bytes m(128, 0);
    PutWord(m.data(), GEN_IPC_HDR_LENGTH_OFFSET, 128);
    _exit(setuid(65534) == 0 && send(raw, m.data(), m.size(), 0) == 128 ? 0 : 1);
  }
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
  while (fds.empty() || fds.back() < 1100) fds.push_back(open("/dev/null", O_RDONLY));
  ASSERT_GE(fds.back(), 1100);
  ASSERT_EQ(Start("utcp:MANYFD"), 0);
  ASSERT_EQ(Send("utcp:MANYFD", Message(49280, {{500, 1}})), 0);
  EXPECT_EQ(g_inbox.wait_for(1).size(), 1u);
  ASSERT_EQ(emwGENIpcRequestAdmin("utcp:MANYFD", GEN_IPC_ADMIN_STOP), 0);
  for (int fd : fds) close(fd);
}

// An echo server: its dispatch sends every request back, as a reply, to the
// server named at byte 84 (as the library's request form carries it).
RETCODE Echo(char* rcvbuf, char*, int* size) {
  *size = 0;
  Bytes reply(rcvbuf, rcvbuf + Word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET));
  return Send(rcvbuf + 84, reply, GEN_IPC_KIND_REPLY);
}

TEST_F(PosixPlatformTest, StopFromInsideTheDispatch) {
  static std::atomic<RETCODE> stop_rc{-1};
  ASSERT_EQ(emwGENIpcStartServer("utcp:SELF", 0, 0x24000, [](char*, char*, int* size) {
    *size = 0;
    stop_rc = emwGENIpcRequestAdmin("utcp:SELF", GEN_IPC_ADMIN_STOP);
    return 0;
  }), 0);
  ASSERT_EQ(Send("utcp:SELF", Message(128)), 0);
  for (int i = 0; i < 500 && stop_rc == -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(stop_rc, 0);
  EXPECT_NE(access((folder_ + "/SELF").c_str(), F_OK), 0);
}

using PosixPlatformConcurrencyTest = PosixPlatformTest;

TEST_F(PosixPlatformConcurrencyTest, SendersThroughAnEchoServer) {
  ASSERT_EQ(Start("utcp:ECHO", Echo), 0);
  ASSERT_EQ(Start("utcp:REPLIES"), 0);
  constexpr int kThreads = 8, kEach = 40;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        Bytes m = Message(49280);
        std::strcpy(m.data() + 84, "utcp:REPLIES");
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

}  // namespace
