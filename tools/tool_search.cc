// comm-dir search: an ldapsearch over the facade.
#include <strings.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "platform/posix/commdir_posix_text.h"
#include "tools/ldif_writer.h"
#include "tools/single_value_reader.h"
#include "tools/tool_outcome.h"
#include "tools/tool_password.h"
#include "tools/tool_records.h"
#include "tools/tool_session.h"
#include "tools/tool_tls.h"

namespace commdir_tools {

using velmarosta::comm_dir_facade;

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

}  // namespace commdir_tools
