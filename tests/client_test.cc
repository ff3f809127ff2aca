// The library above its transport, against the scripted service over the
// POSIX platform: the bytes of every request, what the client takes from each
// reply and each failure, the facade's refusals and traces, its result store,
// and who frees each result when.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client/comm_dir_facade_client.h"
#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "facade/comm_dir_data_collector.h"
#include "support/fake/faults.h"
#include "support/scripted_service.h"

// The library takes its buffers with nothrow new: those of one size can be
// made to fail. Blocks freed with delete[] are noted until a new[] takes
// their address again, so that a test sees which results were freed.
namespace {
std::atomic<std::size_t> g_fail_size{0};
std::mutex g_freed_mu;
std::set<const void*> g_freed;  // guarded by g_freed_mu
void* allocate(std::size_t n, bool array) {
  void* block = std::malloc(n == 0 ? 1 : n);
  if (array) { std::lock_guard<std::mutex> lock(g_freed_mu); g_freed.erase(block); }
  return block;
}
__attribute__((noinline)) void release(void* block) { std::free(block); }  // not seen as free() at a delete
bool freed(const void* block) { std::lock_guard<std::mutex> lock(g_freed_mu); return g_freed.count(block) != 0; }
}  // namespace

void* operator new(std::size_t n) { return allocate(n, false) ?: throw std::bad_alloc(); }
void* operator new[](std::size_t n) { return allocate(n, true) ?: throw std::bad_alloc(); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return n == g_fail_size ? nullptr : allocate(n, false); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return n == g_fail_size ? nullptr : allocate(n, true); }
void operator delete(void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block) noexcept {
  if (block != nullptr) { std::lock_guard<std::mutex> lock(g_freed_mu); g_freed.insert(block); }
  release(block);
}
void operator delete[](void* block, std::size_t) noexcept { operator delete[](block); }

namespace velmarosta {
namespace {

using commdir_test::scripted_reply;
using commdir_test::scripted_service;
using commdir_test::service_request;
using Values = std::vector<scripted_service::value>;
constexpr UINT kOp = 0x0A0B0C07, kUntouched = 0xC0FFEE;

template <typename Record>
Record patterned(int seed) {
  Record record;
  for (std::size_t i = 0; i < sizeof record; ++i) reinterpret_cast<char*>(&record)[i] = static_cast<char>(1 + (i * 7 + seed) % 251);
  return record;
}
template <typename Record>
std::string bytes(const Record& record) { return std::string(reinterpret_cast<const char*>(&record), sizeof record); }
std::string at(const service_request& request, int from, std::size_t size) { return std::string(&request.payload[from], size); }

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(service_.start(), 0); }
  void TearDown() override { g_fail_size = 0; }
  scripted_service service_;
  comm_dir_facade_client client_;
};

TEST_F(ClientTest, EachRequestCarriesItsRecordAtItsOffsetsAndEachAnswerComesBack) {
  auto info = patterned<COMM_DIR_TEST_CONNECTION_INFO>(3), answer = patterned<COMM_DIR_TEST_CONNECTION_INFO>(11);
  const auto before = info;
  const auto connect = patterned<COMM_DIR_CONNECT_INFO>(5);
  const auto bind = patterned<COMM_DIR_BIND_INFO>(9);
  const auto condition = patterned<COMM_DIR_SEARCH_CONDITION>(1);
  service_.on(COMM_DIR_FUNC_CHECK_CONNECTION, [&](const service_request&) {
    return scripted_reply::words(0x4242, answer.callback_object, bytes(answer).substr(4));
  });
  EXPECT_EQ(client_.check_connection(COMM_DIR_TEST_MODE_CALLBACK, info), 0x4242);
  std::string taken = bytes(answer);  // the findings, with the caller's own password
  const std::size_t password = offsetof(COMM_DIR_TEST_CONNECTION_INFO, bind.password);
  taken.replace(password, sizeof info.bind.password, bytes(before), password, sizeof info.bind.password);
  EXPECT_EQ(bytes(info), taken);
  UINT id = 0;
  service_.reply_word(COMM_DIR_FUNC_START_OPERATION, 0x99, 0x51);
  EXPECT_EQ(client_.start_operation(connect, &bind, &id), 0x99);
  EXPECT_EQ(id, 0x51u);
  EXPECT_EQ(client_.start_operation(connect, nullptr, &id), 0x99);
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

// What every call of one exchange may write, preset so that a write shows.
struct Outs {
  COMM_DIR_TEST_CONNECTION_INFO info;
  UINT id = kUntouched;
  CHAR* name = reinterpret_cast<CHAR*>(&id);
  Outs() { std::memset(&info, 0x5A, sizeof info); }
  bool untouched() const { return bytes(info) == bytes(Outs().info) && id == kUntouched && name == reinterpret_cast<const CHAR*>(&id); }
};
struct Op {
  int id;
  const char* name;
  std::function<RETCODE(comm_dir_facade_client&, Outs&)> call;
};
const Op kOps[] = {
    {0, "check_connection", [](auto& c, Outs& o) { return c.check_connection(COMM_DIR_TEST_MODE_SYNC, o.info); }},
    {1, "start_operation", [](auto& c, Outs& o) { return c.start_operation(COMM_DIR_CONNECT_INFO{}, nullptr, &o.id); }},
    {2, "search", [](auto& c, Outs&) { timeval t{1, 2}; return c.search(COMM_DIR_SEARCH_CONDITION{}, 0, t); }},
    {3, "get_first_attribute", [](auto& c, Outs& o) { return c.get_first_attribute(kOp, o.name); }},
    {4, "get_next_attribute", [](auto& c, Outs& o) { return c.get_next_attribute(kOp, o.name); }},
    {11, "end_operation", [](auto& c, Outs&) { return c.end_operation(kOp); }},
    {12, "get_first_entry", [](auto& c, Outs&) { return c.get_first_entry(kOp); }},
    {13, "get_next_entry", [](auto& c, Outs&) { return c.get_next_entry(kOp); }},
    {14, "free_msg", [](auto& c, Outs&) { return c.free_msg(kOp); }},
};

// Before the service answered, a failure writes nothing and is traced; once
// it answered, the results are written whatever the result word says.
TEST_F(ClientTest, EachCallWritesItsResultsOnlyOnceAnswered) {
  const scripted_reply answer = scripted_reply::words(0x3409100A, COMM_DIR_REPLY_WORD_PRESENT, std::string("cn") + '\0');
  const std::pair<const char*, RETCODE> failures[] = {
      {"emwGENIpcCreateClient", -1}, {"emwGENIpcCallClient", -1}, {"emwOSWWaitEventSem", -1}, {"", COMM_DIR_ERR_NO_MEMORY}};
  for (const Op& op : kOps) {
    SCOPED_TRACE(op.name);
    service_.on(op.id, [&](const service_request&) { return answer; });
    for (auto [fn, rc] : failures) {
      Outs outs;
      if (*fn != '\0') faults::fail(fn);
      g_fail_size = *fn != '\0' ? 0 : COMM_DIR_REPLY_SIZE;
      faults::clear();
      EXPECT_EQ(op.call(client_, outs), rc);
      g_fail_size = 0;
      EXPECT_TRUE(outs.untouched()) << fn;
      EXPECT_TRUE(faults::traced(std::string("comm_dir_facade_client::") + op.name)) << fn;
    }
    faults::clear();
    Outs outs;
    EXPECT_EQ(op.call(client_, outs), 0x3409100A);
    EXPECT_FALSE(faults::traced("comm_dir_facade_client"));
    std::string findings = std::string(answer.payload.begin() + 16, answer.payload.begin() + 16 + sizeof outs.info);
    findings.replace(offsetof(COMM_DIR_TEST_CONNECTION_INFO, bind.password), sizeof outs.info.bind.password,
                     sizeof outs.info.bind.password, 0x5A);
    EXPECT_EQ(bytes(outs.info), op.id == 0 ? findings : bytes(Outs().info));
    EXPECT_EQ(outs.id, op.id == 1 ? 1u : kUntouched);
    const bool named = op.id == 3 || op.id == 4;
    EXPECT_EQ(named ? std::string(outs.name) : "", named ? "cn" : "");
    if (named) delete[] outs.name;
    const service_request request = service_.requests().back();
    EXPECT_TRUE(op.id < 3 || (request.word(72) == kOp && at(request, 76, 100) == std::string(100, '\0')));
  }
}

TEST_F(ClientTest, AnAttributeNameIsTakenOnlyWhenPresentAndWithinItsLimit) {
  const std::string a384(384, 'a');
  struct Row { scripted_reply answer; RETCODE rc; std::optional<std::string> name; } rows[] = {
      {scripted_reply::words(0x21, 0, "cn"), 0x21, std::nullopt},
      {scripted_reply::words(0, 2, "cn"), 0, std::nullopt},
      {scripted_reply::words(0, 1, a384 + '\0'), 0, a384},
      {scripted_reply::words(0, 1, a384 + "a"), COMM_DIR_ERR_BAD_REPLY, std::nullopt},
      {scripted_reply::words(0, 1, std::string(COMM_DIR_REPLY_DATA_SIZE, 'n')), COMM_DIR_ERR_BAD_REPLY, std::nullopt},
      {scripted_reply::words(0, 1, "cn"), COMM_DIR_ERR_NO_MEMORY, std::nullopt},  // no memory for the name
  };
  for (const Row& row : rows) {
    for (int id : {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE}) {
      service_.on(id, [&](const service_request&) { return row.answer; });
      g_fail_size = row.rc == COMM_DIR_ERR_NO_MEMORY ? COMM_DIR_MAX_ATTRIBUTE_NAME + 1 : 0;
      CHAR marker, *name = &marker;
      EXPECT_EQ(id == 3 ? client_.get_first_attribute(1, name) : client_.get_next_attribute(1, name), row.rc);
      ASSERT_EQ(name != nullptr, row.name.has_value()) << row.rc;
      EXPECT_TRUE(name == nullptr || (name == *row.name && name[384] == '\0'));
      delete[] name;
    }
  }
}

// --- value lists ---

struct Kind {
  bool binary;
  int count_id, length_id, value_id;
  UINT max_length;
  std::size_t reply_extra, entry_extra;  // value reply: 1948 + L + extra bytes; entry: L + extra
};
const Kind kKinds[] = {
    {false, COMM_DIR_FUNC_GET_VALUE_STRING_CNT, COMM_DIR_FUNC_GET_VALUE_STRING_LEN, COMM_DIR_FUNC_GET_VALUE_STRING_ONE,
     COMM_DIR_MAX_STRING_VALUE, 1, 1},
    {true, COMM_DIR_FUNC_GET_VALUE_BINARY_CNT, COMM_DIR_FUNC_GET_VALUE_BINARY_LEN, COMM_DIR_FUNC_GET_VALUE_BINARY_ONE,
     COMM_DIR_MAX_BINARY_VALUE, 0, 4},
};
using Script = std::function<void(scripted_service&, const Kind&)>;
enum List { kListUntouched, kNullList, kList };

// One retrieval of "attr": its result, count and list, the list freed; a
// value is read up to its NUL (string) or its length word (binary).
struct Outcome {
  RETCODE rc;
  UINT count = kUntouched;
  List list = kListUntouched;
  Values values = {};
  bool operator==(const Outcome& o) const { return rc == o.rc && count == o.count && list == o.list && values == o.values; }
};
std::ostream& operator<<(std::ostream& out, const Outcome& o) { return out << o.rc << "/" << o.count << "/" << o.list; }

template <typename Entry>
Outcome taken(RETCODE rc, UINT count, Entry** list, Entry** marker) {
  Outcome out{rc, count, list == marker ? kListUntouched : list == nullptr ? kNullList : kList, {}};
  for (UINT i = 0; out.list == kList && i <= count; ++i) {
    const char* block = reinterpret_cast<const char*>(list[i]);
    if (i < count) out.values.push_back(block == nullptr ? std::nullopt : std::optional<std::string>(std::is_same<Entry, CHAR>::value ? std::string(block) : std::string(block + 4, reinterpret_cast<const COMM_DIR_BERVAL*>(block)->bv_len)));
    else if (block != nullptr) out.values.push_back("no NULL at the end");
    delete[] block;
  }
  if (out.list == kList) delete[] list;
  return out;
}

Outcome retrieve(comm_dir_facade_client& client, const Kind& kind, char* attribute) {
  UINT count = kUntouched;
  if (kind.binary) {
    COMM_DIR_BERVAL *marker[1], **list = marker;
    const RETCODE rc = client.get_value_binary(3, attribute, count, list);
    return taken(rc, count, list, marker);
  }
  CHAR *marker[1], **list = marker;
  const RETCODE rc = client.get_value_string(3, attribute, count, list);
  return taken(rc, count, list, marker);
}

Script serving(Values values) { return [=](scripted_service& s, const Kind&) { s.serve_values("attr", values); }; }
Script then(Script first, std::function<void(scripted_service&, const Kind&)> second) {
  return [=](scripted_service& s, const Kind& k) { first(s, k); second(s, k); };
}
// The answer to request `id` for the value at `index` replaced.
Script answering(int Kind::*id, UINT index, std::function<scripted_reply(const Kind&)> answer) {
  return [=](scripted_service& s, const Kind& k) {
    s.on(k.*id, [&s, index, answer, k](const service_request& r) { return r.word(464) == index ? answer(k) : s.value_answer(r); });
  };
}
Script failing(const char* fn, int nth) { return [=](auto&, auto&) { faults::fail(fn, nth); }; }
Script short_of(std::function<std::size_t(const Kind&)> size) { return [=](auto&, const Kind& k) { g_fail_size = size(k); }; }
Script count_reply(RETCODE rc, std::function<UINT(const Kind&)> count) {
  return [=](scripted_service& s, const Kind& k) { s.on(k.count_id, [=](auto&) { return scripted_reply::words(rc, count(k)); }); };
}

TEST_F(ClientTest, AValueListIsWholeOrNotHandedOutAtAll) {
  const Values four = {std::string("v0"), std::string("v1"), std::string("v2"), std::string("v3")};
  const Values gap = {std::string("v0"), std::nullopt, std::string("v2")};
  const Values big = {std::string("a"), std::string(1000, 'y'), std::string("c")};
  const UINT kMaxCount = COMM_DIR_MAX_VALUE_COUNT;
  auto words = [](RETCODE rc, UINT word) { return [=](const Kind&) { return scripted_reply::words(rc, word); }; };
  constexpr RETCODE kBad = COMM_DIR_ERR_BAD_REPLY, kNoMemory = COMM_DIR_ERR_NO_MEMORY;
  // exchanges: the requests that reached the service
  struct Row { Script script; Outcome out; std::size_t exchanges; } rows[] = {
      {failing("emwGENIpcCreateClient", 1), {-1}, 0},
      {failing("emwGENIpcCallClient", 1), {-1}, 0},
      {count_reply(0x77, [](auto&) { return 9u; }), {0x77, 9}, 1},
      {serving({}), {0, 0, kNullList}, 1},
      {serving(gap), {0, 3, kList, gap}, 7},
      {then(serving(four), answering(&Kind::length_id, 2, words(0x66, 0))), {0x66, 4, kNullList}, 6},
      {then(serving(four), failing("emwOSWCreateEventSem", 6)), {-1, 4, kNullList}, 5},
      {then(serving(four), answering(&Kind::value_id, 1, words(0x67, 1))), {0x67, 4, kNullList}, 5},
      {then(serving(four), failing("emwOSWCreateEventSem", 5)), {-1, 4, kNullList}, 4},
      // Replies that break the limits; the words that overflow a size come last.
      {then(serving(four), answering(&Kind::length_id, 1, [](auto& k) { return scripted_reply::words(0, k.max_length + 1); })),
       {kBad, 4, kNullList}, 4},
      {then(serving(four), answering(&Kind::length_id, 1, words(0, 0xFFFFFFFFu))), {kBad, 4, kNullList}, 4},
      {then(serving({std::string("v0"), std::string(40, 'y')}), answering(&Kind::length_id, 1, words(0, 5))),
       {kBad, 2, kNullList}, 5},  // longer than its length (string: no NUL at L; binary: its length word)
      {[](auto& s, const Kind& k) { s.serve_values("attr", {std::string(k.max_length, 'v')}); }, {0, 1, kList}, 3},
      {serving({std::string()}), {0, 1, kList, {std::string()}}, 3},
      {then(count_reply(0x3409100B, [kMaxCount](auto&) { return kMaxCount; }), [](auto& s, auto& k) { s.reply_word(k.length_id, 0x3409100B, 0); }),
       {0x3409100B, kMaxCount, kNullList}, 2},
      {count_reply(0, [kMaxCount](auto&) { return kMaxCount + 1; }), {kBad, kMaxCount + 1}, 1},
      {count_reply(0, [](auto&) { return 0xFFFFFFFFu; }), {kBad, 0xFFFFFFFFu}, 1},
      // Memory that runs out: the list, a value's reply, a value, the count's reply.
      {then(serving(Values(6, std::string("z"))), short_of([](auto&) { return 7 * sizeof(void*); })), {kNoMemory, 6}, 1},
      {then(serving(big), short_of([](auto& k) { return COMM_DIR_REPLY_SIZE + 1000 + k.reply_extra; })), {kNoMemory, 3, kNullList}, 4},
      {then(serving(big), short_of([](auto& k) { return 1000 + k.entry_extra; })), {kNoMemory, 3, kNullList}, 5},
      {then(serving(four), short_of([](auto&) { return COMM_DIR_REPLY_SIZE; })), {kNoMemory}, 0},
  };
  for (const Kind& kind : kKinds) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(kind.binary ? "binary, row " : "string, row ") + std::to_string(&row - rows));
      for (int id = kind.count_id; id <= kind.value_id; ++id) service_.on(id, nullptr);
      row.script(service_, kind);
      service_.clear_requests();
      faults::clear();
      char attribute[] = "attr";
      const Outcome out = retrieve(client_, kind, attribute);
      g_fail_size = 0;
      Outcome expected = row.out;
      if (&row - rows == 12) expected.values = {std::string(kind.max_length, 'v')};  // the largest value
      EXPECT_EQ(out, expected);
      EXPECT_EQ(service_.request_count(), row.exchanges);
      EXPECT_EQ(faults::traced(kind.binary ? "get_value_binary" : "get_value_string"), row.out.rc != 0);
    }
  }
}

// --- the facade ---

constexpr UINT kHeld = 0x2a;
constexpr RETCODE kServiceCode = 0x34091234;

// A trace line of the facade's own for `call`: a refusal's format ends in a
// blank, that of a failure passed up from below does not.
bool facade_traced(const std::string& call, bool refusal) {
  for (const std::string& line : faults::traces()) {
    if (line.find("comm_dir_facade::" + call) != std::string::npos && (line.rfind(") \n") + 3 == line.size()) == refusal) return true;
  }
  return false;
}

class FacadeTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    service_.reply_word(COMM_DIR_FUNC_START_OPERATION, 0, kHeld);
    service_.serve_attributes({"cn", "mail", "jpegPhoto"});
    service_.serve_values("mail", {std::string("a@x.org"), std::nullopt, std::string("b@x.org")});
    service_.serve_values("jpegPhoto", {std::string("\xff\xd8\x00\x01", 4)});
  }
  void start() {
    UINT id = 0;
    EXPECT_EQ(facade_->start_operation(connect_, nullptr, &id), 0);
    EXPECT_EQ(id, kHeld);
  }
  comm_dir_facade* facade_ = comm_dir_facade::comm_dir_get_instance();
  COMM_DIR_CONNECT_INFO connect_{};
};

TEST_F(FacadeTest, ARefusalSendsNothingAndTouchesNothing) {
  CHAR attribute[] = "mail", *name = reinterpret_cast<CHAR*>(0x1111), *one = name;
  UINT count = 0x2222, length = 0x2222;
  CHAR** strings = reinterpret_cast<CHAR**>(0x3333);
  COMM_DIR_BERVAL **binaries = reinterpret_cast<COMM_DIR_BERVAL**>(0x4444), *binary = nullptr;
  comm_dir_facade& f = *facade_;
  // trace: the call whose refusal is traced; "" for the calls that refuse without a word
  struct Row { std::function<RETCODE(UINT)> call; const char* trace; bool needs_record; } rows[] = {
      {[&](UINT) { return f.start_operation(connect_, nullptr, nullptr); }, "start_operation", false},
      {[&](UINT id) { return f.get_value_string(id, nullptr, count, strings); }, "get_value_string", false},
      {[&](UINT id) { return f.get_value_binary(id, nullptr, count, binaries); }, "get_value_binary", false},
      {[&](UINT id) { return f.get_first_attribute(id, name); }, "get_first_attribute", true},
      {[&](UINT id) { return f.get_next_attribute(id, name); }, "get_next_attribute", true},
      {[&](UINT id) { return f.get_value_string(id, attribute, count, strings); }, "get_value_string", true},
      {[&](UINT id) { return f.get_value_binary(id, attribute, count, binaries); }, "get_value_binary", true},
      {[&](UINT id) { return f.end_operation(id); }, "end_operation", true},
      {[&](UINT id) { return f.get_value_string_cnt(id, attribute, count); }, "", false},
      {[&](UINT id) { return f.get_value_string_len(id, attribute, 0, length); }, "", false},
      {[&](UINT id) { return f.get_value_string_one(id, attribute, 0, one); }, "", false},
      {[&](UINT id) { return f.get_value_binary_cnt(id, nullptr, count); }, "", false},
      {[&](UINT id) { return f.get_value_binary_len(id, attribute, 1, length); }, "", false},
      {[&](UINT id) { return f.get_value_binary_one(id, attribute, 2, binary); }, "", false},
  };
  for (int pass = 0; pass < 2; ++pass) {  // an id never started, then one that ended
    for (const Row& row : rows) {
      if (pass == 1 && !row.needs_record) continue;
      faults::clear();
      const std::size_t requests = service_.request_count();
      EXPECT_EQ(row.call(kHeld), COMM_DIR_ERR) << row.trace;
      EXPECT_EQ(service_.request_count(), requests) << row.trace;
      EXPECT_TRUE(*row.trace == '\0' ? faults::traces().empty() : facade_traced(row.trace, true) || faults::traced("operation_id is NULL")) << row.trace;
      EXPECT_TRUE(name == one && count == 0x2222u && length == 0x2222u && binary == nullptr);
      EXPECT_TRUE(strings == reinterpret_cast<CHAR**>(0x3333) && binaries == reinterpret_cast<COMM_DIR_BERVAL**>(0x4444));
    }
    start();
    ASSERT_EQ(facade_->end_operation(kHeld), 0);
  }
}

TEST_F(FacadeTest, AFailureFromBelowIsPassedUpAndTracedInItsOwnFormat) {
  COMM_DIR_TEST_CONNECTION_INFO test{};
  COMM_DIR_SEARCH_CONDITION condition{};
  timeval limit{};
  CHAR attribute[] = "mail", *name = nullptr, **strings = nullptr;
  COMM_DIR_BERVAL** binaries = nullptr;
  UINT count = 0, id = 0;
  comm_dir_facade& f = *facade_;
  struct Row { int function_id; const char* call; std::function<RETCODE()> act; } rows[] = {
      {COMM_DIR_FUNC_CHECK_CONNECTION, "check_connection", [&] { return f.check_connection(COMM_DIR_TEST_MODE_SYNC, test); }},
      {COMM_DIR_FUNC_START_OPERATION, "start_operation", [&] { return f.start_operation(connect_, nullptr, &id); }},
      {COMM_DIR_FUNC_SEARCH, "search", [&] { return f.search(condition, 10, limit); }},
      {COMM_DIR_FUNC_GET_FIRST_ENTRY, "get_first_entry", [&] { return f.get_first_entry(77); }},  // no record needed
      {COMM_DIR_FUNC_GET_NEXT_ENTRY, "get_next_entry", [&] { return f.get_next_entry(77); }},
      {COMM_DIR_FUNC_FREE_MSG, "free_msg", [&] { return f.free_msg(77); }},
      {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, "get_first_attribute", [&] { return f.get_first_attribute(kHeld, name); }},
      {COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, "get_next_attribute", [&] { return f.get_next_attribute(kHeld, name); }},
      {COMM_DIR_FUNC_GET_VALUE_STRING_CNT, "get_value_string", [&] { return f.get_value_string(kHeld, attribute, count, strings); }},
      {COMM_DIR_FUNC_GET_VALUE_BINARY_CNT, "get_value_binary", [&] { return f.get_value_binary(kHeld, attribute, count, binaries); }},
      {COMM_DIR_FUNC_END_OPERATION, "end_operation", [&] { return f.end_operation(kHeld); }},
  };
  start();
  for (const Row& row : rows) {
    service_.reply_word(row.function_id, kServiceCode, 0);
    faults::clear();
    EXPECT_EQ(row.act(), kServiceCode) << row.call;
    EXPECT_TRUE(facade_traced(row.call, false)) << row.call;
  }
}

// The store's mutex is taken once by the lookup before an exchange and once
// by the exchange's send; the failing call is the store's next one.
TEST_F(FacadeTest, AFailedStoreIsTracedAndNeverFreesARecordItMayHold) {
  struct Row { bool at_end; const char* fn; } rows[] = {
      {false, "emwOSWRequestMutexSem"}, {false, "emwOSWReleaseMutexSem"}, {true, "emwOSWRequestMutexSem"}, {true, "emwOSWReleaseMutexSem"}};
  for (const Row& row : rows) {
    CHAR* name = nullptr;
    if (row.at_end) start();
    ASSERT_TRUE(!row.at_end || facade_->get_first_attribute(kHeld, name) == 0);
    faults::fail(row.fn, row.at_end ? 3 : 2);
    faults::clear();
    UINT id = 0;
    EXPECT_EQ(row.at_end ? facade_->end_operation(kHeld) : facade_->start_operation(connect_, nullptr, &id), COMM_DIR_ERR);
    EXPECT_TRUE(row.at_end ? facade_traced("end_operation", true) && freed(name) : faults::traced("[ERROR]set_info_map <")) << row.fn;
    EXPECT_EQ(facade_->get_first_attribute(kHeld, name), COMM_DIR_ERR);  // no record either way
  }
  delete facade_;  // a record both freed and still stored would be freed twice here
}

TEST_F(FacadeTest, EachResultLivesUntilTheNextOfItsKindOrTheEnd) {
  start();
  CHAR* name = nullptr;
  ASSERT_EQ(facade_->get_first_attribute(kHeld, name), 0);
  ASSERT_STREQ(name, "cn");
  CHAR* first = name;
  ASSERT_EQ(facade_->get_next_attribute(kHeld, name), 0);
  EXPECT_TRUE(std::string(name) == "mail" && freed(first));
  UINT count = 0;
  CHAR** strings = nullptr;
  ASSERT_EQ(facade_->get_value_string(kHeld, name, count, strings), 0);
  ASSERT_EQ(count, 3u);
  EXPECT_TRUE(std::string(strings[0]) == "a@x.org" && strings[1] == nullptr && std::string(strings[2]) == "b@x.org");
  CHAR **held = strings, *behind_gap = strings[2], *held_name = name;
  CHAR missing[] = "telephoneNumber";  // no values: NULL, and the list held before is freed
  ASSERT_EQ(facade_->get_value_string(kHeld, missing, count, strings), 0);
  EXPECT_TRUE(count == 0 && strings == nullptr && freed(held) && freed(behind_gap));
  ASSERT_EQ(facade_->get_value_string(kHeld, name, count, strings), 0);
  held = strings;
  // A failed list call keeps the list held; an attribute call that got no
  // answer keeps the name and the caller's pointer.
  service_.reply_word(COMM_DIR_FUNC_GET_VALUE_STRING_CNT, kServiceCode, 0);
  EXPECT_EQ(facade_->get_value_string(kHeld, name, count, strings), kServiceCode);
  faults::fail("emwGENIpcCreateClient");
  EXPECT_EQ(facade_->get_next_attribute(kHeld, name), -1);
  EXPECT_TRUE(name == held_name && !freed(held_name) && !freed(held));
  ASSERT_EQ(facade_->get_next_attribute(kHeld, name), 0);
  COMM_DIR_BERVAL** binaries = nullptr;
  ASSERT_EQ(facade_->get_value_binary(kHeld, name, count, binaries), 0);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(std::string(binaries[0]->bv_val, binaries[0]->bv_len), std::string("\xff\xd8\x00\x01", 4));
  EXPECT_TRUE(freed(held_name) && !freed(held));  // a new name frees no list
  // An answer without a name frees the held one, whatever its code.
  service_.reply_word(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, kServiceCode, 0);
  CHAR* last = name;
  EXPECT_EQ(facade_->get_next_attribute(kHeld, name), kServiceCode);
  EXPECT_TRUE(name == nullptr && freed(last));
  // The service hands out the same id again: the record held stays.
  ASSERT_EQ(facade_->get_first_attribute(kHeld, name), 0);
  start();
  EXPECT_FALSE(freed(name));
  // A refused end frees nothing; the next frees everything.
  service_.reply_word(COMM_DIR_FUNC_END_OPERATION, kServiceCode, 0);
  EXPECT_EQ(facade_->end_operation(kHeld), kServiceCode);
  EXPECT_FALSE(freed(held) || freed(name) || freed(binaries));
  service_.reply_word(COMM_DIR_FUNC_END_OPERATION, 0, 0);
  const void* value = binaries[0];
  ASSERT_EQ(facade_->end_operation(kHeld), 0);
  EXPECT_TRUE(freed(held) && freed(name) && freed(binaries) && freed(value));
  // The store's destructor frees what is still held.
  start();
  ASSERT_EQ(facade_->get_first_attribute(kHeld, name), 0);
  delete facade_;
  EXPECT_TRUE(freed(name));
}

TEST_F(FacadeTest, TheCallbackServerIsNamedAfterTheProcessInEveryConnectionTest) {
  for (const auto& [process, server] : std::vector<std::pair<std::string, std::string>>{
           {"abcdefg", "DIR_SVR_abcde"}, {"ab", "DIR_SVR_ab"}, {"", "DIR_SVR_"}}) {
    faults::set_process_name(process);
    comm_dir_facade facade;
    EXPECT_TRUE(std::filesystem::exists(std::string(std::getenv("COMM_DIR_IPC_DIR")) + "/" + server)) << server;
    COMM_DIR_TEST_CONNECTION_INFO info;
    std::memset(&info, 0xA5, sizeof info);
    std::string expected = bytes(info);
    expected.replace(offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_server_name), 16, server + std::string(16 - server.size(), '\0'));
    ASSERT_EQ(facade.check_connection(COMM_DIR_TEST_MODE_CALLBACK, info), 0);
    EXPECT_EQ(at(service_.requests().back(), 76, sizeof info), expected);
  }
}

// --- the result store ---

TEST(DataCollectorTest, TheFirstRecordOfAnIdStaysAndEveryIdIsAKey) {
  comm_dir_data_collector store;
  comm_dir_info first{}, second{}, at_zero{}, at_max{}, *found = &second;
  EXPECT_EQ(store.get_info_map(7, found), COMM_DIR_ERR);  // never stored: the reference untouched
  EXPECT_EQ(found, &second);
  for (auto [id, record] : {std::pair<UINT, comm_dir_info*>{7, &first}, {7, &second}, {0, &at_zero}, {~0u, &at_max}, {9, nullptr}}) {
    EXPECT_EQ(store.set_info_map(id, record), 0);
  }
  for (auto [id, record] : {std::pair<UINT, comm_dir_info*>{7, &first}, {0, &at_zero}, {~0u, &at_max}}) {
    EXPECT_TRUE(store.get_info_map(id, found) == 0 && found == record) << id;
  }
  EXPECT_EQ(store.get_info_map(9, found), COMM_DIR_ERR);  // a NULL record is written through, and refused
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(store.unset_info_map(12345), 0);  // not held: 0 all the same
  for (UINT id : {7u, 0u, ~0u, 9u}) EXPECT_EQ(store.unset_info_map(id), 0);  // the records live on the stack
  EXPECT_EQ(store.get_info_map(0, found), COMM_DIR_ERR);
  EXPECT_TRUE(faults::traces().empty());
}

// A failed request of the mutex leaves the map alone; a failed release
// leaves the work done but reports the failure.
TEST(DataCollectorTest, EveryFailureOfItsMutexIsTracedAndReported) {
  comm_dir_info held{}, fresh{};
  for (const char* call : {"set_info_map", "get_info_map", "unset_info_map"}) {
    for (bool release : {false, true}) {
      comm_dir_data_collector store;
      ASSERT_EQ(store.set_info_map(1, &held), 0);
      const std::string fn = release ? "emwOSWReleaseMutexSem" : "emwOSWRequestMutexSem";
      faults::fail(fn);
      faults::clear();
      comm_dir_info* out = &fresh;
      const std::string c = call;
      EXPECT_EQ(c == "set_info_map" ? store.set_info_map(2, &fresh) : c == "get_info_map" ? store.get_info_map(1, out) : store.unset_info_map(1), COMM_DIR_ERR);
      EXPECT_TRUE(faults::traced("[ERROR]" + fn + " <RETCODE velmarosta::comm_dir_data_collector::" + c)) << c << fn;
      EXPECT_EQ(out, c == "get_info_map" && release ? &held : &fresh) << c << fn;
      EXPECT_EQ(store.get_info_map(2, out) == 0, c == "set_info_map" && release) << c << fn;
      EXPECT_EQ(store.get_info_map(1, out) == 0, !(c == "unset_info_map" && release)) << c << fn;
      store.unset_info_map(1);
      store.unset_info_map(2);
    }
  }
}

TEST(DataCollectorTest, ItsDestructorFreesEveryHoldingWithOrWithoutItsMutex) {
  {
    faults::fail("emwOSWCreateMutexSem");
    comm_dir_data_collector store;  // without a mutex every call still asks the platform, for id 0
    EXPECT_TRUE(faults::traced("[ERROR]emwOSWCreateMutexSem <velmarosta::comm_dir_data_collector::comm_dir_data_collector()"));
    comm_dir_info record{};
    EXPECT_EQ(store.set_info_map(1, &record), COMM_DIR_ERR);
    EXPECT_EQ(faults::last_id("emwOSWRequestMutexSem"), 0u);
  }
  EXPECT_EQ(faults::calls("emwOSWDeleteMutexSem"), 0);
  auto* store = new comm_dir_data_collector;
  auto* info = new comm_dir_info();
  auto copy = [](const char* text) { return std::strcpy(new char[std::strlen(text) + 1], text); };
  *info = {copy("name"), new char*[4]{copy("a"), nullptr, copy("b"), nullptr}, new COMM_DIR_BERVAL*[2]{}, 3, 1};
  info->bin_values[0] = reinterpret_cast<COMM_DIR_BERVAL*>(new char[6]{2, 0, 0, 0, 1, 2});
  const std::vector<const void*> blocks = {info->attr_name, info->str_values, info->str_values[0], info->str_values[2],
                                           info->bin_values, info->bin_values[0]};
  ASSERT_EQ(store->set_info_map(4, info), 0);
  faults::fail("emwOSWDeleteMutexSem");
  delete store;  // goes on and frees the record after its mutex failed
  EXPECT_TRUE(faults::traced("[ERROR]emwOSWDeleteMutexSem <velmarosta::comm_dir_data_collector::~"));
  for (const void* block : blocks) EXPECT_TRUE(freed(block));
}

}  // namespace
}  // namespace velmarosta
