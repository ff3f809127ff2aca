// A throwaway slapd for end-to-end tests, driven by the slapd-fixture script:
// a private folder, the mdb backend, 127.0.0.1 on a free port, loaded from an
// LDIF, and stopped when the fixture goes away (also when the test process
// dies: the script watches it). Beside it: ldapsearch run as a child and its
// LDIF parsed, and two stand-ins for broken servers.
#ifndef COMMDIR_TESTS_SUPPORT_SLAPD_FIXTURE_H_
#define COMMDIR_TESTS_SUPPORT_SLAPD_FIXTURE_H_

#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

namespace commdir_testing {

// One entry of an LDIF text. Values are raw bytes (base64 decoded); the
// attributes keep the order in which the server sent them, and the values of
// one attribute stay together in theirs.
struct LdifEntry {
  std::string dn;
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
  bool operator==(const LdifEntry& other) const {
    return dn == other.dn && attributes == other.attributes;
  }
};

// Parses LDIF as `ldapsearch -LLL` writes it (folded lines, "::" base64
// values, blank lines between entries). Returns false on a line it does not
// understand.
bool parse_ldif(const std::string& text, std::vector<LdifEntry>& entries);

// Decodes standard base64; false on a character outside the alphabet.
bool base64_decode(const std::string& text, std::string& bytes);

struct LdapSearchResult {
  int exit_code = -1;  // ldapsearch's exit code: the LDAP result code
  std::vector<LdifEntry> entries;
  std::string diagnostic;  // its standard error
};

class SlapdFixture {
 public:
  static constexpr const char* kSuffix = "dc=example,dc=com";
  static constexpr const char* kRootDn = "cn=admin,dc=example,dc=com";
  static constexpr const char* kRootPassword = "admin-secret";
  // The bind user of the sample address book.
  static constexpr const char* kReaderDn = "uid=reader,ou=system,dc=example,dc=com";
  static constexpr const char* kReaderPassword = "reader-secret";

  // Starts slapd with the `script` (tests/support/slapd/slapd-fixture),
  // loaded from `ldif` (none when empty). Check ok() before use.
  SlapdFixture(const std::string& script, const std::string& ldif);
  ~SlapdFixture();
  SlapdFixture(const SlapdFixture&) = delete;
  SlapdFixture& operator=(const SlapdFixture&) = delete;

  bool ok() const { return !uri_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& uri() const { return uri_; }
  // The private folder (removed at destruction).
  const std::string& dir() const { return dir_; }

  // Runs `ldapsearch -x -LLL -o ldif-wrap=no -H uri` with `args` appended
  // (bind options, -b, -s, -z, the filter, attribute names).
  LdapSearchResult search(const std::vector<std::string>& args) const;
  // Adds the entries of `ldif` as the root DN; false (and error()) on failure.
  bool add(const std::string& ldif);
  // Stops slapd, keeping its folder, data and port; start() brings it back
  // on the same URI. False (and error()) on failure.
  bool stop();
  bool start();

 private:
  std::string script_;
  std::string dir_;    // the private folder, made by mkdtemp
  std::string uri_;    // empty until slapd answers
  std::string error_;  // what went wrong last
};

// A TCP server on 127.0.0.1 that completes connections (the kernel accepts
// them into its backlog) but never reads or answers: a hung LDAP server.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  bool ok() const { return fd_ >= 0; }
  const std::string& uri() const { return uri_; }

 private:
  int fd_ = -1;
  std::string uri_;
};

// The URI of a port on 127.0.0.1 that nothing listens on: a server that is
// down. The port was free a moment ago and is unlikely to be taken.
std::string closed_port_uri();

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_SUPPORT_SLAPD_FIXTURE_H_
