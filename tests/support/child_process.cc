#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/read_file.h"

namespace commdir_testing {
namespace {

using Clock = std::chrono::steady_clock;

// Starts `argv` through env(1), which sets `env` first, with standard input,
// output and error from these descriptors (-1: the child fails at once).
// Everything the child needs is built before fork(): between fork and exec a
// child of a threaded process may only make async-signal-safe calls. The
// child gets SIGTERM when this process dies.
pid_t Spawn(const std::vector<std::string>& argv, const Environment& env, int in, int out, int err) {
  std::vector<std::string> words = {"env"};
  for (const auto& [name, value] : env) words.push_back(name + "=" + value);
  words.insert(words.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (auto& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  const pid_t parent = getpid(), pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent || in < 0 || out < 0 || err < 0) _exit(126);  // the parent died before the request
  dup2(in, STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(err, STDERR_FILENO);
  execvp(args[0], args.data());
  _exit(127);
}

// Waits until `pid` has exited (true, *status set); past `deadline` it is
// killed and reaped (false).
bool Reaped(pid_t pid, int* status, Clock::time_point deadline) {
  for (; waitpid(pid, status, WNOHANG) == 0; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
    if (Clock::now() >= deadline) return kill(pid, SIGKILL), waitpid(pid, status, 0), false;
  }
  return true;
}

// An anonymous file holding `text`: the child's input, or where its output
// collects. No pipe to pump, so a child that fills one cannot block on it.
int MemoryFile(const std::string& text = "") {
  const int fd = memfd_create("child", MFD_CLOEXEC);
  return fd >= 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) ? fd : -1;
}

// What `fd` (a memory file) holds; it is closed.
std::string Contents(int fd) {
  const std::string text = read_file("/proc/self/fd/" + std::to_string(fd));
  close(fd);
  return text;
}

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, const std::string& input, const Environment& env,
                          std::chrono::milliseconds limit) {
  const int in = MemoryFile(input), out = MemoryFile(), err = MemoryFile();
  const pid_t pid = Spawn(argv, env, in, out, err);
  int status = -1;
  const bool exited = pid > 0 && Reaped(pid, &status, Clock::now() + limit);
  close(in);
  CommandResult result{-1, Contents(out), pid < 0 ? std::string("fork: ") + std::strerror(errno) : Contents(err)};
  if (exited && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env,
                           const std::string& log_path) {
  const int log = open(log_path.empty() ? "/dev/null" : log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = Spawn(argv, env, null, log, log);
  for (int fd : {log, null}) close(fd);
}

bool ChildProcess::alive() {
  if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) != 0) pid_ = -1;  // reaped: never signal that pid again
  return pid_ > 0;
}

int ChildProcess::stop(std::chrono::milliseconds term_bound) {
  if (alive()) {
    kill(pid_, SIGTERM);
    Reaped(pid_, &status_, Clock::now() + term_bound);
    pid_ = -1;
  }
  return status_;
}

std::string make_private_folder(const std::string& prefix, std::string& error) {
  std::string pattern = std::filesystem::temp_directory_path() / (prefix + "-XXXXXX");
  if (mkdtemp(pattern.data()) != nullptr) return pattern;  // mode 0700
  error = "mkdtemp failed for " + pattern + ": " + std::strerror(errno);
  return "";
}

}  // namespace commdir_testing
