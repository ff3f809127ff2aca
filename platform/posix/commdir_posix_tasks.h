// What the POSIX platform offers a process beyond the device platform's
// tasks: waiting until the tasks that it started have ended. comm-dir uses
// it to leave only once the library's callback server has sent the answer
// to the daemon's callback, which its task sends after the callback object
// has returned. libcommdir itself never calls it.
#ifndef COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TASKS_H_
#define COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TASKS_H_

#include "commdir/comm_dir_types.h"

extern "C" {

// Waits until no task started by emwOSWCreateJoinTask runs, at most
// `timeout_ms`. Returns 0, or ETIMEDOUT when some still ran then.
RETCODE commdir_posix_tasks_wait(ULONG timeout_ms);

}  // extern "C"

#endif  // COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TASKS_H_
