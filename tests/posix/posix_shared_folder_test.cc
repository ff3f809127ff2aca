// The POSIX platform among several users: which folders it takes, whose
// servers its clients reach, whose datagrams its servers take. Another user
// is a uid that a file is chowned to or that a forked child switches to, so
// the rows that need one run as root only.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "support/read_file.h"

// Run once by the next connect() of this process, just before it and just
// after it, when set: a row exchanges a socket file there, as a user racing
// the platform's check of its owner would. The platform's calls of
// connect() come here first (the executable's symbol wins).
std::function<void()> g_before_connect, g_after_connect;

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "connect"));
  const std::function<void()> before = std::move(g_before_connect), after = std::move(g_after_connect);
  g_before_connect = g_after_connect = nullptr;
  if (before) before();
  const int rc = real(fd, address, length);
  if (after) after();
  return rc;
}

namespace {

constexpr uid_t kService = 65534;   // the directory service's user where a row names it
constexpr uid_t kStranger = 65533;  // anyone else
constexpr uid_t kMe = static_cast<uid_t>(-2);  // a row's stand-in for this process's euid
constexpr std::size_t kSize = 128;

// Who sent each message that a server took, as its dispatch learned it.
struct Senders {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<uid_t> taken;  // guarded by mu
} g_senders;

RETCODE RecordSender(char*, char*, int* size) {
  uid_t uid = 0;
  commdir_posix_ipc_sender(&uid, nullptr, nullptr);
  std::lock_guard<std::mutex> lock(g_senders.mu);
  g_senders.taken.push_back(uid);
  g_senders.cv.notify_all();
  return *size = 0;
}

std::vector<char> Message() {
  std::vector<char> message(kSize, 0);
  const UINT length = kSize;
  std::memcpy(message.data() + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
  return message;
}

// Runs `body` in a forked child as `uid` (and its group); true when the
// child could switch and `body` returned true.
template <typename Body>
bool AsUser(uid_t uid, Body body) {
  const pid_t child = fork();
  if (child == 0) _exit(setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0 && body() ? 0 : 1);
  int status = -1;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class PosixSharedFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/commdir-shared-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // other users pass through to the folders
    setenv("COMM_DIR_TRACE", (root_ + "/trace.log").c_str(), 1);
    unsetenv("COMM_DIR_SERVICE_USER");
    unsetenv("XDG_RUNTIME_DIR");
    umask(022);
  }
  void TearDown() override {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    std::filesystem::remove_all(root_);
  }
  // A directory `name` in the test's folder, with `mode` and `owner`.
  std::string Directory(const std::string& name, mode_t mode, uid_t owner) {
    const std::string path = root_ + "/" + name;
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_EQ(chown(path.c_str(), owner == kMe ? geteuid() : owner, static_cast<gid_t>(-1)), 0);
    return path;
  }
  // A socket file bound at `name` in the IPC folder and owned by `owner`;
  // its descriptor (open: a live server; closed: one that has ended).
  int Socket(const std::string& folder, const char* name, uid_t owner, bool live) {
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", folder.c_str(), name);
    unlink(address.sun_path);  // a server that was there before has ended
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(chown(address.sun_path, owner, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(chmod(address.sun_path, 0666), 0);  // as the platform leaves it in a shared folder
    if (live) return fd;
    close(fd);
    return -1;
  }
  RETCODE Start(const char* name, bool open) {
    RETCODE rc = open ? commdir_posix_ipc_start_open_server(name, 0, 0x24000, RecordSender)
                      : emwGENIpcStartServer(name, 0, 0x24000, RecordSender);
    if (rc == 0) started_.push_back(name);
    return rc;
  }
  void StopAll() {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    started_.clear();
  }
  std::string Trace() { return commdir_testing::read_file(root_ + "/trace.log"); }
  std::string root_;
  std::vector<std::string> started_;
};

TEST_F(PosixSharedFolderTest, TakesAFolderOnlyWhenNoUntrustedUserCanReplaceIt) {
  enum class Kind { kMissing, kDirectory, kSymlink, kFile };
  struct Made {
    Kind kind;
    mode_t mode;
    uid_t owner;
  };
  struct Row {
    const char* what;
    bool by_default;       // the default folder: XDG_RUNTIME_DIR names `above`
    Made above;            // the directory that holds the folder
    Made folder;           // the folder, "ipc" (COMM_DIR_IPC_DIR) or "commdir" (default)
    const char* service;   // COMM_DIR_SERVICE_USER, or null
    const char* refusal;   // a part of the refusal's reason, or null when the folder is taken
    mode_t socket_others;  // the socket file's group and others bits when taken
  };
  const Made up{Kind::kDirectory, 0755, kMe};
  const Made runtime{Kind::kDirectory, 0700, kMe};
  const Row rows[] = {
      {"own, private", false, up, {Kind::kDirectory, 0700, kMe}, nullptr, nullptr, 0055},
      {"own, missing: made private", false, up, {Kind::kMissing, 0, kMe}, nullptr, nullptr, 0055},
      {"own, shared with a group, sticky", false, up, {Kind::kDirectory, 01770, kMe}, nullptr, nullptr, 0066},
      {"own, shared with everyone, sticky", false, up, {Kind::kDirectory, 01733, kMe}, nullptr, nullptr, 0066},
      {"own, group-writable, not sticky", false, up, {Kind::kDirectory, 0770, kMe}, nullptr, "is not sticky", 0},
      {"own, world-writable, not sticky", false, up, {Kind::kDirectory, 0777, kMe}, nullptr, "is not sticky", 0},
      {"the service user's by uid, shared", false, up, {Kind::kDirectory, 01770, kService}, "65534", nullptr, 0066},
      {"the service user's by name, shared", false, up, {Kind::kDirectory, 01777, kService}, "nobody", nullptr, 0066},
      {"another user's, shared, sticky", false, up, {Kind::kDirectory, 01777, kStranger}, nullptr,
       "belongs to uid 65533", 0},
      {"another user's, while the service user is named", false, up, {Kind::kDirectory, 01777, kStranger}, "65534",
       "whom this process does not trust", 0},
      {"another user's, private", false, up, {Kind::kDirectory, 0700, kService}, nullptr, "belongs to uid 65534", 0},
      {"a symbolic link", false, up, {Kind::kSymlink, 0, kMe}, nullptr, "not a directory", 0},
      {"a plain file", false, up, {Kind::kFile, 0600, kMe}, nullptr, "not a directory", 0},
      {"an unknown service user", false, up, {Kind::kDirectory, 0700, kMe}, "no-such-user-x", "names no user", 0},
      {"under another user's directory", false, {Kind::kDirectory, 0755, kStranger}, {Kind::kDirectory, 0700, kMe},
       nullptr, "which belongs to uid 65533", 0},
      {"under a directory others may write", false, {Kind::kDirectory, 0777, kMe}, {Kind::kDirectory, 0700, kMe},
       nullptr, "which others may write", 0},
      {"under a sticky directory", false, {Kind::kDirectory, 01777, kMe}, {Kind::kDirectory, 0700, kMe}, nullptr,
       nullptr, 0055},
      {"under a symbolic link", false, {Kind::kSymlink, 0, kMe}, {Kind::kDirectory, 0700, kMe}, nullptr,
       "symbolic link", 0},
      {"default, missing: made private", true, runtime, {Kind::kMissing, 0, kMe}, nullptr, nullptr, 0055},
      {"default, own, group may enter", true, runtime, {Kind::kDirectory, 0750, kMe}, nullptr, "make it private", 0},
      {"default, made first by another user", true, runtime, {Kind::kDirectory, 01777, kStranger}, nullptr,
       "belongs to uid 65533", 0},
      {"default, the service user's", true, runtime, {Kind::kDirectory, 0700, kService}, "65534",
       "belongs to uid 65534", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const bool other_user = row.above.owner != kMe || row.folder.owner != kMe;
    if (other_user && geteuid() != 0) continue;  // chown needs root
    const std::string base = Directory(std::to_string(&row - rows), 0755, kMe);
    const std::string above = base + "/up";
    const std::string folder = above + (row.by_default ? "/commdir" : "/ipc");
    auto make = [&](const Made& made, const std::string& path) {
      if (made.kind == Kind::kSymlink) {
        ASSERT_EQ(mkdir((path + ".real").c_str(), 0700), 0);
        ASSERT_EQ(symlink((path + ".real").c_str(), path.c_str()), 0);
      } else if (made.kind == Kind::kFile) {
        std::ofstream(path) << "x";
      }
      if (made.kind == Kind::kDirectory) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
      }
      if (made.kind == Kind::kDirectory || made.kind == Kind::kFile) {
        ASSERT_EQ(chmod(path.c_str(), made.mode), 0);
        ASSERT_EQ(chown(path.c_str(), made.owner == kMe ? geteuid() : made.owner, static_cast<gid_t>(-1)), 0);
      }
    };
    make(row.above, above);
    make(row.folder, folder);
    if (row.by_default) {
      unsetenv("COMM_DIR_IPC_DIR");
      setenv("XDG_RUNTIME_DIR", above.c_str(), 1);
    } else {
      setenv("COMM_DIR_IPC_DIR", folder.c_str(), 1);
    }
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);

    char chosen[108] = {}, problem[512] = {};
    const RETCODE checked = commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem);
    const RETCODE started = Start("utcp:F", false);
    UINT clnt[8] = {};
    const RETCODE created = emwGENIpcCreateClient("C", "utcp:F", 0, 0, 0, clnt);
    EXPECT_EQ(chosen, folder);
    if (row.refusal == nullptr) {
      EXPECT_EQ(checked, 0) << problem;
      EXPECT_EQ(started, 0);
      EXPECT_EQ(created, 0);
      emwGENIpcDestroyClient(clnt[0]);
      struct stat st{};
      ASSERT_EQ(lstat(folder.c_str(), &st), 0);
      if (row.folder.kind == Kind::kMissing) {
        EXPECT_EQ(st.st_mode & 07777, 0700u);
      }
      ASSERT_EQ(stat((folder + "/F").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0077, row.socket_others);  // who may connect
    } else {
      EXPECT_EQ(checked, EACCES);
      EXPECT_NE(std::string(problem).find(row.refusal), std::string::npos) << problem;
      EXPECT_EQ(started, EACCES);
      EXPECT_EQ(created, EACCES);  // nothing is sent into it
      EXPECT_NE(Trace().find("ipc folder " + folder + " refused: " + problem), std::string::npos) << Trace();
    }
    StopAll();
    unsetenv("COMM_DIR_SERVICE_USER");
    unsetenv("XDG_RUNTIME_DIR");
  }
  setenv("COMM_DIR_IPC_DIR", "relative/ipc", 1);  // it would depend on the working directory
  char chosen[108] = {}, problem[512] = {};
  EXPECT_EQ(commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem), EACCES);
  EXPECT_STREQ(problem, "COMM_DIR_IPC_DIR must be an absolute path");
}

TEST_F(PosixSharedFolderTest, TheDefaultFolderIsTheRuntimeDirectoryOnlyWhenThatIsPrivate) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a user of its own";
  constexpr uid_t kUser = 64871;  // one no other test uses: its /tmp folder is this test's
  const std::string mine = Directory("mine", 0700, kMe);
  const std::string users = Directory("run", 0755, kUser);
  const std::string fallback = "/tmp/commdir-" + std::to_string(kUser);
  auto chosen_as_user = [&](const std::string& expected) {
    return AsUser(kUser, [&] {
      char chosen[108] = {}, problem[512] = {};
      return commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem) == 0 && chosen == expected;
    });
  };
  unsetenv("COMM_DIR_IPC_DIR");
  setenv("XDG_RUNTIME_DIR", mine.c_str(), 1);
  char chosen[108] = {}, problem[512] = {};
  EXPECT_EQ(commdir_posix_ipc_folder(chosen, sizeof chosen, problem, sizeof problem), 0) << problem;
  EXPECT_EQ(chosen, mine + "/commdir");
  EXPECT_TRUE(chosen_as_user(fallback));  // not the user's (nor this process's choice, made before the fork)
  setenv("XDG_RUNTIME_DIR", users.c_str(), 1);
  EXPECT_TRUE(chosen_as_user(fallback));  // the user's, but others may enter it
  ASSERT_EQ(chmod(users.c_str(), 0700), 0);
  EXPECT_TRUE(chosen_as_user(users + "/commdir"));
  std::filesystem::remove_all(fallback);
  unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(PosixSharedFolderTest, ServersTakeTheirOwnRootTheServiceUserAndAnyoneIfOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to send as other users";
  uid_t uid = 0;
  EXPECT_EQ(commdir_posix_ipc_sender(&uid, nullptr, nullptr), ENOENT);  // outside a dispatch
  const std::string folder = Directory("shared", 01777, kMe);
  setenv("COMM_DIR_IPC_DIR", folder.c_str(), 1);
  struct Row {
    bool open;
    const char* service;  // COMM_DIR_SERVICE_USER when the server starts
    uid_t sender;
    bool taken;
  };
  const Row rows[] = {
      {false, "65534", kService, true},
      {false, "65534", kStranger, false},
      {false, nullptr, kService, false},  // the service user only when named
      {true, nullptr, kStranger, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.open ? "open" : "closed") + " server, from uid " + std::to_string(row.sender));
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    ASSERT_EQ(Start("utcp:S", row.open), 0);
    unsetenv("COMM_DIR_SERVICE_USER");
    {
      std::lock_guard<std::mutex> lock(g_senders.mu);
      g_senders.taken.clear();
    }
    // The child sends as the sender: the socket file lets every user of
    // the folder connect, and only the server's rule decides.
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/S", folder.c_str());
    ASSERT_TRUE(AsUser(row.sender, [&] {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             send(fd, Message().data(), kSize, 0) == static_cast<ssize_t>(kSize);
    }));
    // Then one of ours, after which the server has dealt with the child's.
    UINT clnt[8] = {};
    ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:S", 0, 0, 0, clnt), 0);
    ASSERT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, Message().data(), kSize, nullptr, 0, nullptr, ~0ul), 0);
    emwGENIpcDestroyClient(clnt[0]);
    std::unique_lock<std::mutex> lock(g_senders.mu);
    g_senders.cv.wait_for(lock, std::chrono::seconds(5), [] {
      return !g_senders.taken.empty() && g_senders.taken.back() == geteuid();
    });
    ASSERT_EQ(g_senders.taken.size(), row.taken ? 2u : 1u);
    if (row.taken) {
      EXPECT_EQ(g_senders.taken[0], row.sender);
    } else {
      EXPECT_NE(Trace().find("uid " + std::to_string(row.sender) + ": the sender's uid is refused"),
                std::string::npos);
    }
    lock.unlock();
    StopAll();
  }
}

TEST_F(PosixSharedFolderTest, ClientsReachOnlyServersOfUsersTheyTrust) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give sockets to other users";
  const std::string folder = Directory("shared", 01777, kMe);
  setenv("COMM_DIR_IPC_DIR", folder.c_str(), 1);
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
    uid_t swapped_in = 0;  // whose live server takes the name between the check and the connect, or 0
    bool put_back = false;  // after the connect, a new server of the binder takes the name
    uid_t rebound = 0;      // whose server replaces the pooled one's before the send (connecting anew), or 0
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
    const std::string name = "S" + std::to_string(&row - rows);
    const std::string server = "utcp:" + name;
    int fd = Socket(folder, name.c_str(), row.binder, row.live);
    if (row.service != nullptr) setenv("COMM_DIR_SERVICE_USER", row.service, 1);
    auto create = [&](uid_t of, UINT* clnt) {
      return of == kApplication ? emwGENIpcCreateClient("C", server.c_str(), 0, 0, 0, clnt)
                                : commdir_posix_ipc_create_client_of("C", server.c_str(), of, clnt);
    };
    int swapped = -1, put_back = -1;
    if (row.swapped_in != 0) {
      swapped = Socket(folder, (name + ".new").c_str(), row.swapped_in, true);
      g_before_connect = [&] { rename((folder + "/" + name + ".new").c_str(), (folder + "/" + name).c_str()); };
    }
    if (row.put_back) {
      put_back = Socket(folder, (name + ".back").c_str(), row.binder, true);
      g_after_connect = [&] { rename((folder + "/" + name + ".back").c_str(), (folder + "/" + name).c_str()); };
    }
    UINT clnt[8] = {};
    if (row.pooled != kApplication) {
      ASSERT_EQ(create(row.pooled, clnt), 0);
      ASSERT_EQ(emwGENIpcDestroyClient(clnt[0]), 0);  // its socket waits in the pool
    }
    if (row.rebound != 0) {
      close(fd);
      fd = Socket(folder, name.c_str(), row.rebound, true);
    }
    if (row.as == 0) {
      EXPECT_EQ(create(row.of, clnt), row.created);
      if (row.created == 0) {
        EXPECT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, Message().data(), kSize, nullptr, 0, nullptr, ~0ul),
                  row.rebound != 0 ? EACCES : 0);
        EXPECT_EQ(recv(fd, Message().data(), kSize, MSG_DONTWAIT), row.rebound != 0 ? -1 : ssize_t{kSize});
        emwGENIpcDestroyClient(clnt[0]);
      }
    } else {
      EXPECT_TRUE(AsUser(row.as, [&] { return create(row.of, clnt) == row.created; }));
    }
    if (row.swapped_in != 0) {
      EXPECT_EQ(recv(swapped, Message().data(), kSize, MSG_DONTWAIT), -1);  // it got nothing
      EXPECT_NE(Trace().find(name + " refused: its socket file changed while connecting"), std::string::npos);
      close(swapped);
      if (put_back >= 0) close(put_back);
    } else if (row.created == EACCES || row.rebound != 0) {
      const uid_t refused = row.rebound != 0 ? row.rebound : row.binder;
      EXPECT_NE(Trace().find(name + " refused: its server runs as uid " + std::to_string(refused)),
                std::string::npos);
    }
    unsetenv("COMM_DIR_SERVICE_USER");
    if (fd >= 0) close(fd);
  }
}

}  // namespace
