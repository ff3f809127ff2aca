// Readiness and the watchdog, told to systemd by its notification protocol.
//
// The protocol is written here by hand, not taken from libsystemd: the
// device may have no systemd at all, and the protocol is one datagram per
// message, which needs no library. NOTIFY_SOCKET names an AF_UNIX datagram
// socket, by its path or, after '@', by a name in the abstract namespace;
// each message is one datagram of NAME=VALUE lines:
//   READY=1     once the endpoint is bound and the workers run;
//   STATUS=...  one line for `systemctl status`;
//   WATCHDOG=1  the ping, while the daemon makes progress;
//   STOPPING=1  when it begins to stop.
// WATCHDOG_USEC asks for pings, every half of it (as systemd advises);
// WATCHDOG_PID, when set, names the process that it asks them of. Without
// NOTIFY_SOCKET nothing is sent and no thread runs: the daemon behaves as
// before.
//
// While pings are asked for, a thread wakes every WATCHDOG_USEC / 2. It
// judges the progress made since its last look (comm_dir_progress.h), pings
// when the daemon is alive, and otherwise does not, and says why in STATUS=
// and a trace line (again whenever the reason changes); then it sends the next probe through the daemon's own
// endpoint: a request of 128 bytes with the probe's number at byte 72
// (kProbeNumberOffset), sent without waiting for room. The receiving thread
// knows a probe by its sender, this very process as the kernel reports it
// (no other process can claim the daemon's pid), and hands its number to
// comm_dir_progress::probe_arrived.
//
// Thread-safe: ready() and stop() from the main thread; the thread alone
// sends pings and probes.
#ifndef COMMDIR_SERVICE_COMM_DIR_WATCHDOG_H_
#define COMMDIR_SERVICE_COMM_DIR_WATCHDOG_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "commdir/comm_dir_types.h"
#include "platform/commdir_thread_safety.h"
#include "service/comm_dir_progress.h"

namespace velmarosta {

class comm_dir_watchdog {
 public:
  static constexpr int kProbeNumberOffset = 72;
  static constexpr int kProbeLength = 128;

  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID; opens nothing yet.
  explicit comm_dir_watchdog(comm_dir_progress* progress);
  ~comm_dir_watchdog();
  comm_dir_watchdog(const comm_dir_watchdog&) = delete;
  comm_dir_watchdog& operator=(const comm_dir_watchdog&) = delete;

  // The daemon is ready: READY=1 with `status`, and the pings begin when
  // they are asked for.
  void ready(const std::string& status);
  // STOPPING=1, and the pings end. Once; before the workers stop.
  void stop();

 private:
  // Sends one message; false, traced once, when it cannot be sent.
  bool notify(const std::string& message);
  void run();
  // One look: ping or say why not, then send the next probe.
  void look(std::chrono::steady_clock::time_point now);
  void send_probe();

  comm_dir_progress* const progress_;
  int fd_ = -1;  // the notification socket; -1 without NOTIFY_SOCKET
  sockaddr_un address_{};
  socklen_t address_length_ = 0;
  std::chrono::microseconds interval_{0};  // 0: no pings asked for
  bool send_failed_ = false;               // traced once
  std::string ready_status_;               // the STATUS= of ready(), again after a recovery
  UINT probe_client_ = 0;
  bool probe_client_open_ = false;
  std::uint32_t probe_sent_ = 0;
  std::string why_not_;  // the thread's: why the look before did not ping; "" when it did

  commdir_sync::mutex mu_;
  commdir_sync::condition_variable cv_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_WATCHDOG_H_
