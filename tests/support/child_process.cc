#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace commdir_testing {
namespace {

using Clock = std::chrono::steady_clock;

// Everything the child needs is built before fork(): between fork and exec a
// child of a threaded process may only make async-signal-safe calls.
class ExecImage {
 public:
  ExecImage(const std::vector<std::string>& argv, const Environment& env) : args_(argv) {
    for (char** e = environ; *e != nullptr; ++e) {
      bool replaced = false;
      for (const auto& [name, value] : env) replaced |= std::strncmp(*e, (name + "=").c_str(), name.size() + 1) == 0;
      if (!replaced) vars_.emplace_back(*e);
    }
    for (const auto& [name, value] : env) vars_.push_back(name + "=" + value);
    for (auto& a : args_) argv_.push_back(a.data());
    for (auto& v : vars_) envp_.push_back(v.data());
    argv_.push_back(nullptr);
    envp_.push_back(nullptr);
  }
  // In the child: standard input, output and error from these descriptors.
  [[noreturn]] void exec(int in, int out, int err) const {
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(err, STDERR_FILENO);
    if (argv_[0] != nullptr) execvpe(argv_[0], argv_.data(), envp_.data());
    _exit(127);
  }

 private:
  std::vector<std::string> args_, vars_;
  std::vector<char*> argv_, envp_;
};

// An anonymous file: the child's input, or where its output collects. No
// pipe to pump, so a child that fills one cannot block on it.
int MemoryFile(const std::string& text = "") {
  int fd = memfd_create("child", MFD_CLOEXEC);
  if (fd >= 0 && !text.empty() && pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Contents(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) text.append(buffer, n);
  close(fd);
  return text;
}

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, const std::string& input, const Environment& env,
                          std::chrono::milliseconds limit) {
  CommandResult result;
  ExecImage image(argv, env);
  const int in = MemoryFile(input), out = MemoryFile(), err = MemoryFile();
  const pid_t pid = fork();
  if (pid == 0) image.exec(in, out, err);
  int status = 0;
  for (const auto deadline = Clock::now() + limit; pid > 0 && waitpid(pid, &status, WNOHANG) == 0;) {
    if (Clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (in >= 0) close(in);
  result.out = out < 0 ? "" : Contents(out);
  result.err = err < 0 ? "" : Contents(err);
  if (pid < 0) result.err = std::string("fork: ") + std::strerror(errno);
  if (pid > 0 && !result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env,
                           const std::string& log_path) {
  ExecImage image(argv, env);
  const char* log = log_path.empty() ? "/dev/null" : log_path.c_str();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ != 0) return;
  // A test that dies takes the child with it; the check closes the window in
  // which the parent died before the request took effect.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(126);
  const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0600);
  image.exec(open("/dev/null", O_RDONLY), fd, fd);
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::alive() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, &status_, WNOHANG) == 0) return true;
  pid_ = -1;  // reaped (or not ours any more): never signal that pid again
  return false;
}

int ChildProcess::stop(std::chrono::milliseconds term_bound) {
  if (!alive()) return status_;
  kill(pid_, SIGTERM);
  for (const auto deadline = Clock::now() + term_bound; alive() && Clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
  }
  return status_;
}

std::string make_private_folder(const std::string& prefix, std::string& error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) return pattern;  // mode 0700
  error = "mkdtemp failed for " + pattern + ": " + std::strerror(errno);
  return "";
}

}  // namespace commdir_testing
