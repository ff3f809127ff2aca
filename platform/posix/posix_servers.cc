// The servers of the POSIX message IPC: binding a name, the receiving
// thread and its dispatch, and the checks of every datagram. The hand-off
// that lets a caller receive its own reply is in posix_reply_handoff.cc.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <tuple>

#include "platform/commdir_thread_safety.h"
#include "platform/commdir_wire_words.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_ipc_parts.h"
#include "platform/posix/posix_server.h"

namespace commdir_posix {

// --- servers -------------------------------------------------------------------

// The credentials of the message that this thread is dispatching, or null:
// set by a server's receiving thread around each call of its dispatch
// function, and pointing into that thread's control buffer.
thread_local const ucred* t_dispatching = nullptr;
// The bytes of that message that came in its datagram.
thread_local std::size_t t_dispatching_received = 0;
thread_local const void* t_dispatching_on = nullptr;

// Connects a fresh socket and closes it again. It sends nothing, so it may
// reach a server of anyone.
RETCODE ProbeAddress(const sockaddr_un& address) {
  const int probe = NewSocket();
  if (probe < 0) return errno;
  const RETCODE rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  ::close(probe);
  return rc;
}

RETCODE ProbeServer(const char* server_name) {
  std::shared_ptr<const Setting> setting;
  sockaddr_un address;
  std::string path;
  const RETCODE rc = LocateServer(server_name, &setting, &address, &path);
  return rc != 0 ? rc : ProbeAddress(address);
}

namespace {

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

// A stale socket file (its process died without removing it) refuses
// connections; a live one accepts. Anything else is left alone.
bool SocketIsStale(const sockaddr_un& address) { return ProbeAddress(address) == ECONNREFUSED; }

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

}  // namespace

// Binds and starts the receiving thread; `self` is this server.
RETCODE Server::start(const std::shared_ptr<Server>& self, const sockaddr_un& address, ULONG stack_size) {
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
void Server::stop() {
  stopping_.store(true, std::memory_order_release);
  remove_file();
  ::shutdown(fd_, SHUT_RDWR);  // wakes a blocked recvmsg or poll
  {
    commdir_sync::lock_guard lock(role_mu_);
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

void* Server::run(void* raw) {
  std::unique_ptr<std::shared_ptr<Server>> self(static_cast<std::shared_ptr<Server>*>(raw));
  (*self)->receive_loop();
  return nullptr;
}

RETCODE Server::start_thread(const std::shared_ptr<Server>& self, ULONG stack_size) {
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
bool Server::set_receive_slice() {
  timeval slice{};
  slice.tv_sec = kReplyCheckIntervalMs / 1000;
  slice.tv_usec = (kReplyCheckIntervalMs % 1000) * 1000;
  return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) == 0;
}

void Server::receive_loop() {
  for (;;) {
    take_role_for_thread();
    const Received received = receive_one();
    if (received == Received::kNone) wait_readable();
    {
      commdir_sync::lock_guard lock(role_mu_);
      receiving_ = false;
    }
    if (received == Received::kEnded) return;
  }
}

// The thread's wait for a datagram after an empty receive slice: without
// limit, until one is queued or the server stops (its shutdown wakes it).
void Server::wait_readable() {
  pollfd ready{fd_, POLLIN, 0};
  while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
}

// Receives one datagram and dispatches it if it is accepted. Only the
// holder of the receiving role calls it.
Server::Received Server::receive_one() {
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
    POSIX_PLATFORM_TRACE("ipc %s: receiving failed (errno %d); the server receives no more\n", name_.c_str(), errno);
    return Received::kEnded;
  }
  std::size_t length = 0;
  const ucred* sender = nullptr;
  const char* refusal =
      AcceptDatagram(message, static_cast<std::size_t>(received), rule_, receive_buffer_.get(), &length, &sender);
  if (refusal != nullptr) {
    drop(sender, static_cast<std::size_t>(received), refusal);
  } else {
    dispatch(sender, static_cast<std::size_t>(received));
  }
  ForgetDatagram(receive_buffer_.get(), static_cast<std::size_t>(received));
  return Received::kDone;
}

void Server::dispatch(const ucred* sender, std::size_t received) {
  int size = 0;
  t_dispatching = sender;
  t_dispatching_received = received;
  t_dispatching_on = this;
  dispatch_(receive_buffer_.get(), send_buffer_.get(), &size);
  t_dispatching_on = nullptr;
  t_dispatching = nullptr;
}

void Server::drop(const ucred* sender, std::size_t received, const char* reason) {
  long pid = sender == nullptr ? -1 : static_cast<long>(sender->pid);
  long uid = sender == nullptr ? -1 : static_cast<long>(sender->uid);
  POSIX_PLATFORM_TRACE("ipc %s: dropped a datagram of %zu bytes from pid %ld uid %ld: %s\n", name_.c_str(), received,
                       pid, uid, reason);
}

namespace {

// The servers of this process by socket path. Thread-safe: mu_ covers the
// map and the start of a server, so two starts of one name cannot both bind.
// Stopping happens outside mu_: a dispatch may start or stop servers.
class ServerRegistry {
 public:
  RETCODE start(const char* name, const sockaddr_un& address, const std::string& path, ULONG stack_size,
                PGEN_IPC_DISPATCH dispatch, const SenderRule& rule, bool shared_folder) {
    commdir_sync::lock_guard lock(mu_);
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
    commdir_sync::lock_guard lock(mu_);
    return std::any_of(running_.begin(), running_.end(), [&](const auto& entry) {
      return entry.second != nullptr && entry.second->bound_to(device, inode);
    });
  }

  // The server at `path`, no longer registered, or null.
  std::shared_ptr<Server> take(const std::string& path) {
    commdir_sync::lock_guard lock(mu_);
    auto it = running_.find(path);
    if (it == running_.end()) return nullptr;
    std::shared_ptr<Server> server = std::move(it->second);
    running_.erase(it);
    return server;
  }

 private:
  commdir_sync::mutex mu_;
  std::map<std::string, std::shared_ptr<Server>> running_ GUARDED_BY(mu_);
};

ServerRegistry& Servers() {
  static auto* registry = new ServerRegistry;
  return *registry;
}

}  // namespace

bool IsOwnServerSocket(dev_t device, ino_t inode) { return Servers().serves_socket(device, inode); }

RETCODE StartServer(const char* name, ULONG stack_size, PGEN_IPC_DISPATCH dispatch, bool any_uid) {
  std::shared_ptr<const Setting> setting;
  sockaddr_un address;
  std::string path;
  RETCODE rc = LocateServer(name, &setting, &address, &path);
  if (rc != 0) return rc;
  if (dispatch == nullptr) return EINVAL;
  bool shared;
  rc = CheckFolder(*setting, &shared);
  const SenderRule rule{setting->euid, setting->service, any_uid};
  if (rc == 0) rc = Servers().start(name, address, path, stack_size, dispatch, rule, shared);
  if (rc != 0) NoteStartFailure(name, path, rc);
  return rc;
}

RETCODE BindServerSocket(const char* name, BoundSocket* bound) {
  std::shared_ptr<const Setting> setting = CurrentSetting();
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

const char* AcceptDatagram(const msghdr& message, std::size_t received, const SenderRule& rule, char* buffer,
                           std::size_t* length, const ucred** sender) {
  *sender = Credentials(message);
  if ((message.msg_flags & MSG_CTRUNC) != 0) return "it carried more than credentials";
  if (*sender == nullptr) return "no credentials came with it";
  const uid_t uid = (*sender)->uid;
  if (!rule.any_uid && uid != rule.euid && uid != 0 && uid != rule.service) return "the sender's uid is refused";
  if ((message.msg_flags & MSG_TRUNC) != 0) return "it is longer than the largest message";
  if (received < kMinDatagram) return "it is shorter than 128 bytes";
  const UINT length_word = commdir_wire::read_word(buffer, GEN_IPC_HDR_LENGTH_OFFSET);
  if (length_word > kMaxMessage) return "its length word is above the largest message";
  if (received > length_word) return "it is longer than its length word";
  *length = length_word;
  return nullptr;
}

void ForgetDatagram(char* buffer, std::size_t received) {
  explicit_bzero(buffer, received < kMaxMessage ? received : kMaxMessage);
}

void TraceAwaitedServerEnded(const std::string& path) {
  POSIX_PLATFORM_TRACE("ipc %s: the server that a reply was awaited from has ended; the wait gives up\n", path.c_str());
}

RETCODE RequestAdmin(const char* server_name, INT request) {
  std::shared_ptr<const Setting> setting;
  sockaddr_un address;
  std::string path;
  RETCODE rc = LocateServer(server_name, &setting, &address, &path);
  if (rc != 0) return rc;
  if (request != GEN_IPC_ADMIN_STOP) return EINVAL;
  std::shared_ptr<Server> server = Servers().take(path);
  if (server == nullptr) return ENOENT;
  server->stop();
  return 0;
}

}  // namespace commdir_posix
