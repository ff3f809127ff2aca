// What the fuzz targets share: turning fuzz input into a message as the
// platform delivers one to a dispatch function, and the harness's own check.
#ifndef COMMDIR_FUZZ_FUZZ_DELIVERY_H_
#define COMMDIR_FUZZ_FUZZ_DELIVERY_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "platform/emw_gen_ipc.h"

namespace commdir_fuzz {

// The platform's limits: every message carries its 128-byte head, none is
// longer than 64 KiB.
constexpr std::size_t kMinMessage = 128;
constexpr std::size_t kMaxMessage = 65536;

// A harness check. The outcome of each input is "parsed" or "refused"; any
// other outcome is a finding, and abort() makes libFuzzer keep the input.
#define FUZZ_CHECK(condition)                                                 \
  do {                                                                        \
    if (!(condition)) {                                                       \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

// The native word at `offset`, with zero bytes beyond the end: what a
// receiver that copies a short message into a zeroed envelope reads there.
inline UINT word_at(const std::vector<char>& bytes, std::size_t offset) {
  UINT word = 0;
  if (offset < bytes.size()) {
    std::size_t available = bytes.size() - offset;
    std::memcpy(&word, bytes.data() + offset, available < sizeof word ? available : sizeof word);
  }
  return word;
}

inline void put_word(std::vector<char>& bytes, std::size_t offset, UINT word) {
  std::memcpy(bytes.data() + offset, &word, sizeof word);
}

// `sent` as the platform hands it to a dispatch function: senders leave the
// trailing zero bytes out and the receiver puts them back up to the length
// word (byte 4), in a buffer of exactly that size, so that the sanitizer sees
// any read beyond the message. Empty when the platform refuses the datagram
// (shorter than the head, longer than its length word or than any message).
inline std::vector<char> delivered(const std::vector<char>& sent) {
  const std::size_t size = sent.size();
  if (size < kMinMessage || size > kMaxMessage) return {};
  UINT length;
  std::memcpy(&length, sent.data() + GEN_IPC_HDR_LENGTH_OFFSET, sizeof length);
  if (length > kMaxMessage || size > length) return {};
  std::vector<char> message(length, 0);
  std::memcpy(message.data(), sent.data(), size);
  return message;
}

// The message that one fuzz input makes, as delivered: byte 0 lets
// `steer(byte, datagram)` set the key fields of the rest, so that inputs get
// past the first checks. Empty when the input is empty or the platform
// refuses the datagram.
template <typename Steer>
std::vector<char> steered_delivery(const std::uint8_t* data, std::size_t size, Steer steer) {
  if (size < 1) return {};
  std::vector<char> sent(data + 1, data + size);
  steer(data[0], sent);
  return delivered(sent);
}

}  // namespace commdir_fuzz

#endif  // COMMDIR_FUZZ_FUZZ_DELIVERY_H_
