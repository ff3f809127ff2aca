#include "service/comm_dir_service_ipc.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_reply_delivery.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {

// Only to an endpoint of the user who asked (the kernel's uid of the
// request) or of root: a name in a shared folder may have been bound by
// anyone (a reply server or callback endpoint of a process that has not
// started yet, or has ended), and a request may name any endpoint. A
// refused endpoint gets nothing, now or later: the caller keeps only
// replies that found a full queue.
RETCODE comm_dir_send(const char* client_name, const char* server_name, uid_t owner, INT /*client_id*/, INT kind,
                      char* message, INT length, std::size_t zero_from, ULONG timeout_ms) {
  UINT handle = 0;
  RETCODE rc = commdir_posix_ipc_create_client_of(client_name, server_name, owner, &handle);
  if (rc == EACCES) {
    SERVICE_TRACE("not sending to %s: it is neither an endpoint of uid %ld, who asked, nor of root", server_name,
                  static_cast<long>(owner));
    return rc;
  }
  if (rc == EPERM) {
    SERVICE_TRACE("not sending to %s of uid %ld: its socket file does not let the daemon's user write to it",
                  server_name, static_cast<long>(owner));
    return rc;
  }
  if (rc != 0) {
    SERVICE_TRACE("cannot reach %s of uid %ld: commdir_posix_ipc_create_client_of %#lx", server_name,
                  static_cast<long>(owner), trace_code(rc));
    return rc;
  }
  rc = commdir_posix_ipc_send_zero_tail(handle, kind, message, length, zero_from, timeout_ms);
  if (rc != 0 && rc != ETIMEDOUT) {
    SERVICE_TRACE("cannot send to %s: %#lx", server_name, trace_code(rc));
  }
  emwGENIpcDestroyClient(handle);
  return rc;
}

namespace {

// Envelopes that wait, all zero, for the next reply of this thread. A thread
// holds one reply at a time as a rule; more than two are not kept.
constexpr std::size_t kStoredEnvelopes = 2;

struct envelope_store {
  std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY> envelopes[kStoredEnvelopes];
  std::size_t count = 0;
};

thread_local envelope_store t_store;

std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY> zeroed_envelope() {
  if (t_store.count != 0) return std::move(t_store.envelopes[--t_store.count]);
  return std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY>(new (std::nothrow) COMM_DIR_IPC_MULTI_REPLY());
}

// Zeroes the first `written` bytes of `envelope`, which is zero behind
// them, and keeps it for the next reply; or frees it when enough are kept.
void store_envelope(std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY> envelope, std::size_t written) {
  if (t_store.count == kStoredEnvelopes) return;
  std::memset(static_cast<void*>(envelope.get()), 0, written);
  t_store.envelopes[t_store.count++] = std::move(envelope);
}

// What every reply writes: the envelope's head and result word, and the
// COMM_DIR_REPLY.
constexpr std::size_t kFixedPart = offsetof(COMM_DIR_IPC_MULTI_REPLY, payload) + sizeof(COMM_DIR_REPLY);
static_assert(std::is_trivially_default_constructible<COMM_DIR_REPLY>::value,
              "placing a COMM_DIR_REPLY in a zeroed envelope must leave it zero");

}  // namespace

comm_dir_reply::comm_dir_reply(const COMM_DIR_IPC_ENVELOPE_HEAD& route, uid_t requester)
    : envelope_(zeroed_envelope()), written_end_(kFixedPart), requester_(requester) {
  if (envelope_ == nullptr) return;
  // Word for word as the request carried them; the name up to its NUL,
  // which the decoder has found inside the field.
  envelope_->head.event_sem_id = route.event_sem_id;
  envelope_->head.type = route.type;
  std::memcpy(envelope_->head.reply_server_name, route.reply_server_name,
              ::strnlen(route.reply_server_name, sizeof route.reply_server_name - 1) + 1);
  envelope_->head.reply_buffer = route.reply_buffer;
  envelope_->head.reply_buffer_size = route.reply_buffer_size;
  envelope_->head.replied = 1;
  // Default-initialised: the envelope is zero already.
  body_ = new (envelope_->payload) COMM_DIR_REPLY;
}

comm_dir_reply::~comm_dir_reply() {
  if (envelope_ != nullptr) store_envelope(std::move(envelope_), written_end_);
}

char* comm_dir_reply::data(std::size_t length) {
  const std::size_t end =
      offsetof(COMM_DIR_IPC_MULTI_REPLY, payload) + COMM_DIR_REPLY_DATA_OFFSET + std::min(length, kDataCapacity);
  written_end_ = std::max(written_end_, end);
  return envelope_->payload + COMM_DIR_REPLY_DATA_OFFSET;
}

void comm_dir_reply::set_result(RETCODE code) {
  body_->result = code;
  envelope_->result = code;
}

bool comm_dir_reply::send(comm_dir_reply_delivery& delivery) {
  return delivery.deliver(envelope_->head.reply_server_name, requester_, reinterpret_cast<char*>(envelope_.get()),
                          COMM_DIR_IPC_REPLY_SIZE, written_end_);
}

}  // namespace velmarosta
