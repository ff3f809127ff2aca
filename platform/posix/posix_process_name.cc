// The process name that emwOSWGetProcessName gives: the name under which the
// process serves its endpoints, which no live process of its folder holds.
//
// The library names a process's two servers after its process name: the
// reply server "utcp:DIR_CS_" and the name's first seven characters, the
// callback endpoint "utcp:DIR_SVR_" and its first five. Processes whose
// names share those characters (two copies of one program; phonebook-ui and
// phonebook-sync) would ask for the same endpoints, and all but one would
// serve none. So this platform gives each process a name whose two
// endpoints it holds itself:
//
//   - At its first emwOSWGetProcessName (and the first in a forked child)
//     the process tries names in order: its own name, as the kernel keeps it
//     (15 characters at most; a character that no endpoint name may hold,
//     outside A-Z a-z 0-9 _ . -, is written as '_'); then variants of it:
//     its first three characters, two characters that count 01, 02, ...
//     09, 0A ... 0Z, 0a ... 0z, 10 ... zz, and its characters from the sixth
//     on. "comm-dir" becomes "com01dir", "com02dir", ...; "list-people"
//     "lis01people"; a name shorter than three characters keeps them all
//     ("ab01").
//   - A name is taken when this process can bind both of its endpoints in
//     its folder. The kernel's bind decides, so processes that start in the
//     same moment never take one name twice. An endpoint whose file is a
//     live socket (one that accepts a connection), the library's or any
//     other program's, or a file that is not a socket, passes the name over
//     and is left alone; a socket file that refuses connections (its process
//     ended without removing it) is replaced, unless this user may not
//     remove it (another user's, in a sticky folder): that one passes the
//     name over too.
//   - The two sockets stay bound and are handed to the servers when the
//     library starts them (emwGENIpcStartServer with exactly those names),
//     so no one can take the names in between. A process that never starts
//     them keeps them until it ends; either way their files go when it ends
//     normally (posix_own_files.cc).
//   - The name is chosen once: every later call returns it, whatever the
//     process has renamed itself to meanwhile.
//   - When no name can be taken (the folder is refused, descriptors run out,
//     all 3,843 variants are held), the process keeps its own name, and the
//     start of its server says who holds it.
//
// Thread-safe: mu_ covers the choice and the sockets. Around a fork mu_ is
// held, so that the child finds it free and a choice whole; the child
// closes its copies of the parent's sockets and chooses again.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/commdir_thread_safety.h"
#include "platform/emw_osw.h"
#include "platform/posix/posix_endpoint_files.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {
namespace {

constexpr char kCallbackPrefix[] = "utcp:DIR_SVR_";
constexpr std::size_t kCallbackChars = 5;
constexpr char kReplyPrefix[] = "utcp:DIR_CS_";
constexpr std::size_t kReplyChars = 7;
constexpr std::size_t kNameChars = 15;  // and the NUL: the 16 bytes of the call
constexpr std::size_t kKeptChars = 3;
constexpr char kCounter[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kBase = sizeof kCounter - 1;
constexpr int kVariants = kBase * kBase - 1;  // "00" is not one

// The kernel's name for the process (its main thread's), which is also what
// ps shows, each character that no endpoint name may hold written as '_'.
RETCODE ReadOwnName(std::string* name) {
  const int fd = ::open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char text[kNameChars + 1] = {};
  const ssize_t n = ::read(fd, text, kNameChars);
  const int read_errno = errno;
  ::close(fd);
  if (n < 0) return read_errno;
  name->assign(text, static_cast<std::size_t>(n));
  while (!name->empty() && name->back() == '\n') name->pop_back();
  for (char& c : *name) {
    if (!EndpointNameChar(c)) c = '_';
  }
  return 0;
}

// The name to try in place `k`: 0 the process's own, then its variants.
std::string Candidate(const std::string& own, int k) {
  if (k == 0) return own;
  std::string variant = own.substr(0, kKeptChars);
  variant += kCounter[k / kBase];
  variant += kCounter[k % kBase];
  if (own.size() > kKeptChars + 2) variant += own.substr(kKeptChars + 2);
  return variant;
}

class ProcessName {
 public:
  ProcessName() { ::pthread_atfork(&ProcessName::Prepare, &ProcessName::Parent, &ProcessName::Child); }

  // The name, chosen at the first call; *rc is what reading the kernel's
  // name gave.
  std::string get(RETCODE* rc) {
    commdir_sync::lock_guard lock(mu_);
    if (!chosen_) choose();
    *rc = read_rc_;
    return name_;
  }

  int take(const std::string& path) {
    commdir_sync::lock_guard lock(mu_);
    for (BoundSocket& socket : reserved_) {
      if (socket.fd >= 0 && socket.path == path) {
        const int fd = socket.fd;
        socket = BoundSocket();
        return fd;
      }
    }
    return -1;
  }

 private:
  static void Prepare();
  static void Parent();
  static void Child();

  void choose() REQUIRES(mu_) {
    std::string own;
    read_rc_ = ReadOwnName(&own);
    name_ = own;
    chosen_ = true;
    for (int k = 0; k <= kVariants; ++k) {
      const std::string candidate = Candidate(own, k);
      const RETCODE rc = reserve(candidate);
      if (rc == 0) name_ = candidate;
      if (rc != EADDRINUSE) return;  // taken; or a refusal that the server's start will report
    }
    POSIX_PLATFORM_TRACE("ipc: process %s: every name that it could serve under is held in its folder\n", own.c_str());
  }

  // Binds the two endpoints of `name`, or neither.
  RETCODE reserve(const std::string& name) REQUIRES(mu_) {
    BoundSocket callback, reply;
    RETCODE rc = BindServerSocket((kCallbackPrefix + name.substr(0, kCallbackChars)).c_str(), &callback);
    if (rc == 0) rc = BindServerSocket((kReplyPrefix + name.substr(0, kReplyChars)).c_str(), &reply);
    if (rc != 0) {
      UnbindServerSocket(&callback);
      return rc;
    }
    reserved_[0] = callback;
    reserved_[1] = reply;
    return 0;
  }

  commdir_sync::mutex mu_;
  bool chosen_ GUARDED_BY(mu_) = false;
  std::string name_ GUARDED_BY(mu_);
  RETCODE read_rc_ GUARDED_BY(mu_) = 0;
  BoundSocket reserved_[2] GUARDED_BY(mu_);  // fd -1 once handed over
};

ProcessName& Name() {
  static auto* name = new ProcessName;  // never destroyed, like every table here
  return *name;
}

// The fork handlers hold mu_ across fork(): Prepare takes it, Parent and
// Child release it, each in its process; the analysis follows no lock from
// one function into another.
void ProcessName::Prepare() NO_THREAD_SAFETY_ANALYSIS { Name().mu_.lock(); }
void ProcessName::Parent() NO_THREAD_SAFETY_ANALYSIS { Name().mu_.unlock(); }

// The parent's sockets are the parent's: the child neither receives on them
// nor removes their files.
void ProcessName::Child() NO_THREAD_SAFETY_ANALYSIS {
  ProcessName& name = Name();
  for (BoundSocket& socket : name.reserved_) {
    if (socket.fd >= 0) ::close(socket.fd);
    socket = BoundSocket();
  }
  name.chosen_ = false;
  name.mu_.unlock();
}

}  // namespace

int TakeReservedSocket(const std::string& path) { return Name().take(path); }

}  // namespace commdir_posix

extern "C" RETCODE emwOSWGetProcessName(char* buffer) {
  if (buffer == nullptr) return EINVAL;
  RETCODE rc = 0;
  std::string name;
  try {
    name = commdir_posix::Name().get(&rc);
  } catch (const std::bad_alloc&) {
    rc = ENOMEM;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return rc;
}
