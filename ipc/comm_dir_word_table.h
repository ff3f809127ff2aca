// Maps the 32-bit words that travel in messages to live objects of this
// process: a reply record named by `reply_buffer`, a callback object named by
// the object word of a callback request, the copies handed to a dispatch task,
// a callback of the daemon waiting for its answer. A peer can send any word,
// so a word is only ever used after the table has confirmed that it names a
// live entry; a stale or forged word finds nothing.
//
// A word is a random 32-bit value from the kernel, never 0 and never the word
// of another live entry, on every host. It is not the object's address, even
// where an address would fit: a word names a call or an object to anyone who
// may send us a message, and another user of a shared daemon can send replies
// through it. An address or a counter is easy to guess (a few tries near a
// known heap, or the next number); a random word leaves a forger one chance in
// about four billion per live entry, and a miss is dropped and traced. The
// wire keeps the word's width and place.
//
// The kernel is asked for kBatch words at a time, under the table's mutex, so
// that a word costs one system call per kBatch entries.
//
// Thread-safe: every member takes the table's mutex. with() runs its function
// under that mutex, so an entry cannot be removed (and the object freed by its
// owner) while the function uses it; keep such functions short.
#ifndef COMMDIR_IPC_COMM_DIR_WORD_TABLE_H_
#define COMMDIR_IPC_COMM_DIR_WORD_TABLE_H_

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <unordered_map>

#include "commdir/comm_dir_types.h"
#include "platform/commdir_thread_safety.h"

namespace velmarosta {

// Fills `words` with `count` random words. Throws std::system_error when the
// kernel gives none.
using comm_dir_word_source = void (*)(UINT* words, std::size_t count);

// getrandom, or /dev/urandom on a kernel that lacks it (before 3.17).
inline void comm_dir_kernel_random_words(UINT* words, std::size_t count) {
  char* bytes = reinterpret_cast<char*>(words);
  std::size_t wanted = count * sizeof(UINT);
  while (wanted > 0) {
    ssize_t got = ::getrandom(bytes, wanted, 0);
    if (got < 0 && errno == ENOSYS) {
      const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      got = fd < 0 ? -1 : ::read(fd, bytes, wanted);
      if (fd >= 0) ::close(fd);
      if (got == 0) errno = EIO;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::system_error(errno, std::generic_category(), "random words");
    bytes += got;
    wanted -= static_cast<std::size_t>(got);
  }
}

template <typename T>
class comm_dir_word_table {
 public:
  // `source` is where the words come from; tests give one that repeats.
  explicit comm_dir_word_table(comm_dir_word_source source = comm_dir_kernel_random_words) : source_(source) {}
  comm_dir_word_table(const comm_dir_word_table&) = delete;
  comm_dir_word_table& operator=(const comm_dir_word_table&) = delete;

  // Registers `object` and returns its word (never 0). Throws when memory
  // or the kernel's random words run out; nothing is registered then.
  UINT add(T* object) {
    commdir_sync::lock_guard lock(mu_);
    UINT word = 0;
    do {
      word = next_word();
    } while (word == 0 || map_.count(word) != 0);
    map_[word] = object;
    return word;
  }

  // Runs fn(T&) under the table's mutex when `word` names a live entry.
  // Returns false, without calling fn, when it does not.
  template <typename F>
  bool with(UINT word, F&& fn) {
    commdir_sync::lock_guard lock(mu_);
    auto it = map_.find(word);
    if (it == map_.end()) return false;
    fn(*it->second);
    return true;
  }

  // Removes the entry; returns its object, or null when `word` named none.
  T* remove(UINT word) {
    commdir_sync::lock_guard lock(mu_);
    auto it = map_.find(word);
    if (it == map_.end()) return nullptr;
    T* object = it->second;
    map_.erase(it);
    return object;
  }

  // The mutex that fn of with() runs under, for the analysis of the lock
  // rules: a guarded member of T names it.
  commdir_sync::mutex& mutex() RETURN_CAPABILITY(mu_) { return mu_; }

  std::size_t size() {
    commdir_sync::lock_guard lock(mu_);
    return map_.size();
  }

 private:
  static constexpr std::size_t kBatch = 64;

  UINT next_word() REQUIRES(mu_) {
    if (used_ == kBatch) {
      source_(batch_, kBatch);
      used_ = 0;
    }
    return batch_[used_++];
  }

  const comm_dir_word_source source_;
  commdir_sync::mutex mu_;
  std::unordered_map<UINT, T*> map_ GUARDED_BY(mu_);
  UINT batch_[kBatch] GUARDED_BY(mu_) = {};  // words from used_ on are not handed out yet
  std::size_t used_ GUARDED_BY(mu_) = kBatch;
};

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_WORD_TABLE_H_
