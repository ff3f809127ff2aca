// The daemon's callbacks into applications: the report of a connection test
// run in COMM_DIR_TEST_MODE_CALLBACK, sent as a request (function id 0) to
// the callback server that the test's record names.
//
// The request is a COMM_DIR_CHECK_CONNECTION_REQUEST: the test's result code
// stands where the test mode stood (payload byte 72, the word the callback
// object receives), and the record follows with its findings, so its first
// word is the record's callback object word (payload byte 76).
//
// An application that is gone or never answers never holds the daemon: a
// send that fails is given up at once, and an answer that does not come
// within the callback time-out is given up and traced. The answers arrive on
// the daemon's own reply server (COMM_DIR_SERVICE_CALLBACK_REPLY_SERVER),
// whose dispatch function finds the waiting call by the `reply_buffer` word
// in a word table; a late or forged answer finds nothing and is dropped.
// Applications of other users answer there too: the reply server takes the
// answers of every user whom the daemon serves, and of no one else.
//
// Thread-safe: any number of workers may call at once; each waits for its
// own answer.
#ifndef COMMDIR_SERVICE_COMM_DIR_CALLBACK_CLIENT_H_
#define COMMDIR_SERVICE_COMM_DIR_CALLBACK_CLIENT_H_

#include "commdir/comm_dir_records.h"
#include "service/comm_dir_allow_list.h"

namespace velmarosta {

class comm_dir_callback_client {
 public:
  // Starts the daemon's reply server for callback answers, taking those of
  // the users that `allowed` admits; it must outlive stop(). Returns the
  // platform's code.
  static RETCODE start(const comm_dir_allow_list* allowed);
  static void stop();

  // Reports `result` of the test in `info` to the callback server named in
  // it, on behalf of `requester` (the uid that asked for the test). Returns
  // true once the application has answered within `timeout_ms`.
  static bool report(const COMM_DIR_TEST_CONNECTION_INFO& info, RETCODE result, uid_t requester, int timeout_ms);
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_CALLBACK_CLIENT_H_
