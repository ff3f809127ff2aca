// What the benchmarks share: the floor every exchange is set beside (a raw
// round trip of two AF_UNIX datagram sockets carrying full-size messages,
// 49,280 bytes out and 49,284 back, answered by a second thread or a second
// process), the
// context switches of a loop, and a private endpoint folder.
#ifndef COMMDIR_BENCH_BENCH_SUPPORT_H_
#define COMMDIR_BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>
#include <sys/types.h>

namespace commdir_bench {

// Voluntary and involuntary context switches of every thread so far.
long context_switches();

// Counts the context switches of a benchmark loop, from construction to
// report(), as the counter "switches" (per iteration).
class SwitchCounter {
 public:
  SwitchCounter() : start_(context_switches()) {}
  void report(benchmark::State& state) const;

 private:
  long start_;
};

// The raw datagram round trip of full-size messages, one per iteration,
// answered by a second thread of this process.
void RawDatagramRoundTrip(benchmark::State& state);

// The same answered by a second process, as the daemon answers the library:
// on a machine where switching between processes costs more than between
// threads, this is the floor of an exchange with another process. Counter
// "peer_cpu": the answering process's CPU time per iteration (ns).
void RawDatagramRoundTripBetweenProcesses(benchmark::State& state);

// The floor of the threads figure: `state.range(0)` threads of this process
// make round trips of datagrams (full-size when `state.range(1)` is 0, else
// of that many bytes each way) with a forked echo process for
// `seconds`, as application threads do with the daemon: every request goes
// out under one mutex (the request client's send mutex) through one socket
// to the echo's named socket, every reply comes back to one named reply
// socket. One thread receives its own replies, as a lone caller does; with
// more, a receiving thread wakes each caller. Both receiving sockets are
// named and not connected back to their sender, so the kernel's limit on
// queued datagrams (net.unix.max_dgram_qlen) holds as it does for the
// daemon and the reply server; a socketpair escapes it. Manual time;
// counter "exchanges_per_s".
void RawThreadsRoundTrips(benchmark::State& state, double seconds);

// CPU time of every thread of process `pid` so far, in ns (0 if unknown).
double process_cpu_ns(pid_t pid);

// Sets COMM_DIR_IPC_DIR to a fresh private folder unless the caller chose
// one, and turns the trace off unless the caller chose a sink. Returns the
// folder made (to be removed with remove_private_ipc_dir), or null.
const char* use_private_ipc_dir();
void remove_private_ipc_dir(const char* dir);

}  // namespace commdir_bench

#endif  // COMMDIR_BENCH_BENCH_SUPPORT_H_
