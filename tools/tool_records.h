// The facade's records, filled from the command line.
#ifndef COMMDIR_TOOLS_TOOL_RECORDS_H_
#define COMMDIR_TOOLS_TOOL_RECORDS_H_

#include <string>

#include "commdir/comm_dir_records.h"
#include "tools/tool_options.h"

namespace commdir_tools {

// The facade delivers an entry's attributes and values but not its DN, so
// comm-dir reads the DN from the operational attribute entryDN (RFC 5020,
// served by OpenLDAP and 389-ds), which it adds to the requested attributes.
constexpr char kEntryDnAttribute[] = "entryDN";

// True when the user's attribute list brings entryDN on its own ("+", or
// entryDN by name), so that it is printed rather than hidden.
bool user_requests_entry_dn(const search_options& search);

// Each returns false, with a message in `error`, when a value does not fit
// its field (fields are fixed-size and NUL-terminated). `starttls` chooses
// StartTLS for the connection; URIs that all start with ldaps:// get LDAPS.
// A connection that may speak TLS carries the user's TLS settings, a
// relative authority file made absolute from the current folder.
bool make_connect_record(const connection_options& connection, bool starttls, velmarosta::COMM_DIR_CONNECT_INFO* record,
                         std::string* error);
bool make_bind_record(const connection_options& connection, velmarosta::COMM_DIR_BIND_INFO* record, std::string* error);
// Values are always requested, also with -A: entryDN must come with its
// value, and -A prints the names alone.
bool make_search_record(const search_options& search, velmarosta::COMM_DIR_SEARCH_CONDITION* record,
                        std::string* error);

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_RECORDS_H_
