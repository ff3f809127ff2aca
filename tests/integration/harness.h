// What the integration tests share: slapd (tests/support/slapd/slapd-fixture)
// and the daemon as children in private folders, raw datagrams to and from the
// daemon's folder as any local program can send them, walks through the
// public facade, ldapsearch's answer to compare them with, and children that
// act as other users. Every child is stopped with its object, and also when
// the test process dies.
#ifndef COMMDIR_TESTS_INTEGRATION_HARNESS_H_
#define COMMDIR_TESTS_INTEGRATION_HARNESS_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_result_codes.h"
#include "support/child_process.h"

namespace commdir_testing {

using namespace velmarosta;
using ms = std::chrono::milliseconds;

constexpr char kRoot[] = "dc=example,dc=com";
constexpr char kPeople[] = "ou=people,dc=example,dc=com";
constexpr char kMedia[] = "ou=media,dc=example,dc=com";
constexpr char kAdminDn[] = "cn=admin,dc=example,dc=com";
constexpr char kAdminPassword[] = "admin-secret";
constexpr char kReaderDn[] = "uid=reader,ou=system,dc=example,dc=com";
constexpr char kReaderPassword[] = "reader-secret";

// An entry's attributes in the server's order, values as bytes; no DN (the
// facade has no call for it).
using Entry = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct Search {
  std::string base = kPeople;
  UINT scope = COMM_DIR_SCOPE_SUB;
  std::string filter = "";
  std::string attributes = "";  // blank-separated, as the record takes them
  UINT size_limit = 0;
};

// A value of `length` bytes whose every position differs from its
// neighbours', so that a value shifted, cut or padded cannot compare equal.
std::string pattern(std::size_t length);
// ou=media: an entry cn=vN for N = 47209, 47208 and 47207 (one byte beyond
// what one reply carries, and the longest binary and string values), each
// with a description and a jpegPhoto of N bytes; the first has shorter values
// beside its long ones.
std::string long_values_ldif();

class Slapd {
 public:
  explicit Slapd(bool tls = true);  // with the sample address book
  ~Slapd();
  bool add(const std::string& ldif);  // as the root DN
  // ldapsearch's entries for `search`.
  std::vector<Entry> search(const Search& search, bool as_reader = true) const;
  std::string ca() const { return dir + "/tls/ca.pem"; }
  std::string foreign_ca() const { return dir + "/tls/foreign-ca.pem"; }  // signed nothing here
  int port() const { return std::atoi(uri.c_str() + uri.rfind(':') + 1); }

  std::string dir, uri, ldaps_uri, error;
};

// comm-dir-service in a private folder, which is also this process's
// COMM_DIR_IPC_DIR; `prepare` gets the folder before the daemon starts.
class Daemon {
 public:
  Daemon(const std::vector<std::string>& args, const Environment& env = {},
         const std::function<void(const std::string&)>& prepare = nullptr);
  ~Daemon();
  bool start();  // (again, once the one before ended); waits until its endpoint takes messages
  int stop();    // its wait status
  std::string log() const;
  pid_t pid() const { return child_ ? child_->pid() : -1; }
  bool alive() { return child_ && child_->alive(); }

  std::string dir, error;

 private:
  std::vector<std::string> argv_;
  Environment env_;
  std::unique_ptr<ChildProcess> child_;
};

// A message as the test's endpoint received it; the payload zero-filled to
// its full size, so a missing reply reads as result kNoReply.
struct Reply {
  static constexpr RETCODE kNoReply = 0x7FFFFFFF;
  COMM_DIR_IPC_ENVELOPE_HEAD head{};
  RETCODE envelope = kNoReply;
  std::vector<char> payload = std::vector<char>(COMM_DIR_IPC_MAX_PAYLOAD);
  std::size_t received = 0;  // bytes that travelled

  RETCODE result() const { return received > 0 ? word_at(offsetof(COMM_DIR_REPLY, result)) : kNoReply; }
  UINT word() const { return word_at(offsetof(COMM_DIR_REPLY, body)); }
  UINT word_at(std::size_t offset) const {
    UINT word;
    std::memcpy(&word, payload.data() + offset, sizeof word);
    return word;
  }
  const char* data() const { return payload.data() + COMM_DIR_REPLY_DATA_OFFSET; }
};

// A request form for `function_id` carrying `record`, answered under `tag` to
// `reply_server`.
std::vector<char> request(int function_id, UINT tag, const void* record = nullptr, std::size_t size = 0,
                          const std::string& reply_server = "utcp:WIRE");
template <typename Record>
std::vector<char> request(int function_id, UINT tag, const Record& record) {
  return request(function_id, tag, &record, sizeof record);
}
bool send_datagram(const std::string& path, const std::vector<char>& bytes);

// A datagram socket bound in a folder, as an application's reply or callback
// server is: what it receives is read here, not by the platform.
class Endpoint {
 public:
  Endpoint(const std::string& dir, const std::string& name);
  ~Endpoint();
  bool receive(Reply* reply, ms limit);
  Reply wait(UINT tag, ms limit = ms(15000));  // the reply to `tag`; others are kept
  std::string drain();                          // the bytes of everything waiting
  bool quiet(ms limit);                         // nothing kept, and nothing comes within `limit`
  void fill();                                  // its queue, so that nothing more gets in

  int fd = -1;
  std::string path;

 private:
  std::multimap<UINT, Reply> kept_;
};

velmarosta::COMM_DIR_CONNECT_INFO connect_to(const std::string& uri, UINT security = COMM_DIR_SECURITY_NONE,
                                             const std::string& ca = "", UINT verify = COMM_DIR_TLS_VERIFY_DEMAND,
                                             UINT timeout_ms = 5000);
velmarosta::COMM_DIR_BIND_INFO bind_as(const char* dn, const char* password);

// A walk through the facade: every entry, attribute and value (jpegPhoto as
// binary values, the rest as strings) until the first failure, which the
// call that returned it names ("entries" for the end of the walk).
struct Walk {
  std::vector<Entry> entries;
  RETCODE result = 0;
  std::string failed_call;
  RETCODE ended = 0;  // end_operation's result
};
Walk walk(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, const Search& search);
COMM_DIR_SEARCH_CONDITION condition(const Search& search, UINT operation);

// Counts its callbacks and keeps the last argument; they come on the
// callback server's threads.
struct CountingCallback : comm_dir_callback {
  void on_callback(UINT last) override {
    argument = last;
    ++calls;
  }
  std::atomic<int> calls{0};
  std::atomic<UINT> argument{~0u};
};

// A forked child that becomes `uid` (and the group of the same number) unless
// it is 0, runs `body`, hands what it returns to result(), and then waits to
// be killed. Fork children before this process uses the library.
class AsUser {
 public:
  AsUser(uid_t uid, const std::function<std::string()>& body);
  ~AsUser() { kill(); }
  std::string result(ms limit = ms(20000));
  void kill();
  pid_t pid = -1;

 private:
  int fd_ = -1;
};

// A port on 127.0.0.1 that a listener holds but never accepts on: connects
// complete and nothing answers; with `full`, its backlog is full and connects
// never complete.
class Listener {
 public:
  explicit Listener(bool full = false);
  ~Listener();
  std::string uri(const char* scheme = "ldap") const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/"; }
  int port = 0;

 private:
  std::vector<int> fds_;
};
std::string closed_port_uri();  // nothing listens there
sockaddr_in loopback(int port);
int listen_on(int* port, int backlog);  // on 127.0.0.1:*port (0: a free one, written back); -1 on failure

// True once `condition` holds, polled for at most `limit`.
bool eventually(const std::function<bool()>& condition, ms limit = ms(10000));

// slapd and the daemon, started by the test with the options it needs, and
// the daemon's exit checked at the end: a crash or a sanitizer's report fails
// the test even when every answer was right.
class IntegrationTest : public ::testing::Test {
 protected:
  void start_slapd(bool tls = true);
  void start_daemon(const std::vector<std::string>& args, const Environment& env = {},
                    const std::function<void(const std::string&)>& prepare = nullptr);
  void TearDown() override;
  // One raw request to the daemon and its reply, over the endpoint WIRE.
  template <typename Record>
  Reply call(int function_id, const Record& record) {
    const UINT tag = ++tag_;
    send_datagram(daemon->dir + "/COMM_DIR_SRV", request(function_id, tag, record));
    return wire->wait(tag);
  }

  std::unique_ptr<Slapd> slapd;
  std::unique_ptr<Daemon> daemon;
  std::unique_ptr<Endpoint> wire;
  UINT tag_ = 0x1000;
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_INTEGRATION_HARNESS_H_
