#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
      if (!overridden(*e, env)) vars_.emplace_back(*e);
    }
    for (const auto& [name, value] : env) vars_.push_back(name + "=" + value);
    for (auto& a : args_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
    for (auto& v : vars_) envp_.push_back(v.data());
    envp_.push_back(nullptr);
  }

  [[noreturn]] void exec() const {
    if (!argv_.empty() && argv_[0] != nullptr) execvpe(argv_[0], argv_.data(), envp_.data());
    _exit(127);
  }

 private:
  static bool overridden(const char* entry, const Environment& env) {
    for (const auto& [name, value] : env) {
      if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') {
        return true;
      }
    }
    return false;
  }

  std::vector<std::string> args_;
  std::vector<std::string> vars_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
};

void close_both(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
}

// Moves bytes between the child's three pipes until both outputs are closed
// or the deadline passes. Returns false on the deadline.
bool pump(int in_fd, int out_fd, int err_fd, const std::string& input, CommandResult& result,
          Clock::time_point deadline) {
  size_t written = 0;
  if (input.empty() && in_fd >= 0) {
    close(in_fd);
    in_fd = -1;
  }
  while (out_fd >= 0 || err_fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[3] = {{in_fd, POLLOUT, 0}, {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (in_fd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    int* readers[2] = {&out_fd, &err_fd};
    std::string* sinks[2] = {&result.out, &result.err};
    for (int i = 0; i < 2; ++i) {
      if (*readers[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(*readers[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(*readers[i]);
        *readers[i] = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  return true;
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, const std::string& input,
                          const Environment& env, std::chrono::milliseconds limit) {
  CommandResult result;
  ExecImage image(argv, env);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    result.err = std::string("pipe: ") + std::strerror(errno);
    close_both(in), close_both(out), close_both(err);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    image.exec();
  }
  close(in[0]), close(out[1]), close(err[1]);
  if (pid < 0) {
    result.err = std::string("fork: ") + std::strerror(errno);
    close(in[1]), close(out[0]), close(err[0]);
    return result;
  }
  // A child that closes its input early must not kill us with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (!pump(in[1], out[0], err[0], input, result, Clock::now() + limit)) {
    result.timed_out = true;
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = result.timed_out ? -1 : exit_code_of(status);
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
  int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0600);
  int null_in = open("/dev/null", O_RDONLY);
  if (fd < 0 || null_in < 0) _exit(126);
  dup2(null_in, STDIN_FILENO);
  dup2(fd, STDOUT_FILENO);
  dup2(fd, STDERR_FILENO);
  image.exec();
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
  const auto deadline = Clock::now() + term_bound;
  while (alive() && Clock::now() < deadline) {
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
