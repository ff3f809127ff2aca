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
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
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
#include "support/read_file.h"

namespace commdir_testing {

using namespace velmarosta;
using ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// --- children: bounded runs of programs, and programs that run until stopped

// Variables added to (or replacing in) a child's environment.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Starts `argv` (argv[0] a path, or a name looked up in PATH) through env(1),
// which sets `env` first, with standard input, output and error from these
// descriptors (-1: the child fails at once). Everything the child needs is
// built before fork(): between fork and exec a child of a threaded process
// may only make async-signal-safe calls. The child gets SIGTERM when this
// process dies, so that a crashed test leaves nothing behind.
inline pid_t spawn(const std::vector<std::string>& argv, const Environment& env, int in, int out, int err) {
  std::vector<std::string> words = {"env"};
  for (const auto& [name, value] : env) words.push_back(name + "=" + value);
  words.insert(words.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (auto& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  const pid_t parent = getpid(), pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent || in < 0 || out < 0 || err < 0) _exit(126);  // the parent died before the request
  dup2(in, STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(err, STDERR_FILENO);
  execvp(args[0], args.data());
  _exit(127);
}

// Waits until `pid` has exited (true, *status set); past `deadline` it is
// killed and reaped (false).
inline bool reaped(pid_t pid, int* status, Clock::time_point deadline) {
  for (; waitpid(pid, status, WNOHANG) == 0; std::this_thread::sleep_for(ms(2))) {
    if (Clock::now() >= deadline) return kill(pid, SIGKILL), waitpid(pid, status, 0), false;
  }
  return true;
}

struct CommandResult {
  int exit_code = -1;  // -1 when the program could not run or was killed
  std::string out, err;
};

// Runs `argv`, feeds it `input` and collects its output; a program still
// running after `limit` is killed. Input and output are anonymous files, not
// pipes to pump, so a child that fills one cannot block on it.
inline CommandResult run_command(const std::vector<std::string>& argv, const std::string& input = "",
                                 const Environment& env = {}, ms limit = std::chrono::seconds(30)) {
  const auto memory_file = [](const std::string& text) {
    const int fd = memfd_create("child", MFD_CLOEXEC);
    return fd >= 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) ? fd : -1;
  };
  const auto contents = [](int fd) {  // closed
    const std::string text = read_file("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    return text;
  };
  const int in = memory_file(input), out = memory_file(""), err = memory_file("");
  const pid_t pid = spawn(argv, env, in, out, err);
  int status = -1;
  const bool exited = pid > 0 && reaped(pid, &status, Clock::now() + limit);
  close(in);
  CommandResult result{-1, contents(out), pid < 0 ? std::string("fork: ") + std::strerror(errno) : contents(err)};
  if (exited && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

// A long-running child, started at construction and stopped (SIGTERM, then
// SIGKILL after a bound) at destruction. Its output goes to `log_path`
// (appended), or to /dev/null when empty. One thread starts and stops it.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const Environment& env, const std::string& log_path) {
    const int log =
        open(log_path.empty() ? "/dev/null" : log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = spawn(argv, env, null, log, log);
    for (int fd : {log, null}) close(fd);
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool alive() {                                                       // the child has not exited
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) != 0) pid_ = -1;  // reaped: never signal that pid again
    return pid_ > 0;
  }
  int stop(ms term_bound = std::chrono::seconds(5)) {  // its wait status (-1 when it never ran)
    if (alive()) {
      kill(pid_, SIGTERM);
      reaped(pid_, &status_, Clock::now() + term_bound);
      pid_ = -1;
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;   // -1 once the child has been reaped
  int status_ = -1;  // wait status once reaped
};

// Makes a folder only this user can enter, "<$TMPDIR or /tmp>/<prefix>-XXXXXX";
// returns its path, or "" (with `*error`, if given, set) when that fails.
inline std::string make_private_folder(const std::string& prefix, std::string* error = nullptr) {
  std::string pattern = std::filesystem::temp_directory_path() / (prefix + "-XXXXXX");
  if (mkdtemp(pattern.data()) != nullptr) return pattern;  // mode 0700
  if (error != nullptr) *error = "mkdtemp failed for " + pattern + ": " + std::strerror(errno);
  return "";
}

// --- the directory, the daemon and its messages

constexpr char kRoot[] = "dc=example,dc=com";
constexpr char kPeople[] = "ou=people,dc=example,dc=com";
constexpr char kMedia[] = "ou=media,dc=example,dc=com";
constexpr char kReaderDn[] = "uid=reader,ou=system,dc=example,dc=com";
constexpr char kReaderPassword[] = "reader-secret";
constexpr char kDownUri[] = "ldap://127.0.0.1:1/";  // a privileged port where nothing listens

// An entry's attributes in the server's order, values as bytes; no DN (the
// facade has no call for it).
using Values = std::vector<std::string>;
using Entry = std::vector<std::pair<std::string, Values>>;

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

// The established connections to the LDAP server on `port`: those whose
// remote port is the server's (slapd's own ends have it as their local one).
inline int connections_to(int port) {
  std::ifstream table("/proc/net/tcp");
  int count = 0;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    count += state == "01" && std::strtoul(remote.c_str() + remote.find(':') + 1, nullptr, 16) == unsigned(port);
  }
  return count;
}

class Slapd {
 public:
  explicit Slapd(bool tls = true) : dir(make_private_folder("commdir-slapd", &error)) {  // with the sample address book
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
    const CommandResult added =
        run_command({"ldapadd", "-x", "-H", uri, "-D", "cn=admin,dc=example,dc=com", "-w", "admin-secret"}, ldif);
    error = added.err;
    return added.exit_code == 0;
  }
  // ldapsearch's entries for `search`, bound as the reader. With -tt every
  // value goes to a file of its own (":< file://PATH"), so none needs decoding.
  std::vector<Entry> search(const Search& search) const {
    const std::string values = make_private_folder("commdir-values");
    std::vector<std::string> argv = {"ldapsearch",
                                     "-x",
                                     "-D",
                                     kReaderDn,
                                     "-w",
                                     kReaderPassword,
                                     "-LLL",
                                     "-tt",
                                     "-T",
                                     values,
                                     "-o",
                                     "ldif-wrap=no",
                                     "-H",
                                     uri,
                                     "-b",
                                     search.base,
                                     search.filter.empty() ? "(objectClass=*)" : search.filter};
    std::istringstream names(search.attributes);
    for (std::string name; names >> name;) argv.push_back(name);
    std::istringstream lines(run_command(argv).out);
    std::vector<Entry> entries;
    for (std::string line; std::getline(lines, line);) {
      const std::size_t colon = line.find(":< file://");
      if (line.rfind("dn:", 0) == 0) entries.emplace_back();
      if (colon == std::string::npos || entries.empty()) continue;
      const std::string name = line.substr(0, colon);
      if (entries.back().empty() || entries.back().back().first != name) entries.back().emplace_back(name, Values());
      entries.back().back().second.push_back(read_file(line.substr(colon + 10)));
    }
    std::filesystem::remove_all(values);
    return entries;
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
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      ADD_FAILURE() << "cannot bind " << path;
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
    auto kept = kept_.extract(tag);
    return kept.empty() ? Reply() : std::move(kept.mapped());
  }
  bool quiet(ms limit) {  // nothing kept, and nothing comes within `limit`
    Reply stray;
    return kept_.empty() && !receive(&stray, limit);
  }

  // Sends itself junk (too short to be a message) until its queue is full.
  void fill() const {
    const std::vector<char> junk(sizeof(COMM_DIR_IPC_ENVELOPE_HEAD));
    const sockaddr_un address = unix_address(path);
    while (sendto(fd, junk.data(), junk.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) > 0) {
    }
  }

  int fd = -1;
  std::string path;

 private:
  std::multimap<UINT, Reply> kept_;
};

inline COMM_DIR_CONNECT_INFO connect_to(const std::string& uri, UINT security = COMM_DIR_SECURITY_NONE,
                                        const std::string& ca = "", UINT verify = COMM_DIR_TLS_VERIFY_DEMAND,
                                        UINT timeout_ms = 5000) {
  COMM_DIR_CONNECT_INFO record{{}, {}, security, timeout_ms, verify, 0};
  copy_field(record.uri, uri);
  copy_field(record.tls_ca_file, ca);
  return record;
}
inline COMM_DIR_BIND_INFO bind_as(const char* dn, const char* password) {
  COMM_DIR_BIND_INFO record{COMM_DIR_BIND_SIMPLE, {}, {}, {}};
  copy_field(record.bind_dn, dn);
  copy_field(record.password, password);
  return record;
}
inline const COMM_DIR_BIND_INFO kReader = bind_as(kReaderDn, kReaderPassword);
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
  COMM_DIR_SEARCH_CONDITION record{{}, COMM_DIR_SCOPE_SUB, 0, 0, {}, {}, operation};
  copy_field(record.base_dn, search.base);
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
  for (CHAR* name = nullptr; walk.result == 0;
       walk.result = walk.result != 0 ? walk.result : facade()->get_next_entry(operation)) {
    Entry& entry = walk.entries.emplace_back();
    for (walk.result = facade()->get_first_attribute(operation, name); walk.result == 0 && name != nullptr;
         walk.result = facade()->get_next_attribute(operation, name)) {
      Values& values = entry.emplace_back(name, Values()).second;
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
      prctl(PR_SET_PDEATHSIG, SIGKILL);
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
    for (ssize_t got;
         poll(&readable, 1, static_cast<int>(limit.count())) == 1 && (got = read(fd_, bytes, sizeof bytes)) > 0;)
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

// A port on 127.0.0.1 (0: a free one) that a listener holds but never
// accepts on (a FaultProxy accepts on its own): connects complete and nothing
// answers; with `full`, its backlog (0 holds one connection) is full and
// connects never complete.
class Listener {
 public:
  explicit Listener(bool full = false, int at = 0) : fds_{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)} {
    sockaddr_in address = loopback(at);
    socklen_t size = sizeof address;
    const int reuse = 1;  // a port that a FaultProxy takes again
    setsockopt(fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (bind(fd(), reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd(), full ? 0 : 64) != 0)
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    getsockname(fd(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    for (int i = 0; full && i < 2; ++i) {
      fds_.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      connect(fds_.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
  }
  ~Listener() {
    for (int fd : fds_) close(fd);
  }
  int fd() const { return fds_[0]; }
  std::string uri(const char* scheme = "ldap") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/";
  }
  int port = 0;

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
  // stopped, run by `runner` (setpriv, say) when given; "" once its endpoint
  // takes messages, else what went wrong.
  std::string start_daemon(std::vector<std::string> args, Environment env = {},
                           const std::function<void(const std::string&)>& prepare = nullptr,
                           const std::vector<std::string>& runner = {}) {
    stop_daemon();
    std::string error;
    dir = make_private_folder("commdir-ipc", &error);
    if (prepare) prepare(dir);
    setenv("COMM_DIR_IPC_DIR", dir.c_str(), 1);
    env.emplace_back("COMM_DIR_IPC_DIR", dir);
    args.insert(args.begin(), COMMDIR_SERVICE_BIN);
    args.insert(args.begin(), runner.begin(), runner.end());
    daemon = std::make_unique<ChildProcess>(args, env, dir + ".log");
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
  // To the daemon's endpoint, or to another of its folder.
  bool send(const std::vector<char>& message, const std::string& endpoint = "COMM_DIR_SRV") const {
    const sockaddr_un address = unix_address(dir + "/" + endpoint);
    const int fd = unix_socket();
    const ssize_t sent =
        sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
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
