// The facade client over the fake platform, against the scripted service:
// the bytes of every request, the outcome of every failure, and replies that
// break the limits of the messages.
#include "client/comm_dir_facade_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/comm_dir_messages.h"
#include "support/expect_trace.h"
#include "support/fake/fake_platform.h"
#include "support/scripted_service.h"

// Nothrow allocations of one chosen size fail, so that each allocation of the
// client can be made to fail on its own. Every form goes through malloc, so
// that the sanitizers still see each allocation paired with its release.
static std::atomic<std::size_t> g_fail_size{0};
static void* allocate(std::size_t n) { return std::malloc(n == 0 ? 1 : n); }
__attribute__((noinline)) static void release(void* p) { std::free(p); }
void* operator new(std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return n == g_fail_size ? nullptr : allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using commdir_test::scripted_reply;
using commdir_test::scripted_service;
using commdir_test::service_request;
using namespace velmarosta;

constexpr char kClientSignaturePrefix[] = "RETCODE velmarosta::comm_dir_facade_client::";
constexpr UINT kUntouchedCount = 0xC0FFEEu;

// The trace lines of the facade client (the transport writes its own).
std::vector<fake::Trace> client_traces() { return commdir_test::traces_from(kClientSignaturePrefix); }

void expect_one_trace(const std::string& signature) {
  commdir_test::only_trace(client_traces(), "[ERROR]<%s>(%d) \n", 0, signature);
}

std::string pattern(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(1 + (i * 7 + seed) % 251);
  return bytes;
}

template <typename Record>
Record record_of(const std::string& bytes) {
  Record r;
  std::memcpy(&r, bytes.data(), sizeof r);
  return r;
}

std::string payload_bytes(const service_request& r, std::size_t from, std::size_t to) {
  std::string bytes;
  for (std::size_t i = from; i < to; ++i) bytes.push_back(static_cast<char>(r.byte(i)));
  return bytes;
}

// Every request names its function and leaves the 72 bytes before its
// arguments zero.
void expect_request(const service_request& r, int function_id) {
  EXPECT_EQ(r.function_id, function_id);
  EXPECT_EQ(payload_bytes(r, 0, 72), std::string(72, '\0'));
}

class FacadeClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(service_.start(), 0);
    fake::clear_log();
  }
  void TearDown() override {
    g_fail_size = 0;
    service_.stop();
  }

  // Every IPC client opened has been closed again (the service's own too).
  void expect_clients_closed() {
    auto opened = [] {
      auto creates = fake::calls_of("emwGENIpcCreateClient");
      return std::count_if(creates.begin(), creates.end(), [](const fake::Call& c) { return c.result == 0; });
    };
    EXPECT_TRUE(fake::wait_until([&] { return opened() == fake::count_of("emwGENIpcDestroyClient"); }));
  }

  comm_dir_facade_client client_;
  scripted_service service_;
};

constexpr UINT kOperation = 0x0A0B0C07u;

// The out-parameters of every single exchange, preset so that a write shows.
struct Outs {
  COMM_DIR_TEST_CONNECTION_INFO info;
  UINT operation_id = kUntouchedCount;
  CHAR* name = reinterpret_cast<CHAR*>(&operation_id);
  Outs() { std::memset(&info, 0x5A, sizeof info); }
  bool untouched() const {
    Outs fresh;
    return std::memcmp(&info, &fresh.info, sizeof info) == 0 && operation_id == kUntouchedCount &&
           name == reinterpret_cast<const CHAR*>(&operation_id);
  }
};

// A connection test's answer as the caller's record takes it: everything
// but the password, which the record keeps (no answer carries one).
std::string findings_taken(const char* answer, const COMM_DIR_TEST_CONNECTION_INFO& before) {
  constexpr std::size_t kPassword = offsetof(COMM_DIR_TEST_CONNECTION_INFO, bind.password);
  std::string expected(answer, sizeof before);
  expected.replace(kPassword, sizeof before.bind.password, before.bind.password, sizeof before.bind.password);
  return expected;
}

std::string bytes_of(const COMM_DIR_TEST_CONNECTION_INFO& info) {
  return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}

struct SingleOp {
  const char* signature;
  int id;
  std::function<RETCODE(comm_dir_facade_client&, Outs&)> call;
};

std::string signature_of(const char* call) {
  return std::string(kClientSignaturePrefix) + call;
}

const COMM_DIR_CONNECT_INFO kConnect{};
const COMM_DIR_SEARCH_CONDITION kCondition{};

const std::vector<SingleOp>& single_ops() {
  static const std::vector<SingleOp> ops = {
      {"check_connection(velmarosta::COMM_DIR_TEST_MODE, velmarosta::COMM_DIR_TEST_CONNECTION_INFO&)", 0,
       [](auto& c, Outs& o) { return c.check_connection(COMM_DIR_TEST_MODE_SYNC, o.info); }},
      {"start_operation(const velmarosta::COMM_DIR_CONNECT_INFO&, const velmarosta::COMM_DIR_BIND_INFO*, UINT*)", 1,
       [](auto& c, Outs& o) { return c.start_operation(kConnect, nullptr, &o.operation_id); }},
      {"search(const velmarosta::COMM_DIR_SEARCH_CONDITION&, UINT, timeval&)", 2,
       [](auto& c, Outs&) { timeval t{1, 2}; return c.search(kCondition, 0, t); }},
      {"get_first_attribute(UINT, CHAR*&)", 3, [](auto& c, Outs& o) { return c.get_first_attribute(kOperation, o.name); }},
      {"get_next_attribute(UINT, CHAR*&)", 4, [](auto& c, Outs& o) { return c.get_next_attribute(kOperation, o.name); }},
      {"end_operation(UINT)", 11, [](auto& c, Outs&) { return c.end_operation(kOperation); }},
      {"get_first_entry(UINT)", 12, [](auto& c, Outs&) { return c.get_first_entry(kOperation); }},
      {"get_next_entry(UINT)", 13, [](auto& c, Outs&) { return c.get_next_entry(kOperation); }},
      {"free_msg(UINT)", 14, [](auto& c, Outs&) { return c.free_msg(kOperation); }},
  };
  return ops;
}

// --- requests, byte for byte -----------------------------------------------------

TEST_F(FacadeClientTest, OperationRequestsCarryTheIdAfterAZeroPrefix) {
  for (const SingleOp& op : single_ops()) {
    if (op.id <= COMM_DIR_FUNC_SEARCH) continue;  // requests of their own layout
    SCOPED_TRACE(op.signature);
    service_.clear_requests();
    service_.reply_word(op.id, 0x12345, 0);
    Outs outs;
    EXPECT_EQ(op.call(client_, outs), 0x12345);
    ASSERT_EQ(service_.request_count(), 1u);
    service_request r = service_.requests()[0];
    expect_request(r, op.id);
    EXPECT_EQ(r.word(72), kOperation);
    EXPECT_LE(r.payload.size(), 76u);  // nothing after the request
  }
  expect_clients_closed();
}

TEST_F(FacadeClientTest, CheckConnectionSendsTheWholeRecordAndTakesTheAnswerBack) {
  std::string sent = pattern(sizeof(COMM_DIR_TEST_CONNECTION_INFO), 3);
  std::string answered = pattern(sizeof(COMM_DIR_TEST_CONNECTION_INFO), 11);
  scripted_reply answer = scripted_reply::words(0x4242, 0);
  std::copy(answered.begin(), answered.end(), answer.payload.begin() + 16);
  service_.reply(COMM_DIR_FUNC_CHECK_CONNECTION, answer);
  auto info = record_of<COMM_DIR_TEST_CONNECTION_INFO>(sent);
  const auto before = info;
  EXPECT_EQ(client_.check_connection(COMM_DIR_TEST_MODE_CALLBACK, info), 0x4242);
  EXPECT_EQ(bytes_of(info), findings_taken(answered.data(), before));  // also on a failure code
  service_request r = service_.requests().at(0);
  expect_request(r, COMM_DIR_FUNC_CHECK_CONNECTION);
  EXPECT_EQ(r.word(72), static_cast<UINT>(COMM_DIR_TEST_MODE_CALLBACK));
  EXPECT_EQ(payload_bytes(r, 76, 2008), sent);  // the callback name at 1988 as the caller left it
  EXPECT_LE(r.payload.size(), 2008u);
}

TEST_F(FacadeClientTest, StartOperationCarriesTheBindFlagAndRecordOnlyWhenGiven) {
  std::string connect = pattern(sizeof(COMM_DIR_CONNECT_INFO), 5);
  std::string bind = pattern(sizeof(COMM_DIR_BIND_INFO), 9);
  auto connect_record = record_of<COMM_DIR_CONNECT_INFO>(connect);
  auto bind_record = record_of<COMM_DIR_BIND_INFO>(bind);
  service_.reply_word(COMM_DIR_FUNC_START_OPERATION, 0x99, 0x51);  // a failure code, and an id
  const COMM_DIR_BIND_INFO* const binds[] = {&bind_record, nullptr};
  for (const COMM_DIR_BIND_INFO* given : binds) {
    service_.clear_requests();
    UINT operation_id = 0;
    EXPECT_EQ(client_.start_operation(connect_record, given, &operation_id), 0x99);
    EXPECT_EQ(operation_id, 0x51u);
    service_request r = service_.requests().at(0);
    expect_request(r, COMM_DIR_FUNC_START_OPERATION);
    EXPECT_EQ(payload_bytes(r, 72, 352), connect);
    EXPECT_EQ(r.word(352), given != nullptr ? 1u : 0u);
    EXPECT_EQ(payload_bytes(r, 356, 1456), given != nullptr ? bind : std::string(1100, '\0'));
    EXPECT_LE(r.payload.size(), 1456u);
  }
}

TEST_F(FacadeClientTest, SearchCarriesConditionLimitAndTimevalWords) {
  std::string condition = pattern(sizeof(COMM_DIR_SEARCH_CONDITION), 1);
  auto record = record_of<COMM_DIR_SEARCH_CONDITION>(condition);
  timeval limit{5, 250000};
  EXPECT_EQ(client_.search(record, 0x01020304u, limit), 0);
  service_request r = service_.requests().at(0);
  expect_request(r, COMM_DIR_FUNC_SEARCH);
  EXPECT_EQ(payload_bytes(r, 72, 2036), condition);
  EXPECT_EQ(std::vector<UINT>({r.word(2036), r.word(2040), r.word(2044)}), std::vector<UINT>({0x01020304u, 5u, 250000u}));
  EXPECT_LE(r.payload.size(), 2048u);
  EXPECT_EQ(limit.tv_sec, 5);
}

// --- value lists ------------------------------------------------------------------

struct Kind {
  bool binary;
  int count_id, length_id, value_id;
  UINT max_length;
  std::size_t reply_extra, entry_extra;  // value reply: 1948 + L + extra; entry: L + extra
  const char* signature;
};
const Kind kKinds[] = {
    {false, COMM_DIR_FUNC_GET_VALUE_STRING_CNT, COMM_DIR_FUNC_GET_VALUE_STRING_LEN,
     COMM_DIR_FUNC_GET_VALUE_STRING_ONE, COMM_DIR_MAX_STRING_VALUE, 1, 1,
     "RETCODE velmarosta::comm_dir_facade_client::get_value_string(UINT, CHAR*, UINT&, CHAR**&)"},
    {true, COMM_DIR_FUNC_GET_VALUE_BINARY_CNT, COMM_DIR_FUNC_GET_VALUE_BINARY_LEN,
     COMM_DIR_FUNC_GET_VALUE_BINARY_ONE, COMM_DIR_MAX_BINARY_VALUE, 0, 4,
     "RETCODE velmarosta::comm_dir_facade_client::get_value_binary(UINT, CHAR*, UINT&, "
     "velmarosta::COMM_DIR_BERVAL**&)"},
};

using Values = std::vector<scripted_service::value>;
enum class ListState { kUntouched, kNull, kList };

struct ListOutcome {
  RETCODE rc = 0;
  UINT count = kUntouchedCount;
  ListState state = ListState::kUntouched;
  Values values;  // kList: the entries, then the terminating null checked
};

// One retrieval of attribute "attr"; what the caller sees, the list freed.
template <typename Entry>
ListOutcome take_list(RETCODE rc, UINT count, Entry** list, Entry** untouched, bool binary) {
  ListOutcome out{rc, count, ListState::kUntouched, {}};
  if (list == untouched) return out;
  out.state = list == nullptr ? ListState::kNull : ListState::kList;
  for (UINT i = 0; list != nullptr && i < count; ++i) {
    const char* block = reinterpret_cast<const char*>(list[i]);
    if (block == nullptr) {
      out.values.push_back(std::nullopt);
    } else if (binary) {
      UINT length;
      std::memcpy(&length, block, sizeof length);
      out.values.push_back(std::string(block + 4, length));
    } else {
      out.values.push_back(std::string(block));
    }
    delete[] block;
  }
  if (list != nullptr) { EXPECT_EQ(list[count], nullptr); }
  delete[] list;
  return out;
}

ListOutcome run_list(comm_dir_facade_client& client, const Kind& kind, UINT operation_id, char* attribute) {
  UINT count = kUntouchedCount;
  if (kind.binary) {
    COMM_DIR_BERVAL* marker[1];
    COMM_DIR_BERVAL** list = marker;
    RETCODE rc = client.get_value_binary(operation_id, attribute, count, list);
    return take_list(rc, count, list, marker, true);
  }
  CHAR* marker[1];
  CHAR** list = marker;
  RETCODE rc = client.get_value_string(operation_id, attribute, count, list);
  return take_list(rc, count, list, marker, false);
}

// Replaces the service's answer to `id` for the value at `index`.
void answer_at(scripted_service& service, int id, UINT index, scripted_reply answer) {
  service.on(id, [&service, index, answer](const service_request& r) {
    return r.value_index() == index ? answer : service.value_answer(r);
  });
}

// The count, length and value requests of both lists carry the name cut to
// 384 characters with byte 460 zero, the padding zero and the index at 464.
TEST_F(FacadeClientTest, ValueRequestsCutTheNameAndPlaceTheIndex) {
  const std::string long_name = pattern(400, 2);
  const std::string names[] = {long_name, long_name.substr(0, 384), ""};
  for (const std::string& name : names) {
    for (const Kind& kind : kKinds) {
      SCOPED_TRACE(std::to_string(name.size()) + (kind.binary ? " binary" : " string"));
      service_.clear_requests();
      service_.serve_values(name.substr(0, 384), {std::string("v0"), std::string("v1")});
      std::string argument = name;
      ListOutcome out = run_list(client_, kind, 0x77, &argument[0]);
      ASSERT_EQ(out.rc, 0);
      EXPECT_EQ(argument, name);
      std::vector<service_request> requests = service_.requests();
      ASSERT_EQ(requests.size(), 5u);
      for (std::size_t i = 0; i < requests.size(); ++i) {
        const service_request& r = requests[i];
        expect_request(r, i == 0 ? kind.count_id : kind.count_id + 1 + static_cast<int>((i - 1) % 2));
        EXPECT_EQ(r.word(72), 0x77u);
        std::string field = name.substr(0, 384);
        field.resize(385, '\0');
        EXPECT_EQ(payload_bytes(r, 76, 461), field);
        EXPECT_EQ(payload_bytes(r, 461, 464), std::string(3, '\0'));
        EXPECT_EQ(r.word(464), i == 0 ? 0u : static_cast<UINT>((i - 1) / 2));
        EXPECT_LE(r.payload.size(), i == 0 ? 464u : 468u);
      }
    }
  }
}

using Script = std::function<void(scripted_service&, const Kind&)>;
// exchanges: the requests that reached the service
struct ListRow { const char* name; Script script; RETCODE rc; UINT count; ListState state; Values values; std::size_t exchanges; bool traced; };

std::string text(std::size_t n, char c) { return std::string(n, c); }

const Values kFour = {std::string("v0"), std::string("v1"), std::string("v2"), std::string("v3")};

// Four values, the answer to request `id` of the value at `index` replaced.
Script four_answering(int Kind::*id, UINT index, scripted_reply answer) {
  return [=](scripted_service& s, const Kind& k) { s.serve_values("attr", kFour); answer_at(s, k.*id, index, answer); };
}
// Four values, the `nth` exchange failing in the transport (an event per exchange).
Script four_failing(int nth, RETCODE code) {
  return [=](scripted_service& s, const Kind&) { s.serve_values("attr", kFour); fake::fail_nth("emwOSWCreateEventSem", nth, code); };
}
Script failing(const char* fn, RETCODE code) { return [=](auto&, auto&) { fake::fail_nth(fn, 1, code); }; }
Script count_reply(RETCODE rc, UINT count) { return [=](auto& s, auto& k) { s.reply(k.count_id, scripted_reply::words(rc, count)); }; }

const ListRow kListRows[] = {
    {"create_client fails", failing("emwGENIpcCreateClient", 0x51), -1, kUntouchedCount, ListState::kUntouched, {}, 0, true},
    {"count exchange fails in transport", failing("emwGENIpcCallClient", 0x52), -1, kUntouchedCount, ListState::kUntouched, {}, 0, true},
    {"count reply has a failure code", count_reply(0x77, 9), 0x77, 9, ListState::kUntouched, {}, 1, true},
    {"count 0: one exchange, null list", [](auto& s, auto&) { s.serve_values("attr", {}); }, 0, 0, ListState::kNull, {}, 1, false},
    {"no value at index 1 of 3",
     [](auto& s, auto&) { s.serve_values("attr", {std::string("v0"), std::nullopt, std::string("v2")}); },
     0, 3, ListState::kList, {std::string("v0"), std::nullopt, std::string("v2")}, 7, false},
    {"length reply fails at index 2 of 4", four_answering(&Kind::length_id, 2, scripted_reply::words(0x66, 0)),
     0x66, 4, ListState::kNull, {}, 6, true},
    {"length exchange fails in transport at index 2 of 4", four_failing(6, 0x53), -1, 4, ListState::kNull, {}, 5, true},
    {"value reply fails at index 1", four_answering(&Kind::value_id, 1, scripted_reply::words(0x67, 1)),
     0x67, 4, ListState::kNull, {}, 5, true},
    {"value exchange fails in transport at index 1", four_failing(5, 0x54), -1, 4, ListState::kNull, {}, 4, true},
    // A reply that breaks the limits (lengths and counts at their
    // boundaries: reply_bounds_test.cc).
    {"length one beyond what a reply carries, at index 1",
     [](auto& s, auto& k) { four_answering(&Kind::length_id, 1, scripted_reply::words(0, k.max_length + 1))(s, k); },
     COMM_DIR_ERR_BAD_REPLY, 4, ListState::kNull, {}, 4, true},
    {"value longer than its length (string: no NUL at L; binary: length word)",
     [](auto& s, auto& k) {
       s.serve_values("attr", {std::string("v0"), text(40, 'y')});
       answer_at(s, k.length_id, 1, scripted_reply::words(0, 5));
     },
     COMM_DIR_ERR_BAD_REPLY, 2, ListState::kNull, {}, 5, true},
    // Allocations that fail.
    {"value array", [](auto& s, auto&) { s.serve_values("attr", Values(6, std::string("z"))); g_fail_size = 7 * sizeof(void*); },
     COMM_DIR_ERR_NO_MEMORY, 6, ListState::kUntouched, {}, 1, true},
    {"value reply buffer at index 1",
     [](auto& s, auto& k) {
       s.serve_values("attr", {std::string("a"), text(1000, 'y'), std::string("c")});
       g_fail_size = COMM_DIR_REPLY_SIZE + 1000 + k.reply_extra;
     },
     COMM_DIR_ERR_NO_MEMORY, 3, ListState::kNull, {}, 4, true},
    {"value entry at index 1",
     [](auto& s, auto& k) {
       s.serve_values("attr", {std::string("a"), text(1000, 'y'), std::string("c")});
       g_fail_size = 1000 + k.entry_extra;
     },
     COMM_DIR_ERR_NO_MEMORY, 3, ListState::kNull, {}, 5, true},
    {"reply buffer", [](auto& s, auto&) { s.serve_values("attr", kFour); g_fail_size = COMM_DIR_REPLY_SIZE; },
     COMM_DIR_ERR_NO_MEMORY, kUntouchedCount, ListState::kUntouched, {}, 0, true},
};

TEST_F(FacadeClientTest, ValueListOutcomes) {
  for (const Kind& kind : kKinds) {
    for (const ListRow& row : kListRows) {
      SCOPED_TRACE(std::string(row.name) + (kind.binary ? " (binary)" : " (string)"));
      service_.clear_requests();
      service_.on(kind.count_id, nullptr);
      row.script(service_, kind);
      fake::clear_log();
      char attribute[] = "attr";
      ListOutcome out = run_list(client_, kind, 3, attribute);
      g_fail_size = 0;
      EXPECT_EQ(out.rc, row.rc);
      EXPECT_EQ(out.count, row.count);
      EXPECT_EQ(out.state, row.state);
      if (row.state == ListState::kList) { EXPECT_EQ(out.values, row.values); }
      EXPECT_EQ(service_.request_count(), row.exchanges);
      EXPECT_EQ(client_traces().size(), row.traced ? 1u : 0u);
      if (row.traced) expect_one_trace(kind.signature);
      // One IPC client served the whole retrieval, and it was closed.
      auto creates = fake::calls_of("emwGENIpcCreateClient");
      EXPECT_EQ(std::count_if(creates.begin(), creates.end(), [](auto& c) { return c.args[0] == "COMM_DIR_CLT"; }), 1);
      expect_clients_closed();
      for (int id = kind.count_id; id <= kind.value_id; ++id) service_.on(id, nullptr);
    }
  }
}

// --- single exchanges ---------------------------------------------------------------

// Each failure before the service answered: its code, one trace with the
// operation's signature, no out-parameter written, the IPC client closed.
TEST_F(FacadeClientTest, SingleExchangeFailuresAreTracedAndWriteNothing) {
  struct Failure { const char* name; std::function<void()> inject; RETCODE rc; std::size_t exchanges; };
  const Failure failures[] = {
      {"create_client", [] { fake::fail_nth("emwGENIpcCreateClient", 1, 0x61); }, -1, 0},
      {"call_client", [] { fake::fail_nth("emwGENIpcCallClient", 1, 0x62); }, -1, 0},
      {"wait for the reply", [] { fake::fail_nth("emwOSWWaitEventSem", 1, 0x63); }, -1, 1},
      {"reply buffer", [] { g_fail_size = COMM_DIR_REPLY_SIZE; }, COMM_DIR_ERR_NO_MEMORY, 0},
  };
  for (const SingleOp& op : single_ops()) {
    for (const Failure& failure : failures) {
      SCOPED_TRACE(std::string(op.signature) + " / " + failure.name);
      service_.clear_requests();
      fake::clear_log();
      failure.inject();
      Outs outs;
      EXPECT_EQ(op.call(client_, outs), failure.rc);
      g_fail_size = 0;
      EXPECT_TRUE(outs.untouched());
      service_.wait_for_requests(failure.exchanges);
      fake::drain();  // a late reply is dropped before the next row
      EXPECT_EQ(service_.request_count(), failure.exchanges);
      expect_one_trace(signature_of(op.signature).c_str());
      expect_clients_closed();
    }
  }
}

// Once the service has answered, the out-parameters are written whatever
// the result word says, and the result word comes back untraced.
TEST_F(FacadeClientTest, AnsweredExchangesWriteOutParametersEvenOnAFailureCode) {
  scripted_reply answer = scripted_reply::name(0x3409100A, "cn");
  std::memset(answer.payload.data() + 24, 0x11, 1800);  // more of check_connection's record
  for (const SingleOp& op : single_ops()) {
    SCOPED_TRACE(op.signature);
    service_.reply(op.id, answer);
    fake::clear_log();
    Outs outs;
    EXPECT_EQ(op.call(client_, outs), 0x3409100A);
    EXPECT_TRUE(client_traces().empty());
    if (op.id == COMM_DIR_FUNC_CHECK_CONNECTION) {
      EXPECT_EQ(bytes_of(outs.info), findings_taken(answer.payload.data() + 16, Outs().info));
    } else if (op.id == COMM_DIR_FUNC_START_OPERATION) {
      EXPECT_EQ(outs.operation_id, 1u);  // the reply word, read in native order
    } else if (op.id == COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE || op.id == COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE) {
      ASSERT_NE(outs.name, reinterpret_cast<CHAR*>(&outs.operation_id));
      ASSERT_NE(outs.name, nullptr);
      EXPECT_STREQ(outs.name, "cn");
      delete[] outs.name;
    } else {
      EXPECT_TRUE(outs.untouched());
    }
  }
}

// Attribute replies: no name, the longest name, and the limits.
TEST_F(FacadeClientTest, AttributeNameReplies) {
  struct Row { const char* name; scripted_reply answer; RETCODE rc; std::optional<std::string> expected; };
  std::string unterminated = text(COMM_DIR_REPLY_DATA_SIZE, 'n');
  const Row rows[] = {
      {"reply word 0: no name", scripted_reply::words(0x21, 0, "cn"), 0x21, std::nullopt},
      {"reply word 2: no name", scripted_reply::words(0, 2, "cn"), 0, std::nullopt},
      {"384 characters", scripted_reply::name(0, text(384, 'a')), 0, text(384, 'a')},
      {"385 characters", scripted_reply::name(0, text(385, 'a')), COMM_DIR_ERR_BAD_REPLY, std::nullopt},
      {"no NUL in the whole reply", scripted_reply::words(0, 1, unterminated), COMM_DIR_ERR_BAD_REPLY, std::nullopt},
  };
  for (const Row& row : rows) {
    for (int id : {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE}) {
      SCOPED_TRACE(std::string(row.name) + " id " + std::to_string(id));
      service_.reply(id, row.answer);
      fake::clear_log();
      CHAR marker;
      CHAR* name = &marker;  // must be replaced
      RETCODE rc = id == COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE ? client_.get_first_attribute(1, name)
                                                           : client_.get_next_attribute(1, name);
      EXPECT_EQ(rc, row.rc);
      ASSERT_EQ(name != nullptr, row.expected.has_value());
      if (row.expected) {
        EXPECT_EQ(std::string(name), *row.expected);
        EXPECT_EQ(name[384], '\0');
        delete[] name;
      }
      EXPECT_EQ(client_traces().size(), rc == COMM_DIR_ERR_BAD_REPLY ? 1u : 0u);
    }
  }
  g_fail_size = 385;  // the name's array
  service_.reply(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, scripted_reply::name(0, "cn"));
  CHAR marker;
  CHAR* name = &marker;
  EXPECT_EQ(client_.get_first_attribute(1, name), COMM_DIR_ERR_NO_MEMORY);
  EXPECT_EQ(name, nullptr);  // answered: the name is written, as null
}

// Replies released in the reverse order, and one after a delay, each reach
// their own caller.
TEST_F(FacadeClientTest, RepliesOutOfOrderReachTheirOwnCallers) {
  service_.on(COMM_DIR_FUNC_GET_FIRST_ENTRY, [](const service_request& r) {
    return scripted_reply::words(static_cast<RETCODE>(r.operation_id()), 0);
  });
  service_.hold_replies(true);
  RETCODE results[3] = {};
  std::vector<std::thread> callers;
  for (UINT i = 0; i < 3; ++i) {
    callers.emplace_back([&, i] { results[i] = client_.get_first_entry(100 + i); });
    ASSERT_TRUE(service_.wait_for_held(i + 1));
  }
  for (UINT i : {2, 1, 0}) EXPECT_TRUE(service_.release(i));
  EXPECT_FALSE(service_.release(0));
  for (std::thread& t : callers) t.join();
  for (UINT i = 0; i < 3; ++i) EXPECT_EQ(results[i], static_cast<RETCODE>(100 + i));
  service_.hold_replies(false);
  service_.reply(COMM_DIR_FUNC_FREE_MSG, scripted_reply::words(7, 0).after(std::chrono::milliseconds(30)));
  EXPECT_EQ(client_.free_msg(1), 7);
}

}  // namespace
