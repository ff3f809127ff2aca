// The folder of a process's endpoints and whom it trusts: which folder it
// uses, how the folder and the directories above it are checked, and how a
// client connects only to a server of a user it trusts.
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/commdir_thread_safety.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_ipc_parts.h"

namespace commdir_posix {

// --- names and the folder ----------------------------------------------------

bool EndpointNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}

// The NAME of a valid "utcp:NAME", or null.
const char* EndpointName(const char* name) {
  if (name == nullptr || std::strncmp(name, kPrefix, kPrefixLength) != 0) return nullptr;
  std::size_t length = ::strnlen(name, kMaxNameLength + 1);
  if (length <= kPrefixLength || length > kMaxNameLength) return nullptr;
  const char* rest = name + kPrefixLength;
  if (std::strcmp(rest, ".") == 0 || std::strcmp(rest, "..") == 0) return nullptr;
  for (const char* c = rest; *c != '\0'; ++c) {
    if (!EndpointNameChar(*c)) return nullptr;
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

namespace {

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
  if (end != user.c_str() && *end == '\0' && errno == 0 && number < static_cast<uid_t>(-1) && user[0] >= '0' &&
      user[0] <= '9') {
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
// Thread-safe.
class SettingCache {
 public:
  SettingCache() { ::pthread_atfork(nullptr, nullptr, &SettingCache::Forked); }

  std::shared_ptr<const Setting> get() {
    commdir_sync::lock_guard lock(mu_);
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

  commdir_sync::mutex mu_;
  std::shared_ptr<const Setting> current_ GUARDED_BY(mu_);
  bool forked_ GUARDED_BY(mu_) = false;
};

SettingCache& Settings() {
  static auto* cache = new SettingCache;  // never destroyed, like every table here
  return *cache;
}

// Runs in a forked child, whose only thread is the one that forked: no
// other can hold mu_, and a lock taken by the parent's other threads would
// never be released in the child.
void SettingCache::Forked() NO_THREAD_SAFETY_ANALYSIS { Settings().forked_ = true; }

}  // namespace

std::shared_ptr<const Setting> CurrentSetting() { return Settings().get(); }

namespace {

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

}  // namespace

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

RETCODE LocateServer(const char* name, std::shared_ptr<const Setting>* setting, sockaddr_un* address,
                     std::string* path) {
  *setting = CurrentSetting();
  if (*setting == nullptr) return ENOMEM;
  return ServerAddress(name, (*setting)->folder, address, path);
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

// The folder of this process, checked: see commdir_posix_ipc_folder.
RETCODE DescribeFolder(char* folder, std::size_t folder_size, char* problem, std::size_t problem_size) {
  if (folder == nullptr || problem == nullptr || folder_size == 0 || problem_size == 0) return EINVAL;
  std::shared_ptr<const Setting> setting = CurrentSetting();
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

}  // namespace commdir_posix
