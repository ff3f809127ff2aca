// Faults preloaded into the daemon (LD_PRELOAD) that no part of it makes by
// itself, brought in from outside rather than by a path in the daemon that
// only tests take:
//   - ldap_initialize blocks its thread for good when the URI names the host
//     "hang.invalid", as a libldap call that never returns would (the
//     watchdog's test);
//   - with COMMDIR_FAIL_OPERATION_NEW in the daemon's environment, the first
//     allocation of an operation (comm_dir_operation) throws std::bad_alloc:
//     the one that follows the connect of a start, while the opening still
//     holds the connection. Only the daemon of the row that sets the
//     variable gets it, and only once, so that the next start is served.
// Why it is built so:
//   - armed only once libldap made a handle, so that an allocation of the
//     same size while the daemon starts cannot take the fault;
//   - the size comes from the operation's own header, compiled with the
//     daemon's flags, so that it matches under every sanitizer without the
//     test knowing it (the integration tests run on the host only: the
//     cross build has no daemon);
//   - every other allocation goes on to the operator new that comes next
//     (a sanitizer's, or the C++ library's), looked up by its mangled name
//     for the size_t of the host: the sanitizers check that what their
//     delete frees came from their new, so only this one operator is
//     replaced and the pair stays whole.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "service/comm_dir_operation.h"

static std::atomic<bool> g_armed{false}, g_failed{false};  // the operation's allocation: armed, failed once

extern "C" int ldap_initialize(LDAP** ld, const char* uri) {
  if (uri != nullptr && std::strstr(uri, "//hang.invalid") != nullptr) {
    for (;;) ::pause();  // the daemon's threads block its signals: no handler ends this
  }
  if (std::getenv("COMMDIR_FAIL_OPERATION_NEW") != nullptr) g_armed = true;
  static const auto real = reinterpret_cast<int (*)(LDAP**, const char*)>(::dlsym(RTLD_NEXT, "ldap_initialize"));
  return real(ld, uri);
}

void* operator new(std::size_t size) {
  if (size == sizeof(velmarosta::comm_dir_operation) && g_armed && !g_failed.exchange(true)) throw std::bad_alloc();
  static const auto next =
      reinterpret_cast<void* (*)(std::size_t)>(::dlsym(RTLD_NEXT, sizeof size == 8 ? "_Znwm" : "_Znwj"));
  return next(size);
}
