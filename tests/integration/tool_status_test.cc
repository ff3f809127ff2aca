// comm-dir status against a daemon that holds something of everything: an
// operation of each of two users, one of them on a URI list that failed
// over, and replies kept for an application of the other that does not
// read. Root sees all of it; each user sees its own and nothing of the
// other's.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commdir/comm_dir_facade.h"
#include "integration/service_wire.h"
#include "support/child_process.h"
#include "support/service_process.h"
#include "support/slapd_fixture.h"

namespace commdir_testing {
namespace {

namespace wire = velmarosta::service_wire;
constexpr uid_t kFailedOver = 64891;  // its operation's list failed over
constexpr uid_t kDeaf = 64892;        // its application does not read its replies
constexpr uid_t kStranger = 64893;    // a user that the daemon does not serve
constexpr char kDeadUri[] = "ldap://127.0.0.1:1/";

// A child that becomes `user` and runs `body`, which writes one byte to
// `fd` once it holds what the test looks at, and then waits to be killed
// (at the end of the test, also when it fails).
class user_process {
 public:
  user_process(uid_t user, const std::function<void(int fd)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0) _exit(2);
      body(fds[1]);
      for (;;) pause();
    }
    close(fds[1]);
    ready_fd_ = fds[0];
  }
  ~user_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (ready_fd_ >= 0) close(ready_fd_);
  }
  bool ready() {
    pollfd ready{ready_fd_, POLLIN, 0};
    char byte = 0;
    return pid_ > 0 && poll(&ready, 1, 20000) == 1 && read(ready_fd_, &byte, 1) == 1 && byte == 1;
  }

 private:
  pid_t pid_ = -1;
  int ready_fd_ = -1;
};

void say_ready(int fd, bool ready) {
  const char byte = ready ? 1 : 0;
  if (write(fd, &byte, 1) != 1) _exit(3);
}

// Opens an operation through the library on `uris` and keeps it.
void open_operation(const std::string& uris, int fd) {
  velmarosta::COMM_DIR_CONNECT_INFO connect{};
  std::snprintf(connect.uri, sizeof connect.uri, "%s", uris.c_str());
  UINT operation = 0;
  say_ready(fd,
            velmarosta::comm_dir_facade::comm_dir_get_instance()->start_operation(connect, nullptr, &operation) == 0);
}

// Binds a reply server that never reads, opens an operation answered to it
// and sends more requests than its queue holds: their replies are kept.
void open_operation_and_read_nothing(const std::string& folder, const std::string& uri, int fd) {
  const int deaf = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/DIR_CS_deaf", folder.c_str());
  if (deaf < 0 || bind(deaf, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(4);
  velmarosta::COMM_DIR_START_OPERATION_REQUEST start{};
  std::snprintf(start.connect.uri, sizeof start.connect.uri, "%s", uri.c_str());
  std::vector<std::vector<char>> requests = {
      wire::request_form(velmarosta::COMM_DIR_FUNC_START_OPERATION, 1, &start, sizeof start)};
  for (UINT tag = 2; tag < 40; ++tag) requests.push_back(wire::request_form(velmarosta::COMM_DIR_FUNC_FREE_MSG, tag));
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/COMM_DIR_SRV", folder.c_str());
  const int daemon = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool sent = daemon >= 0;
  for (std::vector<char>& request : requests) {
    std::strcpy(request.data() + 84, "utcp:DIR_CS_deaf");
    sent = sent && sendto(daemon, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) == static_cast<ssize_t>(request.size());
  }
  say_ready(fd, sent);
}

class ToolStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two other users";
    slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK, SlapdFixture::Tls::kNone);
    ASSERT_TRUE(slapd_->ok()) << slapd_->error();
    service_ = std::make_unique<ServiceProcess>(
        COMMDIR_SERVICE_BIN, std::vector<std::string>{"--allow-uid=64891,64892", "--reply-wait=60000"},
        [](const std::string& dir) { ASSERT_EQ(chmod(dir.c_str(), 01777), 0); });
    ASSERT_TRUE(service_->ok()) << service_->error();
  }

  // comm-dir status as `user`. comm-dir leaves its reply server's socket
  // behind, which another user may not replace in the shared folder.
  CommandResult status(uid_t user, bool json) {
    std::vector<std::string> argv = {"setpriv",
                                     "--reuid=" + std::to_string(user),
                                     "--regid=" + std::to_string(user),
                                     "--clear-groups",
                                     COMMDIR_TOOL_BIN,
                                     "status"};
    if (json) argv.push_back("--json");
    CommandResult result = run_command(argv);
    unlink((service_->ipc_dir() + "/DIR_CS_comm-di").c_str());
    return result;
  }

  std::unique_ptr<SlapdFixture> slapd_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ToolStatusTest, ShowsEachUserItsOwnAndRootEverything) {
  const std::string uri = slapd_->uri();
  const std::string list = std::string(kDeadUri) + " " + uri;
  user_process failed_over(kFailedOver, [&](int fd) { open_operation(list, fd); });
  user_process deaf(kDeaf, [&](int fd) { open_operation_and_read_nothing(service_->ipc_dir(), uri, fd); });
  ASSERT_TRUE(failed_over.ready());
  ASSERT_TRUE(deaf.ready());
  const std::string both_open = "\"by_uid\":{\"64891\":1,\"64892\":1}";
  const std::string kept = "\"64892\":{\"replies\":";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (std::string seen; (seen.find(both_open) == std::string::npos || seen.find(kept) == std::string::npos) &&
                         std::chrono::steady_clock::now() < end;) {
    seen = status(0, true).out;
  }

  struct Row {
    uid_t viewer;
    bool json;
    std::vector<std::string> shown;  // in the output; for a refusal, in the message
    std::vector<std::string> hidden;
    int exit_code = 0;
  };
  const Row rows[] = {
      {0,
       true,
       {"\"everything\":true", both_open, "\"uid\":64891,\"uris\":\"" + list + "\",\"in_use\":\"" + uri + "\"",
        "\"last_failure\":{\"uri\":\"" + std::string(kDeadUri) + "\",\"code\":\"0x34092001\"", kept,
        "\"counters\":{\"served\":"},
       {}},
      {0,
       false,
       {"view: everything", "by uid: 64891: 1, 64892: 1", "in use: \"" + uri + "\"",
        "failback: ", "; by uid: 64892: ", "requests: "},
       {}},
      {kFailedOver,
       true,
       {"\"everything\":false", "\"by_uid\":{\"64891\":1}", "\"in_use\":\"" + uri + "\""},
       {"64892", "\"counters\"", "\"open\"", "\"kept\":{\"replies\""}},
      {kDeaf,
       false,
       {"view: what is uid 64892's", "operations open: by uid: 64892: 1", "kept replies: by uid: 64892: "},
       {"64891", kDeadUri, "requests: ", " of 1024", "notices; by uid"}},
      {kStranger, true, {"does not serve"}, {}, 80},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("uid " + std::to_string(row.viewer) + (row.json ? " --json" : ""));
    const CommandResult result = status(row.viewer, row.json);
    ASSERT_EQ(result.exit_code, row.exit_code) << result.err;
    const std::string& said = row.exit_code == 0 ? result.out : result.err;
    for (const std::string& text : row.shown) EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
    for (const std::string& text : row.hidden)
      EXPECT_EQ(result.out.find(text), std::string::npos) << text << "\n" << result.out;
  }
}

}  // namespace
}  // namespace commdir_testing
