// What the POSIX platform's tests share: a private folder for each test's
// endpoints and trace, servers that record what they take or post the event
// a request names, raw messages and sockets, and other users (as root: a
// forked child that switches its uid). Each test file includes it once.
#ifndef COMMDIR_TESTS_SUPPORT_POSIX_HARNESS_H_
#define COMMDIR_TESTS_SUPPORT_POSIX_HARNESS_H_

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

namespace commdir_posix_test {

using namespace velmarosta;
using Bytes = std::vector<char>;
using CallResult = std::pair<RETCODE, Bytes>;
using std::chrono::milliseconds;
constexpr uid_t kService = 65534;   // the directory service's user where a row names it
constexpr uid_t kStranger = 65533;  // anyone else

inline void PutWord(Bytes& bytes, std::size_t offset, UINT word) { std::memcpy(&bytes[offset], &word, sizeof word); }

// A message of `length` bytes, its length word set as a raw sender must.
inline Bytes Message(std::size_t length, std::vector<std::pair<std::size_t, char>> bytes = {}) {
  Bytes message(length, 0);
  for (auto& [offset, byte] : bytes) message[offset] = byte;
  PutWord(message, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(length));
  return message;
}

inline std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A datagram socket bound at, or connected to, the socket file `path`.
inline int Socket(const std::string& path, bool bound) {
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
inline std::mutex g_mu;
inline std::condition_variable g_taken_cv;
inline std::vector<Bytes> g_taken;
inline std::vector<pthread_t> g_posted;

inline RETCODE Record(char* message, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_taken.emplace_back(message, message + read_word(message, GEN_IPC_HDR_LENGTH_OFFSET));
  g_taken_cv.notify_all();
  return *size = 0;
}
inline RETCODE PostNamedEvent(char* message, char*, int* size) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_posted.push_back(pthread_self());
  return *size = emwOSWPostEventSem(read_word(message, 72));
}

// What was taken, once there are `n` (bounded).
inline std::vector<Bytes> Taken(std::size_t n) {
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
using PlatformTest = PosixTest;

// Sends `message` over a client of its own.
inline RETCODE Send(const std::string& server, Bytes& message) {
  UINT clnt = 0;
  RETCODE rc = emwGENIpcCreateClient("TEST_CLT", server.c_str(), 0, 0, 0, &clnt);
  if (rc == 0) rc = emwGENIpcCallClient(clnt, 0, 0, 0, message.data(), static_cast<INT>(message.size()), 0, 0, 0, ~0ul);
  return rc | emwGENIpcDestroyClient(clnt);
}

// What the library's exchange comes to: the caller creates an event, sends
// a request naming it (byte 72), and waits without limit for its post, by
// the server that takes the request or meanwhile.
inline RETCODE Exchange(
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

}  // namespace commdir_posix_test

#endif  // COMMDIR_TESTS_SUPPORT_POSIX_HARNESS_H_
