// Basic types of libcommdir: the typedefs that every signature uses, the
// library's result codes and module number, and the export macro.
#ifndef COMMDIR_COMM_DIR_TYPES_H_
#define COMMDIR_COMM_DIR_TYPES_H_

#include <cstdint>
#include <type_traits>

// The signature strings that the library traces name these typedefs
// unqualified, so they live in the global namespace.
//
// RETCODE, the signed 32-bit result (0 success), is the device's `long`:
// what the IPC convention's dispatch functions return, and what the exported
// names of comm_dir_ipc_multi_server::start_server (its dispatch function's
// type) and send_reply (its result argument) carry, so that code built for
// that convention compiles and links against this library unchanged. A host
// whose long is wider takes a 32-bit int instead, so that a result is the
// same word on every host (it travels in replies and records); there those
// two names carry `int`.
typedef std::conditional<sizeof(long) == 4, long, std::int32_t>::type RETCODE;
typedef unsigned int UINT;  // 32-bit unsigned word
typedef int INT;            // 32-bit signed word
typedef char CHAR;
typedef unsigned long ULONG;
static_assert(sizeof(RETCODE) == 4 && sizeof(UINT) == 4 && sizeof(INT) == 4, "words are 32-bit");

#if defined(COMMDIR_BUILDING_LIBRARY)
#define COMM_DIR_API __attribute__((visibility("default")))
#else
#define COMM_DIR_API
#endif

namespace velmarosta {

// The library's module number: the first argument of every trace line and the
// high half of COMM_DIR_ERR and of the IPC ids.
constexpr UINT COMM_DIR_MODULE_ID = 0x3409;

// The facade's and the result store's own failure. The IPC transport fails
// with -1; every other non-zero result is a code of the directory service (or
// of a platform call) passed up unchanged.
constexpr RETCODE COMM_DIR_ERR = 0x34090000;

// The library's own result codes beside COMM_DIR_ERR, in a range that no
// directory service code uses (the daemon's codes lie in 0x34091000 to
// 0x3409EFFF).
// A reply broke the limits of the wire contract (a name or value without its
// terminator, a length beyond what one reply can carry, a reply shorter than
// the value it announces). Nothing of it is handed out.
constexpr RETCODE COMM_DIR_ERR_BAD_REPLY = 0x3409F001;
// The library could not allocate memory for a result.
constexpr RETCODE COMM_DIR_ERR_NO_MEMORY = 0x3409F002;

// Trace category of every trace line of the library.
constexpr UINT COMM_DIR_TRACE_CATEGORY = 258;

}  // namespace velmarosta

#endif  // COMMDIR_COMM_DIR_TYPES_H_
