// What the two halves of the POSIX platform share: the platform's own trace
// lines and the sizing of the threads it starts.
//
// The platform's trace lines (dropped datagrams, refused senders, folders
// that fail their checks) go through emwGENTrcPrintf like the library's, under
// a module number of their own so that they are told apart.
#ifndef COMMDIR_PLATFORM_POSIX_POSIX_INTERNAL_H_
#define COMMDIR_PLATFORM_POSIX_POSIX_INTERNAL_H_

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

#include "commdir/comm_dir_types.h"
#include "platform/emw_gen_trc.h"

namespace commdir_posix {

constexpr UINT kPlatformTraceModule = 0x0E31;
constexpr UINT kPlatformTraceCategory = 1;
// Flag 1: the platform refused or dropped what a peer sent or a caller asked.
constexpr INT kPlatformTraceRefusal = 1;

// Every datagram carries at least this much, so that the header words travel.
constexpr std::size_t kMinDatagram = 128;
// The largest message: the library's largest is 49,284 bytes; the rest is
// room for peers with messages of their own.
constexpr std::size_t kMaxMessage = 65536;

// Whose datagrams a server takes. A server trusts its own effective uid,
// root, and the owner of its folder (who could replace every endpoint in it
// anyway, and who runs the directory service when applications of other
// users share its folder). An open server takes every uid and leaves the
// choice to its dispatch function.
struct SenderRule {
  uid_t euid;
  uid_t folder_owner;
  bool any_uid;
};

// Checks one datagram that recvmsg (with MSG_TRUNC) put into `buffer`, which
// has room for kMaxMessage bytes; `received` is what recvmsg returned. In the
// order that costs a stranger least: what came with it, credentials, then
// sizes. Returns null when it is accepted: the zero bytes that its sender left
// out are then restored, so that `buffer` holds *length bytes, the message's
// length word. Otherwise returns why it is refused. *sender is set to the
// credentials that came with it, or null. Its own function so that it can be
// fed any datagram without a socket.
const char* AcceptDatagram(const msghdr& message, std::size_t received, const SenderRule& rule, char* buffer,
                           std::size_t* length, const ucred** sender);

// The stack to give a thread asked for with `requested` bytes: at least that,
// at least 256 KiB (a dispatch function may keep a whole message on its
// stack), whole pages, and four times as much under a sanitizer (which widens
// every frame).
std::size_t ThreadStackSize(ULONG requested);

}  // namespace commdir_posix

#define POSIX_PLATFORM_TRACE(...)                                                   \
  emwGENTrcPrintf(::commdir_posix::kPlatformTraceModule,                            \
                  ::commdir_posix::kPlatformTraceCategory,                          \
                  ::commdir_posix::kPlatformTraceRefusal, __VA_ARGS__)

#endif  // COMMDIR_PLATFORM_POSIX_POSIX_INTERNAL_H_
