// The application process that opened an operation, told apart from a later
// process that the kernel gives the same pid: a process is known by its pid
// and its start time (field 22 of /proc/PID/stat, clock ticks after boot),
// which a reused pid does not repeat.
//
// What cannot be read is taken in the safe direction: a process that cannot
// be identified when it opens an operation (no /proc, or a /proc mounted with
// hidepid that hides other users' processes) is never taken for ended, and
// its operations are ended only when idle.
#ifndef COMMDIR_SERVICE_COMM_DIR_CLIENT_PROCESS_H_
#define COMMDIR_SERVICE_COMM_DIR_CLIENT_PROCESS_H_

#include <sys/types.h>

namespace velmarosta {

struct comm_dir_client_process {
  pid_t pid = 0;  // 0: not identified
  unsigned long long start_time = 0;
};

// The process `pid` as it runs now; pid 0 when it cannot be identified.
comm_dir_client_process comm_dir_identify_process(pid_t pid);

// True when the identified `process` has ended: its pid is gone, belongs to
// a later process, or is a zombie (which sends nothing more).
bool comm_dir_process_ended(const comm_dir_client_process& process);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_CLIENT_PROCESS_H_
