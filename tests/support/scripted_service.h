// A directory service for tests: a server on "utcp:COMM_DIR_SRV" that records
// every request it receives and answers it from a script. It uses nothing but
// the platform calls, so a test links it with the fake platform or with the
// POSIX platform alike.
//
// It answers as the real service does: for each request an IPC client
// "DIR_SC_" to the reply server named in the request (created with
// COMM_DIR_IPC_ID_REPLY), one reply-form envelope (event_sem_id, type,
// reply_server_name, reply_buffer and reply_buffer_size copied, replied = 1,
// the reply payload from byte 128), sent with kind 1, then the client is
// destroyed.
//
// The script: a handler per function id turns the recorded request into a
// scripted_reply, which may be any payload up to the envelope's limit, sent
// at once, after a delay, or never. With hold_replies(true) the replies are
// kept until release() sends them, in whatever order the test chooses.
//
//   scripted_service service;
//   ASSERT_EQ(service.start(), 0);
//   service.reply_word(COMM_DIR_FUNC_START_OPERATION, 0, 42);
//   service.serve_values("mail", {"a@example.org", std::nullopt, "b@example.org"});
//   ... calls of the library ...
//   EXPECT_EQ(service.requests().size(), 8u);
//
// Thread-safe: the handlers run on the server's receiving thread (or on a
// delayed reply's thread) while the test configures and inspects the service
// from its own; every member takes the service's mutex. Handlers run without
// it and may call the service. One service runs per process at a time.
#ifndef COMMDIR_TESTS_SUPPORT_SCRIPTED_SERVICE_H_
#define COMMDIR_TESTS_SUPPORT_SCRIPTED_SERVICE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commdir/comm_dir_types.h"

namespace commdir_test {

// One request as the service received it.
struct service_request {
  int function_id = 0;          // envelope byte 80
  std::string reply_server;     // envelope reply_server_name
  // The payload from envelope byte 124 on, without its trailing zero bytes:
  // every payload byte at or beyond payload.size() was zero.
  std::vector<char> payload;

  // Payload byte or native word at `offset`; zero beyond the recorded bytes.
  unsigned char byte(std::size_t offset) const;
  UINT word(std::size_t offset) const;
  // The fields of the directory requests that carry them.
  UINT operation_id() const { return word(72); }
  std::string attribute() const;  // bytes 76 to 460, up to the first NUL
  UINT value_index() const { return word(464); }
};

// One answer of the script.
struct scripted_reply {
  std::vector<char> payload;  // from reply envelope byte 128; at most 49,156 bytes
  std::chrono::milliseconds delay{0};
  bool send = true;           // false: the request is never answered

  // A COMM_DIR_REPLY with `result` at byte 12 and `word` at byte 16, and
  // `data` from byte 20: 1948 bytes, longer when the data needs it.
  static scripted_reply words(RETCODE result, UINT word, const std::string& data = {});
  // Reply word 1 and the name with its NUL (ids 3 and 4).
  static scripted_reply name(RETCODE result, const std::string& attribute);
  // Value replies of ids 7 and 10 as the service sends them: 1949 + L bytes
  // holding the string and its NUL; 1948 + L bytes holding a COMM_DIR_BERVAL.
  static scripted_reply string_value(const std::string& value);
  static scripted_reply binary_value(const std::string& value);
  // Any payload, as it stands.
  static scripted_reply raw(std::vector<char> payload);
  // No reply at all.
  static scripted_reply none();

  scripted_reply after(std::chrono::milliseconds wait) const;
};

class scripted_service {
 public:
  using handler = std::function<scripted_reply(const service_request&)>;
  // A value list entry; nullopt is an index with no value (reply word 0).
  using value = std::optional<std::string>;

  scripted_service();
  ~scripted_service();  // stops the server and joins the delayed replies
  scripted_service(const scripted_service&) = delete;
  scripted_service& operator=(const scripted_service&) = delete;

  // Starts the server; the platform's result (0 on success).
  RETCODE start();
  // Stops the server, then waits for replies that are under way. Held
  // replies are dropped.
  void stop();

  // The script. A function id without a handler is answered with result 0
  // and reply word 0; an empty handler removes the one set before.
  void on(int function_id, handler h);
  void reply(int function_id, const scripted_reply& answer);  // always this one
  void reply_word(int function_id, RETCODE result, UINT word);
  // Ids 3 and 4 walk `names` (id 3 from the start); past the last name, or
  // for an empty list, reply word 0 with result 0.
  void serve_attributes(std::vector<std::string> names);
  // Ids 5 to 10 answer for `attribute` from `values`, as strings and as
  // binary values alike; an attribute never served has no values.
  void serve_values(const std::string& attribute, std::vector<value> values);
  // The answer that serve_values gives to a request of ids 5 to 10: for a
  // handler that changes some answers and keeps the rest.
  scripted_reply value_answer(const service_request& request);

  // Ordering: while held, replies wait until release(index) sends one (0:
  // the oldest) on the calling thread; false if there is none.
  void hold_replies(bool held);
  std::size_t held_count();
  bool release(std::size_t index = 0);

  std::vector<service_request> requests();
  std::size_t request_count();
  std::vector<int> function_ids();  // of every request, in order
  void clear_requests();
  // Waits until `n` requests (or held replies) are in; false on time-out.
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
  bool wait_for_held(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  struct held_reply {
    std::vector<char> envelope;  // the request's head, reused for the reply
    scripted_reply answer;
  };

  static RETCODE dispatch(char* rcvbuf, char* sndbuf, int* size);
  void receive(const char* message);
  scripted_reply answer_for(const service_request& request);
  void deliver(held_reply reply);
  static void send(const held_reply& reply);

  std::mutex mu_;
  std::condition_variable changed_;                 // signalled on every new request or held reply
  bool running_ = false;                            // guarded by mu_
  std::map<int, handler> handlers_;                 // guarded by mu_
  std::vector<service_request> requests_;           // guarded by mu_
  bool holding_ = false;                            // guarded by mu_
  std::vector<held_reply> held_;                    // guarded by mu_
  std::vector<std::thread> delayed_;                // guarded by mu_
  std::map<std::string, std::vector<value>> values_;  // guarded by mu_
  std::vector<std::string> attributes_;             // guarded by mu_
  std::size_t next_attribute_ = 0;                  // guarded by mu_
};

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_SCRIPTED_SERVICE_H_
