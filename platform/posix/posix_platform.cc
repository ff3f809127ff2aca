// The operating-system wrapper and the trace service of the device platform,
// on POSIX threads (the message IPC is in posix_ipc.cc).
//
// Every call returns 0 or an errno value: EINVAL for a bad argument or an id
// that names no live object, ETIMEDOUT when a time-out ran out, EPERM for a
// release by a thread that does not own the mutex, EDEADLK for a request by
// its owner, EBUSY for deleting an owned mutex, EIDRM for a wait that the
// object's deletion ended, ECONNRESET (kServerEnded) for a wait for a reply
// whose server has ended, EAGAIN when an id table is full, ENOMEM.
//
// Time-outs are milliseconds; -1 waits without limit, 0 only tries.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"
#include "platform/posix/commdir_posix_text.h"
#include "platform/posix/commdir_posix_tasks.h"
#include "platform/posix/commdir_posix_trace.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackFactor = 4;
#else
constexpr std::size_t kStackFactor = 1;
#endif

constexpr std::size_t kMinStack = 256 * 1024;

std::size_t ThreadStackSize(ULONG requested) {
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::size_t size = std::max<std::size_t>({requested, kMinStack, static_cast<std::size_t>(PTHREAD_STACK_MIN)}) * kStackFactor;
  return (size + page - 1) / page * page;
}

namespace {

constexpr INT kWaitForever = -1;
constexpr UINT kMutexTag = 1;
constexpr UINT kEventTag = 2;
constexpr std::size_t kProcessNameSize = 16;  // 15 characters and the NUL

// Waits on `cv` until `ready()` or the time-out. The caller has checked the
// time-out with ValidTimeout.
template <typename Ready>
RETCODE WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, INT timeout_ms,
                  Ready ready) {
  if (timeout_ms == kWaitForever) {
    cv.wait(lock, ready);
    return 0;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready) ? 0 : ETIMEDOUT;
}

bool ValidTimeout(INT timeout_ms) { return timeout_ms >= 0 || timeout_ms == kWaitForever; }

// A mutex that knows its owner. std::mutex cannot tell who holds it, and its
// unlock from another thread is undefined; this one refuses that with EPERM.
// Thread-safe: every member takes mu_.
//
// Measured against two others with 64 threads calling on one CPU: an
// error-checking pthread mutex (one futex wait and wake per hand-over) gave
// 15% more exchanges/s, but running threads overtook waiting ones and a
// call's 99th percentile rose to 8 to 9 x its median (from 4); a
// first-come-first-served hand-over brought that to 1.6 x, but no more
// exchanges/s, while the 99th percentile is well within 10 x as it is.
class OwnedMutex {
 public:
  RETCODE acquire(INT timeout_ms) {
    if (!ValidTimeout(timeout_ms)) return EINVAL;
    std::unique_lock<std::mutex> lock(mu_);
    if (owned_ && owner_ == std::this_thread::get_id()) return EDEADLK;
    RETCODE rc = WaitUntil(lock, cv_, timeout_ms, [this] { return !owned_ || retired_; });
    if (rc != 0) return rc;
    if (retired_) return EIDRM;
    owned_ = true;
    owner_ = std::this_thread::get_id();
    return 0;
  }

  // The waiter is woken after mu_ is let go: woken while this thread still
  // held it, it would on one CPU preempt this thread only to block on mu_ at
  // once. This object outlives the call: the caller holds a reference.
  RETCODE release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!owned_ || owner_ != std::this_thread::get_id()) return EPERM;
      owned_ = false;
    }
    cv_.notify_one();
    return 0;
  }

  // Ends the mutex's life unless a thread owns it; threads still waiting for
  // it wake with EIDRM.
  RETCODE retire() {
    std::lock_guard<std::mutex> lock(mu_);
    if (owned_) return EBUSY;
    retired_ = true;
    cv_.notify_all();
    return 0;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool owned_ = false;      // guarded by mu_
  std::thread::id owner_;   // guarded by mu_; meaningful while owned_
  bool retired_ = false;    // guarded by mu_
};

// A manual-reset event: a post stays until the next reset, so a post before
// the wait is not lost. Thread-safe: every member takes mu_.
class Event {
 public:
  void reset() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = false;
  }

  void post() {
    bool awaited;
    {
      std::lock_guard<std::mutex> lock(mu_);
      signalled_ = true;
      awaited = awaited_;
      // Under the lock: the waiter unsets it under the lock before the
      // server it names may go.
      call_hook();
    }
    // Notified after unlocking, so the waiter does not wake into a held
    // mutex. This object outlives the call: the caller holds a reference.
    cv_.notify_all();
    if (awaited) NoteAwaitedReplyPosted();
  }

  // A caller awaits this event as the reply to its request.
  void mark_awaited() {
    std::lock_guard<std::mutex> lock(mu_);
    awaited_ = true;
  }

  bool arrived() {
    std::lock_guard<std::mutex> lock(mu_);
    return over();
  }

  bool on_post(void (*hook)(void*), void* target) {
    std::lock_guard<std::mutex> lock(mu_);
    const bool unused = hook_ != nullptr;
    hook_ = hook;
    hook_target_ = target;
    return unused;
  }

  RETCODE wait(INT timeout_ms) {
    if (!ValidTimeout(timeout_ms)) return EINVAL;
    std::unique_lock<std::mutex> lock(mu_);
    RETCODE rc = WaitUntil(lock, cv_, timeout_ms, [this] { return over(); });
    if (rc != 0) return rc;
    return signalled_ ? 0 : EIDRM;
  }

  // A wait without limit for a reply over the client `client`: in slices,
  // after each of which the client's server is asked whether it still
  // exists. kServerEnded once it was seen ended after two slices in a row
  // and the post has not come: a reply sent just before its server ended
  // may still be queued at this process's reply server, or in another
  // thread's dispatch, and the second slice leaves it the time to arrive.
  RETCODE wait_for_reply(UINT client) {
    std::unique_lock<std::mutex> lock(mu_);
    const auto ready = [this] { return over(); };
    const auto slice = std::chrono::milliseconds(kReplyCheckIntervalMs);
    std::string server;
    bool ended_before = false;
    while (!cv_.wait_for(lock, slice, ready)) {
      // Asked without the lock: the answer takes a system call, and a post
      // must not wait for it.
      lock.unlock();
      const bool ended = ServerOfClientEnded(client, &server);
      lock.lock();
      if (ended && ended_before && !ready()) {
        lock.unlock();
        TraceAwaitedServerEnded(server);
        return kServerEnded;
      }
      ended_before = ended;
    }
    return signalled_ ? 0 : EIDRM;
  }

  // Wakes the threads still waiting, with EIDRM unless it was posted.
  void retire() {
    std::lock_guard<std::mutex> lock(mu_);
    retired_ = true;
    call_hook();
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;  // guarded by mu_
  bool retired_ = false;    // guarded by mu_
  bool awaited_ = false;    // guarded by mu_
  void (*hook_)(void*) = nullptr;  // guarded by mu_; called once, see on_post
  void* hook_target_ = nullptr;    // guarded by mu_

  // Posted or deleted: a wait on it ends. mu_ is held.
  bool over() const { return signalled_ || retired_; }

  // Calls the hook, once. mu_ is held.
  void call_hook() {
    if (hook_ == nullptr) return;
    hook_(hook_target_);
    hook_ = nullptr;
  }
};

// A caller's wait for its reply, as the server that may receive it sees it.
class EventAwaiter final : public ReplyAwaiter {
 public:
  EventAwaiter(Event& event, UINT client) : event_(event), client_(client) {}
  bool arrived() override { return event_.arrived(); }
  bool on_post(void (*hook)(void*), void* target) override { return event_.on_post(hook, target); }
  RETCODE wait_blocked() override { return event_.wait_for_reply(client_); }

 private:
  Event& event_;
  const UINT client_;
};

// The tables live as long as the process: detached tasks and server threads
// may still use them while static destructors run.
HandleTable<OwnedMutex>& Mutexes() {
  static auto* table = new HandleTable<OwnedMutex>(kMutexTag);
  return *table;
}

HandleTable<Event>& Events() {
  static auto* table = new HandleTable<Event>(kEventTag);
  return *table;
}

// Adds a fresh T to `table` and writes its id to *id.
template <typename T>
RETCODE CreateIn(HandleTable<T>& table, UINT* id) {
  if (id == nullptr) return EINVAL;
  std::shared_ptr<T> object;
  try {
    object = std::make_shared<T>();
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  UINT handle = table.add(std::move(object));
  if (handle == 0) return EAGAIN;
  *id = handle;
  return 0;
}

// --- tasks -----------------------------------------------------------------

struct TaskStart {
  OSW_TASK_ENTRY entry;
  INT arg1, arg2, arg3;
  char name[kProcessNameSize];
};

// The tasks that run, for commdir_posix_tasks_wait. Never destroyed: a
// task may still end while the process exits.
struct RunningTasks {
  std::mutex mu;
  std::condition_variable none;  // count reached 0
  int count = 0;                 // guarded by mu
};
RunningTasks& running_tasks() {
  static auto* tasks = new RunningTasks();
  return *tasks;
}
void TaskBegins() {
  RunningTasks& tasks = running_tasks();
  std::lock_guard<std::mutex> lock(tasks.mu);
  ++tasks.count;
}
void TaskEnded() {
  RunningTasks& tasks = running_tasks();
  std::lock_guard<std::mutex> lock(tasks.mu);
  if (--tasks.count == 0) tasks.none.notify_all();
}

void* RunTask(void* raw) {
  std::unique_ptr<TaskStart> start(static_cast<TaskStart*>(raw));
  // Named from inside, so the name is in place before the entry runs.
  if (start->name[0] != '\0') pthread_setname_np(pthread_self(), start->name);
  start->entry(start->arg1, start->arg2, start->arg3);
  TaskEnded();
  return nullptr;
}

// --- trace -----------------------------------------------------------------

std::string TracePrefix(UINT module, UINT category, INT flag);
void AppendAsOneLine(std::string& line, const std::string& text);

// Where trace lines go: COMM_DIR_TRACE unset or empty is standard error,
// "off" is nowhere, anything else a file opened for appending. The variable
// is read at every line, so a process (a test) may redirect its trace.
// Thread-safe: mu_ covers the destination and each write, so a line is never
// written to a descriptor that another thread is closing.
class TraceSink {
 public:
  void write_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    int fd = destination();
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // Opens the file again by its name: a rotation may have moved it away.
  void reopen() {
    std::lock_guard<std::mutex> lock(mu_);
    opened_ = false;
    destination();
  }

 private:
  static constexpr int kOff = -1;

  // Caller holds mu_.
  int destination() {
    const char* env = std::getenv("COMM_DIR_TRACE");
    std::string wanted = env == nullptr ? "" : env;
    if (opened_ && wanted == wanted_) return fd_;
    if (fd_ > STDERR_FILENO) ::close(fd_);
    wanted_ = wanted;
    opened_ = true;
    if (wanted.empty()) {
      fd_ = STDERR_FILENO;
    } else if (wanted == "off") {
      fd_ = kOff;
    } else {
      std::string refused;
      fd_ = OpenTraceFile(wanted, &refused);
      if (fd_ < 0) refuse(wanted, refused);
    }
    return fd_;
  }

  // A trace file that cannot be used: lines go to standard error (a lost
  // trace helps nobody), the first of them saying why. Caller holds mu_.
  void refuse(const std::string& path, const std::string& why) {
    fd_ = STDERR_FILENO;
    std::string line = TracePrefix(kPlatformTraceModule, kPlatformTraceCategory, kPlatformTraceRefusal);
    AppendAsOneLine(line, "trace file " + path + " refused: " + why + "; the trace goes to standard error");
    if (::write(fd_, line.data(), line.size()) < 0) {
      // Nowhere left to say it.
    }
  }

  std::mutex mu_;
  std::string wanted_;   // guarded by mu_; the value fd_ was chosen for
  bool opened_ = false;  // guarded by mu_
  int fd_ = STDERR_FILENO;  // guarded by mu_
};

TraceSink& Sink() {
  static auto* sink = new TraceSink;
  return *sink;
}

// How many lines of one format a process writes: a peer that sends garbage
// at will (every malformed datagram, forged reply or refused request is
// traced) must not fill the disk with one line repeated. Within a window of
// `seconds` at most `lines` lines of a format are written; the rest are
// counted, not even formatted. The first line left out says so, and the
// next line of that format written in a later window is preceded by how
// many were left out. A format is told by its address: every trace call in
// this tree passes a literal. COMM_DIR_TRACE_LIMIT="LINES/SECONDS" sets the
// budget (default 50/60); "0" or "off" writes every line.
// Thread-safe: mu_ guards the settings and every format's count.
class TraceBudget {
 public:
  enum class Verdict { kWrite, kWriteAfterLeftOut, kFirstLeftOut, kLeftOut };

  // `left_out` receives, for kWriteAfterLeftOut, how many lines of this
  // format were left out since the last one written.
  Verdict admit(const char* format, std::size_t* left_out) {
    std::lock_guard<std::mutex> lock(mu_);
    read_settings();
    if (lines_ == 0) return Verdict::kWrite;
    const auto now = std::chrono::steady_clock::now();
    auto found = counts_.find(format);
    if (found == counts_.end()) {
      // Only a caller that builds formats at run time could come this far;
      // its lines are written unlimited rather than the table grow without bound.
      if (counts_.size() >= kMostFormats) return Verdict::kWrite;
      found = counts_.emplace(format, Count{now, 0, 0}).first;
    }
    Count& count = found->second;
    if (now - count.window_start >= window_) {
      *left_out = count.left_out;
      count = Count{now, 1, 0};
      return *left_out == 0 ? Verdict::kWrite : Verdict::kWriteAfterLeftOut;
    }
    if (count.written < lines_) {
      ++count.written;
      return Verdict::kWrite;
    }
    return ++count.left_out == 1 ? Verdict::kFirstLeftOut : Verdict::kLeftOut;
  }

  long window_seconds() {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(window_).count());
  }

 private:
  static constexpr std::size_t kMostFormats = 4096;
  struct Count {
    std::chrono::steady_clock::time_point window_start;
    unsigned long written;
    std::size_t left_out;
  };

  // Caller holds mu_. Read at every line, as COMM_DIR_TRACE is; parsed only
  // when it changed.
  void read_settings() {
    const char* env = std::getenv("COMM_DIR_TRACE_LIMIT");
    std::string wanted = env == nullptr ? "" : env;
    if (parsed_ && wanted == wanted_) return;
    wanted_ = wanted;
    parsed_ = true;
    unsigned long lines = kDefaultLines;
    unsigned long seconds = kDefaultSeconds;
    if (wanted == "0" || wanted == "off") {
      lines = 0;
    } else if (!wanted.empty()) {
      char slash = 0;
      char rest = 0;
      // An unreadable setting keeps the default, so a typo cannot turn the
      // limit off.
      if (std::sscanf(wanted.c_str(), "%lu%c%lu%c", &lines, &slash, &seconds, &rest) != 3 || slash != '/' ||
          lines == 0 || lines > kMostLines || seconds == 0 || seconds > kLongestWindow) {
        lines = kDefaultLines;
        seconds = kDefaultSeconds;
      }
    }
    lines_ = lines;
    window_ = std::chrono::seconds(seconds);
    counts_.clear();
  }

  static constexpr unsigned long kDefaultLines = 50;
  static constexpr unsigned long kDefaultSeconds = 60;
  static constexpr unsigned long kMostLines = 1000000;  // "-1/60" reads as a huge count, not as no limit
  static constexpr unsigned long kLongestWindow = 86400;

  std::mutex mu_;
  std::string wanted_;   // guarded by mu_: the setting lines_ and window_ come from
  bool parsed_ = false;  // guarded by mu_
  unsigned long lines_ = kDefaultLines;                      // guarded by mu_; 0: no limit
  std::chrono::steady_clock::duration window_ = std::chrono::seconds(kDefaultSeconds);  // guarded by mu_
  std::unordered_map<const char*, Count> counts_;            // guarded by mu_
};

TraceBudget& Budget() {
  static auto* budget = new TraceBudget;
  return *budget;
}

// True when COMM_DIR_TRACE is "off": a line is then neither formatted nor
// stamped, so that a process that turned its trace off pays next to nothing
// for it (a call that fails traces on every exchange).
bool TraceIsOff() {
  const char* env = std::getenv("COMM_DIR_TRACE");
  return env != nullptr && std::strcmp(env, "off") == 0;
}

// "2026-12-06T03:04:05.123456Z pid=12 tid=13 mod=0x3409 cat=258 flag=0 ".
std::string TracePrefix(UINT module, UINT category, INT flag) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%s.%06ldZ pid=%d tid=%ld mod=%#x cat=%u flag=%d ", stamp,
                now.tv_nsec / 1000, static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                module, category, flag);
  return prefix;
}

// The whole formatted text, however long.
std::string FormatText(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string("[bad trace format] ") + format;
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

// One line per call, ending with exactly one line break. Trace texts carry
// what peers sent (names, URIs, a server's diagnostic), so no byte of a text
// may start a line of its own or reach a terminal as a command
// (AppendVisible).
void AppendAsOneLine(std::string& line, const std::string& text) {
  std::string_view shown(text);
  if (!shown.empty() && shown.back() == '\n') shown.remove_suffix(1);
  AppendVisible(line, shown);
  line += '\n';
}

void WriteTraceLine(UINT module, UINT category, INT flag, const std::string& text) {
  std::string line = TracePrefix(module, category, flag);
  AppendAsOneLine(line, text);
  Sink().write_line(line);
}

}  // namespace
}  // namespace commdir_posix

using commdir_posix::Event;
using commdir_posix::Events;
using commdir_posix::Mutexes;
using commdir_posix::OwnedMutex;

extern "C" {

RETCODE emwOSWCreateMutexSem(UINT* sem_id, INT /*attributes*/, INT /*initial*/) {
  // Every mutex starts free, whatever the library's 0 and 1 say.
  return commdir_posix::CreateIn(Mutexes(), sem_id);
}

RETCODE emwOSWRequestMutexSem(UINT sem_id, INT timeout) {
  std::shared_ptr<OwnedMutex> mutex = Mutexes().find(sem_id);
  return mutex == nullptr ? EINVAL : mutex->acquire(timeout);
}

RETCODE emwOSWReleaseMutexSem(UINT sem_id) {
  std::shared_ptr<OwnedMutex> mutex = Mutexes().find(sem_id);
  return mutex == nullptr ? EINVAL : mutex->release();
}

RETCODE emwOSWDeleteMutexSem(UINT* sem_id) {
  if (sem_id == nullptr) return EINVAL;
  std::shared_ptr<OwnedMutex> mutex = Mutexes().find(*sem_id);
  if (mutex == nullptr) return EINVAL;
  RETCODE rc = mutex->retire();
  if (rc != 0) return rc;
  Mutexes().remove(*sem_id);
  *sem_id = 0;
  return 0;
}

RETCODE emwOSWCreateEventSem(UINT* sem_id, INT /*attributes*/, INT /*initial*/) {
  // Every event starts reset.
  RETCODE rc = commdir_posix::CreateIn(Events(), sem_id);
  if (rc == 0) commdir_posix::NoteEventCreated(*sem_id);
  return rc;
}

RETCODE emwOSWResetEventSem(UINT sem_id) {
  std::shared_ptr<Event> event = Events().find(sem_id);
  if (event == nullptr) return EINVAL;
  event->reset();
  return 0;
}

RETCODE emwOSWPostEventSem(UINT sem_id) {
  std::shared_ptr<Event> event = Events().find(sem_id);
  if (event == nullptr) return EINVAL;
  event->post();
  return 0;
}

// A wait without limit for the reply to this thread's last request (see
// posix_internal.h) gives up when the server that was to answer has ended,
// and may receive the reply itself.
RETCODE emwOSWWaitEventSem(UINT sem_id, INT timeout) {
  const UINT reply_client = commdir_posix::TakeReplyWatch(sem_id);
  std::shared_ptr<Event> event = Events().find(sem_id);
  if (event == nullptr) return EINVAL;
  if (reply_client == 0 || timeout != commdir_posix::kWaitForever) return event->wait(timeout);
  event->mark_awaited();
  commdir_posix::EventAwaiter awaiter(*event, reply_client);
  RETCODE rc = commdir_posix::AwaitReply(awaiter, reply_client);
  return rc != 0 ? rc : event->wait(0);  // posted, or deleted meanwhile
}

RETCODE emwOSWDeleteEventSem(UINT sem_id) {
  std::shared_ptr<Event> event = Events().remove(sem_id);
  if (event == nullptr) return EINVAL;
  event->retire();
  return 0;
}

// The argument words reach the entry exactly as given: what they carry (an
// address on a 32-bit host, a handle on a wider one) is the caller's affair.
// The priority, the options and the words arg4 to arg10 are not used.
RETCODE emwOSWCreateJoinTask(UINT* task_id, const char* name, INT /*priority*/, ULONG stack_size,
                             OSW_TASK_ENTRY entry, INT /*options*/, INT arg1, INT arg2, INT arg3,
                             INT /*arg4*/, INT /*arg5*/, INT /*arg6*/, INT /*arg7*/, INT /*arg8*/,
                             INT /*arg9*/, INT /*arg10*/) {
  static std::atomic<UINT> next_task_id{1};
  if (entry == nullptr) return EINVAL;
  auto* start = new (std::nothrow) commdir_posix::TaskStart{entry, arg1, arg2, arg3, {}};
  if (start == nullptr) return ENOMEM;
  if (name != nullptr) std::snprintf(start->name, sizeof start->name, "%s", name);

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    delete start;
    return rc;
  }
  // The library never joins a task; a detached thread frees itself.
  rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) rc = pthread_attr_setstacksize(&attr, commdir_posix::ThreadStackSize(stack_size));
  pthread_t thread;
  if (rc == 0) {
    commdir_posix::TaskBegins();
    rc = pthread_create(&thread, &attr, commdir_posix::RunTask, start);
    if (rc != 0) commdir_posix::TaskEnded();
  }
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return rc;
  }
  UINT id = next_task_id.fetch_add(1);
  if (id == 0) id = next_task_id.fetch_add(1);
  if (task_id != nullptr) *task_id = id;
  return 0;
}

RETCODE emwGENTrcPrintf(UINT module, UINT category, INT flag, const char* format, ...) {
  if (format == nullptr) return EINVAL;
  if (commdir_posix::TraceIsOff()) return 0;
  try {
    using Verdict = commdir_posix::TraceBudget::Verdict;
    std::size_t left_out = 0;
    const Verdict verdict = commdir_posix::Budget().admit(format, &left_out);
    if (verdict == Verdict::kLeftOut) return 0;
    std::string text;
    if (verdict == Verdict::kFirstLeftOut) {
      text = "trace: leaving out further lines of this format for up to " +
             std::to_string(commdir_posix::Budget().window_seconds()) + " s: " + format;
    } else {
      if (verdict == Verdict::kWriteAfterLeftOut) {
        commdir_posix::WriteTraceLine(module, category, flag,
                                      "trace: left out " + std::to_string(left_out) + " lines of this format: " + format);
      }
      va_list args;
      va_start(args, format);
      text = commdir_posix::FormatText(format, args);
      va_end(args);
    }
    commdir_posix::WriteTraceLine(module, category, flag, text);
    return 0;
  } catch (...) {  // std::bad_alloc: say that a line was lost rather than lose it silently
    static const char kLost[] = "trace line lost: out of memory\n";
    ssize_t ignored = ::write(STDERR_FILENO, kLost, sizeof kLost - 1);
    (void)ignored;
    return ENOMEM;
  }
}

void commdir_posix_trace_reopen(void) { commdir_posix::Sink().reopen(); }

RETCODE commdir_posix_tasks_wait(ULONG timeout_ms) {
  commdir_posix::RunningTasks& tasks = commdir_posix::running_tasks();
  std::unique_lock<std::mutex> lock(tasks.mu);
  return tasks.none.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return tasks.count == 0; }) ? 0
                                                                                                             : ETIMEDOUT;
}

}  // extern "C"

// --- scoped locks ----------------------------------------------------------

OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int /*initial*/)
    : impl_(new (std::nothrow) OwnedMutex) {}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() { delete static_cast<OwnedMutex*>(impl_); }

RETCODE OSW_Mutex_Semaphore::lock() {
  auto* mutex = static_cast<OwnedMutex*>(impl_);
  return mutex == nullptr ? ENOMEM : mutex->acquire(commdir_posix::kWaitForever);
}

RETCODE OSW_Mutex_Semaphore::unlock() {
  auto* mutex = static_cast<OwnedMutex*>(impl_);
  return mutex == nullptr ? ENOMEM : mutex->release();
}

OSW_Guard::OSW_Guard(OSW_Mutex_Semaphore& mutex) : mutex_(mutex), locked_(mutex.lock() == 0) {}

OSW_Guard::~OSW_Guard() {
  if (locked_) mutex_.unlock();
}

bool OSW_Guard::locked() const { return locked_; }

namespace {
// Recursive, so that a thread that nests two guards does not lock itself out.
// Never destroyed: a detached thread may take it while the process exits.
std::recursive_mutex& ThreadGuardMutex() {
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}
}  // namespace

OSW_Thread_Guard::OSW_Thread_Guard() { ThreadGuardMutex().lock(); }

OSW_Thread_Guard::~OSW_Thread_Guard() { ThreadGuardMutex().unlock(); }
