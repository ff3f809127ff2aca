// The POSIX platform in a folder shared with other users: which folders it
// takes, who may send to its servers, and what an open server's dispatch
// learns of the sender. Rows that need another user run as root only.
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
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "support/read_file.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr uid_t kStranger = 65533;
constexpr std::size_t kSize = 128;

// Who sent each message that a server took, as its dispatch learned it.
struct Sender {
  uid_t uid;
  pid_t pid;
};
struct Senders {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Sender> taken;  // guarded by mu
} g_senders;

RETCODE RecordSender(char*, char*, int* size) {
  Sender sender{};
  commdir_posix_ipc_sender(&sender.uid, nullptr, &sender.pid);
  std::lock_guard<std::mutex> lock(g_senders.mu);
  g_senders.taken.push_back(sender);
  g_senders.cv.notify_all();
  return *size = 0;
}

// A message of ours, sent over the platform, after which the server has
// dealt with everything sent before.
void SendOwnAndWait(const char* server) {
  std::vector<char> message(kSize, 0);
  const UINT length = kSize;
  std::memcpy(message.data() + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
  UINT clnt[8] = {};
  ASSERT_EQ(emwGENIpcCreateClient("C", server, 0, 0, 0, clnt), 0);
  ASSERT_EQ(emwGENIpcCallClient(clnt[0], 0, 0, 0, message.data(), kSize, nullptr, 0, nullptr, ~0ul), 0);
  emwGENIpcDestroyClient(clnt[0]);
  std::unique_lock<std::mutex> lock(g_senders.mu);
  g_senders.cv.wait_for(lock, std::chrono::seconds(5), [] {
    return !g_senders.taken.empty() && g_senders.taken.back().uid == geteuid();
  });
}

class PosixSharedFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/commdir-shared-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // other users pass through to the folders
    setenv("COMM_DIR_TRACE", (root_ + "/trace.log").c_str(), 1);
    umask(022);
    std::lock_guard<std::mutex> lock(g_senders.mu);
    g_senders.taken.clear();
  }
  void TearDown() override {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    std::filesystem::remove_all(root_);
  }
  // A folder with `mode` and `owner`, made the IPC folder.
  std::string Folder(const std::string& name, mode_t mode, uid_t owner) {
    const std::string folder = root_ + "/" + name;
    EXPECT_EQ(mkdir(folder.c_str(), 0700), 0);
    EXPECT_EQ(chmod(folder.c_str(), mode), 0);
    EXPECT_EQ(chown(folder.c_str(), owner, static_cast<gid_t>(-1)), 0);
    setenv("COMM_DIR_IPC_DIR", folder.c_str(), 1);
    return folder;
  }
  RETCODE Start(const char* name, bool open) {
    RETCODE rc = open ? commdir_posix_ipc_start_open_server(name, 0, 0x24000, RecordSender)
                      : emwGENIpcStartServer(name, 0, 0x24000, RecordSender);
    if (rc == 0) started_.push_back(name);
    return rc;
  }
  std::string Trace() { return commdir_testing::read_file(root_ + "/trace.log"); }
  std::string root_;
  std::vector<std::string> started_;
};

TEST_F(PosixSharedFolderTest, TakesPrivateAndStickySharedFoldersOnly) {
  struct Row {
    const char* what;
    mode_t mode;
    uid_t owner;
    bool taken;
    mode_t socket_others;  // the socket file's group and others bits when taken
  };
  const Row rows[] = {
      {"own, private", 0700, geteuid(), true, 0055},
      {"own, shared with a group, sticky", 01770, geteuid(), true, 0066},
      {"own, shared with everyone, sticky", 01733, geteuid(), true, 0066},
      {"own, group-writable, not sticky", 0770, geteuid(), false, 0},
      {"own, world-writable, not sticky", 0777, geteuid(), false, 0},
      {"another user's, shared, sticky", 01777, kNobody, true, 0066},
      {"another user's, private", 0700, kNobody, false, 0},
      {"another user's, readable only", 01755, kNobody, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.owner != geteuid() && geteuid() != 0) continue;  // chown needs root
    const std::string folder = Folder(std::to_string(&row - rows), row.mode, row.owner);
    const RETCODE rc = Start("utcp:F", false);
    EXPECT_EQ(rc == 0, row.taken) << rc;
    if (rc != 0) {
      EXPECT_NE(Trace().find("ipc folder " + folder + " refused"), std::string::npos);
      continue;
    }
    struct stat st{};
    ASSERT_EQ(stat((folder + "/F").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, row.socket_others);  // who may connect
    emwGENIpcRequestAdmin("utcp:F", GEN_IPC_ADMIN_STOP);
    started_.clear();
  }
}

TEST_F(PosixSharedFolderTest, ServersTakeTheirOwnRootTheFolderOwnerAndAnyoneIfOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to send as other users";
  uid_t uid = 0;
  EXPECT_EQ(commdir_posix_ipc_sender(&uid, nullptr, nullptr), ENOENT);  // outside a dispatch
  Folder("shared", 01777, kNobody);
  ASSERT_EQ(Start("utcp:CLOSED", false), 0);
  ASSERT_EQ(Start("utcp:OPEN", true), 0);
  struct Row {
    const char* server;
    uid_t sender;
    bool taken;
  };
  const Row rows[] = {
      {"CLOSED", kNobody, true},     // the folder's owner
      {"CLOSED", kStranger, false},  // anyone else
      {"OPEN", kStranger, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.server) + " from uid " + std::to_string(row.sender));
    {
      std::lock_guard<std::mutex> lock(g_senders.mu);
      g_senders.taken.clear();
    }
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", getenv("COMM_DIR_IPC_DIR"), row.server);
    char message[kSize] = {};
    const UINT length = kSize;
    std::memcpy(message + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
    // The child connects as the sender: the socket file lets every user of
    // the folder connect, and only the server's rule decides.
    const pid_t child = fork();
    if (child == 0) {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      const bool sent = setuid(row.sender) == 0 &&
                        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                        send(fd, message, kSize, 0) == static_cast<ssize_t>(kSize);
      _exit(sent ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    SendOwnAndWait((std::string("utcp:") + row.server).c_str());
    std::lock_guard<std::mutex> lock(g_senders.mu);
    ASSERT_EQ(g_senders.taken.size(), row.taken ? 2u : 1u);
    if (row.taken) {
      EXPECT_EQ(g_senders.taken[0].uid, row.sender);
      EXPECT_EQ(g_senders.taken[0].pid, child);
    } else {
      EXPECT_NE(Trace().find("uid " + std::to_string(row.sender) + ": the sender's uid is refused"),
                std::string::npos);
    }
  }
}

}  // namespace

TEST_F(PosixSharedFolderTest, ClientsSendOnlyToServersOfUsersTheyTrust) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to bind as other users";
  const std::string folder = Folder("shared", 01777, kNobody);
  struct Row {
    const char* name;
    uid_t binder;
    RETCODE create;
  };
  // The binders are gone: a trusted server's file refuses the connection,
  // an untrusted one's is never tried.
  const Row rows[] = {{"BY_OWNER", kNobody, ECONNREFUSED}, {"BY_STRANGER", kStranger, EACCES}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", folder.c_str(), row.name);
    const pid_t child = fork();
    if (child == 0) {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      _exit(setuid(row.binder) == 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    UINT clnt[8] = {};
    EXPECT_EQ(emwGENIpcCreateClient("C", (std::string("utcp:") + row.name).c_str(), 0, 0, 0, clnt), row.create);
  }
  EXPECT_NE(Trace().find("BY_STRANGER refused: its server runs as uid 65533"), std::string::npos);
}
