// The cost of one request exchange as the facade client makes it
// (create_client, call_client, destroy_client) over the POSIX platform to an
// in-process echo server, beside its floor: a raw round trip of two AF_UNIX
// datagram sockets carrying messages of the same sizes (49,280 bytes out,
// 49,284 back), each answered by a second thread. Both run in this binary, so
// that scripts/run-bench can set them side by side: it runs them pinned to
// one CPU and unpinned, in interleaved repetitions (on a shared machine the
// load changes from second to second, and interleaving lets both see the
// same), and reports the ratio of their medians. Each also reports the
// context switches of the whole process per iteration ("switches").
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "support/reply_echo.h"

namespace {

using velmarosta::COMM_DIR_IPC_REPLY_SIZE;
using velmarosta::COMM_DIR_IPC_REQUEST_SIZE;
using velmarosta::COMM_DIR_MULTI_IPC_CLNT;
using velmarosta::comm_dir_ipc_multi_client;

constexpr int kRequestPayload = 76;   // get_first_entry
constexpr int kReplyPayload = 1948;   // COMM_DIR_REPLY

// Voluntary and involuntary context switches of every thread so far.
long context_switches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Counts the context switches of a benchmark loop, from construction to
// report(), as the counter "switches" (per iteration).
class SwitchCounter {
 public:
  SwitchCounter() : start_(context_switches()) {}
  void report(benchmark::State& state) const {
    if (state.iterations() == 0) return;
    state.counters["switches"] =
        static_cast<double>(context_switches() - start_) / static_cast<double>(state.iterations());
  }

 private:
  long start_;
};

void BM_RawDatagramRoundTrip(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
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
        ::recv(fds[0], reply.data(), reply.size(), 0) != COMM_DIR_IPC_REPLY_SIZE) {
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

void BM_LibraryExchange(benchmark::State& state) {
  comm_dir_ipc_multi_client* client = comm_dir_ipc_multi_client::get_instance();
  if (client == nullptr ||
      emwGENIpcStartServer(velmarosta::COMM_DIR_SERVICE_SERVER_NAME, velmarosta::COMM_DIR_IPC_ID_SERVICE,
                           velmarosta::COMM_DIR_IPC_STACK_SIZE, commdir_test::echo_dispatch) != 0) {
    state.SkipWithError("echo server did not start");
    return;
  }
  std::vector<char> request(kRequestPayload, 0), reply(kReplyPayload);
  int reply_size = kReplyPayload;
  SwitchCounter switches;
  for (auto _ : state) {
    COMM_DIR_MULTI_IPC_CLNT clnt{};
    request[72]++;
    if (client->create_client(velmarosta::COMM_DIR_SERVICE_CLIENT_NAME,
                              velmarosta::COMM_DIR_SERVICE_SERVER_NAME, 0, 0,
                              velmarosta::COMM_DIR_IPC_ID_SERVICE, clnt) != 0 ||
        client->call_client(clnt, 12, 0, 0, request.data(), kRequestPayload, reply.data(),
                            kReplyPayload, &reply_size, ~0UL) != 0 ||
        client->destroy_client(clnt) != 0 || reply[72] != request[72]) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  switches.report(state);
  emwGENIpcRequestAdmin(velmarosta::COMM_DIR_SERVICE_SERVER_NAME, GEN_IPC_ADMIN_STOP);
}

// Process CPU time covers every thread of the exchange (reply server, echo
// server), so the CPU column is the CPU time per exchange.
BENCHMARK(BM_RawDatagramRoundTrip)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5);
BENCHMARK(BM_LibraryExchange)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5);

// A private endpoint folder unless the caller chose one.
void use_private_ipc_dir() {
  if (std::getenv("COMM_DIR_IPC_DIR") != nullptr) return;
  static char dir[] = "/tmp/commdir-bench-XXXXXX";
  if (::mkdtemp(dir) != nullptr) ::setenv("COMM_DIR_IPC_DIR", dir, 1);
  if (std::getenv("COMM_DIR_TRACE") == nullptr) ::setenv("COMM_DIR_TRACE", "off", 1);
}

}  // namespace

int main(int argc, char** argv) {
  use_private_ipc_dir();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const char* dir = std::getenv("COMM_DIR_IPC_DIR");
  if (dir != nullptr && std::string(dir).rfind("/tmp/commdir-bench-", 0) == 0) ::rmdir(dir);
  return 0;
}
