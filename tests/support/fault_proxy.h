// A TCP proxy on 127.0.0.1 between the daemon and an LDAP server that can be
// told, at any moment, to fail the way real servers and networks fail: refuse
// or swallow connections, never finish a TLS handshake, answer late, cut a
// search result off in the middle (reset, silence, or a notice of
// disconnection). Tests use it in-process; it needs no privileges.
//
// Faults that concern how a connection starts (kRefuse, kSwallow, kStallTls)
// apply to connections accepted after set_fault(). Faults of the stream
// (kDelay, kResetAfter, kStallAfter, kNoticeAfter, kHugeAfter) apply to every connection
// from the moment of set_fault(); their byte budget counts the server's bytes
// passed on from then on, so a test can let a search begin and then cut it.
#ifndef COMMDIR_TESTS_SUPPORT_FAULT_PROXY_H_
#define COMMDIR_TESTS_SUPPORT_FAULT_PROXY_H_

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace commdir_testing {

enum class Fault {
  kNone,         // pass everything on, both ways
  kRefuse,       // accept, then close at once
  kSwallow,      // accept and read, never answer, never reach the server
  kStallTls,     // pass LDAP on until the client starts TLS, then stall: a
                 // ClientHello (ldaps://) is never answered; a StartTLS
                 // request is answered "success" by the proxy, then nothing more
  kDelay,        // hold each piece of the server's data `delay_ms` before passing it on
  kResetAfter,   // after `bytes` more server bytes: reset the client's connection
  kStallAfter,   // after `bytes` more server bytes: pass nothing more, either way
  kNoticeAfter,  // after `bytes` more server bytes, at the next message boundary:
                 // a notice of disconnection, then close
  kHugeAfter,    // the same, but the start of a message of 256 MiB, then nothing more
};

struct FaultPlan {
  Fault fault = Fault::kNone;
  int delay_ms = 0;     // kDelay
  std::size_t bytes = 0;  // kResetAfter, kStallAfter, kNoticeAfter, kHugeAfter
};

// Thread-safe: set_fault() and the accessors may be called from any thread
// while the proxy's own thread moves the data. A mutex of the loop guards the
// plan that the proxy thread picks up; a wake-up pipe tells that thread to
// look. The loop is made before the thread starts and freed after it joined.
class FaultProxy {
 public:
  // Listens on a free port of 127.0.0.1 and forwards to 127.0.0.1:upstream_port.
  explicit FaultProxy(int upstream_port);
  // Stops the thread and closes every connection.
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  bool ok() const { return port_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // "ldap://127.0.0.1:PORT/" (or with the scheme given).
  std::string uri(const char* scheme = "ldap") const;

  void set_fault(const FaultPlan& plan);
  // Connections accepted so far.
  int accepted() const { return accepted_.load(std::memory_order_acquire); }

 private:
  class Loop;

  int port_ = 0;
  std::string error_;
  std::atomic<int> accepted_{0};
  Loop* loop_ = nullptr;  // owned; runs on thread_
  std::thread thread_;
};

// A listening socket on 127.0.0.1 whose accept queue is full: the kernel
// drops further connection attempts, so connecting never completes (a server
// behind a firewall that drops packets). Needs no privileges.
class UnansweredServer {
 public:
  UnansweredServer();
  ~UnansweredServer();
  UnansweredServer(const UnansweredServer&) = delete;
  UnansweredServer& operator=(const UnansweredServer&) = delete;
  bool ok() const { return !uri_.empty(); }
  const std::string& uri() const { return uri_; }

 private:
  int listener_ = -1;
  int fillers_[2] = {-1, -1};
  std::string uri_;
};

// The port of an "ldap://host:port/" URI; 0 when it has none.
int port_of_uri(const std::string& uri);

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_SUPPORT_FAULT_PROXY_H_
