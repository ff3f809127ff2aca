// The daemon as a black box, without an LDAP server: bad input of every kind
// is refused with its code or dropped, a full queue answers busy, the
// connection test answers and calls back, and after all of it the daemon
// still answers a well-formed request.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "integration/service_wire.h"
#include "support/child_process.h"
#include "support/slapd_fixture.h"

namespace velmarosta {
namespace {

using namespace service_wire;
using commdir_testing::closed_port_uri;

constexpr char kCallbackServer[] = "ROBUST_CB";  // as a test record names it, without the prefix
constexpr char kPassword[] = "for-the-ldap-server-alone";

bool holds(const std::vector<char>& bytes, const char* secret) {
  return memmem(bytes.data(), bytes.size(), secret, std::strlen(secret)) != nullptr;
}

// Whether `secret` is anywhere in the writable memory of process `pid`
// (heap, stacks, anonymous maps), freed memory included.
bool memory_holds(pid_t pid, const char* secret) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream maps(proc + "/maps");
  const int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(mem, 0) << std::strerror(errno);
  bool found = false;
  std::string line;
  while (mem >= 0 && !found && std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' || perms[1] != 'w')
      continue;
    // A sanitizer's shadow memory is a writable mapping of terabytes that
    // holds no heap: the daemon's own memory is far below this bound.
    if (end - start > (1ul << 30)) continue;
    // In pieces that overlap by the secret's length, so none is missed.
    const std::size_t overlap = std::strlen(secret);
    std::vector<char> bytes(1 << 20);
    for (unsigned long at = start; at < end && !found; at += bytes.size() - overlap) {
      const ssize_t got = pread(mem, bytes.data(), std::min<unsigned long>(bytes.size(), end - at), static_cast<off_t>(at));
      if (got <= 0) break;
      found = holds(std::vector<char>(bytes.begin(), bytes.begin() + got), secret);
    }
  }
  if (mem >= 0) close(mem);
  return found;
}

inbox& callbacks() {
  static inbox box;
  return box;
}

// The test's callback server: records the callback and answers it as an
// application's callback server does, with an all-zero reply.
RETCODE take_callback(char* rcvbuf, char*, int* size) {
  *size = 0;
  arrived message = copy_message(rcvbuf, COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET);
  std::unique_ptr<COMM_DIR_IPC_MULTI_REPLY> reply(new COMM_DIR_IPC_MULTI_REPLY());
  reply->head = message.head;
  reply->head.replied = 1;
  UINT handle = 0;
  if (emwGENIpcCreateClient("ROBUST_CBR", message.head.reply_server_name, 0, 0, COMM_DIR_IPC_ID_REPLY, &handle) == 0) {
    emwGENIpcCallClient(handle, GEN_IPC_KIND_REPLY, 0, 0, reinterpret_cast<char*>(reply.get()),
                        COMM_DIR_IPC_REPLY_SIZE, nullptr, 0, nullptr, static_cast<ULONG>(-1));
    emwGENIpcDestroyClient(handle);
  }
  UINT object_word;
  std::memcpy(&object_word, message.payload.data() + 76, sizeof object_word);
  callbacks().put(object_word, std::move(message));
  return 0;
}

// A connection test of `mode` against `uri`, with `object_word` for the
// callback.
std::vector<char> connection_test(UINT mode, const std::string& uri, UINT tag, UINT object_word) {
  COMM_DIR_CHECK_CONNECTION_REQUEST request{};
  request.test_mode = mode;
  request.info.callback_object = object_word;
  std::strcpy(request.info.connect.uri, uri.c_str());
  request.info.bind_present = 1;
  request.info.bind.method = COMM_DIR_BIND_SIMPLE;
  std::strcpy(request.info.bind.bind_dn, "cn=nobody,dc=example,dc=com");
  std::strcpy(request.info.bind.password, kPassword);
  std::strcpy(request.info.callback_server_name, kCallbackServer);
  return request_form(COMM_DIR_FUNC_CHECK_CONNECTION, tag, &request, sizeof request);
}

class ServiceRobustness : public daemon_test {
 protected:
  void start_with_callback_server(const std::vector<std::string>& args) {
    start_daemon(args);
    const std::string callback_server = std::string(COMM_DIR_IPC_PREFIX) + kCallbackServer;
    ASSERT_EQ(emwGENIpcStartServer(callback_server.c_str(), COMM_DIR_IPC_ID_CALLBACK, COMM_DIR_IPC_STACK_SIZE,
                                   &take_callback),
              0);
    callback_server_ = true;
  }

  void TearDown() override {
    if (callback_server_)
      emwGENIpcRequestAdmin((std::string(COMM_DIR_IPC_PREFIX) + kCallbackServer).c_str(), GEN_IPC_ADMIN_STOP);
    daemon_test::TearDown();
  }

  // The daemon still serves: a new operation on a port where nothing
  // listens fails with libldap's "server down", mapped.
  void expect_still_serving() {
    COMM_DIR_START_OPERATION_REQUEST request{};
    std::strcpy(request.connect.uri, closed_port_uri().c_str());
    EXPECT_EQ(call(COMM_DIR_FUNC_START_OPERATION, request).result(), comm_dir_code_from_ldap(-1));
    EXPECT_TRUE(service_->alive());
  }

  bool callback_server_ = false;
};

TEST_F(ServiceRobustness, RefusesEveryRoutableBadRequestWithItsCode) {
  start_with_callback_server({"-d"});
  struct Row {
    const char* what;
    UINT function_id;
    std::function<void(std::vector<char>&)> change;
    RETCODE code;
  };
  auto nothing = [](std::vector<char>&) {};
  // Every function id with an all-zero payload: its empty fields, or
  // operation id 0, which no operation has.
  const RETCODE kBad = COMM_DIR_SVC_BAD_FIELD;
  const RETCODE kUnknown = COMM_DIR_SVC_UNKNOWN_OPERATION;
  const RETCODE zero_payload[COMM_DIR_FUNC_COUNT] = {kBad, kBad, kUnknown, kUnknown, kUnknown, kBad,     kBad,    kBad,
                                                     kBad, kBad, kBad,     kUnknown, kUnknown, kUnknown, kUnknown};
  std::vector<Row> rows;
  for (UINT id = 0; id < COMM_DIR_FUNC_COUNT; ++id) rows.push_back({"zero payload", id, nothing, zero_payload[id]});
  rows.insert(rows.end(), {
      {"function id 15", 15, nothing, COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"function id 0x80000000", 0x80000000u, nothing, COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"unknown operation id", 12, [](std::vector<char>& m) { put_word(m, kHead + 72, 0x5EED1234); },
       COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"attribute without its NUL", 5, [](std::vector<char>& m) { std::memset(m.data() + kHead + 76, 'a', 385); },
       COMM_DIR_SVC_UNTERMINATED_STRING},
      {"message cut inside its record", 12,
       [](std::vector<char>& m) {
         m.resize(kHead + 10);
         put_word(m, 4, kHead + 10);
       },
       COMM_DIR_SVC_WRONG_SIZE},
  });
  // URI lists that the daemon refuses before any connection: schemes other
  // than ldap:// and ldaps:// (ldapi:// needs --allow-ldapi), wherever they
  // stand in the list, and a list of blanks (libldap's default URI).
  const auto uri_at = [](std::size_t offset, std::string uri) {
    return [offset, uri](std::vector<char>& m) { std::strcpy(m.data() + kHead + offset, uri.c_str()); };
  };
  const std::size_t test_uri =
      offsetof(COMM_DIR_CHECK_CONNECTION_REQUEST, info) + offsetof(COMM_DIR_TEST_CONNECTION_INFO, connect);
  const std::size_t start_uri = offsetof(COMM_DIR_START_OPERATION_REQUEST, connect);
  const RETCODE kScheme = COMM_DIR_SVC_URI_NOT_ALLOWED;
  rows.insert(rows.end(), {
      {"ldapi:// without --allow-ldapi", 0, uri_at(test_uri, "ldapi://%2Ftmp%2Fno-such-socket"), kScheme},
      {"ldapi:// first, ldap:// behind it", 0, uri_at(test_uri, "ldapi:/// " + closed_port_uri()), kScheme},
      {"ldapi:// behind ldap://", 1, uri_at(start_uri, closed_port_uri() + "\tLDAPI:///"), kScheme},
      {"another scheme", 1, uri_at(start_uri, "http://127.0.0.1/"), kScheme},
      {"blanks only", 0, uri_at(test_uri, " \t "), kScheme},
  });
  UINT tag = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + ", function id " + std::to_string(row.function_id));
    std::vector<char> message = request_form(row.function_id, ++tag);
    row.change(message);
    send_raw(message);
    arrived reply = expect_reply(tag);
    EXPECT_EQ(reply.result(), row.code) << std::hex << reply.result();
    EXPECT_EQ(reply.envelope_result, row.code);
    EXPECT_EQ(reply.head.replied, 1u);
    EXPECT_EQ(reply.head.type, row.function_id);
    EXPECT_EQ(reply.head.reply_buffer, tag ^ 0xFFFFFFFFu);
    EXPECT_STREQ(reply.head.reply_server_name, kReplyServer);
  }
  expect_still_serving();
}

TEST_F(ServiceRobustness, DropsGarbageAndGoesOnAnswering) {
  start_with_callback_server({});
  const std::size_t replies_before = replies().count();
  std::mt19937 random(20261206);
  for (int i = 0; i < 200; ++i) {  // random datagrams of every size
    std::vector<char> bytes(128 + random() % (COMM_DIR_IPC_REPLY_SIZE + 100));
    for (char& byte : bytes) byte = static_cast<char>(random());
    send_raw(bytes);
  }
  struct Row {
    const char* what;
    std::function<void(std::vector<char>&)> change;
  };
  const Row unroutable[] = {
      {"name without its NUL", [](std::vector<char>& m) { std::memset(m.data() + 84, 'n', 32); }},
      {"name without the prefix", [](std::vector<char>& m) { std::strcpy(m.data() + 84, "ROBUST_RPL"); }},
      {"name with a path", [](std::vector<char>& m) { std::strcpy(m.data() + 84, "utcp:../ROBUST_RPL"); }},
      {"empty name", [](std::vector<char>& m) { std::memset(m.data() + 84, 0, 32); }},
      {"a reply sent as a request", [](std::vector<char>& m) { put_word(m, 76, 1); }},
  };
  UINT tag = 200;
  for (const Row& row : unroutable) {
    std::vector<char> message = request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, ++tag);
    row.change(message);
    send_raw(message);
  }
  expect_still_serving();
  EXPECT_EQ(replies().count(), replies_before + 1) << "garbage was answered:\n" << service_->log();
}

TEST_F(ServiceRobustness, AnswersBusyWhenItsQueueIsFullAndLosesNothing) {
  start_with_callback_server({"--workers=1", "--queue-limit=2", "--network-timeout=1500"});
  commdir_testing::SilentServer hanging;
  ASSERT_TRUE(hanging.ok());
  // The one worker waits on a bind that is never answered ...
  send_raw(connection_test(COMM_DIR_TEST_MODE_SYNC, hanging.uri(), 300, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // ... so two requests wait and the rest are answered busy at once.
  for (UINT tag = 301; tag <= 305; ++tag) send_raw(request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, tag));
  for (UINT tag = 303; tag <= 305; ++tag) EXPECT_EQ(expect_reply(tag).result(), COMM_DIR_SVC_BUSY);
  arrived test = expect_reply(300);
  EXPECT_EQ(test.result(), COMM_DIR_SVC_BIND_TIMEOUT);
  for (UINT tag = 301; tag <= 302; ++tag) EXPECT_EQ(expect_reply(tag).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
}

// Reply servers of the test that do not read: sockets bound in the daemon's
// folder as STUCK0, STUCK1 ..., each queue filled with datagrams of tag 0,
// so that the first reply to each already finds no room.
class StuckServers {
 public:
  StuckServers(const std::string& dir, int count) {
    for (int i = 0; i < count; ++i) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s/STUCK%d", dir.c_str(), i);
      fds_.push_back(pollfd{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0), POLLIN, 0});
      EXPECT_EQ(bind(fds_.back().fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      const int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      const std::vector<char> junk(kHead, 0);
      while (sendto(filler, junk.data(), junk.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                    sizeof address) > 0) {
      }
      close(filler);
    }
  }
  ~StuckServers() {
    for (const pollfd& server : fds_) close(server.fd);
  }
  static std::string name(std::size_t i) { return std::string(COMM_DIR_IPC_PREFIX) + "STUCK" + std::to_string(i); }
  std::size_t size() const { return fds_.size(); }

  // Reads them all until none got a datagram for `quiet`; the test's own
  // datagrams (tag 0) are left out. Each message comes with its server.
  std::vector<std::pair<std::size_t, arrived>> read(std::chrono::milliseconds quiet) {
    std::vector<std::pair<std::size_t, arrived>> messages;
    std::vector<char> datagram(COMM_DIR_IPC_REPLY_SIZE);
    while (poll(fds_.data(), fds_.size(), static_cast<int>(quiet.count())) > 0) {
      for (std::size_t i = 0; i < fds_.size(); ++i) {
        const ssize_t got = recv(fds_[i].fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (got < static_cast<ssize_t>(kHead)) continue;
        put_word(datagram, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(got));
        arrived message = copy_message(datagram.data(), COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET);
        if (message.head.event_sem_id != 0) messages.emplace_back(i, std::move(message));
      }
    }
    return messages;
  }

 private:
  std::vector<pollfd> fds_;
};

// An application that does not read its replies (stopped, hung, or never
// meant to) holds up no one else, and each of its calls gets one answer once
// it reads again: its replies wait in the daemon, and one that waited longer
// than --reply-wait, or found its user's share of kept bytes taken, comes as
// a notice (COMM_DIR_SVC_REPLY_DROPPED, routed as the reply was). Refusals
// of the receiving thread do not wait for room at all: with many servers
// that do not read, waiting 20 ms for each would stop everyone's requests.
TEST_F(ServiceRobustness, AnApplicationThatDoesNotReadGetsEveryAnswerOnceItReadsAndHoldsUpNoOne) {
  using std::chrono::milliseconds;
  struct Row {
    const char* what;
    std::vector<std::string> args;
    int servers;           // that do not read
    bool worker_held;      // so that the receiving thread answers busy
    milliseconds unread;   // how long they do not read after the requests
    bool notices;          // some answers come as notices
    std::size_t answered;  // calls that get an answer
  };
  constexpr UINT kFirst = 500, kCount = 200;  // well past what the kernel queues for one socket
  const Row rows[] = {
      {"kept until it reads", {"--reply-wait=10000"}, 1, false, milliseconds(0), false, kCount},
      {"kept past --reply-wait", {"--reply-wait=1500"}, 1, false, milliseconds(2500), true, kCount},
      {"beyond its user's share of kept bytes", {"--max-kept-bytes-per-user=1"}, 1, false, milliseconds(0), true,
       kCount},
      {"refused by the receiving thread, past --reply-wait",
       {"--reply-wait=1000", "--workers=1", "--queue-limit=1", "--network-timeout=5000"}, 100, true,
       milliseconds(2500), true, kCount},
      // 1 x 1 + 1 + 1 + 1 notices for the user, the other calls wait on.
      {"beyond the notices one user may have kept",
       {"--reply-wait=500", "--workers=1", "--queue-limit=1", "--operation-queue-limit=1",
        "--max-operations-per-user=1"},
       1, false, milliseconds(1500), true, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (service_ != nullptr) daemon_test::TearDown();
    start_daemon(row.args);
    StuckServers stuck(ipc_dir_, row.servers);
    commdir_testing::SilentServer hanging;
    if (row.worker_held) {  // the one worker waits on a bind, one request waits for it
      send_raw(connection_test(COMM_DIR_TEST_MODE_SYNC, hanging.uri(), 300, 0));
      std::this_thread::sleep_for(milliseconds(300));
      send_raw(request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, 301));
    }
    // Each request names no operation: a worker answers so, or the receiving
    // thread busy when the daemon's queue is full.
    const auto answered = [](RETCODE code) {
      return code == COMM_DIR_SVC_UNKNOWN_OPERATION || code == COMM_DIR_SVC_BUSY;
    };
    const auto start = std::chrono::steady_clock::now();
    for (UINT tag = kFirst; tag < kFirst + kCount; ++tag) {
      std::vector<char> message = request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, tag);
      std::memset(message.data() + 84, 0, 32);
      std::strcpy(message.data() + 84, StuckServers::name(tag % stuck.size()).c_str());
      send_raw(message);
    }
    const RETCODE others = call(COMM_DIR_FUNC_GET_FIRST_ENTRY, COMM_DIR_OPERATION_REQUEST{}).result();
    EXPECT_TRUE(answered(others)) << std::hex << others;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "the daemon waited for room";

    std::this_thread::sleep_for(row.unread);
    std::vector<UINT> tags;
    int notices = 0;
    for (const auto& [server, reply] : stuck.read(milliseconds(500))) {
      tags.push_back(reply.head.event_sem_id);
      notices += reply.result() == COMM_DIR_SVC_REPLY_DROPPED;
      EXPECT_TRUE(answered(reply.result()) || reply.result() == COMM_DIR_SVC_REPLY_DROPPED) << std::hex << reply.result();
      EXPECT_EQ(reply.envelope_result, reply.result());
      EXPECT_EQ(reply.head.replied, 1u);
      EXPECT_EQ(reply.head.type, static_cast<UINT>(COMM_DIR_FUNC_GET_FIRST_ENTRY));
      EXPECT_EQ(reply.head.reply_buffer, reply.head.event_sem_id ^ 0xFFFFFFFFu);
      EXPECT_STREQ(reply.head.reply_server_name, StuckServers::name(server).c_str());
    }
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(std::unique(tags.begin(), tags.end()), tags.end()) << "a call got two answers";
    EXPECT_EQ(tags.size(), row.answered) << service_->log();
    EXPECT_EQ(notices > 0, row.notices) << notices << " notices";
  }
}

// The record comes back, in the reply and in the callback, without its
// password, which is in no trace line either and, once its request is done,
// nowhere in the daemon's memory, freed memory included (the server is down:
// libldap never gets it). Each check of the memory comes before the next
// request, which could take the freed memory over.
TEST_F(ServiceRobustness, ConnectionTestReportsFindingsAndCallsBackButNeverThePassword) {
  start_with_callback_server({"--callback-timeout=2000", "--allow-ldapi", "-d"});
  const std::string uri = closed_port_uri();
  const RETCODE server_down = comm_dir_code_from_ldap(-1);
  const bool can_read_memory = geteuid() == 0;
  // The reply may come before the request is cleared away: waits a little.
  auto expect_forgotten = [&](const char* after) {
    bool held = can_read_memory;
    for (int i = 0; i < 100 && held; ++i) {
      held = memory_holds(service_->pid(), kPassword);
      if (held) usleep(30000);
    }
    EXPECT_FALSE(held) << "after " << after;
  };

  // A server that is not there, over TCP and (allowed) over a local socket.
  UINT tag = 400;
  for (const std::string& down : {uri, std::string("ldapi://%2Ftmp%2Fno-such-socket")}) {
    SCOPED_TRACE(down);
    send_raw(connection_test(COMM_DIR_TEST_MODE_SYNC, down, ++tag, 0));
    arrived sync = expect_reply(tag);
    const auto* info = reinterpret_cast<const COMM_DIR_TEST_CONNECTION_INFO*>(sync.payload.data() + 16);
    EXPECT_EQ(sync.result(), server_down);
    EXPECT_EQ(info->result, server_down);
    EXPECT_EQ(info->reachable, 0u);
    EXPECT_EQ(info->bind_accepted, 0u);
    EXPECT_EQ(info->ldap_result, -1);
    EXPECT_STRNE(info->diagnostic, "");
    EXPECT_STREQ(info->connect.uri, down.c_str());  // the record comes back ...
    EXPECT_STREQ(info->bind.bind_dn, "cn=nobody,dc=example,dc=com");
    EXPECT_FALSE(holds(sync.payload, kPassword));  // ... but for its password
  }

  send_raw(connection_test(COMM_DIR_TEST_MODE_CALLBACK, uri, ++tag, 0xC0FFEE01));
  EXPECT_EQ(expect_reply(tag).result(), 0);  // answered at once
  arrived callback;
  ASSERT_TRUE(callbacks().wait(0xC0FFEE01, &callback)) << service_->log();
  EXPECT_EQ(callback.head.type, static_cast<UINT>(COMM_DIR_FUNC_CHECK_CONNECTION));
  UINT result_word;
  std::memcpy(&result_word, callback.payload.data() + 72, sizeof result_word);
  EXPECT_EQ(static_cast<RETCODE>(result_word), server_down);
  EXPECT_FALSE(holds(callback.payload, kPassword));
  expect_forgotten("the connection tests");

  COMM_DIR_START_OPERATION_REQUEST start{};
  std::strcpy(start.connect.uri, uri.c_str());
  start.bind_present = 1;
  std::strcpy(start.bind.password, kPassword);
  EXPECT_EQ(call(COMM_DIR_FUNC_START_OPERATION, start).result(), server_down);
  expect_forgotten("the start of an operation");
  expect_still_serving();
  EXPECT_EQ(service_->log().find(kPassword), std::string::npos) << service_->log();
  if (!can_read_memory) GTEST_SKIP() << "reading the memory of a process that is not dumpable needs root";
}

TEST_F(ServiceRobustness, CallbackToAnApplicationGoneOrMuteNeverHoldsTheDaemon) {
  start_with_callback_server({"--workers=1", "--callback-timeout=250"});
  // A callback server that never reads (more callbacks than its queue
  // holds, so that sending one waits for room that never comes), one that
  // is gone, and one whose application dies once it has the callback.
  sockaddr_un mute{}, dying{};
  int fds[2];
  for (auto [address, name, fd] : {std::tuple{&mute, "MUTE_CB", &fds[0]}, {&dying, "DYING_CB", &fds[1]}}) {
    address->sun_family = AF_UNIX;
    std::snprintf(address->sun_path, sizeof address->sun_path, "%s/%s", ipc_dir_.c_str(), name);
    *fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(*fd, reinterpret_cast<sockaddr*>(address), sizeof *address), 0);
  }
  const std::string uri = closed_port_uri();
  constexpr int kPastTheQueue = 12;  // net.unix.max_dgram_qlen is 10 by default
  std::vector<const char*> names(kPastTheQueue, "MUTE_CB");
  names.insert(names.end(), {"GONE_CB", "DYING_CB"});
  for (const char* name : names) {
    std::vector<char> message = connection_test(COMM_DIR_TEST_MODE_CALLBACK, uri, 600, 0);
    std::strcpy(message.data() + kHead + 76 + offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_server_name), name);
    send_raw(message);
    EXPECT_EQ(expect_reply(600).result(), 0);
  }
  const timeval patience{20, 0};
  setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  char first_byte;
  EXPECT_EQ(recv(fds[1], &first_byte, 1, 0), 1);  // the callback: the daemon now waits for its answer
  close(fds[1]);
  unlink(dying.sun_path);
  // The one worker gave all three up and serves again.
  expect_still_serving();
  close(fds[0]);
  unlink(mute.sun_path);
}

// SIGTERM: the endpoint closes, the request in progress and those waiting
// are answered, and the daemon exits 0. The daemon runs as a plain child
// here, so that the test holds its pid.
TEST_F(ServiceRobustness, StopAnswersWhatItTookThenExits) {
  std::string dir = "/tmp/commdir-stop-XXXXXX";
  ASSERT_NE(mkdtemp(&dir[0]), nullptr);
  ipc_dir_ = dir;
  setenv("COMM_DIR_IPC_DIR", dir.c_str(), 1);
  commdir_testing::ChildProcess daemon({COMMDIR_SERVICE_BIN, "--workers=1", "--network-timeout=1500"},
                                       {{"COMM_DIR_IPC_DIR", dir}}, "");
  ASSERT_TRUE(daemon.started());
  sockaddr_un endpoint{};
  endpoint.sun_family = AF_UNIX;
  std::snprintf(endpoint.sun_path, sizeof endpoint.sun_path, "%s/COMM_DIR_SRV", dir.c_str());
  bool ready = false;
  for (int i = 0; i < 500 && !ready && daemon.alive(); ++i) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ready = connect(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) == 0;
    close(fd);
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(ready);
  start_reply_server();
  commdir_testing::SilentServer hanging;
  ASSERT_TRUE(hanging.ok());
  send_raw(connection_test(COMM_DIR_TEST_MODE_SYNC, hanging.uri(), 500, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  send_raw(request_form(COMM_DIR_FUNC_GET_FIRST_ENTRY, 501));
  send_raw(request_form(COMM_DIR_FUNC_FREE_MSG, 502));

  const int status = daemon.stop(std::chrono::seconds(10));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(expect_reply(500).result(), COMM_DIR_SVC_BIND_TIMEOUT);
  EXPECT_EQ(expect_reply(501).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
  EXPECT_EQ(expect_reply(502).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
  EXPECT_NE(access((dir + "/COMM_DIR_SRV").c_str(), F_OK), 0) << "the endpoint's socket is left behind";
  emwGENIpcRequestAdmin(kReplyServer, GEN_IPC_ADMIN_STOP);
  reply_server_ = false;
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace velmarosta
