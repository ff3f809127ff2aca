#include "integration/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "support/read_file.h"

namespace commdir_testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_un unix_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return address;
}

int unix_socket() { return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

std::string base64_decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned bits = 0, count = 0;
  for (char c : text) {
    const std::size_t sextet = kAlphabet.find(c);
    if (sextet == std::string::npos) continue;  // the padding
    bits = bits << 6 | static_cast<unsigned>(sextet);
    if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8) & 0xFF);
  }
  return bytes;
}

// ldapsearch -LLL -o ldif-wrap=no: no folding, "::" before base64.
std::vector<Entry> parse_ldif(const std::string& ldif) {
  std::vector<Entry> entries;
  std::istringstream lines(ldif);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;  // between entries
    const std::string name = line.substr(0, colon);
    if (name == "dn" || entries.empty()) entries.emplace_back();
    if (name == "dn") continue;
    const bool encoded = line.compare(colon, 2, "::") == 0;
    const std::string value = line.substr(std::min(line.size(), colon + (encoded ? 3 : 2)));
    Entry& entry = entries.back();
    if (entry.empty() || entry.back().first != name) entry.emplace_back(name, std::vector<std::string>());
    entry.back().second.push_back(encoded ? base64_decode(value) : value);
  }
  return entries;
}

template <std::size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

// jpegPhoto as binary values, as ldapsearch shows them, the rest as strings.
RETCODE read_values(comm_dir_facade* facade, UINT operation, CHAR* attribute, std::vector<std::string>& values) {
  UINT count = 0;
  COMM_DIR_BERVAL** binary = nullptr;
  CHAR** strings = nullptr;
  const RETCODE rc = std::strcmp(attribute, "jpegPhoto") == 0 ? facade->get_value_binary(operation, attribute, count, binary)
                                                               : facade->get_value_string(operation, attribute, count, strings);
  for (UINT i = 0; rc == 0 && i < count; ++i) {
    values.push_back(binary != nullptr ? std::string(binary[i]->bv_val, binary[i]->bv_len) : strings[i]);
  }
  return rc;
}

}  // namespace

std::string pattern(std::size_t length) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string value(length, ' ');
  for (std::size_t i = 0; i < length; ++i) value[i] = kDigits[(i * 7 + i / 36 + length) % 36];
  return value;
}

std::string long_values_ldif() {
  std::string ldif = std::string("dn: ") + kMedia + "\nobjectClass: organizationalUnit\nou: media\n\n";
  for (std::size_t length : {47209, 47208, 47207}) {
    const std::string cn = "v" + std::to_string(length), shorter = length == 47209 ? pattern(2000) : "";
    ldif += "dn: cn=" + cn + "," + kMedia + "\nobjectClass: inetOrgPerson\ncn: " + cn + "\nsn: V\n" +
            (length == 47209 ? "description: short\n" : "") + "description: " + pattern(length) +
            "\njpegPhoto: " + pattern(length) + (shorter.empty() ? "" : "\njpegPhoto: " + shorter) + "\n\n";
  }
  return ldif;
}

Slapd::Slapd(bool tls) {
  dir = make_private_folder("commdir-slapd", error);
  const CommandResult started =
      run_command({COMMDIR_SLAPD_FIXTURE, "start", dir, COMMDIR_ADDRESS_BOOK}, "",
                  {{"SLAPD_FIXTURE_OWNER", std::to_string(getpid())}, {"SLAPD_FIXTURE_TLS", tls ? "yes" : "no"}},
                  std::chrono::seconds(60));
  error += started.err;
  if (started.exit_code == 0) uri = started.out.substr(0, started.out.find('\n'));
  ldaps_uri = read_file(dir + "/ldaps-uri");
  ldaps_uri = ldaps_uri.substr(0, ldaps_uri.find('\n'));
}

Slapd::~Slapd() {
  run_command({COMMDIR_SLAPD_FIXTURE, "stop", dir}, "", {}, std::chrono::seconds(60));
  rmdir(dir.c_str());
}

bool Slapd::add(const std::string& ldif) {
  const CommandResult added = run_command({"ldapadd", "-x", "-H", uri, "-D", kAdminDn, "-w", kAdminPassword}, ldif);
  error = added.err;
  return added.exit_code == 0;
}

std::vector<Entry> Slapd::search(const Search& search, bool as_reader) const {
  static const char* const kScopes[] = {"base", "one", "sub", "children"};
  std::vector<std::string> argv = {"ldapsearch", "-x", "-LLL", "-o", "ldif-wrap=no", "-H", uri,
                                   "-b", search.base, "-s", kScopes[search.scope & 3],
                                   "-z", std::to_string(search.size_limit),
                                   search.filter.empty() ? "(objectClass=*)" : search.filter};
  if (as_reader) argv.insert(argv.begin() + 1, {"-D", kReaderDn, "-w", kReaderPassword});
  std::istringstream names(search.attributes);
  for (std::string name; names >> name;) argv.push_back(name);
  return parse_ldif(run_command(argv).out);
}

Daemon::Daemon(const std::vector<std::string>& args, const Environment& env,
               const std::function<void(const std::string&)>& prepare)
    : argv_{COMMDIR_SERVICE_BIN}, env_(env) {
  dir = make_private_folder("commdir-ipc", error);
  if (prepare) prepare(dir);
  setenv("COMM_DIR_IPC_DIR", dir.c_str(), 1);
  env_.emplace_back("COMM_DIR_IPC_DIR", dir);
  argv_.insert(argv_.end(), args.begin(), args.end());
  start();
}

Daemon::~Daemon() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::remove(dir + ".log", ignored);
}

bool Daemon::start() {
  child_ = std::make_unique<ChildProcess>(argv_, env_, dir + ".log");
  const sockaddr_un endpoint = unix_address(dir + "/COMM_DIR_SRV");
  const bool ready = eventually([&] {
    const int fd = unix_socket();
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0;
    close(fd);
    return connected || !child_->alive();
  });
  if (!ready || !child_->alive()) error = "comm-dir-service did not start: " + log();
  return error.empty();
}

int Daemon::stop() { return child_ ? child_->stop(std::chrono::seconds(20)) : -1; }

std::string Daemon::log() const { return read_file(dir + ".log"); }

std::vector<char> request(int function_id, UINT tag, const void* record, std::size_t size,
                          const std::string& reply_server) {
  std::vector<char> form(COMM_DIR_IPC_REQUEST_SIZE);
  COMM_DIR_IPC_ENVELOPE_HEAD head{};
  const UINT length = COMM_DIR_IPC_REQUEST_SIZE;
  std::memcpy(head.ipc_header + GEN_IPC_HDR_LENGTH_OFFSET, &length, sizeof length);
  head.event_sem_id = tag;
  head.type = static_cast<UINT>(function_id);
  copy_field(head.reply_server_name, reply_server);
  head.reply_buffer = ~tag;
  head.reply_buffer_size = COMM_DIR_IPC_REPLY_SIZE;
  std::memcpy(form.data(), &head, sizeof head);
  if (record != nullptr) std::memcpy(form.data() + sizeof head, record, size);
  return form;
}

bool send_datagram(const std::string& path, const std::vector<char>& bytes) {
  const sockaddr_un address = unix_address(path);
  const int fd = unix_socket();
  const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  close(fd);
  return sent == static_cast<ssize_t>(bytes.size());
}

Endpoint::Endpoint(const std::string& dir, const std::string& name) : fd(unix_socket()), path(dir + "/" + name) {
  const sockaddr_un address = unix_address(path);
  unlink(path.c_str());  // what a process that was killed left there
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "cannot bind " << path;
}

Endpoint::~Endpoint() {
  close(fd);
  unlink(path.c_str());
}

bool Endpoint::receive(Reply* reply, ms limit) {
  pollfd readable{fd, POLLIN, 0};
  std::vector<char> bytes(1 << 16);
  const ssize_t got = poll(&readable, 1, static_cast<int>(limit.count())) == 1 ? recv(fd, bytes.data(), bytes.size(), 0) : -1;
  if (got < static_cast<ssize_t>(sizeof reply->head)) return false;
  reply->received = static_cast<std::size_t>(got);
  std::memcpy(&reply->head, bytes.data(), sizeof reply->head);
  // A reply carries the envelope's result word before its payload; a
  // callback is a request form, whose payload follows the head.
  const std::size_t from = reply->head.replied != 0 ? COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET : sizeof reply->head;
  std::memcpy(&reply->envelope, bytes.data() + sizeof reply->head, sizeof reply->envelope);
  if (reply->received > from) std::copy(bytes.begin() + from, bytes.begin() + got, reply->payload.begin());
  return true;
}

Reply Endpoint::wait(UINT tag, ms limit) {
  Reply reply;
  for (const auto end = Clock::now() + limit; kept_.count(tag) == 0 && receive(&reply, limit); reply = Reply()) {
    kept_.emplace(reply.head.event_sem_id, reply);
    if (Clock::now() > end) break;
  }
  const auto kept = kept_.find(tag);
  if (kept == kept_.end()) {
    ADD_FAILURE() << "no reply to tag " << tag;
    return Reply();
  }
  reply = std::move(kept->second);
  kept_.erase(kept);
  return reply;
}

std::string Endpoint::drain() {
  std::string bytes;
  std::vector<char> datagram(1 << 16);
  for (ssize_t n; (n = recv(fd, datagram.data(), datagram.size(), MSG_DONTWAIT)) >= 0;) bytes.append(datagram.data(), n);
  return bytes;
}

bool Endpoint::quiet(ms limit) {
  Reply stray;
  return kept_.empty() && !receive(&stray, limit);
}

void Endpoint::fill() {
  const std::vector<char> junk(sizeof(COMM_DIR_IPC_ENVELOPE_HEAD));  // tag 0
  const sockaddr_un address = unix_address(path);
  const int filler = unix_socket();
  while (sendto(filler, junk.data(), junk.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) > 0) {
  }
  close(filler);
}

COMM_DIR_CONNECT_INFO connect_to(const std::string& uri, UINT security, const std::string& ca, UINT verify,
                                 UINT timeout_ms) {
  COMM_DIR_CONNECT_INFO record{};
  copy_field(record.uri, uri);
  copy_field(record.tls_ca_file, ca);
  record.security = security;
  record.tls_verify = verify;
  record.network_timeout_ms = timeout_ms;
  return record;
}

COMM_DIR_BIND_INFO bind_as(const char* dn, const char* password) {
  COMM_DIR_BIND_INFO record{};
  record.method = COMM_DIR_BIND_SIMPLE;
  copy_field(record.bind_dn, dn);
  copy_field(record.password, password);
  return record;
}

COMM_DIR_SEARCH_CONDITION condition(const Search& search, UINT operation) {
  COMM_DIR_SEARCH_CONDITION record{};
  record.operation_id = operation;
  copy_field(record.base_dn, search.base);
  record.scope = search.scope;
  copy_field(record.filter, search.filter);
  copy_field(record.attributes, search.attributes);
  return record;
}

Walk walk(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, const Search& search) {
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  Walk walk{{}, 0, "start_operation"};
  UINT operation = 0;
  if ((walk.result = facade->start_operation(connect, bind, &operation)) != 0) return walk;
  timeval no_limit{0, 0};
  walk.failed_call = "search";
  if ((walk.result = facade->search(condition(search, operation), search.size_limit, no_limit)) == 0) {
    walk.failed_call = "entries";
    walk.result = facade->get_first_entry(operation);
  }
  for (CHAR* name = nullptr; walk.result == 0; walk.result = walk.result != 0 ? walk.result : facade->get_next_entry(operation)) {
    Entry& entry = walk.entries.emplace_back();
    for (walk.result = facade->get_first_attribute(operation, name); walk.result == 0 && name != nullptr;
         walk.result = facade->get_next_attribute(operation, name)) {
      entry.emplace_back(name, std::vector<std::string>());
      if ((walk.result = read_values(facade, operation, name, entry.back().second)) != 0) {
        walk.failed_call = name;
        break;
      }
    }
  }
  walk.ended = facade->end_operation(operation);
  return walk;
}

AsUser::AsUser(uid_t uid, const std::function<std::string()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  if ((pid = fork()) == 0) {
    close(fds[0]);
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

std::string AsUser::result(ms limit) {
  std::string said;
  char bytes[4096];
  pollfd readable{fd_, POLLIN, 0};
  for (ssize_t got; poll(&readable, 1, static_cast<int>(limit.count())) == 1 && (got = read(fd_, bytes, sizeof bytes)) > 0;)
    said.append(bytes, static_cast<std::size_t>(got));
  return said;
}

void AsUser::kill() {
  if (pid > 0 && ::kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  if (fd_ >= 0) close(fd_);
  pid = fd_ = -1;
}

int listen_on(int* port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address = loopback(*port);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Backlog 0 holds one connection; the second fills it for good.
Listener::Listener(bool full) : fds_{listen_on(&port, full ? 0 : 64)} {
  const sockaddr_in address = loopback(port);
  for (int i = 0; full && i < 2; ++i) {
    fds_.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(fds_.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
}

Listener::~Listener() {
  for (int fd : fds_) close(fd);
}

std::string closed_port_uri() {
  int port = 0;
  close(listen_on(&port, 1));
  return "ldap://127.0.0.1:" + std::to_string(port) + "/";
}

bool eventually(const std::function<bool()>& condition, ms limit) {
  for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(ms(20))) {
    if (condition()) return true;
  }
  return condition();
}

void IntegrationTest::start_slapd(bool tls) {
  slapd = std::make_unique<Slapd>(tls);
  ASSERT_NE(slapd->uri, "") << slapd->error;
}

void IntegrationTest::start_daemon(const std::vector<std::string>& args, const Environment& env,
                                   const std::function<void(const std::string&)>& prepare) {
  wire.reset();
  if (daemon != nullptr) {
    EXPECT_EQ(daemon->stop(), 0) << "the daemon before";
  }
  daemon = std::make_unique<Daemon>(args, env, prepare);
  ASSERT_EQ(daemon->error, "");
  wire = std::make_unique<Endpoint>(daemon->dir, "WIRE");
}

void IntegrationTest::TearDown() {
  wire.reset();
  if (daemon != nullptr) {
    EXPECT_EQ(daemon->stop(), 0) << "its wait status: a crash, a sanitizer's report, or no clean stop";
    if (HasFailure()) std::cerr << "--- comm-dir-service ---\n" << daemon->log() << "---\n";
  }
  daemon.reset();
  slapd.reset();
}

}  // namespace commdir_testing
