#include "service/comm_dir_reply_delivery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {

comm_dir_reply_delivery::comm_dir_reply_delivery(int reply_wait_ms) : reply_wait_(reply_wait_ms) {}

comm_dir_reply_delivery::~comm_dir_reply_delivery() { stop(); }

bool comm_dir_reply_delivery::start() {
  send_buffer_.reset(new (std::nothrow) char[COMM_DIR_IPC_REPLY_SIZE]());
  if (send_buffer_ == nullptr) return false;
  try {
    thread_ = std::thread(&comm_dir_reply_delivery::run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void comm_dir_reply_delivery::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t dropped = 0;
  for (const auto& server : kept_) dropped += server.second.size();
  if (dropped != 0) SERVICE_TRACE("stopping: %zu kept replies dropped", dropped);
  kept_.clear();
  kept_bytes_ = 0;
}

namespace {

// One reply to `server`, waiting at most `timeout_ms` for room.
RETCODE send_reply(const char* server, uid_t requester, char* message, std::size_t length, std::size_t zero_from,
                   int timeout_ms) {
  return comm_dir_send(COMM_DIR_SERVICE_REPLY_CLIENT, server, requester, COMM_DIR_IPC_ID_REPLY, GEN_IPC_KIND_REPLY,
                       message, static_cast<INT>(length), zero_from, static_cast<ULONG>(timeout_ms));
}

}  // namespace

bool comm_dir_reply_delivery::deliver(const char* server_name, uid_t requester, char* message, std::size_t length,
                                      std::size_t zero_from) {
  const std::string server(server_name);
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Behind replies that wait already, in order, and without waiting again.
    if (kept_.count(server) != 0) return keep(server, requester, message, length, zero_from);
  }
  const RETCODE rc = send_reply(server_name, requester, message, length, zero_from, kFirstWaitMs);
  if (rc != ETIMEDOUT) return rc == 0;
  std::lock_guard<std::mutex> lock(mu_);
  return keep(server, requester, message, length, zero_from);
}

// The trailing-zero scan runs here, under the lock, and so only for replies
// that are kept: a reply sent at once is scanned by the platform alone.
bool comm_dir_reply_delivery::keep(const std::string& server, uid_t requester, const char* message,
                                   std::size_t length, std::size_t zero_from) {
  const std::size_t travels = commdir_posix_ipc_datagram_length(message, std::min(length, zero_from));
  auto it = kept_.find(server);
  const std::size_t waiting = it == kept_.end() ? 0 : it->second.size();
  if (waiting >= kMaxKeptPerServer || kMaxKeptBytes - kept_bytes_ < travels) {
    SERVICE_TRACE("reply to %s dropped: its queue is full and %zu of its replies (%zu bytes in all) wait already",
                  server.c_str(), waiting, kept_bytes_);
    return false;
  }
  try {
    kept_reply reply{std::vector<char>(message, message + travels), length, requester,
                     std::chrono::steady_clock::now()};
    if (it == kept_.end()) {
      it = kept_.emplace(server, kept_queue()).first;
      SERVICE_TRACE("replies to %s wait: its queue is full", server.c_str());
    }
    it->second.push_back(std::move(reply));
  } catch (const std::bad_alloc&) {
    if (it != kept_.end() && it->second.empty()) kept_.erase(it);
    SERVICE_TRACE("reply to %s dropped: no memory to keep it", server.c_str());
    return false;
  }
  kept_bytes_ += travels;
  cv_.notify_one();
  return true;
}

void comm_dir_reply_delivery::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    // Each turn waits for room in the sends themselves (kRetryWaitMs each).
    cv_.wait(lock, [this] { return stopping_ || !kept_.empty(); });
    if (stopping_) return;
    lock.unlock();
    send_kept_replies();
    lock.lock();
  }
}

void comm_dir_reply_delivery::send_kept_replies() {
  std::vector<std::string> servers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& server : kept_) servers.push_back(server.first);
  }
  for (const std::string& server : servers) send_kept_replies_of(server);
}

void comm_dir_reply_delivery::send_kept_replies_of(const std::string& server) {
  for (;;) {
    // The first reply stays in its queue while it is tried, so that new
    // replies to this server keep queueing behind it instead of waiting to
    // be sent themselves. Only this thread takes replies off a queue, and a
    // deque's push_back leaves its elements where they are.
    const kept_reply* first = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = kept_.find(server);
      if (stopping_ || it == kept_.end()) return;
      first = &it->second.front();
    }
    bool done = true;  // sent, dropped, or failed for good: off the queue
    if (std::chrono::steady_clock::now() - first->since > reply_wait_) {
      SERVICE_TRACE("a reply waited longer than %ld ms for %s to read its queue; dropped",
                    static_cast<long>(reply_wait_.count()), server.c_str());
    } else {
      // Failures other than a full queue are traced by the sender; the
      // next reply tries on its own.
      done = send_kept(server, *first) != ETIMEDOUT;
    }
    if (!done) return;  // still full: first in line, next turn
    std::lock_guard<std::mutex> lock(mu_);
    auto it = kept_.find(server);
    kept_bytes_ -= it->second.front().bytes.size();
    it->second.pop_front();
    if (it->second.empty()) kept_.erase(it);
  }
}

int comm_dir_reply_delivery::send_kept(const std::string& server, const kept_reply& reply) {
  std::memcpy(send_buffer_.get(), reply.bytes.data(), reply.bytes.size());
  const RETCODE rc =
      send_reply(server.c_str(), reply.requester, send_buffer_.get(), reply.length, reply.bytes.size(), kRetryWaitMs);
  std::memset(send_buffer_.get(), 0, reply.bytes.size());
  return rc;
}

}  // namespace velmarosta
