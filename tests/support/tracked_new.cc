#include "support/tracked_new.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <set>

namespace commdir_test {

std::atomic<std::size_t> g_fail_size{0};

namespace {
std::mutex g_freed_mu;
std::set<const void*> g_freed;  // guarded by g_freed_mu
void* allocate(std::size_t n, bool array, bool may_fail) {
  void* block = may_fail && n == g_fail_size ? nullptr : std::malloc(n == 0 ? 1 : n);
  if (array) {
    std::lock_guard<std::mutex> lock(g_freed_mu);
    g_freed.erase(block);
  }  // the set's nodes: plain new
  return block;
}
__attribute__((noinline)) void release(void* block, bool array) {  // noinline: no free() seen at a delete
  if (array && block != nullptr) {
    std::lock_guard<std::mutex> lock(g_freed_mu);
    g_freed.insert(block);
  }
  std::free(block);
}
}  // namespace

bool freed(const void* block) {
  std::lock_guard<std::mutex> lock(g_freed_mu);
  return g_freed.count(block) != 0;
}

}  // namespace commdir_test

using commdir_test::allocate;
using commdir_test::release;

void* operator new(std::size_t n) {
  if (void* b = allocate(n, false, false)) return b;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* b = allocate(n, true, false)) return b;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, false, true); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, true, true); }
void operator delete(void* block) noexcept { release(block, false); }
void operator delete(void* block, std::size_t) noexcept { release(block, false); }
void operator delete[](void* block) noexcept { release(block, true); }
void operator delete[](void* block, std::size_t) noexcept { release(block, true); }
