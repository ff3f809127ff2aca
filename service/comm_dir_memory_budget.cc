#include "service/comm_dir_memory_budget.h"

#include <malloc.h>

#include <algorithm>
#include <limits>

#include "service/comm_dir_ldap_handle.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

// What glibc's allocator hands out for `size` bytes: the block with its size
// word, in steps of 16 bytes, 32 at least. (A block of kMapFrom bytes or
// more is mapped and costs whole pages, which such a block nearly fills.)
std::size_t block(std::size_t size) {
  return std::max<std::size_t>(32, (size + sizeof(std::size_t) + 15) & ~std::size_t{15});
}

// A message's own records beside its bytes: libldap's message and its BER
// element.
constexpr std::size_t kMessageRecords = 256;
// A message whose size cannot be read (it is malformed) is not kept.
constexpr std::size_t kUncountable = std::numeric_limits<std::size_t>::max();

}  // namespace

comm_dir_memory_budget::comm_dir_memory_budget(std::size_t per_user) : per_user_(per_user) {
  // A fixed bound, so that every large block is mapped on its own and
  // unmapped when freed (glibc raises its bound as large blocks are freed).
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMapFrom));
}

std::size_t comm_dir_memory_budget::bytes_of(LDAP* ld, LDAPMessage* message) {
  BerElement* ber = nullptr;
  berval dn{};
  ber_len_t total = 0;
  const bool got = ldap_get_dn_ber(ld, message, &ber, &dn) == LDAP_SUCCESS;
  const comm_dir_ber_element owned(ber);
  const bool read = got && ber_get_option(ber, LBER_OPT_TOTAL_BYTES, &total) == LBER_OPT_SUCCESS;
  return read ? block(total) + kMessageRecords : kUncountable;
}

std::size_t comm_dir_memory_budget::bytes_of(berval** values) {
  std::size_t bytes = 0, count = 0;
  for (; values != nullptr && values[count] != nullptr; ++count) {
    bytes += block(sizeof(berval)) + block(values[count]->bv_len + 1);
  }
  return values == nullptr ? 0 : bytes + block((count + 1) * sizeof(berval*));
}

bool comm_dir_memory_budget::account::keep(LDAP* ld, LDAPMessage* message) {
  comm_dir_ldap_message owned(message);
  if (!take(bytes_of(ld, message))) return false;
  owned.release();  // held on by the caller, counted
  return true;
}

bool comm_dir_memory_budget::account::keep(berval** values) {
  if (take(bytes_of(values))) return true;
  ldap_value_free_len(values);
  return false;
}

// Counted off once the memory is free, so that a trim finds it.
void comm_dir_memory_budget::account::free(LDAP* ld, LDAPMessage* message) {
  std::size_t bytes = 0;
  {
    const comm_dir_ldap_message owned(message);
    bytes = bytes_of(ld, message);
  }
  give_back(bytes);
}

void comm_dir_memory_budget::account::free(berval** values) {
  const std::size_t bytes = bytes_of(values);
  ldap_value_free_len(values);
  give_back(bytes);
}

bool comm_dir_memory_budget::account::take(std::size_t bytes) {
  if (!budget_->take(user_, held_, bytes)) return false;
  held_ += bytes;
  return true;
}

void comm_dir_memory_budget::account::give_back(std::size_t bytes) {
  bytes = std::min(bytes, held_);
  held_ -= bytes;
  budget_->give_back(user_, bytes);
}

// The operation holds at most kPerOperation, the user at most per_user_ and
// the daemon at most kInAll, so none of the differences below wraps.
bool comm_dir_memory_budget::take(uid_t user, std::size_t operation_holds, std::size_t bytes) {
  commdir_sync::lock_guard lock(mu_);
  auto it = held_of_.find(user);
  const std::size_t user_holds = it == held_of_.end() ? 0 : it->second;
  if (bytes > kPerOperation - operation_holds || bytes > per_user_ - user_holds || bytes > kInAll - held_) {
    SERVICE_TRACE(
        "a result of %zu bytes not kept for an operation of uid %ld: the operation holds %zu bytes (at "
        "most %zu), its user %zu (at most %zu), the daemon %zu (at most %zu)",
        bytes, static_cast<long>(user), operation_holds, kPerOperation, user_holds, per_user_, held_, kInAll);
    return false;
  }
  if (bytes == 0) return true;
  held_ += bytes;
  held_of_[user] = user_holds + bytes;
  return true;
}

void comm_dir_memory_budget::give_back(uid_t user, std::size_t bytes) {
  if (bytes == 0) return;
  bool trim = false;
  {
    commdir_sync::lock_guard lock(mu_);
    held_ -= std::min(bytes, held_);
    auto it = held_of_.find(user);
    if (it != held_of_.end()) {
      it->second -= std::min(bytes, it->second);
      if (it->second == 0) held_of_.erase(it);
    }
    given_back_since_trim_ += bytes;
    trim = given_back_since_trim_ >= kTrimAfter;
    if (trim) given_back_since_trim_ = 0;
  }
  if (trim) malloc_trim(0);
}

}  // namespace velmarosta
