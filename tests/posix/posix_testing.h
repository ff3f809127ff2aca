// What the tests over the real POSIX platform share: a private folder per
// test for the endpoints and the trace, a server that records what it takes,
// messages and raw datagrams, and other users (a forked child that switches
// its uid, as root only).
#ifndef COMMDIR_TESTS_POSIX_POSIX_TESTING_H_
#define COMMDIR_TESTS_POSIX_POSIX_TESTING_H_

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_osw.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "support/read_file.h"

namespace posix_testing {

using Bytes = std::vector<char>;
using std::chrono::milliseconds;

inline UINT Word(const char* bytes, std::size_t offset) { return velmarosta::read_word(bytes, static_cast<int>(offset)); }
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

// Runs `body` in a forked child as `uid` (and its group); true when the
// child could switch and `body` returned true.
template <typename Body>
bool AsUser(uid_t uid, Body body) {
  const pid_t child = fork();
  if (child == 0) _exit(setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0 && body() ? 0 : 1);
  int status = -1;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What the recording servers took, in order, and from whom.
inline std::mutex g_mu;
inline std::condition_variable g_taken_cv;
inline std::vector<Bytes> g_taken;
inline std::vector<uid_t> g_senders;

inline RETCODE Record(char* message, char*, int* size) {
  uid_t uid = 0;
  commdir_posix_ipc_sender(&uid, nullptr, nullptr);
  std::lock_guard<std::mutex> lock(g_mu);
  g_taken.emplace_back(message, message + Word(message, GEN_IPC_HDR_LENGTH_OFFSET));
  g_senders.push_back(uid);
  g_taken_cv.notify_all();
  return *size = 0;
}

// What was taken, once there are `n` (bounded).
inline std::vector<Bytes> Taken(std::size_t n) {
  std::unique_lock<std::mutex> lock(g_mu);
  g_taken_cv.wait_for(lock, std::chrono::seconds(20), [n] { return g_taken.size() >= n; });
  return g_taken;
}

// Each test gets /tmp/commdir-posix-XXXXXX as its endpoint folder, its trace
// in trace.log there; the servers it started are stopped after it.
class PosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/commdir-posix-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("COMM_DIR_IPC_DIR", folder, 1);
    setenv("COMM_DIR_TRACE", Path("trace.log").c_str(), 1);
    std::lock_guard<std::mutex> lock(g_mu);
    g_taken.clear();
    g_senders.clear();
  }
  void TearDown() override {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  RETCODE Start(const std::string& name, PGEN_IPC_DISPATCH dispatch = Record, bool open = false) {
    const RETCODE rc = open ? commdir_posix_ipc_start_open_server(name.c_str(), 0, 0x24000, dispatch)
                            : emwGENIpcStartServer(name.c_str(), 0, 0x24000, dispatch);
    if (rc == 0) started_.push_back(name);
    return rc;
  }
  std::string Trace() const { return commdir_testing::read_file(Path("trace.log")); }
  std::string Path(const std::string& file) const { return folder_ + "/" + file; }

  std::string folder_;
  std::vector<std::string> started_;
};

}  // namespace posix_testing

#endif  // COMMDIR_TESTS_POSIX_POSIX_TESTING_H_
