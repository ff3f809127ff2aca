// What the daemon holds of LDAP results for its users, and its bounds.
//
// An operation holds the search messages of its walk (the current entry,
// and the first one read ahead by the search) and the value list of one
// attribute of the current entry. The server decides how large they are: a
// message may be as large as the daemon takes one (4 MiB), and a value list
// copies its values. Without a bound, one user with as many operations as
// it may open made the daemon hold gigabytes. So, as kept replies are
// counted (comm_dir_reply_delivery.h), each message and value list is
// counted when an operation keeps it, against three budgets: kPerOperation
// for one operation (a message of the largest size and a value list made of
// it fit), --max-held-bytes-per-user for all operations of one user, and
// kInAll for the daemon. One that would go beyond a budget is freed at
// once, traced, and its request answered COMM_DIR_SVC_MEMORY_LIMIT; the
// operation stays usable, and holds what it held before.
//
// What is counted is what the allocator hands out for it: a message's
// bytes, and a value list's bytes, NULs, records and pointers, each with the
// allocator's overhead per block (comm_dir_memory_budget.cc).
//
// Freed memory goes back to the system: blocks of kMapFrom bytes or more
// are mapped on their own (the allocator would otherwise raise that bound
// as large blocks are freed, and keep later ones in its heaps), and after
// kTrimAfter bytes have been given back the heaps are trimmed
// (malloc_trim), on the thread that gave back the last of them.
//
// Thread-safe: mu_ guards the counts. An account is used by its operation's
// requests, which are served one at a time.
#ifndef COMMDIR_SERVICE_COMM_DIR_MEMORY_BUDGET_H_
#define COMMDIR_SERVICE_COMM_DIR_MEMORY_BUDGET_H_

#include <ldap.h>
#include <sys/types.h>

#include <cstddef>
#include <map>

#include "platform/commdir_thread_safety.h"

namespace velmarosta {

class comm_dir_memory_budget {
 public:
  static constexpr std::size_t kPerOperation = 12u << 20;
  static constexpr std::size_t kInAll = 128u << 20;
  static constexpr std::size_t kMapFrom = 256u << 10;
  static constexpr std::size_t kTrimAfter = 4u << 20;

  // One operation's share, counted for its user.
  class account {
   public:
    account(comm_dir_memory_budget* budget, uid_t user) : budget_(budget), user_(user) {}
    ~account() { give_back(held_); }
    account(const account&) = delete;
    account& operator=(const account&) = delete;

    // Counts `message` (an entry), or `values` (none when null), that the
    // operation is about to keep. Past a budget: frees it, traces, counts
    // nothing and returns false.
    bool keep(LDAP* ld, LDAPMessage* message);
    bool keep(berval** values);
    // Frees what keep() counted, and counts it no longer.
    void free(LDAP* ld, LDAPMessage* message);
    void free(berval** values);

   private:
    bool take(std::size_t bytes);
    void give_back(std::size_t bytes);

    comm_dir_memory_budget* const budget_;
    const uid_t user_;
    std::size_t held_ = 0;
  };

  explicit comm_dir_memory_budget(std::size_t per_user);
  comm_dir_memory_budget(const comm_dir_memory_budget&) = delete;
  comm_dir_memory_budget& operator=(const comm_dir_memory_budget&) = delete;

  // What an entry message, and a value list, count.
  static std::size_t bytes_of(LDAP* ld, LDAPMessage* message);
  static std::size_t bytes_of(berval** values);

 private:
  bool take(uid_t user, std::size_t operation_holds, std::size_t bytes);
  void give_back(uid_t user, std::size_t bytes);

  const std::size_t per_user_;
  commdir_sync::mutex mu_;
  std::size_t held_ GUARDED_BY(mu_) = 0;
  std::map<uid_t, std::size_t> held_of_ GUARDED_BY(mu_);  // no zero counts
  std::size_t given_back_since_trim_ GUARDED_BY(mu_) = 0;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_MEMORY_BUDGET_H_
