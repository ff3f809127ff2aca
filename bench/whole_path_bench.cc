// The whole path: calls through the public facade to the real daemon
// (comm-dir-service) and slapd, beside the raw datagram round trip of
// full-size messages, measured in one run. scripts/run-bench starts slapd
// and the daemon, pins them (or not) together with this binary, and hands
// over through the environment:
//   COMM_DIR_IPC_DIR             the daemon's endpoint folder
//   COMMDIR_BENCH_URI            slapd's URI
//   COMMDIR_BENCH_VALUES_BASE    where the entries "cn=values-N" hold N
//                                "description" values (N = 1, 10, 100)
//   COMMDIR_BENCH_SERVICE_PID    the daemon, for its CPU time and memory
//
// "One exchange" is get_first_entry on an open operation that has no search:
// the daemon answers it from memory (COMM_DIR_SVC_NO_SEARCH), so the figure
// is the cost of the library, the platform and the daemon, and not slapd's.
//
// Counters: "daemon_cpu" the daemon's CPU time per iteration (ns, all its
// threads; cpu_time is this process's), "switches" this process's context
// switches, "allocs" and "heap_bytes" this process's heap allocations per
// call (the library and the platform), "exchanges" per call.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_result_codes.h"
#include "heap_counter.h"

namespace {

using velmarosta::comm_dir_facade;
using Clock = std::chrono::steady_clock;

constexpr auto kLoadTime = std::chrono::milliseconds(500);  // each thread or process of a load run
constexpr int kLoadProcesses = 8;
constexpr int kOpenOperations = 1000;

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

comm_dir_facade& facade() { return *comm_dir_facade::comm_dir_get_instance(); }

// An anonymous operation on the bench's slapd; 0 when none could be opened.
UINT open_operation() {
  velmarosta::COMM_DIR_CONNECT_INFO connect{};
  std::snprintf(connect.uri, sizeof connect.uri, "%s", env("COMMDIR_BENCH_URI"));
  UINT operation = 0;
  return facade().start_operation(connect, nullptr, &operation) == 0 ? operation : 0;
}

// Ends the operations that were opened (0 names none).
void end_operations(const std::vector<UINT>& operations) {
  for (UINT operation : operations) {
    if (operation != 0) facade().end_operation(operation);
  }
}

// The exchange every figure is made of; true when the daemon answered as
// it must.
bool one_exchange(UINT operation) { return facade().get_first_entry(operation) == velmarosta::COMM_DIR_SVC_NO_SEARCH; }

// CPU time of every thread of the daemon so far, in ns.
double daemon_cpu_ns() { return commdir_bench::process_cpu_ns(std::atoi(env("COMMDIR_BENCH_SERVICE_PID"))); }

long daemon_rss_kib() {
  std::ifstream status(std::string("/proc/") + env("COMMDIR_BENCH_SERVICE_PID") + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:" && status >> value) return value;
  }
  return -1;
}

// The counters that every whole-path loop reports, per iteration.
class PathCounters {
 public:
  PathCounters() : daemon_start_(daemon_cpu_ns()) { commdir_bench::start_heap_count(); }
  void report(benchmark::State& state, int exchanges_per_call) {
    const commdir_bench::HeapCount heap = commdir_bench::stop_heap_count();
    switches_.report(state);
    if (state.iterations() == 0) return;
    const double n = static_cast<double>(state.iterations());
    state.counters["daemon_cpu"] = (daemon_cpu_ns() - daemon_start_) / n;
    state.counters["allocs"] = static_cast<double>(heap.allocations) / n;
    state.counters["heap_bytes"] = static_cast<double>(heap.bytes) / n;
    state.counters["exchanges"] = exchanges_per_call;
  }

 private:
  double daemon_start_;
  commdir_bench::SwitchCounter switches_;
};

void BM_RawDatagramRoundTrip(benchmark::State& state) { commdir_bench::RawDatagramRoundTrip(state); }
void BM_RawDatagramRoundTripBetweenProcesses(benchmark::State& state) {
  commdir_bench::RawDatagramRoundTripBetweenProcesses(state);
}

void BM_FacadeExchange(benchmark::State& state) {
  const UINT operation = open_operation();
  if (operation == 0) {
    state.SkipWithError("start_operation failed");
    return;
  }
  PathCounters counters;
  for (auto _ : state) {
    if (!one_exchange(operation)) {
      state.SkipWithError("get_first_entry did not answer COMM_DIR_SVC_NO_SEARCH");
      break;
    }
  }
  counters.report(state, 1);
  facade().end_operation(operation);
}

// A value list of n values: one count, then a length and a value exchange
// per value.
void BM_ValueList(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const UINT operation = open_operation();
  velmarosta::COMM_DIR_SEARCH_CONDITION search{};
  std::snprintf(search.base_dn, sizeof search.base_dn, "cn=values-%d,%s", n, env("COMMDIR_BENCH_VALUES_BASE"));
  search.scope = velmarosta::COMM_DIR_SCOPE_BASE;
  std::snprintf(search.attributes, sizeof search.attributes, "description");
  search.operation_id = operation;
  timeval no_limit{0, 0};
  if (operation == 0 || facade().search(search, 0, no_limit) != 0 || facade().get_first_entry(operation) != 0) {
    end_operations({operation});
    state.SkipWithError("no entry with the value list");
    return;
  }
  char attribute[] = "description";
  PathCounters counters;
  for (auto _ : state) {
    UINT count = 0;
    CHAR** values = nullptr;
    if (facade().get_value_string(operation, attribute, count, values) != 0 || count != static_cast<UINT>(n) ||
        values[n - 1] == nullptr) {
      state.SkipWithError("the value list did not come back whole");
      break;
    }
  }
  counters.report(state, 1 + 2 * n);
  facade().end_operation(operation);
}

// --- load ----------------------------------------------------------------------

// Exchanges until `until` on one operation of its own; the latency of
// each call in ns, or nothing when an exchange failed.
std::vector<std::uint32_t> load_loop(UINT operation, Clock::time_point until) {
  std::vector<std::uint32_t> latencies;
  latencies.reserve(200000);
  for (Clock::time_point now = Clock::now(); now < until;) {
    const bool answered = one_exchange(operation);
    const Clock::time_point after = Clock::now();
    if (!answered) return {};
    latencies.push_back(
        static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(after - now).count()));
    now = after;
  }
  return latencies;
}

void report_load(benchmark::State& state, std::vector<std::uint32_t>& all, double seconds, double daemon_cpu) {
  if (all.empty()) {
    state.SkipWithError("an exchange failed");
    return;
  }
  std::sort(all.begin(), all.end());
  const std::size_t n = all.size();
  state.SetIterationTime(seconds);
  state.counters["exchanges_per_s"] = static_cast<double>(n) / seconds;
  state.counters["p50_us"] = all[n / 2] / 1e3;
  state.counters["p99_us"] = all[std::min(n - 1, n * 99 / 100)] / 1e3;
  state.counters["daemon_cpu"] = daemon_cpu / static_cast<double>(n);
}

// Application threads, each on an operation of its own, all at once.
void BM_Threads(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<UINT> operations;
    for (int i = 0; i < threads; ++i) operations.push_back(open_operation());
    if (std::count(operations.begin(), operations.end(), 0U) != 0) {
      end_operations(operations);
      state.SkipWithError("start_operation failed");
      break;
    }
    std::vector<std::vector<std::uint32_t>> latencies(threads);
    std::vector<std::thread> running;
    const double daemon_start = daemon_cpu_ns();
    const Clock::time_point start = Clock::now();
    const Clock::time_point until = start + kLoadTime;
    for (int i = 0; i < threads; ++i) {
      running.emplace_back([&, i] { latencies[i] = load_loop(operations[i], until); });
    }
    for (std::thread& t : running) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<std::uint32_t> all;
    bool failed = false;
    for (auto& one : latencies) {
      failed = failed || one.empty();
      all.insert(all.end(), one.begin(), one.end());
    }
    end_operations(operations);
    if (failed) all.clear();
    report_load(state, all, seconds, daemon_cpu_ns() - daemon_start);
  }
}

// The raw floor of BM_Threads, for as long as one of its loads.
void BM_RawThreads(benchmark::State& state) {
  commdir_bench::RawThreadsRoundTrips(state, std::chrono::duration<double>(kLoadTime).count());
}

// One client process of BM_Processes (this binary run with --load-client):
// opens its operation, says so with one byte on stdout, waits for the byte
// that starts it on stdin, then writes its latencies to stdout.
int load_client(const char* name) {
  ::prctl(PR_SET_NAME, name);  // the process name names its endpoints
  const UINT operation = open_operation();
  char byte = operation != 0 ? 'r' : 'f';
  if (::write(STDOUT_FILENO, &byte, 1) != 1 || operation == 0 || ::read(STDIN_FILENO, &byte, 1) != 1) return 1;
  std::vector<std::uint32_t> latencies = load_loop(operation, Clock::now() + kLoadTime);
  facade().end_operation(operation);
  const char* data = reinterpret_cast<const char*>(latencies.data());
  for (std::size_t left = latencies.size() * sizeof latencies[0]; left > 0;) {
    ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written <= 0) return 1;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return latencies.empty() ? 1 : 0;
}

struct Child {
  pid_t pid = -1;
  int to = -1;    // its stdin
  int from = -1;  // its stdout
};

Child spawn_client(int index) {
  int in[2], out[2];
  if (::pipe(in) != 0) return {};
  if (::pipe(out) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return {};
  }
  // The first five characters name its callback endpoint: they differ.
  const std::string name = "ld" + std::to_string(index) + "-bench";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::execl("/proc/self/exe", "whole_path_bench", "--load-client", name.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  return {pid, in[1], out[0]};
}

std::vector<std::uint32_t> read_latencies(int fd) {
  std::vector<char> bytes;
  char chunk[65536];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
  std::vector<std::uint32_t> latencies(bytes.size() / sizeof(std::uint32_t));
  std::memcpy(latencies.data(), bytes.data(), latencies.size() * sizeof(std::uint32_t));
  return latencies;
}

// Client processes through the one daemon, started together.
void BM_Processes(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<Child> children;
    bool ready = true;
    for (int i = 0; i < kLoadProcesses; ++i) {
      children.push_back(spawn_client(i));
      char byte = 0;
      ready = ready && children.back().pid > 0 && ::read(children.back().from, &byte, 1) == 1 && byte == 'r';
    }
    const double daemon_start = daemon_cpu_ns();
    const Clock::time_point start = Clock::now();
    for (Child& child : children) {
      char go = 'g';
      if (child.to >= 0 && ::write(child.to, &go, 1) != 1) ready = false;
    }
    std::vector<std::uint32_t> all;
    for (Child& child : children) {
      if (child.pid <= 0) continue;
      std::vector<std::uint32_t> one = read_latencies(child.from);
      all.insert(all.end(), one.begin(), one.end());
      int status = 0;
      ::waitpid(child.pid, &status, 0);
      ready = ready && WIFEXITED(status) && WEXITSTATUS(status) == 0;
      ::close(child.to);
      ::close(child.from);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ready) all.clear();
    report_load(state, all, seconds, daemon_cpu_ns() - daemon_start);
  }
}

// The daemon's resident memory before and with kOpenOperations operations
// open (each with its own LDAP connection).
void BM_DaemonMemory(benchmark::State& state) {
  for (auto _ : state) {
    const long before = daemon_rss_kib();
    std::vector<UINT> operations;
    for (int i = 0; i < kOpenOperations; ++i) operations.push_back(open_operation());
    const long open = daemon_rss_kib();
    const bool all_open = std::count(operations.begin(), operations.end(), 0U) == 0;
    end_operations(operations);
    if (!all_open || before < 0) {
      state.SkipWithError("the operations did not all open");
      break;
    }
    state.counters["rss_before_kib"] = static_cast<double>(before);
    state.counters["rss_open_kib"] = static_cast<double>(open);
  }
}

// Process CPU time covers every thread of this process (the reply server
// included); the daemon's comes in its own counter.
BENCHMARK(BM_RawDatagramRoundTrip)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5);
BENCHMARK(BM_RawDatagramRoundTripBetweenProcesses)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5);
BENCHMARK(BM_FacadeExchange)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5);
BENCHMARK(BM_ValueList)->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5);
BENCHMARK(BM_Threads)->Arg(1)->Arg(2)->Arg(8)->Arg(64)->UseManualTime()->Iterations(1);
// Full-size datagrams (0), and 200 bytes, about what a trimmed request of the library carries.
BENCHMARK(BM_RawThreads)->ArgsProduct({{1, 64}, {0, 200}})->UseManualTime()->Iterations(1);
BENCHMARK(BM_Processes)->UseManualTime()->Iterations(1);
BENCHMARK(BM_DaemonMemory)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--load-client") == 0) return load_client(argv[2]);
  if (std::getenv("COMM_DIR_TRACE") == nullptr) ::setenv("COMM_DIR_TRACE", "off", 1);
  ::signal(SIGPIPE, SIG_IGN);  // a client process that failed is reported, not fatal
  if (std::getenv("COMMDIR_BENCH_URI") == nullptr || std::getenv("COMM_DIR_IPC_DIR") == nullptr) {
    std::fprintf(stderr, "whole_path_bench: run it through scripts/run-bench (needs slapd and the daemon)\n");
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
