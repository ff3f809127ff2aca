#include "bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"

namespace commdir_bench {

using velmarosta::COMM_DIR_IPC_REPLY_SIZE;
using velmarosta::COMM_DIR_IPC_REQUEST_SIZE;

long context_switches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

void SwitchCounter::report(benchmark::State& state) const {
  if (state.iterations() == 0) return;
  state.counters["switches"] =
      static_cast<double>(context_switches() - start_) / static_cast<double>(state.iterations());
}

void RawDatagramRoundTrip(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  // The echo changes one byte of a prepared reply, as a server answering
  // from memory would; the messages themselves are never built anew.
  std::thread echo([peer = fds[1]] {
    std::vector<char> in(COMM_DIR_IPC_REQUEST_SIZE), out(COMM_DIR_IPC_REPLY_SIZE, 0);
    while (::recv(peer, in.data(), in.size(), 0) == COMM_DIR_IPC_REQUEST_SIZE) {
      out[100] = in[100];
      if (::send(peer, out.data(), out.size(), 0) < 0) break;
    }
  });
  std::vector<char> request(COMM_DIR_IPC_REQUEST_SIZE, 0), reply(COMM_DIR_IPC_REPLY_SIZE);
  SwitchCounter switches;
  for (auto _ : state) {
    request[100]++;
    if (::send(fds[0], request.data(), request.size(), 0) < 0 ||
        ::recv(fds[0], reply.data(), reply.size(), 0) != COMM_DIR_IPC_REPLY_SIZE || reply[100] != request[100]) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  switches.report(state);
  ::shutdown(fds[1], SHUT_RDWR);  // the echo thread's recv returns 0
  echo.join();
  ::close(fds[0]);
  ::close(fds[1]);
}

const char* use_private_ipc_dir() {
  if (std::getenv("COMM_DIR_TRACE") == nullptr) ::setenv("COMM_DIR_TRACE", "off", 1);
  if (std::getenv("COMM_DIR_IPC_DIR") != nullptr) return nullptr;
  static char dir[] = "/tmp/commdir-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return nullptr;
  ::setenv("COMM_DIR_IPC_DIR", dir, 1);
  return dir;
}

void remove_private_ipc_dir(const char* dir) {
  if (dir == nullptr) return;
  // The endpoints that the process leaves running (its reply server lives as
  // long as the process) still have their socket files here.
  if (DIR* folder = ::opendir(dir)) {
    while (dirent* entry = ::readdir(folder)) {
      if (entry->d_name[0] != '.') ::unlinkat(::dirfd(folder), entry->d_name, 0);
    }
    ::closedir(folder);
  }
  ::rmdir(dir);
}

}  // namespace commdir_bench
