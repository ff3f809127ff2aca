// A TCP proxy on 127.0.0.1 in front of slapd that fails, when told, the way
// servers and networks fail. It passes the server's data on in whole LDAP
// messages, so that a fault of the stream can count them: set once the bind
// is answered, it lets a few entries of a search through and then cuts.
#ifndef COMMDIR_TESTS_INTEGRATION_FAULT_PROXY_H_
#define COMMDIR_TESTS_INTEGRATION_FAULT_PROXY_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace commdir_testing {

enum class Fault {
  kNone,
  kDown,      // every connection reset, new ones refused: the server is gone
  kStallTls,  // a StartTLS request answered "success" by the proxy, then silence
  kDelay,     // each piece of the server's data held `delay_ms`
  kStall,     // after `messages` more of the server's: nothing more, either way
  kReset,     // after `messages`: the client's connection reset
  kNotice,    // after `messages`: a notice of disconnection, then close
  kHuge,      // after `messages`: the start of a message of 256 MiB, then nothing
};

struct FaultPlan {
  Fault fault = Fault::kNone;
  int messages = 0;
  int delay_ms = 0;
};

// Thread-safe: set() may be called while the proxy's threads relay.
class FaultProxy {
 public:
  explicit FaultProxy(int upstream_port);
  ~FaultProxy();
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }
  void set(const FaultPlan& plan);
  int relayed() const { return relayed_.load(); }  // connections that reached the server

 private:
  void accept_connections();
  void relay(int client);
  FaultPlan current(unsigned* generation);

  int listener_ = -1, upstream_port_, port_ = 0;
  std::atomic<bool> quit_{false};
  std::atomic<int> relayed_{0};
  std::mutex mu_;
  FaultPlan plan_;              // guarded by mu_
  unsigned generation_ = 0;     // guarded by mu_
  std::vector<std::thread> relays_;  // the acceptor's until it is joined
  std::thread acceptor_;
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_INTEGRATION_FAULT_PROXY_H_
