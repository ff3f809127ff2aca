#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <vector>

namespace commdir_testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kStartTlsOid[] = "1.3.6.1.4.1.1466.20037";
constexpr char kNoticeOfDisconnectionOid[] = "1.3.6.1.4.1.1466.20036";
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagExtendedRequest = 0x77;
constexpr unsigned char kTagExtendedResponse = 0x78;
constexpr unsigned char kTagRequestName = 0x80;
constexpr unsigned char kTagResponseName = 0x8A;
constexpr int kResultSuccess = 0;
constexpr int kResultUnavailable = 52;
// Past this much data waiting for a slow peer, the proxy stops reading from
// the other side: the kernel's buffers then push back on the sender.
constexpr std::size_t kBackpressure = 256 * 1024;

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A TCP socket listening on 127.0.0.1 on a free port; -1 on failure.
int listen_on_free_port(int backlog, int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Length of the BER element at the start of `data`: 0 while incomplete,
// std::string::npos when it cannot be an LDAP message (a TLS record, say).
std::size_t ber_element_size(const std::string& data) {
  if (data.size() < 2) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
  std::size_t header = 2;
  std::size_t length = byte(1);
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4) return std::string::npos;
    if (data.size() < 2 + count) return 0;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | byte(2 + i);
    header += count;
  }
  return data.size() - header >= length ? header + length : 0;
}

// Reads one element of `tag` at *pos of `message`; false when it is not there.
bool read_element(const std::string& message, std::size_t* pos, unsigned char tag, std::string* value) {
  if (*pos >= message.size() || static_cast<unsigned char>(message[*pos]) != tag) return false;
  const std::size_t size = ber_element_size(message.substr(*pos));
  if (size == 0 || size == std::string::npos) return false;
  const std::size_t header = (static_cast<unsigned char>(message[*pos + 1]) & 0x80)
                                 ? 2 + (static_cast<unsigned char>(message[*pos + 1]) & 0x7F)
                                 : 2;
  *value = message.substr(*pos + header, size - header);
  *pos += header;  // into the element: the caller reads its contents next
  return true;
}

// The message id (its encoded value) of `message` when it is a StartTLS
// request; false otherwise.
bool is_start_tls(const std::string& message, std::string* message_id) {
  std::size_t pos = 0;
  std::string ignored, name;
  if (!read_element(message, &pos, kTagSequence, &ignored)) return false;
  if (!read_element(message, &pos, kTagInteger, message_id)) return false;
  pos += message_id->size();
  if (!read_element(message, &pos, kTagExtendedRequest, &ignored)) return false;
  return read_element(message, &pos, kTagRequestName, &name) && name == kStartTlsOid;
}

std::string element(unsigned char tag, const std::string& value) {
  return std::string(1, static_cast<char>(tag)) + static_cast<char>(value.size()) + value;  // short form: < 128
}

// An ExtendedResponse: result code, empty DN and message, the response name.
std::string extended_response(const std::string& message_id, int result, const char* oid) {
  const std::string body = element(0x0A, std::string(1, static_cast<char>(result))) + element(0x04, "") +
                           element(0x04, "") + element(kTagResponseName, oid);
  return element(kTagSequence, element(kTagInteger, message_id) + element(kTagExtendedResponse, body));
}

}  // namespace

// The proxy's thread: one poll() over the listener, the wake-up pipe and both
// sockets of every connection. Everything but `mu_`, `plan_` and
// `plan_generation_` belongs to that thread alone.
class FaultProxy::Loop {
 public:
  Loop(int listener, int upstream_port, std::atomic<int>* accepted)
      : listener_(listener), upstream_port_(upstream_port), accepted_(accepted) {}

  ~Loop() {
    for (Link& link : links_) close_link(&link);
    close_fd(&listener_);
    close_fd(&wake_[0]);
    close_fd(&wake_[1]);
  }

  bool open_wake_pipe() { return pipe2(wake_, O_CLOEXEC | O_NONBLOCK) == 0; }

  void post(const FaultPlan& plan) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      plan_ = plan;
      ++plan_generation_;
    }
    wake();
  }

  void quit() {
    quitting_.store(true, std::memory_order_release);
    wake();
  }

  void run() {
    while (!quitting_.load(std::memory_order_acquire)) {
      take_plan();
      std::vector<pollfd> fds;
      std::vector<Link*> owners;
      watch(&fds, &owners);
      if (poll(fds.data(), fds.size(), poll_timeout_ms()) < 0 && errno != EINTR) return;
      drain_wake_pipe(fds[0]);
      if (fds[1].revents & POLLIN) accept_one();
      for (std::size_t i = 2; i < fds.size(); ++i) serve(owners[i], fds[i]);
      links_.remove_if([](const Link& link) { return link.client < 0; });
    }
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  struct Link {
    int client = -1;
    int server = -1;                   // -1: never connected (kRefuse, kSwallow)
    std::deque<Chunk> to_client;
    std::string to_server;
    FaultPlan stream;                  // the stream fault and its remaining budget
    bool swallow = false;              // the client's data is dropped
    bool watch_tls = false;            // looking for the start of TLS
    std::string client_partial;        // watch_tls: an LDAP message not yet whole
    std::string server_partial;        // kNoticeAfter, kHugeAfter: a server message not yet whole
    bool stalled = false;              // nothing more is passed on, either way
    bool reset_when_flushed = false;   // then a reset
    bool close_when_flushed = false;   // then an orderly close
  };

  void wake() {
    const char byte = 1;
    if (write(wake_[1], &byte, 1) < 0) {
      // A full pipe already wakes the thread.
    }
  }

  void drain_wake_pipe(const pollfd& fd) {
    char bytes[64];
    if (fd.revents & POLLIN) {
      while (read(wake_[0], bytes, sizeof bytes) > 0) {
      }
    }
  }

  void take_plan() {
    std::lock_guard<std::mutex> lock(mu_);
    if (plan_generation_ == seen_generation_) return;
    seen_generation_ = plan_generation_;
    current_ = plan_;
    for (Link& link : links_) link.stream = is_stream_fault(current_.fault) ? current_ : FaultPlan{};
  }

  static bool is_stream_fault(Fault fault) {
    return fault == Fault::kDelay || fault == Fault::kResetAfter || fault == Fault::kStallAfter ||
           fault == Fault::kNoticeAfter || fault == Fault::kHugeAfter;
  }

  void watch(std::vector<pollfd>* fds, std::vector<Link*>* owners) {
    fds->push_back({wake_[0], POLLIN, 0});
    fds->push_back({listener_, POLLIN, 0});
    owners->resize(2, nullptr);
    const Clock::time_point now = Clock::now();
    for (Link& link : links_) {
      std::size_t waiting = 0;
      for (const Chunk& chunk : link.to_client) waiting += chunk.bytes.size();
      short client_events = link.to_server.size() < kBackpressure ? POLLIN : 0;
      if (!link.to_client.empty() && link.to_client.front().due <= now) client_events |= POLLOUT;
      fds->push_back({link.client, client_events, 0});
      owners->push_back(&link);
      if (link.server >= 0) {
        short server_events = waiting < kBackpressure ? POLLIN : 0;
        if (!link.to_server.empty()) server_events |= POLLOUT;
        fds->push_back({link.server, server_events, 0});
        owners->push_back(&link);
      }
    }
  }

  // Until the next delayed chunk is due; -1 when none waits.
  int poll_timeout_ms() const {
    Clock::time_point earliest = Clock::time_point::max();
    for (const Link& link : links_) {
      if (!link.to_client.empty()) earliest = std::min(earliest, link.to_client.front().due);
    }
    if (earliest == Clock::time_point::max()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left + 1));
  }

  void accept_one() {
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    take_plan();  // a plan posted just before the connect applies to it
    accepted_->fetch_add(1, std::memory_order_acq_rel);
    if (current_.fault == Fault::kRefuse) {
      close(client);
      return;
    }
    Link link;
    link.client = client;
    link.stream = is_stream_fault(current_.fault) ? current_ : FaultPlan{};
    link.swallow = current_.fault == Fault::kSwallow;
    link.watch_tls = current_.fault == Fault::kStallTls;
    if (!link.swallow && !connect_upstream(&link)) {
      close(client);
      return;
    }
    set_nonblocking(client);
    links_.push_back(std::move(link));
  }

  // A server that is down makes the proxy close the client's connection,
  // as the server itself would have refused it.
  bool connect_upstream(Link* link) {
    link->server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(upstream_port_);
    if (link->server < 0 || connect(link->server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close_fd(&link->server);
      return false;
    }
    return set_nonblocking(link->server);
  }

  void serve(Link* link, const pollfd& fd) {
    if (link->client < 0 || fd.revents == 0) return;
    const bool from_client = fd.fd == link->client;
    if (!from_client && fd.fd != link->server) return;  // closed earlier in this round
    if (fd.revents & POLLOUT) flush(link, from_client);
    if (link->client >= 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR))) receive(link, from_client);
  }

  void receive(Link* link, bool from_client) {
    char buffer[16384];
    const ssize_t got = recv(from_client ? link->client : link->server, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
      peer_closed(link, from_client);
      return;
    }
    const std::string bytes(buffer, static_cast<std::size_t>(got));
    if (from_client) {
      from_client_data(link, bytes);
    } else {
      from_server_data(link, bytes);
    }
  }

  // The client gone: the server goes too. The server gone: the client gets
  // what was already read, then the close; a stalled link stays silent.
  void peer_closed(Link* link, bool from_client) {
    if (from_client) {
      close_link(link);
      return;
    }
    close_fd(&link->server);
    if (link->stalled || link->swallow || link->watch_tls) return;
    link->close_when_flushed = true;
    finish_if_flushed(link);
  }

  void from_client_data(Link* link, const std::string& bytes) {
    if (link->swallow || link->stalled) return;
    if (!link->watch_tls) {
      link->to_server += bytes;
      return;
    }
    link->client_partial += bytes;
    while (link->watch_tls && !link->client_partial.empty()) {
      const std::size_t size = ber_element_size(link->client_partial);
      if (size == 0) return;
      std::string message_id;
      if (size == std::string::npos || static_cast<unsigned char>(link->client_partial[0]) != kTagSequence) {
        stall(link);  // a TLS ClientHello: never answered
      } else if (is_start_tls(link->client_partial.substr(0, size), &message_id)) {
        queue_to_client(link, extended_response(message_id, kResultSuccess, kStartTlsOid), Clock::now());
        stall(link);  // the handshake that follows is never answered
      } else {
        link->to_server += link->client_partial.substr(0, size);
        link->client_partial.erase(0, size);
      }
    }
  }

  void stall(Link* link) {
    link->watch_tls = false;
    link->stalled = true;
    link->client_partial.clear();
  }

  void from_server_data(Link* link, const std::string& bytes) {
    if (link->stalled || link->swallow) return;
    FaultPlan& stream = link->stream;
    if (stream.fault == Fault::kDelay) {
      queue_to_client(link, bytes, Clock::now() + std::chrono::milliseconds(stream.delay_ms));
      return;
    }
    if (stream.fault == Fault::kNoticeAfter || stream.fault == Fault::kHugeAfter) {
      notice_at_boundary(link, bytes);
      return;
    }
    if (stream.fault != Fault::kResetAfter && stream.fault != Fault::kStallAfter) {
      queue_to_client(link, bytes, Clock::now());
      return;
    }
    const std::size_t passed = std::min(stream.bytes, bytes.size());
    stream.bytes -= passed;
    if (passed > 0) queue_to_client(link, bytes.substr(0, passed), Clock::now());
    if (passed < bytes.size()) cut(link);
  }

  // A server sends its notice between two messages, never inside one: whole
  // messages pass until the budget is spent, and the notice takes the place
  // of the next one.
  void notice_at_boundary(Link* link, const std::string& bytes) {
    link->server_partial += bytes;
    for (;;) {
      const std::size_t size = ber_element_size(link->server_partial);
      if (size == 0) return;
      if (link->stream.bytes == 0 || size == std::string::npos) {
        link->server_partial.clear();
        cut(link);
        return;
      }
      queue_to_client(link, link->server_partial.substr(0, size), Clock::now());
      link->server_partial.erase(0, size);
      link->stream.bytes -= std::min(size, link->stream.bytes);
    }
  }

  // The server's data ran past the budget of the stream fault.
  void cut(Link* link) {
    const Fault fault = link->stream.fault;
    link->stream = FaultPlan{};
    link->stalled = true;
    if (fault == Fault::kStallAfter) return;
    if (fault == Fault::kHugeAfter) {
      // A SEQUENCE whose length, in four bytes, is 256 MiB.
      queue_to_client(link, std::string("\x30\x84\x10\x00\x00\x00\x02\x01\x02", 9), Clock::now());
      return;
    }
    if (fault == Fault::kNoticeAfter) {
      queue_to_client(link, extended_response(std::string(1, '\0'), kResultUnavailable, kNoticeOfDisconnectionOid),
                      Clock::now());
      link->close_when_flushed = true;
    } else {
      link->reset_when_flushed = true;
    }
    finish_if_flushed(link);
  }

  void queue_to_client(Link* link, const std::string& bytes, Clock::time_point due) {
    link->to_client.push_back(Chunk{due, bytes});
  }

  void flush(Link* link, bool to_client) {
    if (to_client) {
      const Clock::time_point now = Clock::now();
      while (!link->to_client.empty() && link->to_client.front().due <= now) {
        std::string& bytes = link->to_client.front().bytes;
        if (!send_some(link, link->client, &bytes)) return;
        if (!bytes.empty()) return;
        link->to_client.pop_front();
      }
      finish_if_flushed(link);
    } else if (link->server >= 0) {
      send_some(link, link->server, &link->to_server);
    }
  }

  // Sends what the socket takes; false (and the link closed) on an error.
  bool send_some(Link* link, int fd, std::string* bytes) {
    const ssize_t sent = send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (sent < 0) {
      close_link(link);
      return false;
    }
    bytes->erase(0, static_cast<std::size_t>(sent));
    return true;
  }

  void finish_if_flushed(Link* link) {
    if (!link->to_client.empty() || link->client < 0) return;
    if (link->reset_when_flushed) {
      const linger abort_at_close{1, 0};  // close() then sends a reset
      setsockopt(link->client, SOL_SOCKET, SO_LINGER, &abort_at_close, sizeof abort_at_close);
      close_link(link);
    } else if (link->close_when_flushed) {
      close_link(link);
    }
  }

  void close_link(Link* link) {
    close_fd(&link->client);
    close_fd(&link->server);
  }

  int listener_;
  const int upstream_port_;
  std::atomic<int>* accepted_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> quitting_{false};
  std::list<Link> links_;  // stable addresses while poll's owners point at them
  FaultPlan current_;      // the plan the thread works with

  std::mutex mu_;
  FaultPlan plan_;                    // guarded by mu_
  unsigned plan_generation_ = 0;      // guarded by mu_
  unsigned seen_generation_ = 0;      // the thread's own
};

FaultProxy::FaultProxy(int upstream_port) {
  int port = 0;
  const int listener = listen_on_free_port(64, &port);
  if (listener < 0) {
    error_ = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
    return;
  }
  loop_ = new Loop(listener, upstream_port, &accepted_);
  if (!loop_->open_wake_pipe()) {
    error_ = std::string("cannot make the wake-up pipe: ") + std::strerror(errno);
    return;
  }
  thread_ = std::thread(&Loop::run, loop_);
  port_ = port;
}

FaultProxy::~FaultProxy() {
  if (loop_ != nullptr) loop_->quit();
  if (thread_.joinable()) thread_.join();
  delete loop_;
}

std::string FaultProxy::uri(const char* scheme) const {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/";
}

void FaultProxy::set_fault(const FaultPlan& plan) {
  if (loop_ != nullptr) loop_->post(plan);
}

UnansweredServer::UnansweredServer() {
  int port = 0;
  // A backlog of 0 lets one connection wait to be accepted; with it there,
  // the queue is full and the kernel drops every further SYN.
  listener_ = listen_on_free_port(0, &port);
  if (listener_ < 0) return;
  sockaddr_in address = loopback(port);
  for (int& filler : fillers_) {
    filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (filler >= 0) connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  uri_ = "ldap://127.0.0.1:" + std::to_string(port) + "/";
}

UnansweredServer::~UnansweredServer() {
  for (int& filler : fillers_) close_fd(&filler);
  close_fd(&listener_);
}

int port_of_uri(const std::string& uri) {
  const std::size_t colon = uri.rfind(':');
  if (colon == std::string::npos) return 0;
  return std::atoi(uri.c_str() + colon + 1);
}

}  // namespace commdir_testing
