// A directory service for tests: a server on "utcp:COMM_DIR_SRV" that records
// every request and answers it from its handlers, as the daemon answers (a
// reply form to the reply server the request names, sent by a "DIR_SC_"
// client). It uses only the platform calls. A function id without a handler
// is answered with result 0 and reply word 0.
//
// Thread-safe; handlers run on the server's thread, without the service's
// mutex. One service runs per process at a time.
#ifndef COMMDIR_TESTS_SUPPORT_SCRIPTED_SERVICE_H_
#define COMMDIR_TESTS_SUPPORT_SCRIPTED_SERVICE_H_

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "ipc/comm_dir_ipc_envelope.h"

namespace commdir_test {

// One request as the service received it: its payload from envelope byte
// 124 to the end of the message.
struct service_request {
  int function_id = 0;
  std::vector<char> payload;
  UINT word(int offset) const { return velmarosta::read_word(payload.data(), offset); }
  std::string text(int offset) const { return payload.data() + offset; }
};

// For comparing requests with records: a record's bytes, and `size` bytes of a request from `from`.
template <typename Record>
std::string bytes(const Record& r) {
  return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}
inline std::string at(const service_request& r, int from, std::size_t size) {
  return std::string(&r.payload[from], size);
}

// One answer: the payload of the reply form, from its byte 128.
struct scripted_reply {
  std::vector<char> payload;
  // A COMM_DIR_REPLY with `result` at byte 12, `word` at 16 and `data` from 20.
  static scripted_reply words(RETCODE result, UINT word, const std::string& data = {});
};

class scripted_service {
 public:
  using handler = std::function<scripted_reply(const service_request&)>;

  ~scripted_service();
  RETCODE start();  // the platform's result

  void on(int function_id, handler h);  // an empty handler removes the one set
  void reply_word(int function_id, RETCODE result, UINT word) {
    on(function_id, [result, word](const service_request&) { return scripted_reply::words(result, word); });
  }
  std::vector<service_request> requests();
  void clear_requests();

 private:
  static RETCODE dispatch(char* rcvbuf, char* sndbuf, int* size);
  void receive(const char* message);

  std::mutex mu_;
  std::map<int, handler> handlers_;
  std::vector<service_request> requests_;
};

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_SCRIPTED_SERVICE_H_
