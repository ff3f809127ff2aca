#include "integration/fault_proxy.h"

#include "integration/harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace commdir_testing {
namespace {

constexpr char kStartTls[] = "1.3.6.1.4.1.1466.20037";
constexpr char kNoticeOfDisconnection[] = "1.3.6.1.4.1.1466.20036";

// Size of the BER element at the start of `data`; 0 while it is incomplete.
std::size_t ber_size(const std::string& data) {
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

std::string element(char tag, const std::string& value) {  // short form: under 128 bytes
  return std::string(1, tag) + static_cast<char>(value.size()) + value;
}

// An ExtendedResponse to message `id` (its encoded bytes).
std::string extended_response(const std::string& id, char result, const char* name) {
  const std::string body = element(0x0A, std::string(1, result)) + element(0x04, "") + element(0x04, "") +
                           element(static_cast<char>(0x8A), name);
  return element(0x30, element(0x02, id) + element(0x78, body));
}

bool send_all(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool reset_at_close(int fd) {
  const linger abort{1, 0};
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
}

}  // namespace

FaultProxy::FaultProxy(int upstream_port) : upstream_port_(upstream_port) {
  listener_ = listen_on(&port_, 64);
  acceptor_ = std::thread(&FaultProxy::accept_connections, this);
}

FaultProxy::~FaultProxy() {
  quit_ = true;
  acceptor_.join();
  for (std::thread& relay : relays_) relay.join();
  if (listener_ >= 0) close(listener_);
}

void FaultProxy::set(const FaultPlan& plan) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    plan_ = plan;
    ++generation_;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the threads look every 20 ms
}

FaultPlan FaultProxy::current(unsigned* generation) {
  std::lock_guard<std::mutex> lock(mu_);
  *generation = generation_;
  return plan_;
}

// A server that is gone refuses connections: the proxy stops listening.
void FaultProxy::accept_connections() {
  for (unsigned generation = 0; !quit_;) {
    const bool down = current(&generation).fault == Fault::kDown;
    int port = port_;
    if (down && listener_ >= 0) close(listener_);
    if (down || listener_ < 0) listener_ = down ? -1 : listen_on(&port, 64);
    pollfd incoming{listener_, POLLIN, 0};
    if (poll(&incoming, 1, 20) == 1) {
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) relays_.emplace_back(&FaultProxy::relay, this, client);
    }
  }
}

// One connection, on a thread of its own. A plan applies from the moment it
// is set: a stream fault counts the server's messages from then on.
void FaultProxy::relay(int client) {
  unsigned seen = 0;
  FaultPlan plan = current(&seen);
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = loopback(upstream_port_);
  bool closing = connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
  relayed_ += !closing;
  std::string from_server;
  bool stalled = false;
  for (pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}}; !quit_ && !closing;) {
    unsigned generation = 0;
    const FaultPlan next = current(&generation);
    if (generation != seen) {
      seen = generation;
      plan = next;
    }
    if (plan.fault == Fault::kDown) {
      reset_at_close(client);
      break;
    }
    if (poll(fds, 2, 20) <= 0) continue;
    char bytes[16384];
    if (fds[0].revents != 0) {
      const ssize_t got = recv(client, bytes, sizeof bytes, 0);
      if (got <= 0) break;
      const std::string message(bytes, static_cast<std::size_t>(got));
      if (plan.fault == Fault::kStallTls && !stalled && message.find(kStartTls) != std::string::npos) {
        // The message id follows the SEQUENCE's two bytes: 02, its length, its bytes.
        send_all(client, extended_response(message.substr(4, static_cast<unsigned char>(message[3])), 0, kStartTls));
        stalled = true;
      }
      if (!stalled) send_all(server, message);
    }
    if (fds[1].revents != 0) {
      const ssize_t got = recv(server, bytes, sizeof bytes, 0);
      if (got <= 0) {
        fds[1].fd = -1;  // a stalled client hears nothing of it either
        closing = !stalled;
      }
      if (got <= 0 || stalled) continue;
      if (plan.fault == Fault::kDelay) std::this_thread::sleep_for(std::chrono::milliseconds(plan.delay_ms));
      from_server.append(bytes, static_cast<std::size_t>(got));
      for (std::size_t size; !stalled && (size = ber_size(from_server)) > 0; from_server.erase(0, size)) {
        if (plan.fault < Fault::kStall || plan.messages-- > 0) {
          send_all(client, from_server.substr(0, size));
          continue;
        }
        stalled = true;
        if (plan.fault == Fault::kNotice) send_all(client, extended_response({'\0'}, 52, kNoticeOfDisconnection));
        if (plan.fault == Fault::kHuge) send_all(client, std::string("\x30\x84\x10\x00\x00\x00\x02\x01\x02", 9));
        closing = plan.fault == Fault::kNotice || (plan.fault == Fault::kReset && reset_at_close(client));
      }
    }
  }
  close(client);
  close(server);
}

}  // namespace commdir_testing
