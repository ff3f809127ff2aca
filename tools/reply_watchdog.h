// comm-dir's bound on one facade call. The library waits for every reply
// without a time limit, and a daemon that dies in the middle of a call would
// leave comm-dir hanging; the watchdog reports such a call instead.
#ifndef COMMDIR_TOOLS_REPLY_WATCHDOG_H_
#define COMMDIR_TOOLS_REPLY_WATCHDOG_H_

#include <chrono>
#include <functional>
#include <thread>

#include "platform/commdir_thread_safety.h"

namespace commdir_tools {

// Calls `overdue` with the call's name, on the watchdog's own thread, when a
// call armed by arm() is not disarmed within `limit`. `overdue` is expected
// to end the process; if it returns, the call is taken as disarmed.
//
// Cheap on the calling side: arm() and disarm() only take an uncontended
// lock, and never wake the watchdog. A walk makes tens of thousands of
// calls, and a wake-up per call cost as much as an exchange. The watchdog
// instead sleeps `limit` at a time and, finding a call armed, until that
// call's deadline. It cannot oversleep one: a call armed while it sleeps
// was armed after the sleep began, so its deadline lies after the sleep's
// end.
//
// Thread-safe: arm() and disarm() may be called from any thread, one call
// at a time; the watch runs on its own thread; both sides work under mu_.
class reply_watchdog {
 public:
  using clock = std::chrono::steady_clock;

  reply_watchdog(clock::duration limit, std::function<void(const char* call)> overdue);
  ~reply_watchdog();
  reply_watchdog(const reply_watchdog&) = delete;
  reply_watchdog& operator=(const reply_watchdog&) = delete;

  // `call` must outlive the arming (comm-dir passes literals).
  void arm(const char* call);
  void disarm();

 private:
  void watch();

  const clock::duration limit_;
  const std::function<void(const char*)> overdue_;
  commdir_sync::mutex mu_;
  commdir_sync::condition_variable stop_;  // woken only by the destructor
  const char* call_ GUARDED_BY(mu_) = "";
  clock::time_point deadline_ GUARDED_BY(mu_);  // meaningful while armed_
  bool armed_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // last: starts once the rest is built
};

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_REPLY_WATCHDOG_H_
