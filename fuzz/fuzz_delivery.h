// What the fuzz targets share: a message made from fuzz input as the platform
// delivers one to a dispatch function, the harness's own check, and a private
// IPC folder for the targets that run the POSIX platform.
#ifndef COMMDIR_FUZZ_FUZZ_DELIVERY_H_
#define COMMDIR_FUZZ_FUZZ_DELIVERY_H_

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "platform/emw_gen_ipc.h"

// Any outcome but "parsed" or "refused" is a finding: abort() keeps the input.
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0                                                                     \
               : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), std::abort()))

namespace commdir_fuzz {

constexpr std::size_t kMinMessage = 128, kMaxMessage = 65536;  // every message holds its head; none is longer

// The native word at `offset`, zero beyond the end (as in a zeroed envelope).
inline UINT word_at(const std::vector<char>& bytes, std::size_t offset) {
  UINT word = 0;
  if (offset < bytes.size()) std::memcpy(&word, &bytes[offset], std::min<std::size_t>(bytes.size() - offset, 4));
  return word;
}
inline void put_word(std::vector<char>& bytes, std::size_t offset, UINT word) { std::memcpy(&bytes[offset], &word, 4); }

// The input as the platform hands it to a dispatch function: byte 0 lets
// `steer(byte, datagram)` set key fields of the rest, so that inputs get past
// the first checks; the receiver restores the trailing zeros a sender left
// out, up to the length word, in a buffer of exactly that size (the sanitizer
// sees any read beyond). Empty when the platform refuses the datagram.
template <typename Steer>
std::vector<char> steered_delivery(const std::uint8_t* data, std::size_t size, Steer steer,
                                   std::vector<char>* sent = nullptr) {
  if (size < 1) return {};
  std::vector<char> datagram(data + 1, data + size);
  if (datagram.size() >= kMinMessage) steer(data[0], datagram);
  if (sent != nullptr) *sent = datagram;
  const UINT length = word_at(datagram, GEN_IPC_HDR_LENGTH_OFFSET);
  if (datagram.size() < kMinMessage || length > kMaxMessage || datagram.size() > length) return {};
  datagram.resize(length, 0);
  return datagram;
}

// The endpoints of this process in a folder of its own.
inline void private_ipc_folder() {
  static char path[] = "/tmp/commdir-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(path) != nullptr && setenv("COMM_DIR_IPC_DIR", path, 1) == 0);
  FUZZ_CHECK(setenv("COMM_DIR_TRACE", "off", 1) == 0);
  std::atexit([] { std::filesystem::remove_all(path); });
}

template <typename Done>
bool wait_until(Done done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

}  // namespace commdir_fuzz

#endif  // COMMDIR_FUZZ_FUZZ_DELIVERY_H_
