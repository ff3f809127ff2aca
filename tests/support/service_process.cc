#include "support/service_process.h"
#include "support/read_file.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace commdir_testing {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);
// The daemon answers what it has taken before it stops, and a callback in
// flight may wait for its answer up to the daemon's callback timeout (5 s by
// default); under a sanitizer on a busy machine that takes longer still.
constexpr auto kStopLimit = std::chrono::seconds(20);
constexpr char kServiceEndpoint[] = "COMM_DIR_SRV";

// True when a datagram socket can connect to the endpoint at `path`: the
// file alone may be a stale one of a daemon that died.
bool endpoint_takes_messages(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

void remove_folder(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        unlink((dir + "/" + e->d_name).c_str());
      }
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

}  // namespace

ServiceProcess::ServiceProcess(const std::string& binary, const std::vector<std::string>& args,
                               const std::function<void(const std::string& dir)>& prepare_folder,
                               const Environment& env)
    : env_(env) {
  dir_ = make_private_folder("commdir-ipc", error_);
  if (dir_.empty()) return;
  if (prepare_folder) prepare_folder(dir_);
  // The log lives beside the folder, not in it: the folder holds endpoints.
  log_path_ = dir_ + ".log";
  setenv("COMM_DIR_IPC_DIR", dir_.c_str(), 1);
  argv_ = {binary};
  argv_.insert(argv_.end(), args.begin(), args.end());
  restart();
}

bool ServiceProcess::restart() {
  Environment env = env_;
  env.emplace_back("COMM_DIR_IPC_DIR", dir_);
  child_ = std::make_unique<ChildProcess>(argv_, env, log_path_);
  ready_ = child_->started() && wait_until_ready();
  return ready_;
}

ServiceProcess::~ServiceProcess() {
  stop();
  if (!dir_.empty()) remove_folder(dir_);
  if (!log_path_.empty()) unlink(log_path_.c_str());
}

int ServiceProcess::stop() { return child_ != nullptr ? child_->stop(kStopLimit) : -1; }

std::string ServiceProcess::log() const { return read_file(log_path_); }

bool ServiceProcess::wait_until_ready() {
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  const std::string endpoint = dir_ + "/" + kServiceEndpoint;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!child_->alive()) {
      error_ = "comm-dir-service exited at start: " + log();
      return false;
    }
    if (endpoint_takes_messages(endpoint)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error_ = "comm-dir-service did not open its endpoint in time: " + log();
  return false;
}

}  // namespace commdir_testing
