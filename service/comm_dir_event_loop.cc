#include "service/comm_dir_event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

constexpr std::uint64_t kKickTicket = 0;
constexpr int kMostEvents = 64;

}  // namespace

const char* comm_dir_waiting_name(comm_dir_waiting_on what) {
  switch (what) {
    case comm_dir_waiting_on::kNameLookup: return "name lookup";
    case comm_dir_waiting_on::kConnect: return "connect";
    case comm_dir_waiting_on::kTlsHandshake: return "TLS handshake";
    case comm_dir_waiting_on::kStartTls: return "StartTLS";
    case comm_dir_waiting_on::kBind: return "bind";
    case comm_dir_waiting_on::kFirstAnswer: return "first answer";
    case comm_dir_waiting_on::kNextEntry: return "next entry";
    case comm_dir_waiting_on::kCallback: return "callback";
    case comm_dir_waiting_on::kCount: break;
  }
  return "?";
}

void comm_dir_latch::open() {
  commdir_sync::lock_guard lock(mu_);
  open_ = true;
  if (loop_ != nullptr) loop_->wake(ticket_);
}

bool comm_dir_latch::is_open() const {
  commdir_sync::lock_guard lock(mu_);
  return open_;
}

bool comm_dir_latch::attach(comm_dir_event_loop* loop, std::uint64_t ticket) {
  commdir_sync::lock_guard lock(mu_);
  loop_ = loop;
  ticket_ = ticket;
  return !open_;
}

comm_dir_event_loop::~comm_dir_event_loop() { stop(); }

bool comm_dir_event_loop::start() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  kick_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event kick{};
  kick.events = EPOLLIN;
  kick.data.u64 = kKickTicket;
  if (epoll_ < 0 || kick_fd_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, kick_fd_, &kick) != 0) {
    SERVICE_TRACE("cannot make the event loop's descriptors: %s", std::strerror(errno));
    return false;
  }
  try {
    thread_ = std::thread(&comm_dir_event_loop::run, this);
  } catch (const std::system_error& e) {
    SERVICE_TRACE("cannot start the event loop's thread: %s", e.what());
    return false;
  }
  return true;
}

void comm_dir_event_loop::stop() {
  {
    commdir_sync::lock_guard lock(mu_);
    stopping_ = true;
  }
  if (thread_.joinable()) {
    kick();
    thread_.join();
  }
  for (int* fd : {&epoll_, &kick_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void comm_dir_event_loop::add(const comm_dir_wait& wait, waiter* w) {
  std::uint64_t ticket = 0;
  {
    commdir_sync::lock_guard lock(mu_);
    ticket = next_ticket_++;
    const bool watched = wait.kind == comm_dir_wait::on::kReadable || wait.kind == comm_dir_wait::on::kWritable;
    const auto deadline = deadlines_.emplace(wait.deadline, ticket).first;
    try {
      registered_.emplace(ticket, registration{w, watched ? wait.fd : -1, wait.deadline});
    } catch (...) {
      deadlines_.erase(deadline);  // nothing of the wait is left
      throw;
    }
    if (watched) {
      epoll_event event{};
      event.events = (wait.kind == comm_dir_wait::on::kReadable ? EPOLLIN : EPOLLOUT) | EPOLLONESHOT;
      event.data.u64 = ticket;
      // A descriptor that cannot be watched is left to the deadline.
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wait.fd, &event) != 0) {
        SERVICE_TRACE("cannot watch descriptor %d: %s; its wait ends at its deadline", wait.fd, std::strerror(errno));
        registered_[ticket].fd = -1;
      }
    }
  }
  if (wait.kind == comm_dir_wait::on::kLatch && !wait.latch->attach(this, ticket)) {
    wake(ticket);  // opened before its wait was there
    return;
  }
  kick();  // the new deadline may come before the one the thread sleeps for
}

void comm_dir_event_loop::wake(std::uint64_t ticket) {
  {
    commdir_sync::lock_guard lock(mu_);
    end(ticket, false, &opened_);
  }
  kick();
}

void comm_dir_event_loop::kick() {
  const std::uint64_t one = 1;
  // Fails only when the counter is full, and then the thread wakes anyway.
  (void)!::write(kick_fd_, &one, sizeof one);
}

void comm_dir_event_loop::end(std::uint64_t ticket, bool timed_out, woken_list* due) {
  auto it = registered_.find(ticket);
  if (it == registered_.end()) return;
  const registration ended = it->second;
  registered_.erase(it);
  deadlines_.erase({ended.deadline, ticket});
  if (ended.fd >= 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, ended.fd, nullptr);
  due->emplace_back(ended.w, timed_out);
}

int comm_dir_event_loop::wait_ms() {
  if (deadlines_.empty()) return -1;
  const auto left = deadlines_.begin()->first - comm_dir_wait::clock::now();
  if (left <= comm_dir_wait::clock::duration::zero()) return 0;
  // Rounded up, so that the thread does not wake just before the deadline
  // and turn round without ending anything.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

void comm_dir_event_loop::run() {
  epoll_event events[kMostEvents];
  commdir_sync::unique_lock lock(mu_);
  while (!stopping_) {
    const int timeout = wait_ms();
    lock.unlock();
    const int count = ::epoll_wait(epoll_, events, kMostEvents, timeout);
    woken_list due;
    lock.lock();
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == kKickTicket) {
        std::uint64_t kicks = 0;
        (void)!::read(kick_fd_, &kicks, sizeof kicks);
        continue;
      }
      end(events[i].data.u64, false, &due);
    }
    const auto now = comm_dir_wait::clock::now();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) end(deadlines_.begin()->second, true, &due);
    due.insert(due.end(), opened_.begin(), opened_.end());
    opened_.clear();
    lock.unlock();
    for (const auto& [w, timed_out] : due) w->woken(timed_out);
    lock.lock();
  }
}

}  // namespace velmarosta
