#include "tools/tool_options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace commdir_tools {

namespace {

using velmarosta::COMM_DIR_DEREF_ALWAYS;
using velmarosta::COMM_DIR_DEREF_FINDING;
using velmarosta::COMM_DIR_DEREF_NEVER;
using velmarosta::COMM_DIR_DEREF_SEARCHING;
using velmarosta::COMM_DIR_SCOPE_BASE;
using velmarosta::COMM_DIR_SCOPE_CHILDREN;
using velmarosta::COMM_DIR_SCOPE_ONE;
using velmarosta::COMM_DIR_SCOPE_SUB;

constexpr int kOptionCallback = 1000;
constexpr int kOptionWait = 1001;
constexpr int kOptionHelp = 1002;

struct keyword {
  const char* name;
  UINT value;
};

constexpr keyword kScopes[] = {{"base", COMM_DIR_SCOPE_BASE},
                               {"one", COMM_DIR_SCOPE_ONE},
                               {"sub", COMM_DIR_SCOPE_SUB},
                               {"children", COMM_DIR_SCOPE_CHILDREN}};
constexpr keyword kDerefs[] = {{"never", COMM_DIR_DEREF_NEVER},
                               {"search", COMM_DIR_DEREF_SEARCHING},
                               {"find", COMM_DIR_DEREF_FINDING},
                               {"always", COMM_DIR_DEREF_ALWAYS}};

template <std::size_t N>
bool parse_keyword(const char* text, const keyword (&table)[N], UINT* value) {
  for (const keyword& row : table) {
    if (std::strcmp(text, row.name) == 0) {
      *value = row.value;
      return true;
    }
  }
  return false;
}

// A decimal count in [0, limit]. Counts are long long so that a limit of
// UINT_MAX holds where long is 32-bit (the device).
bool parse_count(const char* text, long long limit, long long* value) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > limit) return false;
  *value = parsed;
  return true;
}

// A count, or "none", "max" and "unlimited" for 0 (no limit), as ldapsearch
// takes -z, -l and nettimeout.
bool parse_limit(const char* text, long long limit, long long* value) {
  if (std::strcmp(text, "none") == 0 || std::strcmp(text, "max") == 0 || std::strcmp(text, "unlimited") == 0) {
    *value = 0;
    return true;
  }
  return parse_count(text, limit, value);
}

// Splits "URI URI" as -H takes it.
void add_uris(const char* text, std::vector<std::string>* uris) {
  const char* p = text;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    if (p != start) uris->emplace_back(start, p);
  }
}

bool fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// The same for the option parsers, which answer -1 for a bad value.
int refuse(std::string* error, const std::string& message) {
  *error = message;
  return -1;
}

// -o NAME=VALUE: the two general options that apply here.
bool parse_general_option(const char* text, tool_options* options, std::string* error) {
  const char* equals = std::strchr(text, '=');
  const std::string name = equals ? std::string(text, equals) : std::string(text);
  const char* value = equals ? equals + 1 : "";
  if (name == "ldif-wrap" || name == "ldif_wrap") {
    if (std::strcmp(value, "no") == 0) {
      options->search.wrap = kLdifNoWrap;
      return true;
    }
    long long width = 0;
    if (!parse_count(value, INT_MAX, &width) || (width != 0 && width < static_cast<long long>(kLdifMinimumWrap))) {
      return fail(error,
                  "Unable to parse ldif_wrap=\"" + std::string(value) + "\": a width of at least 2 columns, or \"no\"");
    }
    options->search.wrap = width == 0 ? kLdifDefaultWrap : static_cast<std::size_t>(width);
    return true;
  }
  if (name == "nettimeout") {
    long long seconds = 0;
    if (!parse_limit(value, UINT_MAX / 1000, &seconds)) {
      return fail(error, "Unable to parse nettimeout=\"" + std::string(value) + "\"");
    }
    options->connection.network_timeout_ms = static_cast<UINT>(seconds * 1000);
    return true;
  }
  return fail(error, "Invalid general option name: " + name);
}

// Clears the password that -w gave from the process's arguments, as
// ldapsearch does, so that ps and /proc/PID/cmdline no longer show it
// (they do until this runs: -W and -y keep it off the command line).
void hide_argument(char* arg) { explicit_bzero(arg, std::strlen(arg)); }

// Options that search and check share. Returns 1 when taken, 0 when `opt`
// is not one of them, -1 on a bad value.
int parse_connection_option(int opt, char* arg, tool_options* options, std::string* error) {
  connection_options& connection = options->connection;
  switch (opt) {
    case 'H': add_uris(arg, &connection.uris); return 1;
    case 'x': return 1;  // simple bind is the only kind there is
    case 'D': connection.bind_dn = arg; return 1;
    case 'w':
      connection.password = arg;
      connection.password_given = true;
      hide_argument(arg);
      return 1;
    case 'W':
      connection.prompt_password = true;
      connection.password_given = true;
      return 1;
    case 'y':
      connection.password_file = arg;
      connection.password_given = true;
      return 1;
    case 'Z':
      connection.starttls =
          connection.starttls == starttls_request::kNone ? starttls_request::kTry : starttls_request::kDemand;
      return 1;
    case 'o': return parse_general_option(arg, options, error) ? 1 : -1;
    case 'h':
    case 'p':
      return refuse(error, std::string("-") + static_cast<char>(opt) +
                               " is not taken (nor by ldapsearch since OpenLDAP 2.5): give the server as -H "
                               "ldap://HOST:PORT/");
    default: return 0;
  }
}

int parse_search_option(int opt, const char* arg, tool_options* options, std::string* error) {
  search_options& search = options->search;
  long long value = 0;
  switch (opt) {
    case 'b':
      search.base = arg;
      search.base_given = true;
      return 1;
    case 's':
      if (parse_keyword(arg, kScopes, &search.scope)) return 1;
      return refuse(error, "invalid scope \"" + std::string(arg) + "\": base, one, sub or children");
    case 'a':
      if (parse_keyword(arg, kDerefs, &search.deref)) return 1;
      return refuse(error, "invalid deref \"" + std::string(arg) + "\": never, search, find or always");
    case 'z':
      if (!parse_limit(arg, UINT_MAX, &value)) return refuse(error, "invalid size limit: " + std::string(arg));
      search.size_limit = static_cast<UINT>(value);
      return 1;
    case 'l':
      if (!parse_limit(arg, INT_MAX, &value)) return refuse(error, "invalid time limit: " + std::string(arg));
      search.time_limit_s = static_cast<long>(value);
      return 1;
    case 'A': search.types_only = true; return 1;
    case 'L': ++search.ldif_level; return 1;
    default: return 0;
  }
}

int parse_check_option(int opt, const char* arg, tool_options* options, std::string* error) {
  long long seconds = 0;
  switch (opt) {
    case kOptionCallback: options->check.callback = true; return 1;
    case kOptionWait:
      if (!parse_limit(arg, 3600, &seconds) || seconds == 0) {
        return refuse(error, "invalid --wait: 1 to 3600 seconds");
      }
      options->check.wait_s = static_cast<int>(seconds);
      return 1;
    default: return 0;
  }
}

// ldapsearch's rule: the first argument is the filter when it starts with
// '(' or holds a '='; anything else is an attribute name.
void take_search_arguments(int argc, char** argv, int first, search_options* search) {
  int i = first;
  if (i < argc && (argv[i][0] == '(' || std::strchr(argv[i], '=') != nullptr)) search->filter = argv[i++];
  for (; i < argc; ++i) search->attributes.emplace_back(argv[i]);
}

// status [--json]: nothing else.
bool parse_status(int count, char** words, tool_options* options, std::string* error) {
  options->command = tool_command::kStatus;
  for (int i = 1; i < count; ++i) {
    const std::string word = words[i];
    if (word == "--json") {
      options->status_json = true;
    } else if (word == "--help" || word == "-h") {
      options->command = tool_command::kHelp;
      return true;
    } else {
      return fail(error, "status takes only --json: " + word);
    }
  }
  return true;
}

}  // namespace

bool parse_command_line(int argc, char** argv, tool_options* options, std::string* error) {
  if (argc < 2) return fail(error, "no command: comm-dir search|check [options], or --help");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    options->command = tool_command::kHelp;
    return true;
  }
  if (command == "--version") {
    options->command = tool_command::kVersion;
    return true;
  }
  if (command == "status") return parse_status(argc - 1, argv + 1, options, error);
  const bool search = command == "search";
  if (!search && command != "check") return fail(error, "unknown command \"" + command + "\"");
  options->command = search ? tool_command::kSearch : tool_command::kCheck;

  static const option kLongOptions[] = {{"help", no_argument, nullptr, kOptionHelp},
                                        {"callback", no_argument, nullptr, kOptionCallback},
                                        {"wait", required_argument, nullptr, kOptionWait},
                                        {nullptr, 0, nullptr, 0}};
  const char* short_options = search ? ":hpH:xD:w:Wy:Zo:b:s:a:z:l:AL" : ":hpH:xD:w:Wy:Zo:";
  // getopt sees the words after the command, with the command as its argv[0].
  const int count = argc - 1;
  char** words = argv + 1;
  optind = 0;  // 0 makes GNU getopt start over, also after an earlier parse
  opterr = 0;
  int opt;
  while ((opt = getopt_long(count, words, short_options, kLongOptions, nullptr)) != -1) {
    if (opt == kOptionHelp) {
      options->command = tool_command::kHelp;
      return true;
    }
    if (opt == '?' || opt == ':') {
      const std::string which =
          optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : std::string(words[optind - 1]);
      return fail(error, (opt == ':' ? "option needs a value: " : "unknown option: ") + which);
    }
    int taken = parse_connection_option(opt, optarg, options, error);
    if (taken == 0) {
      taken =
          search ? parse_search_option(opt, optarg, options, error) : parse_check_option(opt, optarg, options, error);
    }
    if (taken < 0) return false;
    if (taken == 0) return fail(error, "option not valid for " + command);
  }
  if (search) {
    take_search_arguments(count, words, optind, &options->search);
  } else if (optind < count) {
    return fail(error, "check takes no arguments: " + std::string(words[optind]));
  }
  // ldapsearch's -L adds comments with its own message ids and counts of
  // responses, which the daemon's replies do not carry.
  if (options->search.ldif_level == 1) {
    return fail(error,
                "-L (LDIF with ldapsearch's comments) is not printed: -LL prints the version line, "
                "-LLL (the default) the entries alone");
  }
  return true;
}

void take_configured_defaults(const char* uri_list, const char* base, tool_options* options) {
  std::vector<std::string>& uris = options->connection.uris;
  if (uris.empty() && uri_list != nullptr) {
    add_uris(uri_list, &uris);
    for (std::string& uri : uris) {
      const std::size_t authority = uri.find("://");
      if (authority != std::string::npos) uri = uri.substr(0, uri.find('/', authority + 3)) + "/";
    }
  }
  if (uris.empty()) uris.push_back("ldap://localhost");
  if (!options->search.base_given && base != nullptr) options->search.base = base;
}

const char* usage_text() {
  return "usage: comm-dir search [options] [filter [attributes...]]\n"
         "       comm-dir check [options] [--callback [--wait SECONDS]]\n"
         "       comm-dir status [--json]\n"
         "       comm-dir --help | --version\n"
         "\n"
         "Reads an LDAP directory through the directory service comm-dir-service,\n"
         "as an application of libcommdir does. search prints LDIF exactly as\n"
         "ldapsearch -LLL does; check runs a connection test and prints what it found;\n"
         "status prints the daemon's live state: its workers and queue, the operations\n"
         "open, the replies kept for applications that do not read, the URI lists that\n"
         "failed over and why, and its counters. Root and the daemon's own user see\n"
         "everything; any other user sees its own operations, replies and URI lists.\n"
         "\n"
         "Connection (search and check):\n"
         "  -H URI      LDAP URI; several (blank-separated or repeated -H) for failover\n"
         "              (default: URI of ldap.conf, else ldap://localhost)\n"
         "  -x          simple authentication (the only kind; accepted for ldapsearch's sake)\n"
         "  -D binddn   bind DN\n"
         "  -w passwd   bind password (cleared from the process's arguments once read)\n"
         "  -W          prompt for the bind password\n"
         "  -y file     read the bind password from file (its whole content)\n"
         "  -Z          StartTLS, going on without it if it fails; -ZZ: StartTLS must succeed\n"
         "  -o nettimeout=SECONDS  network timeout (default: the daemon's)\n"
         "Search:\n"
         "  -b basedn   base DN (default: BASE of ldap.conf, else the server's)\n"
         "  -s scope    base, one, sub (default) or children\n"
         "  -a deref    never (default), search, find or always\n"
         "  -z limit    size limit in entries (0 or none: no limit)\n"
         "  -l limit    time limit in seconds (0 or none: no limit)\n"
         "  -A          attribute names only\n"
         "  -LLL        entries alone, as ldapsearch -LLL prints them (the default)\n"
         "  -LL         the same after a line \"version: 1\", as ldapsearch -LL\n"
         "  -o ldif-wrap=N|no  fold lines at N columns (default 78), or never\n"
         "  filter      RFC 4515 filter (default (objectclass=*))\n"
         "  attributes  names, 1.1 (none), * (all user), + (all operational)\n"
         "Check:\n"
         "  --callback  the daemon answers at once and reports the result by a callback\n"
         "  --wait S    wait at most S seconds for the callback (default 10)\n"
         "Status:\n"
         "  --json      one JSON object, for scripts, instead of lines for people\n"
         "\n"
         "The daemon is reached at $COMM_DIR_IPC_DIR/COMM_DIR_SRV, as every libcommdir\n"
         "application reaches it. Unset, the folder is $XDG_RUNTIME_DIR/commdir when\n"
         "that is this user's private runtime folder, else /tmp/commdir-<euid>. A\n"
         "daemon of another user is trusted only when COMM_DIR_SERVICE_USER names that\n"
         "user; for the packaged daemon (user commdir, folder /run/commdir), root runs\n"
         "  COMM_DIR_IPC_DIR=/run/commdir COMM_DIR_SERVICE_USER=commdir comm-dir status\n"
         "The library's trace is off unless COMM_DIR_TRACE names a file (/dev/stderr too).\n"
         "A call that the daemon does not answer within 120 s (plus the -l time\n"
         "limit) ends comm-dir.\n"
         "\n"
         "Where ldapsearch differs: -h and -p are not taken (use -H), nor -L alone\n"
         "(its comments); of ldap.conf only URI, BASE, TLS_CACERT and TLS_REQCERT\n"
         "count; man comm-dir lists the rest.\n"
         "\n"
         "TLS is set up as ldapsearch's libldap sets it up: the certificate authority\n"
         "file and the check of the server's certificate come from LDAPTLS_CACERT and\n"
         "LDAPTLS_REQCERT, or TLS_CACERT and TLS_REQCERT of ldap.conf, ~/.ldaprc or\n"
         "./ldaprc (LDAPCONF and LDAPRC name others). The daemon makes the connection\n"
         "with them: a relative file is taken from the current folder.\n"
         "\n"
         "A value longer than one reply of the daemon can carry (47,208 bytes) is left\n"
         "out, named on standard error; the entry's other values and the entries after\n"
         "it are printed.\n"
         "\n"
         "Exit status, as ldapsearch's: the LDAP result code (0 success, 4 size limit\n"
         "exceeded, 32 no such object, 49 invalid credentials, ...), a libldap error\n"
         "of the daemon as its low byte, 1 for a bad command line or a failed StartTLS,\n"
         "11 (admin limit exceeded) when values were left out as they are too long for\n"
         "the daemon's replies, 80 for a refusal of the daemon or the library that is\n"
         "no LDAP code, 251 when the LDAP server does not answer the bind or the search\n"
         "within the daemon's deadlines or the callback or an answer of the daemon does\n"
         "not come in time, and 255 when the LDAP server cannot be reached (down, no\n"
         "connection within the network timeout, an ldaps:// handshake that fails or\n"
         "does not finish) or the directory service is not running.\n";
}

}  // namespace commdir_tools
