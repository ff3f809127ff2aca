// What the POSIX platform offers beyond the device platform's trace
// service: reopening the trace file, for a daemon whose file a log rotation
// moved away. libcommdir itself never calls it.
#ifndef COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TRACE_H_
#define COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TRACE_H_

extern "C" {

// Closes the trace file and opens COMM_DIR_TRACE's name again (created when
// missing), so that the lines that follow go to the file now at that name.
// A line being written meanwhile is written whole, to the old file or the
// new one. When the name cannot be opened, lines go to standard error, as
// at the start. Without a trace file (standard error, or off) it does
// nothing.
void commdir_posix_trace_reopen(void);

}  // extern "C"

#endif  // COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TRACE_H_
