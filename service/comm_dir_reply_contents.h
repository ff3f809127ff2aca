// What a reply carries besides its code: an attribute's values, an
// attribute's name, a connection test's findings.
#ifndef COMMDIR_SERVICE_COMM_DIR_REPLY_CONTENTS_H_
#define COMMDIR_SERVICE_COMM_DIR_REPLY_CONTENTS_H_

#include <string>

#include "service/comm_dir_ldap_session.h"
#include "service/comm_dir_operation.h"
#include "service/comm_dir_request_decoder.h"
#include "service/comm_dir_service_ipc.h"

namespace velmarosta {

// Answers a value request (comm_dir_is_value_request) from the attribute's
// values.
RETCODE comm_dir_serve_value(comm_dir_operation& operation, const comm_dir_request& request, comm_dir_reply& reply);

// Puts an attribute name (or none, when empty) into a reply of id 3 or 4.
void comm_dir_put_attribute(const std::string& name, comm_dir_reply& reply);

// Copies `text` into a connection test's diagnostic field, cut to fit.
void comm_dir_set_diagnostic(COMM_DIR_TEST_CONNECTION_INFO* info, const std::string& text);

// What a connection test found, and its code, into its record.
void comm_dir_write_findings(COMM_DIR_TEST_CONNECTION_INFO* info, const comm_dir_ldap_findings& findings, RETCODE code);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_REPLY_CONTENTS_H_
