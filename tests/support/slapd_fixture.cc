#include "support/slapd_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

namespace commdir_testing {
namespace {

constexpr auto kScriptLimit = std::chrono::seconds(60);
constexpr auto kToolLimit = std::chrono::seconds(30);

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Joins folded lines: a line that starts with one blank continues the last.
std::vector<std::string> unfold(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == ' ' && !lines.empty() && !lines.back().empty()) {
      lines.back().append(line, 1, std::string::npos);
    } else {
      lines.push_back(line);
    }
  }
  return lines;
}

// Splits "name: value" or "name:: base64" into the name and the raw value.
bool split_line(const std::string& line, std::string& name, std::string& value) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  name = line.substr(0, colon);
  const bool encoded = colon + 1 < line.size() && line[colon + 1] == ':';
  if (colon + 1 < line.size() && line[colon + 1] == '<') return false;  // URLs: unused
  size_t start = colon + (encoded ? 2 : 1);
  while (start < line.size() && line[start] == ' ') ++start;
  const std::string text = line.substr(start);
  if (!encoded) {
    value = text;
    return true;
  }
  return base64_decode(text, value);
}

void add_value(LdifEntry& entry, const std::string& name, std::string value) {
  if (entry.attributes.empty() || entry.attributes.back().first != name) {
    entry.attributes.emplace_back(name, std::vector<std::string>());
  }
  entry.attributes.back().second.push_back(std::move(value));
}

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string uri_of_port(int port) { return "ldap://127.0.0.1:" + std::to_string(port) + "/"; }

// A TCP socket bound to 127.0.0.1 on a port of the kernel's choice; -1 on
// failure. `port` receives the port.
int bound_loopback_socket(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

bool base64_decode(const std::string& text, std::string& bytes) {
  bytes.clear();
  unsigned int accumulator = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const int value = sextet(c);
    if (value < 0) return false;
    accumulator = (accumulator << 6) | static_cast<unsigned int>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((accumulator >> bits) & 0xFF));
    }
  }
  return true;
}

bool parse_ldif(const std::string& text, std::vector<LdifEntry>& entries) {
  entries.clear();
  bool in_entry = false;
  for (const std::string& line : unfold(text)) {
    if (line.empty()) {
      in_entry = false;
      continue;
    }
    if (line[0] == '#') continue;
    std::string name, value;
    if (!split_line(line, name, value)) return false;
    if (!in_entry) {
      if (name != "dn") return false;
      entries.push_back(LdifEntry{value, {}});
      in_entry = true;
    } else {
      add_value(entries.back(), name, std::move(value));
    }
  }
  return true;
}

SlapdFixture::SlapdFixture(const std::string& script, const std::string& ldif) : script_(script) {
  dir_ = make_private_folder("commdir-slapd", error_);
  if (dir_.empty()) return;
  std::vector<std::string> argv = {script_, "start", dir_};
  if (!ldif.empty()) argv.push_back(ldif);
  CommandResult started =
      run_command(argv, "", {{"SLAPD_FIXTURE_OWNER", std::to_string(getpid())}}, kScriptLimit);
  if (started.exit_code != 0) {
    error_ = "slapd-fixture start failed: " + started.err;
    return;
  }
  uri_ = trimmed(started.out);
}

SlapdFixture::~SlapdFixture() {
  if (dir_.empty()) return;
  run_command({script_, "stop", dir_}, "", {}, kScriptLimit);
  rmdir(dir_.c_str());
}

LdapSearchResult SlapdFixture::search(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"ldapsearch", "-x",      "-LLL",         "-o", "ldif-wrap=no",
                                   "-o",         "nettimeout=10", "-H", uri_};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult run = run_command(argv, "", {}, kToolLimit);
  LdapSearchResult result;
  result.exit_code = run.exit_code;
  result.diagnostic = run.err;
  if (!parse_ldif(run.out, result.entries)) {
    result.exit_code = -1;
    result.diagnostic = "unparsable LDIF from ldapsearch: " + run.out;
  }
  return result;
}

bool SlapdFixture::add(const std::string& ldif) {
  CommandResult run = run_command({"ldapadd", "-x", "-H", uri_, "-D", kRootDn, "-w", kRootPassword},
                                  ldif, {}, kToolLimit);
  if (run.exit_code == 0) return true;
  error_ = "ldapadd failed: " + run.err;
  return false;
}

bool SlapdFixture::stop() {
  CommandResult run = run_command({script_, "halt", dir_}, "", {}, kScriptLimit);
  if (run.exit_code == 0) return true;
  error_ = "slapd-fixture halt failed: " + run.err;
  return false;
}

bool SlapdFixture::start() {
  CommandResult run =
      run_command({script_, "resume", dir_}, "", {{"SLAPD_FIXTURE_OWNER", std::to_string(getpid())}}, kScriptLimit);
  if (run.exit_code == 0 && trimmed(run.out) == uri_) return true;
  error_ = "slapd-fixture resume failed: " + run.err;
  return false;
}

SilentServer::SilentServer() {
  int port = 0;
  fd_ = bound_loopback_socket(port);
  if (fd_ < 0) return;
  if (listen(fd_, 64) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  uri_ = uri_of_port(port);
}

SilentServer::~SilentServer() {
  if (fd_ >= 0) close(fd_);
}

std::string closed_port_uri() {
  int port = 0;
  int fd = bound_loopback_socket(port);
  if (fd < 0) return "";
  close(fd);
  return uri_of_port(port);
}

}  // namespace commdir_testing
