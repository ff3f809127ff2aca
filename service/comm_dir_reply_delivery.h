// How the daemon hands replies to applications without letting one that
// does not read them hold up the others, and without leaving a call of
// theirs waiting for good.
//
// A reply goes to the application's reply server, whose socket queues a few
// datagrams (the kernel's net.unix.max_dgram_qlen, 10 by default). A send
// into a full queue waits; an application that is stopped, hung or never
// reads would make every thread that answers it wait for good, the daemon's
// receiving thread among them. So a worker sends a reply with a bounded
// wait for room (kFirstWaitMs: a live application drains its queue within
// it, even with many threads on one CPU), and the receiving thread, which
// serves everyone, only tries once (no_wait_scope). When the queue stays
// full, or earlier replies to the same server still wait, the reply's bytes
// are kept and this object's thread sends them in the order they came. It
// holds a client of each server with kept messages and waits for room at
// all of them at once (poll on their sockets, commdir_posix_ipc_client_fd),
// never at one, and tries those that may have room, users in turn, each
// send only a try (every server once a kept reply is due to become a
// notice), so that a server that reads again gets its replies as fast as it
// takes them, whatever the others do.
//
// A reply that the application does not take is never dropped silently
// while its reply server lives: the call that waits for it would wait for
// good (the library waits without limit for a server that lives). Instead a
// notice takes its place: the reply's routing words (event_sem_id, type,
// reply_buffer, reply_buffer_size, to the same reply server) and nothing
// but the result word, COMM_DIR_SVC_REPLY_DROPPED: 144 bytes travel. The
// call then returns that code. A notice replaces
//   - a kept reply that waited longer than the reply wait (--reply-wait):
//     its application has read nothing for that long;
//   - a reply that cannot be kept: kMaxKeptPerServer replies of its server,
//     kMaxKeptBytes in all, or --max-kept-bytes-per-user of its user's
//     applications wait already (only the bytes that travel count: the
//     zeros behind are restored on sending).
// One user's messages wait for at most kMaxServersPerUser reply servers
// (each costs the thread a socket and a try per turn); a reply to yet
// another server of that user that finds its queue full is dropped with a
// trace, and its call waits, as below.
// Notices are kept, in their reply's place, until the server takes them, or
// is gone: a send that fails for another reason than a full queue (the
// socket refuses, or is no longer there) drops it, for nobody waits then.
//
// Notices are bounded too, by a count per user (notices_per_user, sized
// above the replies that the daemon can owe one user at once; see the
// constructor) and kMaxNotices in all. A notice beyond those is dropped with
// a trace, and its call waits, as every call did before notices: only a
// user with more calls waiting at once than the daemon can take in for it
// (more threads than that, or a program that sends without waiting for its
// replies) meets that.
//
// What one application that does not read costs the others: the first
// reply to it holds a worker kFirstWaitMs; later ones are kept at once; the
// thread that sends kept replies tries its server when it may have room,
// when a reply is kept for it while none was, and when a kept reply is due
// to become a notice.
//
// Thread-safe: deliver() may be called from any thread at once; mu_ guards
// the kept replies; the thread alone uses its send buffer.
#ifndef COMMDIR_SERVICE_COMM_DIR_REPLY_DELIVERY_H_
#define COMMDIR_SERVICE_COMM_DIR_REPLY_DELIVERY_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "platform/commdir_thread_safety.h"
#include "service/comm_dir_service_options.h"

namespace velmarosta {

class comm_dir_reply_delivery {
 public:
  static constexpr int kFirstWaitMs = 20;
  static constexpr std::size_t kMaxKeptPerServer = 256;
  static constexpr std::size_t kMaxServersPerUser = 128;
  static constexpr std::size_t kMaxKeptBytes = 16u << 20;
  static constexpr std::size_t kMaxNotices = 1u << 16;  // 64 bytes each: 4 MiB
  // What travels of a notice: the envelope's head, its result word, and the
  // COMM_DIR_REPLY up to its result word.
  static constexpr std::size_t kNoticeBytes = 144;

  // While one lives on a thread, deliver() on that thread does not wait for
  // room: a reply that finds its queue full is kept at once. For the
  // daemon's receiving thread, which must not stop for one peer.
  class no_wait_scope {
   public:
    no_wait_scope() { t_no_wait_ = true; }
    ~no_wait_scope() { t_no_wait_ = false; }
    no_wait_scope(const no_wait_scope&) = delete;
    no_wait_scope& operator=(const no_wait_scope&) = delete;
  };

  explicit comm_dir_reply_delivery(const comm_dir_service_options& options);
  ~comm_dir_reply_delivery();
  comm_dir_reply_delivery(const comm_dir_reply_delivery&) = delete;
  comm_dir_reply_delivery& operator=(const comm_dir_reply_delivery&) = delete;

  // Starts the thread that sends kept replies. False when it cannot start.
  bool start();
  // Ends the thread; replies and notices still kept are dropped, with one
  // trace (the daemon is stopping: its callers give up on it).
  void stop();

  // Sends the reply `message` of `length` bytes, zero from `zero_from` on,
  // to `server_name`, at once or later (above), on behalf of `requester`
  // (the uid that sent the request). False, traced, when neither it nor a
  // notice in its place can be sent or kept: the server cannot be reached,
  // or too many notices are kept already.
  bool deliver(const char* server_name, uid_t requester, char* message, std::size_t length, std::size_t zero_from);

  // What waits for the applications of one user: replies, the bytes of
  // them that travel, and notices.
  struct kept_count {
    std::size_t replies = 0;
    std::size_t bytes = 0;
    std::size_t notices = 0;
  };
  // What waits now, per user (users with nothing kept are left out).
  std::map<uid_t, kept_count> kept_by_user();

 private:
  // The words of a reply that route it to its call, which a notice carries.
  struct route_words {
    UINT event_sem_id = 0;
    UINT type = 0;
    UINT reply_buffer = 0;
    UINT reply_buffer_size = 0;
  };
  struct kept_reply {
    std::vector<char> bytes;  // the bytes that travel; empty for a notice
    std::size_t length = 0;   // the whole message's
    uid_t requester = 0;
    route_words route;
    std::chrono::steady_clock::time_point since;
    bool notice() const { return bytes.empty(); }
  };
  struct server_queue {
    std::deque<kept_reply> kept;  // in the order they came
    std::size_t replies = 0;      // of them not notices
    uid_t owner = 0;              // whose queue it counts as: the first requester's
    UINT client = 0;              // the thread's client of the server for `owner`, 0 before the thread made it
  };

  // The queue of `server`, made for `requester` when there is none and the
  // user waits for fewer than kMaxServersPerUser; null otherwise.
  server_queue* queue_of(const std::string& server, uid_t requester) REQUIRES(mu_);
  // Keeps `message` (`length` bytes, zero from `zero_from` on) for
  // `server`, or a notice in its place when it cannot be kept.
  bool keep(const std::string& server, uid_t requester, const char* message, std::size_t length, std::size_t zero_from)
      REQUIRES(mu_);
  // Whether another `bytes` of `requester`'s may be kept.
  bool room_for(uid_t requester, std::size_t bytes) const REQUIRES(mu_);
  // Appends a notice for the reply routed by `route`.
  bool keep_notice(const std::string& server, uid_t requester, const route_words& route) REQUIRES(mu_);
  // Whether one more notice of `requester`'s may be kept.
  bool room_for_notice(uid_t requester) const REQUIRES(mu_);
  // Turns the replies of `queue` that waited longer than the reply wait
  // into notices, or drops them when no more notices may be kept.
  void expire(const std::string& server, server_queue& queue, std::chrono::steady_clock::time_point now) REQUIRES(mu_);
  void forget_bytes(const kept_reply& reply) REQUIRES(mu_);
  void forget_notice(const kept_reply& reply) REQUIRES(mu_);
  void run();
  // Waits until a kept server may have room, a server gets its first kept
  // message, the next kept reply is due to become a notice, or stop().
  // Returns the servers (with their owners) to try.
  std::vector<std::pair<uid_t, std::string>> wait_for_turn();
  // One turn over `servers`, users in turn.
  void send_kept_replies(std::vector<std::pair<uid_t, std::string>>* servers);
  // Sends the kept replies of `server` in order while its queue has room.
  void send_kept_replies_of(const std::string& server);
  UINT client_of(const std::string& server, uid_t owner);
  // One kept reply or notice, only tried; 0, or the platform's code.
  int send_kept(const std::string& server, UINT client, const kept_reply& reply);
  void wake();  // the thread, out of its wait
  void forget_queue(std::map<std::string, server_queue>::iterator it) REQUIRES(mu_);

  static inline thread_local bool t_no_wait_ = false;

  const std::chrono::milliseconds reply_wait_;
  const std::size_t kept_bytes_per_user_;
  const std::size_t notices_per_user_;
  commdir_sync::mutex mu_;
  std::map<std::string, server_queue> kept_ GUARDED_BY(mu_);  // no empty queues
  std::size_t kept_bytes_ GUARDED_BY(mu_) = 0;
  std::map<uid_t, std::size_t> kept_bytes_of_ GUARDED_BY(mu_);    // no zero counts
  std::map<uid_t, std::size_t> kept_replies_of_ GUARDED_BY(mu_);  // no zero counts
  std::size_t notices_ GUARDED_BY(mu_) = 0;
  std::map<uid_t, std::size_t> notices_of_ GUARDED_BY(mu_);  // no zero counts
  std::map<uid_t, std::size_t> servers_of_ GUARDED_BY(mu_);  // queues per owner, no zero counts
  uid_t first_in_turn_ = 0;                                  // the thread's: whose servers the last turn began with
  bool stopping_ GUARDED_BY(mu_) = false;
  int wake_fd_ = -1;  // an eventfd that ends the thread's wait
  std::thread thread_;
  std::unique_ptr<char[]> send_buffer_;  // the thread's; zero behind what it last copied in
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_REPLY_DELIVERY_H_
