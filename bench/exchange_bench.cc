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

#include <vector>

#include "bench_support.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "support/reply_echo.h"

namespace {

using commdir_bench::SwitchCounter;
using velmarosta::comm_dir_ipc_multi_client;
using velmarosta::COMM_DIR_MULTI_IPC_CLNT;

constexpr int kRequestPayload = 76;  // get_first_entry
constexpr int kReplyPayload = 1948;  // COMM_DIR_REPLY

void BM_RawDatagramRoundTrip(benchmark::State& state) { commdir_bench::RawDatagramRoundTrip(state); }

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
    if (client->create_client(velmarosta::COMM_DIR_SERVICE_CLIENT_NAME, velmarosta::COMM_DIR_SERVICE_SERVER_NAME, 0, 0,
                              velmarosta::COMM_DIR_IPC_ID_SERVICE, clnt) != 0 ||
        client->call_client(clnt, 12, 0, 0, request.data(), kRequestPayload, reply.data(), kReplyPayload, &reply_size,
                            ~0UL) != 0 ||
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

}  // namespace

int main(int argc, char** argv) {
  const char* made_dir = commdir_bench::use_private_ipc_dir();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  commdir_bench::remove_private_ipc_dir(made_dir);
  return 0;
}
