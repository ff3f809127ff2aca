// The folders and peers the platform trusts, other users being forked
// children that switch their uid (as root only).
#include "support/posix_harness.h"

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

using namespace commdir_posix_test;

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

}  // namespace
