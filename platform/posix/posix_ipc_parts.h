// What the files of the POSIX message IPC share: endpoint names, the folder
// and whom this process trusts (posix_trust.cc), the clients
// (posix_clients.cc) and the servers (posix_servers.cc), which the C entry
// points (posix_ipc.cc) call. Each function is described where it is
// defined.
#ifndef COMMDIR_PLATFORM_POSIX_POSIX_IPC_PARTS_H_
#define COMMDIR_PLATFORM_POSIX_POSIX_IPC_PARTS_H_

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/emw_gen_ipc.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {

constexpr char kPrefix[] = "utcp:";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
constexpr std::size_t kMaxNameLength = 32;  // prefix included
constexpr std::size_t kHeaderSize = sizeof(gen_ipc_msghdr);
constexpr std::size_t kSendBufferSize = 65536;  // handed to every dispatch
constexpr int kClientSendBuffer = 4 * kMaxMessage;
constexpr std::size_t kMaxIdleSockets = 256;  // pooled, over all paths
constexpr UINT kClientTag = 3;

// Up to three uids; unused places repeat one of the others. With
// `not_own_servers`, a socket file of one of this process's own servers is
// refused too, whatever its name (a hard link has another).
struct TrustedUids {
  uid_t uids[3];
  bool not_own_servers = false;
  bool admits(uid_t uid) const { return uid == uids[0] || uid == uids[1] || uid == uids[2]; }
};

// The variables that choose the folder and the trust, as they were read: a
// change of any of them is a new setting.
struct SettingSource {
  bool ipc_dir_set = false, service_set = false, runtime_set = false;
  std::string ipc_dir, service, runtime;

  static SettingSource Read() {
    SettingSource source;
    source.ipc_dir_set = Take("COMM_DIR_IPC_DIR", &source.ipc_dir);
    source.service_set = Take("COMM_DIR_SERVICE_USER", &source.service);
    source.runtime_set = Take("XDG_RUNTIME_DIR", &source.runtime);
    return source;
  }
  // True while the environment holds what this was read from. No system
  // call and no allocation: it runs for every client that is created.
  bool Current() const {
    return Same("COMM_DIR_IPC_DIR", ipc_dir_set, ipc_dir) && Same("COMM_DIR_SERVICE_USER", service_set, service) &&
           Same("XDG_RUNTIME_DIR", runtime_set, runtime);
  }

 private:
  // An empty value counts as unset.
  static bool Take(const char* name, std::string* value) {
    const char* env = std::getenv(name);
    if (env == nullptr || env[0] == '\0') return false;
    *value = env;
    return true;
  }
  static bool Same(const char* name, bool set, const std::string& value) {
    const char* env = std::getenv(name);
    if (env == nullptr || env[0] == '\0') return !set;
    return set && value == env;
  }
};

// Where this process's endpoints live and whom it trusts.
struct Setting {
  SettingSource source;
  std::string folder;
  bool configured = false;  // COMM_DIR_IPC_DIR names the folder
  uid_t euid = 0;
  uid_t service = 0;    // COMM_DIR_SERVICE_USER's uid, else the euid
  std::string problem;  // why the variables cannot be used, or empty

  TrustedUids trusted() const { return {{euid, 0, service}}; }
};

// --- the folder and whom this process trusts (posix_trust.cc) ----------------

// The setting of this process, made again when its variables change or the
// process forked; null when memory ran out.
std::shared_ptr<const Setting> CurrentSetting();
const char* EndpointName(const char* name);
std::string FolderProblem(const Setting& setting, bool* shared);
RETCODE CheckFolder(const Setting& setting, bool* shared);
RETCODE ServerAddress(const char* name, const std::string& folder, sockaddr_un* address, std::string* path);
// The current setting, and the address of the server `name` in its folder.
RETCODE LocateServer(const char* name, std::shared_ptr<const Setting>* setting, sockaddr_un* address,
                     std::string* path);
int NewSocket();
int NewServerSocket();
RETCODE ConnectToOwner(int fd, const sockaddr_un& address, const TrustedUids& owners, uid_t* owner);
RETCODE DescribeFolder(char* folder, std::size_t folder_size, char* problem, std::size_t problem_size);

// --- clients (posix_clients.cc) -----------------------------------------------

std::size_t TrimmedLength(const char* message, std::size_t length);
RETCODE CreateClient(const char* client_name, const char* server_name, const TrustedUids* owners, void* clnt);
RETCODE SendMessage(UINT handle, INT kind, char* message, INT length, std::size_t zero_from, ULONG timeout);
// The socket of the client `handle`, or -1.
int ClientFd(UINT handle);
// EINVAL when `handle` names no client.
RETCODE DestroyClient(UINT handle);

// --- servers (posix_servers.cc) -----------------------------------------------

// The credentials of the message that this thread is dispatching, or null:
// set by a server's receiving thread around each call of its dispatch
// function, and pointing into that thread's control buffer.
extern thread_local const ucred* t_dispatching;
// The bytes of that message that came in its datagram.
extern thread_local std::size_t t_dispatching_received;

RETCODE StartServer(const char* name, ULONG stack_size, PGEN_IPC_DISPATCH dispatch, bool any_uid);
// True when the file (device, inode) is the socket of a server of this
// process. Defined with the servers.
bool IsOwnServerSocket(dev_t device, ino_t inode);
// 0 when a server takes connections at `address`, else connect's errno.
RETCODE ProbeAddress(const sockaddr_un& address);
// ProbeAddress at the server `server_name` in this process's folder.
RETCODE ProbeServer(const char* server_name);
// Stops the server `server_name` of this process (GEN_IPC_ADMIN_STOP).
RETCODE RequestAdmin(const char* server_name, INT request);

}  // namespace commdir_posix

#endif  // COMMDIR_PLATFORM_POSIX_POSIX_IPC_PARTS_H_
