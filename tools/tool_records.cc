#include "tools/tool_records.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace commdir_tools {

namespace {

using velmarosta::COMM_DIR_BIND_INFO;
using velmarosta::COMM_DIR_CONNECT_INFO;
using velmarosta::COMM_DIR_SEARCH_CONDITION;

// Copies `value` into a field of `N` bytes with its NUL, or reports `what`.
template <std::size_t N>
bool copy_field(const std::string& value, const char* what, char (&field)[N], std::string* error) {
  if (value.size() >= N || value.find('\0') != std::string::npos) {
    *error = std::string(what) + " is too long (at most " + std::to_string(N - 1) + " bytes)";
    return false;
  }
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

std::string join(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

bool is_ldaps(const std::string& uri) { return ::strncasecmp(uri.c_str(), "ldaps://", 8) == 0; }

bool all_ldaps(const std::vector<std::string>& uris) {
  return !uris.empty() && std::all_of(uris.begin(), uris.end(), is_ldaps);
}

// `path` as libldap in comm-dir would open it, for a daemon that runs in
// another folder: a relative path is taken from the current folder.
bool absolute_path(const std::string& path, std::string* absolute, std::string* error) {
  if (path.empty() || path[0] == '/') {
    *absolute = path;
    return true;
  }
  char folder[PATH_MAX];
  if (::getcwd(folder, sizeof folder) == nullptr) {
    *error = "the certificate authority file " + path +
             " is relative, and the current folder is unknown: " + std::strerror(errno);
    return false;
  }
  *absolute = std::string(folder) + "/" + path;
  return true;
}

// The user's TLS settings, when the connection may speak TLS (StartTLS, or
// an ldaps:// URI in the list); without TLS they stay zero, so that a file
// named in ldap.conf for other uses cannot make a plain search fail.
bool put_tls_settings(const connection_options& connection, bool starttls, COMM_DIR_CONNECT_INFO* record,
                      std::string* error) {
  if (!starttls && std::none_of(connection.uris.begin(), connection.uris.end(), is_ldaps)) return true;
  std::string ca_file;
  if (!absolute_path(connection.tls.ca_file, &ca_file, error) ||
      !copy_field(ca_file, "the certificate authority file path", record->tls_ca_file, error))
    return false;
  record->tls_verify = connection.tls.verify;
  return true;
}

}  // namespace

bool user_requests_entry_dn(const search_options& search) {
  for (const std::string& name : search.attributes) {
    if (name == "+" || ::strcasecmp(name.c_str(), kEntryDnAttribute) == 0) return true;
  }
  return false;
}

bool make_connect_record(const connection_options& connection, bool starttls, COMM_DIR_CONNECT_INFO* record,
                         std::string* error) {
  *record = COMM_DIR_CONNECT_INFO{};
  if (!copy_field(join(connection.uris), "the URI list", record->uri, error)) return false;
  if (all_ldaps(connection.uris)) {
    record->security = velmarosta::COMM_DIR_SECURITY_LDAPS;
  } else if (starttls) {
    record->security = velmarosta::COMM_DIR_SECURITY_STARTTLS;
  } else {
    record->security = velmarosta::COMM_DIR_SECURITY_NONE;
  }
  record->network_timeout_ms = connection.network_timeout_ms;
  return put_tls_settings(connection, starttls, record, error);
}

bool make_bind_record(const connection_options& connection, COMM_DIR_BIND_INFO* record, std::string* error) {
  *record = COMM_DIR_BIND_INFO{};
  record->method = velmarosta::COMM_DIR_BIND_SIMPLE;
  return copy_field(connection.bind_dn, "the bind DN", record->bind_dn, error) &&
         copy_field(connection.password, "the password", record->password, error);
}

bool make_search_record(const search_options& search, COMM_DIR_SEARCH_CONDITION* record, std::string* error) {
  *record = COMM_DIR_SEARCH_CONDITION{};
  std::vector<std::string> attributes = search.attributes;
  if (!user_requests_entry_dn(search)) {
    // An empty list means all user attributes; it must stay that with
    // entryDN beside it.
    if (attributes.empty()) attributes.push_back("*");
    attributes.push_back(kEntryDnAttribute);
  }
  record->scope = search.scope;
  record->deref = search.deref;
  record->types_only = 0;
  return copy_field(search.base, "the base DN", record->base_dn, error) &&
         copy_field(search.filter, "the filter", record->filter, error) &&
         copy_field(join(attributes), "the attribute list", record->attributes, error);
}

}  // namespace commdir_tools
