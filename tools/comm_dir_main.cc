// comm-dir: a command-line client of libcommdir, and the example that
// application writers read. Everything goes through the public facade, as in
// any application: start an operation, search, walk the entries and their
// attributes, read the values, end the operation.
//
//   comm-dir search -H ldap://127.0.0.1:389/ -b ou=people,dc=example,dc=com "(sn=L*)" cn mail
//   comm-dir check -H ldap://127.0.0.1:389/ --callback
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_result_codes.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/commdir_thread_safety.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/commdir_posix_tasks.h"
#include "platform/posix/commdir_posix_text.h"
#include "tools/ldif_writer.h"
#include "tools/reply_watchdog.h"
#include "tools/single_value_reader.h"
#include "tools/tool_options.h"
#include "tools/tool_outcome.h"
#include "tools/tool_password.h"
#include "tools/tool_records.h"
#include "tools/tool_tls.h"

#ifndef COMMDIR_VERSION
#define COMMDIR_VERSION "unknown"
#endif

namespace commdir_tools {
namespace {

using velmarosta::comm_dir_facade;

// The process ends with _exit: the library's endpoints and threads live as
// long as the process (nothing in the library stops them), and running the
// static destructors under a thread that still serves an endpoint would be a
// race for nothing. Output is flushed first, and the endpoints' files go.
[[noreturn]] void finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "comm-dir: writing the output failed: %s\n", std::strerror(errno));
    if (status == 0) status = kExitFailure;
  }
  std::fflush(stderr);
  commdir_posix_ipc_remove_own_files();
  ::_exit(status);
}

// A signal that ends comm-dir (an interrupt, a closed pipe) leaves no
// endpoint file behind either; the signal then ends it as it would have.
void end_on_signal(int signal_number) {
  commdir_posix_ipc_remove_own_files();  // async-signal-safe
  ::raise(signal_number);                // its action is the default again (SA_RESETHAND)
}

void remove_files_on_signals() {
  struct sigaction action {};
  action.sa_handler = end_on_signal;
  action.sa_flags = SA_RESETHAND;
  for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) ::sigaction(signal_number, &action, nullptr);
}

void say(const std::string& line) { std::fprintf(stderr, "comm-dir: %s\n", line.c_str()); }

// --- the daemon -------------------------------------------------------------

// The folder of the platform's endpoints, as the POSIX platform chooses and
// checks it; "" with *problem set when it is refused.
std::string ipc_folder(std::string* problem) {
  char folder[sizeof(sockaddr_un{}.sun_path)];
  char why[512];
  const RETCODE rc = commdir_posix_ipc_folder(folder, sizeof folder, why, sizeof why);
  if (rc == 0) return folder;
  *problem = "the IPC folder " + std::string(folder) + " is refused: " + (rc == EACCES ? why : std::strerror(rc));
  return "";
}

// Empty when the daemon's endpoint takes messages; else why not, in one line.
// A request to an absent daemon would wait for its reply without end (the
// library waits without a time limit), so this is checked first.
std::string daemon_unreachable_reason() {
  std::string problem;
  const std::string folder = ipc_folder(&problem);
  if (folder.empty()) return problem;
  const std::string path = folder + "/COMM_DIR_SRV";
  const int error = commdir_posix_ipc_probe(velmarosta::COMM_DIR_SERVICE_SERVER_NAME);
  if (error == 0) return "";
  if (error == ENAMETOOLONG) return "the endpoint path " + path + " is too long";
  if (error == ENOENT) {
    return "the directory service is not running (no endpoint " + path +
           "; start comm-dir-service, or set COMM_DIR_IPC_DIR to its folder)";
  }
  if (error == ECONNREFUSED) {
    return "the directory service is not running (" + path + " is left from a daemon that stopped)";
  }
  return "cannot reach the directory service at " + path + ": " + std::strerror(error);
}

// Runs one facade call under the watchdog.
template <typename Call>
RETCODE guarded(reply_watchdog& watchdog, const char* name, Call call) {
  watchdog.arm(name);
  const RETCODE rc = call();
  watchdog.disarm();
  return rc;
}

// --- passwords ---------------------------------------------------------------

// Fills in the password of -W and -y; false after a message.
bool resolve_password(connection_options* connection) {
  if (connection->prompt_password) {
    if (prompt_password(&connection->password)) return true;
    say("-W needs a terminal to ask for the password");
    return false;
  }
  if (!connection->password_file.empty() && !read_password_file(connection->password_file, &connection->password)) {
    say("cannot read the password file " + connection->password_file);
    return false;
  }
  return true;
}

// --- search -----------------------------------------------------------------

// The facade's view of one entry: its attributes, in the order the server
// sent them, each with its values in theirs.
struct entry_attribute {
  std::string name;
  std::vector<std::string> values;
};

// Whether a failed start_operation may be StartTLS's failure: a failed
// handshake, or a code of the LDAP server or of libldap, other than the
// refusals of the bind itself (inappropriate authentication, invalid
// credentials, insufficient access), which mean that StartTLS worked.
bool may_be_starttls_failure(RETCODE rc) {
  if (is_tls_failure(rc)) return true;
  int ldap_code = 0;
  return velmarosta::comm_dir_ldap_code_of(rc, &ldap_code) && (ldap_code < 48 || ldap_code > 50);
}

// Opens an operation with the records made from the options. StartTLS
// failures end as with ldapsearch (`*starttls_failed`): with -ZZ every one;
// with -Z a failure of the connection (a libldap error). A refusal by the
// server under -Z is only a warning, and the operation is opened without TLS.
RETCODE open_operation(comm_dir_facade* facade, reply_watchdog& watchdog, const connection_options& connection,
                       velmarosta::COMM_DIR_CONNECT_INFO connect, const velmarosta::COMM_DIR_BIND_INFO* bind,
                       UINT* operation_id, bool* starttls_failed) {
  *starttls_failed = false;
  const auto start = [&] {
    return guarded(watchdog, "start_operation", [&] { return facade->start_operation(connect, bind, operation_id); });
  };
  const RETCODE rc = start();
  if (rc == 0 || connect.security != velmarosta::COMM_DIR_SECURITY_STARTTLS || !may_be_starttls_failure(rc)) {
    return rc;
  }
  int ldap_code = 0;
  const bool refused_by_server = velmarosta::comm_dir_ldap_code_of(rc, &ldap_code) && ldap_code > 0;
  if (connection.starttls == starttls_request::kDemand || !refused_by_server) {
    *starttls_failed = true;
    return rc;
  }
  say("ldap_start_tls: " + describe_result(rc) + "; going on without TLS");
  connect.security = velmarosta::COMM_DIR_SECURITY_NONE;
  return start();
}

// A value that comm-dir leaves out: longer than one reply can carry.
struct left_out_value {
  std::string attribute;
  UINT index;
  UINT length;  // in bytes, as the daemon said it; 0 when it did not
};

// Reads the values of `name` one by one and leaves out each that the daemon
// refuses as longer than one reply can carry; the others keep their order.
RETCODE read_values_one_by_one(reply_watchdog& watchdog, UINT operation_id, const char* name,
                               std::vector<std::string>* out, std::vector<left_out_value>* left_out) {
  single_value_reader reader(operation_id, name);
  UINT count = 0;
  RETCODE rc = guarded(watchdog, "get_value_binary", [&] {
    const RETCODE opened = reader.open();
    return opened != 0 ? opened : reader.count(&count);
  });
  for (UINT index = 0; rc == 0 && index < count; ++index) {
    std::string value;
    UINT length = 0;
    rc = guarded(watchdog, "get_value_binary", [&] { return reader.value(index, &value, &length); });
    if (rc == 0) out->push_back(std::move(value));
    if (rc == velmarosta::COMM_DIR_SVC_VALUE_TOO_LARGE) {
      left_out->push_back(left_out_value{name, index, length});
      rc = 0;
    }
  }
  return rc;
}

// Reads the values of the attribute that `name` (the facade's) names. The
// daemon refuses a value longer than one reply can carry, and with it the
// facade's whole list: the attribute's values are then read one by one, so
// that only that value is missing (named in `left_out`).
RETCODE read_values(comm_dir_facade* facade, reply_watchdog& watchdog, UINT operation_id, CHAR* name,
                    std::vector<std::string>* out, std::vector<left_out_value>* left_out) {
  UINT count = 0;
  velmarosta::COMM_DIR_BERVAL** values = nullptr;
  // Binary values carry every byte as it is, NUL included; the LDIF writer
  // decides how to print them.
  const RETCODE rc = guarded(watchdog, "get_value_binary",
                             [&] { return facade->get_value_binary(operation_id, name, count, values); });
  if (rc == velmarosta::COMM_DIR_SVC_VALUE_TOO_LARGE) {
    return read_values_one_by_one(watchdog, operation_id, name, out, left_out);
  }
  if (rc != 0) return rc;
  for (UINT i = 0; values != nullptr && i < count && values[i] != nullptr; ++i) {
    out->emplace_back(values[i]->bv_val, values[i]->bv_len);
  }
  // A list with a gap would print an attribute with values missing.
  return out->size() == count ? 0 : velmarosta::COMM_DIR_ERR_BAD_REPLY;
}

bool is_entry_dn(const std::string& name) { return ::strcasecmp(name.c_str(), kEntryDnAttribute) == 0; }

// Reads the current entry. With -A only entryDN's value is read.
RETCODE read_entry(comm_dir_facade* facade, reply_watchdog& watchdog, UINT operation_id, bool types_only,
                   std::vector<entry_attribute>* attributes, std::vector<left_out_value>* left_out,
                   const char** failed_call) {
  CHAR* name = nullptr;
  *failed_call = "get_first_attribute";
  RETCODE rc = guarded(watchdog, *failed_call, [&] { return facade->get_first_attribute(operation_id, name); });
  while (rc == 0 && name != nullptr) {
    attributes->push_back(entry_attribute{name, {}});
    if (!types_only || is_entry_dn(attributes->back().name)) {
      *failed_call = "get_value_binary";
      rc = read_values(facade, watchdog, operation_id, name, &attributes->back().values, left_out);
      if (rc != 0) return rc;
    }
    *failed_call = "get_next_attribute";
    rc = guarded(watchdog, *failed_call, [&] { return facade->get_next_attribute(operation_id, name); });
  }
  return rc;
}

// The entry's entryDN, or null when it came without it (a server that does
// not serve entryDN).
const entry_attribute* find_dn(const std::vector<entry_attribute>& attributes) {
  const entry_attribute* dn = nullptr;
  for (const entry_attribute& attribute : attributes) {
    if (is_entry_dn(attribute.name) && attribute.values.size() == 1) dn = &attribute;
  }
  return dn;
}

// Appends the entry as LDIF. False when it came without its DN. Values go
// as LDIF has them (base64 unless they are plain text); a name with a
// control character (no real server sends one) goes in visible form.
bool format_entry(const std::vector<entry_attribute>& attributes, const search_options& search, bool hide_entry_dn,
                  const ldif_writer& writer, std::string* out) {
  const entry_attribute* dn = find_dn(attributes);
  if (dn == nullptr) return false;
  writer.put_dn(dn->values.front(), out);
  for (const entry_attribute& attribute : attributes) {
    if (hide_entry_dn && &attribute == dn) continue;
    const std::string name = commdir_posix::Visible(attribute.name);
    if (search.types_only) {
      writer.put_name(name, out);
      continue;
    }
    for (const std::string& value : attribute.values) writer.put_value(name, value, out);
  }
  writer.end_entry(out);
  return true;
}

// Names each value of the entry `dn` that was left out, on standard error.
void report_left_out(const std::vector<left_out_value>& left_out, const std::string& dn) {
  for (const left_out_value& value : left_out) {
    const std::string size = value.length > velmarosta::COMM_DIR_MAX_BINARY_VALUE
                                 ? std::to_string(value.length) + " bytes, "
                                 : std::string();
    say("value " + std::to_string(value.index) + " of " + commdir_posix::Visible(value.attribute) + " of " +
        commdir_posix::Visible(dn) + ": " + size + "longer than one reply can carry (" +
        std::to_string(velmarosta::COMM_DIR_MAX_BINARY_VALUE) + " bytes); left out");
  }
}

// Walks the result of the operation's search and prints each entry as soon
// as it is read. Returns the code that ended the walk (0 at its end) and the
// call that returned it; `left_out_count` counts the values left out.
RETCODE print_entries(comm_dir_facade* facade, reply_watchdog& watchdog, UINT operation_id,
                      const search_options& search, const char** failed_call, std::size_t* left_out_count) {
  const ldif_writer writer(search.wrap);
  const bool hide_entry_dn = !user_requests_entry_dn(search);
  *failed_call = "get_first_entry";
  RETCODE rc = guarded(watchdog, *failed_call, [&] { return facade->get_first_entry(operation_id); });
  while (rc == 0) {
    std::vector<entry_attribute> attributes;
    std::vector<left_out_value> left_out;
    rc = read_entry(facade, watchdog, operation_id, search.types_only, &attributes, &left_out, failed_call);
    if (rc != 0) return rc;
    std::string text;
    if (!format_entry(attributes, search, hide_entry_dn, writer, &text)) {
      *failed_call = "entryDN";
      say("the server sent an entry without its entryDN, which comm-dir needs for the DN (RFC 5020)");
      return velmarosta::COMM_DIR_ERR_BAD_REPLY;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    report_left_out(left_out, find_dn(attributes)->values.front());
    *left_out_count += left_out.size();
    *failed_call = "get_next_entry";
    rc = guarded(watchdog, *failed_call, [&] { return facade->get_next_entry(operation_id); });
  }
  return rc == velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES ? 0 : rc;
}

// The watchdog's bound: well beyond the daemon's own deadlines, and beyond
// the search's time limit.
std::chrono::seconds reply_bound(long time_limit_s) { return std::chrono::seconds(120 + time_limit_s); }

// A watchdog over comm-dir's calls that says which call got no answer and
// ends comm-dir.
std::unique_ptr<reply_watchdog> start_watchdog(long time_limit_s) {
  const std::chrono::seconds limit = reply_bound(time_limit_s);
  return std::make_unique<reply_watchdog>(limit, [limit](const char* call) {
    say(std::string("no answer from the directory service to ") + call + " within " + std::to_string(limit.count()) +
        " s");
    finish(kExitTimeout);
  });
}

// Makes the records of the connection; ends the process on a value that
// does not fit. `bind` stays unused when no bind is asked for. The password
// is in `bind` alone afterwards.
const velmarosta::COMM_DIR_BIND_INFO* make_connection_records(connection_options* connection,
                                                              velmarosta::COMM_DIR_CONNECT_INFO* connect,
                                                              velmarosta::COMM_DIR_BIND_INFO* bind) {
  std::string error;
  const bool starttls = connection->starttls != starttls_request::kNone;
  connection->tls = read_user_tls_settings();
  const bool made =
      make_connect_record(*connection, starttls, connect, &error) && make_bind_record(*connection, bind, &error);
  wipe(&connection->password);
  if (!made) {
    say(error);
    finish(kExitFailure);
  }
  // Without a DN or password the operation stays anonymous: no bind at all.
  return connection->bind_dn.empty() && !connection->password_given ? nullptr : bind;
}

// Ends the process when the daemon is not there, before any call waits.
void require_daemon() {
  const std::string reason = daemon_unreachable_reason();
  if (!reason.empty()) {
    say(reason);
    finish(kExitUnreachable);
  }
}

// Ends the process when one of its own endpoints could not start (its
// name is held): no reply or callback could reach it, and the platform
// says by whom.
void require_own_endpoints() {
  char why[512];
  if (commdir_posix_ipc_start_failure(why, sizeof why) == 0) {
    say(why);
    finish(kExitUnreachable);
  }
}

comm_dir_facade* reach_facade() {
  require_daemon();
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  velmarosta::comm_dir_ipc_multi_client::get_instance();  // starts the reply server now, not at the first call
  require_own_endpoints();
  return facade;
}

[[noreturn]] void run_search(tool_options& options) {
  velmarosta::COMM_DIR_CONNECT_INFO connect;
  velmarosta::COMM_DIR_BIND_INFO bind;
  const velmarosta::COMM_DIR_BIND_INFO* bind_or_none = make_connection_records(&options.connection, &connect, &bind);
  velmarosta::COMM_DIR_SEARCH_CONDITION condition;
  std::string error;
  if (!make_search_record(options.search, &condition, &error)) {
    say(error);
    finish(kExitFailure);
  }
  comm_dir_facade* facade = reach_facade();
  const std::unique_ptr<reply_watchdog> watching = start_watchdog(options.search.time_limit_s);
  reply_watchdog& watchdog = *watching;

  UINT operation_id = 0;
  bool starttls_failed = false;
  RETCODE rc =
      open_operation(facade, watchdog, options.connection, connect, bind_or_none, &operation_id, &starttls_failed);
  wipe(&bind);
  if (rc != 0) {
    say((starttls_failed ? "ldap_start_tls: " : "ldap_bind: ") + describe_result(rc));
    finish(starttls_failed ? kExitFailure : exit_status_for(rc));
  }
  // ldapsearch -LL writes it once bound, also before a search that fails.
  if (options.search.ldif_level == 2) std::fputs("version: 1\n\n", stdout);
  // search takes no operation id: the record names the operation.
  condition.operation_id = operation_id;
  const char* failed_call = "search";
  timeval time_limit{options.search.time_limit_s, 0};
  rc = guarded(watchdog, failed_call, [&] { return facade->search(condition, options.search.size_limit, time_limit); });
  std::size_t left_out = 0;
  if (rc == 0) rc = print_entries(facade, watchdog, operation_id, options.search, &failed_call, &left_out);
  if (rc != 0) say(std::string(failed_call) + ": " + describe_result(rc));
  const RETCODE ended = guarded(watchdog, "end_operation", [&] { return facade->end_operation(operation_id); });
  if (ended != 0) say("end_operation: " + describe_result(ended));
  // A walk that ended early says why; one that went through says that
  // values are missing.
  finish(rc == 0 && left_out > 0 ? kExitValuesLeftOut : exit_status_for(rc));
}

// --- check --------------------------------------------------------------------

// How long comm-dir waits for the answer to the daemon's callback to be
// sent: the daemon's own reply server takes it at once.
constexpr ULONG kAnswerSentMs = 2000;

// The object that the connection test's callback reaches.
//
// Thread-safe: on_callback runs on a task of the library's callback server,
// wait_for on the main thread; both work under mu_.
class test_callback : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override {
    commdir_sync::lock_guard lock(mu_);
    result_ = static_cast<RETCODE>(argument);
    called_ = true;
    done_.notify_all();
  }

  // True and the test's result when the callback came within `limit`.
  bool wait_for(std::chrono::seconds limit, RETCODE* result) {
    commdir_sync::unique_lock lock(mu_);
    if (!done_.wait_for(lock, limit, [this]() REQUIRES(mu_) { return called_; })) return false;
    *result = result_;
    return true;
  }

 private:
  commdir_sync::mutex mu_;
  commdir_sync::condition_variable done_;
  bool called_ GUARDED_BY(mu_) = false;
  RETCODE result_ GUARDED_BY(mu_) = 0;
};

// A string field of the daemon's answer, which may lack its NUL, as a
// terminal may show it: the diagnostic is the LDAP server's text.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  return commdir_posix::Visible(std::string_view(field, ::strnlen(field, N)));
}

void print_findings(const velmarosta::COMM_DIR_TEST_CONNECTION_INFO& info, bool bind_asked) {
  std::printf("callback server: %s\n", field_text(info.callback_server_name).c_str());
  std::printf("server reachable: %s\n", info.reachable ? "yes" : "no");
  std::printf("bind accepted: %s\n", !bind_asked ? "not tried" : info.bind_accepted ? "yes" : "no");
  std::printf("LDAP result: %d\n", static_cast<int>(info.ldap_result));
  std::printf("result: %s\n", describe_result(info.result).c_str());
  const std::string diagnostic = field_text(info.diagnostic);
  if (!diagnostic.empty()) std::printf("diagnostic: %s\n", diagnostic.c_str());
}

[[noreturn]] void run_check(tool_options& options) {
  velmarosta::COMM_DIR_TEST_CONNECTION_INFO info{};
  const velmarosta::COMM_DIR_BIND_INFO* bind = make_connection_records(&options.connection, &info.connect, &info.bind);
  info.bind_present = bind != nullptr ? 1 : 0;
  comm_dir_facade* facade = reach_facade();
  const std::unique_ptr<reply_watchdog> watching = start_watchdog(0);
  reply_watchdog& watchdog = *watching;

  if (!options.check.callback) {
    const RETCODE rc = guarded(watchdog, "check_connection",
                               [&] { return facade->check_connection(velmarosta::COMM_DIR_TEST_MODE_SYNC, info); });
    wipe(&info.bind);
    // A test that the daemon ran comes back with its findings, also when it
    // failed; a refusal of the daemon or the library has none.
    int ldap_code = 0;
    if (rc == 0 || velmarosta::comm_dir_ldap_code_of(rc, &ldap_code)) print_findings(info, bind != nullptr);
    if (rc != 0) say("check_connection: " + describe_result(rc));
    finish(exit_status_for(rc != 0 ? rc : info.result));
  }

  test_callback callback;
  info.callback_object = velmarosta::comm_dir_register_callback(&callback);
  if (info.callback_object == 0) {
    say("the callback object could not be registered");
    finish(kExitOther);
  }
  const RETCODE rc = guarded(watchdog, "check_connection",
                             [&] { return facade->check_connection(velmarosta::COMM_DIR_TEST_MODE_CALLBACK, info); });
  wipe(&info.bind);
  RETCODE result = rc;
  bool called = false;
  if (rc == 0) {
    std::printf("connection test started; waiting at most %d s for its callback on %s\n", options.check.wait_s,
                field_text(info.callback_server_name).c_str());
    std::fflush(stdout);
    called = callback.wait_for(std::chrono::seconds(options.check.wait_s), &result);
  }
  // Once this returns, the object is never called again: it may go.
  velmarosta::comm_dir_unregister_callback(info.callback_object);
  // The library's callback task answers the daemon once the object has
  // returned: leaving before that would keep the daemon waiting for the
  // answer until its --callback-timeout.
  if (called && commdir_posix_tasks_wait(kAnswerSentMs) != 0) say("the answer to the callback may not have been sent");
  if (rc != 0) {
    say("check_connection: " + describe_result(rc));
    finish(exit_status_for(rc));
  }
  if (!called) {
    say("no callback within " + std::to_string(options.check.wait_s) + " s");
    finish(kExitTimeout);
  }
  std::printf("callback: %s\n", describe_result(result).c_str());
  finish(exit_status_for(result));
}

// --- status -------------------------------------------------------------------

// Asks the daemon for its state with its own request kind, through the
// library's request client as every call of the facade goes, and prints
// the text it answers.
[[noreturn]] void run_status(const tool_options& options) {
  require_daemon();
  velmarosta::comm_dir_ipc_multi_client* transport = velmarosta::comm_dir_ipc_multi_client::get_instance();
  require_own_endpoints();
  velmarosta::COMM_DIR_MULTI_IPC_CLNT clnt{};
  if (transport == nullptr ||
      transport->create_client(velmarosta::COMM_DIR_SERVICE_CLIENT_NAME, velmarosta::COMM_DIR_SERVICE_SERVER_NAME, 0, 0,
                               velmarosta::COMM_DIR_IPC_ID_SERVICE, clnt) != 0) {
    say("cannot make a client of the directory service");
    finish(kExitUnreachable);
  }
  velmarosta::COMM_DIR_STATUS_REQUEST request{};
  request.format = options.status_json ? velmarosta::COMM_DIR_STATUS_JSON : velmarosta::COMM_DIR_STATUS_TEXT;
  auto reply = std::make_unique<velmarosta::COMM_DIR_STATUS_REPLY>();
  const std::unique_ptr<reply_watchdog> watching = start_watchdog(0);
  int length = 0;  // neither read nor written by the transport
  RETCODE rc = guarded(*watching, "status", [&] {
    return transport->call_client(
        clnt, velmarosta::COMM_DIR_FUNC_DAEMON_STATUS, 0, 0, reinterpret_cast<char*>(&request), sizeof request,
        reinterpret_cast<char*>(reply.get()), sizeof *reply, &length, static_cast<unsigned long>(-1));
  });
  transport->destroy_client(clnt);
  if (rc == 0) rc = reply->result;
  if (rc == 0 && reply->length > sizeof reply->text) rc = velmarosta::COMM_DIR_ERR_BAD_REPLY;
  if (rc != 0) {
    say("status: " + describe_result(rc));
    finish(exit_status_for(rc));
  }
  std::fwrite(reply->text, 1, reply->length, stdout);
  finish(0);
}

}  // namespace
}  // namespace commdir_tools

int main(int argc, char** argv) {
  using namespace commdir_tools;
  // The library traces every refused call, the normal end of a walk
  // included; a command line tool keeps them out of the way unless asked.
  ::setenv("COMM_DIR_TRACE", "off", /*overwrite=*/0);
  remove_files_on_signals();
  tool_options options;
  std::string error;
  if (!parse_command_line(argc, argv, &options, &error)) {
    say(error);
    std::fputs("Try 'comm-dir --help'.\n", stderr);
    finish(kExitFailure);
  }
  // A password, once read, must not end up in a core file or before a
  // debugger of this user; copies of it may linger in freed memory, so this
  // holds for the rest of the run.
  if (options.connection.password_given) ::prctl(PR_SET_DUMPABLE, 0);
  switch (options.command) {
    case tool_command::kHelp: std::fputs(usage_text(), stdout); finish(0);
    case tool_command::kVersion: std::printf("comm-dir (libcommdir) %s\n", COMMDIR_VERSION); finish(0);
    case tool_command::kSearch:
      if (!resolve_password(&options.connection)) finish(kExitFailure);
      read_configured_defaults(&options);
      run_search(options);
    case tool_command::kCheck:
      if (!resolve_password(&options.connection)) finish(kExitFailure);
      read_configured_defaults(&options);
      run_check(options);
    case tool_command::kStatus: run_status(options);
  }
  finish(kExitFailure);
}
