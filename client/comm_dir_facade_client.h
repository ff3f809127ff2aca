// Turns each directory call of the facade into request/reply exchanges with
// the directory service on "utcp:COMM_DIR_SRV". Stateless: any number of
// threads may call it at once; each call opens its own IPC client and owns its
// buffers, and the request client serialises the sends.
//
// Results: the create_client or call_client result (-1) when the transport
// fails, otherwise the service's result word unchanged, with two codes of the
// library's own beside them:
//
//   COMM_DIR_ERR_BAD_REPLY  a reply broke the limits of the messages: an
//       attribute name without its NUL within 384 characters, a string value
//       whose byte at L is not its NUL, a length L above
//       COMM_DIR_MAX_STRING_VALUE / COMM_DIR_MAX_BINARY_VALUE (refused before
//       any buffer is sized by it), a binary value whose own length word
//       disagrees with L, or a value count above COMM_DIR_MAX_VALUE_COUNT.
//       Nothing is ever cut to fit: the call fails, traced.
//   COMM_DIR_ERR_NO_MEMORY  an allocation failed (no exception ever leaves
//       the library).
//
// Either failure cleans up as a failed exchange does: a value-list call frees
// everything it fetched and leaves the caller's list null (the count keeps
// the count reply's word, which the facade does not take over on failure).
// Out-parameters follow one rule: written only once the service has answered.
// A failure before the answer (including an allocation failure there) leaves
// them as they were; after the answer, an attribute call that cannot hand out
// the name sets it to null.
//
// What is handed out is allocated with new[] and owned by the caller from
// then on: an attribute name of 385 characters; a value array of count + 1
// pointers; a string value of L + 1 characters; a binary value as one block
// of L + 4 bytes (a COMM_DIR_BERVAL), freed with delete[] of the block as
// char*.
#ifndef COMMDIR_CLIENT_COMM_DIR_FACADE_CLIENT_H_
#define COMMDIR_CLIENT_COMM_DIR_FACADE_CLIENT_H_

#include <sys/time.h>

#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_types.h"

namespace velmarosta {

// The largest value count that a value-list call accepts from the service.
// A count beyond it is no address book's attribute but a broken reply (its
// array alone would take gigabytes on a 64-bit host and cannot exist on the
// 32-bit device); it fails with COMM_DIR_ERR_BAD_REPLY before anything is
// allocated for it.
constexpr UINT COMM_DIR_MAX_VALUE_COUNT = 1u << 20;

class comm_dir_facade_client {
 public:
  RETCODE check_connection(COMM_DIR_TEST_MODE mode, COMM_DIR_TEST_CONNECTION_INFO& info);
  // `operation_id` must not be null (the facade checks).
  RETCODE start_operation(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, UINT* operation_id);
  RETCODE search(const COMM_DIR_SEARCH_CONDITION& condition, UINT size_limit, timeval& time_limit);
  RETCODE get_first_attribute(UINT operation_id, CHAR*& attribute);
  RETCODE get_next_attribute(UINT operation_id, CHAR*& attribute);
  // `attribute` must not be null (the facade checks); a name longer than 384
  // characters is sent cut to its first 384. `values` is set when the call
  // returns 0 (null for count 0), set to null when a length or value exchange
  // fails (everything fetched freed), and left as it was otherwise.
  RETCODE get_value_string(UINT operation_id, CHAR* attribute, UINT& count, CHAR**& values);
  RETCODE get_value_binary(UINT operation_id, CHAR* attribute, UINT& count, COMM_DIR_BERVAL**& values);
  RETCODE end_operation(UINT operation_id);
  RETCODE get_first_entry(UINT operation_id);
  RETCODE get_next_entry(UINT operation_id);
  RETCODE free_msg(UINT operation_id);
};

}  // namespace velmarosta

#endif  // COMMDIR_CLIENT_COMM_DIR_FACADE_CLIENT_H_
