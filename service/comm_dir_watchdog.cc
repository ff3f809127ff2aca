#include "service/comm_dir_watchdog.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

constexpr char kProbeClient[] = "COMM_DIR_SRV_WDG";

// The socket address that NOTIFY_SOCKET names: an absolute path, or '@' and
// a name in the abstract namespace. False for anything else, or a name too
// long for a socket address.
bool notification_address(const char* name, sockaddr_un* address, socklen_t* length) {
  const std::size_t size = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || size >= sizeof address->sun_path) return false;
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, name, size);
  const bool abstract = name[0] == '@';
  if (abstract) address->sun_path[0] = '\0';
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + (abstract ? 0 : 1));
  return true;
}

// A decimal number of the environment, or 0 when it is unset or not one.
unsigned long long environment_number(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return errno != 0 || *end != '\0' ? 0 : value;
}

// The shortest interval between pings: a WATCHDOG_USEC below twice this
// is a mistake, and following it would keep the daemon's endpoint busy
// with probes.
constexpr std::chrono::milliseconds kShortestInterval(10);

// Half of WATCHDOG_USEC when pings are asked of this process; else 0.
std::chrono::microseconds ping_interval() {
  const unsigned long long usec = environment_number("WATCHDOG_USEC");
  if (usec == 0) return std::chrono::microseconds(0);
  if (std::getenv("WATCHDOG_PID") != nullptr &&
      environment_number("WATCHDOG_PID") != static_cast<unsigned long long>(::getpid())) {
    SERVICE_TRACE("WATCHDOG_PID names another process: no pings");
    return std::chrono::microseconds(0);
  }
  return std::max<std::chrono::microseconds>(std::chrono::microseconds(usec / 2), kShortestInterval);
}

// Why the daemon is not alive; "" when it is. The same words while the
// same cause lasts, so that STATUS= and the trace change only with it.
std::string why_not_alive(const comm_dir_progress::verdict& verdict, std::chrono::seconds hung_after) {
  if (verdict.alive) return "";
  if (verdict.receiver_stuck)
    return "the receiving thread has dispatched nothing since the last look, not even the watchdog's probe";
  return "worker " + std::to_string(verdict.hung_worker) + " has been busy on one request for longer than " +
         std::to_string(hung_after.count()) + " s (--hung-after)";
}

}  // namespace

comm_dir_watchdog::comm_dir_watchdog(comm_dir_progress* progress) : progress_(progress) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || name[0] == '\0') return;
  if (!notification_address(name, &address_, &address_length_)) {
    SERVICE_TRACE(
        "NOTIFY_SOCKET=%s is neither an absolute path nor '@' and a name that fit a socket address: "
        "not notifying",
        name);
    return;
  }
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    SERVICE_TRACE("cannot make a socket to notify %s: %s", name, std::strerror(errno));
    return;
  }
  interval_ = ping_interval();
}

comm_dir_watchdog::~comm_dir_watchdog() {
  stop();
  if (fd_ >= 0) ::close(fd_);
}

void comm_dir_watchdog::ready(const std::string& status) {
  if (fd_ < 0) return;
  ready_status_ = status;
  notify("READY=1\nSTATUS=" + status);
  if (interval_.count() == 0) return;
  SERVICE_TRACE(
      "pinging the watchdog every %lld ms while the daemon makes progress (a worker on one request "
      "for over %lld s counts as hung)",
      static_cast<long long>(interval_.count() / 1000),
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(progress_->hung_after()).count()));
  send_probe();
  try {
    thread_ = std::thread(&comm_dir_watchdog::run, this);
  } catch (const std::system_error& e) {
    SERVICE_TRACE("cannot start the watchdog's thread (%s): no pings", e.what());
  }
}

void comm_dir_watchdog::stop() {
  {
    commdir_sync::lock_guard lock(mu_);
    if (fd_ < 0 || stopping_) return;
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  notify("STOPPING=1");
  if (probe_client_open_) emwGENIpcDestroyClient(probe_client_);
  probe_client_open_ = false;
}

bool comm_dir_watchdog::notify(const std::string& message) {
  const ssize_t sent = ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address_), address_length_);
  if (sent == static_cast<ssize_t>(message.size())) return true;
  if (!send_failed_) SERVICE_TRACE("cannot notify NOTIFY_SOCKET: %s", std::strerror(errno));
  send_failed_ = true;
  return false;
}

void comm_dir_watchdog::run() {
  commdir_sync::unique_lock lock(mu_);
  while (!cv_.wait_for(lock, interval_, [this]() REQUIRES(mu_) { return stopping_; })) {
    lock.unlock();
    look(std::chrono::steady_clock::now());
    lock.lock();
  }
}

void comm_dir_watchdog::look(std::chrono::steady_clock::time_point now) {
  const comm_dir_progress::verdict verdict = progress_->judge(probe_sent_, now);
  const std::string why =
      why_not_alive(verdict, std::chrono::duration_cast<std::chrono::seconds>(progress_->hung_after()));
  if (why != why_not_) {
    if (why.empty()) {
      SERVICE_TRACE("making progress again: pinging the watchdog");
      notify("STATUS=" + ready_status_);
    } else {
      SERVICE_TRACE("not pinging the watchdog: %s", why.c_str());
      notify("STATUS=not pinging the watchdog: " + why);
    }
    why_not_ = why;
  }
  if (verdict.alive) notify("WATCHDOG=1");
  send_probe();
}

// Without waiting for room: a full queue means a busy receiving thread,
// which the next look sees in its count.
void comm_dir_watchdog::send_probe() {
  const std::uint32_t number = ++probe_sent_;
  if (!probe_client_open_) {
    probe_client_open_ = emwGENIpcCreateClient(kProbeClient, COMM_DIR_SERVICE_SERVER_NAME, 0, 0,
                                               COMM_DIR_IPC_ID_SERVICE, &probe_client_) == 0;
    if (!probe_client_open_) {
      SERVICE_TRACE("cannot reach %s for the watchdog's probe", COMM_DIR_SERVICE_SERVER_NAME);
      return;
    }
  }
  char probe[kProbeLength] = {};
  std::memcpy(probe + kProbeNumberOffset, &number, sizeof number);
  emwGENIpcCallClient(probe_client_, GEN_IPC_KIND_REQUEST, 0, 0, probe, kProbeLength, nullptr, 0, nullptr, 0);
}

}  // namespace velmarosta
