#include "service/comm_dir_operation.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <sstream>
#include <utility>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_ldap_session.h"
#include "service/comm_dir_ldap_uris.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {
namespace {

constexpr char kAllEntries[] = "(objectClass=*)";

// The blank-separated attribute names of a search condition, as libldap
// takes them: a null-terminated array whose strings live in `storage`.
std::vector<char*> attribute_list(const char* names, std::vector<std::string>* storage) {
  std::istringstream words(names);
  std::string name;
  while (words >> name) storage->push_back(name);
  std::vector<char*> list;
  for (std::string& stored : *storage) list.push_back(&stored[0]);
  list.push_back(nullptr);
  return list;
}

// The bound of each wait for a search with a time limit: the server's own
// limit normally answers first; a network timeout later catches a server
// that stopped answering. Capped, as the network timeout is, so that the sum
// fits a 32-bit long (the device's).
long time_limit_wait_ms(const timeval& limit, int network_timeout_ms) {
  constexpr long kLongestWaitMs = 999999999;
  if (limit.tv_sec >= kLongestWaitMs / 1000) return kLongestWaitMs;
  const long wait =
      static_cast<long>(limit.tv_sec) * 1000 + static_cast<long>(limit.tv_usec) / 1000 + network_timeout_ms;
  return wait < kLongestWaitMs ? wait : kLongestWaitMs;
}

// The search's time limit, at most the daemon's --max-search-time: a
// record may ask the server (and the worker that waits for it) for less,
// never more. Both the limit sent to the server and the wait are clamped.
timeval clamped_time_limit(const COMM_DIR_SEARCH_REQUEST& request, int max_seconds) {
  if (request.time_limit_sec >= max_seconds) return timeval{max_seconds, 0};
  return timeval{request.time_limit_sec, request.time_limit_usec};
}

}  // namespace

comm_dir_operation::comm_dir_operation(comm_dir_ldap_handle ld, int network_timeout_ms,
                                       const comm_dir_service_options& options, comm_dir_memory_budget* budget,
                                       uid_t user, comm_dir_failover* failover,
                                       std::unique_ptr<comm_dir_ldap_reopen> reopen)
    : ld_(std::move(ld)),
      network_timeout_ms_(network_timeout_ms),
      options_(options),
      memory_(budget, user),
      failover_(failover),
      reopen_(std::move(reopen)) {}

comm_dir_operation::~comm_dir_operation() {
  opening_.reset();
  drop_search();
}

comm_dir_step comm_dir_operation::search(const COMM_DIR_SEARCH_REQUEST& request) {
  drop_search();
  search_ = request;
  have_search_ = true;
  then_ = then::kSearched;
  return go(start_search());
}

comm_dir_step comm_dir_operation::first_entry() {
  if (!have_search_) return comm_dir_step::finished(COMM_DIR_SVC_NO_SEARCH);
  // A walk that has moved on starts the search again.
  then_ = walk_moved_ ? then::kFirstEntry : then::kAdvanced;
  return go(walk_moved_ ? start_search() : advance());
}

comm_dir_step comm_dir_operation::next_entry() {
  if (!have_search_) return comm_dir_step::finished(COMM_DIR_SVC_NO_SEARCH);
  then_ = then::kAdvanced;
  return go(advance());
}

comm_dir_step comm_dir_operation::resume(bool timed_out) {
  if (opening_ != nullptr) {
    const comm_dir_step step = opening_->resume(timed_out);
    return step.done() ? go(reopened(step.code)) : step;
  }
  if (!timed_out) return go(then_ == then::kAdvanced ? advance() : take_ahead());
  waiting_ = false;
  deadline_set_ = false;
  SERVICE_TRACE("no answer to the search within %ld ms", answer_wait_ms_);
  return go(finish(has_time_limit_ ? COMM_DIR_SVC_SEARCH_TIMEOUT : COMM_DIR_SVC_RESULT_TIMEOUT));
}

void comm_dir_operation::blocking_step() {
  if (opening_ != nullptr) opening_->blocking_step();
}

// Where a request goes after each step: it waits for the server's next
// message, fails over, or is done with `code`.
comm_dir_step comm_dir_operation::go(RETCODE code) {
  for (;;) {
    if (fail_over_) return fail_over();
    if (waiting_) {
      return comm_dir_step::waiting(
          comm_dir_wait::on::kReadable, descriptor(), answer_deadline_,
          then_ == then::kAdvanced ? comm_dir_waiting_on::kNextEntry : comm_dir_waiting_on::kFirstAnswer);
    }
    if (then_ == then::kAdvanced) return comm_dir_step::finished(code != 0 ? code : moved());
    // The first answer is read at search, so that a search the server
    // refuses (no such object, a bad base) fails at search and not at the
    // first entry.
    if (code == 0 && ahead_ == nullptr) code = final_code_;
    if (then_ == then::kSearched) {
      if (code != 0) free_result();
      return comm_dir_step::finished(code);
    }
    if (code != 0) return comm_dir_step::finished(code);
    then_ = then::kAdvanced;
    code = advance();
  }
}

int comm_dir_operation::descriptor() const {
  int fd = -1;
  ldap_get_option(ld_.get(), LDAP_OPT_DESC, &fd);
  return fd;
}

RETCODE comm_dir_operation::start_search() {
  drop_search();
  if (connection_lost_) return COMM_DIR_SVC_CONNECTION_LOST;
  LDAP* ld = ld_.get();
  const COMM_DIR_SEARCH_CONDITION& condition = search_.condition;
  const int deref = static_cast<int>(condition.deref);
  if (ldap_set_option(ld, LDAP_OPT_DEREF, &deref) != LDAP_OPT_SUCCESS) return comm_dir_code_from_ldap(LDAP_LOCAL_ERROR);
  std::vector<std::string> storage;
  std::vector<char*> attributes = attribute_list(condition.attributes, &storage);
  timeval limit = clamped_time_limit(search_, options_.max_search_time_s);
  has_time_limit_ = limit.tv_sec != 0 || limit.tv_usec != 0;
  const long idle_ms = options_.result_timeout_ms > 0 ? options_.result_timeout_ms : network_timeout_ms_;
  answer_wait_ms_ = has_time_limit_ ? time_limit_wait_ms(limit, network_timeout_ms_) : idle_ms;
  const int size_limit = search_.size_limit > INT_MAX ? INT_MAX : static_cast<int>(search_.size_limit);
  int rc = ldap_search_ext(ld, condition.base_dn, static_cast<int>(condition.scope),
                           condition.filter[0] != '\0' ? condition.filter : kAllEntries,
                           attributes.size() > 1 ? attributes.data() : nullptr, static_cast<int>(condition.types_only),
                           nullptr, nullptr, has_time_limit_ ? &limit : nullptr, size_limit, &msgid_);
  if (rc != LDAP_SUCCESS) {
    msgid_ = -1;
    return rc == LDAP_SERVER_DOWN ? lost(rc) : comm_dir_code_from_ldap(rc);
  }
  return take_ahead();
}

RETCODE comm_dir_operation::lost(int ldap_code) {
  connection_lost_ = true;
  SERVICE_TRACE("LDAP connection lost: LDAP code %d", ldap_code);
  // Before the connection's first answer, with URIs left: see the class comment.
  fail_over_ = reopen_ != nullptr;
  return comm_dir_code_from_ldap(ldap_code);
}

RETCODE comm_dir_operation::finish(RETCODE code) {
  // Nothing is sent on a lost connection: libldap would open a new one for it.
  if (msgid_ >= 0 && !finished_ && !connection_lost_) ldap_abandon_ext(ld_.get(), msgid_, nullptr, nullptr);
  msgid_ = -1;
  finished_ = true;
  final_code_ = code;
  return code;
}

// Takes the search's next message into ahead_: an entry, or nothing once
// the search has ended (final_code_ then says how). When none is there yet,
// sets waiting_ (the bound of that wait runs from the first look). Returns
// non-zero only when the answer could not be taken (lost connection).
RETCODE comm_dir_operation::take_ahead() {
  waiting_ = false;
  while (!finished_ && ahead_ == nullptr) {
    timeval no_wait{0, 0};
    LDAPMessage* message = nullptr;
    int rc = ldap_result(ld_.get(), msgid_, LDAP_MSG_ONE, &no_wait, &message);
    comm_dir_ldap_message owned(message);  // references and intermediate answers are not walked
    if (rc == 0) {
      if (!deadline_set_) answer_deadline_ = comm_dir_wait::clock::now() + std::chrono::milliseconds(answer_wait_ms_);
      deadline_set_ = true;
      waiting_ = true;
      return 0;
    }
    deadline_set_ = false;
    if (rc < 0) {
      ldap_get_option(ld_.get(), LDAP_OPT_RESULT_CODE, &rc);
      return finish(lost(rc != LDAP_SUCCESS ? rc : LDAP_SERVER_DOWN));
    }
    reopen_.reset();  // the server has answered: no failover from here on
    if (rc == LDAP_RES_SEARCH_ENTRY) {
      if (!memory_.keep(ld_.get(), owned.release())) return finish(COMM_DIR_SVC_MEMORY_LIMIT);
      ahead_ = message;
      return 0;
    }
    if (rc == LDAP_RES_SEARCH_RESULT) {
      int result = LDAP_OTHER;
      int parsed = ldap_parse_result(ld_.get(), owned.release(), &result, nullptr, nullptr, nullptr, nullptr, 1);
      msgid_ = -1;
      finish(comm_dir_code_from_ldap(parsed == LDAP_SUCCESS ? result : parsed));
      return 0;
    }
  }
  return 0;
}

// Makes sure that an entry is read ahead, unless the search has ended.
RETCODE comm_dir_operation::advance() {
  release_entry();
  return ahead_ == nullptr ? take_ahead() : 0;
}

// The entry read ahead becomes the current one.
RETCODE comm_dir_operation::moved() {
  if (ahead_ == nullptr) return final_code_ != 0 ? final_code_ : COMM_DIR_SVC_NO_MORE_ENTRIES;
  current_ = ahead_;
  ahead_ = nullptr;
  walk_moved_ = true;
  return 0;
}

// The connection was lost before its first answer: the URIs that were not
// tried are opened, without a bind (the operation has none).
comm_dir_step comm_dir_operation::fail_over() {
  fail_over_ = false;
  const std::vector<std::string> uris = comm_dir_ldap_uri_list(reopen_->connect.uri);
  comm_dir_uri_failure lost;
  lost.uri = reopen_->serving < uris.size() ? uris[reopen_->serving] : "";
  lost.code = comm_dir_code_from_ldap(LDAP_SERVER_DOWN);
  lost.reason = "search " + lost.uri + ": " + ldap_err2string(LDAP_SERVER_DOWN);
  lost.at = std::chrono::system_clock::now();
  SERVICE_TRACE("%s before its first answer: failing over", lost.reason.c_str());
  opening_ = std::make_unique<comm_dir_ldap_opening>(*reopen_, lost, options_, failover_);
  const comm_dir_step step = opening_->begin();
  return step.done() ? go(reopened(step.code)) : step;
}

// Once the failover's opening is done: the search goes to the connection
// that it opened, or fails with its code.
RETCODE comm_dir_operation::reopened(RETCODE code) {
  if (code == 0) {
    ld_ = opening_->take();
    reopen_ = opening_->reopen();
    connection_lost_ = false;
  } else {
    reopen_.reset();
  }
  opening_.reset();
  return code == 0 ? start_search() : finish(code);
}

RETCODE comm_dir_operation::take_attribute(char* attribute, std::string* name) {
  name->clear();
  if (attribute == nullptr) return 0;
  const std::size_t length = std::strlen(attribute);
  const bool fits = length <= static_cast<std::size_t>(COMM_DIR_MAX_ATTRIBUTE_NAME);
  if (fits) name->assign(attribute, length);
  ldap_memfree(attribute);
  return fits ? 0 : COMM_DIR_SVC_NAME_TOO_LONG;
}

RETCODE comm_dir_operation::first_attribute(std::string* name) {
  if (current_ == nullptr) return COMM_DIR_SVC_NO_ENTRY;
  ber_.reset();
  BerElement* ber = nullptr;
  char* attribute = ldap_first_attribute(ld_.get(), current_, &ber);
  ber_.reset(ber);
  return take_attribute(attribute, name);
}

RETCODE comm_dir_operation::next_attribute(std::string* name) {
  if (current_ == nullptr) return COMM_DIR_SVC_NO_ENTRY;
  if (ber_ == nullptr) return COMM_DIR_SVC_NO_ATTRIBUTE_WALK;
  return take_attribute(ldap_next_attribute(ld_.get(), current_, ber_.get()), name);
}

RETCODE comm_dir_operation::values(const char* attribute, comm_dir_values* out) {
  if (current_ == nullptr) return COMM_DIR_SVC_NO_ENTRY;
  if (!values_valid_ || values_attribute_ != attribute) {
    release_values();
    berval** values = ldap_get_values_len(ld_.get(), current_, attribute);
    if (!memory_.keep(values)) return COMM_DIR_SVC_MEMORY_LIMIT;
    values_ = values;
    values_attribute_ = attribute;
    values_valid_ = true;
  }
  out->values = values_;
  out->count = values_ != nullptr ? ldap_count_values_len(values_) : 0;
  return 0;
}

bool comm_dir_operation::answers_from_memory(int function_id) const {
  const bool entry_at_hand = !have_search_ || ahead_ != nullptr || finished_;
  if (comm_dir_is_value_request(function_id)) return true;  // parsed out of the current entry
  switch (function_id) {
    case COMM_DIR_FUNC_GET_FIRST_ENTRY: return entry_at_hand && !walk_moved_;  // a walk that moved on searches again
    case COMM_DIR_FUNC_GET_NEXT_ENTRY: return entry_at_hand;
    case COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE:
    case COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE: return true;  // parsed out of the current entry
    default: return false;  // search, end and free talk to the server (search, unbind, abandon)
  }
}

void comm_dir_operation::free_result() {
  drop_search();
  have_search_ = false;
}

void comm_dir_operation::drop_search() {
  release_entry();
  if (ahead_ != nullptr) memory_.free(ld_.get(), ahead_);
  ahead_ = nullptr;
  finish(0);
  finished_ = false;
  walk_moved_ = false;
}

void comm_dir_operation::release_entry() {
  release_values();
  ber_.reset();
  if (current_ != nullptr) memory_.free(ld_.get(), current_);
  current_ = nullptr;
}

void comm_dir_operation::release_values() {
  if (values_ != nullptr) memory_.free(values_);
  values_ = nullptr;
  values_valid_ = false;
}

}  // namespace velmarosta
