// Requests into the daemon at their boundaries, as raw datagrams: each record
// layout cut every 4 bytes and a byte either side of each field boundary,
// and the length word at byte 4 from 0 to 0xFFFFFFFF. A cut that leaves the
// platform header short is dropped without an answer; one that leaves a
// record short is refused with its size code; the whole record is served.
// After every drop the daemon still answers the next well-formed request.
#include <cstring>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/service_wire.h"
#include "support/slapd_fixture.h"

namespace velmarosta {
namespace {

using namespace service_wire;

constexpr UINT kNoOperation = 0x5EED1234;  // names no operation of the daemon
constexpr std::size_t kMinMessage = 128;     // the platform takes nothing shorter

// One layout: a function id, its request record filled with well-formed
// values, and the boundaries of its fields (offsets into the record).
struct Layout {
  const char* name;
  UINT function_id;
  std::vector<char> record;
  std::vector<std::size_t> fields;
};

template <typename Record>
std::vector<char> bytes_of(const Record& record) {
  const char* p = reinterpret_cast<const char*>(&record);
  return std::vector<char>(p, p + sizeof record);
}

std::vector<Layout> layouts() {
  const std::string uri = commdir_testing::closed_port_uri();
  COMM_DIR_OPERATION_REQUEST operation{};
  operation.operation_id = kNoOperation;
  COMM_DIR_VALUE_REQUEST value{};
  value.operation_id = kNoOperation;
  std::strcpy(value.attribute, "cn");
  value.value_index = 3;
  COMM_DIR_VALUE_COUNT_REQUEST count{};
  std::memcpy(&count, &value, sizeof count);
  COMM_DIR_SEARCH_REQUEST search{};
  std::strcpy(search.condition.base_dn, "dc=example,dc=com");
  std::strcpy(search.condition.filter, "(cn=*)");
  std::strcpy(search.condition.attributes, "cn mail");
  search.condition.operation_id = kNoOperation;
  search.size_limit = 10;
  search.time_limit_sec = 5;
  COMM_DIR_START_OPERATION_REQUEST start{};
  std::strcpy(start.connect.uri, uri.c_str());
  start.bind_present = 1;
  std::strcpy(start.bind.bind_dn, "cn=nobody,dc=example,dc=com");
  COMM_DIR_CHECK_CONNECTION_REQUEST check{};
  check.test_mode = COMM_DIR_TEST_MODE_SYNC;
  std::strcpy(check.info.connect.uri, uri.c_str());
  return {
      {"operation", COMM_DIR_FUNC_GET_FIRST_ENTRY, bytes_of(operation), {72, 76}},
      {"value count", COMM_DIR_FUNC_GET_VALUE_STRING_CNT, bytes_of(count), {72, 76, 461, 464}},
      {"value", COMM_DIR_FUNC_GET_VALUE_BINARY_ONE, bytes_of(value), {72, 76, 461, 464, 468}},
      {"search", COMM_DIR_FUNC_SEARCH, bytes_of(search), {72, 584, 588, 592, 596, 1620, 2032, 2036, 2040, 2044, 2048}},
      {"start", COMM_DIR_FUNC_START_OPERATION, bytes_of(start), {72, 248, 336, 340, 344, 348, 352, 356, 360, 872, 1384, 1456}},
      {"connection test", COMM_DIR_FUNC_CHECK_CONNECTION, bytes_of(check), {72, 76, 80, 256, 1988, 2004, 2008}},
  };
}

// Where a layout is cut: every 4 bytes across the envelope's head and the
// first word of the record, and at and a byte either side of each boundary of
// the head's and the record's fields.
std::set<std::size_t> cuts_of(const Layout& layout) {
  const std::size_t end = kHead + layout.record.size();
  std::set<std::size_t> cuts;
  for (std::size_t at = 0; at <= kHead + 4; at += 4) cuts.insert(at);
  std::vector<std::size_t> boundaries = {4, 24, 72, 76, 80, 84, 116, 120, 124};
  for (std::size_t field : layout.fields) boundaries.push_back(kHead + field);
  for (std::size_t b : boundaries) {
    for (std::size_t at : {b - 1, b, b + 1}) {
      if (at <= end) cuts.insert(at);
    }
  }
  cuts.insert(end);
  return cuts;
}

class ServiceBounds : public daemon_test {
 protected:
  // The daemon answers a well-formed request: an operation it does not have.
  void expect_next_answered() {
    COMM_DIR_OPERATION_REQUEST request{};
    request.operation_id = kNoOperation;
    ++answered_;
    EXPECT_EQ(call(COMM_DIR_FUNC_FREE_MSG, request).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
  }

  // The request `layout` as a whole message, answered under `tag`.
  std::vector<char> message_of(const Layout& layout, UINT tag) {
    return request_form(layout.function_id, tag, layout.record.data(), layout.record.size());
  }

  // Sends `message`; when it is to be answered, its result.
  RETCODE answer_to(const std::vector<char>& message, UINT tag, bool answered) {
    send_raw(message);
    if (!answered) {
      ++dropped_;
      return 0;
    }
    ++answered_;
    return expect_reply(tag).result();
  }

  // No message that was to be dropped got an answer: every reply that came
  // was one that a test waited for.
  void expect_drops_unanswered() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for a stray late reply
    EXPECT_EQ(replies().count() - replies_before_, answered_) << dropped_ << " messages were to be dropped";
  }

  const std::size_t replies_before_ = replies().count();  // of an earlier test in this process
  std::size_t answered_ = 0, dropped_ = 0;
};

TEST_F(ServiceBounds, EveryLayoutCutAtItsBoundariesIsRefusedOrDropped) {
  start_daemon({"--network-timeout=2000"});
  for (const Layout& layout : layouts()) {
    // The whole request is served; what it is served with is the reference.
    UINT tag = next_tag_.fetch_add(1);
    const RETCODE served = answer_to(message_of(layout, tag), tag, true);
    ASSERT_NE(served, COMM_DIR_SVC_WRONG_SIZE) << layout.name;
    const std::size_t end = kHead + layout.record.size();
    for (std::size_t cut : cuts_of(layout)) {
      SCOPED_TRACE(std::string(layout.name) + " cut at " + std::to_string(cut));
      tag = next_tag_.fetch_add(1);
      std::vector<char> message = message_of(layout, tag);
      put_word(message, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(cut));
      message.resize(cut);
      const RETCODE code = answer_to(message, tag, cut >= kMinMessage);
      if (cut < kMinMessage) {
        expect_next_answered();
      } else {
        EXPECT_EQ(code, cut < end ? COMM_DIR_SVC_WRONG_SIZE : served) << std::hex << code;
      }
    }
  }
  expect_drops_unanswered();
  EXPECT_TRUE(service_->alive());
}

TEST_F(ServiceBounds, LengthWordAtItsBoundaries) {
  start_daemon({});
  struct Row {
    const char* what;
    UINT length;           // the word at byte 4
    std::size_t datagram;  // bytes that travel
    bool answered;
    RETCODE code;
  };
  const UINT kForm = COMM_DIR_IPC_REQUEST_SIZE;
  const Row rows[] = {
      {"0", 0, kForm, false, 0},
      {"the smallest message, holding no record", 128, 128, true, COMM_DIR_SVC_WRONG_SIZE},
      {"a request form", kForm, kForm, true, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"a request form, trailing zeros left at home", kForm, kHead + 76, true, COMM_DIR_SVC_UNKNOWN_OPERATION},
      {"one beyond a request form", kForm + 1, kForm, true, COMM_DIR_SVC_WRONG_SIZE},
      {"the largest message", 65536, kForm, true, COMM_DIR_SVC_WRONG_SIZE},
      {"one beyond the largest message", 65537, kForm, false, 0},
      {"0x7FFFFFFF", 0x7FFFFFFF, kForm, false, 0},
      {"0x80000000", 0x80000000u, kForm, false, 0},
      {"0xFFFFFFFF", 0xFFFFFFFFu, kForm, false, 0},
  };
  COMM_DIR_OPERATION_REQUEST request{};
  request.operation_id = kNoOperation;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const UINT tag = next_tag_.fetch_add(1);
    std::vector<char> message = request_form(COMM_DIR_FUNC_GET_NEXT_ENTRY, tag, &request, sizeof request);
    put_word(message, GEN_IPC_HDR_LENGTH_OFFSET, row.length);
    message.resize(row.datagram);
    const RETCODE code = answer_to(message, tag, row.answered);
    if (row.answered) {
      EXPECT_EQ(code, row.code) << std::hex << code;
    }
    expect_next_answered();
  }
  expect_drops_unanswered();
}

}  // namespace
}  // namespace velmarosta
