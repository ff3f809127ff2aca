#include "tools/reply_watchdog.h"

#include <utility>

namespace commdir_tools {

reply_watchdog::reply_watchdog(clock::duration limit, std::function<void(const char*)> overdue)
    : limit_(limit), overdue_(std::move(overdue)), thread_([this] { watch(); }) {}

reply_watchdog::~reply_watchdog() {
  {
    commdir_sync::lock_guard lock(mu_);
    stopping_ = true;
  }
  stop_.notify_one();
  thread_.join();
}

void reply_watchdog::arm(const char* call) {
  commdir_sync::lock_guard lock(mu_);
  call_ = call;
  deadline_ = clock::now() + limit_;
  armed_ = true;
}

void reply_watchdog::disarm() {
  commdir_sync::lock_guard lock(mu_);
  armed_ = false;
}

void reply_watchdog::watch() {
  commdir_sync::unique_lock lock(mu_);
  while (!stopping_) {
    const clock::time_point now = clock::now();
    if (armed_ && now >= deadline_) {
      const char* call = call_;
      armed_ = false;
      lock.unlock();
      overdue_(call);
      lock.lock();
      continue;
    }
    stop_.wait_until(lock, armed_ ? deadline_ : now + limit_);
  }
}

}  // namespace commdir_tools
