// Applications as separate processes against one daemon: one that is killed
// in the middle of an operation has it reclaimed, its LDAP connection closed;
// one that runs as another user is served when the daemon allows its user,
// and refused at once otherwise, and gets no more than its own share and
// files that the daemon allows every user.
//
// Each application is a child forked before this process uses the library
// (so that the child starts its own), reporting through a pipe.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"
#include "integration/service_wire.h"
#include "support/read_file.h"

namespace commdir_testing {
namespace {

using velmarosta::comm_dir_facade;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
const SearchSpec kPeople{"ou=people,dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB, "(objectClass=inetOrgPerson)",
                         "cn mail", 0};

// What a child application reports.
struct Report {
  RETCODE result = 0;
  UINT operation = 0;
  bool walk_exact = false;
  long elapsed_ms = 0;
};

// A forked application: `body` runs in the child with the write end of a
// pipe; the child is killed at the end if it still runs.
class Application {
 public:
  explicit Application(const std::function<void(int report_fd)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      body(fds[1]);
      _exit(0);
    }
    close(fds[1]);
    read_fd_ = fds[0];
  }
  ~Application() {
    if (pid_ > 0) kill();
    if (read_fd_ >= 0) close(read_fd_);
  }
  pid_t pid() const { return pid_; }

  // The child's report, waited for at most `limit`.
  bool report(Report* out, milliseconds limit = std::chrono::seconds(20)) {
    pollfd ready{read_fd_, POLLIN, 0};
    return pid_ > 0 && poll(&ready, 1, static_cast<int>(limit.count())) == 1 &&
           read(read_fd_, out, sizeof *out) == static_cast<ssize_t>(sizeof *out);
  }
  // The first `count` lines that the child wrote, each waited for at most
  // `limit`; fewer when the child wrote no more.
  std::vector<std::string> lines(std::size_t count, milliseconds limit = std::chrono::seconds(20)) {
    std::vector<std::string> lines(1);
    pollfd ready{read_fd_, POLLIN, 0};
    char byte;
    while (lines.size() <= count && poll(&ready, 1, static_cast<int>(limit.count())) == 1 &&
           read(read_fd_, &byte, 1) == 1) {
      if (byte == '\n') lines.emplace_back();
      else lines.back() += byte;
    }
    lines.pop_back();
    return lines;
  }
  void kill() {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int read_fd_ = -1;
};

void send_report(int fd, const Report& report) {
  if (write(fd, &report, sizeof report) != static_cast<ssize_t>(sizeof report)) _exit(3);
}

long since_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

// The daemon's established connections to the LDAP server at `uri`: the
// sockets whose remote port is the server's (slapd's own ends have it as
// their local port).
int connections_to(const std::string& uri) {
  const std::string::size_type colon = uri.rfind(':');
  const unsigned port = static_cast<unsigned>(std::stoul(uri.substr(colon + 1)));
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "01" && std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16) == port) ++count;
  }
  return count;
}

class ClientProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    ASSERT_TRUE(slapd_->ok()) << slapd_->error();
  }
  void TearDown() override {
    if (service_ != nullptr && HasFailure()) std::cerr << "--- comm-dir-service output ---\n" << service_->log();
    service_.reset();
    slapd_.reset();
  }
  void start_daemon(const std::vector<std::string>& args,
                    const std::function<void(const std::string&)>& prepare_folder = nullptr) {
    std::vector<std::string> all = {"-d"};
    all.insert(all.end(), args.begin(), args.end());
    service_ = std::make_unique<ServiceProcess>(COMMDIR_SERVICE_BIN, all, prepare_folder);
    ASSERT_TRUE(service_->ok()) << service_->error();
  }
  // Stops the daemon; its log then holds how many operations it ended.
  std::string stopped_log() {
    const int status = service_->stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    return service_->log();
  }

  std::unique_ptr<SlapdFixture> slapd_;
  std::unique_ptr<ServiceProcess> service_;
};

// An application that opens an operation, starts a walk, reports the
// operation and waits to be killed. Its name has blanks and parentheses, as
// /proc/PID/stat shows it: the daemon must still find the fields after it.
void open_and_hang(const std::string& uri, int report_fd) {
  prctl(PR_SET_NAME, "reclaim) 7 (x");
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  Report report;
  report.result = facade->start_operation(connect_record(uri), nullptr, &report.operation);
  timeval no_time_limit{0, 0};
  if (report.result == 0) report.result = facade->search(search_record(kPeople, report.operation), 0, no_time_limit);
  if (report.result == 0) report.result = facade->get_first_entry(report.operation);
  send_report(report_fd, report);
  for (;;) pause();
}

TEST_F(ClientProcessTest, OperationsOfAKilledProcessAreReclaimedWithTheirConnection) {
  constexpr long kIntervalMs = 500;
  start_daemon({"--reclaim-interval=" + std::to_string(kIntervalMs)});
  const std::string uri = slapd_->uri();
  Application victim([&](int fd) { open_and_hang(uri, fd); });
  Report opened;
  ASSERT_TRUE(victim.report(&opened));
  ASSERT_EQ(opened.result, 0);

  // This process's own operation, in the middle of a walk too, is kept.
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  UINT kept = 0;
  ASSERT_EQ(facade->start_operation(connect_record(uri), nullptr, &kept), 0);
  timeval no_time_limit{0, 0};
  ASSERT_EQ(facade->search(search_record(kPeople, kept), 0, no_time_limit), 0);
  ASSERT_EQ(facade->get_first_entry(kept), 0);
  ASSERT_EQ(connections_to(uri), 2);

  const pid_t victim_pid = victim.pid();
  victim.kill();
  const Clock::time_point killed = Clock::now();
  while (connections_to(uri) > 1 && since_ms(killed) < 10000) std::this_thread::sleep_for(milliseconds(20));
  const long reclaimed_ms = since_ms(killed);
  EXPECT_EQ(connections_to(uri), 1);
  EXPECT_LE(reclaimed_ms, kIntervalMs + 1500) << "the margin covers unbinding on a loaded machine";
  char line[96];
  std::snprintf(line, sizeof line, "operation %#x of pid %ld, which has ended: ended", opened.operation,
                static_cast<long>(victim_pid));
  EXPECT_NE(service_->log().find(line), std::string::npos) << line;

  EXPECT_EQ(facade->get_next_entry(kept), 0);
  EXPECT_EQ(facade->end_operation(kept), 0);
  EXPECT_NE(stopped_log().find("stopped; 0 operations ended"), std::string::npos);
}

// The daemon's folder shared with the group of `nobody`: sticky, so that no
// one removes another's endpoint.
void share_with_nogroup(const std::string& dir) {
  ASSERT_EQ(chown(dir.c_str(), 0, kNogroup), 0);
  ASSERT_EQ(chmod(dir.c_str(), 01770), 0);
}

// In the child: becomes `uid` (group `gid`), then uses the library.
void as_user(uid_t uid, gid_t gid, const std::function<Report()>& body, int report_fd) {
  if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
  send_report(report_fd, body());
}

void as_nobody(const std::function<Report()>& body, int report_fd) { as_user(kNobody, kNogroup, body, report_fd); }

TEST_F(ClientProcessTest, AnotherUserIsServedWhenAllowedAndRefusedAtOnceOtherwise) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run an application as nobody";
  const std::vector<LdifEntry> expected = without_dns(ldapsearch(*slapd_, Identity::kReader, kPeople).entries);
  ASSERT_FALSE(expected.empty());
  struct Row {
    const char* what;
    std::vector<std::string> daemon_args;
    bool served;
  };
  const Row rows[] = {
      {"allowed by uid", {"--allow-uid=12345,65534"}, true},
      {"allowed by group", {"--allow-group=65534"}, true},
      {"another user allowed", {"--allow-uid=65533"}, false},
      {"no user allowed", {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    start_daemon(row.daemon_args, share_with_nogroup);
    const std::string uri = slapd_->uri();
    Application application([&](int fd) {
      as_nobody([&] {
        comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
        Report report;
        const Clock::time_point start = Clock::now();
        if (row.served) {
          const FacadeWalk walked = walk(facade, uri, Identity::kReader, kPeople);
          report.result = walked.result;
          report.walk_exact = walked.entries == expected && walked.end_operation_result == 0;
        } else {
          report.result = facade->start_operation(connect_record(uri), nullptr, &report.operation);
        }
        report.elapsed_ms = since_ms(start);
        return report;
      }, fd);
    });
    Report report;
    ASSERT_TRUE(application.report(&report)) << "the application got no answer";
    if (row.served) {
      EXPECT_EQ(report.result, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES);
      EXPECT_TRUE(report.walk_exact);
    } else {
      EXPECT_EQ(report.result, velmarosta::COMM_DIR_SVC_NOT_ALLOWED);
      EXPECT_EQ(report.operation, 0u);
      EXPECT_LT(report.elapsed_ms, 2000);
      EXPECT_EQ(connections_to(uri), 0);
    }
    const std::string log = stopped_log();
    EXPECT_NE(log.find("stopped; 0 operations ended"), std::string::npos);
    EXPECT_EQ(log.find("(not an allowed user)") != std::string::npos, !row.served);
    if (HasFailure()) std::cerr << log;
    service_.reset();
  }
}

// In the child: asks for the first entry of another user's `operation`,
// over the wire (the child's facade would refuse an id it never got).
RETCODE first_entry_over_the_wire(UINT operation) {
  namespace wire = velmarosta::service_wire;
  if (emwGENIpcStartServer(wire::kReplyServer, velmarosta::COMM_DIR_IPC_ID_REPLY, velmarosta::COMM_DIR_IPC_STACK_SIZE,
                           &wire::take_reply) != 0)
    return -1;
  velmarosta::COMM_DIR_OPERATION_REQUEST request{};
  request.operation_id = operation;
  std::vector<char> form = wire::request_form(velmarosta::COMM_DIR_FUNC_GET_FIRST_ENTRY, 1, &request, sizeof request);
  UINT client[8] = {};
  if (emwGENIpcCreateClient("C", "utcp:COMM_DIR_SRV", 0, 0, 0, client) != 0 ||
      emwGENIpcCallClient(client[0], GEN_IPC_KIND_REQUEST, 0, 0, form.data(), static_cast<INT>(form.size()), nullptr,
                          0, nullptr, ~0ul) != 0)
    return -1;
  wire::arrived reply;
  return wire::replies().wait(1, &reply) ? reply.result() : -1;
}

TEST_F(ClientProcessTest, AnOperationServesOnlyTheUserThatOpenedIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run an application as nobody";
  start_daemon({"--allow-uid=65534"}, share_with_nogroup);
  int ids[2];
  ASSERT_EQ(pipe2(ids, O_CLOEXEC), 0);
  Application intruder([&](int fd) {
    UINT operation = 0;
    if (read(ids[0], &operation, sizeof operation) != static_cast<ssize_t>(sizeof operation)) _exit(4);
    as_nobody([&] {
      Report report;
      report.result = first_entry_over_the_wire(operation);
      return report;
    }, fd);
  });
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  UINT operation = 0;
  timeval no_time_limit{0, 0};
  ASSERT_EQ(facade->start_operation(connect_record(slapd_->uri()), nullptr, &operation), 0);
  ASSERT_EQ(facade->search(search_record(kPeople, operation), 0, no_time_limit), 0);
  ASSERT_EQ(write(ids[1], &operation, sizeof operation), static_cast<ssize_t>(sizeof operation));
  Report report;
  ASSERT_TRUE(intruder.report(&report));
  EXPECT_EQ(report.result, velmarosta::COMM_DIR_SVC_UNKNOWN_OPERATION);
  EXPECT_EQ(facade->get_first_entry(operation), 0);  // untouched by the intruder
  EXPECT_EQ(facade->end_operation(operation), 0);
  close(ids[0]);
  close(ids[1]);
}

// A socket file that stands for an endpoint of `owner` at `path`: what it
// receives is read by the test. In a shared folder every user may send.
int endpoint_of(uid_t owner, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(address.sun_path);  // the file that an earlier process of the test left
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      chown(address.sun_path, owner, owner) != 0 || chmod(address.sun_path, 0666) != 0) {
    ADD_FAILURE() << "cannot make the endpoint " << path << ": " << std::strerror(errno);
  }
  return fd;
}

// Every byte that came to `fd` so far.
std::string received_by(int fd) {
  std::string bytes;
  std::vector<char> datagram(velmarosta::COMM_DIR_IPC_MAX_PAYLOAD * 2);
  ssize_t n;
  while ((n = recv(fd, datagram.data(), datagram.size(), MSG_DONTWAIT)) >= 0) bytes.append(datagram.data(), n);
  return bytes;
}

// In the child: a start_operation request that binds with the reader's
// password, sent over the wire to the daemon in `folder`, answered to
// `reply_server`. Nothing waits for the reply.
bool start_operation_over_the_wire(const std::string& folder, const std::string& uri, const char* reply_server) {
  namespace wire = velmarosta::service_wire;
  velmarosta::COMM_DIR_START_OPERATION_REQUEST record{};
  record.connect = connect_record(uri);
  record.bind_present = 1;
  record.bind = bind_record(Identity::kReader);
  std::vector<char> form = wire::request_form(velmarosta::COMM_DIR_FUNC_START_OPERATION, 7, &record, sizeof record);
  std::snprintf(form.data() + 84, 32, "utcp:%s", reply_server);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/COMM_DIR_SRV", folder.c_str());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return sendto(fd, form.data(), form.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
         static_cast<ssize_t>(form.size());
}

// A local user who is not the directory service, in every place where it
// could wait for another user's request, reply or callback: it gets
// nothing, the password shows nowhere, and the other user's next call
// works. The daemon serves both users from a folder that everyone shares.
TEST_F(ClientProcessTest, AnotherLocalUserGetsNothingOfAUsersCalls) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  constexpr uid_t kVictim = 64881, kHostile = 64882;  // no other test uses them
  const std::string victims_default = "/tmp/commdir-" + std::to_string(kVictim);
  std::filesystem::remove_all(victims_default);
  {
    // A daemon does not start in a shared folder of another user, even if
    // its environment names that user as the directory service's.
    setenv("COMM_DIR_SERVICE_USER", "64882", 1);
    ServiceProcess squatted(COMMDIR_SERVICE_BIN, {}, [](const std::string& dir) {
      ASSERT_EQ(chown(dir.c_str(), kHostile, kHostile), 0);
      ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    });
    unsetenv("COMM_DIR_SERVICE_USER");
    EXPECT_FALSE(squatted.ok());
    EXPECT_NE(squatted.error().find(" refused: it belongs to uid 64882"), std::string::npos) << squatted.error();
  }
  start_daemon({"--allow-uid=64881,64882"}, [](const std::string& dir) { ASSERT_EQ(chmod(dir.c_str(), 01777), 0); });
  const std::string shared = service_->ipc_dir();
  std::string error;
  const std::string traces = make_private_folder("commdir-traces", error);
  ASSERT_FALSE(traces.empty()) << error;
  ASSERT_EQ(chmod(traces.c_str(), 01777), 0);
  const std::string uri = slapd_->uri();
  const std::vector<LdifEntry> expected = without_dns(ldapsearch(*slapd_, Identity::kReader, kPeople).entries);

  enum class Act { kStartInTheDefaultFolder, kCallbackCheck, kStartOverTheWire };
  struct Row {
    const char* what;
    uid_t actor;          // who sends the request
    Act act;
    const char* watched;  // the endpoint that must get nothing: a name in the shared folder, or null for
                          // COMM_DIR_SRV in the victim's default folder
    uid_t watched_owner;
    const char* refusal;  // the line that says so, in the daemon's log or (null watched) the actor's trace
  };
  const Row rows[] = {
      {"a default folder made first by another user", kVictim, Act::kStartInTheDefaultFolder, nullptr, kHostile,
       "ipc folder /tmp/commdir-64881 refused: it belongs to uid 64882"},
      {"a callback name bound by another user", kVictim, Act::kCallbackCheck, "DIR_SVR_victi", kHostile,
       "not sending to utcp:DIR_SVR_victi: it is neither an endpoint of uid 64881"},
      {"a reply server name bound by another user", kVictim, Act::kStartOverTheWire, "DIR_CS_ended", kHostile,
       "not sending to utcp:DIR_CS_ended: it is neither an endpoint of uid 64881"},
      {"replies aimed at another user's reply server", kHostile, Act::kStartOverTheWire, "DIR_CS_victim", kVictim,
       "not sending to utcp:DIR_CS_victim: it is neither an endpoint of uid 64882"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string trace = traces + "/" + std::to_string(&row - rows) + ".log";
    if (row.watched == nullptr) {
      ASSERT_EQ(mkdir(victims_default.c_str(), 01777), 0);
      ASSERT_EQ(chmod(victims_default.c_str(), 01777), 0);
      ASSERT_EQ(chown(victims_default.c_str(), kHostile, kHostile), 0);
    }
    const int watched = endpoint_of(row.watched_owner, row.watched != nullptr ? shared + "/" + row.watched
                                                                              : victims_default + "/COMM_DIR_SRV");
    Application actor([&](int fd) {
      as_user(row.actor, row.actor, [&] {
        setenv("COMM_DIR_TRACE", trace.c_str(), 1);
        unsetenv("XDG_RUNTIME_DIR");
        if (row.act == Act::kStartInTheDefaultFolder) unsetenv("COMM_DIR_IPC_DIR");
        prctl(PR_SET_NAME, "victim");
        Report report;
        comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
        if (row.act == Act::kStartInTheDefaultFolder) {
          const velmarosta::COMM_DIR_BIND_INFO bind = bind_record(Identity::kReader);
          report.walk_exact = facade->start_operation(connect_record(uri), &bind, &report.operation) != 0;
        } else if (row.act == Act::kCallbackCheck) {
          velmarosta::COMM_DIR_TEST_CONNECTION_INFO info{};
          info.connect = connect_record(uri);
          info.bind_present = 1;
          info.bind = bind_record(Identity::kReader);
          report.result = facade->check_connection(velmarosta::COMM_DIR_TEST_MODE_CALLBACK, info);
          report.walk_exact = true;
        } else {
          report.walk_exact = start_operation_over_the_wire(shared, uri, row.watched);
        }
        return report;
      }, fd);
    });
    Report acted;
    ASSERT_TRUE(actor.report(&acted));
    actor.kill();  // the copy of `watched` that it inherited closes with it
    EXPECT_TRUE(acted.walk_exact);
    const auto said = [&] {
      return (row.watched == nullptr ? read_file(trace) : service_->log()).find(row.refusal) != std::string::npos;
    };
    const Clock::time_point start = Clock::now();
    while (!said() && since_ms(start) < 10000) std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(said()) << row.refusal << "\n" << read_file(trace) << service_->log();
    const std::string got = received_by(watched);
    EXPECT_EQ(got.size(), 0u);
    EXPECT_EQ(got.find(SlapdFixture::kReaderPassword), std::string::npos);
    close(watched);
    if (row.watched == nullptr) std::filesystem::remove_all(victims_default);

    Application next([&](int fd) {
      as_user(kVictim, kVictim, [&] {
        setenv("COMM_DIR_TRACE", (traces + "/next.log").c_str(), 1);
        prctl(PR_SET_NAME, "victim");
        const FacadeWalk walked = walk(comm_dir_facade::comm_dir_get_instance(), uri, Identity::kReader, kPeople);
        Report report;
        report.result = walked.result;
        report.walk_exact = walked.entries == expected && walked.end_operation_result == 0;
        return report;
      }, fd);
    });
    Report walked;
    ASSERT_TRUE(next.report(&walked));
    EXPECT_EQ(walked.result, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES) << read_file(traces + "/next.log");
    EXPECT_TRUE(walked.walk_exact);
  }
  std::string everything = service_->log();
  for (const auto& file : std::filesystem::directory_iterator(traces)) everything += read_file(file.path());
  EXPECT_NE(everything.find("not sending to"), std::string::npos);  // the traces are there to search
  EXPECT_EQ(everything.find(SlapdFixture::kReaderPassword), std::string::npos);
  std::filesystem::remove_all(traces);
}

// A connection test's outcome as the application sees it: the code, and the
// findings of the record.
std::string outcome_of(comm_dir_facade* facade, velmarosta::COMM_DIR_TEST_CONNECTION_INFO test) {
  char code[16];
  std::snprintf(code, sizeof code, "%#x", static_cast<unsigned>(facade->check_connection(
                                             velmarosta::COMM_DIR_TEST_MODE_SYNC, test)));
  return std::string(code) + " reachable " + std::to_string(test.reachable) + " ldap " +
         std::to_string(test.ldap_result) + ": " + test.diagnostic;
}

// Another user of a shared daemon gets its own share of operations and its
// own failover memory, and names only the authority files that the daemon
// allows every user: a file anywhere else is refused alike whether it is
// there or not, so that the daemon tells no one about another's files.
TEST_F(ClientProcessTest, AnotherUserGetsItsOwnShareAndOnlyAllowedAuthorityFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run an application as nobody";
  std::string dir = "/tmp/commdir-ca-XXXXXX";
  ASSERT_NE(mkdtemp(&dir[0]), nullptr);
  // The fixture's authority in an allowed folder, outside it, and in a
  // folder beside it whose name begins with the allowed one's; links out of
  // the allowed folder and into it.
  const std::string allowed = dir + "/allowed";
  const std::string beside = allowed + "x";
  for (const std::string& folder : {allowed, beside}) ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  for (const std::string& copy : {allowed + "/ca.pem", beside + "/ca.pem", dir + "/outside.pem"}) {
    std::ifstream from(slapd_->ca_file(), std::ios::binary);
    std::ofstream(copy, std::ios::binary) << from.rdbuf();
  }
  ASSERT_EQ(symlink((dir + "/outside.pem").c_str(), (allowed + "/link.pem").c_str()), 0);
  ASSERT_EQ(symlink((allowed + "/ca.pem").c_str(), (dir + "/in.pem").c_str()), 0);
  start_daemon({"--allow-uid=65534", "--max-operations-per-user=2", "--ca-dir=" + allowed}, share_with_nogroup);
  const std::string uri = slapd_->uri();
  const std::string failing_over = closed_port_uri() + " " + uri;
  const auto tls_test = [&](const std::string& ca_file) {
    velmarosta::COMM_DIR_TEST_CONNECTION_INFO test{};
    test.connect = connect_record(uri);
    test.connect.security = velmarosta::COMM_DIR_SECURITY_STARTTLS;
    std::snprintf(test.connect.tls_ca_file, sizeof test.connect.tls_ca_file, "%s", ca_file.c_str());
    return test;
  };
  const std::string refused = "0x34093033 reachable 0 ldap 0: " +
                              std::string(velmarosta::comm_dir_result_message(velmarosta::COMM_DIR_SVC_TLS_CA_NOT_ALLOWED));
  struct Row {
    const char* what;
    std::function<std::string(comm_dir_facade*)> as_nobody;
    std::string expected;
  };
  const Row rows[] = {
      {"a file outside the allowed folders", [&](comm_dir_facade* f) { return outcome_of(f, tls_test(dir + "/outside.pem")); },
       refused},
      {"no such file outside them", [&](comm_dir_facade* f) { return outcome_of(f, tls_test(dir + "/no-such.pem")); },
       refused},
      {"../ out of an allowed folder",
       [&](comm_dir_facade* f) { return outcome_of(f, tls_test(allowed + "/../outside.pem")); }, refused},
      {"a link out of an allowed folder",
       [&](comm_dir_facade* f) { return outcome_of(f, tls_test(allowed + "/link.pem")); }, refused},
      {"a link into an allowed folder", [&](comm_dir_facade* f) { return outcome_of(f, tls_test(dir + "/in.pem")); },
       refused},
      {"../ out of an allowed folder to a link back into it",
       [&](comm_dir_facade* f) { return outcome_of(f, tls_test(allowed + "/../in.pem")); }, refused},
      {"a folder whose name begins with an allowed one's",
       [&](comm_dir_facade* f) { return outcome_of(f, tls_test(beside + "/ca.pem")); }, refused},
      {"a file in an allowed folder",
       [&](comm_dir_facade* f) { return outcome_of(f, tls_test(allowed + "/ca.pem")); }, "0 reachable 1 ldap 0: success"},
      {"a third operation of one user while root holds two",
       [&](comm_dir_facade* f) {
         std::string codes;
         for (int i = 0; i < 3; ++i) {
           UINT operation = 0;
           codes += std::to_string(f->start_operation(connect_record(uri), nullptr, &operation)) + " ";
         }
         return codes;
       },
       "0 0 " + std::to_string(velmarosta::COMM_DIR_SVC_USER_LIMIT) + " "},
      {"a list that failed over for root, twice",
       [&](comm_dir_facade* f) {
         velmarosta::COMM_DIR_TEST_CONNECTION_INFO test{};
         test.connect = connect_record(failing_over);
         std::string attempts;
         for (int i = 0; i < 2; ++i)
           attempts += outcome_of(f, test).find("failed over to " + uri) != std::string::npos ? "failed over " : "not ";
         return attempts;
       },
       "failed over not "},
  };
  int go[2];
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  Application application([&](int fd) {
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(4);
    if (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0) _exit(2);
    prctl(PR_SET_NAME, "nobody");  // endpoint names of its own, beside this process's
    comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
    for (const Row& row : rows) {
      const std::string line = row.as_nobody(facade) + "\n";
      if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(3);
    }
  });
  // Root's own share taken, and a list of root's failed over: the second
  // test goes to the URI that answered first, which shows the memory.
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  UINT operations[2] = {};
  for (UINT& operation : operations) ASSERT_EQ(facade->start_operation(connect_record(uri), nullptr, &operation), 0);
  velmarosta::COMM_DIR_TEST_CONNECTION_INFO test{};
  test.connect = connect_record(failing_over);
  EXPECT_NE(outcome_of(facade, test).find("failed over to"), std::string::npos);
  EXPECT_EQ(outcome_of(facade, test).find("failed over to"), std::string::npos);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  const std::vector<std::string> lines = application.lines(std::size(rows));
  ASSERT_EQ(lines.size(), std::size(rows)) << service_->log();
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], rows[i].expected) << rows[i].what;
  for (UINT operation : operations) EXPECT_EQ(facade->end_operation(operation), 0);
  close(go[0]);
  close(go[1]);
  for (const char* name : {"/allowed/ca.pem", "/allowed/link.pem", "/allowedx/ca.pem", "/outside.pem", "/in.pem"})
    unlink((dir + name).c_str());
  rmdir(allowed.c_str());
  rmdir(beside.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace commdir_testing
