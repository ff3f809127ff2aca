// The owner of one libldap handle and its connection: unbound (which closes
// the connection) when the owner goes, on every path.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_HANDLE_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_HANDLE_H_

#include <ldap.h>

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

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_HANDLE_H_
