// The owners of libldap's resources, each freed when its owner goes, on
// every path: the handle with its connection (unbound, which closes the
// connection), a message chain, and the element that walks a message's
// attributes. Nothing else in the daemon frees them by hand.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_HANDLE_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_HANDLE_H_

#include <ldap.h>

#include <memory>
#include <utility>

namespace velmarosta {

class comm_dir_ldap_handle {
 public:
  comm_dir_ldap_handle() = default;
  ~comm_dir_ldap_handle() { reset(); }
  comm_dir_ldap_handle(comm_dir_ldap_handle&& other) noexcept : ld_(std::exchange(other.ld_, nullptr)) {}
  comm_dir_ldap_handle& operator=(comm_dir_ldap_handle&& other) noexcept {
    if (this != &other) {
      reset();
      ld_ = std::exchange(other.ld_, nullptr);
    }
    return *this;
  }
  comm_dir_ldap_handle(const comm_dir_ldap_handle&) = delete;
  comm_dir_ldap_handle& operator=(const comm_dir_ldap_handle&) = delete;

  LDAP** out() { return &ld_; }
  LDAP* get() const { return ld_; }
  explicit operator bool() const { return ld_ != nullptr; }
  void reset() {
    if (ld_ != nullptr) ldap_unbind_ext(ld_, nullptr, nullptr);
    ld_ = nullptr;
  }

 private:
  LDAP* ld_ = nullptr;
};

struct comm_dir_ldap_message_free {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using comm_dir_ldap_message = std::unique_ptr<LDAPMessage, comm_dir_ldap_message_free>;

// The element's buffer is its message's, freed with the message: only the
// element itself goes.
struct comm_dir_ber_element_free {
  void operator()(BerElement* ber) const { ber_free(ber, 0); }
};
using comm_dir_ber_element = std::unique_ptr<BerElement, comm_dir_ber_element_free>;

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_HANDLE_H_
