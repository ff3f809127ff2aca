// The fault proxy's own checks, where a wrong proxy would make the fault
// tests prove nothing: the byte budgets cut exactly, the notice of
// disconnection and the StartTLS answer are the LDAP messages that a server
// sends, and a stalled handshake never reaches the server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/fault_proxy.h"

namespace commdir_testing {
namespace {

using Millis = std::chrono::milliseconds;

// A server for one connection: sends `greeting` once it accepted, then
// collects what it reads until the peer closes or the test ends.
class OneShotServer {
 public:
  explicit OneShotServer(std::string greeting) : greeting_(std::move(greeting)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
      port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    finish();
    close(fd_);
  }
  int port() const { return port_; }
  bool accepted() const { return accepted_; }
  // Ends the server; what it read.
  std::string finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serve() {
    pollfd listener{fd_, POLLIN, 0};
    while (!done_ && poll(&listener, 1, 50) == 0) {
    }
    if (done_) return;
    const int peer = accept(fd_, nullptr, nullptr);
    accepted_ = true;
    send(peer, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
    pollfd in{peer, POLLIN, 0};
    char buffer[4096];
    while (!done_) {
      if (poll(&in, 1, 50) <= 0) continue;
      const ssize_t got = recv(peer, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received_.append(buffer, static_cast<std::size_t>(got));
    }
    close(peer);
  }

  std::string greeting_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::atomic<bool> accepted_{false};
  std::string received_;  // the thread's until finish() joined it
  std::thread thread_;
};

struct Heard {
  std::string bytes;
  bool closed = false;  // an orderly close
  bool reset = false;
};

// Connects to the proxy, sends `request`, and collects what comes back within
// `window`, or until the connection ends.
Heard talk(const FaultProxy& proxy, const std::string& request, Millis window = Millis(400)) {
  Heard heard;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(proxy.port()));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return heard;
  if (!request.empty()) send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  const auto end = std::chrono::steady_clock::now() + window;
  char buffer[4096];
  pollfd in{fd, POLLIN, 0};
  while (std::chrono::steady_clock::now() < end) {
    if (poll(&in, 1, 20) <= 0) continue;
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      heard.bytes.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    heard.reset = got < 0 && errno == ECONNRESET;
    heard.closed = got == 0;
    break;
  }
  close(fd);
  return heard;
}

// An LDAP-shaped message of 50 bytes: SEQUENCE of 48 bytes of `fill`.
std::string message(char fill) { return std::string("\x30\x30", 2) + std::string(48, fill); }

const std::string kNotice =  // message id 0, unavailable (52), the notice's OID
    std::string("\x30\x24\x02\x01\x00\x78\x1f\x0a\x01\x34\x04\x00\x04\x00\x8a\x16", 16) + "1.3.6.1.4.1.1466.20036";

TEST(FaultProxyTest, StreamFaultsCutWhereTheyAreTold) {
  const std::string stream = message('a') + message('b') + message('c');
  struct Row {
    const char* name;
    FaultPlan plan;
    std::string heard;
    bool closed;
    bool reset;
  };
  const Row rows[] = {
      {"no fault", {}, stream, false, false},
      {"stall after 70", {Fault::kStallAfter, 0, 70}, stream.substr(0, 70), false, false},
      {"reset after 70", {Fault::kResetAfter, 0, 70}, stream.substr(0, 70), false, true},
      {"notice after 70: at the end of the second message", {Fault::kNoticeAfter, 0, 70},
       stream.substr(0, 100) + kNotice, true, false},
      {"refuse", {Fault::kRefuse}, "", true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OneShotServer server(stream);
    FaultProxy proxy(server.port());
    ASSERT_TRUE(proxy.ok()) << proxy.error();
    proxy.set_fault(row.plan);
    const Heard heard = talk(proxy, "");
    EXPECT_EQ(heard.bytes, row.heard);
    EXPECT_EQ(heard.closed, row.closed);
    EXPECT_EQ(heard.reset, row.reset);
  }
}

TEST(FaultProxyTest, StalledTlsNeverReachesTheServer) {
  const std::string start_tls =  // message id 7
      std::string("\x30\x1d\x02\x01\x07\x77\x18\x80\x16", 9) + "1.3.6.1.4.1.1466.20037";
  const std::string success =  // message id 7, success, the StartTLS OID
      std::string("\x30\x24\x02\x01\x07\x78\x1f\x0a\x01\x00\x04\x00\x04\x00\x8a\x16", 16) + "1.3.6.1.4.1.1466.20037";
  const std::string client_hello("\x16\x03\x01\x00\x05hello", 10);
  struct Row {
    const char* name;
    std::string request;
    std::string heard;
  };
  const Row rows[] = {
      {"StartTLS: answered by the proxy, then silence", start_tls + client_hello, success},
      {"ldaps: the ClientHello is never answered", client_hello, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OneShotServer server("");
    FaultProxy proxy(server.port());
    ASSERT_TRUE(proxy.ok()) << proxy.error();
    proxy.set_fault({Fault::kStallTls});
    const Heard heard = talk(proxy, row.request);
    EXPECT_EQ(heard.bytes, row.heard);
    EXPECT_FALSE(heard.closed || heard.reset);
    EXPECT_EQ(server.finish(), "");
  }
}

TEST(FaultProxyTest, SwallowedConnectionsNeverReachTheServer) {
  OneShotServer server("greeting");
  FaultProxy proxy(server.port());
  ASSERT_TRUE(proxy.ok()) << proxy.error();
  proxy.set_fault({Fault::kSwallow});
  const Heard heard = talk(proxy, "request");
  EXPECT_EQ(heard.bytes, "");
  EXPECT_FALSE(heard.closed || heard.reset);
  EXPECT_FALSE(server.accepted());
  EXPECT_EQ(proxy.accepted(), 1);
}

}  // namespace
}  // namespace commdir_testing
