#include "bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
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

namespace {

// Answers every full-size request on `peer` with a full-size reply that
// carries one byte of it back, as a server answering from memory would; the
// messages themselves are never built anew. Returns when `peer` is shut
// down. Makes no allocation, so that a forked child may run it.
void EchoFullSize(int peer, char* in, char* out) {
  while (::recv(peer, in, COMM_DIR_IPC_REQUEST_SIZE, 0) == COMM_DIR_IPC_REQUEST_SIZE) {
    out[100] = in[100];
    if (::send(peer, out, COMM_DIR_IPC_REPLY_SIZE, 0) < 0) break;
  }
}

// The benchmark loop of both raw round trips, on the end `fd`.
void RoundTrips(benchmark::State& state, int fd) {
  std::vector<char> request(COMM_DIR_IPC_REQUEST_SIZE, 0), reply(COMM_DIR_IPC_REPLY_SIZE);
  SwitchCounter switches;
  for (auto _ : state) {
    request[100]++;
    if (::send(fd, request.data(), request.size(), 0) < 0 ||
        ::recv(fd, reply.data(), reply.size(), 0) != COMM_DIR_IPC_REPLY_SIZE || reply[100] != request[100]) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  switches.report(state);
}

}  // namespace

double process_cpu_ns(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return 0;
  double total = 0;
  while (dirent* task = ::readdir(dir)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream schedstat(tasks + "/" + task->d_name + "/schedstat");
    double on_cpu = 0;
    if (schedstat >> on_cpu) total += on_cpu;
  }
  ::closedir(dir);
  return total;
}

void RawDatagramRoundTrip(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread echo([peer = fds[1]] {
    std::vector<char> in(COMM_DIR_IPC_REQUEST_SIZE), out(COMM_DIR_IPC_REPLY_SIZE, 0);
    EchoFullSize(peer, in.data(), out.data());
  });
  RoundTrips(state, fds[0]);
  ::shutdown(fds[1], SHUT_RDWR);  // the echo thread's recv returns 0
  echo.join();
  ::close(fds[0]);
  ::close(fds[1]);
}

void RawDatagramRoundTripBetweenProcesses(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::vector<char> in(COMM_DIR_IPC_REQUEST_SIZE), out(COMM_DIR_IPC_REPLY_SIZE, 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    EchoFullSize(fds[1], in.data(), out.data());
    ::_exit(0);
  }
  ::close(fds[1]);
  if (child < 0) {
    ::close(fds[0]);
    state.SkipWithError("fork failed");
    return;
  }
  const double peer_start = process_cpu_ns(child);
  RoundTrips(state, fds[0]);
  if (state.iterations() > 0) {
    state.counters["peer_cpu"] = (process_cpu_ns(child) - peer_start) / static_cast<double>(state.iterations());
  }
  // A datagram socket sees no end when its peer closes: the child is ended.
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(fds[0]);
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
