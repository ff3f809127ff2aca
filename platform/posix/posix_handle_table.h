// Opaque 32-bit ids for the platform's objects (mutexes, events, IPC clients).
//
// An id is (tag << 30) | (generation << 16) | (slot + 1). The tag tells the
// kinds of object apart, so that an event id handed to a mutex call finds
// nothing; the generation changes every time a slot is reused, so that a
// stale id of a deleted object finds nothing either; a forged id fails one of
// the three checks. No id is ever 0.
//
// A freed slot is reused only once kMinFreeSlots others are free as well, so
// that one slot's 14-bit generation comes round again only after some
// sixteen million creations, not after sixteen thousand.
//
// Objects are held by shared_ptr: a caller that found an object keeps it
// alive while it uses it, even if another thread removes the id meanwhile.
// So no id, however stale, ever leads to freed memory.
//
// Thread-safe: every member takes mu_, and only for the slot bookkeeping.
#ifndef COMMDIR_PLATFORM_POSIX_POSIX_HANDLE_TABLE_H_
#define COMMDIR_PLATFORM_POSIX_POSIX_HANDLE_TABLE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "platform/commdir_thread_safety.h"

namespace commdir_posix {

template <typename T>
class HandleTable {
 public:
  // `tag` in 1..3 marks every id of this table.
  explicit HandleTable(UINT tag) : tag_(tag) {}
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // Registers `object`; returns its id, or 0 when every slot is taken (or
  // memory for the table ran out).
  UINT add(std::shared_ptr<T> object) {
    commdir_sync::lock_guard lock(mu_);
    try {
      UINT slot;
      if (free_.size() > kMinFreeSlots || (slots_.size() == kMaxSlots && !free_.empty())) {
        slot = free_.front();
        free_.pop_front();
      } else if (slots_.size() < kMaxSlots) {
        slot = static_cast<UINT>(slots_.size());
        slots_.emplace_back();
      } else {
        return 0;
      }
      Slot& s = slots_[slot];
      s.object = std::move(object);
      return (tag_ << kTagShift) | (static_cast<UINT>(s.generation) << kGenerationShift) | (slot + 1);
    } catch (...) {  // std::bad_alloc from the deque or the vector
      return 0;
    }
  }

  // The object `id` names, or null for a stale, removed or forged id.
  std::shared_ptr<T> find(UINT id) {
    commdir_sync::lock_guard lock(mu_);
    Slot* s = live_slot(id);
    return s == nullptr ? nullptr : s->object;
  }

  // Removes `id`; returns its object, or null when it named none.
  std::shared_ptr<T> remove(UINT id) {
    commdir_sync::lock_guard lock(mu_);
    Slot* s = live_slot(id);
    if (s == nullptr) return nullptr;
    std::shared_ptr<T> object = std::move(s->object);
    s->object.reset();
    s->generation = next_generation(s->generation);
    UINT slot = (id & kSlotMask) - 1;
    try {
      free_.push_back(slot);
    } catch (...) {
      // The slot is lost for reuse; the id is gone all the same.
    }
    return object;
  }

 private:
  static constexpr int kTagShift = 30;
  static constexpr int kGenerationShift = 16;
  static constexpr UINT kSlotMask = 0xFFFF;
  static constexpr UINT kGenerationMask = 0x3FFF;
  static constexpr std::size_t kMaxSlots = 0xFFFF;  // slot + 1 fits 16 bits
  static constexpr std::size_t kMinFreeSlots = 1024;

  struct Slot {
    std::uint16_t generation = 1;  // never 0, so that no id is 0
    std::shared_ptr<T> object;     // null while free
  };

  static std::uint16_t next_generation(std::uint16_t g) {
    UINT next = (g + 1u) & kGenerationMask;
    return static_cast<std::uint16_t>(next == 0 ? 1 : next);
  }

  Slot* live_slot(UINT id) REQUIRES(mu_) {
    if ((id >> kTagShift) != tag_) return nullptr;
    UINT slot_plus_one = id & kSlotMask;
    if (slot_plus_one == 0 || slot_plus_one > slots_.size()) return nullptr;
    Slot& s = slots_[slot_plus_one - 1];
    if (s.object == nullptr) return nullptr;
    if (((id >> kGenerationShift) & kGenerationMask) != s.generation) return nullptr;
    return &s;
  }

  const UINT tag_;
  commdir_sync::mutex mu_;
  std::vector<Slot> slots_ GUARDED_BY(mu_);
  std::deque<UINT> free_ GUARDED_BY(mu_);  // freed slots, oldest first
};

}  // namespace commdir_posix

#endif  // COMMDIR_PLATFORM_POSIX_POSIX_HANDLE_TABLE_H_
