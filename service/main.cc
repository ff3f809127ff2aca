// comm-dir-service: the directory service daemon behind "utcp:COMM_DIR_SRV".
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ipc/comm_dir_ipc_envelope.h"
#include "service/comm_dir_service.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_options.h"

namespace velmarosta {
namespace {

// The folder of the IPC endpoints, as the POSIX platform chooses it.
std::string ipc_folder() {
  const char* folder = std::getenv("COMM_DIR_IPC_DIR");
  if (folder != nullptr && folder[0] != '\0') return folder;
  return "/tmp/commdir-" + std::to_string(geteuid());
}

std::string parent_of(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Says in one line why `folder` cannot hold our endpoints, or returns true.
// The platform checks the same and refuses; this only gives a person the
// reason instead of a platform code.
bool folder_usable(const std::string& folder) {
  struct stat info{};
  if (lstat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT && access(parent_of(folder).c_str(), W_OK | X_OK) == 0) return true;  // created at start
    std::fprintf(stderr, "comm-dir-service: IPC folder %s is not usable: %s\n", folder.c_str(), std::strerror(errno));
    return false;
  }
  // Shared with other users (writable by group or others) only when sticky,
  // so that no one removes or renames another's endpoint.
  const bool shared = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  const char* problem = !S_ISDIR(info.st_mode)                   ? "not a directory"
                        : shared && !(info.st_mode & S_ISVTX)     ? "writable by others and not sticky"
                        : !shared && info.st_uid != geteuid()     ? "owned by another user who does not share it"
                                                                  : nullptr;
  if (problem == nullptr) return true;
  std::fprintf(stderr, "comm-dir-service: IPC folder %s is not usable: %s\n", folder.c_str(), problem);
  return false;
}

// True when a live server answers at the socket of the endpoint `name`.
bool endpoint_live(const std::string& folder, const char* name) {
  const std::string path = folder + "/" + (name + sizeof(COMM_DIR_IPC_PREFIX) - 1);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return live;
}

bool endpoints_free(const std::string& folder) {
  for (const char* name : {COMM_DIR_SERVICE_SERVER_NAME, COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER}) {
    if (endpoint_live(folder, name)) {
      std::fprintf(stderr, "comm-dir-service: endpoint %s is busy: another daemon serves it in %s\n", name,
                   folder.c_str());
      return false;
    }
  }
  return true;
}

int run(const comm_dir_service_options& options) {
  const std::string folder = ipc_folder();
  if (folder.size() + 1 + COMM_DIR_MAX_NAME_LENGTH >= sizeof(sockaddr_un{}.sun_path)) {
    std::fprintf(stderr, "comm-dir-service: IPC folder path %s is too long for a socket path\n", folder.c_str());
    return 1;
  }
  if (!folder_usable(folder) || !endpoints_free(folder)) return 1;

  // Every thread starts with SIGTERM and SIGINT blocked; the main thread
  // takes them with sigwait, so no handler runs on a worker.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  comm_dir_service service(options);
  RETCODE rc = service.start();
  if (rc != 0) {
    std::fprintf(stderr, "comm-dir-service: cannot start the endpoints in %s (platform code %#x); see the trace\n",
                 folder.c_str(), static_cast<unsigned>(rc));
    return 1;
  }
  std::fprintf(stderr, "comm-dir-service: serving %s in %s\n", COMM_DIR_SERVICE_SERVER_NAME, folder.c_str());
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::fprintf(stderr, "comm-dir-service: %s: stopping\n", strsignal(signal_number));
  service.stop();
  return 0;
}

}  // namespace
}  // namespace velmarosta

int main(int argc, char** argv) {
  // Bind passwords pass through this process: no core dump of it, and no
  // debugger of its user, may read them.
  ::prctl(PR_SET_DUMPABLE, 0);
  velmarosta::comm_dir_service_options options;
  switch (velmarosta::parse_options(argc, argv, &options)) {
    case velmarosta::comm_dir_parse_result::kExit: return 0;
    case velmarosta::comm_dir_parse_result::kError: return 2;
    case velmarosta::comm_dir_parse_result::kRun: break;
  }
  // --debug asks for a line per request: the trace's budget per format
  // would cut that to a few a minute, so it is lifted unless set.
  if (options.debug) ::setenv("COMM_DIR_TRACE_LIMIT", "off", /*overwrite=*/0);
  return velmarosta::run(options);
}
