// The command line of comm-dir: ldapsearch's options where they apply.
#ifndef COMMDIR_TOOLS_TOOL_OPTIONS_H_
#define COMMDIR_TOOLS_TOOL_OPTIONS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "commdir/comm_dir_records.h"
#include "tools/ldif_writer.h"

namespace commdir_tools {

enum class tool_command { kSearch, kCheck, kStatus, kHelp, kVersion };

// -Z asks for StartTLS and goes on without it when the server refuses;
// -ZZ requires it.
enum class starttls_request { kNone, kTry, kDemand };

// The TLS settings that the connect record carries: the user's, from
// libldap's configuration (tools/tool_tls.h), as ldapsearch takes them.
// comm-dir has no option of its own for them.
struct tls_settings {
  std::string ca_file;                                   // TLS_CACERT as configured (maybe relative); empty: none
  UINT verify = velmarosta::COMM_DIR_TLS_VERIFY_DEMAND;  // TLS_REQCERT as a COMM_DIR_TLS_VERIFY_* word
};

// Where to connect and how to bind.
struct connection_options {
  std::vector<std::string> uris;  // -H, else URI of ldap.conf; tried in order; several per -H too
  std::string bind_dn;            // -D
  std::string password;           // -w
  bool password_given = false;    // -w, -W or -y
  bool prompt_password = false;   // -W: asked for once the options are read
  std::string password_file;      // -y: its whole content is the password
  starttls_request starttls = starttls_request::kNone;
  UINT network_timeout_ms = 0;  // -o nettimeout=N; 0: the daemon's default
  tls_settings tls;
};

struct search_options {
  std::string base;         // -b, else BASE of ldap.conf; empty: the server's default
  bool base_given = false;  // -b, also an empty one
  UINT scope = velmarosta::COMM_DIR_SCOPE_SUB;
  UINT deref = velmarosta::COMM_DIR_DEREF_NEVER;
  UINT size_limit = 0;                  // -z; 0: none
  long time_limit_s = 0;                // -l; 0: none
  bool types_only = false;              // -A
  int ldif_level = 0;                   // how many -L: -LL prints "version: 1" first
  std::size_t wrap = kLdifDefaultWrap;  // -o ldif-wrap=N|no
  std::string filter = "(objectclass=*)";
  std::vector<std::string> attributes;  // as given, "1.1", "*" and "+" included
};

struct check_options {
  bool callback = false;  // --callback: the result comes by a callback
  int wait_s = 10;        // --wait: how long to wait for the callback
};

struct tool_options {
  tool_command command = tool_command::kHelp;
  connection_options connection;
  search_options search;
  check_options check;
  bool status_json = false;  // status --json
};

// Reads the command line into `options`. Returns false, with a message for
// people in `error`, when it is not a valid command line.
bool parse_command_line(int argc, char** argv, tool_options* options, std::string* error);

// Fills in what ldapsearch takes from the user's libldap configuration
// (ldap.conf, ~/.ldaprc, LDAPURI, LDAPBASE, ...) where the command line gave
// nothing: `uri_list`, libldap's URI (null: none), for the servers, each cut
// to its scheme, host and port (libldap's own default carries a scope,
// "ldap://localhost:389/??base"); `base`, libldap's BASE (null: none), for
// the search base unless -b was given. Without either, the servers are
// ldap://localhost.
void take_configured_defaults(const char* uri_list, const char* base, tool_options* options);

// The text of --help.
const char* usage_text();

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_OPTIONS_H_
