// A fault for the daemon's watchdog test, preloaded into the daemon
// (LD_PRELOAD): ldap_initialize blocks its thread for good when the URI
// names the host "hang.invalid", as a libldap call that never returns
// would; every other call goes on to libldap. No part of the daemon hangs
// so by itself (each wait of its own is bounded), so the test brings the
// hang in from outside, without a path in the daemon that only tests take.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

struct ldap;

extern "C" int ldap_initialize(ldap** ld, const char* uri) {
  if (uri != nullptr && std::strstr(uri, "//hang.invalid") != nullptr) {
    for (;;) ::pause();  // the daemon's threads block its signals: no handler ends this
  }
  using initialize = int (*)(ldap**, const char*);
  static const auto real = reinterpret_cast<initialize>(::dlsym(RTLD_NEXT, "ldap_initialize"));
  return real(ld, uri);
}
