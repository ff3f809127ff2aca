// What an operator relies on besides the answers: the daemon tells systemd
// that it is ready and pings the watchdog while it makes progress, and stops
// pinging when a worker hangs; a SIGHUP sends its trace to a new file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "integration/service_wire.h"
#include "support/child_process.h"
#include "support/read_file.h"

namespace velmarosta {
namespace {

using commdir_testing::Environment;
using commdir_testing::ServiceProcess;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

// A private folder of the test, removed with what is in it.
class scratch_folder {
 public:
  scratch_folder() { path_ = commdir_testing::make_private_folder("commdir-operating", error_); }
  ~scratch_folder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  std::string error_;
};

// Stands in for systemd's notification socket: a datagram socket bound at
// a path, or at a name of the abstract namespace ('@' and the name).
class notify_listener {
 public:
  explicit notify_listener(const std::string& name) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.c_str(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~notify_listener() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return bound_; }

  // The next message within `limit`, or "".
  std::string next(milliseconds limit) {
    timeval timeout{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char message[4096];
    const ssize_t got = ::recv(fd_, message, sizeof message, 0);
    return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
  }

  // How many pings came within `span`.
  int pings_within(milliseconds span) {
    int pings = 0;
    const auto end = std::chrono::steady_clock::now() + span;
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
      if (next(std::chrono::duration_cast<milliseconds>(end - now) + 1ms) == "WATCHDOG=1") ++pings;
    }
    return pings;
  }

  // Waits up to `limit` for a message that holds `text`; false when none came.
  bool wait_for(const std::string& text, milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (next(100ms).find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  int fd_;
  bool bound_ = false;
};

void send_to_daemon(const std::string& ipc_dir, const std::vector<char>& bytes) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = ipc_dir + "/COMM_DIR_SRV";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address),
            static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

TEST(ServiceOperatingTest, ReadyThenPingsWhileItMakesProgress) {
  struct Row {
    const char* what;
    bool abstract;             // NOTIFY_SOCKET names an abstract socket
    const char* watchdog_pid;  // WATCHDOG_PID, or null for none
    bool pings;
  };
  const Row kRows[] = {
      {"a path; pings asked for, then a worker hangs", false, nullptr, true},
      {"an abstract name; pings asked of another process", true, "1", false},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    scratch_folder folder;
    ASSERT_NE(folder.path(), "") << folder.error();
    const std::string name = row.abstract ? "@commdir-notify-" + std::to_string(::getpid()) : folder.path() + "/notify";
    notify_listener systemd(name);
    ASSERT_TRUE(systemd.ok());
    Environment env = {{"NOTIFY_SOCKET", name},
                       {"WATCHDOG_USEC", "400000"},
                       {"LD_PRELOAD", COMMDIR_LDAP_HANG},
                       {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    if (row.watchdog_pid != nullptr) env.emplace_back("WATCHDOG_PID", row.watchdog_pid);
    ServiceProcess service(COMMDIR_SERVICE_BIN, {"--hung-after=1"}, nullptr, env);
    ASSERT_TRUE(service.ok()) << service.error();
    EXPECT_EQ(systemd.next(5000ms).rfind("READY=1\n", 0), 0u);
    const int pings = systemd.pings_within(1500ms);
    if (!row.pings) {
      EXPECT_EQ(pings, 0);
      continue;
    }
    EXPECT_GE(pings, 3);  // every 200 ms
    COMM_DIR_START_OPERATION_REQUEST start{};
    std::strcpy(start.connect.uri, "ldap://hang.invalid/");
    send_to_daemon(service.ipc_dir(),
                   service_wire::request_form(COMM_DIR_FUNC_START_OPERATION, 1, &start, sizeof start));
    EXPECT_TRUE(systemd.wait_for("STATUS=not pinging the watchdog: worker", 10000ms)) << service.log();
    EXPECT_EQ(systemd.pings_within(1500ms), 0);
    ::kill(service.pid(), SIGKILL);  // its hung worker would hold a clean stop for good
  }
}

// Waits up to 10 s until the file at `path` holds `text`.
bool file_gets(const std::string& path, const std::string& text) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (commdir_testing::read_file(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(ServiceOperatingTest, SighupSendsTheTraceToANewFile) {
  scratch_folder folder;
  ASSERT_NE(folder.path(), "") << folder.error();
  const std::string trace = folder.path() + "/trace.log";
  ServiceProcess service(COMMDIR_SERVICE_BIN, {}, nullptr, {{"COMM_DIR_TRACE", trace}});
  ASSERT_TRUE(service.ok()) << service.error();
  ASSERT_TRUE(file_gets(trace, "serving utcp:COMM_DIR_SRV"));
  ASSERT_EQ(::rename(trace.c_str(), (trace + ".1").c_str()), 0);
  ASSERT_EQ(::kill(service.pid(), SIGHUP), 0);
  ASSERT_TRUE(file_gets(trace, "SIGHUP: trace file reopened"));
  std::vector<char> not_a_request = service_wire::request_form(COMM_DIR_FUNC_FREE_MSG, 1);
  service_wire::put_word(not_a_request, 76, 1);  // "replied": the daemon drops it, with a line
  send_to_daemon(service.ipc_dir(), not_a_request);
  EXPECT_TRUE(file_gets(trace, "dropped a message")) << commdir_testing::read_file(trace);
  const std::string moved = commdir_testing::read_file(trace + ".1");
  EXPECT_NE(moved.find("SIGHUP: reopening the trace file"), std::string::npos) << moved;
  EXPECT_EQ(moved.find("dropped a message"), std::string::npos) << moved;
  EXPECT_EQ(service.stop(), 0) << "a clean stop after SIGHUP";
}

}  // namespace
}  // namespace velmarosta
