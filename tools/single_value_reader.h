// The values of one attribute read one request at a time, for the attribute
// whose whole list the facade cannot hand out because one of its values is
// longer than one reply can carry: the daemon refuses that value alone.
#ifndef COMMDIR_TOOLS_SINGLE_VALUE_READER_H_
#define COMMDIR_TOOLS_SINGLE_VALUE_READER_H_

#include <memory>
#include <string>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_multi_client.h"

namespace commdir_tools {

// The facade serves no single-value calls, so this goes through the
// library's exported transport with the request layouts that the facade's
// own client sends (count, then length and value per index), as binary
// values: every byte as it is.
//
// Not thread-safe: one walk uses it, between the facade calls of the same
// operation, and no facade call of that operation runs meanwhile.
class single_value_reader {
 public:
  single_value_reader(UINT operation_id, const char* attribute);
  ~single_value_reader();
  single_value_reader(const single_value_reader&) = delete;
  single_value_reader& operator=(const single_value_reader&) = delete;

  // Opens the transport's client; the other calls need it.
  RETCODE open();
  // The number of the attribute's values.
  RETCODE count(UINT* count);
  // The value at `index`: 0 and its bytes in *value; else the daemon's or
  // the transport's code, or COMM_DIR_ERR_BAD_REPLY for a reply that breaks
  // the messages' limits or carries no value at an index below the count.
  // *length is the value's length in bytes as the daemon said it, also when
  // it refused the value as COMM_DIR_SVC_VALUE_TOO_LARGE (0: it did not say).
  RETCODE value(UINT index, std::string* value, UINT* length);

 private:
  RETCODE exchange(int function_id, int request_size, char* reply, std::size_t reply_size);

  velmarosta::comm_dir_ipc_multi_client* transport_;
  velmarosta::COMM_DIR_MULTI_IPC_CLNT client_{};
  bool opened_ = false;
  std::unique_ptr<velmarosta::COMM_DIR_VALUE_REQUEST> request_;  // zero-filled, as every request
};

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_SINGLE_VALUE_READER_H_
