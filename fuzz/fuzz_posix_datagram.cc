// The POSIX platform's checks of a received datagram, fed any datagram and
// any control data that the kernel can hand to recvmsg.
//
// Input: byte 0 chooses what came with the datagram (bits 0-2: no control
// data, our credentials, root's, a stranger's, a record too short for
// credentials, descriptors; bit 3: the kernel cut the control data short;
// bit 4: the datagram was longer than the buffer, and was cut to it), the
// rest is the datagram. Accepted: the buffer holds exactly the datagram and
// zeros up to its length word. Either way the buffer is all zero again once
// the datagram is forgotten.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "fuzz/fuzz_delivery.h"
#include "platform/posix/posix_internal.h"

namespace {

enum class control_kind { kNone, kOurs, kRoot, kStranger, kShort, kDescriptors, kCount };

struct control_data {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(ucred))] = {};
};

// The msghdr that recvmsg would have filled, with `kind` in `control`; a
// record always fits the buffer, as the kernel writes it.
msghdr received_header(control_kind kind, bool cut_short, control_data& control) {
  msghdr message{};
  message.msg_flags = cut_short ? MSG_CTRUNC : 0;
  if (kind == control_kind::kNone) return message;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  cmsghdr* record = CMSG_FIRSTHDR(&message);
  record->cmsg_level = SOL_SOCKET;
  record->cmsg_type = kind == control_kind::kDescriptors ? SCM_RIGHTS : SCM_CREDENTIALS;
  record->cmsg_len = kind == control_kind::kShort ? CMSG_LEN(sizeof(int)) : CMSG_LEN(sizeof(ucred));
  const uid_t uid = kind == control_kind::kRoot ? 0 : geteuid() + (kind == control_kind::kStranger ? 1 : 0);
  const ucred credentials{4242, uid, 0};
  std::memcpy(CMSG_DATA(record), &credentials, sizeof credentials);
  return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using commdir_posix::kMaxMessage;
  if (size == 0) return 0;
  const auto kind = static_cast<control_kind>((data[0] & 7) % static_cast<int>(control_kind::kCount));
  control_data control;
  msghdr message = received_header(kind, (data[0] & 8) != 0, control);
  // recvmsg with MSG_TRUNC: a datagram beyond the buffer is cut to it, its
  // whole length returned with the flag set.
  const std::size_t received = size - 1 + ((data[0] & 16) != 0 ? kMaxMessage : 0);
  if (received > kMaxMessage) message.msg_flags |= MSG_TRUNC;
  static const std::unique_ptr<char[]> zeros(new char[kMaxMessage]());
  std::unique_ptr<char[]> buffer(new char[kMaxMessage]());
  const std::size_t written = std::min(received, kMaxMessage), given = std::min(size - 1, written);
  std::memcpy(buffer.get(), data + 1, given);
  std::memset(buffer.get() + given, 0x33, written - given);  // the rest of a datagram cut to the buffer
  std::size_t length = 0;
  const ucred* sender = nullptr;
  const char* refusal =
      commdir_posix::AcceptDatagram(message, received, {geteuid(), geteuid(), false}, buffer.get(), &length, &sender);
  const bool accepted_whole = refusal == nullptr && std::memcmp(buffer.get(), data + 1, received) == 0;
  bool zero_behind = true;
  for (std::size_t i = received; refusal == nullptr && i < length; ++i) zero_behind = zero_behind && buffer[i] == 0;
  commdir_posix::ForgetDatagram(buffer.get(), received);
  FUZZ_CHECK(std::memcmp(buffer.get(), zeros.get(), kMaxMessage) == 0);
  if (refusal != nullptr) {
    FUZZ_CHECK(refusal[0] != '\0');
    return 0;
  }
  FUZZ_CHECK((kind == control_kind::kOurs || kind == control_kind::kRoot) && (data[0] & 8) == 0 && sender != nullptr);
  FUZZ_CHECK(received >= commdir_posix::kMinDatagram && received <= length && length <= kMaxMessage);
  FUZZ_CHECK(accepted_whole && zero_behind);
  return 0;
}
