// Mutexes whose rules the compiler checks.
//
// A member written `GUARDED_BY(mu_)` may be touched only with mu_ held, and
// a function written `REQUIRES(mu_)` may be called only so; clang's
// -Wthread-safety checks every access (the Makefile's `check-locks` target,
// a CI stage). Other compilers see plain std::mutex, std::lock_guard and
// std::condition_variable, at the same cost.
//
// commdir_sync::mutex, lock_guard, unique_lock and condition_variable stand
// in for their std:: namesakes, which carry no annotations in libstdc++.
// Where the analysis cannot follow a hand-off (a lock taken in one function
// and released in another, a lock chosen at run time), the function says
// NO_THREAD_SAFETY_ANALYSIS with one line on why.
#ifndef COMMDIR_PLATFORM_COMMDIR_THREAD_SAFETY_H_
#define COMMDIR_PLATFORM_COMMDIR_THREAD_SAFETY_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define COMMDIR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define COMMDIR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) COMMDIR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY COMMDIR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) COMMDIR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) COMMDIR_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) COMMDIR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) COMMDIR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) COMMDIR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) COMMDIR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) COMMDIR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) COMMDIR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) COMMDIR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) COMMDIR_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) COMMDIR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS COMMDIR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace commdir_sync {

class CAPABILITY("mutex") mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds this mutex, where it cannot
  // see so (a callback that its caller runs under the lock).
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class unique_lock;
  std::mutex mu_;
};

// std::lock_guard, annotated.
class SCOPED_CAPABILITY lock_guard {
 public:
  explicit lock_guard(mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~lock_guard() RELEASE() { mu_.unlock(); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;

 private:
  mutex& mu_;
};

// std::unique_lock, annotated: held from its construction, and again after
// lock(), until unlock() or its end. A condition_variable waits on it.
class SCOPED_CAPABILITY unique_lock {
 public:
  explicit unique_lock(mutex& mu) ACQUIRE(mu) : lock_(mu.mu_) {}
  ~unique_lock() RELEASE() {}
  unique_lock(const unique_lock&) = delete;
  unique_lock& operator=(const unique_lock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }

 private:
  friend class condition_variable;
  std::unique_lock<std::mutex> lock_;
};

// std::condition_variable over a commdir_sync::unique_lock. A wait gives
// the mutex up and takes it again before it returns, so that the caller
// holds it throughout as far as the analysis is concerned.
class condition_variable {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

  void wait(unique_lock& lock) { cv_.wait(lock.lock_); }
  template <typename Predicate>
  void wait(unique_lock& lock, Predicate ready) {
    cv_.wait(lock.lock_, ready);
  }
  template <typename Rep, typename Period>
  std::cv_status wait_for(unique_lock& lock, const std::chrono::duration<Rep, Period>& time) {
    return cv_.wait_for(lock.lock_, time);
  }
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(unique_lock& lock, const std::chrono::duration<Rep, Period>& time, Predicate ready) {
    return cv_.wait_for(lock.lock_, time, ready);
  }
  template <typename Clock, typename Duration>
  std::cv_status wait_until(unique_lock& lock, const std::chrono::time_point<Clock, Duration>& at) {
    return cv_.wait_until(lock.lock_, at);
  }
  template <typename Clock, typename Duration, typename Predicate>
  bool wait_until(unique_lock& lock, const std::chrono::time_point<Clock, Duration>& at, Predicate ready) {
    return cv_.wait_until(lock.lock_, at, ready);
  }

 private:
  std::condition_variable cv_;
};

}  // namespace commdir_sync

#endif  // COMMDIR_PLATFORM_COMMDIR_THREAD_SAFETY_H_
