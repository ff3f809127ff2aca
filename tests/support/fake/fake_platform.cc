// The fake platform: see fake_platform.h.
//
// All state lives in one `State` guarded by one mutex. Blocking operations
// (mutex requests, event waits, a server's receiving thread) wait on condition
// variables of that mutex. Hooks, dispatch functions and task entries are
// always called without the mutex held, because they call back into the fake.
#include "support/fake/fake_platform.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/emw_gen_ipc.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"

namespace fake {
namespace {

// Codes the fake returns for misuse, so that a test can tell them apart from
// injected ones.
constexpr RETCODE kNoSuchId = 0x7001;
constexpr RETCODE kNameInUse = 0x7002;
constexpr RETCODE kNoSuchServer = 0x7003;
constexpr RETCODE kTimedOut = 0x7004;
constexpr int kSendBufferSize = 65536;

struct Semaphore {
  bool is_event = false;
  bool taken = false;   // mutex: owned
  bool posted = false;  // event: signalled
};

struct Server {
  std::string name;
  PGEN_IPC_DISPATCH dispatch = nullptr;
  bool held = false;
  bool stopping = false;
  bool busy = false;  // the receiving thread is inside dispatch
  std::deque<Message> queue;
  std::thread receiver;
};

struct Client {
  std::string name;
  std::string server;
};

struct Plan {
  long long at;  // the call number of `fn` that fails
  RETCODE code;
};

struct State {
  std::mutex mu;
  std::condition_variable changed;  // any semaphore or queue changed
  std::vector<Call> calls;
  std::vector<Trace> traces;
  std::vector<Message> sent;
  std::map<std::string, long long> counts;
  std::map<std::string, std::vector<Plan>> plans;
  std::map<std::string, std::function<void()>> hooks;
  std::map<UINT, Semaphore> sems;
  std::map<std::string, std::shared_ptr<Server>> servers;
  std::map<UINT, Client> clients;
  std::vector<std::string> task_names;
  std::vector<std::thread> tasks;
  UINT next_id = 0x100;
  std::string process_name = "fakeproc";
};

State& state() {
  static State* s = new State;  // never destroyed: tasks may outlive main()
  return *s;
}

Value I(long long v) {
  Value x;
  x.kind = Value::kInt;
  x.i = v;
  return x;
}
Value P(const void* p) {
  Value x;
  x.kind = Value::kPointer;
  x.i = static_cast<long long>(reinterpret_cast<std::uintptr_t>(p));
  return x;
}
Value S(const char* s) {
  if (s == nullptr) return P(nullptr);
  Value x;
  x.kind = Value::kString;
  x.s = s;
  return x;
}

// Runs the hook of `fn`, counts the call and tells whether a planned failure
// applies to it (then `*code` holds the code).
bool begin_call(const std::string& fn, RETCODE* code) {
  State& s = state();
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.hooks.find(fn);
    if (it != s.hooks.end()) hook = it->second;
  }
  if (hook) hook();
  std::lock_guard<std::mutex> lock(s.mu);
  long long n = ++s.counts[fn];
  auto& plans = s.plans[fn];
  for (auto it = plans.begin(); it != plans.end(); ++it) {
    if (it->at == n) {
      *code = it->code;
      plans.erase(it);
      return true;
    }
  }
  return false;
}

RETCODE record(const std::string& fn, std::vector<Value> args, RETCODE result, bool injected) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  Call c;
  c.fn = fn;
  c.args = std::move(args);
  c.result = result;
  c.injected = injected;
  c.thread = std::this_thread::get_id();
  s.calls.push_back(std::move(c));
  return result;
}

// The frame of every platform call: hook, planned failure, effect, record.
template <typename Effect>
RETCODE platform_call(const char* fn, std::vector<Value> args, Effect effect) {
  RETCODE code = 0;
  if (begin_call(fn, &code)) return record(fn, std::move(args), code, true);
  return record(fn, std::move(args), effect(), false);
}

UINT new_sem(bool is_event) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  UINT id = s.next_id++;
  s.sems[id].is_event = is_event;
  return id;
}

// Caller holds s.mu. Null when `id` names no semaphore of that kind.
Semaphore* find_sem(UINT id, bool is_event) {
  auto it = state().sems.find(id);
  if (it == state().sems.end() || it->second.is_event != is_event) return nullptr;
  return &it->second;
}

// Waits on s.changed until `ready` holds for the semaphore `id`, then runs
// `take`. A timeout of -1 waits without limit, else milliseconds.
template <typename Ready, typename Take>
RETCODE wait_sem(UINT id, bool is_event, INT timeout, Ready ready, Take take) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
  for (;;) {
    Semaphore* sem = find_sem(id, is_event);
    if (sem == nullptr) return kNoSuchId;
    if (ready(*sem)) {
      take(*sem);
      return 0;
    }
    if (timeout < 0) {
      s.changed.wait(lock);
    } else if (s.changed.wait_until(lock, until) == std::cv_status::timeout) {
      return kTimedOut;
    }
  }
}

// Changes the semaphore `id` under the lock and wakes every waiter.
template <typename Change>
RETCODE change_sem(UINT id, bool is_event, Change change) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  Semaphore* sem = find_sem(id, is_event);
  if (sem == nullptr) return kNoSuchId;
  change(*sem);
  s.changed.notify_all();
  return 0;
}

RETCODE delete_sem(UINT id, bool is_event) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (find_sem(id, is_event) == nullptr) return kNoSuchId;
  s.sems.erase(id);
  s.changed.notify_all();
  return 0;
}

void dispatch_message(PGEN_IPC_DISPATCH dispatch, Message& m) {
  std::vector<char> send_buffer(kSendBufferSize, 0);
  int size = 0;
  dispatch(m.bytes.data(), send_buffer.data(), &size);
}

// A server's receiving thread: dispatches queued messages in order while the
// server is not held.
void receive_loop(std::shared_ptr<Server> server) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  for (;;) {
    s.changed.wait(lock, [&] { return server->stopping || (!server->held && !server->queue.empty()); });
    if (server->stopping) return;
    Message m = std::move(server->queue.front());
    server->queue.pop_front();
    server->busy = true;
    lock.unlock();
    dispatch_message(server->dispatch, m);
    lock.lock();
    server->busy = false;
    s.changed.notify_all();
  }
}

// Stops a server's receiving thread. Caller holds `lock` on s.mu.
void stop_server(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Server>& server) {
  server->stopping = true;
  state().changed.notify_all();
  std::thread receiver = std::move(server->receiver);
  lock.unlock();
  if (receiver.joinable()) {
    if (receiver.get_id() == std::this_thread::get_id()) {
      receiver.detach();  // stopped from its own dispatch function
    } else {
      receiver.join();
    }
  }
  lock.lock();
}

std::shared_ptr<Server> find_server(const std::string& name) {
  auto it = state().servers.find(name);
  return it == state().servers.end() ? nullptr : it->second;
}

void put_word(std::vector<char>& bytes, int offset, UINT word) {
  if (bytes.size() >= static_cast<std::size_t>(offset) + sizeof word) {
    std::memcpy(bytes.data() + offset, &word, sizeof word);
  }
}

// Records one argument per conversion of a printf format.
std::vector<Value> trace_args(const char* format, va_list ap) {
  std::vector<Value> out;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (std::strchr("-+ #0", *p) != nullptr && *p != '\0') ++p;
    if (*p == '*') {
      out.push_back(I(va_arg(ap, int)));
      ++p;
    }
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        out.push_back(I(va_arg(ap, int)));
        ++p;
      }
      while (*p >= '0' && *p <= '9') ++p;
    }
    int longs = 0;
    bool size_t_arg = false;
    while (std::strchr("hlzjt", *p) != nullptr && *p != '\0') {
      if (*p == 'l') ++longs;
      if (*p == 'z' || *p == 't' || *p == 'j') size_t_arg = true;
      ++p;
    }
    switch (*p) {
      case 'd': case 'i':
        if (size_t_arg) out.push_back(I(va_arg(ap, long long)));
        else if (longs == 0) out.push_back(I(va_arg(ap, int)));
        else if (longs == 1) out.push_back(I(va_arg(ap, long)));
        else out.push_back(I(va_arg(ap, long long)));
        break;
      case 'u': case 'x': case 'X': case 'o': case 'c':
        if (size_t_arg) out.push_back(I(static_cast<long long>(va_arg(ap, unsigned long long))));
        else if (longs == 0) out.push_back(I(va_arg(ap, unsigned int)));
        else if (longs == 1) out.push_back(I(static_cast<long long>(va_arg(ap, unsigned long))));
        else out.push_back(I(static_cast<long long>(va_arg(ap, unsigned long long))));
        break;
      case 's': out.push_back(S(va_arg(ap, const char*))); break;
      case 'p': out.push_back(P(va_arg(ap, void*))); break;
      case 'f': case 'g': case 'e': out.push_back(I(static_cast<long long>(va_arg(ap, double)))); break;
      default: return out;  // a format the library does not use
    }
    if (*p == '\0') break;
  }
  return out;
}

std::string format_text(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, ap);
  return text;
}

std::mutex& thread_guard_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace

void reset() {
  State& s = state();
  join_tasks();
  std::unique_lock<std::mutex> lock(s.mu);
  while (!s.servers.empty()) {
    auto server = s.servers.begin()->second;
    s.servers.erase(s.servers.begin());
    stop_server(lock, server);
  }
  s.calls.clear();
  s.traces.clear();
  s.sent.clear();
  s.counts.clear();
  s.plans.clear();
  s.hooks.clear();
  s.sems.clear();
  s.clients.clear();
  s.task_names.clear();
  s.process_name = "fakeproc";
}

void fail_nth(const std::string& fn, int nth, RETCODE code) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.plans[fn].push_back(Plan{s.counts[fn] + nth, code});
}

void set_hook(const std::string& fn, std::function<void()> hook) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (hook) {
    s.hooks[fn] = std::move(hook);
  } else {
    s.hooks.erase(fn);
  }
}

std::vector<Call> calls() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().calls;
}

std::vector<Call> calls_of(const std::string& fn) {
  std::vector<Call> out;
  for (auto& c : calls()) {
    if (c.fn == fn) out.push_back(c);
  }
  return out;
}

std::vector<Call> calls_of_this_thread() {
  std::vector<Call> out;
  for (auto& c : calls()) {
    if (c.thread == std::this_thread::get_id()) out.push_back(c);
  }
  return out;
}

int count_of(const std::string& fn) { return static_cast<int>(calls_of(fn).size()); }

std::vector<Trace> traces() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().traces;
}

void clear_log() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.calls.clear();
  s.traces.clear();
  s.sent.clear();
}

void set_process_name(const std::string& name) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().process_name = name;
}

void hold(const std::string& server, bool held) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.servers.find(server);
  if (it != s.servers.end()) it->second->held = held;
  s.changed.notify_all();
}

std::size_t pending(const std::string& server) {
  std::lock_guard<std::mutex> lock(state().mu);
  auto it = state().servers.find(server);
  return it == state().servers.end() ? 0 : it->second->queue.size();
}

// Takes the queued message at `index` out of the server's queue.
static bool take_queued(const std::string& server, std::size_t index, Message* m,
                        PGEN_IPC_DISPATCH* dispatch) {
  std::lock_guard<std::mutex> lock(state().mu);
  auto it = state().servers.find(server);
  if (it == state().servers.end() || index >= it->second->queue.size()) return false;
  auto& queue = it->second->queue;
  *m = std::move(queue[index]);
  queue.erase(queue.begin() + static_cast<long>(index));
  *dispatch = it->second->dispatch;
  return true;
}

bool deliver(const std::string& server, std::size_t index) {
  Message m;
  PGEN_IPC_DISPATCH dispatch = nullptr;
  if (!take_queued(server, index, &m, &dispatch)) return false;
  dispatch_message(dispatch, m);
  return true;
}

bool drop(const std::string& server, std::size_t index) {
  Message m;
  PGEN_IPC_DISPATCH dispatch = nullptr;
  return take_queued(server, index, &m, &dispatch);
}

Message peek(const std::string& server, std::size_t index) {
  std::lock_guard<std::mutex> lock(state().mu);
  auto it = state().servers.find(server);
  if (it == state().servers.end() || index >= it->second->queue.size()) return Message{};
  return it->second->queue[index];
}

RETCODE inject(const std::string& server, std::vector<char> bytes, std::vector<char>* send_buffer) {
  PGEN_IPC_DISPATCH dispatch = nullptr;
  {
    std::lock_guard<std::mutex> lock(state().mu);
    auto it = state().servers.find(server);
    if (it == state().servers.end()) return -999;
    dispatch = it->second->dispatch;
  }
  std::vector<char> own(kSendBufferSize, 0);
  std::vector<char>& buffer = send_buffer != nullptr ? *send_buffer : own;
  if (buffer.size() < static_cast<std::size_t>(kSendBufferSize)) buffer.resize(kSendBufferSize);
  int size = 0;
  return dispatch(bytes.empty() ? nullptr : bytes.data(), buffer.data(), &size);
}

std::vector<Message> sent() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().sent;
}

bool server_running(const std::string& server) {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().servers.count(server) != 0;
}

void drain() {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  s.changed.wait(lock, [&] {
    for (auto& entry : s.servers) {
      const Server& server = *entry.second;
      if (server.busy || (!server.held && !server.queue.empty())) return false;
    }
    return true;
  });
}

std::vector<std::string> task_names() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().task_names;
}

void join_tasks() {
  for (;;) {
    std::vector<std::thread> tasks;
    {
      std::lock_guard<std::mutex> lock(state().mu);
      tasks.swap(state().tasks);
    }
    if (tasks.empty()) return;
    for (auto& t : tasks) t.join();
  }
}

bool wait_until(const std::function<bool()>& done, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace fake

using fake::I;
using fake::P;
using fake::S;

// --- the platform calls ----------------------------------------------------

extern "C" {

RETCODE emwOSWCreateMutexSem(UINT* sem_id, INT attributes, INT initial) {
  return fake::platform_call("emwOSWCreateMutexSem", {P(sem_id), I(attributes), I(initial)}, [&] {
    *sem_id = fake::new_sem(false);
    return 0;
  });
}

RETCODE emwOSWRequestMutexSem(UINT sem_id, INT timeout) {
  return fake::platform_call("emwOSWRequestMutexSem", {I(sem_id), I(timeout)}, [&] {
    return fake::wait_sem(sem_id, false, timeout, [](fake::Semaphore& m) { return !m.taken; },
                          [](fake::Semaphore& m) { m.taken = true; });
  });
}

RETCODE emwOSWReleaseMutexSem(UINT sem_id) {
  return fake::platform_call("emwOSWReleaseMutexSem", {I(sem_id)}, [&] {
    return fake::change_sem(sem_id, false, [](fake::Semaphore& m) { m.taken = false; });
  });
}

RETCODE emwOSWDeleteMutexSem(UINT* sem_id) {
  return fake::platform_call("emwOSWDeleteMutexSem", {P(sem_id)},
                             [&] { return fake::delete_sem(*sem_id, false); });
}

RETCODE emwOSWCreateEventSem(UINT* sem_id, INT attributes, INT initial) {
  return fake::platform_call("emwOSWCreateEventSem", {P(sem_id), I(attributes), I(initial)}, [&] {
    *sem_id = fake::new_sem(true);
    return 0;
  });
}

RETCODE emwOSWResetEventSem(UINT sem_id) {
  return fake::platform_call("emwOSWResetEventSem", {I(sem_id)}, [&] {
    return fake::change_sem(sem_id, true, [](fake::Semaphore& e) { e.posted = false; });
  });
}

RETCODE emwOSWPostEventSem(UINT sem_id) {
  return fake::platform_call("emwOSWPostEventSem", {I(sem_id)}, [&] {
    return fake::change_sem(sem_id, true, [](fake::Semaphore& e) { e.posted = true; });
  });
}

RETCODE emwOSWWaitEventSem(UINT sem_id, INT timeout) {
  return fake::platform_call("emwOSWWaitEventSem", {I(sem_id), I(timeout)}, [&] {
    return fake::wait_sem(sem_id, true, timeout, [](fake::Semaphore& e) { return e.posted; },
                          [](fake::Semaphore& e) { e.posted = false; });
  });
}

RETCODE emwOSWDeleteEventSem(UINT sem_id) {
  return fake::platform_call("emwOSWDeleteEventSem", {I(sem_id)},
                             [&] { return fake::delete_sem(sem_id, true); });
}

RETCODE emwOSWCreateJoinTask(UINT* task_id, const char* name, INT priority, ULONG stack_size,
                             OSW_TASK_ENTRY entry, INT options, INT arg1, INT arg2, INT arg3,
                             INT arg4, INT arg5, INT arg6, INT arg7, INT arg8, INT arg9,
                             INT arg10) {
  std::vector<fake::Value> args = {P(task_id), S(name), I(priority), I(static_cast<long long>(stack_size)),
                                   P(reinterpret_cast<const void*>(entry)), I(options), I(arg1), I(arg2),
                                   I(arg3), I(arg4), I(arg5), I(arg6), I(arg7), I(arg8), I(arg9), I(arg10)};
  return fake::platform_call("emwOSWCreateJoinTask", std::move(args), [&] {
    fake::State& s = fake::state();
    std::lock_guard<std::mutex> lock(s.mu);
    *task_id = s.next_id++;
    s.task_names.push_back(name != nullptr ? name : "");
    s.tasks.emplace_back([entry, arg1, arg2, arg3] { entry(arg1, arg2, arg3); });
    return 0;
  });
}

RETCODE emwOSWGetProcessName(char* buffer) {
  return fake::platform_call("emwOSWGetProcessName", {P(buffer)}, [&] {
    std::lock_guard<std::mutex> lock(fake::state().mu);
    const std::string& name = fake::state().process_name;
    std::size_t n = name.size() < 15 ? name.size() : 15;
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    return 0;
  });
}

RETCODE emwGENIpcStartServer(const char* name, INT server_id, ULONG stack_size, PGEN_IPC_DISPATCH dispatch) {
  std::vector<fake::Value> args = {S(name), I(server_id), I(static_cast<long long>(stack_size)),
                                   P(reinterpret_cast<const void*>(dispatch))};
  return fake::platform_call("emwGENIpcStartServer", std::move(args), [&]() -> RETCODE {
    fake::State& s = fake::state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (name == nullptr || s.servers.count(name) != 0) return fake::kNameInUse;
    auto server = std::make_shared<fake::Server>();
    server->name = name;
    server->dispatch = dispatch;
    server->receiver = std::thread(fake::receive_loop, server);
    s.servers[name] = server;
    return 0;
  });
}

RETCODE emwGENIpcCreateClient(const char* client_name, const char* server_name, INT arg3, INT arg4,
                              INT client_id, void* clnt) {
  std::vector<fake::Value> args = {S(client_name), S(server_name), I(arg3), I(arg4), I(client_id), P(clnt)};
  return fake::platform_call("emwGENIpcCreateClient", std::move(args), [&]() -> RETCODE {
    fake::State& s = fake::state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (server_name == nullptr || s.servers.count(server_name) == 0) return fake::kNoSuchServer;
    UINT handle = s.next_id++;
    s.clients[handle] = fake::Client{client_name != nullptr ? client_name : "", server_name};
    std::memcpy(clnt, &handle, sizeof handle);
    return 0;
  });
}

RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT arg3, long arg4, char* message, INT length,
                            char* rcvbuf, INT rcvsize, INT* rcvlen, ULONG timeout) {
  std::vector<fake::Value> args = {I(handle), I(kind),   I(arg3),    I(arg4), P(message),
                                   I(length), P(rcvbuf), I(rcvsize), P(rcvlen), I(static_cast<long long>(timeout))};
  return fake::platform_call("emwGENIpcCallClient", std::move(args), [&]() -> RETCODE {
    fake::State& s = fake::state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto client = s.clients.find(handle);
    if (client == s.clients.end()) return fake::kNoSuchId;
    auto server = fake::find_server(client->second.server);
    if (server == nullptr) return fake::kNoSuchServer;
    fake::Message m;
    m.server = client->second.server;
    m.client = client->second.name;
    m.kind = kind;
    m.bytes.assign(message, message + (length > 0 ? length : 0));
    fake::put_word(m.bytes, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(length));
    fake::put_word(m.bytes, GEN_IPC_HDR_KIND_OFFSET, static_cast<UINT>(kind));
    s.sent.push_back(m);
    server->queue.push_back(std::move(m));
    s.changed.notify_all();
    return 0;
  });
}

RETCODE emwGENIpcDestroyClient(UINT handle) {
  return fake::platform_call("emwGENIpcDestroyClient", {I(handle)}, [&]() -> RETCODE {
    std::lock_guard<std::mutex> lock(fake::state().mu);
    return fake::state().clients.erase(handle) == 1 ? 0 : fake::kNoSuchId;
  });
}

RETCODE emwGENIpcRequestAdmin(const char* server_name, INT request) {
  return fake::platform_call("emwGENIpcRequestAdmin", {S(server_name), I(request)}, [&]() -> RETCODE {
    fake::State& s = fake::state();
    std::unique_lock<std::mutex> lock(s.mu);
    auto server = server_name != nullptr ? fake::find_server(server_name) : nullptr;
    if (request != GEN_IPC_ADMIN_STOP || server == nullptr) return fake::kNoSuchServer;
    s.servers.erase(server_name);
    fake::stop_server(lock, server);
    return 0;
  });
}

RETCODE emwGENTrcPrintf(UINT module, UINT category, INT flag, const char* format, ...) {
  fake::Trace t;
  t.module = module;
  t.category = category;
  t.flag = flag;
  t.format = format != nullptr ? format : "";
  va_list ap;
  va_start(ap, format);
  va_list for_args;
  va_copy(for_args, ap);
  t.args = fake::trace_args(t.format.c_str(), for_args);
  va_end(for_args);
  t.text = fake::format_text(t.format.c_str(), ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(fake::state().mu);
  fake::state().traces.push_back(std::move(t));
  return 0;
}

}  // extern "C"

// --- the wrapper classes -------------------------------------------------------

OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int initial) : impl_(new std::mutex) {
  fake::record("OSW_Mutex_Semaphore", {I(initial)}, 0, false);
}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() { delete static_cast<std::mutex*>(impl_); }

RETCODE OSW_Mutex_Semaphore::lock() {
  static_cast<std::mutex*>(impl_)->lock();
  return 0;
}

RETCODE OSW_Mutex_Semaphore::unlock() {
  static_cast<std::mutex*>(impl_)->unlock();
  return 0;
}

OSW_Guard::OSW_Guard(OSW_Mutex_Semaphore& mutex) : mutex_(mutex), locked_(mutex.lock() == 0) {
  fake::record("OSW_Guard", {P(&mutex)}, 0, false);
}

OSW_Guard::~OSW_Guard() {
  if (locked_) mutex_.unlock();
}

bool OSW_Guard::locked() const { return locked_; }

OSW_Thread_Guard::OSW_Thread_Guard() {
  fake::thread_guard_mutex().lock();
  fake::record("OSW_Thread_Guard", {}, 0, false);
}

OSW_Thread_Guard::~OSW_Thread_Guard() { fake::thread_guard_mutex().unlock(); }
