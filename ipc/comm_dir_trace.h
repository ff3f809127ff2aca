// One trace line of the library: module COMM_DIR_MODULE_ID, category 258,
// the flag, then the format and its arguments (by convention the reporting
// function's signature string and the source line come first).
#ifndef COMMDIR_IPC_COMM_DIR_TRACE_H_
#define COMMDIR_IPC_COMM_DIR_TRACE_H_

#include <cstdint>

#include "commdir/comm_dir_types.h"
#include "platform/emw_gen_trc.h"

#define COMM_DIR_TRACE(flag, ...) \
  emwGENTrcPrintf(::velmarosta::COMM_DIR_MODULE_ID, ::velmarosta::COMM_DIR_TRACE_CATEGORY, (flag), __VA_ARGS__)

namespace velmarosta {

// The argument for a "%#lx" of a 32-bit code: the code's 32 bits, so that -1
// prints as 0xffffffff on every host.
inline unsigned long trace_code(RETCODE code) { return static_cast<unsigned long>(static_cast<std::uint32_t>(code)); }

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_TRACE_H_
