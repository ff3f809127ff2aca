// The directory request messages exchanged with the directory service on
// "utcp:COMM_DIR_SRV": function ids, the six request layouts and the reply,
// and the daemon's own status request and its reply.
// Each travels as the payload of an envelope (ipc/comm_dir_ipc_envelope.h).
// Words are 32-bit in the host's byte order; every request begins with a
// 72-byte reserved prefix of zero bytes and is zero-filled before its fields
// are written.
#ifndef COMMDIR_CLIENT_COMM_DIR_MESSAGES_H_
#define COMMDIR_CLIENT_COMM_DIR_MESSAGES_H_

#include <cstddef>

#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_types.h"
#include "ipc/comm_dir_ipc_envelope.h"

namespace velmarosta {

enum COMM_DIR_FUNC_ID : int {
  COMM_DIR_FUNC_CHECK_CONNECTION = 0,
  COMM_DIR_FUNC_START_OPERATION = 1,
  COMM_DIR_FUNC_SEARCH = 2,
  COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE = 3,
  COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE = 4,
  COMM_DIR_FUNC_GET_VALUE_STRING_CNT = 5,
  COMM_DIR_FUNC_GET_VALUE_STRING_LEN = 6,
  COMM_DIR_FUNC_GET_VALUE_STRING_ONE = 7,
  COMM_DIR_FUNC_GET_VALUE_BINARY_CNT = 8,
  COMM_DIR_FUNC_GET_VALUE_BINARY_LEN = 9,
  COMM_DIR_FUNC_GET_VALUE_BINARY_ONE = 10,
  COMM_DIR_FUNC_END_OPERATION = 11,
  COMM_DIR_FUNC_GET_FIRST_ENTRY = 12,
  COMM_DIR_FUNC_GET_NEXT_ENTRY = 13,
  COMM_DIR_FUNC_FREE_MSG = 14,
};
constexpr int COMM_DIR_FUNC_COUNT = 15;

// The six requests for an attribute's values: count, length and value, as
// strings (5 to 7) and as binary (8 to 10).
constexpr bool comm_dir_is_value_request(int function_id) {
  return function_id >= COMM_DIR_FUNC_GET_VALUE_STRING_CNT && function_id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE;
}

constexpr int COMM_DIR_REQUEST_PREFIX_SIZE = 72;
constexpr int COMM_DIR_MAX_ATTRIBUTE_NAME = 384;  // characters, NUL not counted

// Ids 3, 4, 11, 12, 13, 14.
struct COMM_DIR_OPERATION_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  UINT operation_id;
};
static_assert(offsetof(COMM_DIR_OPERATION_REQUEST, operation_id) == 72, "");
static_assert(sizeof(COMM_DIR_OPERATION_REQUEST) == 76, "");

// Id 0.
struct COMM_DIR_CHECK_CONNECTION_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  UINT test_mode;  // COMM_DIR_TEST_MODE as a word
  COMM_DIR_TEST_CONNECTION_INFO info;
};
static_assert(offsetof(COMM_DIR_CHECK_CONNECTION_REQUEST, test_mode) == 72, "");
static_assert(offsetof(COMM_DIR_CHECK_CONNECTION_REQUEST, info) == 76, "");
static_assert(sizeof(COMM_DIR_CHECK_CONNECTION_REQUEST) == 2008, "");
static_assert(offsetof(COMM_DIR_CHECK_CONNECTION_REQUEST, info) +
                      offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_server_name) ==
                  1988,
              "");

// Id 1.
struct COMM_DIR_START_OPERATION_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  COMM_DIR_CONNECT_INFO connect;
  UINT bind_present;  // 1: `bind` holds the caller's record; 0: all zero
  COMM_DIR_BIND_INFO bind;
};
static_assert(offsetof(COMM_DIR_START_OPERATION_REQUEST, connect) == 72, "");
static_assert(offsetof(COMM_DIR_START_OPERATION_REQUEST, bind_present) == 352, "");
static_assert(offsetof(COMM_DIR_START_OPERATION_REQUEST, bind) == 356, "");
static_assert(sizeof(COMM_DIR_START_OPERATION_REQUEST) == 1456, "");

// Id 2.
struct COMM_DIR_SEARCH_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  COMM_DIR_SEARCH_CONDITION condition;
  UINT size_limit;      // the UINT argument of search, unchanged
  INT time_limit_sec;   // the timeval's seconds
  INT time_limit_usec;  // the timeval's microseconds
};
static_assert(offsetof(COMM_DIR_SEARCH_REQUEST, condition) == 72, "");
static_assert(offsetof(COMM_DIR_SEARCH_REQUEST, size_limit) == 2036, "");
static_assert(offsetof(COMM_DIR_SEARCH_REQUEST, time_limit_sec) == 2040, "");
static_assert(offsetof(COMM_DIR_SEARCH_REQUEST, time_limit_usec) == 2044, "");
static_assert(sizeof(COMM_DIR_SEARCH_REQUEST) == 2048, "");

// Ids 5 and 8.
struct COMM_DIR_VALUE_COUNT_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  UINT operation_id;
  char attribute[COMM_DIR_MAX_ATTRIBUTE_NAME + 1];  // byte 460 is always zero
  char padding[3];
};
static_assert(offsetof(COMM_DIR_VALUE_COUNT_REQUEST, operation_id) == 72, "");
static_assert(offsetof(COMM_DIR_VALUE_COUNT_REQUEST, attribute) == 76, "");
static_assert(offsetof(COMM_DIR_VALUE_COUNT_REQUEST, padding) == 461, "");
static_assert(sizeof(COMM_DIR_VALUE_COUNT_REQUEST) == 464, "");

// Ids 6, 7, 9 and 10.
struct COMM_DIR_VALUE_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  UINT operation_id;
  char attribute[COMM_DIR_MAX_ATTRIBUTE_NAME + 1];
  char padding[3];
  UINT value_index;  // counted from 0
};
static_assert(offsetof(COMM_DIR_VALUE_REQUEST, operation_id) == 72, "");
static_assert(offsetof(COMM_DIR_VALUE_REQUEST, attribute) == 76, "");
static_assert(offsetof(COMM_DIR_VALUE_REQUEST, padding) == 461, "");
static_assert(offsetof(COMM_DIR_VALUE_REQUEST, value_index) == 464, "");
static_assert(sizeof(COMM_DIR_VALUE_REQUEST) == 468, "");

constexpr int COMM_DIR_REPLY_SIZE = 1948;
constexpr int COMM_DIR_REPLY_DATA_OFFSET = 20;
constexpr int COMM_DIR_REPLY_DATA_SIZE = 1928;

// The answer to every request (ids 7 and 10: lengthened so that the value
// fits), and the callback server's answer to every callback.
struct COMM_DIR_REPLY {
  char reserved[12];  // never read; zero in replies that the library writes
  RETCODE result;     // 0 success, else the service's code
  union {
    COMM_DIR_TEST_CONNECTION_INFO info;  // id 0
    struct {
      UINT word;                            // meaning by function id
      char data[COMM_DIR_REPLY_DATA_SIZE];  // id 7 and 10: longer
    } reply;
  } body;
};
static_assert(offsetof(COMM_DIR_REPLY, result) == 12, "");
static_assert(offsetof(COMM_DIR_REPLY, body) == 16, "");
static_assert(offsetof(COMM_DIR_REPLY, body.reply.word) == 16, "");
static_assert(offsetof(COMM_DIR_REPLY, body.reply.data) == COMM_DIR_REPLY_DATA_OFFSET, "");
static_assert(sizeof(COMM_DIR_REPLY) == COMM_DIR_REPLY_SIZE, "");

// A request kind of the directory service's own, outside the function ids
// above: the library never sends it. comm-dir asks with it for the daemon's
// live state (comm-dir status); the daemon answers it at once, from its
// receiving thread, and only to users that it serves.
constexpr int COMM_DIR_FUNC_DAEMON_STATUS = 0x100;

// How the daemon writes its state: lines for people, or one JSON object.
enum COMM_DIR_STATUS_FORMAT : UINT { COMM_DIR_STATUS_TEXT = 0, COMM_DIR_STATUS_JSON = 1 };

struct COMM_DIR_STATUS_REQUEST {
  char reserved[COMM_DIR_REQUEST_PREFIX_SIZE];
  UINT format;  // COMM_DIR_STATUS_FORMAT
};
static_assert(offsetof(COMM_DIR_STATUS_REQUEST, format) == 72, "");
static_assert(sizeof(COMM_DIR_STATUS_REQUEST) == 76, "");

// Its reply: the head of a COMM_DIR_REPLY (the result word where every
// reply has it, so that a refusal or a notice reads as for any request),
// the text's length in bytes, and the text, without a NUL, filling the rest
// of the envelope's payload.
constexpr int COMM_DIR_STATUS_TEXT_CAPACITY = COMM_DIR_IPC_MAX_PAYLOAD - COMM_DIR_REPLY_DATA_OFFSET;
struct COMM_DIR_STATUS_REPLY {
  char reserved[12];
  RETCODE result;
  UINT length;  // at most COMM_DIR_STATUS_TEXT_CAPACITY
  char text[COMM_DIR_STATUS_TEXT_CAPACITY];
};
static_assert(offsetof(COMM_DIR_STATUS_REPLY, result) == offsetof(COMM_DIR_REPLY, result), "");
static_assert(offsetof(COMM_DIR_STATUS_REPLY, length) == offsetof(COMM_DIR_REPLY, body.reply.word), "");
static_assert(offsetof(COMM_DIR_STATUS_REPLY, text) == COMM_DIR_REPLY_DATA_OFFSET, "");
static_assert(sizeof(COMM_DIR_STATUS_REPLY) == COMM_DIR_IPC_MAX_PAYLOAD, "");

// Reply word of ids 3, 4, 7 and 10 when a name or a value follows.
constexpr UINT COMM_DIR_REPLY_WORD_PRESENT = 1;

// The largest value that one reply can carry: a string value needs
// 1949 + L bytes, a binary value 1948 + L, within the envelope's payload.
constexpr UINT COMM_DIR_MAX_STRING_VALUE = COMM_DIR_IPC_MAX_PAYLOAD - COMM_DIR_REPLY_SIZE - 1;
constexpr UINT COMM_DIR_MAX_BINARY_VALUE = COMM_DIR_IPC_MAX_PAYLOAD - COMM_DIR_REPLY_SIZE;
static_assert(COMM_DIR_MAX_STRING_VALUE == 47207, "");
static_assert(COMM_DIR_MAX_BINARY_VALUE == 47208, "");

}  // namespace velmarosta

#endif  // COMMDIR_CLIENT_COMM_DIR_MESSAGES_H_
