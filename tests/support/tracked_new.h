// The library takes its buffers with nothrow new: those of one size can be
// made to fail. Blocks freed with delete[] are noted until a new[] takes
// their address again, so that a test sees which results were freed.
// tracked_new.cc replaces the global new and delete: only the test programs
// that link it get them.
#ifndef COMMDIR_TESTS_SUPPORT_TRACKED_NEW_H_
#define COMMDIR_TESTS_SUPPORT_TRACKED_NEW_H_

#include <atomic>
#include <cstddef>

namespace commdir_test {

extern std::atomic<std::size_t> g_fail_size;  // the nothrow new of this many bytes fails (0: none)
bool freed(const void* block);

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_TRACKED_NEW_H_
