#include "service/comm_dir_scheduler.h"

#include <utility>

namespace velmarosta {

comm_dir_scheduler::comm_dir_scheduler(int queue_limit, int lane_limit)
    : queue_limit_(queue_limit), lane_limit_(static_cast<std::size_t>(lane_limit)) {}

bool comm_dir_scheduler::queue(std::unique_ptr<comm_dir_request>* request, const std::shared_ptr<lane>& in) {
  if (waiting_ >= queue_limit_) return false;
  const uid_t user = (*request)->sender.uid;
  if (in == nullptr) {
    ready_.push(user, runnable{nullptr, std::move(*request)});
  } else {
    if (in->queue_.size() >= lane_limit_) return false;
    in->queue_.push_back(std::move(*request));
    if (!in->held_) {
      in->held_ = true;
      ready_.push(user, runnable{in, nullptr});
    }
  }
  ++waiting_;
  return true;
}

bool comm_dir_scheduler::take_now(std::unique_ptr<comm_dir_request>* request, lane& in) {
  if (in.held_) return false;
  in.queue_.push_back(std::move(*request));
  in.held_ = true;
  ++running_;
  return true;
}

bool comm_dir_scheduler::next(runnable* next) {
  if (!ready_.pop(next)) return false;
  if (next->resumed != nullptr) return true;  // counted as running all along
  next->serving = next->of != nullptr ? next->of->queue_.front().get() : next->request.get();
  --waiting_;
  ++running_;
  return true;
}

bool comm_dir_scheduler::release(const std::shared_ptr<lane>& in, std::unique_ptr<comm_dir_request>* request) {
  in->last_used_ = clock::now();
  *request = std::move(in->queue_.front());
  in->queue_.pop_front();
  if (in->queue_.empty()) {
    in->held_ = false;
    return false;
  }
  // Behind the others: one busy operation does not starve the rest.
  ready_.push(in->user_, runnable{in, nullptr});
  return true;
}

void comm_dir_scheduler::done() { --running_; }

void comm_dir_scheduler::resume(uid_t user, comm_dir_in_service* resumed) {
  ready_.push(user, runnable{nullptr, nullptr, resumed});
}

}  // namespace velmarosta
