#include "heap_counter.h"

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}

namespace {

// Relaxed: the counts are read after the threads that made them have been
// joined or have handed their last reply over, which orders them.
std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::uint64_t> g_bytes{0};

inline void count(std::size_t bytes) {
  if (!g_counting.load(std::memory_order_relaxed)) return;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  count(size);
  return __libc_malloc(size);
}

void* calloc(std::size_t count_of, std::size_t size) {
  count(count_of * size);
  return __libc_calloc(count_of, size);
}

void* realloc(void* pointer, std::size_t size) {
  count(size);
  return __libc_realloc(pointer, size);
}

}  // extern "C"

namespace commdir_bench {

void start_heap_count() {
  g_allocations.store(0, std::memory_order_relaxed);
  g_bytes.store(0, std::memory_order_relaxed);
  g_counting.store(true, std::memory_order_relaxed);
}

HeapCount stop_heap_count() {
  g_counting.store(false, std::memory_order_relaxed);
  return {g_allocations.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed)};
}

}  // namespace commdir_bench
