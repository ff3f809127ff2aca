// Platform calls that fail on purpose: see faults.h. The real call is the
// next definition of the same name, in the platform's shared library.
#include "support/fake/faults.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"

namespace faults {
namespace {

struct state {
  std::mutex mu;
  std::condition_variable changed;
  std::map<std::string, int> counts;
  std::map<std::string, std::set<int>> plans;  // the numbers of the calls that fail
  std::map<std::string, UINT> ids;
  std::vector<std::string> lines;
  std::vector<task> started;
  int clients = 0;
  std::string pause_fn;
  bool pausing = false;
  std::unique_ptr<std::string> process_name;  // null: the platform's choice
};
state& s() {
  static auto* instance = new state;  // never destroyed: tasks may outlive main()
  return *instance;
}
using lock = std::unique_lock<std::mutex>;

// The endpoints of this process live in a folder of its own.
struct ipc_folder {
  char path[32] = "/tmp/commdir-unit-XXXXXX";
  ipc_folder() {
    setenv("COMM_DIR_IPC_DIR", mkdtemp(path) != nullptr ? path : "/nonexistent", 1);
    setenv("COMM_DIR_TRACE", "off", 1);
  }
  ~ipc_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
} g_folder;

// Counts a call of `fn` on `id`, waits if it is to pause; true when it was
// planned to fail.
bool planned(const char* fn, UINT id) {
  lock held(s().mu);
  if (s().pause_fn == fn) {
    s().pause_fn.clear();
    s().pausing = true;
    s().changed.wait(held, [] { return !s().pausing; });
  }
  s().ids[fn] = id;
  return s().plans[fn].erase(++s().counts[fn]) != 0;
}

RETCODE count_client(RETCODE rc, int change) {
  lock held(s().mu);
  s().clients += rc == 0 ? change : 0;
  return rc;
}

template <typename F, typename... Args>
RETCODE pass_on(F, const char* fn, UINT id, Args... args) {
  return planned(fn, id) ? kCode : reinterpret_cast<F>(dlsym(RTLD_NEXT, fn))(args...);
}

}  // namespace

void fail(const std::string& fn, int nth) {
  lock held(s().mu);
  s().plans[fn].insert(s().counts[fn] + nth);
}
int calls(const std::string& fn) {
  lock held(s().mu);
  return s().counts[fn];
}
UINT last_id(const std::string& fn) {
  lock held(s().mu);
  return s().ids[fn];
}
int open_clients() {
  lock held(s().mu);
  return s().clients;
}
std::vector<std::string> traces() {
  lock held(s().mu);
  return s().lines;
}
void clear() {
  lock held(s().mu);
  s().lines.clear();
}
void name_process(const std::string& name) {
  lock held(s().mu);
  s().process_name = std::make_unique<std::string>(name);
}
void pause_next(const std::string& fn) {
  lock held(s().mu);
  s().pause_fn = fn;
}
bool paused() {
  lock held(s().mu);
  return s().pausing;
}
void resume() {
  lock held(s().mu);
  s().pausing = false;
  s().changed.notify_all();
}
std::vector<task> tasks() {
  lock held(s().mu);
  return s().started;
}

bool traced(const std::string& part) {
  for (const std::string& line : traces()) {
    if (line.find(part) != std::string::npos) return true;
  }
  return part.empty();
}

bool wait_until(const std::function<bool()>& done, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace faults

using faults::pass_on;

extern "C" {

RETCODE emwOSWCreateMutexSem(UINT* id, INT a, INT i) { return pass_on(&emwOSWCreateMutexSem, __func__, 0, id, a, i); }
RETCODE emwOSWRequestMutexSem(UINT id, INT t) { return pass_on(&emwOSWRequestMutexSem, __func__, id, id, t); }
RETCODE emwOSWDeleteMutexSem(UINT* id) { return pass_on(&emwOSWDeleteMutexSem, __func__, *id, id); }
RETCODE emwOSWCreateEventSem(UINT* id, INT a, INT i) { return pass_on(&emwOSWCreateEventSem, __func__, 0, id, a, i); }
RETCODE emwOSWResetEventSem(UINT id) { return pass_on(&emwOSWResetEventSem, __func__, id, id); }
RETCODE emwOSWPostEventSem(UINT id) { return pass_on(&emwOSWPostEventSem, __func__, id, id); }
RETCODE emwOSWWaitEventSem(UINT id, INT t) { return pass_on(&emwOSWWaitEventSem, __func__, id, id, t); }
RETCODE emwOSWDeleteEventSem(UINT id) { return pass_on(&emwOSWDeleteEventSem, __func__, id, id); }
RETCODE emwGENIpcDestroyClient(UINT h) {
  return faults::count_client(pass_on(&emwGENIpcDestroyClient, __func__, h, h), -1);
}
RETCODE emwGENIpcRequestAdmin(const char* name, INT request) {
  return pass_on(&emwGENIpcRequestAdmin, __func__, 0, name, request);
}
RETCODE emwGENIpcStartServer(const char* name, INT id, ULONG stack, PGEN_IPC_DISPATCH dispatch) {
  return pass_on(&emwGENIpcStartServer, __func__, 0, name, id, stack, dispatch);
}
RETCODE emwGENIpcCreateClient(const char* name, const char* server, INT a3, INT a4, INT id, void* clnt) {
  return faults::count_client(pass_on(&emwGENIpcCreateClient, __func__, 0, name, server, a3, a4, id, clnt), 1);
}
RETCODE emwGENIpcCallClient(UINT h, INT kind, INT a3, long a4, char* m, INT n, char* r, INT rn, INT* rl, ULONG t) {
  return pass_on(&emwGENIpcCallClient, __func__, h, h, kind, a3, a4, m, n, r, rn, rl, t);
}

RETCODE emwOSWGetProcessName(char* buffer) {
  faults::lock held(faults::s().mu);
  if (faults::s().process_name == nullptr) return held.unlock(), pass_on(&emwOSWGetProcessName, __func__, 0, buffer);
  return std::snprintf(buffer, 16, "%s", faults::s().process_name->c_str()) < 0;
}

// A failed release still releases: a mutex that stayed taken would wedge the test.
RETCODE emwOSWReleaseMutexSem(UINT id) {
  const RETCODE rc = reinterpret_cast<decltype(&emwOSWReleaseMutexSem)>(dlsym(RTLD_NEXT, __func__))(id);
  return faults::planned(__func__, id) ? faults::kCode : rc;
}

RETCODE emwOSWCreateJoinTask(UINT* id, const char* name, INT priority, ULONG stack, OSW_TASK_ENTRY entry, INT options,
                             INT a1, INT a2, INT a3, INT a4, INT a5, INT a6, INT a7, INT a8, INT a9, INT a10) {
  const RETCODE rc = pass_on(&emwOSWCreateJoinTask, __func__, 0, id, name, priority, stack, entry, options, a1, a2, a3,
                             a4, a5, a6, a7, a8, a9, a10);
  faults::lock held(faults::s().mu);
  if (rc == 0) faults::s().started.push_back({name, {a1, a2, a3}});
  return rc;
}

// Kept for the tests to read; written nowhere.
RETCODE emwGENTrcPrintf(UINT, UINT, INT, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  faults::lock held(faults::s().mu);
  faults::s().lines.emplace_back(text);
  return 0;
}

}  // extern "C"
