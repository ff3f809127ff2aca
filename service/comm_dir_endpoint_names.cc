#include "service/comm_dir_endpoint_names.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "service/comm_dir_service_ipc.h"

namespace velmarosta {
namespace {

bool claim(const std::string& folder, const char* name) {
  const std::string path = folder + "/" + (name + sizeof(COMM_DIR_IPC_PREFIX) - 1);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  const uid_t euid = geteuid();
  if (st.st_uid == euid) {
    if (commdir_posix_ipc_probe(name) != 0) return true;  // left by a daemon that died: replaced when bound
    std::fprintf(stderr, "comm-dir-service: endpoint %s is busy: another daemon serves it in %s\n", name,
                 folder.c_str());
    return false;
  }
  if (euid == 0 && S_ISSOCK(st.st_mode) && unlink(path.c_str()) == 0) {
    std::fprintf(stderr, "comm-dir-service: endpoint %s was held by a socket of uid %ld in %s: removed\n", name,
                 static_cast<long>(st.st_uid), folder.c_str());
    return true;
  }
  std::fprintf(stderr,
               "comm-dir-service: endpoint %s is held by uid %ld in %s (%s), not by a daemon of this user: remove %s "
               "(as that user or root), or run the daemon in a folder that it creates at start, such as systemd's "
               "RuntimeDirectory=\n",
               name, static_cast<long>(st.st_uid), folder.c_str(), S_ISSOCK(st.st_mode) ? "a socket" : "a file",
               path.c_str());
  return false;
}

}  // namespace

bool comm_dir_claim_endpoint_names(const std::string& folder) {
  for (const char* name : {COMM_DIR_SERVICE_SERVER_NAME, COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER}) {
    if (!claim(folder, name)) return false;
  }
  return true;
}

}  // namespace velmarosta
