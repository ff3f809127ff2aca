// Maps the 32-bit words that travel in messages to live objects of this
// process: a reply record named by `reply_buffer`, a callback object named by
// the object word of a callback request, the copies handed to a dispatch task.
// A peer can send any word, so a word is only ever used after the table has
// confirmed that it names a live entry; a stale or forged word finds nothing.
//
// On a host whose addresses fit in 32 bits the word is the object's address,
// as the wire contract says. On a wider host it is a handle drawn from a
// counter that skips 0 and every word still in use, so that it may wrap
// without ever naming two live objects.
//
// Thread-safe: every member takes the table's mutex. with() runs its function
// under that mutex, so an entry cannot be removed (and the object freed by its
// owner) while the function uses it; keep such functions short.
#ifndef COMMDIR_IPC_COMM_DIR_WORD_TABLE_H_
#define COMMDIR_IPC_COMM_DIR_WORD_TABLE_H_

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "commdir/comm_dir_types.h"

namespace velmarosta {

constexpr bool kWordIsAddress = sizeof(void*) <= sizeof(UINT);

template <typename T>
class comm_dir_word_table {
 public:
  // `first_handle` is where the handle counter starts on a wide host.
  explicit comm_dir_word_table(UINT first_handle = 1) : next_(first_handle) {}
  comm_dir_word_table(const comm_dir_word_table&) = delete;
  comm_dir_word_table& operator=(const comm_dir_word_table&) = delete;

  // Registers `object` and returns its word (never 0).
  UINT add(T* object) {
    std::lock_guard<std::mutex> lock(mu_);
    UINT word = kWordIsAddress ? address_word(object) : unused_handle();
    map_[word] = object;
    return word;
  }

  // Runs fn(T&) under the table's mutex when `word` names a live entry.
  // Returns false, without calling fn, when it does not.
  template <typename F>
  bool with(UINT word, F&& fn) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(word);
    if (it == map_.end()) return false;
    fn(*it->second);
    return true;
  }

  // Removes the entry; returns its object, or null when `word` named none.
  T* remove(UINT word) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(word);
    if (it == map_.end()) return nullptr;
    T* object = it->second;
    map_.erase(it);
    return object;
  }

  std::size_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return map_.size();
  }

  // Moves the handle counter of a wide host to `next`, so that a test can
  // make it wrap; the words in use stay in use and are still skipped.
  void restart_handles_at(UINT next) {
    std::lock_guard<std::mutex> lock(mu_);
    next_ = next;
  }

 private:
  static UINT address_word(T* object) {
    return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(object));
  }

  // Caller holds mu_. The map never holds 2^32 - 1 entries, so this ends.
  UINT unused_handle() {
    while (next_ == 0 || map_.count(next_) != 0) ++next_;
    return next_++;
  }

  std::mutex mu_;
  std::unordered_map<UINT, T*> map_;  // guarded by mu_
  UINT next_;                         // guarded by mu_; wide hosts only
};

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_WORD_TABLE_H_
