// What the integration tests share: slapd (tests/support/slapd/slapd-fixture)
// and the daemon as children in private folders, raw datagrams to and from the
// daemon's folder as any local program can send them, walks through the
// public facade, ldapsearch's answer to compare them with, and children that
// act as other users. Every child is stopped with its object, and also when
// the test process dies.
#ifndef COMMDIR_TESTS_INTEGRATION_HARNESS_H_
#define COMMDIR_TESTS_INTEGRATION_HARNESS_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_result_codes.h"
#include "support/child_process.h"
#include "support/read_file.h"

namespace commdir_testing {

using namespace velmarosta;
using ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kRoot[] = "dc=example,dc=com";
constexpr char kPeople[] = "ou=people,dc=example,dc=com";
constexpr char kMedia[] = "ou=media,dc=example,dc=com";
constexpr char kAdminDn[] = "cn=admin,dc=example,dc=com";
constexpr char kAdminPassword[] = "admin-secret";
constexpr char kReaderDn[] = "uid=reader,ou=system,dc=example,dc=com";
constexpr char kReaderPassword[] = "reader-secret";
constexpr char kDownUri[] = "ldap://127.0.0.1:1/";  // a privileged port where nothing listens

// An entry's attributes in the server's order, values as bytes; no DN (the
// facade has no call for it).
using Entry = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct Search {  // of the whole subtree
  std::string base = kPeople;
  std::string filter = "";
  std::string attributes = "";  // blank-separated, as the record takes them
};

// True once `condition` holds, polled for at most `limit`.
inline bool eventually(const std::function<bool()>& condition, ms limit = ms(10000)) {
  for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(ms(20))) {
    if (condition()) return true;
  }
  return condition();
}

template <std::size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

// A value of `length` bytes whose every position differs from its
// neighbours', so that a value shifted, cut or padded cannot compare equal.
inline std::string pattern(std::size_t length) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string value(length, ' ');
  for (std::size_t i = 0; i < length; ++i) value[i] = kDigits[(i * 7 + i / 36 + length) % 36];
  return value;
}

// ou=media: an entry cn=vN for N = 47209, 47208 and 47207 (one byte beyond
// what one reply carries, and the longest binary and string values), each
// with a description and a jpegPhoto of N bytes; the first has shorter values
// beside its long ones.
inline std::string long_values_ldif() {
  std::string ldif = std::string("dn: ") + kMedia + "\nobjectClass: organizationalUnit\nou: media\n\n";
  for (std::size_t length : {47209, 47208, 47207}) {
    const std::string cn = "v" + std::to_string(length), first = length == 47209 ? "1" : "";
    ldif += "dn: cn=" + cn + "," + kMedia + "\nobjectClass: inetOrgPerson\ncn: " + cn + "\nsn: V\n" +
            (first.empty() ? "" : "description: short\n") + "description: " + pattern(length) +
            "\njpegPhoto: " + pattern(length) + (first.empty() ? "" : "\njpegPhoto: " + pattern(2000)) + "\n\n";
  }
  return ldif;
}

// ldapsearch -LLL -o ldif-wrap=no: no folding, "::" before base64.
inline std::vector<Entry> parse_ldif(const std::string& ldif) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<Entry> entries;
  std::istringstream lines(ldif);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;  // between entries
    const std::string name = line.substr(0, colon);
    if (name == "dn" || entries.empty()) entries.emplace_back();
    if (name == "dn") continue;
    const bool encoded = line.compare(colon, 2, "::") == 0;
    std::string value = line.substr(std::min(line.size(), colon + (encoded ? 3 : 2))), bytes;
    unsigned bits = 0, count = 0;
    for (char c : encoded ? value : "") {  // base64; the padding is not in the alphabet
      const std::size_t sextet = kAlphabet.find(c);
      if (sextet == std::string::npos) continue;
      bits = bits << 6 | static_cast<unsigned>(sextet);
      if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    Entry& entry = entries.back();
    if (entry.empty() || entry.back().first != name) entry.emplace_back(name, std::vector<std::string>());
    entry.back().second.push_back(encoded ? bytes : value);
  }
  return entries;
}

class Slapd {
 public:
  explicit Slapd(bool tls = true) : dir(make_private_folder("commdir-slapd", error)) {  // with the sample address book
    const CommandResult started =
        run_command({COMMDIR_SLAPD_FIXTURE, "start", dir, COMMDIR_ADDRESS_BOOK}, "",
                    {{"SLAPD_FIXTURE_OWNER", std::to_string(getpid())}, {"SLAPD_FIXTURE_TLS", tls ? "yes" : "no"}},
                    std::chrono::seconds(60));
    error += started.err;
    if (started.exit_code == 0) uri = started.out.substr(0, started.out.find('\n'));
    ldaps_uri = read_file(dir + "/ldaps-uri");
    ldaps_uri = ldaps_uri.substr(0, ldaps_uri.find('\n'));
  }
  ~Slapd() {
    run_command({COMMDIR_SLAPD_FIXTURE, "stop", dir}, "", {}, std::chrono::seconds(60));
    rmdir(dir.c_str());
  }
  bool add(const std::string& ldif) {  // as the root DN
    const CommandResult added = run_command({"ldapadd", "-x", "-H", uri, "-D", kAdminDn, "-w", kAdminPassword}, ldif);
    error = added.err;
    return added.exit_code == 0;
  }
  // ldapsearch's entries for `search`, bound as the reader.
  std::vector<Entry> search(const Search& search) const {
    std::vector<std::string> argv = {"ldapsearch", "-x", "-D", kReaderDn, "-w", kReaderPassword, "-LLL", "-o",
                                     "ldif-wrap=no", "-H", uri, "-b", search.base,
                                     search.filter.empty() ? "(objectClass=*)" : search.filter};
    std::istringstream names(search.attributes);
    for (std::string name; names >> name;) argv.push_back(name);
    return parse_ldif(run_command(argv).out);
  }
  std::string ca() const { return dir + "/tls/ca.pem"; }
  std::string foreign_ca() const { return dir + "/tls/foreign-ca.pem"; }  // signed nothing here
  int port() const { return std::atoi(uri.c_str() + uri.rfind(':') + 1); }

  std::string error, dir, uri, ldaps_uri;
};

inline sockaddr_un unix_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return address;
}
inline int unix_socket() { return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

// A message as an endpoint received it: its head, and its bytes zero-filled
// beyond what travelled; no message at all reads as result kNoReply.
struct Reply {
  static constexpr RETCODE kNoReply = 0x7FFFFFFF;
  COMM_DIR_IPC_ENVELOPE_HEAD head{};
  std::vector<char> bytes = std::vector<char>(1 << 16);
  std::size_t received = 0;

  template <typename Value>
  Value at(std::size_t offset) const {
    Value value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
  }
  RETCODE envelope() const { return at<RETCODE>(sizeof head); }  // a reply's result word, before its payload
  // Where the payload begins: behind that word in a reply, behind the head
  // in a callback (a request form).
  std::size_t payload() const { return head.replied != 0 ? COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET : sizeof head; }
  UINT word_at(std::size_t offset) const { return at<UINT>(payload() + offset); }
  RETCODE result() const { return received > 0 ? word_at(offsetof(COMM_DIR_REPLY, result)) : kNoReply; }
  UINT word() const { return word_at(offsetof(COMM_DIR_REPLY, body)); }
  std::string text() const { return std::string(bytes.begin() + payload(), bytes.end()); }  // the payload's bytes
};

// A request form for `function_id` carrying `record` (the form is zeros
// beyond it), answered under `tag` to `reply_server`.
template <typename Record = COMM_DIR_OPERATION_REQUEST>
std::vector<char> request(int function_id, UINT tag, const Record& record = {},
                          const std::string& reply_server = "utcp:WIRE") {
  std::vector<char> form(COMM_DIR_IPC_REQUEST_SIZE);
  COMM_DIR_IPC_ENVELOPE_HEAD head{{}, tag, 0, static_cast<UINT>(function_id), {}, ~tag, COMM_DIR_IPC_REPLY_SIZE};
  const UINT length = COMM_DIR_IPC_REQUEST_SIZE;
  std::memcpy(head.ipc_header + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
  copy_field(head.reply_server_name, reply_server);
  std::memcpy(form.data(), &head, sizeof head);
  std::memcpy(form.data() + sizeof head, &record, sizeof record);
  return form;
}

// A datagram socket bound in a folder, as an application's reply or callback
// server is: what it receives is read here, not by the platform.
class Endpoint {
 public:
  Endpoint(const std::string& dir, const std::string& name) : fd(unix_socket()), path(dir + "/" + name) {
    const sockaddr_un address = unix_address(path);
    unlink(path.c_str());  // what a process that was killed left there
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "cannot bind " << path;
  }
  ~Endpoint() {
    close(fd);
    unlink(path.c_str());
  }
  bool receive(Reply* reply, ms limit) {
    pollfd readable{fd, POLLIN, 0};
    const ssize_t got = poll(&readable, 1, static_cast<int>(limit.count())) == 1
                            ? recv(fd, reply->bytes.data(), reply->bytes.size(), 0)
                            : -1;
    if (got < static_cast<ssize_t>(sizeof reply->head)) return false;
    reply->received = static_cast<std::size_t>(got);
    reply->head = reply->at<COMM_DIR_IPC_ENVELOPE_HEAD>(0);
    return true;
  }
  // The reply to `tag` (none: result kNoReply); others are kept.
  Reply wait(UINT tag, ms limit = ms(15000)) {
    Reply reply;
    for (const auto end = Clock::now() + limit; kept_.count(tag) == 0 && Clock::now() < end && receive(&reply, limit);
         reply = Reply()) {
      kept_.emplace(reply.head.event_sem_id, reply);
    }
    const auto kept = kept_.find(tag);
    if (kept == kept_.end()) return Reply();
    reply = std::move(kept->second);
    kept_.erase(kept);
    return reply;
  }
  bool quiet(ms limit) {  // nothing kept, and nothing comes within `limit`
    Reply stray;
    return kept_.empty() && !receive(&stray, limit);
  }

  int fd = -1;
  std::string path;

 private:
  std::multimap<UINT, Reply> kept_;
};

inline COMM_DIR_CONNECT_INFO connect_to(const std::string& uri, UINT security = COMM_DIR_SECURITY_NONE,
                                        const std::string& ca = "", UINT verify = COMM_DIR_TLS_VERIFY_DEMAND,
                                        UINT timeout_ms = 5000) {
  COMM_DIR_CONNECT_INFO record{};
  copy_field(record.uri, uri);
  copy_field(record.tls_ca_file, ca);
  record.security = security;
  record.tls_verify = verify;
  record.network_timeout_ms = timeout_ms;
  return record;
}
inline COMM_DIR_BIND_INFO bind_as(const char* dn, const char* password) {
  COMM_DIR_BIND_INFO record{};
  record.method = COMM_DIR_BIND_SIMPLE;
  copy_field(record.bind_dn, dn);
  copy_field(record.password, password);
  return record;
}
// A connection test's record, or (Record = COMM_DIR_START_OPERATION_REQUEST)
// the start of an operation's: both carry the same connection and bind.
template <typename Record = COMM_DIR_TEST_CONNECTION_INFO>
Record connecting(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind = nullptr) {
  Record record{};
  record.connect = connect;
  record.bind_present = bind != nullptr;
  if (bind != nullptr) record.bind = *bind;
  return record;
}
inline COMM_DIR_SEARCH_CONDITION condition(const Search& search, UINT operation) {
  COMM_DIR_SEARCH_CONDITION record{};
  record.operation_id = operation;
  copy_field(record.base_dn, search.base);
  record.scope = COMM_DIR_SCOPE_SUB;
  copy_field(record.filter, search.filter);
  copy_field(record.attributes, search.attributes);
  return record;
}

// A walk through the facade: every entry, attribute and value (jpegPhoto as
// binary values, the rest as strings) until the first failure, which the
// call that returned it names ("entries" for the end of the walk).
struct Walk {
  std::vector<Entry> entries;
  RETCODE result = 0;
  std::string failed_call = "start_operation";
  RETCODE ended = 0;  // end_operation's result
};
inline comm_dir_facade* facade() { return comm_dir_facade::comm_dir_get_instance(); }  // made at its first call
inline Walk walk(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, const Search& search) {
  Walk walk;
  UINT operation = 0;
  if ((walk.result = facade()->start_operation(connect, bind, &operation)) != 0) return walk;
  timeval no_limit{0, 0};
  walk.failed_call = "search";
  if ((walk.result = facade()->search(condition(search, operation), 0, no_limit)) == 0) {
    walk.failed_call = "entries";
    walk.result = facade()->get_first_entry(operation);
  }
  for (CHAR* name = nullptr; walk.result == 0; walk.result = walk.result != 0 ? walk.result : facade()->get_next_entry(operation)) {
    Entry& entry = walk.entries.emplace_back();
    for (walk.result = facade()->get_first_attribute(operation, name); walk.result == 0 && name != nullptr;
         walk.result = facade()->get_next_attribute(operation, name)) {
      std::vector<std::string>& values = entry.emplace_back(name, std::vector<std::string>()).second;
      UINT count = 0;
      COMM_DIR_BERVAL** binary = nullptr;
      CHAR** strings = nullptr;
      walk.result = std::strcmp(name, "jpegPhoto") == 0 ? facade()->get_value_binary(operation, name, count, binary)
                                                        : facade()->get_value_string(operation, name, count, strings);
      for (UINT i = 0; walk.result == 0 && i < count; ++i) {
        values.push_back(binary != nullptr ? std::string(binary[i]->bv_val, binary[i]->bv_len) : strings[i]);
      }
      if (walk.result != 0) {
        walk.failed_call = name;
        break;
      }
    }
  }
  walk.ended = facade()->end_operation(operation);
  return walk;
}

// A forked child that becomes `uid` (and the group of the same number) unless
// it is 0, runs `body`, hands what it returns to result(), and then waits to
// be killed. Its name, after which its endpoints are named (their first five
// characters), is its own unless `body` names it. Fork children before this
// process uses the library.
class AsUser {
 public:
  AsUser(uid_t uid, const std::function<std::string()>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    if ((pid = fork()) == 0) {
      close(fds[0]);
      prctl(PR_SET_NAME, ("u" + std::to_string(getpid() % 10000)).c_str());
      if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
        _exit(2);
      const std::string said = body();
      if (write(fds[1], said.data(), said.size()) < 0) _exit(3);
      close(fds[1]);
      for (;;) pause();
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~AsUser() { kill(); }
  std::string result(ms limit = ms(20000)) {
    std::string said;
    char bytes[4096];
    pollfd readable{fd_, POLLIN, 0};
    for (ssize_t got; poll(&readable, 1, static_cast<int>(limit.count())) == 1 && (got = read(fd_, bytes, sizeof bytes)) > 0;)
      said.append(bytes, static_cast<std::size_t>(got));
    return said;
  }
  void kill() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    if (fd_ >= 0) close(fd_);
    pid = fd_ = -1;
  }
  pid_t pid = -1;

 private:
  int fd_ = -1;
};

inline sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}
// A listening socket on 127.0.0.1:port (0: a free one, written back); -1 on failure.
inline int listen_on(int& port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address = loopback(port);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return fd;
}

// A port on 127.0.0.1 that a listener holds but never accepts on: connects
// complete and nothing answers; with `full`, its backlog (0 holds one
// connection) is full and connects never complete.
class Listener {
 public:
  explicit Listener(bool full = false) : fds_{listen_on(port, full ? 0 : 64)} {
    const sockaddr_in address = loopback(port);
    for (int i = 0; full && i < 2; ++i) {
      fds_.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      connect(fds_.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
  }
  ~Listener() {
    for (int fd : fds_) close(fd);
  }
  std::string uri(const char* scheme = "ldap") const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/"; }
  int port = 0;  // before fds_, which sets it

 private:
  std::vector<int> fds_;
};

// slapd and the daemon, started by the test with the options it needs, and
// the daemon's exit checked when it is stopped: a crash or a sanitizer's
// report fails the test even when every answer was right.
class IntegrationTest : public ::testing::Test {
 protected:
  void start_slapd(bool tls = true) {
    slapd = std::make_unique<Slapd>(tls);
    ASSERT_NE(slapd->uri, "") << slapd->error;
  }
  // comm-dir-service in a private folder, which is also this process's
  // COMM_DIR_IPC_DIR (`prepare` gets it first), the daemon before it
  // stopped; "" once its endpoint takes messages, else what went wrong.
  std::string start_daemon(const std::vector<std::string>& args, Environment env = {},
                           const std::function<void(const std::string&)>& prepare = nullptr) {
    stop_daemon();
    std::string error;
    dir = make_private_folder("commdir-ipc", error);
    if (prepare) prepare(dir);
    setenv("COMM_DIR_IPC_DIR", dir.c_str(), 1);
    env.emplace_back("COMM_DIR_IPC_DIR", dir);
    std::vector<std::string> argv = {COMMDIR_SERVICE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    daemon = std::make_unique<ChildProcess>(argv, env, dir + ".log");
    const std::string endpoint = dir + "/COMM_DIR_SRV";  // which takes messages once it is there
    const bool ready = eventually([&] { return access(endpoint.c_str(), F_OK) == 0 || !daemon->alive(); });
    if (ready && daemon->alive()) {
      wire = std::make_unique<Endpoint>(dir, "WIRE");
      return "";
    }
    daemon.reset();
    return error + "comm-dir-service did not start: " + log();
  }
  void stop_daemon() {
    wire.reset();
    if (daemon != nullptr) {
      EXPECT_EQ(daemon->stop(std::chrono::seconds(20)), 0)
          << "its wait status: a crash, a sanitizer's report, or no clean stop";
      if (HasFailure()) std::cerr << "--- comm-dir-service ---\n" << log() << "---\n";
    }
    daemon.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::remove(dir + ".log", ignored);
  }
  void TearDown() override {
    stop_daemon();
    slapd.reset();
  }
  std::string log() const { return read_file(dir + ".log"); }
  bool send(const std::vector<char>& message) const {  // to the daemon's endpoint
    const sockaddr_un address = unix_address(dir + "/COMM_DIR_SRV");
    const int fd = unix_socket();
    const ssize_t sent = sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                                sizeof address);
    close(fd);
    return sent == static_cast<ssize_t>(message.size());
  }
  // One raw request to the daemon and its reply, over the endpoint WIRE.
  template <typename Record>
  Reply call(int function_id, const Record& record) {
    send(request(function_id, ++tag_, record));
    return wire->wait(tag_);
  }

  std::unique_ptr<Slapd> slapd;
  std::unique_ptr<ChildProcess> daemon;
  std::string dir;  // the daemon's folder
  std::unique_ptr<Endpoint> wire;
  UINT tag_ = 0x1000;
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_INTEGRATION_HARNESS_H_
