#include "service/comm_dir_client_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmarosta {

namespace {

enum class process_state { kRunning, kGone, kUnreadable };

// Reads the state and start time of `pid` from /proc/PID/stat. The name in
// parentheses may hold blanks and parentheses itself, so the fields are
// counted from the last ')'.
process_state read_process(pid_t pid, unsigned long long* start_time) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH ? process_state::kGone : process_state::kUnreadable;
  char line[1024];
  ssize_t length;
  do {
    length = ::read(fd, line, sizeof line - 1);
  } while (length < 0 && errno == EINTR);
  const int read_errno = errno;
  ::close(fd);
  if (length < 0) return read_errno == ESRCH ? process_state::kGone : process_state::kUnreadable;
  line[length] = '\0';
  const char* fields = std::strrchr(line, ')');
  if (fields == nullptr || fields[1] != ' ' || fields[2] == '\0') return process_state::kUnreadable;
  const char state = fields[2];  // field 3
  if (state == 'Z' || state == 'X') return process_state::kGone;
  const char* field = fields + 2;
  for (int number = 3; number < 22; ++number) {  // on to field 22, the start time
    field = std::strchr(field, ' ');
    if (field == nullptr) return process_state::kUnreadable;
    ++field;
  }
  char* end = nullptr;
  *start_time = std::strtoull(field, &end, 10);
  return end != field ? process_state::kRunning : process_state::kUnreadable;
}

}  // namespace

comm_dir_client_process comm_dir_identify_process(pid_t pid) {
  comm_dir_client_process process;
  if (pid > 0 && read_process(pid, &process.start_time) == process_state::kRunning) {
    process.pid = pid;
  }
  return process;
}

bool comm_dir_process_ended(const comm_dir_client_process& process) {
  if (process.pid == 0) return false;
  unsigned long long start_time = 0;
  switch (read_process(process.pid, &start_time)) {
    case process_state::kGone: return true;
    case process_state::kRunning: return start_time != process.start_time;
    case process_state::kUnreadable: return false;
  }
  return false;
}

}  // namespace velmarosta
