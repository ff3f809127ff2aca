// What the fuzz targets share: a datagram made from fuzz input, the message
// that the POSIX platform delivers for it to a dispatch function (the
// platform's receive checks being fuzzed on the way), the harness's own check,
// and the harness itself, in a private IPC folder.
#ifndef COMMDIR_FUZZ_FUZZ_DELIVERY_H_
#define COMMDIR_FUZZ_FUZZ_DELIVERY_H_

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/emw_gen_ipc.h"
#include "platform/posix/posix_internal.h"

// Any outcome but "parsed" or "refused" is a finding: abort() keeps the input.
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0      \
               : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), std::abort()))

namespace commdir_fuzz {

using commdir_posix::kMaxMessage;
using commdir_posix::kMinDatagram;

// The native word at `offset`, zero beyond the end (as in a zeroed envelope).
inline UINT word_at(const std::vector<char>& bytes, std::size_t offset) {
  UINT word = 0;
  if (offset < bytes.size()) std::memcpy(&word, &bytes[offset], std::min<std::size_t>(bytes.size() - offset, 4));
  return word;
}
inline void put_word(std::vector<char>& bytes, std::size_t offset, UINT word) { std::memcpy(&bytes[offset], &word, 4); }

// The datagram that the input carries after byte 0, which lets
// `harness.steer(byte, datagram)` set key fields, so that inputs get past the
// first checks.
template <typename Harness>
std::vector<char> steered(const std::uint8_t* data, std::size_t size, const Harness& harness) {
  if (size < 1) return {};
  std::vector<char> datagram(data + 1, data + size);
  if (datagram.size() >= kMinDatagram) harness.steer(data[0], datagram);
  return datagram;
}

// What came with a datagram, bits 0-2: no control data, our credentials,
// root's, a stranger's, a record too short for credentials, descriptors; bit
// 3: the kernel cut the control data short; bit 4: the datagram was longer
// than the receive buffer, and was cut to it.
enum control : std::uint8_t { kNone, kOurs, kRoot, kStranger, kShort, kDescriptors, kKinds };

// The message that the platform hands to a dispatch function for `datagram`,
// received with `control`, in a buffer of exactly its length word's size (the
// sanitizer sees any read beyond); empty when the platform refuses it. Checks
// the platform on the way: it takes only what came whole with our or root's
// credentials, zeros follow it up to its length word, and the receive buffer
// is all zero again once the datagram is forgotten.
inline std::vector<char> delivered(const std::vector<char>& datagram, std::uint8_t control = kOurs) {
  const int kind = (control & 7) % kKinds;
  // recvmsg with MSG_TRUNC: a datagram beyond the buffer is cut to it, its
  // whole length returned with the flag set.
  const std::size_t received = datagram.size() + ((control & 16) != 0 ? kMaxMessage : 0);
  const int flags = ((control & 8) != 0 ? MSG_CTRUNC : 0) | (received > kMaxMessage ? MSG_TRUNC : 0);
  alignas(cmsghdr) char record_bytes[CMSG_SPACE(sizeof(ucred))] = {};  // a record fits, as the kernel writes it
  auto* record = reinterpret_cast<cmsghdr*>(record_bytes);
  *record = cmsghdr{kind == kShort ? CMSG_LEN(sizeof(int)) : CMSG_LEN(sizeof(ucred)), SOL_SOCKET,
                    kind == kDescriptors ? SCM_RIGHTS : SCM_CREDENTIALS};
  const ucred credentials{4242, kind == kRoot ? 0 : geteuid() + (kind == kStranger ? 1 : 0), 0};
  std::memcpy(CMSG_DATA(record), &credentials, sizeof credentials);
  const msghdr header{
      nullptr, 0, nullptr, 0, kind == kNone ? nullptr : record_bytes, kind == kNone ? 0 : sizeof record_bytes, flags};
  std::vector<char> buffer(kMaxMessage, 0);
  const std::size_t written = std::min(received, kMaxMessage), given = std::min(datagram.size(), written);
  std::copy_n(datagram.begin(), given, buffer.begin());
  std::fill(buffer.begin() + given, buffer.begin() + written, 0x33);  // the rest of a datagram cut to the buffer
  std::size_t length = 0;
  const ucred* sender = nullptr;
  const char* refusal =
      commdir_posix::AcceptDatagram(header, received, {geteuid(), geteuid(), false}, buffer.data(), &length, &sender);
  std::vector<char> message(buffer.begin(), buffer.begin() + (refusal == nullptr ? length : 0));
  commdir_posix::ForgetDatagram(buffer.data(), received);
  const auto zero = [](char byte) { return byte == 0; };
  FUZZ_CHECK(std::all_of(buffer.begin(), buffer.end(), zero) && (refusal == nullptr || refusal[0] != '\0'));
  if (refusal != nullptr) return {};
  FUZZ_CHECK((kind == kOurs || kind == kRoot) && (control & 8) == 0 && sender != nullptr);
  FUZZ_CHECK(received >= kMinDatagram && received <= length && length <= kMaxMessage);
  FUZZ_CHECK(std::equal(datagram.begin(), datagram.end(), message.begin()) &&
             std::all_of(message.begin() + received, message.end(), zero));
  return message;
}

// The target's harness, made at the first input with the endpoints of this
// process in a folder of its own; it lives as long as the process.
template <typename Harness>
Harness& the_harness() {
  static Harness* harness = [] {
    static char path[] = "/tmp/commdir-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(path) != nullptr && setenv("COMM_DIR_IPC_DIR", path, 1) == 0);
    FUZZ_CHECK(setenv("COMM_DIR_TRACE", "off", 1) == 0);
    std::atexit([] { std::filesystem::remove_all(path); });
    return new Harness;
  }();
  return *harness;
}

template <typename Done>
bool wait_until(Done done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

}  // namespace commdir_fuzz

#endif  // COMMDIR_FUZZ_FUZZ_DELIVERY_H_
