// LD_PRELOAD shim that counts the requests a process sends (every
// emwGENIpcCallClient that the library makes) and keeps the count so far in
// the file named by COMMDIR_BENCH_COUNT_FILE, rewritten at every call: the
// process may end with _exit, which runs no destructor. scripts/run-bench runs
// `comm-dir search` under it to count the exchanges of a walk; that run is
// not timed.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/emw_gen_ipc.h"

namespace {

using CallClient = RETCODE (*)(UINT, INT, INT, long, char*, INT, char*, INT, INT*, ULONG);

std::atomic<unsigned long> g_calls{0};

void record(unsigned long calls) {
  static const int fd = [] {
    const char* path = std::getenv("COMMDIR_BENCH_COUNT_FILE");
    return path == nullptr ? -1 : ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }();
  if (fd < 0) return;
  char line[32];
  const int length = std::snprintf(line, sizeof line, "%20lu\n", calls);  // fixed width: each write covers the last
  if (::pwrite(fd, line, static_cast<std::size_t>(length), 0) != length) std::perror("count_exchanges");
}

}  // namespace

extern "C" RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT arg3, long arg4, char* message, INT length,
                                       char* rcvbuf, INT rcvsize, INT* rcvlen, ULONG timeout) {
  static const auto next = reinterpret_cast<CallClient>(::dlsym(RTLD_NEXT, "emwGENIpcCallClient"));
  if (next == nullptr) return -1;
  record(g_calls.fetch_add(1) + 1);
  return next(handle, kind, arg3, arg4, message, length, rcvbuf, rcvsize, rcvlen, timeout);
}
