// A server of the POSIX message IPC, shared by its receiving thread
// (posix_servers.cc) and the hand-off that lets a caller receive its own
// reply (posix_reply_handoff.cc).
#ifndef COMMDIR_PLATFORM_POSIX_POSIX_SERVER_H_
#define COMMDIR_PLATFORM_POSIX_POSIX_SERVER_H_

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/commdir_thread_safety.h"
#include "platform/emw_gen_ipc.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {

// The server whose message this thread is dispatching, or null.
extern thread_local const void* t_dispatching_on;

// One running server. Its receiving thread owns a reference while it runs;
// the registry owns the other until the server is stopped.
// Thread-safe: after start() only stopping_ (atomic) and the receiving role
// (role_mu_) change; the receive buffers belong to the role's holder.
class Server {
 public:
  Server(std::string name, std::string path, PGEN_IPC_DISPATCH dispatch, const SenderRule& rule, bool shared_folder)
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

  RETCODE start(const std::shared_ptr<Server>& self, const sockaddr_un& address, ULONG stack_size);
  void stop();

  std::shared_ptr<Server> shared() const { return self_.lock(); }
  bool bound_to(dev_t device, ino_t inode) const { return device == bound_device_ && inode == bound_inode_; }

  // The hand-off (posix_reply_handoff.cc): waits for the reply that
  // `awaiter` stands for, receiving on this server when no one else does.
  RETCODE await(ReplyAwaiter& awaiter, UINT client);

 private:
  static void* run(void* raw);
  RETCODE start_thread(const std::shared_ptr<Server>& self, ULONG stack_size);
  bool set_receive_slice();

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
    kDone,   // dispatched, dropped, ignored, or a shortage that passes
    kNone,   // nothing came within the receive time-out
    kEnded,  // the server stops and its queue is empty, or receiving failed for good
  };
  // What receive_until_arrived gives when its caller must wait as before.
  static constexpr RETCODE kGaveUp = -1;

  void receive_loop();
  void wait_readable();
  Received receive_one();
  void dispatch(const ucred* sender, std::size_t received);
  void drop(const ucred* sender, std::size_t received, const char* reason);

  // The hand-off's side of the server (posix_reply_handoff.cc).
  void take_role_for_thread();
  static void answered(void* target);
  void note_caller();
  std::chrono::steady_clock::time_point caller_seen();
  RETCODE receive_until_arrived(ReplyAwaiter& awaiter, UINT client);
  static void kick(void* target);

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
  commdir_sync::mutex role_mu_;
  commdir_sync::condition_variable role_cv_;  // the thread waits on it for the role
  bool receiving_ GUARDED_BY(role_mu_) = false;
  bool handed_to_thread_ GUARDED_BY(role_mu_) = false;  // a caller passed the role on
  // Callers that wait on their event while another receives, whose reply
  // has not come yet. Atomic: counted down under the event's lock, which
  // must not take role_mu_ (await takes them the other way round).
  std::atomic<int> awaited_{0};
  // When a caller last came, went or had its reply. Under a lock of its
  // own, taken last: the answered() hook runs under an event's lock, and
  // must not take role_mu_.
  commdir_sync::mutex seen_mu_ ACQUIRED_AFTER(role_mu_);
  std::chrono::steady_clock::time_point caller_seen_ GUARDED_BY(seen_mu_);
  // Set once by stop(); release/acquire so that the thread that wakes from
  // recvmsg sees it.
  std::atomic<bool> stopping_{false};
};

}  // namespace commdir_posix

#endif  // COMMDIR_PLATFORM_POSIX_POSIX_SERVER_H_
