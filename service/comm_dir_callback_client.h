// The daemon's callbacks into applications: the report of a connection test
// run in COMM_DIR_TEST_MODE_CALLBACK, sent as a request (function id 0) to
// the callback server that the test's record names.
//
// The request is a COMM_DIR_CHECK_CONNECTION_REQUEST: the test's result code
// stands where the test mode stood (payload byte 72, the word the callback
// object receives), and the record follows with its findings, so its first
// word is the record's callback object word (payload byte 76).
//
// An application that is gone or never answers never holds the daemon, nor
// any thread of it: a report is a comm_dir_resumable whose waits the event
// loop watches (comm_dir_wait.h). A send that finds the application's queue
// full is tried again every kRetryMs within the callback time-out, one that
// fails otherwise is given up at once, and an answer that does not come
// within the callback time-out after the send is given up and traced. The
// answers arrive on
// the daemon's own reply server (COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER),
// whose dispatch function finds the waiting report by the `reply_buffer`
// word in a word table and opens its latch; a late or forged answer finds
// nothing and is dropped.
// Applications of other users answer there too: the reply server takes the
// answers of every user whom the daemon serves, and of no one else.
//
// Thread-safe: start() and stop() from the main thread; any number of
// reports at once, each used by one thread at a time.
#ifndef COMMDIR_SERVICE_COMM_DIR_CALLBACK_CLIENT_H_
#define COMMDIR_SERVICE_COMM_DIR_CALLBACK_CLIENT_H_

#include <sys/types.h>

#include <memory>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_records.h"
#include "service/comm_dir_allow_list.h"
#include "service/comm_dir_event_loop.h"
#include "service/comm_dir_wait.h"

namespace velmarosta {

class comm_dir_callback_client {
 public:
  // Starts the daemon's reply server for callback answers, taking those of
  // the users that `allowed` admits; it must outlive stop(). Returns the
  // platform's code.
  static RETCODE start(const comm_dir_allow_list* allowed);
  static void stop();
};

// One report of `result` of the test in `info` to the callback server named
// in it, on behalf of `requester` (the uid that asked for the test).
class comm_dir_callback_report final : public comm_dir_resumable {
 public:
  static constexpr int kRetryMs = 20;

  comm_dir_callback_report(const COMM_DIR_TEST_CONNECTION_INFO& info, RETCODE result, uid_t requester, int timeout_ms);
  ~comm_dir_callback_report();
  comm_dir_callback_report(const comm_dir_callback_report&) = delete;
  comm_dir_callback_report& operator=(const comm_dir_callback_report&) = delete;

  comm_dir_step begin();
  comm_dir_step resume(bool timed_out) override;
  // Once done: whether the application answered in time.
  bool answered() const { return answered_; }

 private:
  comm_dir_step send();
  comm_dir_step given_up();

  char server_[COMM_DIR_IPC_NAME_SIZE] = {};
  const uid_t requester_;
  const std::chrono::milliseconds timeout_;
  std::unique_ptr<COMM_DIR_IPC_MULTI_REQUEST> request_;  // until it is sent
  comm_dir_wait::clock::time_point send_deadline_;
  comm_dir_latch latch_;  // opened by the answer
  UINT word_ = 0;         // that names the report in the answers; 0 before it has one
  bool answered_ = false;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_CALLBACK_CLIENT_H_
