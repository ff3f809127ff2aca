// The directory service daemon (comm-dir-service) as a child of a test, in a
// private IPC folder. The folder is also set as COMM_DIR_IPC_DIR of the test
// process itself, so that the library in the test reaches this daemon and no
// other: construct it before the first facade call.
#ifndef COMMDIR_TESTS_SUPPORT_SERVICE_PROCESS_H_
#define COMMDIR_TESTS_SUPPORT_SERVICE_PROCESS_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace commdir_testing {

// Not thread-safe: construct and destroy it on the test's main thread.
class ServiceProcess {
 public:
  // Starts `binary` with `args` (and `env` added to its environment) and
  // waits (bounded) until its endpoint takes messages. `prepare_folder`,
  // when given, gets the folder before the daemon starts (to share it with
  // other users, say). Check ok() before use.
  ServiceProcess(const std::string& binary, const std::vector<std::string>& args = {},
                 const std::function<void(const std::string& dir)>& prepare_folder = nullptr,
                 const Environment& env = {});
  // Stops the daemon and removes the folder with every endpoint in it.
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  bool ok() const { return ready_; }
  const std::string& error() const { return error_; }
  const std::string& ipc_dir() const { return dir_; }
  // Everything the daemon wrote to its standard output and error so far.
  std::string log() const;
  bool alive() { return child_ != nullptr && child_->alive(); }
  pid_t pid() const { return child_ != nullptr ? child_->pid() : -1; }
  // Starts the daemon again, with the same arguments in the same folder,
  // once the one before has ended (a test killed it); waits until it is
  // ready. The result is ok()'s.
  bool restart();
  // Stops the daemon (SIGTERM, then SIGKILL after a bound) and returns its
  // wait status: a clean stop is an exit with status 0.
  int stop();

 private:
  bool wait_until_ready();

  std::vector<std::string> argv_;
  Environment env_;
  std::string dir_;
  std::string log_path_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
  std::string error_;
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_SUPPORT_SERVICE_PROCESS_H_
