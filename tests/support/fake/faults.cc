// Platform calls that fail on purpose: see faults.h. The real call is the
// next definition of the same name, in the platform's shared library.
#include "support/fake/faults.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"

namespace faults {
namespace {

struct queued_task {
  OSW_TASK_ENTRY entry;
  INT words[3];
};

struct state {
  std::mutex mu;
  std::condition_variable task_ended, pause_changed;
  std::map<std::string, int> counts;
  std::map<std::string, std::map<int, RETCODE>> plans;  // by the number of the call that fails
  std::map<std::string, UINT> ids;
  std::vector<std::string> lines;
  std::vector<task> started;
  std::map<INT, queued_task> queued;  // by the key its task is started with
  INT next_key = 0;
  int running = 0;
  int clients = 0;
  std::string process_name;
  std::string pause_fn;
  bool pausing = false;
};

state& s() {
  static auto* instance = new state;  // never destroyed: tasks may outlive main()
  return *instance;
}

// The endpoints of this process live in a folder of its own.
struct ipc_folder {
  std::string path;
  ipc_folder() {
    char name[] = "/tmp/commdir-unit-XXXXXX";
    path = mkdtemp(name) != nullptr ? name : "";
    setenv("COMM_DIR_IPC_DIR", path.c_str(), 1);
    setenv("COMM_DIR_TRACE", "off", 1);
  }
  ~ipc_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
} g_folder;

// Counts a call of `fn` on `id`; true, with its code, when it was planned to fail.
bool planned(const char* fn, UINT id, RETCODE* code) {
  std::unique_lock<std::mutex> lock(s().mu);
  if (s().pause_fn == fn) {
    s().pause_fn.clear();
    s().pausing = true;
    s().pause_changed.wait(lock, [] { return !s().pausing; });
  }
  const int n = ++s().counts[fn];
  s().ids[fn] = id;
  auto& plans = s().plans[fn];
  auto it = plans.find(n);
  if (it == plans.end()) return false;
  *code = it->second;
  plans.erase(it);
  return true;
}

template <typename F, typename... Args>
RETCODE pass_on(F, const char* fn, UINT id, Args... args) {
  RETCODE code = 0;
  if (planned(fn, id, &code)) return code;
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, fn))(args...);
}

void count_clients(RETCODE rc, int change) {
  std::lock_guard<std::mutex> lock(s().mu);
  if (rc == 0) s().clients += change;
}

void run_task(INT key, INT, INT) {
  queued_task task;
  {
    std::lock_guard<std::mutex> lock(s().mu);
    task = s().queued.at(key);
    s().queued.erase(key);
  }
  task.entry(task.words[0], task.words[1], task.words[2]);
  std::lock_guard<std::mutex> lock(s().mu);
  --s().running;
  s().task_ended.notify_all();
}

}  // namespace

void fail(const std::string& fn, int nth, RETCODE code) {
  std::lock_guard<std::mutex> lock(s().mu);
  s().plans[fn][s().counts[fn] + nth] = code;
}

int calls(const std::string& fn) {
  std::lock_guard<std::mutex> lock(s().mu);
  return s().counts[fn];
}

UINT last_id(const std::string& fn) {
  std::lock_guard<std::mutex> lock(s().mu);
  return s().ids[fn];
}

int open_clients() {
  std::lock_guard<std::mutex> lock(s().mu);
  return s().clients;
}

std::vector<std::string> traces() {
  std::lock_guard<std::mutex> lock(s().mu);
  return s().lines;
}

bool traced(const std::string& part) {
  if (part.empty()) return true;
  for (const std::string& line : traces()) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

void clear() {
  std::lock_guard<std::mutex> lock(s().mu);
  s().lines.clear();
}

void set_process_name(const std::string& name) {
  std::lock_guard<std::mutex> lock(s().mu);
  s().process_name = name;
}

void pause_next(const std::string& fn) {
  std::lock_guard<std::mutex> lock(s().mu);
  s().pause_fn = fn;
}

bool paused() {
  std::lock_guard<std::mutex> lock(s().mu);
  return s().pausing;
}

void resume() {
  std::lock_guard<std::mutex> lock(s().mu);
  s().pausing = false;
  s().pause_changed.notify_all();
}

std::vector<task> tasks() {
  std::lock_guard<std::mutex> lock(s().mu);
  return s().started;
}

void join_tasks() {
  std::unique_lock<std::mutex> lock(s().mu);
  s().task_ended.wait(lock, [] { return s().running == 0; });
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

RETCODE emwOSWCreateMutexSem(UINT* id, INT attributes, INT initial) {
  return pass_on(&emwOSWCreateMutexSem, __func__, 0, id, attributes, initial);
}
RETCODE emwOSWRequestMutexSem(UINT id, INT timeout) { return pass_on(&emwOSWRequestMutexSem, __func__, id, id, timeout); }
RETCODE emwOSWReleaseMutexSem(UINT id) {
  const RETCODE rc = reinterpret_cast<decltype(&emwOSWReleaseMutexSem)>(dlsym(RTLD_NEXT, __func__))(id);
  RETCODE code = 0;
  return faults::planned(__func__, id, &code) ? code : rc;
}
RETCODE emwOSWDeleteMutexSem(UINT* id) { return pass_on(&emwOSWDeleteMutexSem, __func__, *id, id); }
RETCODE emwOSWCreateEventSem(UINT* id, INT attributes, INT initial) {
  return pass_on(&emwOSWCreateEventSem, __func__, 0, id, attributes, initial);
}
RETCODE emwOSWResetEventSem(UINT id) { return pass_on(&emwOSWResetEventSem, __func__, id, id); }
RETCODE emwOSWPostEventSem(UINT id) { return pass_on(&emwOSWPostEventSem, __func__, id, id); }
RETCODE emwOSWWaitEventSem(UINT id, INT timeout) { return pass_on(&emwOSWWaitEventSem, __func__, id, id, timeout); }
RETCODE emwOSWDeleteEventSem(UINT id) { return pass_on(&emwOSWDeleteEventSem, __func__, id, id); }

RETCODE emwOSWGetProcessName(char* buffer) {
  {
    std::lock_guard<std::mutex> lock(faults::s().mu);
    if (!faults::s().process_name.empty()) {
      std::snprintf(buffer, 16, "%s", faults::s().process_name.c_str());
      return 0;
    }
  }
  return pass_on(&emwOSWGetProcessName, __func__, 0, buffer);
}

// The task runs the entry through run_task, which tells join_tasks when it
// has returned; the key that finds the entry travels as the first word.
RETCODE emwOSWCreateJoinTask(UINT* id, const char* name, INT priority, ULONG stack_size, OSW_TASK_ENTRY entry,
                             INT options, INT arg1, INT arg2, INT arg3, INT arg4, INT arg5, INT arg6, INT arg7,
                             INT arg8, INT arg9, INT arg10) {
  RETCODE code = 0;
  if (faults::planned(__func__, 0, &code)) return code;
  INT key;
  {
    std::lock_guard<std::mutex> lock(faults::s().mu);
    key = ++faults::s().next_key;
    faults::s().queued[key] = {entry, {arg1, arg2, arg3}};
    faults::s().started.push_back({name != nullptr ? name : "", {arg1, arg2, arg3}});
    ++faults::s().running;
  }
  const RETCODE rc = reinterpret_cast<decltype(&emwOSWCreateJoinTask)>(dlsym(RTLD_NEXT, __func__))(
      id, name, priority, stack_size, faults::run_task, options, key, 0, 0, arg4, arg5, arg6, arg7, arg8, arg9, arg10);
  if (rc != 0) {
    std::lock_guard<std::mutex> lock(faults::s().mu);
    faults::s().queued.erase(key);
    --faults::s().running;
  }
  return rc;
}

RETCODE emwGENIpcStartServer(const char* name, INT server_id, ULONG stack_size, PGEN_IPC_DISPATCH dispatch) {
  return pass_on(&emwGENIpcStartServer, __func__, 0, name, server_id, stack_size, dispatch);
}
RETCODE emwGENIpcCreateClient(const char* client_name, const char* server_name, INT arg3, INT arg4, INT client_id,
                              void* clnt) {
  const RETCODE rc = pass_on(&emwGENIpcCreateClient, __func__, 0, client_name, server_name, arg3, arg4, client_id, clnt);
  faults::count_clients(rc, 1);
  return rc;
}
RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT arg3, long arg4, char* message, INT length, char* rcvbuf,
                            INT rcvsize, INT* rcvlen, ULONG timeout) {
  return pass_on(&emwGENIpcCallClient, __func__, handle, handle, kind, arg3, arg4, message, length, rcvbuf, rcvsize,
                 rcvlen, timeout);
}
RETCODE emwGENIpcDestroyClient(UINT handle) {
  const RETCODE rc = pass_on(&emwGENIpcDestroyClient, __func__, handle, handle);
  faults::count_clients(rc, -1);
  return rc;
}
RETCODE emwGENIpcRequestAdmin(const char* server_name, INT request) {
  return pass_on(&emwGENIpcRequestAdmin, __func__, 0, server_name, request);
}

// Kept, not written anywhere: the tests read them.
RETCODE emwGENTrcPrintf(UINT, UINT, INT, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(faults::s().mu);
  faults::s().lines.emplace_back(text);
  return 0;
}

}  // extern "C"
