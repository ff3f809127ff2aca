#include "service/comm_dir_progress.h"

namespace velmarosta {

comm_dir_progress::comm_dir_progress(int workers, clock::duration hung_after)
    : counts_(new counter[static_cast<std::size_t>(workers) + 1]),
      looks_(static_cast<std::size_t>(workers) + 1),
      hung_after_(hung_after) {}

comm_dir_progress::verdict comm_dir_progress::judge(std::uint32_t probe_sent, clock::time_point now) {
  verdict found;
  const bool receiver_moved = take_look(0, now);
  found.receiver_stuck = probe_seen_.load(std::memory_order_relaxed) != probe_sent && !receiver_moved;
  for (std::size_t slot = 1; slot < looks_.size(); ++slot) {
    take_look(slot, now);
    const look& worker = looks_[slot];
    if (worker.count % 2 == 1 && now - worker.since > hung_after_ && now - worker.since > found.busy_for) {
      found.hung_worker = static_cast<int>(slot) - 1;
      found.busy_for = now - worker.since;
    }
  }
  found.alive = !found.receiver_stuck && found.hung_worker < 0;
  return found;
}

bool comm_dir_progress::take_look(std::size_t slot, clock::time_point now) {
  const std::uint32_t count = counts_[slot].count.load(std::memory_order_relaxed);
  if (count == looks_[slot].count) return false;
  looks_[slot] = look{count, now};
  return true;
}
}  // namespace velmarosta
