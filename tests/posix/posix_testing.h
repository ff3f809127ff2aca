// What the tests over the real POSIX platform share: a private folder per
// test for the endpoints and the trace, messages and raw datagrams, and
// other users (a forked child that switches its uid, as root only).
#ifndef COMMDIR_TESTS_POSIX_POSIX_TESTING_H_
#define COMMDIR_TESTS_POSIX_POSIX_TESTING_H_

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "support/read_file.h"

namespace posix_testing {

using Bytes = std::vector<char>;

inline UINT Word(const char* bytes, std::size_t offset) {
  UINT word;
  std::memcpy(&word, bytes + offset, sizeof word);
  return word;
}
inline void PutWord(Bytes& bytes, std::size_t offset, UINT word) {
  if (bytes.size() >= offset + sizeof word) std::memcpy(bytes.data() + offset, &word, sizeof word);
}

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

inline sockaddr_un Address(const std::string& path) {
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return address;
}

// A datagram socket connected to the socket file `path`, or -1.
inline int Connected(const std::string& path) {
  const sockaddr_un address = Address(path);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
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

// Each test gets /tmp/commdir-posix-XXXXXX as its endpoint folder, its trace
// in trace.log there; the servers it started are stopped after it.
class PosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/commdir-posix-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("COMM_DIR_IPC_DIR", folder, 1);
    setenv("COMM_DIR_TRACE", (folder_ + "/trace.log").c_str(), 1);
  }
  void TearDown() override {
    for (const std::string& name : started_) emwGENIpcRequestAdmin(name.c_str(), GEN_IPC_ADMIN_STOP);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  RETCODE Start(const std::string& name, PGEN_IPC_DISPATCH dispatch, bool open = false) {
    const RETCODE rc = open ? commdir_posix_ipc_start_open_server(name.c_str(), 0, 0x24000, dispatch)
                            : emwGENIpcStartServer(name.c_str(), 0, 0x24000, dispatch);
    if (rc == 0) started_.push_back(name);
    return rc;
  }
  std::string Trace() const { return commdir_testing::read_file(folder_ + "/trace.log"); }
  std::string Path(const std::string& endpoint) const { return folder_ + "/" + endpoint; }

  std::string folder_;
  std::vector<std::string> started_;
};

}  // namespace posix_testing

#endif  // COMMDIR_TESTS_POSIX_POSIX_TESTING_H_
