// One open operation: its own LDAP connection, its search and the position
// of its entry and attribute walks.
//
// Memory does not grow with the size of a result: the search runs
// asynchronously and its answers are taken one message at a time
// (ldap_result with LDAP_MSG_ONE), so the operation holds at most the
// current entry and one entry read ahead, while the rest waits in the
// server's TCP stream. The values of one attribute of the current entry are
// fetched once and kept, so that the count, length and value requests of a
// value list are answered from memory.
//
// What it keeps of a result (entries, a value list) is counted against its
// user's budgets (comm_dir_memory_budget.h). An entry beyond them ends the
// search with COMM_DIR_SVC_MEMORY_LIMIT (no entry is skipped: a later
// get_first_entry searches again); a value list beyond them answers its
// request so.
//
// No request waits on the server with a thread: search, first_entry and
// next_entry return a step that is done, or the wait for the server's next
// message (comm_dir_wait.h), after which resume() goes on; libldap is asked
// for answers without waiting (ldap_result with a zero time-out) on a
// socket that never blocks. No wait is without a bound: the search's first
// answer and each next entry are awaited at most the search's time limit
// plus the network timeout (the server's own time limit normally answers
// first), or the result timeout (by default the network timeout) when the
// search has no time limit. A connection that is lost (reset, closed, a
// notice of disconnection) stays lost: libldap would open a new one by
// itself at the next search, without the operation's bind, so the operation
// answers COMM_DIR_SVC_CONNECTION_LOST instead until it is ended.
//
// One exception: an operation without a bind whose record names further
// URIs fails over when its connection is lost before the server's first
// answer to its first search: it opens the next URI that answers
// (comm_dir_ldap_opening.h) and sends the search there. Once any answer has
// come, never: an entry that was handed out must not come twice. An
// operation with a bind sent the bind first, and failed over then if at
// all; failing over at its search would need its password kept beyond the
// bind, and the daemon wipes it once used.
//
// Not thread-safe, and needs not be: the scheduler serves the requests of an
// operation one at a time, and a request that waits holds its operation.
// Consecutive steps may run on different threads; the scheduler's and the
// event loop's mutexes order each one after the one before.
#ifndef COMMDIR_SERVICE_COMM_DIR_OPERATION_H_
#define COMMDIR_SERVICE_COMM_DIR_OPERATION_H_

#include <ldap.h>

#include <memory>
#include <string>
#include <vector>

#include "client/comm_dir_messages.h"
#include "service/comm_dir_failover.h"
#include "service/comm_dir_ldap_handle.h"
#include "service/comm_dir_ldap_opening.h"
#include "service/comm_dir_memory_budget.h"
#include "service/comm_dir_service_options.h"
#include "service/comm_dir_wait.h"

namespace velmarosta {

// The values of one attribute of the current entry; owned by the operation
// and valid until its next request.
struct comm_dir_values {
  berval** values = nullptr;  // null when the entry has no such attribute
  int count = 0;
};

class comm_dir_operation final : public comm_dir_resumable {
 public:
  // Takes the bound connection `ld`; counts what it keeps in `budget` for
  // `user`; `reopen`, when not null, lets the first search fail over (see
  // the class comment).
  comm_dir_operation(comm_dir_ldap_handle ld, int network_timeout_ms, const comm_dir_service_options& options,
                     comm_dir_memory_budget* budget, uid_t user, comm_dir_failover* failover,
                     std::unique_ptr<comm_dir_ldap_reopen> reopen);
  ~comm_dir_operation();  // unbinds
  comm_dir_operation(const comm_dir_operation&) = delete;
  comm_dir_operation& operator=(const comm_dir_operation&) = delete;

  // Starts the search; a failure that the server reports before the first
  // entry (no such object, a bad filter) is its result.
  comm_dir_step search(const COMM_DIR_SEARCH_REQUEST& request);
  // Moves to the first entry (starting the search again if the walk has
  // moved on) or to the next one. COMM_DIR_SVC_NO_MORE_ENTRIES at the end, or
  // the server's final code when the search ended with one (size limit).
  comm_dir_step first_entry();
  comm_dir_step next_entry();
  // Goes on with the one of the three above that waits.
  comm_dir_step resume(bool timed_out) override;
  void blocking_step() override;
  // The current entry's first or next attribute name; empty after the last.
  RETCODE first_attribute(std::string* name);
  RETCODE next_attribute(std::string* name);
  // The values of `attribute` in the current entry.
  RETCODE values(const char* attribute, comm_dir_values* out);
  // Drops the search and everything it holds; the connection stays.
  void free_result();
  // True when the request `function_id` is answered from what the operation
  // holds (attribute names and values of the current entry, an entry already
  // read, the end of a search already reached), without waiting on the LDAP
  // server.
  bool answers_from_memory(int function_id) const;

 private:
  // What the request that waits does once the message is there.
  enum class then { kSearched, kFirstEntry, kAdvanced };

  comm_dir_step go(RETCODE code);
  RETCODE start_search();
  RETCODE take_ahead();
  RETCODE finish(RETCODE code);
  RETCODE advance();
  RETCODE moved();
  comm_dir_step fail_over();
  RETCODE reopened(RETCODE code);
  RETCODE take_attribute(char* attribute, std::string* name);
  RETCODE lost(int ldap_code);
  int descriptor() const;
  void drop_search();
  void release_entry();
  void release_values();

  comm_dir_ldap_handle ld_;
  const int network_timeout_ms_;
  const comm_dir_service_options& options_;
  comm_dir_memory_budget::account memory_;
  comm_dir_failover* const failover_;
  std::unique_ptr<comm_dir_ldap_reopen> reopen_;    // until the connection's first answer
  std::unique_ptr<comm_dir_ldap_opening> opening_;  // a failover under way
  bool fail_over_ = false;                          // the connection was lost before its first answer

  bool have_search_ = false;
  COMM_DIR_SEARCH_REQUEST search_{};  // kept to start the walk again
  int msgid_ = -1;                    // the running search, or -1
  RETCODE final_code_ = 0;            // how the search ended, once it has
  bool finished_ = false;             // the search's last message was taken
  bool walk_moved_ = false;           // an entry has been taken since the search started
  bool has_time_limit_ = false;       // of the running search
  long answer_wait_ms_ = 0;           // the bound of each wait for the running search
  then then_ = then::kSearched;       // of the request under way
  bool waiting_ = false;              // for the server's next message
  bool deadline_set_ = false;         // answer_deadline_ is that of the message awaited
  comm_dir_wait::clock::time_point answer_deadline_;
  bool connection_lost_ = false;    // for good: see the class comment
  LDAPMessage* ahead_ = nullptr;    // an entry read ahead by search()
  LDAPMessage* current_ = nullptr;  // the current entry
  comm_dir_ber_element ber_;        // attribute position in current_
  std::string values_attribute_;    // whose values values_ holds
  berval** values_ = nullptr;
  bool values_valid_ = false;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_OPERATION_H_
