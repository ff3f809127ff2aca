// comm-dir-service: the directory service daemon behind "utcp:COMM_DIR_SRV".
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_endpoint_names.h"
#include "service/comm_dir_service.h"
#include "service/comm_dir_service_ipc.h"
#include "service/comm_dir_service_options.h"

namespace velmarosta {
namespace {

// The folder of the IPC endpoints, as the POSIX platform chooses and checks
// it (and creates it when missing); or a line on stderr that says why it
// cannot hold our endpoints, and "".
std::string usable_ipc_folder() {
  char folder[sizeof(sockaddr_un{}.sun_path)];
  char problem[512];
  const RETCODE rc = commdir_posix_ipc_folder(folder, sizeof folder, problem, sizeof problem);
  if (rc == 0) return folder;
  if (rc == EACCES) {
    std::fprintf(stderr, "comm-dir-service: IPC folder %s refused: %s\n", folder, problem);
  } else {
    std::fprintf(stderr, "comm-dir-service: IPC folder %s is not usable: %s\n", folder, std::strerror(rc));
  }
  return "";
}

int run(const comm_dir_service_options& options) {
  const std::string folder = usable_ipc_folder();
  if (folder.empty()) return 1;
  if (folder.size() + 1 + COMM_DIR_MAX_NAME_LENGTH >= sizeof(sockaddr_un{}.sun_path)) {
    std::fprintf(stderr, "comm-dir-service: IPC folder path %s is too long for a socket path\n", folder.c_str());
    return 1;
  }
  if (!comm_dir_claim_endpoint_names(folder)) return 1;

  // Every thread starts with SIGTERM, SIGINT and SIGHUP blocked; the main
  // thread takes them with sigwait, so no handler runs on a worker.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
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
  // SIGHUP: a log rotation moved the trace file away.
  while (sigwait(&signals, &signal_number) == 0 && signal_number == SIGHUP) service.hang_up();
  std::fprintf(stderr, "comm-dir-service: %s: stopping\n", strsignal(signal_number));
  service.stop();
  return 0;
}

}  // namespace
}  // namespace velmarosta

int main(int argc, char** argv) {
  // The daemon is the directory service: the folder must be its own (or
  // root's), and the only servers it connects to are the endpoints of its
  // requesters, checked one by one. A service user named in its
  // environment (set for the applications, say) must not widen that.
  ::unsetenv("COMM_DIR_SERVICE_USER");
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
