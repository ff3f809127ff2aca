// Counts the heap allocations of the whole process while counting is on:
// the benchmark binary that links heap_counter.cc replaces malloc, calloc
// and realloc (operator new ends in malloc) with counting forwarders to
// glibc's own. Off, a forwarder costs one relaxed load.
#ifndef COMMDIR_BENCH_HEAP_COUNTER_H_
#define COMMDIR_BENCH_HEAP_COUNTER_H_

#include <cstdint>

namespace commdir_bench {

struct HeapCount {
  std::uint64_t allocations = 0;
  std::uint64_t bytes = 0;
};

// Starts counting from zero.
void start_heap_count();
// Stops counting and returns what was counted since start_heap_count.
HeapCount stop_heap_count();

}  // namespace commdir_bench

#endif  // COMMDIR_BENCH_HEAP_COUNTER_H_
