// Whether the daemon makes progress: what its watchdog (comm_dir_watchdog.h)
// judges before each ping.
//
// The daemon is alive when
//   - its receiving thread dispatches: the probe that the watchdog sent
//     through the daemon's own endpoint one interval ago has been
//     dispatched, or the thread has begun or ended dispatching messages
//     since the last look (under a flood the probe may find the socket's
//     queue full; the thread is busy then, not hung), and
//   - no worker has been busy on one request for longer than `hung_after`,
//     the longest that a request may legitimately take (see
//     comm_dir_service_options.h, --hung-after).
//
// Each thread counts its begins and ends in a counter of its own (odd
// while busy); the watchdog compares the counts with those of its last
// look, so a request costs its thread two relaxed increments and no clock
// read. The counters are 32-bit, lock-free on the 32-bit device too: a
// wrap keeps the parity, and no thread counts 2^32 steps between two looks.
// A worker is taken as busy since the first look that saw it busy on that
// request: up to one interval after it began.
//
// Thread-safe: begin(), end() and probe_arrived() from the daemon's
// threads; judge() from the watchdog's thread only.
#ifndef COMMDIR_SERVICE_COMM_DIR_PROGRESS_H_
#define COMMDIR_SERVICE_COMM_DIR_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmarosta {

class comm_dir_progress {
 public:
  using clock = std::chrono::steady_clock;
  // The receiving thread's counter; workers have 0 to workers - 1.
  static constexpr int kReceiver = -1;

  struct verdict {
    bool alive = true;
    bool receiver_stuck = false;  // neither the probe nor any other message was dispatched
    int hung_worker = -1;         // a worker busy on one request beyond hung_after, or -1
    clock::duration busy_for{};   // how long, as far as the looks saw it
  };

  comm_dir_progress(int workers, clock::duration hung_after);

  clock::duration hung_after() const { return hung_after_; }

  void begin(int thread) { count_of(thread).fetch_add(1, std::memory_order_relaxed); }
  void end(int thread) { count_of(thread).fetch_add(1, std::memory_order_relaxed); }
  void probe_arrived(std::uint32_t number) { probe_seen_.store(number, std::memory_order_relaxed); }

  // The look at `now`; `probe_sent` is the number of the probe sent at the
  // look before (one interval ago).
  verdict judge(std::uint32_t probe_sent, clock::time_point now);

 private:
  struct alignas(64) counter {  // one cache line each: threads do not share theirs
    std::atomic<std::uint32_t> count{0};
  };
  struct look {
    std::uint32_t count = 0;
    clock::time_point since;  // when this count was first seen
  };

  std::atomic<std::uint32_t>& count_of(int thread) { return counts_[static_cast<std::size_t>(thread + 1)].count; }

  // Reads the counter of `slot`; true when it moved since the last look.
  bool take_look(std::size_t slot, clock::time_point now);

  std::unique_ptr<counter[]> counts_;  // [0] the receiving thread, [1 + w] worker w
  std::vector<look> looks_;            // the watchdog thread's
  std::atomic<std::uint32_t> probe_seen_{0};
  const clock::duration hung_after_;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_PROGRESS_H_
