// The generic message IPC of the device platform over AF_UNIX datagram
// sockets. docs/ipc.md states the convention for programs in other languages.
//
// A server "utcp:NAME" is a SOCK_DGRAM socket bound at FOLDER/NAME, where
// FOLDER is $COMM_DIR_IPC_DIR, else $XDG_RUNTIME_DIR/commdir or
// /tmp/commdir-<euid> (MakeSetting), with one receiving thread that hands every
// accepted message to the server's dispatch function. A client is a socket
// connected to that path; one message is one datagram. Whom a process
// trusts, and how the folder and the owners of sockets are checked, is
// under "the folder and whom this process trusts" below.
//
// Speed: a client handle borrows an already connected (and checked) socket
// from a pool keyed by the server's path, so creating and destroying a
// client per message costs no system call; a sender leaves the trailing zero
// bytes of a message out of the datagram and the receiver restores them; the
// receiving thread reuses one buffer for every message and zeroes what a
// datagram wrote once its dispatch is over, so that restoring costs as much
// as the datagram, not the message, and no message (a bind password, say)
// lingers in it; the sender's credentials come with recvmsg. Sending a
// message is one sendmsg, receiving one recvmsg.
//
// A dispatch function must not write into the message it is handed, nor
// keep it (the library's copy what they keep): the zeros behind it are
// reused, and the message is zeroed when the dispatch returns.
//
// Every call returns 0 or an errno value (EINVAL for a bad argument or a
// handle that names no live client, ENOENT or ECONNREFUSED when no server
// runs at a name, EADDRINUSE when one does, EMSGSIZE, EACCES for a folder
// that fails its checks or a server of a user this process does not trust,
// EPERM for a server whose socket file does not let this process write to
// it, ENAMETOOLONG).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {
namespace {

constexpr char kPrefix[] = "utcp:";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
constexpr std::size_t kMaxNameLength = 32;  // prefix included
constexpr std::size_t kHeaderSize = sizeof(gen_ipc_msghdr);
constexpr std::size_t kSendBufferSize = 65536;  // handed to every dispatch
constexpr int kClientSendBuffer = 4 * kMaxMessage;
constexpr std::size_t kMaxIdleSockets = 256;  // pooled, over all paths
constexpr UINT kClientTag = 3;

// --- names and the folder ----------------------------------------------------

bool NameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-';
}

// The NAME of a valid "utcp:NAME", or null.
const char* EndpointName(const char* name) {
  if (name == nullptr || std::strncmp(name, kPrefix, kPrefixLength) != 0) return nullptr;
  std::size_t length = ::strnlen(name, kMaxNameLength + 1);
  if (length <= kPrefixLength || length > kMaxNameLength) return nullptr;
  const char* rest = name + kPrefixLength;
  if (std::strcmp(rest, ".") == 0 || std::strcmp(rest, "..") == 0) return nullptr;
  for (const char* c = rest; *c != '\0'; ++c) {
    if (!NameChar(*c)) return nullptr;
  }
  return rest;
}

// --- the folder and whom this process trusts -----------------------------------
//
// Who may be trusted with a message, and whose server may be sent one, is
// decided by kernel facts only: the owner of a socket file or of a folder,
// the uid that the kernel attaches to a datagram. Never by a name, nor by who
// created a folder first: any local user may create /tmp/commdir-<uid> of
// another before that user does, or bind a free name in a shared folder.
//
// The trusted uids of a process are its own euid, root, and the uid that
// COMM_DIR_SERVICE_USER names (a user name or a uid): the user that runs the
// directory service when it is not this process's own. A client connects
// only to a server socket that one of them owns; a server (unless open)
// takes datagrams only from them; a folder belongs to one of them.

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
  uid_t service = 0;        // COMM_DIR_SERVICE_USER's uid, else the euid
  std::string problem;      // why the variables cannot be used, or empty

  TrustedUids trusted() const { return {{euid, 0, service}}; }
};

// "uid N (name)", or "uid N" when the user database has no name for it.
std::string UserText(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  passwd entry;
  passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    text += std::string(" (") + found->pw_name + ")";
  }
  return text;
}

// The uid of a user name or of a number; false when it names no user.
bool ParseUser(const std::string& user, uid_t* uid) {
  char* end = nullptr;
  errno = 0;
  const unsigned long number = std::strtoul(user.c_str(), &end, 10);
  if (end != user.c_str() && *end == '\0' && errno == 0 && number < static_cast<uid_t>(-1) &&
      user[0] >= '0' && user[0] <= '9') {
    *uid = static_cast<uid_t>(number);
    return true;
  }
  passwd entry;
  passwd* found = nullptr;
  char buffer[1024];
  if (::getpwnam_r(user.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  *uid = found->pw_uid;
  return true;
}

// A directory that the XDG base directory rules promise: owned by `euid`,
// no access for group or others. logind makes it at login, under /run/user,
// where no other user can make it first.
bool PrivateRuntimeDirectory(const std::string& path, uid_t euid) {
  struct stat st;
  return path[0] == '/' && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == euid &&
         (st.st_mode & 077) == 0;
}

// The default folder is $XDG_RUNTIME_DIR/commdir when that directory is the
// user's private one (see above): no other user can prepare it, and it is
// cleaned at logout. Otherwise /tmp/commdir-<euid>, which the checks of
// CheckFolder make safe: any user may create that name first, so it is
// taken only when it is ours and private. A daemon and its applications
// must see the same choice: a daemon started outside the login session
// (without XDG_RUNTIME_DIR) and an application inside it do not meet;
// COMM_DIR_IPC_DIR names one folder for both.
Setting MakeSetting() {
  Setting setting;
  setting.source = SettingSource::Read();
  setting.euid = ::geteuid();
  setting.service = setting.euid;
  const SettingSource& source = setting.source;
  if (source.ipc_dir_set) {
    setting.folder = source.ipc_dir;
    setting.configured = true;
    if (setting.folder[0] != '/') setting.problem = "COMM_DIR_IPC_DIR must be an absolute path";
  } else if (source.runtime_set && PrivateRuntimeDirectory(source.runtime, setting.euid)) {
    setting.folder = source.runtime + "/commdir";
  } else {
    setting.folder = "/tmp/commdir-" + std::to_string(setting.euid);
  }
  if (source.service_set && !ParseUser(source.service, &setting.service)) {
    setting.problem = "COMM_DIR_SERVICE_USER=" + source.service + " names no user";
  }
  return setting;
}

// The setting, made again only when one of its variables changed or the
// process forked: a forked child may change its uid before it uses the
// platform (the parent's euid is not its own then). So the hot path (a
// client per message) costs a look at three variables and no system call.
// The euid is read once: a process that changes its euid after its first
// endpoint keeps the folder and the trust of the euid it had then.
// Thread-safe: mu_ guards the current setting.
class SettingCache {
 public:
  SettingCache() { ::pthread_atfork(nullptr, nullptr, &SettingCache::Forked); }

  std::shared_ptr<const Setting> get() {
    std::lock_guard<std::mutex> lock(mu_);
    if (current_ == nullptr || forked_ || !current_->source.Current()) {
      try {
        current_ = std::make_shared<const Setting>(MakeSetting());
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      forked_ = false;
    }
    return current_;
  }

 private:
  static void Forked();

  std::mutex mu_;
  std::shared_ptr<const Setting> current_;  // guarded by mu_
  bool forked_ = false;                     // guarded by mu_ (set in a forked child, alone)
};

SettingCache& Settings() {
  static auto* cache = new SettingCache;  // never destroyed, like every table here
  return *cache;
}

void SettingCache::Forked() { Settings().forked_ = true; }

// Why the directories above `folder` let someone other than root or a
// trusted user move the folder away and put one of their own in its place,
// or empty. Each must be a real directory (a symbolic link could be
// pointed elsewhere: name the folder by its real path) owned by a trusted
// uid, and sticky if group or others may write it (/tmp is).
std::string AncestorProblem(const std::string& folder, const TrustedUids& trusted) {
  for (std::size_t slash = 0; slash < folder.size(); slash = folder.find('/', slash + 1)) {
    const std::string above = slash == 0 ? "/" : folder.substr(0, slash);
    struct stat st;
    if (::lstat(above.c_str(), &st) != 0) return "cannot examine " + above + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return "it lies under the symbolic link " + above + "; name it by its real path";
    if (!S_ISDIR(st.st_mode)) return above + " is not a directory";
    if (!trusted.admits(st.st_uid)) {
      return "it lies in " + above + ", which belongs to " + UserText(st.st_uid) +
             ", who could put a folder of theirs in its place; use a folder in a directory of root or of this user";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      return "it lies in " + above +
             ", which others may write and is not sticky, so they could put a folder of theirs in its place";
    }
  }
  return "";
}

// Why the folder of `setting` cannot hold endpoints, or empty; *shared
// tells whether users other than this euid use it: others may create
// endpoints in it, or it is another user's (root's process in the folder of
// the directory service's user), who must be able to send to the endpoints
// of this process. Creates it (mode 0700)
// when it is missing. The folder is opened without following a symbolic
// link and examined through that descriptor, so what is checked is the
// directory itself. It cannot change afterwards: its parent is sticky or
// not writable by others (AncestorProblem), so only its owner, who is
// trusted, or root could rename it.
//
// The default folder must be this euid's and private: anyone may create
// the name first. A folder that COMM_DIR_IPC_DIR names may be shared: it
// belongs to this euid, root or the directory service's user, and it is
// sticky if group or others may write it, so that none of them can remove
// or rename another's endpoint. A folder of anyone else is refused however
// it is shared: using it would make its owner our directory service.
std::string FolderProblem(const Setting& setting, bool* shared) {
  if (!setting.problem.empty()) return setting.problem;
  const std::string& folder = setting.folder;
  std::string problem = AncestorProblem(folder, setting.trusted());
  if (!problem.empty()) return problem;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::string("cannot create it: ") + std::strerror(errno);
  }
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) return "it is not a directory (a symbolic link or another file); remove it";
    return std::string("cannot open it: ") + std::strerror(errno);
  }
  struct stat st;
  const bool examined = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!examined) return std::string("cannot examine it: ") + std::strerror(errno);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if (!setting.configured) {
    if (st.st_uid != setting.euid) {
      return "it belongs to " + UserText(st.st_uid) + ", not to this process's " + UserText(setting.euid) +
             "; remove it, or name a folder of this user in COMM_DIR_IPC_DIR";
    }
    if ((st.st_mode & 077) != 0) {
      return std::string("group or others have access to it (mode ") + mode +
             "); make it private (chmod 700) or remove it";
    }
  } else if (!setting.trusted().admits(st.st_uid)) {
    return "it belongs to " + UserText(st.st_uid) +
           ", whom this process does not trust as the directory service; an application sets "
           "COMM_DIR_SERVICE_USER=NAME when NAME runs the directory service, a daemon runs as the folder's owner";
  }
  *shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (*shared && (st.st_mode & S_ISVTX) == 0) {
    return std::string("others may write it (mode ") + mode +
           ") and it is not sticky, so they could replace its endpoints; chmod +t it or make it private";
  }
  *shared = *shared || st.st_uid != setting.euid;
  return "";
}

// FolderProblem, traced: 0, or EACCES with one trace line.
RETCODE CheckFolder(const Setting& setting, bool* shared) {
  std::string problem;
  try {
    problem = FolderProblem(setting, shared);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  if (problem.empty()) return 0;
  POSIX_PLATFORM_TRACE("ipc folder %s refused: %s\n", setting.folder.c_str(), problem.c_str());
  return EACCES;
}

// The socket address of a server name in `folder`; the name is checked.
RETCODE ServerAddress(const char* name, const std::string& folder, sockaddr_un* address, std::string* path) {
  const char* endpoint = EndpointName(name);
  if (endpoint == nullptr) return EINVAL;
  try {
    *path = folder + "/" + endpoint;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path->size() >= sizeof address->sun_path) return ENAMETOOLONG;
  std::memcpy(address->sun_path, path->c_str(), path->size() + 1);
  return 0;
}

int NewSocket() { return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

// A socket to bind as a server, asking for its senders' credentials before
// its name exists: the kernel attaches them only to datagrams sent while
// either end asks, and hands one sent in between over as pid 0, uid and gid
// 65534 (a root caller refused as a stranger, right as its daemon starts).
int NewServerSocket() {
  const int fd = NewSocket();
  const int on = 1;
  if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// True when the file (device, inode) is the socket of a server of this
// process. Defined with the servers.
bool IsOwnServerSocket(dev_t device, ino_t inode);

// Connects `fd` to the server at `address` only when its socket file belongs
// to one of `owners`; *owner is then that file's owner. A missing file is
// refused before connecting (ENOENT), a file of anyone else with EACCES and
// a trace line.
//
// The file could be exchanged between the look and the connect. So it is
// looked at again afterwards, and the connection stands only when it is the
// same file (device, inode) with the same owner. That suffices because of
// the folder (CheckFolder): it is private, or sticky, so a name's file can
// be removed or renamed only by its owner, a trusted uid, or root. Another
// user can bind a name only while it is free, and the file it makes then
// carries its own uid: the second look sees it, or sees the name free.
RETCODE ConnectToOwner(int fd, const sockaddr_un& address, const TrustedUids& owners, uid_t* owner) {
  struct stat before, after;
  if (::lstat(address.sun_path, &before) != 0) return errno;
  if (!owners.admits(before.st_uid)) {
    POSIX_PLATFORM_TRACE("ipc %s refused: its server runs as uid %ld, whom this client does not trust\n",
                         address.sun_path, static_cast<long>(before.st_uid));
    return EACCES;
  }
  if (owners.not_own_servers && IsOwnServerSocket(before.st_dev, before.st_ino)) {
    POSIX_PLATFORM_TRACE("ipc %s refused: it is the socket of a server of this process\n", address.sun_path);
    return EACCES;
  }
  // EACCES of the connect itself is the socket file's mode, not a question
  // of trust: EPERM keeps the two apart for the caller's trace.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return errno == EACCES ? EPERM : errno;
  }
  if (::lstat(address.sun_path, &after) != 0 || after.st_dev != before.st_dev || after.st_ino != before.st_ino ||
      after.st_uid != before.st_uid) {
    const sockaddr none{AF_UNSPEC, {}};
    ::connect(fd, &none, sizeof none);  // the socket must not stay connected to whatever it reached
    POSIX_PLATFORM_TRACE("ipc %s refused: its socket file changed while connecting\n", address.sun_path);
    return EACCES;
  }
  *owner = before.st_uid;
  return 0;
}

// --- clients -------------------------------------------------------------------

// Connected sockets not lent to any handle, by server path, so that a client
// per message costs no socket and no check. This is the cache of the owner
// checks: each socket remembers the owner of the server file that it was
// connected to, checked then, and is lent only to a client that trusts that
// owner (the daemon's clients trust the requester of each reply, an
// application's its own trusted uids). The check stays valid as long as
// the connection does: the socket that it reaches is the one that the
// owner bound. What ends it is that server's socket closing: the next send
// fails and the client connects anew, checking again (Client::send).
// Thread-safe: every member takes mu_.
class SocketPool {
 public:
  // A pooled socket for `path` connected to a server of one of `owners`, or
  // -1; *owner is the server's.
  int take(const std::string& path, const TrustedUids& owners, uid_t* owner) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = idle_.find(path);
    if (it == idle_.end()) return -1;
    std::vector<Idle>& sockets = it->second;
    for (auto socket = sockets.rbegin(); socket != sockets.rend(); ++socket) {
      if (!owners.admits(socket->owner)) continue;
      const int fd = socket->fd;
      *owner = socket->owner;
      sockets.erase(std::next(socket).base());
      --count_;
      return fd;
    }
    return -1;
  }

  // Keeps `fd`, connected to a server of `owner`, for the next client of
  // `path`, or closes it when the pool is full.
  void give(const std::string& path, int fd, uid_t owner) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      try {
        if (count_ < kMaxIdleSockets) {
          idle_[path].push_back({fd, owner});
          ++count_;
          return;
        }
      } catch (const std::bad_alloc&) {
      }
    }
    ::close(fd);
  }

 private:
  struct Idle {
    int fd;
    uid_t owner;
  };
  std::mutex mu_;
  std::unordered_map<std::string, std::vector<Idle>> idle_;  // guarded by mu_
  std::size_t count_ = 0;                                    // guarded by mu_
};

SocketPool& Pool() {
  static auto* pool = new SocketPool;  // never destroyed, like every table here
  return *pool;
}

// What a client handle names: a connected socket, returned to the pool when
// the last user lets go (the handle's destroy, or a send still under way).
// Thread-safe: sends on one socket may overlap; `broken_` and `owner_` are
// atomic.
class Client {
 public:
  Client(std::string path, const sockaddr_un& address, const TrustedUids& owners, int fd, uid_t owner)
      : path_(std::move(path)), address_(address), owners_(owners), fd_(fd), owner_(owner) {}
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() {
    if (broken_.load(std::memory_order_relaxed)) {
      ::close(fd_);
    } else {
      Pool().give(path_, fd_, owner_.load(std::memory_order_relaxed));
    }
  }

  // Sends one datagram. With a time-out (milliseconds, not negative), waits
  // that long at most for room in the server's queue: ETIMEDOUT when it
  // stays full. -1 waits without limit.
  RETCODE send(const iovec* parts, int count, int timeout_ms) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = static_cast<std::size_t>(count);
    const bool bounded = timeout_ms >= 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
    bool reconnected = false;
    for (;;) {
      if (::sendmsg(fd_, &message, MSG_NOSIGNAL | (bounded ? MSG_DONTWAIT : 0)) >= 0) return 0;
      RETCODE rc = errno;
      if (rc == EINTR) continue;
      if (bounded && (rc == EAGAIN || rc == EWOULDBLOCK)) {
        if (!wait_for_room(deadline)) return ETIMEDOUT;
        continue;
      }
      // The server this socket was connected to has gone (a pooled socket
      // outlives servers), or takes no more (EPIPE: it is ending, and its
      // name may already be another's); its name may run again: connect
      // anew, once, and check the new server's owner as the first connect did.
      bool peer_gone = rc == ECONNREFUSED || rc == ENOTCONN || rc == ECONNRESET || rc == EPIPE;
      uid_t owner;
      if (peer_gone && !reconnected) {
        rc = ConnectToOwner(fd_, address_, owners_, &owner);
        if (rc == 0) {
          owner_.store(owner, std::memory_order_relaxed);
          reconnected = true;
          continue;
        }
      }
      broken_.store(true, std::memory_order_relaxed);
      return rc;
    }
  }
  // Waits until the server's queue may have room (the kernel says so for a
  // connected datagram socket) or `deadline` has passed; false then.
  bool wait_for_room(std::chrono::steady_clock::time_point deadline) const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd room{fd_, POLLOUT, 0};
    ::poll(&room, 1, static_cast<int>(left.count()));  // EINTR: the next send tells
    return true;
  }

  // True when the server instance this socket is connected to has ended.
  // A datagram of zero bytes asks the kernel without waiting: refused (or,
  // once refused, no longer connected) means its socket is closed; EPIPE
  // means it is stopping and still dispatches its queue; sent, or a full
  // queue, means it exists. The socket's connection is left as it is: a
  // later send reconnects it if the name runs again.
  bool server_ended() const {
    if (::send(fd_, nullptr, 0, MSG_DONTWAIT | MSG_NOSIGNAL) == 0) return false;
    return errno == ECONNREFUSED || errno == ENOTCONN || errno == ECONNRESET;
  }

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

 private:
  const std::string path_;
  const sockaddr_un address_;
  const TrustedUids owners_;  // whose servers it may connect to
  const int fd_;
  std::atomic<uid_t> owner_;  // the owner of the server it is connected to
  std::atomic<bool> broken_{false};  // the socket is closed, not pooled
};

HandleTable<Client>& Clients() {
  static auto* table = new HandleTable<Client>(kClientTag);
  return *table;
}

// A socket connected to a server at `address` of one of `owners`: a pooled
// one or a new one, in the folder of `setting`; *owner is the server's.
RETCODE ConnectedSocket(const Setting& setting, const std::string& path, const sockaddr_un& address,
                        const TrustedUids& owners, int* fd, uid_t* owner) {
  *fd = Pool().take(path, owners, owner);
  if (*fd >= 0) return 0;
  bool shared;
  RETCODE rc = CheckFolder(setting, &shared);
  if (rc != 0) return rc;
  *fd = NewSocket();
  if (*fd < 0) return errno;
  // Room for a few whole messages in flight; the default may be smaller on a
  // small machine. Not fatal if refused.
  ::setsockopt(*fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBuffer, sizeof kClientSendBuffer);
  rc = ConnectToOwner(*fd, address, owners, owner);
  if (rc != 0) {
    ::close(*fd);
    *fd = -1;
  }
  return rc;
}

// The end of `message` without its trailing zero bytes, but never below
// kMinDatagram. The library's messages are mostly zero, so this compares
// from the end in blocks against zeros (memcmp is vectorised), then bytes.
std::size_t TrimmedLength(const char* message, std::size_t length) {
  static const char kZeros[1024] = {};
  std::size_t end = length;
  for (std::size_t block = sizeof kZeros; block >= 32; block /= 8) {
    while (end - kMinDatagram >= block && std::memcmp(message + end - block, kZeros, block) == 0) end -= block;
  }
  while (end > kMinDatagram && message[end - 1] == 0) --end;
  return end;
}

// The control buffer of a receiving server has room for the credentials
// only, and the kernel puts them first: descriptors that a peer passes along
// never get installed in this process (the kernel closes them and sets
// MSG_CTRUNC).
const ucred* Credentials(const msghdr& message) {
  const ucred* sender = nullptr;
  auto& readable = const_cast<msghdr&>(message);  // the CMSG macros take no const
  for (cmsghdr* c = CMSG_FIRSTHDR(&readable); c != nullptr; c = CMSG_NXTHDR(&readable, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
    }
  }
  return sender;
}

// --- servers -------------------------------------------------------------------

// The credentials of the message that this thread is dispatching, or null:
// set by a server's receiving thread around each call of its dispatch
// function, and pointing into that thread's control buffer.
thread_local const ucred* t_dispatching = nullptr;
// The bytes of that message that came in its datagram.
thread_local std::size_t t_dispatching_received = 0;
// The server whose message this thread is dispatching, or null.
thread_local const void* t_dispatching_on = nullptr;

// A stale socket file (its process died without removing it) refuses
// connections; a live one accepts. Anything else is left alone. The probe
// sends nothing, so it may reach a server of anyone.
bool SocketIsStale(const sockaddr_un& address) {
  int probe = NewSocket();
  if (probe < 0) return false;
  const bool refused =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno == ECONNREFUSED;
  ::close(probe);
  return refused;
}

// Replacing a stale file takes two steps, unlink and bind, that two
// processes must not interleave: one could remove the file that the other
// has just bound in its place, and both would take the name for theirs. So
// a replacement happens under an exclusive flock of the folder, which
// looks at the file again; binding a free name needs no lock, bind alone
// decides. The lock is waited for at most kFolderLockMs: a holder that
// keeps it longer (someone who may read a shared folder) leaves the name
// held. A folder that this user may not read (shared as 1733) cannot be
// locked, and its stale files are replaced unlocked.
constexpr int kFolderLockMs = 1000;

class FolderLock {
 public:
  explicit FolderLock(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const std::string folder(path, slash == nullptr || slash == path ? 1 : static_cast<std::size_t>(slash - path));
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int waited = 0; fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0; ++waited) {
      if (errno != EWOULDBLOCK && errno != EINTR) break;  // not lockable: unlocked
      if (waited == kFolderLockMs) {
        busy_ = true;
        break;
      }
      usleep(1000);
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};

// True when the file at `address` is a socket file that refuses connections.
bool StaleFile(const sockaddr_un& address) {
  struct stat st;
  return ::lstat(address.sun_path, &st) == 0 && S_ISSOCK(st.st_mode) && SocketIsStale(address);
}

// Binds `fd` at `address`, replacing a stale socket file but never a live
// socket, whoever's it is, or a file that is not a socket.
RETCODE BindOrReplaceStale(int fd, const sockaddr_un& address) {
  auto bind_once = [&] {
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  };
  RETCODE rc = bind_once();
  if (rc != EADDRINUSE || !StaleFile(address)) return rc;
  const FolderLock lock(address.sun_path);
  if (lock.busy()) return EADDRINUSE;
  // Looked at again under the lock: removed meanwhile, or bound anew.
  if (!StaleFile(address)) return bind_once();
  // One that this user may not remove (another's, in a sticky folder) holds
  // the name as a live one does.
  if (::unlink(address.sun_path) != 0 && errno != ENOENT) return errno == EPERM || errno == EACCES ? EADDRINUSE : errno;
  return bind_once();
}

// One running server. Its receiving thread owns a reference while it runs;
// the registry owns the other until the server is stopped.
// Thread-safe: after start() only stopping_ (atomic) and the receiving role
// (role_mu_) change; the receive buffers belong to the role's holder.
class Server {
 public:
  Server(std::string name, std::string path, PGEN_IPC_DISPATCH dispatch, const SenderRule& rule,
         bool shared_folder)
      : name_(std::move(name)),
        path_(std::move(path)),
        dispatch_(dispatch),
        rule_(rule),
        shared_folder_(shared_folder) {}
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() {
    if (fd_ >= 0) ::close(fd_);
    if (kick_fd_ >= 0) ::close(kick_fd_);
  }

  // Binds and starts the receiving thread; `self` is this server.
  RETCODE start(const std::shared_ptr<Server>& self, const sockaddr_un& address, ULONG stack_size) {
    receive_buffer_.reset(new (std::nothrow) char[kMaxMessage]());
    send_buffer_.reset(new (std::nothrow) char[kSendBufferSize]());
    if (receive_buffer_ == nullptr || send_buffer_ == nullptr) return ENOMEM;
    fd_ = TakeReservedSocket(path_);  // bound when this process took its name (posix_process_name.cc)
    const bool reserved = fd_ >= 0;
    if (!reserved && (fd_ = NewServerSocket()) < 0) return errno;
    RETCODE rc = reserved ? 0 : BindOrReplaceStale(fd_, address);
    if (rc != 0) return rc;
    struct stat st;
    if (!set_receive_slice() || !let_folder_users_send() || ::stat(path_.c_str(), &st) != 0) {
      rc = errno;
      ::unlink(path_.c_str());
      return rc;
    }
    bound_device_ = st.st_dev;
    bound_inode_ = st.st_ino;
    NoteOwnFile(path_, bound_device_, bound_inode_, fd_);
    kick_fd_ = NewSocket();
    uid_t owner;
    rc = kick_fd_ < 0 ? errno : ConnectToOwner(kick_fd_, address, {{rule_.euid, rule_.euid, rule_.euid}}, &owner);
    if (rc != 0) {
      remove_file();
      return rc;
    }
    self_ = self;
    rc = start_thread(self, stack_size);
    if (rc != 0) remove_file();
    return rc;
  }

  // Closes the endpoint: the file goes, no sender gets a message in any
  // more, the receiving thread dispatches what was already queued (a sender
  // whose message was accepted is not left without its dispatch) and then
  // ends and is joined (unless this is that thread, running a dispatch: it
  // then drains and ends once the dispatch returns). The socket closes with
  // the last reference.
  void stop() {
    stopping_.store(true, std::memory_order_release);
    remove_file();
    ::shutdown(fd_, SHUT_RDWR);  // wakes a blocked recvmsg or poll
    {
      std::lock_guard<std::mutex> lock(role_mu_);
      role_cv_.notify_all();  // a parked receiving thread drains the queue
    }
    // A dispatch on this server (on its thread or on a caller's) cannot wait
    // for the thread: the thread may be waiting for that dispatch to end.
    if (t_dispatching_on == this) {
      pthread_detach(thread_);
    } else {
      pthread_join(thread_, nullptr);
    }
  }

  std::shared_ptr<Server> shared() const { return self_.lock(); }
  bool bound_to(dev_t device, ino_t inode) const { return device == bound_device_ && inode == bound_inode_; }

  // Waits for the reply that `awaiter` stands for: receives on this server
  // when no one else does, else as before. See AwaitReply.
  RETCODE await(ReplyAwaiter& awaiter, UINT client) {
    std::unique_lock<std::mutex> lock(role_mu_);
    note_caller();
    if (receiving_ || stopping_.load(std::memory_order_acquire)) {
      // Counted until its event is posted (the hook) or it stops waiting.
      awaited_.fetch_add(1, std::memory_order_relaxed);
      awaiter.on_post(&Server::answered, this);
      lock.unlock();
      RETCODE rc = awaiter.wait_blocked();
      if (awaiter.on_post(nullptr, nullptr)) answered(this);
      return rc;
    }
    receiving_ = true;
    lock.unlock();
    RETCODE rc = receive_until_arrived(awaiter, client);
    note_caller();
    lock.lock();
    // Callers that wait meanwhile need the thread; so does a stop. The role
    // passes to the thread at once, so that this caller, calling again
    // before the thread runs, does not take it back from under it.
    if (awaited_.load(std::memory_order_relaxed) > 0 || stopping_.load(std::memory_order_acquire)) {
      handed_to_thread_ = true;
      role_cv_.notify_all();
    } else {
      receiving_ = false;
    }
    lock.unlock();
    return rc == kGaveUp ? awaiter.wait_blocked() : rc;
  }

 private:
  static void* run(void* raw) {
    std::unique_ptr<std::shared_ptr<Server>> self(static_cast<std::shared_ptr<Server>*>(raw));
    (*self)->receive_loop();
    return nullptr;
  }

  RETCODE start_thread(const std::shared_ptr<Server>& self, ULONG stack_size) {
    auto* reference = new (std::nothrow) std::shared_ptr<Server>(self);
    if (reference == nullptr) return ENOMEM;
    pthread_attr_t attr;
    RETCODE rc = pthread_attr_init(&attr);
    if (rc == 0) rc = pthread_attr_setstacksize(&attr, ThreadStackSize(stack_size));
    if (rc == 0) rc = pthread_create(&thread_, &attr, &Server::run, reference);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      delete reference;
      return rc;
    }
    char thread_name[16];
    std::snprintf(thread_name, sizeof thread_name, "%s", name_.c_str() + kPrefixLength);
    pthread_setname_np(thread_, thread_name);
    return 0;
  }

  // Every blocking receive on the socket ends after kReplyCheckIntervalMs
  // without a datagram. A caller that receives for its reply then asks
  // whether the server its request went to still exists, at the cost of one
  // system call per datagram (recvmsg), not two (poll and recvmsg). The
  // thread, after one such empty slice, waits for the next datagram
  // without limit (wait_readable), so an idle server does not wake.
  bool set_receive_slice() {
    timeval slice{};
    slice.tv_sec = kReplyCheckIntervalMs / 1000;
    slice.tv_usec = (kReplyCheckIntervalMs % 1000) * 1000;
    return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) == 0;
  }

  // Sending needs write permission on the socket file. In a folder that
  // others use (see FolderProblem) every user who may enter it gets that
  // permission, whatever our umask: the folder's mode says who may come in,
  // and the sender rule checks each datagram's uid on arrival. A private
  // folder of this user keeps the file as bound.
  bool let_folder_users_send() { return !shared_folder_ || ::chmod(path_.c_str(), 0666) == 0; }

  // Removes the socket file if it is still the one this server bound.
  void remove_file() { RemoveOwnFile(path_, bound_device_, bound_inode_); }

  // What one receive came to.
  enum class Received {
    kDone,    // dispatched, dropped, ignored, or a shortage that passes
    kNone,    // nothing came within the receive time-out
    kEnded,   // the server stops and its queue is empty, or receiving failed for good
  };
  // What receive_until_arrived gives when its caller must wait as before.
  static constexpr RETCODE kGaveUp = -1;

  void receive_loop() {
    for (;;) {
      take_role_for_thread();
      const Received received = receive_one();
      if (received == Received::kNone) wait_readable();
      {
        std::lock_guard<std::mutex> lock(role_mu_);
        receiving_ = false;
      }
      if (received == Received::kEnded) return;
    }
  }

  // The receiving thread receives when no caller does and either a caller
  // waits for it (its reply not yet posted), no caller came lately, or the
  // server stops (the queue is drained).
  void take_role_for_thread() {
    std::unique_lock<std::mutex> lock(role_mu_);
    for (;;) {
      if (handed_to_thread_) {
        handed_to_thread_ = false;
        break;
      }
      if (!receiving_) {
        if (stopping_.load(std::memory_order_acquire) || awaited_.load(std::memory_order_relaxed) > 0) break;
        const auto park_end = caller_seen() + std::chrono::milliseconds(kReceiverParkMs);
        if (std::chrono::steady_clock::now() >= park_end) break;
        role_cv_.wait_until(lock, park_end);
      } else {
        // A caller receives; it notifies when it hands the role over. It
        // gives it back without a word when no caller it knows of waits, but
        // callers that began to wait before this server was known as the
        // one where replies come were not counted: so the thread looks
        // again after a slice, and takes the role when no one holds it.
        role_cv_.wait_for(lock, std::chrono::milliseconds(kReplyCheckIntervalMs));
      }
    }
    receiving_ = true;
  }

  // A reply that a caller waited for while another received has come: the
  // caller is about to go on, and may call again.
  static void answered(void* target) {
    auto* server = static_cast<Server*>(target);
    server->note_caller();
    server->awaited_.fetch_sub(1, std::memory_order_relaxed);
  }

  // A caller came, went, or had its reply: the thread keeps out of the way
  // for kReceiverParkMs from now, however long the exchange itself took.
  void note_caller() {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(seen_mu_);
    caller_seen_ = now;
  }

  std::chrono::steady_clock::time_point caller_seen() {
    std::lock_guard<std::mutex> lock(seen_mu_);
    return caller_seen_;
  }

  // The thread's wait for a datagram after an empty receive slice: without
  // limit, until one is queued or the server stops (its shutdown wakes it).
  void wait_readable() {
    pollfd ready{fd_, POLLIN, 0};
    while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
    }
  }

  // A caller's receiving: until its event is posted, in slices (the receive
  // time-out) after each of which the server its request went to is asked
  // whether it still exists. Its reply, if it sent one, was queued here
  // before it ended; so the caller gives up only after one more empty slice
  // once it saw the server ended, when it has taken all that was queued.
  RETCODE receive_until_arrived(ReplyAwaiter& awaiter, UINT client) {
    awaiter.on_post(&Server::kick, this);
    RETCODE rc = 0;
    std::string peer;
    bool ended_before = false;
    while (!awaiter.arrived()) {
      const Received received = receive_one();
      if (received == Received::kEnded || stopping_.load(std::memory_order_acquire)) {
        rc = kGaveUp;
        break;
      }
      if (received == Received::kNone) {
        const bool ended = ServerOfClientEnded(client, &peer);
        if (!ended || !ended_before || awaiter.arrived()) {
          ended_before = ended;
          continue;
        }
        TraceAwaitedServerEnded(peer);
        rc = kServerEnded;
        break;
      }
    }
    awaiter.on_post(nullptr, nullptr);
    return rc;
  }

  // Wakes a caller that receives on this server for a reply that was posted
  // elsewhere: a datagram of zero bytes, which servers ignore. Unless the
  // poster is dispatching here, and so is that caller.
  static void kick(void* target) {
    auto* server = static_cast<Server*>(target);
    if (t_dispatching_on == server) return;
    ::send(server->kick_fd_, nullptr, 0, MSG_DONTWAIT | MSG_NOSIGNAL);
  }

  // Receives one datagram and dispatches it if it is accepted. Only the
  // holder of the receiving role calls it.
  Received receive_one() {
    iovec part{receive_buffer_.get(), kMaxMessage};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control_;
    message.msg_controllen = sizeof control_;
    // MSG_TRUNC: the datagram's real length, even where it did not fit.
    ssize_t received = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC | MSG_TRUNC);
    // A datagram of zero bytes is a waiting client asking whether this
    // server still exists (the kernel has answered it already), or a kick.
    // It comes with credentials, like every datagram, which tells it apart
    // from the 0 that ends the queue.
    if (received == 0 && message.msg_controllen != 0) return Received::kDone;
    // After the shutdown of stop() the kernel still hands out the queued
    // datagrams, then 0 (or an error) once the queue is empty.
    if (received <= 0 && stopping_.load(std::memory_order_acquire)) return Received::kEnded;
    if (received < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Received::kNone;
      if (errno == EINTR) return Received::kDone;
      if (errno == ENOMEM || errno == ENOBUFS) {  // the kernel's shortage passes
        POSIX_PLATFORM_TRACE("ipc %s: receiving failed (errno %d); trying again\n", name_.c_str(), errno);
        usleep(10000);
        return Received::kDone;
      }
      POSIX_PLATFORM_TRACE("ipc %s: receiving failed (errno %d); the server receives no more\n",
                           name_.c_str(), errno);
      return Received::kEnded;
    }
    std::size_t length = 0;
    const ucred* sender = nullptr;
    const char* refusal = AcceptDatagram(message, static_cast<std::size_t>(received), rule_,
                                         receive_buffer_.get(), &length, &sender);
    if (refusal != nullptr) {
      drop(sender, static_cast<std::size_t>(received), refusal);
    } else {
      dispatch(sender, static_cast<std::size_t>(received));
    }
    ForgetDatagram(receive_buffer_.get(), static_cast<std::size_t>(received));
    return Received::kDone;
  }

  void dispatch(const ucred* sender, std::size_t received) {
    int size = 0;
    t_dispatching = sender;
    t_dispatching_received = received;
    t_dispatching_on = this;
    dispatch_(receive_buffer_.get(), send_buffer_.get(), &size);
    t_dispatching_on = nullptr;
    t_dispatching = nullptr;
  }

  void drop(const ucred* sender, std::size_t received, const char* reason) {
    long pid = sender == nullptr ? -1 : static_cast<long>(sender->pid);
    long uid = sender == nullptr ? -1 : static_cast<long>(sender->uid);
    POSIX_PLATFORM_TRACE("ipc %s: dropped a datagram of %zu bytes from pid %ld uid %ld: %s\n",
                         name_.c_str(), received, pid, uid, reason);
  }

  const std::string name_;
  const std::string path_;
  const PGEN_IPC_DISPATCH dispatch_;
  const SenderRule rule_;
  const bool shared_folder_;
  // Set by start(), before the receiving thread exists; read-only afterwards.
  int fd_ = -1;
  dev_t bound_device_ = 0;
  ino_t bound_inode_ = 0;
  pthread_t thread_{};
  int kick_fd_ = -1;  // connected to this server's own socket
  std::weak_ptr<Server> self_;
  // Used by the holder of the receiving role only (receiving_ below).
  std::unique_ptr<char[]> receive_buffer_;  // all zero between two datagrams
  std::unique_ptr<char[]> send_buffer_;
  alignas(cmsghdr) char control_[CMSG_SPACE(sizeof(ucred))];
  // Who receives: the thread or one caller at a time.
  std::mutex role_mu_;
  std::condition_variable role_cv_;         // the thread waits on it for the role
  bool receiving_ = false;                  // guarded by role_mu_
  bool handed_to_thread_ = false;           // guarded by role_mu_: a caller passed the role on
  // Callers that wait on their event while another receives, whose reply
  // has not come yet. Atomic: counted down under the event's lock, which
  // must not take role_mu_ (await takes them the other way round).
  std::atomic<int> awaited_{0};
  // When a caller last came, went or had its reply. Under a lock of its
  // own, taken last: the answered() hook runs under an event's lock, and
  // must not take role_mu_.
  std::mutex seen_mu_;
  std::chrono::steady_clock::time_point caller_seen_;  // guarded by seen_mu_
  // Set once by stop(); release/acquire so that the thread that wakes from
  // recvmsg sees it.
  std::atomic<bool> stopping_{false};
};

// The servers of this process by socket path. Thread-safe: mu_ covers the
// map and the start of a server, so two starts of one name cannot both bind.
// Stopping happens outside mu_: a dispatch may start or stop servers.
class ServerRegistry {
 public:
  RETCODE start(const char* name, const sockaddr_un& address, const std::string& path, ULONG stack_size,
                PGEN_IPC_DISPATCH dispatch, const SenderRule& rule, bool shared_folder) {
    std::lock_guard<std::mutex> lock(mu_);
    // The entry is made first, so that a server that runs is always
    // registered and can be stopped.
    auto entry = running_.end();
    try {
      bool inserted;
      std::tie(entry, inserted) = running_.emplace(path, nullptr);
      if (!inserted) return EADDRINUSE;
      auto server = std::make_shared<Server>(name, path, dispatch, rule, shared_folder);
      RETCODE rc = server->start(server, address, stack_size);
      if (rc != 0) {
        running_.erase(entry);
        return rc;
      }
      entry->second = std::move(server);
      return 0;
    } catch (const std::bad_alloc&) {
      if (entry != running_.end()) running_.erase(entry);
      return ENOMEM;
    }
  }

  bool serves_socket(dev_t device, ino_t inode) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::any_of(running_.begin(), running_.end(), [&](const auto& entry) {
      return entry.second != nullptr && entry.second->bound_to(device, inode);
    });
  }

  // The server at `path`, no longer registered, or null.
  std::shared_ptr<Server> take(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = running_.find(path);
    if (it == running_.end()) return nullptr;
    std::shared_ptr<Server> server = std::move(it->second);
    running_.erase(it);
    return server;
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<Server>> running_;  // guarded by mu_
};

ServerRegistry& Servers() {
  static auto* registry = new ServerRegistry;
  return *registry;
}

bool IsOwnServerSocket(dev_t device, ino_t inode) { return Servers().serves_socket(device, inode); }

// The server where the replies that callers await come: the last one on
// which such a reply was dispatched. Thread-safe: mu_ guards it.
class ReplyServerNote {
 public:
  void set(const Server* server) {
    std::lock_guard<std::mutex> lock(mu_);
    if (server == noted_) return;  // the common case: the same server again
    noted_ = server;
    server_ = server->shared();
  }
  std::shared_ptr<Server> get() {
    std::lock_guard<std::mutex> lock(mu_);
    return server_.lock();
  }

 private:
  std::mutex mu_;
  const Server* noted_ = nullptr;  // guarded by mu_; compared, never followed
  std::weak_ptr<Server> server_;   // guarded by mu_
};

ReplyServerNote& ReplyServer() {
  static auto* note = new ReplyServerNote;  // never destroyed, like every table here
  return *note;
}

// The first word of a client record receives the handle.
void StoreHandle(void* record, UINT handle) { std::memcpy(record, &handle, sizeof handle); }

RETCODE StartServer(const char* name, ULONG stack_size, PGEN_IPC_DISPATCH dispatch, bool any_uid) {
  std::shared_ptr<const Setting> setting = Settings().get();
  if (setting == nullptr) return ENOMEM;
  sockaddr_un address;
  std::string path;
  RETCODE rc = ServerAddress(name, setting->folder, &address, &path);
  if (rc != 0) return rc;
  if (dispatch == nullptr) return EINVAL;
  bool shared;
  rc = CheckFolder(*setting, &shared);
  const SenderRule rule{setting->euid, setting->service, any_uid};
  if (rc == 0) rc = Servers().start(name, address, path, stack_size, dispatch, rule, shared);
  if (rc != 0) NoteStartFailure(name, path, rc);
  return rc;
}

// A client of the server `server_name` whose socket file belongs to one of
// `owners` (those of `setting` when null).
RETCODE CreateClient(const char* client_name, const char* server_name, const TrustedUids* owners, void* clnt) {
  if (clnt == nullptr || client_name == nullptr || client_name[0] == '\0' ||
      ::strnlen(client_name, kMaxNameLength + 1) > kMaxNameLength) {
    return EINVAL;
  }
  std::shared_ptr<const Setting> setting = Settings().get();
  if (setting == nullptr) return ENOMEM;
  const TrustedUids trusted = owners != nullptr ? *owners : setting->trusted();
  sockaddr_un address;
  std::string path;
  RETCODE rc = ServerAddress(server_name, setting->folder, &address, &path);
  if (rc != 0) return rc;
  int fd;
  uid_t owner;
  rc = ConnectedSocket(*setting, path, address, trusted, &fd, &owner);
  if (rc != 0) return rc;
  std::shared_ptr<Client> client;
  try {
    client = std::make_shared<Client>(path, address, trusted, fd, owner);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return ENOMEM;
  }
  UINT handle = Clients().add(std::move(client));
  if (handle == 0) return EAGAIN;  // the client's socket went back to the pool
  StoreHandle(clnt, handle);
  return 0;
}

// The folder of this process, checked: see commdir_posix_ipc_folder.
RETCODE DescribeFolder(char* folder, std::size_t folder_size, char* problem, std::size_t problem_size) {
  if (folder == nullptr || problem == nullptr || folder_size == 0 || problem_size == 0) return EINVAL;
  std::shared_ptr<const Setting> setting = Settings().get();
  if (setting == nullptr) return ENOMEM;
  std::snprintf(folder, folder_size, "%s", setting->folder.c_str());
  problem[0] = '\0';
  bool shared;
  std::string why;
  try {
    why = FolderProblem(*setting, &shared);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  std::snprintf(problem, problem_size, "%s", why.c_str());
  if (!why.empty()) return EACCES;
  return setting->folder.size() < folder_size ? 0 : ENAMETOOLONG;
}

}  // namespace

RETCODE BindServerSocket(const char* name, BoundSocket* bound) {
  std::shared_ptr<const Setting> setting = Settings().get();
  if (setting == nullptr) return ENOMEM;
  sockaddr_un address;
  RETCODE rc = ServerAddress(name, setting->folder, &address, &bound->path);
  bool shared;
  try {
    if (rc == 0 && !FolderProblem(*setting, &shared).empty()) rc = EACCES;
  } catch (const std::bad_alloc&) {
    rc = ENOMEM;
  }
  if (rc != 0) return rc;
  bound->fd = NewServerSocket();
  if (bound->fd < 0) return errno;
  struct stat st;
  rc = BindOrReplaceStale(bound->fd, address);
  if (rc == 0 && ::lstat(address.sun_path, &st) != 0) rc = errno;
  if (rc != 0) {
    ::close(bound->fd);
    bound->fd = -1;
    return rc;
  }
  bound->device = st.st_dev;
  bound->inode = st.st_ino;
  NoteOwnFile(bound->path, bound->device, bound->inode, bound->fd);
  return 0;
}

void UnbindServerSocket(BoundSocket* bound) {
  if (bound->fd < 0) return;
  RemoveOwnFile(bound->path, bound->device, bound->inode);
  ::close(bound->fd);
  bound->fd = -1;
}

RETCODE AwaitReply(ReplyAwaiter& awaiter, UINT client_handle) {
  std::shared_ptr<Server> server = ReplyServer().get();
  if (server == nullptr) return awaiter.wait_blocked();
  return server->await(awaiter, client_handle);
}

void NoteAwaitedReplyPosted() {
  const auto* server = static_cast<const Server*>(t_dispatching_on);
  if (server != nullptr) ReplyServer().set(server);
}

const char* AcceptDatagram(const msghdr& message, std::size_t received, const SenderRule& rule, char* buffer,
                           std::size_t* length, const ucred** sender) {
  *sender = Credentials(message);
  if ((message.msg_flags & MSG_CTRUNC) != 0) return "it carried more than credentials";
  if (*sender == nullptr) return "no credentials came with it";
  const uid_t uid = (*sender)->uid;
  if (!rule.any_uid && uid != rule.euid && uid != 0 && uid != rule.service) return "the sender's uid is refused";
  if ((message.msg_flags & MSG_TRUNC) != 0) return "it is longer than the largest message";
  if (received < kMinDatagram) return "it is shorter than 128 bytes";
  UINT length_word;
  std::memcpy(&length_word, buffer + GEN_IPC_HDR_LENGTH_OFFSET, sizeof length_word);
  if (length_word > kMaxMessage) return "its length word is above the largest message";
  if (received > length_word) return "it is longer than its length word";
  *length = length_word;
  return nullptr;
}

void ForgetDatagram(char* buffer, std::size_t received) {
  explicit_bzero(buffer, received < kMaxMessage ? received : kMaxMessage);
}

void TraceAwaitedServerEnded(const std::string& path) {
  POSIX_PLATFORM_TRACE("ipc %s: the server that a reply was awaited from has ended; the wait gives up\n",
                       path.c_str());
}

bool ServerOfClientEnded(UINT client_handle, std::string* path) {
  std::shared_ptr<Client> client = Clients().find(client_handle);
  if (client == nullptr || !client->server_ended()) return false;
  *path = client->path();
  return true;
}

// Sends `length` bytes of `message` over the client `handle`; the caller
// vouches that the bytes from `zero_from` on are zero, so trailing zeros are
// looked for only before it.
RETCODE SendMessage(UINT handle, INT kind, char* message, INT length, std::size_t zero_from, ULONG timeout) {
  if (message == nullptr) return EINVAL;
  if (length < static_cast<INT>(kMinDatagram) || length > static_cast<INT>(kMaxMessage)) return EMSGSIZE;
  std::shared_ptr<Client> client = Clients().find(handle);
  if (client == nullptr) return EINVAL;

  // The platform's header travels in its own part; the caller's message is
  // neither copied nor changed.
  gen_ipc_msghdr header{};
  UINT length_word = static_cast<UINT>(length);
  UINT kind_word = static_cast<UINT>(kind);
  std::memcpy(reinterpret_cast<char*>(&header) + GEN_IPC_HDR_LENGTH_OFFSET, &length_word, sizeof length_word);
  std::memcpy(reinterpret_cast<char*>(&header) + GEN_IPC_HDR_KIND_OFFSET, &kind_word, sizeof kind_word);
  const std::size_t scanned = std::min(std::max(zero_from, kMinDatagram), static_cast<std::size_t>(length));
  const std::size_t end = TrimmedLength(message, scanned);
  iovec parts[2] = {{&header, kHeaderSize}, {message + kHeaderSize, end - kHeaderSize}};
  // The library's -1 comes as the largest ULONG; anything above INT_MAX
  // milliseconds (24 days) is taken as no limit.
  const int send_timeout = timeout > static_cast<ULONG>(INT_MAX) ? -1 : static_cast<int>(timeout);
  RETCODE rc = client->send(parts, 2, send_timeout);
  if (rc == 0 && kind == GEN_IPC_KIND_REQUEST) NoteRequestSent(handle);
  return rc;
}

}  // namespace commdir_posix

using commdir_posix::Client;
using commdir_posix::Clients;

extern "C" {

// The server id is not used: the name alone identifies an endpoint.
RETCODE emwGENIpcStartServer(const char* name, INT /*server_id*/, ULONG stack_size,
                             PGEN_IPC_DISPATCH dispatch) {
  return commdir_posix::StartServer(name, stack_size, dispatch, /*any_uid=*/false);
}

RETCODE commdir_posix_ipc_start_open_server(const char* name, INT /*server_id*/, ULONG stack_size,
                                            PGEN_IPC_DISPATCH dispatch) {
  return commdir_posix::StartServer(name, stack_size, dispatch, /*any_uid=*/true);
}

RETCODE commdir_posix_ipc_received(std::size_t* bytes) {
  if (commdir_posix::t_dispatching == nullptr || bytes == nullptr) return ENOENT;
  *bytes = commdir_posix::t_dispatching_received;
  return 0;
}

std::size_t commdir_posix_ipc_datagram_length(const char* message, std::size_t length) {
  if (message == nullptr || length < commdir_posix::kMinDatagram) return length;
  return commdir_posix::TrimmedLength(message, length);
}

RETCODE commdir_posix_ipc_sender(uid_t* uid, gid_t* gid, pid_t* pid) {
  const ucred* sender = commdir_posix::t_dispatching;
  if (sender == nullptr) return ENOENT;
  if (uid != nullptr) *uid = sender->uid;
  if (gid != nullptr) *gid = sender->gid;
  if (pid != nullptr) *pid = sender->pid;
  return 0;
}

// The client name, the two words after it and the client id are not used;
// the client name is checked like a name all the same (1 to 32 characters).
RETCODE emwGENIpcCreateClient(const char* client_name, const char* server_name, INT /*arg3*/,
                              INT /*arg4*/, INT /*client_id*/, void* clnt) {
  return commdir_posix::CreateClient(client_name, server_name, nullptr, clnt);
}

RETCODE commdir_posix_ipc_create_client_of(const char* client_name, const char* server_name, uid_t owner,
                                           void* clnt) {
  const commdir_posix::TrustedUids owners{{owner, 0, 0}, /*not_own_servers=*/true};
  return commdir_posix::CreateClient(client_name, server_name, &owners, clnt);
}

RETCODE commdir_posix_ipc_folder(char* folder, std::size_t folder_size, char* problem, std::size_t problem_size) {
  return commdir_posix::DescribeFolder(folder, folder_size, problem, problem_size);
}

// Sends at once and blocks only while the server's queue is full; the
// time-out, the two words after the kind and the receive arguments are not
// used (nothing is ever read back).
RETCODE emwGENIpcCallClient(UINT handle, INT kind, INT /*arg3*/, long /*arg4*/, char* message,
                            INT length, char* /*rcvbuf*/, INT /*rcvsize*/, INT* /*rcvlen*/,
                            ULONG timeout) {
  return commdir_posix::SendMessage(handle, kind, message, length, static_cast<std::size_t>(length), timeout);
}

RETCODE commdir_posix_ipc_send_zero_tail(UINT handle, INT kind, char* message, INT length, std::size_t zero_from,
                                         ULONG timeout) {
  return commdir_posix::SendMessage(handle, kind, message, length, zero_from, timeout);
}

int commdir_posix_ipc_client_fd(UINT handle) {
  std::shared_ptr<Client> client = Clients().find(handle);
  return client == nullptr ? -1 : client->fd();
}

RETCODE emwGENIpcDestroyClient(UINT handle) {
  return Clients().remove(handle) == nullptr ? EINVAL : 0;
}

RETCODE emwGENIpcRequestAdmin(const char* server_name, INT request) {
  std::shared_ptr<const commdir_posix::Setting> setting = commdir_posix::Settings().get();
  if (setting == nullptr) return ENOMEM;
  sockaddr_un address;
  std::string path;
  RETCODE rc = commdir_posix::ServerAddress(server_name, setting->folder, &address, &path);
  if (rc != 0) return rc;
  if (request != GEN_IPC_ADMIN_STOP) return EINVAL;
  std::shared_ptr<commdir_posix::Server> server = commdir_posix::Servers().take(path);
  if (server == nullptr) return ENOENT;
  server->stop();
  return 0;
}

}  // extern "C"
