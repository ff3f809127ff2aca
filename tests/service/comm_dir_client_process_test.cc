// The processes the daemon takes for ended (service/comm_dir_client_process.h).
#include "service/comm_dir_client_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <utility>

namespace velmarosta {
namespace {

// Clock ticks since boot as the kernel counts a process's start time: whole
// nanoseconds of CLOCK_BOOTTIME divided, in integers, by a tick's length.
unsigned long long ticks_since_boot() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return (static_cast<unsigned long long>(now.tv_sec) * 1000000000ull + static_cast<unsigned long long>(now.tv_nsec)) /
         (1000000000ull / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

pid_t exited_child(bool reap) {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, reap ? WEXITED : WEXITED | WNOWAIT);
  return pid;
}

// A reused pid, a zombie and a reaped child are ended; a running process is
// not, whatever its name makes of /proc/PID/stat.

TEST(ServiceClientProcess, EndedProcessesAndOnlyThose) {
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
  const pid_t zombie = exited_child(false), reaped = exited_child(true);
  const comm_dir_client_process self = comm_dir_identify_process(getpid()), child = comm_dir_identify_process(running);
  EXPECT_TRUE(self.pid == getpid() && child.pid == running && child.start_time >= self.start_time);
  EXPECT_TRUE(child.start_time >= before_fork && child.start_time <= ticks_since_boot());
  EXPECT_TRUE(comm_dir_identify_process(reaped).pid == 0 && comm_dir_identify_process(zombie).pid == 0);
  const std::pair<comm_dir_client_process, bool> rows[] = {{self, false},
                                                           {child, false},
                                                           {{}, false},
                                                           {{running, child.start_time - 1}, true},
                                                           {{zombie, child.start_time}, true},
                                                           {{reaped, child.start_time}, true}};
  for (const auto& [process, ended] : rows) EXPECT_EQ(comm_dir_process_ended(process), ended) << process.pid;
  kill(running, SIGKILL);
  waitpid(running, nullptr, 0);
  waitpid(zombie, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace velmarosta
