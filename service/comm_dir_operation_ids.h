// Operation ids: never 0, never issued twice within a run, and not guessable
// from the ids a client has seen.
//
// An id is a counter run through a keyed permutation of the 32-bit words (a
// four-round Feistel network with round keys from getrandom). A permutation
// never maps two counters to one word, so ids repeat only after 2^32 of them,
// and the daemon keeps no record of the ids it has issued. Without the keys,
// one id says nothing about the next.
//
// Not thread-safe: the operation table calls next() under its own mutex.
#ifndef COMMDIR_SERVICE_COMM_DIR_OPERATION_IDS_H_
#define COMMDIR_SERVICE_COMM_DIR_OPERATION_IDS_H_

#include <cstdint>

#include "commdir/comm_dir_types.h"

namespace velmarosta {

class comm_dir_operation_ids {
 public:
  static constexpr int kRounds = 4;

  explicit comm_dir_operation_ids(const std::uint32_t (&keys)[kRounds]) {
    for (int i = 0; i < kRounds; ++i) keys_[i] = keys[i];
  }

  // The next id; skips the one counter value that maps to 0.
  UINT next() {
    UINT id;
    do {
      id = permute(counter_++);
    } while (id == 0);
    return id;
  }

  // The keyed permutation itself (exposed for tests).
  UINT permute(UINT word) const {
    std::uint32_t left = word >> 16;
    std::uint32_t right = word & 0xFFFFu;
    for (int i = 0; i < kRounds; ++i) {
      std::uint32_t mixed = left ^ round(right, keys_[i]);
      left = right;
      right = mixed;
    }
    return (left << 16) | right;
  }

 private:
  // Any function serves as a round; this one spreads every input bit.
  static std::uint32_t round(std::uint32_t half, std::uint32_t key) {
    std::uint32_t x = (half ^ key) * 0x9E3779B1u;
    x ^= x >> 15;
    x *= 0x85EBCA77u;
    x ^= x >> 13;
    return x & 0xFFFFu;
  }

  std::uint32_t keys_[kRounds];
  UINT counter_ = 0;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_OPERATION_IDS_H_
