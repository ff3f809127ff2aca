// The hand-off that lets a caller receive its own reply: a caller that
// waits without limit for a reply takes the receiving role of the server
// where replies come when no one holds it, and dispatches what comes until
// its own event is posted; the server's thread keeps out of the way
// meanwhile and takes the role back when callers need it
// (posix_internal.h, "a reply taken by the thread that awaits it").
//
// The switch: COMM_DIR_CALLER_RECEIVES=off turns the hand-off off for the
// whole process (read once, at its first wait for a reply). Every caller
// then waits on its event while the server's thread receives, as before the
// hand-off existed: the same replies, one thread switch more per exchange.
// It is there to bisect: when a fault goes away with the hand-off off, the
// hand-off is where to look. Any other value, or none, leaves it on.
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/commdir_thread_safety.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_ipc_parts.h"
#include "platform/posix/posix_server.h"

namespace commdir_posix {
namespace {

// The server where the replies that callers await come: the last one on
// which such a reply was dispatched. Thread-safe.
class ReplyServerNote {
 public:
  void set(const Server* server) {
    commdir_sync::lock_guard lock(mu_);
    if (server == noted_) return;  // the common case: the same server again
    noted_ = server;
    server_ = server->shared();
  }
  std::shared_ptr<Server> get() {
    commdir_sync::lock_guard lock(mu_);
    return server_.lock();
  }

 private:
  commdir_sync::mutex mu_;
  const Server* noted_ GUARDED_BY(mu_) = nullptr;  // compared, never followed
  std::weak_ptr<Server> server_ GUARDED_BY(mu_);
};

ReplyServerNote& ReplyServer() {
  static auto* note = new ReplyServerNote;  // never destroyed, like every table here
  return *note;
}

bool CallerReceives() {
  static const bool on = [] {
    const char* setting = std::getenv("COMM_DIR_CALLER_RECEIVES");
    return setting == nullptr || std::strcmp(setting, "off") != 0;
  }();
  return on;
}

}  // namespace

// Waits for the reply that `awaiter` stands for: receives on this server
// when no one else does, else as before. See AwaitReply.
RETCODE Server::await(ReplyAwaiter& awaiter, UINT client) {
  commdir_sync::unique_lock lock(role_mu_);
  note_caller();
  if (receiving_ || stopping_.load(std::memory_order_acquire)) {
    // Counted until its event is posted (the hook) or it stops waiting.
    awaited_.fetch_add(1, std::memory_order_relaxed);
    awaiter.on_post(&Server::answered, this);
    lock.unlock();
    RETCODE rc = awaiter.wait_blocked();
    if (awaiter.on_post(nullptr, nullptr)) answered(this);
    return rc;
  }
  receiving_ = true;
  lock.unlock();
  RETCODE rc = receive_until_arrived(awaiter, client);
  note_caller();
  lock.lock();
  // Callers that wait meanwhile need the thread; so does a stop. The role
  // passes to the thread at once, so that this caller, calling again
  // before the thread runs, does not take it back from under it.
  if (awaited_.load(std::memory_order_relaxed) > 0 || stopping_.load(std::memory_order_acquire)) {
    handed_to_thread_ = true;
    role_cv_.notify_all();
  } else {
    receiving_ = false;
  }
  lock.unlock();
  return rc == kGaveUp ? awaiter.wait_blocked() : rc;
}

// The receiving thread receives when no caller does and either a caller
// waits for it (its reply not yet posted), no caller came lately, or the
// server stops (the queue is drained).
void Server::take_role_for_thread() {
  commdir_sync::unique_lock lock(role_mu_);
  for (;;) {
    if (handed_to_thread_) {
      handed_to_thread_ = false;
      break;
    }
    if (!receiving_) {
      if (stopping_.load(std::memory_order_acquire) || awaited_.load(std::memory_order_relaxed) > 0) break;
      const auto park_end = caller_seen() + std::chrono::milliseconds(kReceiverParkMs);
      if (std::chrono::steady_clock::now() >= park_end) break;
      role_cv_.wait_until(lock, park_end);
    } else {
      // A caller receives; it notifies when it hands the role over. It
      // gives it back without a word when no caller it knows of waits, but
      // callers that began to wait before this server was known as the
      // one where replies come were not counted: so the thread looks
      // again after a slice, and takes the role when no one holds it.
      role_cv_.wait_for(lock, std::chrono::milliseconds(kReplyCheckIntervalMs));
    }
  }
  receiving_ = true;
}

// A reply that a caller waited for while another received has come: the
// caller is about to go on, and may call again.
void Server::answered(void* target) {
  auto* server = static_cast<Server*>(target);
  server->note_caller();
  server->awaited_.fetch_sub(1, std::memory_order_relaxed);
}

// A caller came, went, or had its reply: the thread keeps out of the way
// for kReceiverParkMs from now, however long the exchange itself took.
void Server::note_caller() {
  const auto now = std::chrono::steady_clock::now();
  commdir_sync::lock_guard lock(seen_mu_);
  caller_seen_ = now;
}

std::chrono::steady_clock::time_point Server::caller_seen() {
  commdir_sync::lock_guard lock(seen_mu_);
  return caller_seen_;
}

// A caller's receiving: until its event is posted, in slices (the receive
// time-out) after each of which the server its request went to is asked
// whether it still exists. Its reply, if it sent one, was queued here
// before it ended; so the caller gives up only after one more empty slice
// once it saw the server ended, when it has taken all that was queued.
RETCODE Server::receive_until_arrived(ReplyAwaiter& awaiter, UINT client) {
  awaiter.on_post(&Server::kick, this);
  RETCODE rc = 0;
  std::string peer;
  bool ended_before = false;
  while (!awaiter.arrived()) {
    const Received received = receive_one();
    if (received == Received::kEnded || stopping_.load(std::memory_order_acquire)) {
      rc = kGaveUp;
      break;
    }
    if (received == Received::kNone) {
      const bool ended = ServerOfClientEnded(client, &peer);
      if (!ended || !ended_before || awaiter.arrived()) {
        ended_before = ended;
        continue;
      }
      TraceAwaitedServerEnded(peer);
      rc = kServerEnded;
      break;
    }
  }
  awaiter.on_post(nullptr, nullptr);
  return rc;
}

// Wakes a caller that receives on this server for a reply that was posted
// elsewhere: a datagram of zero bytes, which servers ignore. Unless the
// poster is dispatching here, and so is that caller.
void Server::kick(void* target) {
  auto* server = static_cast<Server*>(target);
  if (t_dispatching_on == server) return;
  ::send(server->kick_fd_, nullptr, 0, MSG_DONTWAIT | MSG_NOSIGNAL);
}

RETCODE AwaitReply(ReplyAwaiter& awaiter, UINT client_handle) {
  if (!CallerReceives()) return awaiter.wait_blocked();
  std::shared_ptr<Server> server = ReplyServer().get();
  if (server == nullptr) return awaiter.wait_blocked();
  return server->await(awaiter, client_handle);
}

void NoteAwaitedReplyPosted() {
  const auto* server = static_cast<const Server*>(t_dispatching_on);
  if (server != nullptr && CallerReceives()) ReplyServer().set(server);
}

}  // namespace commdir_posix
