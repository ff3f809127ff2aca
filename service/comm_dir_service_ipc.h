// The daemon's side of the envelope: sending a message over a client of its
// own, and building the reply form that answers one request.
#ifndef COMMDIR_SERVICE_COMM_DIR_SERVICE_IPC_H_
#define COMMDIR_SERVICE_COMM_DIR_SERVICE_IPC_H_

#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_envelope.h"

namespace velmarosta {

class comm_dir_reply_delivery;

// Name of the daemon's reply clients and of its callback request clients.
constexpr char COMM_DIR_SERVICE_REPLY_CLIENT[] = "COMM_DIR_SRV_RPL";
constexpr char COMM_DIR_SERVICE_CALLBACK_CLIENT[] = "COMM_DIR_SRV_CBC";
// The daemon's own reply server, which takes the answers to its callbacks.
constexpr char COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER[] = "utcp:COMM_DIR_SRV_CB";

// Sends `length` bytes of `message` with `kind` to `server_name` over a
// client of its own, then closes the client; waits at most `timeout_ms`
// for room in the server's queue. The bytes from `zero_from` on are zero
// (see commdir_posix_ipc_send_zero_tail). `owner` is the user on whose
// behalf the message goes: the uid that sent the request it answers or
// reports on. Returns 0, ETIMEDOUT (not traced) when the queue stayed full,
// or the platform's code of another failure (traced): the daemon never
// waits without limit for an application.
RETCODE comm_dir_send(const char* client_name, const char* server_name, uid_t owner, INT client_id, INT kind,
                      char* message, INT length, std::size_t zero_from, ULONG timeout_ms);

// The reply form to one request: zero-filled, the routing fields copied from
// the request, `replied` 1, and a COMM_DIR_REPLY at the payload. The value
// replies lengthen the reply data into the rest of the payload.
//
// The envelope (49,284 bytes) is taken from a small store of the calling
// thread's, where envelopes wait all zero, and is zeroed again on its way
// back as far as it was written: a reply rarely writes more than its first
// 2 KiB, and filling a fresh envelope and scanning it for its trailing
// zeros cost 1.5 to 2 us of a 22 us exchange. The same bound tells the
// platform where the zeros begin. Each daemon thread keeps at most two
// envelopes (96 KiB). Not thread-safe: one thread builds, sends and
// destroys it.
class comm_dir_reply {
 public:
  // Room for reply data from COMM_DIR_REPLY byte 20 to the payload's end.
  static constexpr std::size_t kDataCapacity = COMM_DIR_IPC_MAX_PAYLOAD - COMM_DIR_REPLY_DATA_OFFSET;

  // `requester`: the uid that sent the request, as the kernel told it.
  comm_dir_reply(const COMM_DIR_IPC_ENVELOPE_HEAD& route, uid_t requester);
  ~comm_dir_reply();
  comm_dir_reply(const comm_dir_reply&) = delete;
  comm_dir_reply& operator=(const comm_dir_reply&) = delete;
  bool ok() const { return envelope_ != nullptr; }  // false: no memory for it

  COMM_DIR_REPLY& body() { return *body_; }
  // Where `length` bytes of reply data go; at most kDataCapacity. Nothing
  // may be written into the data beyond them.
  char* data(std::size_t length);
  // Sets the result word of the COMM_DIR_REPLY, and of the envelope too.
  void set_result(RETCODE code);
  RETCODE result() const { return body_->result; }
  // Sends the reply to the reply server named in the request, through
  // `delivery`.
  bool send(comm_dir_reply_delivery& delivery);

 private:
  std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY> envelope_;
  COMM_DIR_REPLY* body_ = nullptr;  // inside envelope_'s payload
  std::size_t written_end_;         // bytes of *envelope_ that may be other than zero
  const uid_t requester_;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_SERVICE_IPC_H_
