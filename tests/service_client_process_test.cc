// Which processes the daemon takes for ended, so that it reclaims their
// operations, and no one else's: a reused pid, a zombie and a reaped child are
// ended; a running process is not, whatever its name makes of /proc/PID/stat.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "gtest/gtest.h"
#include "service/comm_dir_client_process.h"

namespace velmarosta {
namespace {

// Clock ticks since boot, the unit of a process's start time, counted as the
// kernel counts that: whole nanoseconds of CLOCK_BOOTTIME divided, in
// integers, by the length of a tick. A process started before this read has a
// start time no later than its result, and one started after it no earlier;
// a conversion through a double can come out a tick low.
unsigned long long ticks_since_boot() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const unsigned long long nanoseconds = static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
                                         static_cast<unsigned long long>(now.tv_nsec);
  return nanoseconds / (1000000000ull / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

// A child that has exited; reaped, or left a zombie.
pid_t exited_child(bool reap) {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, reap ? WEXITED : WEXITED | WNOWAIT);
  return pid;
}

TEST(ServiceClientProcess, EndedProcessesAndOnlyThose) {
  // A running child whose name looks like more fields of /proc/PID/stat.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const unsigned long long before_fork = ticks_since_boot();
  const pid_t running = fork();
  if (running == 0) {
    prctl(PR_SET_NAME, "t) 9 9 9 9 (z");
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  const pid_t zombie = exited_child(false);
  const pid_t reaped = exited_child(true);

  const comm_dir_client_process self = comm_dir_identify_process(getpid());
  const comm_dir_client_process child = comm_dir_identify_process(running);
  ASSERT_EQ(self.pid, getpid());
  ASSERT_EQ(child.pid, running);
  EXPECT_GE(child.start_time, self.start_time);  // forked after this process started
  EXPECT_GE(child.start_time, before_fork);
  EXPECT_LE(child.start_time, ticks_since_boot());
  EXPECT_EQ(comm_dir_identify_process(reaped).pid, 0);
  EXPECT_EQ(comm_dir_identify_process(zombie).pid, 0);

  struct Row {
    const char* what;
    comm_dir_client_process process;
    bool ended;
  };
  const Row rows[] = {
      {"this process", self, false},
      {"a running child with a tricky name", child, false},
      {"not identified", comm_dir_client_process{}, false},
      {"its pid now another process's", {running, child.start_time - 1}, true},
      {"a zombie", {zombie, child.start_time}, true},
      {"a reaped child", {reaped, child.start_time}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(comm_dir_process_ended(row.process), row.ended);
  }
  kill(running, SIGKILL);
  waitpid(running, nullptr, 0);
  waitpid(zombie, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace velmarosta
