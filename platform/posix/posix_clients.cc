// The clients of the POSIX message IPC: a pool of connected sockets, the
// client handles that borrow them, and sending a message.
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/commdir_thread_safety.h"
#include "platform/commdir_wire_words.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/commdir_posix_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_ipc_parts.h"

namespace commdir_posix {

// --- clients -------------------------------------------------------------------

namespace {

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
    commdir_sync::lock_guard lock(mu_);
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
      commdir_sync::lock_guard lock(mu_);
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
  commdir_sync::mutex mu_;
  std::unordered_map<std::string, std::vector<Idle>> idle_ GUARDED_BY(mu_);
  std::size_t count_ GUARDED_BY(mu_) = 0;
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
  std::atomic<uid_t> owner_;         // the owner of the server it is connected to
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

}  // namespace

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

// The first word of a client record receives the handle.
void StoreHandle(void* record, UINT handle) { commdir_wire::write_word(static_cast<char*>(record), 0, handle); }

// A client of the server `server_name` whose socket file belongs to one of
// `owners` (those of `setting` when null).
RETCODE CreateClient(const char* client_name, const char* server_name, const TrustedUids* owners, void* clnt) {
  if (clnt == nullptr || client_name == nullptr || client_name[0] == '\0' ||
      ::strnlen(client_name, kMaxNameLength + 1) > kMaxNameLength) {
    return EINVAL;
  }
  std::shared_ptr<const Setting> setting = CurrentSetting();
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
  char* const head = reinterpret_cast<char*>(&header);
  commdir_wire::write_word(head, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(length));
  commdir_wire::write_word(head, GEN_IPC_HDR_KIND_OFFSET, static_cast<UINT>(kind));
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

int ClientFd(UINT handle) {
  std::shared_ptr<Client> client = Clients().find(handle);
  return client == nullptr ? -1 : client->fd();
}

RETCODE DestroyClient(UINT handle) { return Clients().remove(handle) == nullptr ? EINVAL : 0; }

}  // namespace commdir_posix
