#include "bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
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

sockaddr_un Address(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  return a;
}

// A datagram socket bound to `path` (connected to `peer` unless null), or -1.
int NamedSocket(const std::string& path, const char* peer) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un own = Address(path);
  sockaddr_un to = Address(peer != nullptr ? peer : "");
  if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
                  (peer != nullptr && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0))) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

// The bytes of each request and each reply of RawThreadsRoundTrips.
struct DatagramSizes {
  std::size_t request;
  std::size_t reply;
};

// Full-size messages for 0, else `bytes` each way (at least a word).
DatagramSizes SizesOf(std::int64_t bytes) {
  if (bytes == 0) return {COMM_DIR_IPC_REQUEST_SIZE, COMM_DIR_IPC_REPLY_SIZE};
  const std::size_t each = std::max<std::size_t>(static_cast<std::size_t>(bytes), sizeof(int));
  return {each, each};
}

// The callers of RawThreadsRoundTrips: each sends under one mutex and waits
// on its own condition variable (as each call waits on its own event) for
// the reply that carries its index in its first word.
class RawCallers {
 public:
  RawCallers(int to, int replies, int threads, DatagramSizes sizes)
      : to_(to), replies_(replies), sizes_(sizes), slots_(new Slot[threads]), threads_(threads) {}

  // One caller's round trips until `until`; returns how many were made.
  long run(int index, std::chrono::steady_clock::time_point until) {
    std::vector<char> request(sizes_.request, 0), reply(sizes_.reply);
    std::memcpy(request.data(), &index, sizeof index);
    Slot& slot = slots_[index];
    long made = 0;
    while (std::chrono::steady_clock::now() < until) {
      {
        std::lock_guard<std::mutex> lock(send_mu_);
        if (::send(to_, request.data(), request.size(), 0) < 0) return -1;
      }
      if (threads_ == 1) {
        if (::recv(replies_, reply.data(), reply.size(), 0) != static_cast<ssize_t>(sizes_.reply)) return -1;
      } else {
        std::unique_lock<std::mutex> lock(slot.mu);
        slot.cv.wait(lock, [&] { return slot.replied; });
        slot.replied = false;
      }
      ++made;
    }
    return made;
  }

  // The receiving thread of more than one caller: until its socket is shut.
  void receive() {
    std::vector<char> reply(sizes_.reply);
    int index = 0;
    while (::recv(replies_, reply.data(), reply.size(), 0) == static_cast<ssize_t>(sizes_.reply)) {
      std::memcpy(&index, reply.data(), sizeof index);
      if (index < 0 || index >= threads_) continue;
      Slot& slot = slots_[index];
      {
        std::lock_guard<std::mutex> lock(slot.mu);
        slot.replied = true;
      }
      slot.cv.notify_one();
    }
  }

 private:
  struct Slot {
    std::mutex mu;
    std::condition_variable cv;
    bool replied = false;  // guarded by mu
  };

  const int to_;
  const int replies_;
  const DatagramSizes sizes_;
  std::mutex send_mu_;
  std::unique_ptr<Slot[]> slots_;
  const int threads_;
};

}  // namespace

void RawThreadsRoundTrips(benchmark::State& state, double seconds) {
  const int threads = static_cast<int>(state.range(0));
  const DatagramSizes sizes = SizesOf(state.range(1));
  char folder[] = "/tmp/commdir-raw-threads-XXXXXX";
  if (::mkdtemp(folder) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string echo_path = std::string(folder) + "/echo", reply_path = std::string(folder) + "/reply";
  const int replies = NamedSocket(reply_path, nullptr);
  std::vector<char> in(sizes.request), out(sizes.reply, 0);
  int ready[2] = {-1, -1};
  const pid_t child = replies >= 0 && ::pipe(ready) == 0 ? ::fork() : -1;
  if (child == 0) {
    // Answers to the reply socket, with the caller's index carried back; not
    // connected to it, since whoever is connected receives from no one else.
    const int echo = NamedSocket(echo_path, nullptr);
    const sockaddr_un reply_to = Address(reply_path);
    char byte = echo >= 0 ? 'r' : 'f';
    if (::write(ready[1], &byte, 1) != 1 || echo < 0) ::_exit(1);
    while (::recv(echo, in.data(), in.size(), 0) == static_cast<ssize_t>(sizes.request)) {
      std::memcpy(out.data(), in.data(), sizeof(int));
      if (::sendto(echo, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&reply_to), sizeof reply_to) < 0)
        break;
    }
    ::_exit(0);
  }
  char byte = 'f';
  const bool echoing = child > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'r';
  const int to = echoing ? NamedSocket(std::string(folder) + "/callers", echo_path.c_str()) : -1;
  for (auto _ : state) {
    if (to < 0) {
      state.SkipWithError("the echo process did not start");
      break;
    }
    RawCallers callers(to, replies, threads, sizes);
    std::thread receiver;
    if (threads > 1) receiver = std::thread([&] { callers.receive(); });
    std::vector<long> made(threads, 0);
    std::vector<std::thread> running;
    const auto start = std::chrono::steady_clock::now();
    const auto until =
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    for (int i = 0; i < threads; ++i) running.emplace_back([&, i] { made[i] = callers.run(i, until); });
    for (std::thread& t : running) t.join();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::shutdown(replies, SHUT_RDWR);  // every reply has come: each caller waited for its last
    if (receiver.joinable()) receiver.join();
    long total = 0;
    for (long m : made) total = m < 0 || total < 0 ? -1 : total + m;
    if (total <= 0) {
      state.SkipWithError("a raw round trip failed");
      break;
    }
    state.SetIterationTime(took);
    state.counters["exchanges_per_s"] = static_cast<double>(total) / took;
  }
  if (child > 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  for (int fd : {to, replies, ready[0], ready[1]}) {
    if (fd >= 0) ::close(fd);
  }
  for (const char* name : {"/echo", "/reply", "/callers"}) ::unlink((std::string(folder) + name).c_str());
  ::rmdir(folder);
}

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
