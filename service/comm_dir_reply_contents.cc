#include "service/comm_dir_reply_contents.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "commdir/comm_dir_result_codes.h"

namespace velmarosta {
namespace {

bool is_binary_request(int function_id) { return function_id >= COMM_DIR_FUNC_GET_VALUE_BINARY_CNT; }
bool is_count_request(int function_id) {
  return function_id == COMM_DIR_FUNC_GET_VALUE_STRING_CNT || function_id == COMM_DIR_FUNC_GET_VALUE_BINARY_CNT;
}
bool is_length_request(int function_id) {
  return function_id == COMM_DIR_FUNC_GET_VALUE_STRING_LEN || function_id == COMM_DIR_FUNC_GET_VALUE_BINARY_LEN;
}

}  // namespace

RETCODE comm_dir_serve_value(comm_dir_operation& operation, const comm_dir_request& request, comm_dir_reply& reply) {
  comm_dir_values values;
  RETCODE code = operation.values(request.record.value_count.attribute, &values);
  if (code != 0) return code;
  const int function_id = request.function_id;
  UINT& word = reply.body().body.reply.word;
  if (is_count_request(function_id)) {
    word = static_cast<UINT>(values.count);
    return 0;
  }
  const UINT index = request.record.value.value_index;
  if (index >= static_cast<UINT>(values.count)) {
    // A value request past the last value says "no value" in its reply
    // word; a length request has no such word and fails.
    return is_length_request(function_id) ? COMM_DIR_SVC_NO_SUCH_VALUE : 0;
  }
  const berval& value = *values.values[index];
  const bool binary = is_binary_request(function_id);
  if (value.bv_len > (binary ? COMM_DIR_MAX_BINARY_VALUE : COMM_DIR_MAX_STRING_VALUE)) {
    // Refused whole, never cut. The refusal of a length request still says
    // the length (a reader that leaves the value out can name its size);
    // the library reads no word of a refusal.
    if (is_length_request(function_id)) word = static_cast<UINT>(std::min<ber_len_t>(value.bv_len, UINT_MAX));
    return COMM_DIR_SVC_VALUE_TOO_LARGE;
  }
  const UINT length = static_cast<UINT>(value.bv_len);
  if (is_length_request(function_id)) {
    word = length;
    return 0;
  }
  word = COMM_DIR_REPLY_WORD_PRESENT;
  // A string's NUL is already there: the reply is zero-filled.
  char* data = reply.data(binary ? sizeof length + length : length + 1);
  if (binary) {
    std::memcpy(data, &length, sizeof length);
    data += sizeof length;
  }
  std::memcpy(data, value.bv_val, length);
  return 0;
}

void comm_dir_put_attribute(const std::string& name, comm_dir_reply& reply) {
  if (name.empty()) return;
  reply.body().body.reply.word = COMM_DIR_REPLY_WORD_PRESENT;
  std::memcpy(reply.data(name.size() + 1), name.c_str(), name.size() + 1);
}

void comm_dir_set_diagnostic(COMM_DIR_TEST_CONNECTION_INFO* info, const std::string& text) {
  std::snprintf(info->diagnostic, sizeof info->diagnostic, "%s", text.c_str());
}

void comm_dir_write_findings(COMM_DIR_TEST_CONNECTION_INFO* info, const comm_dir_ldap_findings& findings,
                             RETCODE code) {
  info->reachable = findings.reachable ? 1 : 0;
  info->bind_accepted = findings.bind_accepted ? 1 : 0;
  info->ldap_result = findings.ldap_result;
  info->result = code;
  comm_dir_set_diagnostic(info, findings.diagnostic.empty() ? comm_dir_result_message(code) : findings.diagnostic);
}

}  // namespace velmarosta
