#include "service/comm_dir_lookup_pool.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "service/comm_dir_service_trace.h"

namespace velmarosta {

comm_dir_lookup_pool::comm_dir_lookup_pool(int threads, comm_dir_progress* progress, int first_slot)
    : threads_(threads),
      progress_(progress),
      first_slot_(first_slot),
      queue_(static_cast<std::size_t>(std::max(1, threads / 2))) {}

comm_dir_lookup_pool::~comm_dir_lookup_pool() { stop(); }

bool comm_dir_lookup_pool::start() {
  try {
    for (int i = 0; i < threads_; ++i) running_.emplace_back(&comm_dir_lookup_pool::run, this, first_slot_ + i);
  } catch (const std::system_error& e) {
    SERVICE_TRACE("cannot start the lookup threads: %s", e.what());
    stop();
    return false;
  }
  return true;
}

void comm_dir_lookup_pool::stop() {
  {
    commdir_sync::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (std::thread& thread : running_) thread.join();
  running_.clear();
}

void comm_dir_lookup_pool::push(uid_t user, std::function<void()> step) {
  {
    commdir_sync::lock_guard lock(mu_);
    queue_.push(user, queued{std::move(step)});
  }
  cv_.notify_one();
}

void comm_dir_lookup_pool::run(int slot) {
  commdir_sync::unique_lock lock(mu_);
  for (;;) {
    queued next;
    uid_t user = 0;
    cv_.wait(lock, [&]() REQUIRES(mu_) { return queue_.pop(&next, &user) || (stopping_ && queue_.empty()); });
    if (next.step == nullptr) return;
    lock.unlock();
    progress_->begin(slot);
    next.step();
    progress_->end(slot);
    lock.lock();
    queue_.done(user);
    // The user's next step may be takeable now, and another thread may sleep.
    cv_.notify_one();
  }
}

}  // namespace velmarosta
