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

#include <cerrno>
#include <cstddef>
#include <string>

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
// root, and the user of the directory service that the process was told of
// (COMM_DIR_SERVICE_USER; else the euid again). Not the folder's owner as
// such: that is only whoever made the folder. An open server takes every
// uid and leaves the choice to its dispatch function.
struct SenderRule {
  uid_t euid;
  uid_t service;
  bool any_uid;
};

// Checks one datagram that recvmsg (with MSG_TRUNC) put into `buffer`, which
// has room for kMaxMessage bytes and was all zero before recvmsg wrote into
// it; `received` is what recvmsg returned. In the order that costs a stranger
// least: what came with it, credentials, then sizes. Returns null when it is
// accepted: `buffer` then holds *length bytes, the message's length word, the
// zero bytes that its sender left out being the buffer's zeros. Otherwise
// returns why it is refused. *sender is set to the credentials that came with
// it, or null. Its own function so that it can be fed any datagram without a
// socket.
const char* AcceptDatagram(const msghdr& message, std::size_t received, const SenderRule& rule, char* buffer,
                           std::size_t* length, const ucred** sender);

// Zeroes what recvmsg wrote of a datagram of `received` bytes into `buffer`,
// once it has been dispatched or refused. The buffer is reused for every
// datagram, and restoring 48 KiB of zeros per message would cost more than
// the datagram itself; zeroing what came costs as much as the datagram, keeps
// the buffer ready for the next one and leaves no message's bytes (a bind
// password) behind until a later one overwrites them. This holds only while
// no one else writes into the buffer: a dispatch function reads the message
// and copies what it keeps.
void ForgetDatagram(char* buffer, std::size_t received);

// True for a character that an endpoint name ("utcp:NAME") may hold in
// NAME: A-Z a-z 0-9 _ . - (posix_trust.cc, with the rest of the name rule).
bool EndpointNameChar(char c);

// The trace file at `path`, opened for appending (posix_trace_file.cc); or
// -1 and why it is refused, in a few words.
int OpenTraceFile(const std::string& path, std::string* refused);

// --- a reply that will not come ----------------------------------------------
//
// A caller that sent a request and waits without limit for the event that its
// reply will post must not wait for good when the server that was to answer
// has ended. So the platform remembers, per thread, which client its last
// request went over, and for which event: the event this thread created last
// before sending it (the library creates the event, sends the request, then
// waits on that event). A wait without limit on exactly that event waits in
// slices of kReplyCheckIntervalMs and, after each empty slice, asks the client's
// socket whether the server instance it is connected to still exists (see
// ServerOfClientEnded). When it has ended the wait returns kServerEnded.
//
// Binding the watch to the event keeps every other wait as it was: a thread
// that sent a request and later waits on some other event, or waits with a
// time-out, is never cut short. The record costs a thread-local write in
// emwOSWCreateEventSem and in emwGENIpcCallClient; the wait on that event
// takes it (clears it) when it begins.

// How long a watched wait waits before it asks again: a dead server is
// noticed within about this much, and a live one is asked this often.
constexpr int kReplyCheckIntervalMs = 250;
// What a wait returns when the server that was to post it has ended.
constexpr RETCODE kServerEnded = ECONNRESET;

// The current thread created the event `event_id`.
void NoteEventCreated(UINT event_id);
// The current thread handed a request to the client `client_handle`.
void NoteRequestSent(UINT client_handle);
// The client whose server a wait on `event_id` by this thread awaits, or 0.
// A record that names this event is cleared: the event is waited on once.
UINT TakeReplyWatch(UINT event_id);

// --- a reply taken by the thread that awaits it -------------------------------
//
// The server's receiving thread taking a reply and posting the caller's
// event costs one thread switch more than a plain round trip: the reply
// wakes that thread, which wakes the caller. So a caller that waits without
// limit for its reply, when no one else is receiving on the server where its
// replies come (learned from where the replies to such waits were posted),
// receives on that server itself and dispatches what comes, until its own
// event is posted. The receiving thread then keeps out of the way for a
// moment after each such caller (kReceiverParkMs), and takes over whenever a
// caller waits while another receives. Dispatches never overlap on one
// server, and every message is dispatched once, by whoever received it.

// How long the receiving thread keeps out of the way after a caller came:
// a message that no one awaits waits at most this long for its dispatch.
constexpr int kReceiverParkMs = 5;

// What the server sees of a caller awaiting its reply (its event).
class ReplyAwaiter {
 public:
  // True once the event is posted or deleted.
  virtual bool arrived() = 0;
  // From now on, the first post or deletion of the event calls
  // hook(target), once, under the event's lock; with null, no longer.
  // Returns true when a hook was set that has not been called.
  virtual bool on_post(void (*hook)(void* target), void* target) = 0;
  // Waits the way every caller did before: on the event, in slices,
  // asking after the server (see "a reply that will not come").
  virtual RETCODE wait_blocked() = 0;

 protected:
  ~ReplyAwaiter() = default;
};

// Waits for the reply that `awaiter` stands for, sent over the client
// `client_handle`: 0 once it arrived, kServerEnded, or what wait_blocked
// returns.
RETCODE AwaitReply(ReplyAwaiter& awaiter, UINT client_handle);

// An event that a caller awaited as its reply was posted: when the posting
// thread is dispatching on a server, replies come to that server.
void NoteAwaitedReplyPosted();

// True when the server instance that the client `client_handle` is connected
// to has ended (its socket is closed), with its socket path in *path. False
// while it exists, also while it is stopping and still dispatches what it
// had queued, and when the handle names no client any more (nothing to ask).
// Asks with a datagram of zero bytes, which servers ignore.
bool ServerOfClientEnded(UINT client_handle, std::string* path);

// The trace line of a wait that gives up because the server at `path`, from
// which its reply was awaited, has ended.
void TraceAwaitedServerEnded(const std::string& path);

// The stack to give a thread asked for with `requested` bytes: at least that,
// at least 256 KiB (a dispatch function may keep a whole message on its
// stack), whole pages, and four times as much under a sanitizer (which widens
// every frame).
std::size_t ThreadStackSize(ULONG requested);

}  // namespace commdir_posix

#define POSIX_PLATFORM_TRACE(...)                                                                 \
  emwGENTrcPrintf(::commdir_posix::kPlatformTraceModule, ::commdir_posix::kPlatformTraceCategory, \
                  ::commdir_posix::kPlatformTraceRefusal, __VA_ARGS__)

#endif  // COMMDIR_PLATFORM_POSIX_POSIX_INTERNAL_H_
