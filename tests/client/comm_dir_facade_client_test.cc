// The facade client against the scripted service over the POSIX platform:
// the bytes of every request, what the client takes from each reply and
// each failure.
#include "client/comm_dir_facade_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/emw_osw.h"
#include "support/fake/faults.h"
#include "support/served_values.h"
#include "support/tracked_new.h"

namespace velmarosta {
namespace {

using namespace commdir_test;
constexpr UINT kOp = 0x0A0B0C07, kUntouched = 0xC0FFEE;

template <typename Record>
Record patterned(int seed) {
  Record r;
  char* bytes = reinterpret_cast<char*>(&r);
  for (std::size_t i = 0; i < sizeof r; ++i) bytes[i] = static_cast<char>(1 + (i * 7 + seed) % 251);
  return r;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(service_.start(), 0); }
  void TearDown() override { g_fail_size = 0; }
  scripted_service service_;
  comm_dir_facade_client client_;
};

TEST_F(ClientTest, EachRequestCarriesItsRecordAtItsOffsetsAndTheFindingsComeBack) {
  auto info = patterned<COMM_DIR_TEST_CONNECTION_INFO>(3), answer = patterned<COMM_DIR_TEST_CONNECTION_INFO>(11);
  const auto before = info;
  const auto connect = patterned<COMM_DIR_CONNECT_INFO>(5);
  const auto bind = patterned<COMM_DIR_BIND_INFO>(9);
  const auto condition = patterned<COMM_DIR_SEARCH_CONDITION>(1);
  service_.on(COMM_DIR_FUNC_CHECK_CONNECTION, [&](const service_request&) {
    return scripted_reply::words(0x4242, answer.callback_object, bytes(answer).substr(4));
  });
  EXPECT_EQ(client_.check_connection(COMM_DIR_TEST_MODE_CALLBACK, info), 0x4242);
  EXPECT_EQ(bytes(info), bytes(answer));  // the whole record, its password too
  UINT id = 0;
  EXPECT_EQ(client_.start_operation(connect, &bind, &id), 0);
  EXPECT_EQ(client_.start_operation(connect, nullptr, &id), 0);
  timeval limit{5, 250000};
  EXPECT_EQ(client_.search(condition, 0x01020304u, limit), 0);
  const std::vector<service_request> r = service_.requests();
  ASSERT_EQ(r.size(), 4u);
  for (const service_request& request : r) EXPECT_EQ(at(request, 0, 72), std::string(72, '\0'));
  EXPECT_EQ(r[0].word(72), static_cast<UINT>(COMM_DIR_TEST_MODE_CALLBACK));
  EXPECT_EQ(at(r[0], 76, sizeof info), bytes(before));
  for (int i : {1, 2}) {  // with the bind record, then without
    EXPECT_EQ(at(r[i], 72, sizeof connect), bytes(connect));
    EXPECT_EQ(r[i].word(352), i == 1 ? 1u : 0u);
    EXPECT_EQ(at(r[i], 356, sizeof bind), i == 1 ? bytes(bind) : std::string(sizeof bind, '\0'));
  }
  EXPECT_EQ(at(r[3], 72, sizeof condition), bytes(condition));
  EXPECT_TRUE(r[3].word(2036) == 0x01020304u && r[3].word(2040) == 5 && r[3].word(2044) == 250000);
}

// What each call of one exchange may write, preset so that a write shows.
struct Outs {
  COMM_DIR_TEST_CONNECTION_INFO info;
  UINT id = kUntouched;
  CHAR* name = reinterpret_cast<CHAR*>(&id);
  Outs() { std::memset(&info, 0x5A, sizeof info); }
};

// A failed exchange writes nothing and is traced; once the service answered,
// the results are written whatever the result word says. Each call meets a
// failure of its own: no memory, or a failed step of its exchange, which is
// traced and undone (deletes: the call's event is deleted; the mutex is free
// again after each).
TEST_F(ClientTest, EachCallWritesItsResultsOnlyOnceAnswered) {
  const struct Op {
    int id;
    const char* name;
    std::function<RETCODE(comm_dir_facade_client&, Outs&)> call;
  } ops[] = {
      {0, "check_connection", [](auto& c, Outs& o) { return c.check_connection(COMM_DIR_TEST_MODE_SYNC, o.info); }},
      {1, "start_operation", [](auto& c, Outs& o) { return c.start_operation({}, nullptr, &o.id); }},
      {2, "search",
       [](auto& c, Outs&) {
         timeval t{1, 2};
         return c.search(COMM_DIR_SEARCH_CONDITION{}, 0, t);
       }},
      {3, "get_first_attribute", [](auto& c, Outs& o) { return c.get_first_attribute(kOp, o.name); }},
      {4, "get_next_attribute", [](auto& c, Outs& o) { return c.get_next_attribute(kOp, o.name); }},
      {11, "end_operation", [](auto& c, Outs&) { return c.end_operation(kOp); }},
      {12, "get_first_entry", [](auto& c, Outs&) { return c.get_first_entry(kOp); }},
      {13, "get_next_entry", [](auto& c, Outs&) { return c.get_next_entry(kOp); }},
      {14, "free_msg", [](auto& c, Outs&) { return c.free_msg(kOp); }},
  };
  const struct Failure {
    std::string fn;
    int deletes;
  } failures[] = {{"emwOSWRequestMutexSem", 0}, {"emwGENIpcCreateClient", 0},
                  {"emwOSWCreateEventSem", 0},  {"memory", 0},
                  {"emwOSWResetEventSem", 1},   {"emwGENIpcCallClient", 1},
                  {"emwOSWReleaseMutexSem", 1}, {"emwOSWWaitEventSem", 1},
                  {"emwOSWDeleteEventSem", 1}};
  const scripted_reply answer = scripted_reply::words(0x3409100A, 1, std::string("cn") + '\0');
  const std::string findings(&answer.payload[16], sizeof(COMM_DIR_TEST_CONNECTION_INFO));
  for (const Op& op : ops) {
    const Failure& failure = failures[&op - ops];
    SCOPED_TRACE(op.name + (" / " + failure.fn));
    service_.on(op.id, [&](const service_request&) { return answer; });
    g_fail_size = failure.fn == "memory" ? COMM_DIR_REPLY_SIZE : 0;
    if (g_fail_size == 0) faults::fail(failure.fn);
    faults::clear();
    const int deletes = faults::calls("emwOSWDeleteEventSem");
    Outs outs;
    EXPECT_EQ(op.call(client_, outs), g_fail_size != 0 ? COMM_DIR_ERR_NO_MEMORY : -1);
    g_fail_size = 0;
    EXPECT_TRUE(bytes(outs.info) == bytes(Outs().info) && outs.id == kUntouched);
    EXPECT_EQ(outs.name, reinterpret_cast<CHAR*>(&outs.id));
    EXPECT_TRUE(faults::traced(std::string("comm_dir_facade_client::") + op.name));
    EXPECT_TRUE(failure.fn == "memory" || faults::traced(failure.fn + " ret=[0x5a]"));
    EXPECT_EQ(faults::calls("emwOSWDeleteEventSem") - deletes, failure.deletes);
    const UINT mutex = faults::last_id("emwOSWRequestMutexSem");
    EXPECT_TRUE(emwOSWRequestMutexSem(mutex, 0) == 0 && emwOSWReleaseMutexSem(mutex) == 0);
    faults::clear();
    EXPECT_EQ(op.call(client_, outs), 0x3409100A);
    EXPECT_FALSE(faults::traced("comm_dir_facade_client"));
    EXPECT_EQ(bytes(outs.info), op.id == 0 ? findings : bytes(Outs().info));
    EXPECT_EQ(outs.id, op.id == 1 ? 1u : kUntouched);
    EXPECT_EQ(op.id == 3 || op.id == 4 ? std::string(outs.name) : "", op.id == 3 || op.id == 4 ? "cn" : "");
    if (op.id == 3 || op.id == 4) delete[] outs.name;
    const service_request request = service_.requests().back();
    EXPECT_TRUE(op.id < 3 || (request.word(72) == kOp && at(request, 76, 100) == std::string(100, '\0')));
    EXPECT_TRUE(faults::wait_until([] { return faults::open_clients() == 0; }));  // its IPC client closed either way
  }
}

TEST_F(ClientTest, AnAttributeNameIsTakenOnlyWhenPresentAndWithinItsLimit) {
  const std::string a384(384, 'a');
  const struct Row {
    scripted_reply answer;
    RETCODE rc;
    const char* name;
  } rows[] = {
      {scripted_reply::words(0x21, 0, "cn"), 0x21, nullptr},
      {scripted_reply::words(0, 2, "cn"), 0, nullptr},
      {scripted_reply::words(0, 1, a384 + '\0'), 0, a384.c_str()},
      {scripted_reply::words(0, 1, a384 + "a"), COMM_DIR_ERR_BAD_REPLY, nullptr},
      {scripted_reply::words(0, 1, std::string(COMM_DIR_REPLY_DATA_SIZE, 'n')), COMM_DIR_ERR_BAD_REPLY, nullptr},
      {scripted_reply::words(0, 1, "cn"), COMM_DIR_ERR_NO_MEMORY, nullptr},  // no memory for the name
  };
  for (const Row& row : rows) {
    for (int id : {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE}) {
      service_.on(id, [&](const service_request&) { return row.answer; });
      g_fail_size = row.rc == COMM_DIR_ERR_NO_MEMORY ? COMM_DIR_MAX_ATTRIBUTE_NAME + 1 : 0;
      CHAR marker, *name = &marker;
      EXPECT_EQ(id == 3 ? client_.get_first_attribute(1, name) : client_.get_next_attribute(1, name), row.rc);
      EXPECT_TRUE(name == row.name || (name != nullptr && row.name != nullptr && name == std::string(row.name)));
      delete[] name;
    }
  }
}

// One retrieval of "attr" (or `name`) as text: its result and count, then
// "untouched", "null" or the values (". " for an index without one), the
// list freed.
std::string retrieve(comm_dir_facade_client& client, const Kind& kind, char* name = nullptr) {
  char attr[] = "attr", *attribute = name != nullptr ? name : attr;
  UINT count = kUntouched;
  COMM_DIR_BERVAL *bin_marker[1], **bins = bin_marker;
  CHAR *marker[1], **strings = marker;
  const RETCODE rc = kind.binary ? client.get_value_binary(3, attribute, count, bins)
                                 : client.get_value_string(3, attribute, count, strings);
  char** list = kind.binary ? reinterpret_cast<char**>(bins) : strings;
  std::string out = std::to_string(rc) + (count == kUntouched ? " -" : " " + std::to_string(count));
  if (list == nullptr || (kind.binary ? bins == bin_marker : strings == marker)) {
    return out + (list == nullptr ? " null" : " untouched");
  }
  for (UINT i = 0; i < count; ++i) {
    const char* block = list[i];
    const std::size_t length = kind.binary && block != nullptr ? read_word(block, 0) : 0;  // COMM_DIR_BERVAL's bv_len
    out += block == nullptr ? " ." : " " + (length != 0 ? std::string(block + 4, length) : std::string(block));
    delete[] block;
  }
  out += list[count] == nullptr ? "" : " unterminated";
  delete[] list;
  return out;
}

TEST_F(ClientTest, AValueListIsWholeOrNotHandedOutAtAll) {
  const Values four = {std::string("v0"), std::string("v1"), std::string("v2"), std::string("v3")};
  const Values big = {std::string("a"), std::string(1000, 'y'), std::string("c")};
  const std::string bad = std::to_string(COMM_DIR_ERR_BAD_REPLY), no_memory = std::to_string(COMM_DIR_ERR_NO_MEMORY);
  const UINT kMaxCount = COMM_DIR_MAX_VALUE_COUNT;
  const std::string max = std::to_string(kMaxCount), above = std::to_string(kMaxCount + 1);
  using Plan = std::function<void(const Kind&)>;
  auto fail = [](const char* fn, int nth) -> Plan { return [=](const Kind&) { faults::fail(fn, nth); }; };
  auto short_of = [](std::size_t (*size)(const Kind&)) -> Plan { return [=](auto& k) { g_fail_size = size(k); }; };
  // Each row serves `values`, replaces one answer, plans a failure and expects
  // `out`; exchanges: the requests that reached the service.
  const struct Row {
    Values values;
    Answer answer;
    Plan plan;
    std::string out;
    std::size_t exchanges;
  } rows[] = {
      {four, {}, fail("emwGENIpcCreateClient", 1), "-1 - untouched", 0},
      {four, {}, fail("emwGENIpcCallClient", 1), "-1 - untouched", 0},
      {four, {&Kind::count_id, kCount, 0x77, 9}, nullptr, "119 9 untouched", 1},
      {{}, {}, nullptr, "0 0 null", 1},
      {{std::string("v0"), std::nullopt, std::string("v2")}, {}, nullptr, "0 3 v0 . v2", 7},
      {{std::string()}, {}, nullptr, "0 1 ", 3},
      {four, {&Kind::length_id, 2, 0x66, 0}, nullptr, "102 4 null", 6},
      {four, {}, fail("emwOSWCreateEventSem", 6), "-1 4 null", 5},  // an event per exchange
      {four, {&Kind::value_id, 1, 0x67, 1}, nullptr, "103 4 null", 5},
      {four, {}, fail("emwOSWCreateEventSem", 5), "-1 4 null", 4},
      // Replies that break the limits, and words that would overflow a size.
      {four, {&Kind::length_id, 1, 0, kLargest}, nullptr, bad + " 4 null", 4},
      {four, {&Kind::length_id, 1, 0, 0xFFFFFFFF}, nullptr, bad + " 4 null", 4},
      // Longer than its length: a string without its NUL there, a binary value's own length word.
      {{std::string("v0"), std::string(40, 'y')}, {&Kind::length_id, 1, 0, 5}, nullptr, bad + " 2 null", 5},
      {{}, {&Kind::count_id, kCount, 0, kMaxCount}, fail("emwOSWCreateEventSem", 2), "-1 " + max + " null", 1},
      {{}, {&Kind::count_id, kCount, 0, kMaxCount + 1}, nullptr, bad + " " + above + " untouched", 1},
      {{}, {&Kind::count_id, kCount, 0, 0xFFFFFFFF}, nullptr, bad + " 4294967295 untouched", 1},
      // Memory that runs out: the list, a value's reply, a value, the count's reply.
      {Values(6, std::string("z")),
       {},
       short_of([](auto&) { return 7 * sizeof(void*); }),
       no_memory + " 6 untouched",
       1},
      {big, {}, short_of([](auto& k) { return COMM_DIR_REPLY_SIZE + 1000 + k.reply_extra; }), no_memory + " 3 null", 4},
      {big, {}, short_of([](auto& k) { return 1000 + k.entry_extra; }), no_memory + " 3 null", 5},
      {four, {}, short_of([](auto&) { return std::size_t{COMM_DIR_REPLY_SIZE}; }), no_memory + " - untouched", 0},
  };
  for (const Kind& kind : kKinds) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.out + (kind.binary ? " (binary)" : " (string)"));
      serve_values(service_, {{"attr", row.values}}, kind, row.answer);
      if (row.plan) row.plan(kind);
      service_.clear_requests();
      faults::clear();
      EXPECT_EQ(retrieve(client_, kind), row.out);
      g_fail_size = 0;
      EXPECT_EQ(service_.requests().size(), row.exchanges);
      EXPECT_EQ(faults::traced(kind.binary ? "get_value_binary" : "get_value_string"), row.out[0] != '0');
      EXPECT_TRUE(faults::wait_until([] { return faults::open_clients() == 0; }));  // one client, closed
    }
    serve_values(service_, {{"attr", {std::string(kind.max_length, 'v')}}});  // the largest value fills a message
    EXPECT_EQ(retrieve(client_, kind), "0 1 " + std::string(kind.max_length, 'v'));
    // The name cut to 384 characters with byte 460 zero, and each value's index at 464.
    std::string name(400, 'n');
    serve_values(service_, {{name.substr(0, 384), {std::string("v0"), std::string("v1")}}});
    service_.clear_requests();
    EXPECT_EQ(retrieve(client_, kind, &name[0]), "0 2 v0 v1");
    const std::vector<service_request> requests = service_.requests();
    ASSERT_EQ(requests.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
      EXPECT_TRUE(requests[i].function_id == kind.count_id + (i == 0 ? 0 : 2 - static_cast<int>(i % 2)));
      EXPECT_TRUE(requests[i].word(72) == 3 && requests[i].text(76) == name.substr(0, 384));
      EXPECT_EQ(requests[i].payload[460], 0);
      EXPECT_EQ(requests[i].word(464), i < 3 ? 0u : 1u);
    }
  }
}

}  // namespace
}  // namespace velmarosta
