// A TCP proxy on 127.0.0.1 in front of slapd that fails the way servers and
// networks fail. It passes the server's data on in whole LDAP messages, so
// that a fault of the stream can count them: after the bind's answer and a
// few entries of a search, it cuts. In front of ldaps:// it counts nothing
// that means anything, but its first piece is the server's first.
#ifndef COMMDIR_TESTS_INTEGRATION_FAULT_PROXY_H_
#define COMMDIR_TESTS_INTEGRATION_FAULT_PROXY_H_

#include "integration/harness.h"

namespace commdir_testing {

enum class Fault {
  kNone,
  kDelay,   // each piece of the server's data held `delay_ms`
  kStall,   // after `messages` of the server's: nothing more, either way
  kReset,   // after `messages`: the client's connection reset
  kClose,   // after `messages`: the client's connection closed
  kNotice,  // after `messages`: a notice of disconnection, then close
  kHuge,    // after `messages`: the start of a message of 256 MiB, then nothing
};

// For each connection from its start: the server's first message answers
// the bind, or StartTLS (so that a stall after it stalls the handshake).
struct FaultPlan {
  Fault fault = Fault::kNone;
  int messages = 0;
  int delay_ms = 0;
  // In each message of the server that is passed on, every first string
  // written as the second, of the same length (so that the BER stays
  // whole): words that no real server sends.
  std::vector<std::pair<std::string, std::string>> rewrites = {};
};

class FaultProxy {
 public:
  explicit FaultProxy(int upstream_port, FaultPlan plan = {})
      : plan_(plan), upstream_port_(upstream_port), acceptor_(&FaultProxy::accept_connections, this) {}
  ~FaultProxy() {
    quit_ = true;
    acceptor_.join();
    for (std::thread& relay : relays_) relay.join();
  }
  std::string uri(const char* scheme = "ldap") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/";
  }
  // A server that is gone: its connections reset, new ones refused (the
  // proxy stops listening); and back again.
  void set_down(bool down) {
    down_ = down;
    std::this_thread::sleep_for(ms(50));  // the threads look every 20 ms
  }
  int relayed() const { return relayed_.load(); }  // connections that reached the server

 private:
  // Size of the BER element at the start of `data`; 0 while it is incomplete.
  static std::size_t ber_size(const std::string& data) {
    if (data.size() < 2) return 0;
    std::size_t header = 2, length = static_cast<unsigned char>(data[1]);
    if (length & 0x80) {
      header += length & 0x7F;
      if (data.size() < header) return 0;
      length = 0;
      for (std::size_t i = 2; i < header; ++i) length = length << 8 | static_cast<unsigned char>(data[i]);
    }
    return data.size() >= header + length ? header + length : 0;
  }
  static void send_all(int fd, const std::string& bytes) { send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  static bool reset_at_close(int fd) {
    const linger abort{1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
  }

  void accept_connections() {
    while (!quit_) {
      if (down_ == (listener_ != nullptr)) listener_.reset(down_ ? nullptr : new Listener(false, port_));
      pollfd incoming{listener_ != nullptr ? listener_->fd() : -1, POLLIN, 0};
      if (poll(&incoming, 1, 20) == 1) {
        const int client = accept4(listener_->fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) relays_.emplace_back(&FaultProxy::relay, this, client);
      }
    }
  }

  // One connection, on a thread of its own.
  void relay(int client) {
    FaultPlan plan = plan_;
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(upstream_port_);
    bool closing = connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
    relayed_ += !closing;
    std::string from_server;
    bool stalled = false;
    for (pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}}; !quit_ && !closing;) {
      if (down_) {
        reset_at_close(client);
        break;
      }
      if (poll(fds, 2, 20) <= 0) continue;
      char bytes[16384];
      if (fds[0].revents != 0) {
        const ssize_t got = recv(client, bytes, sizeof bytes, 0);
        if (got <= 0) break;
        if (!stalled) send_all(server, std::string(bytes, static_cast<std::size_t>(got)));
      }
      if (fds[1].revents != 0) {
        const ssize_t got = recv(server, bytes, sizeof bytes, 0);
        if (got <= 0) {
          fds[1].fd = -1;  // a stalled client hears nothing of it either
          closing = !stalled;
        }
        if (got <= 0 || stalled) continue;
        if (plan.fault == Fault::kDelay) std::this_thread::sleep_for(ms(plan.delay_ms));
        from_server.append(bytes, static_cast<std::size_t>(got));
        for (std::size_t size; !stalled && (size = ber_size(from_server)) > 0; from_server.erase(0, size)) {
          if (plan.fault < Fault::kStall || plan.messages-- > 0) {
            std::string message = from_server.substr(0, size);
            for (const auto& [from, to] : plan.rewrites) {
              for (std::size_t at = 0; (at = message.find(from, at)) != std::string::npos; at += to.size())
                message.replace(at, to.size(), to);
            }
            send_all(client, message);
            continue;
          }
          stalled = true;
          // A notice of disconnection: an unsolicited ExtendedResponse (message
          // 0), unavailable (52), with its name (8A, 22 bytes).
          if (plan.fault == Fault::kNotice) {
            send_all(client, std::string("\x30\x24\x02\x01\x00\x78\x1f\x0a\x01\x34\x04\x00\x04\x00\x8a\x16", 16) +
                                 "1.3.6.1.4.1.1466.20036");
          }
          if (plan.fault == Fault::kHuge) send_all(client, std::string("\x30\x84\x10\x00\x00\x00\x02\x01\x02", 9));
          closing = plan.fault == Fault::kNotice || plan.fault == Fault::kClose ||
                    (plan.fault == Fault::kReset && reset_at_close(client));
        }
      }
    }
    close(client);
    close(server);
  }

  const FaultPlan plan_;
  std::unique_ptr<Listener> listener_ = std::make_unique<Listener>();  // none while down
  const int port_ = listener_->port, upstream_port_;
  std::atomic<bool> quit_{false}, down_{false};
  std::atomic<int> relayed_{0};
  std::vector<std::thread> relays_;  // the acceptor's until it is joined
  std::thread acceptor_;             // last: it starts once the rest is there
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_INTEGRATION_FAULT_PROXY_H_
