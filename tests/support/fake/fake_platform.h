// A fake of the device platform for unit tests. It implements every platform
// call that the library declares (platform/emw_*.h), records each call with
// its arguments, injects a failure at the n-th call of any function with any
// code, and routes IPC messages in-process, so that a test decides the order
// and the moment of each delivery.
//
// Semaphores, guards and tasks are real (threads block and wake as on the
// device), so concurrency tests run over the fake too. Everything here is
// thread-safe.
#ifndef COMMDIR_TESTS_SUPPORT_FAKE_FAKE_PLATFORM_H_
#define COMMDIR_TESTS_SUPPORT_FAKE_FAKE_PLATFORM_H_

#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "platform/emw_gen_ipc.h"

namespace fake {

// One argument of a recorded call or trace.
struct Value {
  enum Kind { kInt, kString, kPointer } kind = kInt;
  long long i = 0;  // kInt: the value; kPointer: the address (0 for null)
  std::string s;    // kString
  bool operator==(long long v) const { return kind == kInt && i == v; }
  bool operator==(const std::string& v) const { return kind == kString && s == v; }
  bool operator==(const char* v) const { return kind == kString && s == v; }
  bool is_null() const { return kind == kPointer && i == 0; }
};

struct Call {
  std::string fn;           // e.g. "emwOSWCreateEventSem"
  std::vector<Value> args;  // the arguments, in order (out-pointers as kPointer)
  RETCODE result = 0;       // what the fake returned
  bool injected = false;    // the result came from fail_nth
  std::thread::id thread;   // who made the call
};

struct Trace {
  UINT module = 0;
  UINT category = 0;
  INT flag = 0;
  std::string format;
  std::vector<Value> args;  // one per conversion of the format, in order
  std::string text;         // the formatted line
};

// A message handed to emwGENIpcCallClient, as the server receives it (the
// header words at bytes 4 and 24 filled in).
struct Message {
  std::string server;      // server name
  std::string client;      // client name
  INT kind = 0;            // second argument of emwGENIpcCallClient
  std::vector<char> bytes;
};

// Forgets every call, trace, message, failure plan, hook, server, client,
// semaphore and task; process name back to "fakeproc".
void reset();

// The next calls of `fn` fail: the n-th one from now (1 = the next) returns
// `code` without any effect. Several plans for one function may stand.
void fail_nth(const std::string& fn, int nth, RETCODE code);

// Runs `hook` on the calling thread at every call of `fn`, before its effect
// (and before a planned failure). Replaces an earlier hook for `fn`; an empty
// function removes it.
void set_hook(const std::string& fn, std::function<void()> hook);

std::vector<Call> calls();
std::vector<Call> calls_of(const std::string& fn);
// The calls the calling thread made: what a receiving thread finishes after
// waking a caller may land in the log later, at any time.
std::vector<Call> calls_of_this_thread();
int count_of(const std::string& fn);
std::vector<Trace> traces();
void clear_log();  // forgets calls, traces and sent messages only

void set_process_name(const std::string& name);

// --- IPC ---------------------------------------------------------------------
// By default a server receives its messages in order on a receiving thread of
// its own. A held server keeps them queued until the test delivers them, in
// any order, on the test's thread.
void hold(const std::string& server, bool held);
std::size_t pending(const std::string& server);
// Delivers the queued message at `index` (0: the oldest) to the server's
// dispatch function on the calling thread; false if there is none.
bool deliver(const std::string& server, std::size_t index = 0);
// Drops the queued message at `index` without delivering it.
bool drop(const std::string& server, std::size_t index = 0);
// Copy of the queued message at `index`.
Message peek(const std::string& server, std::size_t index = 0);
// Hands raw bytes to a server's dispatch function on the calling thread, as
// if received (nothing is filled in). Returns what the dispatch function
// returned, or -999 when no such server runs.
RETCODE inject(const std::string& server, std::vector<char> bytes,
               std::vector<char>* send_buffer = nullptr);
// Every message sent with emwGENIpcCallClient, in order.
std::vector<Message> sent();
bool server_running(const std::string& server);
// Waits until every message queued for an unheld server has been dispatched.
void drain();

// --- tasks -----------------------------------------------------------------
// Names of the tasks started with emwOSWCreateJoinTask, in order.
std::vector<std::string> task_names();
// Waits until every task started so far has returned.
void join_tasks();

// Polls `done` until it holds or `seconds` pass; returns its last value.
bool wait_until(const std::function<bool()>& done, double seconds = 10.0);

}  // namespace fake

#endif  // COMMDIR_TESTS_SUPPORT_FAKE_FAKE_PLATFORM_H_
