#include "service/comm_dir_reply_delivery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_result_codes.h"
#include "ipc/comm_dir_ipc_envelope.h"
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

template <typename Word>
Word word_at(const char* message, std::size_t offset) {
  Word word;
  std::memcpy(&word, message + offset, sizeof word);
  return word;
}

template <typename Word>
void put_word(char* message, std::size_t offset, Word word) {
  std::memcpy(message + offset, &word, sizeof word);
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
  for (const auto& server : kept_) dropped += server.second.kept.size();
  if (dropped != 0) SERVICE_TRACE("stopping: %zu kept replies and notices dropped", dropped);
  kept_.clear();
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
    std::lock_guard<std::mutex> lock(mu_);
    // Behind replies that wait already, in order, and without waiting again.
    if (kept_.count(server) != 0) return keep(server, requester, message, length, zero_from);
  }
  const RETCODE rc =
      send_reply(server_name, requester, message, length, zero_from, t_no_wait_ ? 0 : kFirstWaitMs);
  if (rc != ETIMEDOUT) return rc == 0;
  std::lock_guard<std::mutex> lock(mu_);
  return keep(server, requester, message, length, zero_from);
}

// The trailing-zero scan runs here, under the lock, and so only for replies
// that are kept: a reply sent at once is scanned by the platform alone.
bool comm_dir_reply_delivery::keep(const std::string& server, uid_t requester, const char* message,
                                   std::size_t length, std::size_t zero_from) {
  route_words route;
  route.event_sem_id = word_at<UINT>(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, event_sem_id));
  route.type = word_at<UINT>(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type));
  route.reply_buffer = word_at<UINT>(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer));
  route.reply_buffer_size = word_at<UINT>(message, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer_size));
  const std::size_t travels = commdir_posix_ipc_datagram_length(message, std::min(length, zero_from));
  auto it = kept_.find(server);
  const std::size_t waiting = it == kept_.end() ? 0 : it->second.replies;
  if (waiting >= kMaxKeptPerServer || !room_for(requester, travels)) {
    SERVICE_TRACE("reply to %s of uid %ld kept as a notice: its queue is full and %zu of its replies wait already "
                  "(%zu bytes of its user's, %zu in all)",
                  server.c_str(), static_cast<long>(requester), waiting, count_of(kept_bytes_of_, requester),
                  kept_bytes_);
    return keep_notice(server, requester, route);
  }
  try {
    kept_reply reply{std::vector<char>(message, message + travels), length, requester, route,
                     std::chrono::steady_clock::now()};
    if (it == kept_.end()) {
      it = kept_.emplace(server, server_queue()).first;
      SERVICE_TRACE("replies to %s wait: its queue is full", server.c_str());
    }
    it->second.kept.push_back(std::move(reply));
  } catch (const std::bad_alloc&) {
    if (it != kept_.end() && it->second.kept.empty()) kept_.erase(it);
    SERVICE_TRACE("reply to %s dropped: no memory to keep it", server.c_str());
    return false;
  }
  ++it->second.replies;
  kept_bytes_ += travels;
  kept_bytes_of_[requester] += travels;
  ++kept_replies_of_[requester];
  cv_.notify_one();
  return true;
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
    SERVICE_TRACE("reply to %s of uid %ld dropped: %zu notices of its user wait already (%zu in all); its call "
                  "waits on",
                  server.c_str(), static_cast<long>(requester), count_of(notices_of_, requester), notices_);
    return false;
  }
  try {
    kept_reply notice{std::vector<char>(), 0, requester, route, std::chrono::steady_clock::now()};
    auto it = kept_.find(server);
    if (it == kept_.end()) it = kept_.emplace(server, server_queue()).first;
    it->second.kept.push_back(std::move(notice));
  } catch (const std::bad_alloc&) {
    auto it = kept_.find(server);
    if (it != kept_.end() && it->second.kept.empty()) kept_.erase(it);
    SERVICE_TRACE("reply to %s dropped: no memory to keep a notice for it", server.c_str());
    return false;
  }
  ++notices_;
  ++notices_of_[requester];
  cv_.notify_one();
  return true;
}

void comm_dir_reply_delivery::forget_bytes(const kept_reply& reply) {
  kept_bytes_ -= reply.bytes.size();
  take_from(kept_bytes_of_, reply.requester, reply.bytes.size());
  take_from(kept_replies_of_, reply.requester, 1);
}

std::map<uid_t, comm_dir_reply_delivery::kept_count> comm_dir_reply_delivery::kept_by_user() {
  std::map<uid_t, kept_count> counts;
  std::lock_guard<std::mutex> lock(mu_);
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
      SERVICE_TRACE("a reply waited longer than %ld ms for %s to read its queue; dropped: %zu notices of uid %ld "
                    "wait already; its call waits on",
                    static_cast<long>(reply_wait_.count()), server.c_str(), count_of(notices_of_, it->requester),
                    static_cast<long>(it->requester));
      it = queue.kept.erase(it);
    }
  }
}

void comm_dir_reply_delivery::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    // Each turn waits for room in the sends of replies themselves
    // (kRetryWaitMs each); a turn over notices alone pauses instead.
    cv_.wait(lock, [this] { return stopping_ || !kept_.empty(); });
    if (stopping_) return;
    lock.unlock();
    const bool busy = send_kept_replies();
    lock.lock();
    if (!busy) cv_.wait_for(lock, std::chrono::milliseconds(kRetryWaitMs), [this] { return stopping_; });
  }
}

bool comm_dir_reply_delivery::send_kept_replies() {
  std::vector<std::string> servers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& server : kept_) servers.push_back(server.first);
  }
  bool busy = false;
  for (const std::string& server : servers) busy = send_kept_replies_of(server) || busy;
  return busy;
}

bool comm_dir_reply_delivery::send_kept_replies_of(const std::string& server) {
  bool busy = false;
  for (;;) {
    // The first message stays in its queue while it is tried, so that new
    // replies to this server keep queueing behind it instead of waiting to
    // be sent themselves. Only this thread takes messages off a queue or
    // changes them, and a deque's push_back leaves its elements where they
    // are.
    const kept_reply* first = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = kept_.find(server);
      if (stopping_ || it == kept_.end()) return busy;
      expire(server, it->second, std::chrono::steady_clock::now());
      if (it->second.kept.empty()) {
        kept_.erase(it);
        return true;
      }
      first = &it->second.kept.front();
    }
    // Failures other than a full queue are traced by the sender; the server
    // is gone, and nobody waits for what was kept for it: the next message
    // tries on its own.
    const int rc = send_kept(server, *first);
    busy = busy || !first->notice() || rc != ETIMEDOUT;
    if (rc == ETIMEDOUT) return busy;  // still full: first in line, next turn
    std::lock_guard<std::mutex> lock(mu_);
    auto it = kept_.find(server);
    const kept_reply& sent = it->second.kept.front();
    if (sent.notice()) {
      forget_notice(sent);
    } else {
      forget_bytes(sent);
      --it->second.replies;
    }
    it->second.kept.pop_front();
    if (it->second.kept.empty()) kept_.erase(it);
  }
}

// A reply waits for room kRetryWaitMs; a notice is only tried: its
// application has not read for the reply wait already.
int comm_dir_reply_delivery::send_kept(const std::string& server, const kept_reply& reply) {
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
    put_word(buffer, kEnvelopeResult, COMM_DIR_SVC_REPLY_DROPPED);
    put_word(buffer, kReplyResult, COMM_DIR_SVC_REPLY_DROPPED);
    written = kNoticeBytes;
  } else {
    std::memcpy(buffer, reply.bytes.data(), written);
  }
  const std::size_t length = reply.notice() ? static_cast<std::size_t>(COMM_DIR_IPC_REPLY_SIZE) : reply.length;
  const RETCODE rc =
      send_reply(server.c_str(), reply.requester, buffer, length, written, reply.notice() ? 0 : kRetryWaitMs);
  std::memset(buffer, 0, written);
  return rc;
}

}  // namespace velmarosta
