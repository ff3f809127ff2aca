// The facade client's reading of every reply kind, against the scripted
// service over the POSIX platform, with the replies taken from the input.
//
// Input: byte 0 chooses the call (0 to 10: connection test, start_operation,
// search, first and next attribute, string and binary values, end_operation,
// first and next entry, free_msg); then any number of replies, each a 16-bit
// length and that many payload bytes (a COMM_DIR_REPLY and what follows it),
// which answer the call's requests in order. Once they run out, every further
// request is answered with a failure, so that a value list ends. Whatever
// the call returns, what it hands out is well formed and is freed here, so
// that a leak or an overread shows.
#include <sys/time.h>

#include <mutex>

#include "client/comm_dir_facade_client.h"
#include "client/comm_dir_messages.h"
#include "fuzz/fuzz_delivery.h"
#include "support/scripted_service.h"

namespace {

using namespace velmarosta;
using commdir_test::scripted_reply;
constexpr UINT kOperation = 7;

// The replies of one input, handed out in order to the service's handlers
// (on its receiving thread) while the harness waits in the call.
std::mutex g_mu;
const std::uint8_t* g_data = nullptr;  // guarded by g_mu
std::size_t g_left = 0;                // guarded by g_mu
scripted_reply next_reply(const commdir_test::service_request&) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_left < 2) return scripted_reply::words(0x7e0001, 0);
  const std::size_t length = std::min<std::size_t>(g_data[0] | g_data[1] << 8, g_left - 2);
  scripted_reply reply{std::vector<char>(g_data + 2, g_data + 2 + length)};
  g_data += 2 + length;
  g_left -= 2 + length;
  return reply;
}

// A string handed out: readable up to its NUL within `limit` characters.
void check_string(const char* text, std::size_t limit) { FUZZ_CHECK(::strnlen(text, limit + 1) <= limit); }

// Value lists: set on success (null for none), null or untouched on a
// failure; each entry null (an index without a value) or well formed.
template <typename Value, typename Check>
void check_values(RETCODE rc, UINT count, Value** values, Value** untouched, Check check_one) {
  FUZZ_CHECK(values != untouched || rc != 0);
  if (values == untouched || values == nullptr) return;
  FUZZ_CHECK(rc == 0 && count > 0 && values[count] == nullptr);
  for (UINT i = 0; i < count; ++i) {
    if (values[i] != nullptr) check_one(values[i]);
    delete[] reinterpret_cast<char*>(values[i]);
  }
  delete[] values;
}

void run_call(comm_dir_facade_client& client, int call) {
  char attribute_name[] = "mail";
  COMM_DIR_TEST_CONNECTION_INFO info{};
  UINT number = 0;
  timeval limit{1, 0};
  if (call == 0) client.check_connection(COMM_DIR_TEST_MODE_SYNC, info);
  if (call == 1) client.start_operation(COMM_DIR_CONNECT_INFO{}, nullptr, &number);
  if (call == 2) client.search(COMM_DIR_SEARCH_CONDITION{}, 10, limit);
  if (call == 3 || call == 4) {
    // The name comes with reply word 1 whatever the result; a reply that
    // breaks the limits, or no memory for the name, hands out none.
    CHAR* attribute = nullptr;
    const RETCODE rc = call == 3 ? client.get_first_attribute(kOperation, attribute)
                                 : client.get_next_attribute(kOperation, attribute);
    if (attribute != nullptr) check_string(attribute, COMM_DIR_MAX_ATTRIBUTE_NAME);
    FUZZ_CHECK(attribute == nullptr || (rc != COMM_DIR_ERR_BAD_REPLY && rc != COMM_DIR_ERR_NO_MEMORY));
    delete[] attribute;
  }
  if (call == 5) {
    CHAR *untouched[1] = {}, **values = untouched;
    const RETCODE rc = client.get_value_string(kOperation, attribute_name, number, values);
    check_values(rc, number, values, untouched, [](const CHAR* s) { check_string(s, COMM_DIR_MAX_STRING_VALUE); });
  }
  if (call == 6) {
    COMM_DIR_BERVAL *untouched[1] = {}, **values = untouched;
    const RETCODE rc = client.get_value_binary(kOperation, attribute_name, number, values);
    check_values(rc, number, values, untouched, [](const COMM_DIR_BERVAL* value) {
      FUZZ_CHECK(value->bv_len <= COMM_DIR_MAX_BINARY_VALUE);
      volatile char sink = 0;
      for (UINT i = 0; i < value->bv_len; ++i) sink = sink ^ value->bv_val[i];  // every byte readable
    });
  }
  if (call == 7) client.end_operation(kOperation);
  if (call == 8) client.get_first_entry(kOperation);
  if (call == 9) client.get_next_entry(kOperation);
  if (call == 10) client.free_msg(kOperation);
}

struct harness {
  harness() {
    FUZZ_CHECK(service.start() == 0);
    for (int id = 0; id < COMM_DIR_FUNC_COUNT; ++id) service.on(id, next_reply);
  }
  commdir_test::scripted_service service;
  comm_dir_facade_client client;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  harness& h = commdir_fuzz::the_harness<harness>();
  if (size < 1) return 0;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_data = data + 1;
    g_left = size - 1;
  }
  run_call(h.client, data[0] % 11);
  h.service.clear_requests();
  return 0;
}
