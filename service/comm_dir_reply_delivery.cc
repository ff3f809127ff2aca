#include "service/comm_dir_reply_delivery.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_result_codes.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/commdir_wire_words.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

constexpr std::size_t kEnvelopeResult = offsetof(COMM_DIR_IPC_MULTI_REPLY, result);
constexpr std::size_t kReplyResult = offsetof(COMM_DIR_IPC_MULTI_REPLY, payload) + offsetof(COMM_DIR_REPLY, result);
static_assert(comm_dir_reply_delivery::kNoticeBytes == kReplyResult + sizeof(RETCODE),
              "a notice travels up to the result word of its COMM_DIR_REPLY");

// How many notices one user may have kept: above the replies that the
// daemon can owe one user at once. Each call of the library waits for its
// reply before its thread sends again, so a user's calls that wait are
// requests that the daemon took in and has not answered yet, or answered
// into a queue that was full. What it takes in from one user is bounded by
// the queues: the operations of one user (--max-operations-per-user) queue
// at most --operation-queue-limit requests each, the daemon's queue holds
// at most --queue-limit requests in all (those of every operation among
// them), and the workers and the receiving thread serve one each. So
//   per user = max-operations-per-user x operation-queue-limit
//              + queue-limit + workers + 1,
// 256 x 32 + 256 + 8 + 1 = 8,457 with the defaults (some 530 KiB of
// notices), counted as a sum where the queues overlap, so that it is above.
std::size_t notices_per_user(const comm_dir_service_options& options) {
  return static_cast<std::size_t>(options.max_operations_per_user) *
             static_cast<std::size_t>(options.operation_queue_limit) +
         static_cast<std::size_t>(options.queue_limit) + static_cast<std::size_t>(options.workers) + 1;
}

// One message to `server`, waiting at most `timeout_ms` for room.
RETCODE send_reply(const char* server, uid_t requester, char* message, std::size_t length, std::size_t zero_from,
                   int timeout_ms) {
  return comm_dir_send(COMM_DIR_SERVICE_REPLY_CLIENT, server, requester, COMM_DIR_IPC_ID_REPLY, GEN_IPC_KIND_REPLY,
                       message, static_cast<INT>(length), zero_from, static_cast<ULONG>(timeout_ms));
}

// Takes `count` from `user`'s count, erasing it when it comes to 0.
void take_from(std::map<uid_t, std::size_t>& counts, uid_t user, std::size_t count) {
  auto it = counts.find(user);
  if (it == counts.end()) return;
  it->second -= std::min(count, it->second);
  if (it->second == 0) counts.erase(it);
}

std::size_t count_of(const std::map<uid_t, std::size_t>& counts, uid_t user) {
  auto it = counts.find(user);
  return it == counts.end() ? 0 : it->second;
}

}  // namespace

comm_dir_reply_delivery::comm_dir_reply_delivery(const comm_dir_service_options& options)
    : reply_wait_(options.reply_wait_ms),
      kept_bytes_per_user_(static_cast<std::size_t>(options.max_kept_bytes_per_user)),
      notices_per_user_(notices_per_user(options)) {}

comm_dir_reply_delivery::~comm_dir_reply_delivery() { stop(); }

bool comm_dir_reply_delivery::start() {
  send_buffer_.reset(new (std::nothrow) char[COMM_DIR_IPC_REPLY_SIZE]());
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (send_buffer_ == nullptr || wake_fd_ < 0) return false;
  try {
    thread_ = std::thread(&comm_dir_reply_delivery::run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void comm_dir_reply_delivery::stop() {
  {
    commdir_sync::lock_guard lock(mu_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  commdir_sync::lock_guard lock(mu_);
  std::size_t dropped = 0;
  for (const auto& server : kept_) {
    dropped += server.second.kept.size();
    if (server.second.client != 0) emwGENIpcDestroyClient(server.second.client);
  }
  if (dropped != 0) SERVICE_TRACE("stopping: %zu kept replies and notices dropped", dropped);
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  kept_.clear();
  servers_of_.clear();
  kept_bytes_ = 0;
  kept_bytes_of_.clear();
  kept_replies_of_.clear();
  notices_ = 0;
  notices_of_.clear();
}

bool comm_dir_reply_delivery::deliver(const char* server_name, uid_t requester, char* message, std::size_t length,
                                      std::size_t zero_from) {
  const std::string server(server_name);
  {
    commdir_sync::lock_guard lock(mu_);
    // Behind replies that wait already, in order, and without waiting again.
    if (kept_.count(server) != 0) return keep(server, requester, message, length, zero_from);
  }
  const RETCODE rc = send_reply(server_name, requester, message, length, zero_from, t_no_wait_ ? 0 : kFirstWaitMs);
  if (rc != ETIMEDOUT) return rc == 0;
  commdir_sync::lock_guard lock(mu_);
  return keep(server, requester, message, length, zero_from);
}

// The trailing-zero scan runs here, under the lock, and so only for replies
// that are kept: a reply sent at once is scanned by the platform alone.
bool comm_dir_reply_delivery::keep(const std::string& server, uid_t requester, const char* message, std::size_t length,
                                   std::size_t zero_from) {
  route_words route;
  route.event_sem_id = commdir_wire::read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, event_sem_id));
  route.type = commdir_wire::read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type));
  route.reply_buffer = commdir_wire::read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer));
  route.reply_buffer_size = commdir_wire::read_word(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer_size));
  const std::size_t travels = commdir_posix_ipc_datagram_length(message, std::min(length, zero_from));
  auto it = kept_.find(server);
  const std::size_t waiting = it == kept_.end() ? 0 : it->second.replies;
  if (waiting >= kMaxKeptPerServer || !room_for(requester, travels)) {
    SERVICE_TRACE(
        "reply to %s of uid %ld kept as a notice: its queue is full and %zu of its replies wait already "
        "(%zu bytes of its user's, %zu in all)",
        server.c_str(), static_cast<long>(requester), waiting, count_of(kept_bytes_of_, requester), kept_bytes_);
    return keep_notice(server, requester, route);
  }
  server_queue* queue = queue_of(server, requester);
  if (queue == nullptr) return false;
  try {
    if (queue->kept.empty()) SERVICE_TRACE("replies to %s wait: its queue is full", server.c_str());
    queue->kept.push_back(kept_reply{std::vector<char>(message, message + travels), length, requester, route,
                                     std::chrono::steady_clock::now()});
  } catch (const std::bad_alloc&) {
    if (queue->kept.empty()) forget_queue(kept_.find(server));
    SERVICE_TRACE("reply to %s dropped: no memory to keep it", server.c_str());
    return false;
  }
  ++queue->replies;
  kept_bytes_ += travels;
  kept_bytes_of_[requester] += travels;
  ++kept_replies_of_[requester];
  if (queue->kept.size() == 1) wake();
  return true;
}

comm_dir_reply_delivery::server_queue* comm_dir_reply_delivery::queue_of(const std::string& server, uid_t requester) {
  auto it = kept_.find(server);
  if (it != kept_.end()) return &it->second;
  if (count_of(servers_of_, requester) >= kMaxServersPerUser) {
    SERVICE_TRACE(
        "reply to %s of uid %ld dropped: its queue is full, and replies of its user wait for %zu reply "
        "servers already; its call waits on",
        server.c_str(), static_cast<long>(requester), kMaxServersPerUser);
    return nullptr;
  }
  try {
    it = kept_.emplace(server, server_queue()).first;
  } catch (const std::bad_alloc&) {
    SERVICE_TRACE("reply to %s dropped: no memory to keep it", server.c_str());
    return nullptr;
  }
  it->second.owner = requester;
  ++servers_of_[requester];
  return &it->second;
}

void comm_dir_reply_delivery::forget_queue(std::map<std::string, server_queue>::iterator it) {
  if (it->second.client != 0) emwGENIpcDestroyClient(it->second.client);
  take_from(servers_of_, it->second.owner, 1);
  kept_.erase(it);
}

void comm_dir_reply_delivery::wake() {
  const std::uint64_t one = 1;
  if (wake_fd_ >= 0 && ::write(wake_fd_, &one, sizeof one) < 0) {
    // Full (never: it counts up to 2^64 - 2), or being closed by stop().
  }
}

bool comm_dir_reply_delivery::room_for(uid_t requester, std::size_t bytes) const {
  return kMaxKeptBytes - kept_bytes_ >= bytes && kept_bytes_per_user_ >= bytes &&
         kept_bytes_per_user_ - bytes >= count_of(kept_bytes_of_, requester);
}

bool comm_dir_reply_delivery::room_for_notice(uid_t requester) const {
  return notices_ < kMaxNotices && count_of(notices_of_, requester) < notices_per_user_;
}

bool comm_dir_reply_delivery::keep_notice(const std::string& server, uid_t requester, const route_words& route) {
  if (!room_for_notice(requester)) {
    SERVICE_TRACE(
        "reply to %s of uid %ld dropped: %zu notices of its user wait already (%zu in all); its call "
        "waits on",
        server.c_str(), static_cast<long>(requester), count_of(notices_of_, requester), notices_);
    return false;
  }
  server_queue* queue = queue_of(server, requester);
  if (queue == nullptr) return false;
  try {
    queue->kept.push_back(kept_reply{std::vector<char>(), 0, requester, route, std::chrono::steady_clock::now()});
  } catch (const std::bad_alloc&) {
    if (queue->kept.empty()) forget_queue(kept_.find(server));
    SERVICE_TRACE("reply to %s dropped: no memory to keep a notice for it", server.c_str());
    return false;
  }
  ++notices_;
  ++notices_of_[requester];
  if (queue->kept.size() == 1) wake();
  return true;
}

void comm_dir_reply_delivery::forget_bytes(const kept_reply& reply) {
  kept_bytes_ -= reply.bytes.size();
  take_from(kept_bytes_of_, reply.requester, reply.bytes.size());
  take_from(kept_replies_of_, reply.requester, 1);
}

std::map<uid_t, comm_dir_reply_delivery::kept_count> comm_dir_reply_delivery::kept_by_user() {
  std::map<uid_t, kept_count> counts;
  commdir_sync::lock_guard lock(mu_);
  for (const auto& [user, replies] : kept_replies_of_) counts[user].replies = replies;
  for (const auto& [user, bytes] : kept_bytes_of_) counts[user].bytes = bytes;
  for (const auto& [user, notices] : notices_of_) counts[user].notices = notices;
  return counts;
}

void comm_dir_reply_delivery::forget_notice(const kept_reply& reply) {
  --notices_;
  take_from(notices_of_, reply.requester, 1);
}

// Replies wait in the order they came, so those that waited too long are
// the first replies of the queue (notices may stand between them). The
// queue keeps its order: a notice takes its reply's place.
void comm_dir_reply_delivery::expire(const std::string& server, server_queue& queue,
                                     std::chrono::steady_clock::time_point now) {
  for (auto it = queue.kept.begin(); it != queue.kept.end();) {
    if (it->notice()) {
      ++it;
      continue;
    }
    if (now - it->since <= reply_wait_) return;
    forget_bytes(*it);
    --queue.replies;
    if (room_for_notice(it->requester)) {
      SERVICE_TRACE("a reply waited longer than %ld ms for %s to read its queue; a notice takes its place",
                    static_cast<long>(reply_wait_.count()), server.c_str());
      std::vector<char>().swap(it->bytes);
      ++notices_;
      ++notices_of_[it->requester];
      ++it;
    } else {
      SERVICE_TRACE(
          "a reply waited longer than %ld ms for %s to read its queue; dropped: %zu notices of uid %ld "
          "wait already; its call waits on",
          static_cast<long>(reply_wait_.count()), server.c_str(), count_of(notices_of_, it->requester),
          static_cast<long>(it->requester));
      it = queue.kept.erase(it);
    }
  }
}

void comm_dir_reply_delivery::run() {
  for (;;) {
    std::vector<std::pair<uid_t, std::string>> servers = wait_for_turn();
    {
      commdir_sync::lock_guard lock(mu_);
      if (stopping_) return;
    }
    send_kept_replies(&servers);
  }
}

// Every server when the wait ran out (a kept reply is due to become a
// notice), else those that may have room and those without a client yet.
std::vector<std::pair<uid_t, std::string>> comm_dir_reply_delivery::wait_for_turn() {
  std::vector<pollfd> watched{{wake_fd_, POLLIN, 0}};
  std::vector<std::pair<uid_t, std::string>> servers, turn;
  auto due = std::chrono::steady_clock::time_point::max();
  {
    commdir_sync::lock_guard lock(mu_);
    if (stopping_) return turn;
    for (const auto& [server, queue] : kept_) {
      // A queue without a client (its server could not be reached for its
      // owner) is tried again after kFirstWaitMs.
      const int fd = commdir_posix_ipc_client_fd(queue.client);
      if (fd < 0) due = std::min(due, std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstWaitMs));
      watched.push_back(pollfd{fd, POLLOUT, 0});  // poll skips -1
      servers.emplace_back(queue.owner, server);
      for (const kept_reply& reply : queue.kept) {
        if (!reply.notice()) due = std::min(due, reply.since + reply_wait_);
      }
    }
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
  const int timeout =
      due == std::chrono::steady_clock::time_point::max() ? -1 : static_cast<int>(std::max<long long>(0, left.count()));
  if (::poll(watched.data(), watched.size(), timeout) == 0) return servers;
  std::uint64_t woken;
  if (::read(wake_fd_, &woken, sizeof woken) < 0) {
    // Not woken by it (EAGAIN).
  }
  for (std::size_t i = 1; i < watched.size(); ++i) {
    if (watched[i].fd < 0 || watched[i].revents != 0) turn.push_back(std::move(servers[i - 1]));
  }
  return turn;
}

// Users in turn: the servers of the user after the one that began the last
// turn come first, so that no user's servers are always tried last.
void comm_dir_reply_delivery::send_kept_replies(std::vector<std::pair<uid_t, std::string>>* servers) {
  std::sort(servers->begin(), servers->end());
  auto first =
      std::upper_bound(servers->begin(), servers->end(), first_in_turn_,
                       [](uid_t user, const std::pair<uid_t, std::string>& entry) { return user < entry.first; });
  if (first == servers->end()) first = servers->begin();
  if (first != servers->end()) first_in_turn_ = first->first;
  std::rotate(servers->begin(), first, servers->end());
  for (const auto& server : *servers) send_kept_replies_of(server.second);
}

void comm_dir_reply_delivery::send_kept_replies_of(const std::string& server) {
  for (;;) {
    // The first message stays in its queue while it is tried, so that new
    // replies to this server keep queueing behind it instead of waiting to
    // be sent themselves. Only this thread takes messages off a queue or
    // changes them, and a deque's push_back leaves its elements where they
    // are.
    const kept_reply* first = nullptr;
    UINT client = 0;
    uid_t owner = 0;
    {
      commdir_sync::lock_guard lock(mu_);
      auto it = kept_.find(server);
      if (stopping_ || it == kept_.end()) return;
      expire(server, it->second, std::chrono::steady_clock::now());
      if (it->second.kept.empty()) {
        forget_queue(it);
        return;
      }
      first = &it->second.kept.front();
      client = it->second.client;
      owner = it->second.owner;
    }
    if (client == 0) client = client_of(server, owner);
    // Failures other than a full queue are traced by the sender; the server
    // is gone, and nobody waits for what was kept for it: the next message
    // tries on its own.
    const int rc = send_kept(server, client != 0 && owner == first->requester ? client : 0, *first);
    if (rc == ETIMEDOUT) return;  // still full: first in line, next turn
    commdir_sync::lock_guard lock(mu_);
    auto it = kept_.find(server);
    const kept_reply& sent = it->second.kept.front();
    if (sent.notice()) {
      forget_notice(sent);
    } else {
      forget_bytes(sent);
      --it->second.replies;
    }
    it->second.kept.pop_front();
    if (it->second.kept.empty()) forget_queue(it);
  }
}

// Makes the thread's client of `server` for `owner`, outside mu_ (it looks
// at the server's socket file), and keeps it with the server's queue; 0
// when the server cannot be reached for `owner` (the try without it says
// why).
UINT comm_dir_reply_delivery::client_of(const std::string& server, uid_t owner) {
  UINT client = 0;
  if (commdir_posix_ipc_create_client_of(COMM_DIR_SERVICE_REPLY_CLIENT, server.c_str(), owner, &client) != 0) return 0;
  commdir_sync::lock_guard lock(mu_);
  auto it = kept_.find(server);  // only this thread takes queues away once they hold a message
  it->second.client = client;
  return client;
}

// Over `client`, the thread's client of the server when it was made for the
// message's requester, else (0) over a client of the message's own, which
// checks the server's owner for that requester.
int comm_dir_reply_delivery::send_kept(const std::string& server, UINT client, const kept_reply& reply) {
  char* buffer = send_buffer_.get();
  std::size_t written = reply.bytes.size();
  if (reply.notice()) {
    COMM_DIR_IPC_ENVELOPE_HEAD head{};
    head.event_sem_id = reply.route.event_sem_id;
    head.replied = 1;
    head.type = reply.route.type;
    std::memcpy(head.reply_server_name, server.c_str(), std::min(server.size() + 1, sizeof head.reply_server_name));
    head.reply_buffer = reply.route.reply_buffer;
    head.reply_buffer_size = reply.route.reply_buffer_size;
    std::memcpy(buffer, &head, sizeof head);
    commdir_wire::write_word(buffer, kEnvelopeResult, static_cast<UINT>(COMM_DIR_SVC_REPLY_DROPPED));
    commdir_wire::write_word(buffer, kReplyResult, static_cast<UINT>(COMM_DIR_SVC_REPLY_DROPPED));
    written = kNoticeBytes;
  } else {
    std::memcpy(buffer, reply.bytes.data(), written);
  }
  const std::size_t length = reply.notice() ? static_cast<std::size_t>(COMM_DIR_IPC_REPLY_SIZE) : reply.length;
  RETCODE rc;
  if (client != 0) {
    rc = commdir_posix_ipc_send_zero_tail(client, GEN_IPC_KIND_REPLY, buffer, static_cast<INT>(length), written, 0);
    if (rc != 0 && rc != ETIMEDOUT) SERVICE_TRACE("cannot send to %s: %#lx", server.c_str(), trace_code(rc));
  } else {
    rc = send_reply(server.c_str(), reply.requester, buffer, length, written, 0);
  }
  std::memset(buffer, 0, written);
  return rc;
}

}  // namespace velmarosta
