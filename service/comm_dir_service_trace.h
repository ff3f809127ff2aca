// Trace lines of the daemon: module COMM_DIR_MODULE_ID, category 258, flag
// 0, "[service]<function>(line) " and the message. Where they go is the
// platform's choice ($COMM_DIR_TRACE for the POSIX platform).
#ifndef COMMDIR_SERVICE_COMM_DIR_SERVICE_TRACE_H_
#define COMMDIR_SERVICE_COMM_DIR_SERVICE_TRACE_H_

#include "ipc/comm_dir_trace.h"

#define SERVICE_TRACE(format, ...) \
  COMM_DIR_TRACE(0, "[service]<%s>(%d) " format "\n", __func__, __LINE__, ##__VA_ARGS__)

#endif  // COMMDIR_SERVICE_COMM_DIR_SERVICE_TRACE_H_
