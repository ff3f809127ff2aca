// Trace service of the device platform.
#ifndef COMMDIR_PLATFORM_EMW_GEN_TRC_H_
#define COMMDIR_PLATFORM_EMW_GEN_TRC_H_

#include "commdir/comm_dir_types.h"

extern "C" {

// Writes one trace line: module, category, a flag (0 or 1), then the printf
// format with its arguments. Its result is not relied on.
RETCODE emwGENTrcPrintf(UINT module, UINT category, INT flag, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // extern "C"

#endif  // COMMDIR_PLATFORM_EMW_GEN_TRC_H_
