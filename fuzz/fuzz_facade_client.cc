// The facade client's reading of every reply kind, against the scripted
// service over the fake platform, with the replies taken from the input.
//
// Input: byte 0 chooses the call (0 to 10: connection test, start_operation,
// search, first and next attribute, string and binary values, end_operation,
// first and next entry, free_msg); then any number of replies, each a 16-bit
// length and that many payload bytes (a COMM_DIR_REPLY and what follows it),
// which answer the call's requests in order. Once they run out, every
// further request is answered with a failure, so that a value list ends.
// Whatever the call returns, what it hands out is well formed and is freed
// here, so that a leak or an overread shows.
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "client/comm_dir_facade_client.h"
#include "client/comm_dir_messages.h"
#include "fuzz/fuzz_delivery.h"
#include "support/fake/fake_platform.h"
#include "support/scripted_service.h"

namespace {

using commdir_test::scripted_reply;
using velmarosta::COMM_DIR_BERVAL;

constexpr RETCODE kOutOfReplies = 0x7e0001;
constexpr UINT kOperation = 7;

// The replies of one input, handed out in order to the service's handlers
// (on the fake's receiving thread) while the harness waits in the call.
class reply_script {
 public:
  void reset(const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    data_ = data;
    left_ = size;
  }

  scripted_reply next() {
    std::lock_guard<std::mutex> lock(mu_);
    if (left_ < 2) return scripted_reply::words(kOutOfReplies, 0);
    std::size_t length = static_cast<std::size_t>(data_[0]) | static_cast<std::size_t>(data_[1]) << 8;
    data_ += 2;
    left_ -= 2;
    if (length > left_) length = left_;
    std::vector<char> payload(data_, data_ + length);
    data_ += length;
    left_ -= length;
    return scripted_reply::raw(std::move(payload));
  }

 private:
  std::mutex mu_;
  const std::uint8_t* data_ = nullptr;  // guarded by mu_
  std::size_t left_ = 0;                // guarded by mu_
};

// A string handed out: readable up to its NUL within `limit` characters.
void check_string(const char* text, std::size_t limit) { FUZZ_CHECK(::strnlen(text, limit + 1) <= limit); }

// The name comes with reply word 1 whatever the result code; a reply that
// breaks the limits, or no memory for the name, hands out none.
void check_attribute(RETCODE rc, CHAR* attribute) {
  if (attribute != nullptr) check_string(attribute, velmarosta::COMM_DIR_MAX_ATTRIBUTE_NAME);
  if (rc == velmarosta::COMM_DIR_ERR_BAD_REPLY || rc == velmarosta::COMM_DIR_ERR_NO_MEMORY) {
    FUZZ_CHECK(attribute == nullptr);
  }
  delete[] attribute;
}

// Value lists: set on success (null for no values), null or untouched on a
// failure; each entry null (an index without a value) or well formed.
template <typename Value, typename Check>
void check_values(RETCODE rc, UINT count, Value** values, Value** untouched, Check check_one) {
  if (values == untouched) {
    FUZZ_CHECK(rc != 0);
    return;
  }
  if (rc != 0) FUZZ_CHECK(values == nullptr);
  if (values == nullptr) return;
  FUZZ_CHECK(count > 0);
  for (UINT i = 0; i < count; ++i) {
    if (values[i] != nullptr) check_one(values[i]);
    delete[] reinterpret_cast<char*>(values[i]);
  }
  FUZZ_CHECK(values[count] == nullptr);
  delete[] values;
}

void check_berval(const COMM_DIR_BERVAL* value) {
  FUZZ_CHECK(value->bv_len <= velmarosta::COMM_DIR_MAX_BINARY_VALUE);
  volatile char sink = 0;
  for (UINT i = 0; i < value->bv_len; ++i) sink = sink ^ value->bv_val[i];  // every byte readable
}

void run_call(velmarosta::comm_dir_facade_client& client, int call) {
  char attribute_name[] = "mail";
  switch (call) {
    case 0: {
      velmarosta::COMM_DIR_TEST_CONNECTION_INFO info{};
      client.check_connection(velmarosta::COMM_DIR_TEST_MODE_SYNC, info);
      break;
    }
    case 1: {
      velmarosta::COMM_DIR_CONNECT_INFO connect{};
      UINT operation = 0;
      client.start_operation(connect, nullptr, &operation);
      break;
    }
    case 2: {
      velmarosta::COMM_DIR_SEARCH_CONDITION condition{};
      timeval limit{1, 0};
      client.search(condition, 10, limit);
      break;
    }
    case 3:
    case 4: {
      CHAR* attribute = nullptr;
      RETCODE rc = call == 3 ? client.get_first_attribute(kOperation, attribute)
                             : client.get_next_attribute(kOperation, attribute);
      check_attribute(rc, attribute);
      break;
    }
    case 5: {
      CHAR* untouched[1] = {};
      CHAR** values = untouched;
      UINT count = 0;
      RETCODE rc = client.get_value_string(kOperation, attribute_name, count, values);
      check_values(rc, count, values, untouched,
                   [](const CHAR* value) { check_string(value, velmarosta::COMM_DIR_MAX_STRING_VALUE); });
      break;
    }
    case 6: {
      COMM_DIR_BERVAL* untouched[1] = {};
      COMM_DIR_BERVAL** values = untouched;
      UINT count = 0;
      RETCODE rc = client.get_value_binary(kOperation, attribute_name, count, values);
      check_values(rc, count, values, untouched, check_berval);
      break;
    }
    case 7:
      client.end_operation(kOperation);
      break;
    case 8:
      client.get_first_entry(kOperation);
      break;
    case 9:
      client.get_next_entry(kOperation);
      break;
    default:
      client.free_msg(kOperation);
      break;
  }
}

class harness {
 public:
  harness() {
    FUZZ_CHECK(service_.start() == 0);
    for (int id = 0; id < velmarosta::COMM_DIR_FUNC_COUNT; ++id) {
      service_.on(id, [this](const commdir_test::service_request&) { return script_.next(); });
    }
  }

  void run(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    script_.reset(data + 1, size - 1);
    run_call(client_, data[0] % 11);
    service_.clear_requests();
    fake::clear_log();
  }

 private:
  commdir_test::scripted_service service_;
  velmarosta::comm_dir_facade_client client_;
  reply_script script_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static harness* h = new harness;  // lives as long as the process
  h->run(data, size);
  return 0;
}
