// Child processes for tests that drive real programs (slapd and its tools,
// the directory service daemon): a bounded run that collects the output, a
// long-running child that is stopped by pid, also when a test fails, and the
// private folders they work in.
#ifndef COMMDIR_TESTS_SUPPORT_CHILD_PROCESS_H_
#define COMMDIR_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace commdir_testing {

// Variables added to (or replacing in) the child's environment.
using Environment = std::vector<std::pair<std::string, std::string>>;

struct CommandResult {
  int exit_code = -1;  // -1 when the program could not run or was killed
  std::string out;     // standard output
  std::string err;     // standard error
};

// Runs `argv` (argv[0] is a path, or a name looked up in PATH), feeds it
// `input` on standard input and collects its output. A program still running
// after `limit` is killed.
CommandResult run_command(const std::vector<std::string>& argv, const std::string& input = "",
                          const Environment& env = {}, std::chrono::milliseconds limit = std::chrono::seconds(30));

// A long-running child, started at construction and stopped (SIGTERM, then
// SIGKILL after a bound) at destruction. The child also gets SIGTERM when the
// test process dies, so that a crashed test leaves no daemon behind. Its
// output goes to `log_path` (appended), or to /dev/null when empty. Not
// thread-safe: one thread starts and stops it.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const Environment& env, const std::string& log_path);
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // True while the child has not exited.
  bool alive();
  // Stops the child; returns its wait status (-1 when it never ran).
  int stop(std::chrono::milliseconds term_bound = std::chrono::seconds(5));

 private:
  pid_t pid_ = -1;   // -1 once the child has been reaped
  int status_ = -1;  // wait status once reaped
};

// Makes a folder only this user can enter, "<$TMPDIR or /tmp>/<prefix>-XXXXXX";
// returns its path, or "" (with `error` set) when that fails.
std::string make_private_folder(const std::string& prefix, std::string& error);

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_SUPPORT_CHILD_PROCESS_H_
