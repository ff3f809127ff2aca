#include "tools/single_value_reader.h"

#include <cstring>
#include <new>

#include "client/comm_dir_facade_client.h"
#include "commdir/comm_dir_result_codes.h"

namespace commdir_tools {

namespace {

using velmarosta::COMM_DIR_REPLY;
using velmarosta::COMM_DIR_REPLY_SIZE;
using velmarosta::read_word;

RETCODE result_of(const char* reply) {
  return static_cast<RETCODE>(read_word(reply, offsetof(COMM_DIR_REPLY, result)));
}
UINT word_of(const char* reply) { return read_word(reply, offsetof(COMM_DIR_REPLY, body.reply.word)); }

}  // namespace

single_value_reader::single_value_reader(UINT operation_id, const char* attribute)
    : transport_(velmarosta::comm_dir_ipc_multi_client::get_instance()),
      request_(new (std::nothrow) velmarosta::COMM_DIR_VALUE_REQUEST()) {
  if (request_ == nullptr) return;
  request_->operation_id = operation_id;
  // The field is zero, so a name cut to its first 384 characters keeps its
  // terminator, as the facade sends it.
  std::memcpy(request_->attribute, attribute, ::strnlen(attribute, velmarosta::COMM_DIR_MAX_ATTRIBUTE_NAME));
}

single_value_reader::~single_value_reader() {
  if (opened_) transport_->destroy_client(client_);
}

RETCODE single_value_reader::open() {
  if (transport_ == nullptr || request_ == nullptr) return velmarosta::COMM_DIR_ERR_NO_MEMORY;
  const RETCODE rc =
      transport_->create_client(velmarosta::COMM_DIR_SERVICE_CLIENT_NAME, velmarosta::COMM_DIR_SERVICE_SERVER_NAME, 0,
                                0, velmarosta::COMM_DIR_IPC_ID_SERVICE, client_);
  opened_ = rc == 0;
  return rc;
}

RETCODE single_value_reader::exchange(int function_id, int request_size, char* reply, std::size_t reply_size) {
  int reply_length = static_cast<int>(reply_size);
  return transport_->call_client(client_, function_id, 0, 0, reinterpret_cast<char*>(request_.get()), request_size,
                                 reply, static_cast<int>(reply_size), &reply_length, static_cast<unsigned long>(-1));
}

RETCODE single_value_reader::count(UINT* count) {
  char reply[COMM_DIR_REPLY_SIZE] = {};
  RETCODE rc = exchange(velmarosta::COMM_DIR_FUNC_GET_VALUE_BINARY_CNT,
                        sizeof(velmarosta::COMM_DIR_VALUE_COUNT_REQUEST), reply, sizeof reply);
  if (rc == 0) rc = result_of(reply);
  if (rc != 0) return rc;
  *count = word_of(reply);
  // A count beyond the library's own bound is no attribute but a broken reply.
  return *count <= velmarosta::COMM_DIR_MAX_VALUE_COUNT ? 0 : velmarosta::COMM_DIR_ERR_BAD_REPLY;
}

RETCODE single_value_reader::value(UINT index, std::string* value, UINT* length) {
  request_->value_index = index;
  char reply[COMM_DIR_REPLY_SIZE] = {};
  RETCODE rc = exchange(velmarosta::COMM_DIR_FUNC_GET_VALUE_BINARY_LEN, sizeof *request_, reply, sizeof reply);
  if (rc == 0) rc = result_of(reply);
  *length = word_of(reply);
  if (rc != 0) return rc;
  if (*length > velmarosta::COMM_DIR_MAX_BINARY_VALUE) return velmarosta::COMM_DIR_ERR_BAD_REPLY;
  // The value reply: the reply record lengthened by the value's bytes.
  std::string value_reply(COMM_DIR_REPLY_SIZE + *length, '\0');
  rc = exchange(velmarosta::COMM_DIR_FUNC_GET_VALUE_BINARY_ONE, sizeof *request_, value_reply.data(),
                value_reply.size());
  if (rc == 0) rc = result_of(value_reply.data());
  if (rc != 0) return rc;
  const char* berval = value_reply.data() + velmarosta::COMM_DIR_REPLY_DATA_OFFSET;
  if (word_of(value_reply.data()) != velmarosta::COMM_DIR_REPLY_WORD_PRESENT || read_word(berval, 0) != *length)
    return velmarosta::COMM_DIR_ERR_BAD_REPLY;
  value->assign(berval + offsetof(velmarosta::COMM_DIR_BERVAL, bv_val), *length);
  return 0;
}

}  // namespace commdir_tools
