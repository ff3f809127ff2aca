// Basic types of libcommdir: the typedefs that every signature uses, the
// library's result codes and module number, and the export macro.
#ifndef COMMDIR_COMM_DIR_TYPES_H_
#define COMMDIR_COMM_DIR_TYPES_H_

#include <cstdint>

// The signature strings that the library traces name these typedefs
// unqualified, so they live in the global namespace.
typedef std::int32_t RETCODE;  // signed 32-bit result: 0 success
typedef unsigned int UINT;     // 32-bit unsigned word
typedef int INT;               // 32-bit signed word
typedef char CHAR;
typedef unsigned long ULONG;

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

// Trace category of every trace line of the library.
constexpr UINT COMM_DIR_TRACE_CATEGORY = 258;

}  // namespace velmarosta

#endif  // COMMDIR_COMM_DIR_TYPES_H_
