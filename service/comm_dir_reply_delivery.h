// How the daemon hands replies to applications without letting one that
// does not read them hold up the others.
//
// A reply goes to the application's reply server, whose socket queues a few
// datagrams (the kernel's net.unix.max_dgram_qlen, 10 by default). A send
// into a full queue waits; an application that is stopped, hung or never
// reads would make every thread that answers it wait for good, the daemon's
// receiving thread among them. So a reply is sent with a bounded wait for
// room (kFirstWaitMs: a live application drains its queue within it, even
// with many threads on one CPU); when the queue stays full, or earlier
// replies to the same server still wait, the reply's bytes are kept and
// this object's thread sends them in the order they came, each send again
// waiting up to kRetryWaitMs for room, so that a server that reads again
// gets its replies as fast as it takes them. A kept reply that waits longer
// than the reply wait (--reply-wait) is dropped with a trace: its
// application has not read anything for that long.
//
// What one application that does not read costs the others: the first
// reply to it holds its sending thread kFirstWaitMs; later ones are kept at
// once; and the thread that sends kept replies spends kRetryWaitMs per turn
// on it.
//
// Memory stays bounded: at most kMaxKeptPerServer replies per server and
// kMaxKeptBytes in all are kept (only the bytes that travel; the zeros
// behind are restored on sending); a reply beyond that is dropped, traced.
//
// Thread-safe: deliver() may be called from any thread at once; mu_ guards
// the kept replies; the thread alone uses its send buffer.
#ifndef COMMDIR_SERVICE_COMM_DIR_REPLY_DELIVERY_H_
#define COMMDIR_SERVICE_COMM_DIR_REPLY_DELIVERY_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmarosta {

class comm_dir_reply_delivery {
 public:
  static constexpr int kFirstWaitMs = 20;
  static constexpr int kRetryWaitMs = 20;
  static constexpr std::size_t kMaxKeptPerServer = 256;
  static constexpr std::size_t kMaxKeptBytes = 16u << 20;

  explicit comm_dir_reply_delivery(int reply_wait_ms);
  ~comm_dir_reply_delivery();
  comm_dir_reply_delivery(const comm_dir_reply_delivery&) = delete;
  comm_dir_reply_delivery& operator=(const comm_dir_reply_delivery&) = delete;

  // Starts the thread that sends kept replies. False when it cannot start.
  bool start();
  // Ends the thread; replies still kept are dropped, with one trace.
  void stop();

  // Sends the reply `message` of `length` bytes, zero from `zero_from` on,
  // to `server_name`, at once or later (above), on behalf of `requester`
  // (the uid that sent the request). False, traced, when it can be neither
  // sent nor kept: the server cannot be reached, or too much is kept already.
  bool deliver(const char* server_name, uid_t requester, char* message, std::size_t length, std::size_t zero_from);

 private:
  struct kept_reply {
    std::vector<char> bytes;  // the bytes that travel
    std::size_t length = 0;   // the whole message's
    uid_t requester = 0;
    std::chrono::steady_clock::time_point since;
  };
  using kept_queue = std::deque<kept_reply>;

  // Keeps the bytes of `message` (`length` in all, zero from `zero_from`
  // on) that travel, the trailing zeros left out. mu_ held.
  bool keep(const std::string& server, uid_t requester, const char* message, std::size_t length,
            std::size_t zero_from);
  void run();
  void send_kept_replies();
  // Sends the kept replies of `server` in order while its queue has room.
  void send_kept_replies_of(const std::string& server);
  // One kept reply; 0, or the platform's code.
  int send_kept(const std::string& server, const kept_reply& reply);

  const std::chrono::milliseconds reply_wait_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, kept_queue> kept_;  // guarded by mu_; no empty queues
  std::size_t kept_bytes_ = 0;              // guarded by mu_
  bool stopping_ = false;                   // guarded by mu_
  std::thread thread_;
  std::unique_ptr<char[]> send_buffer_;     // the thread's; zero behind what it last copied in
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_REPLY_DELIVERY_H_
