// The public facade over the fake platform and the scripted directory
// service: refusals that send nothing, every trace row, ownership of the
// results it hands out, and its one-time construction.
#include "commdir/comm_dir_facade.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/comm_dir_messages.h"
#include "platform/emw_osw.h"
#include "support/expect_trace.h"
#include "support/fake/fake_platform.h"
#include "support/scripted_service.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace velmarosta {
namespace {

using commdir_test::scripted_reply;
using commdir_test::scripted_service;

constexpr UINT kOp = 0x2a;
constexpr UINT kUnknownOp = 77;
constexpr RETCODE kServiceCode = 0x34091234;
constexpr char kFacadeSignature[] = "RETCODE velmarosta::comm_dir_facade::";
constexpr char kFormatA[] = "[ERROR]<%s>(%d)\n";
constexpr char kFormatB[] = "[ERROR]<%s>(%d) \n";
const std::string kStartSig =
    "RETCODE velmarosta::comm_dir_facade::start_operation(const velmarosta::COMM_DIR_CONNECT_INFO&, "
    "const velmarosta::COMM_DIR_BIND_INFO*, UINT*)";
const std::string kFirstAttrSig = "RETCODE velmarosta::comm_dir_facade::get_first_attribute(UINT, CHAR*&)";
const std::string kNextAttrSig = "RETCODE velmarosta::comm_dir_facade::get_next_attribute(UINT, CHAR*&)";
const std::string kStringSig =
    "RETCODE velmarosta::comm_dir_facade::get_value_string(UINT, CHAR*, UINT&, CHAR**&)";
const std::string kBinarySig =
    "RETCODE velmarosta::comm_dir_facade::get_value_binary(UINT, CHAR*, UINT&, "
    "velmarosta::COMM_DIR_BERVAL**&)";
const std::string kEndSig = "RETCODE velmarosta::comm_dir_facade::end_operation(UINT)";

// Whether a block handed out has been freed. Only AddressSanitizer can tell;
// the ASan stage of CI runs these checks, other builds skip them.
void expect_freed(const void* block, bool freed) {
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__asan_address_is_poisoned(block) != 0, freed) << block;
#else
  (void)block;
  (void)freed;
#endif
}

// The facade's own trace line (the store and the transport trace too).
void expect_one_facade_trace(const std::string& format, const std::string& signature) {
  commdir_test::only_trace(commdir_test::traces_from(kFacadeSignature), format, 0, signature);
}

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    ASSERT_EQ(service_.start(), 0);
    facade_ = comm_dir_facade::comm_dir_get_instance();
    ASSERT_NE(facade_, nullptr);
    service_.reply_word(COMM_DIR_FUNC_START_OPERATION, 0, kOp);
    service_.serve_attributes({"cn", "mail", "jpegPhoto"});
    service_.serve_values("mail", {std::string("a@x.org"), std::nullopt, std::string("b@x.org")});
    service_.serve_values("jpegPhoto", {std::string("\xff\xd8\x00\x01", 4)});
  }
  void TearDown() override { service_.stop(); }

  UINT start() {
    UINT id = 0;
    EXPECT_EQ(facade_->start_operation(connect_, nullptr, &id), 0);
    EXPECT_EQ(id, kOp);
    return id;
  }
  // The store's mutex, learnt from a lookup that it answers.
  UINT store_mutex() {
    CHAR* name = nullptr;
    facade_->get_first_attribute(kUnknownOp, name);
    return static_cast<UINT>(fake::calls_of("emwOSWRequestMutexSem").back().args[0].i);
  }
  // Makes the store's next mutex call of `fn` fail, once the calling thread
  // waits for its next reply (so that the transport's own mutex calls are
  // past). A failed release leaves a fake mutex taken; the hook releases it
  // for real first, so that the store goes on working.
  void fail_store_after_exchange(const std::string& fn) {
    UINT mutex = store_mutex();
    auto armed = std::make_shared<std::atomic<bool>>(false);
    fake::set_hook("emwOSWWaitEventSem", [fn, armed] {
      if (fn == "emwOSWRequestMutexSem") {
        fake::fail_nth(fn, 1, 0x71);
        fake::set_hook("emwOSWWaitEventSem", {});
      } else {
        armed->store(true);
      }
    });
    fake::set_hook("emwOSWReleaseMutexSem", [mutex, armed] {
      if (!armed->exchange(false)) return;
      fake::set_hook("emwOSWWaitEventSem", {});
      emwOSWReleaseMutexSem(mutex);
      fake::fail_nth("emwOSWReleaseMutexSem", 1, 0x72);
    });
  }

  scripted_service service_;
  comm_dir_facade* facade_ = nullptr;
  COMM_DIR_CONNECT_INFO connect_{};
};

TEST_F(FacadeTest, RefusalsSendNothingAndTouchNoOutParameter) {
  struct Row { const char* name; std::function<RETCODE(comm_dir_facade&, UINT id)> call; std::string format, signature; bool store_consulted; };
  CHAR* const name_mark = reinterpret_cast<CHAR*>(0x1111);
  CHAR attribute[] = "mail";
  CHAR* name = name_mark;
  UINT count = 0x2222;
  CHAR** strings = reinterpret_cast<CHAR**>(0x3333);
  COMM_DIR_BERVAL** binaries = reinterpret_cast<COMM_DIR_BERVAL**>(0x4444);
  const std::vector<Row> argument_rows = {
      {"NULL operation_id", [&](comm_dir_facade& f, UINT) { return f.start_operation(connect_, nullptr, nullptr); },
       "[ERROR]<%s>(%d) operation_id is NULL.\n", kStartSig, false},
      {"string list, NULL name", [&](comm_dir_facade& f, UINT id) { return f.get_value_string(id, nullptr, count, strings); },
       kFormatB, kStringSig, false},
      {"binary list, NULL name", [&](comm_dir_facade& f, UINT id) { return f.get_value_binary(id, nullptr, count, binaries); },
       kFormatB, kBinarySig, false},
  };
  const std::vector<Row> record_rows = {
      {"first attribute", [&](comm_dir_facade& f, UINT id) { return f.get_first_attribute(id, name); }, kFormatB, kFirstAttrSig, true},
      {"next attribute", [&](comm_dir_facade& f, UINT id) { return f.get_next_attribute(id, name); }, kFormatB, kNextAttrSig, true},
      {"string list", [&](comm_dir_facade& f, UINT id) { return f.get_value_string(id, attribute, count, strings); },
       kFormatB, kStringSig, true},
      {"binary list", [&](comm_dir_facade& f, UINT id) { return f.get_value_binary(id, attribute, count, binaries); },
       kFormatB, kBinarySig, true},
      {"end", [&](comm_dir_facade& f, UINT id) { return f.end_operation(id); }, kFormatB, kEndSig, true},
  };
  auto check = [&](const Row& row, UINT id) {
    SCOPED_TRACE(std::string(row.name) + " on id " + std::to_string(id));
    fake::clear_log();
    std::size_t requests = service_.request_count();
    EXPECT_EQ(row.call(*facade_, id), COMM_DIR_ERR);
    EXPECT_EQ(service_.request_count(), requests);
    expect_one_facade_trace(row.format, row.signature);
    EXPECT_EQ(fake::count_of("emwOSWRequestMutexSem") > 0, row.store_consulted);
    EXPECT_TRUE(name == name_mark && count == 0x2222u);
    EXPECT_TRUE(strings == reinterpret_cast<CHAR**>(0x3333) && binaries == reinterpret_cast<COMM_DIR_BERVAL**>(0x4444));
  };
  for (const Row& row : argument_rows) check(row, kUnknownOp);
  for (const Row& row : record_rows) check(row, kUnknownOp);  // never started
  start();
  ASSERT_EQ(facade_->end_operation(kOp), 0);
  for (const Row& row : record_rows) check(row, kOp);  // ended
}

TEST_F(FacadeTest, EveryForwardedFailureIsTracedWithFormatAAndPassedUp) {
  struct Row { int function_id; std::string signature; std::function<RETCODE(comm_dir_facade&)> call; };
  COMM_DIR_TEST_CONNECTION_INFO test_info{};
  COMM_DIR_SEARCH_CONDITION condition{};
  timeval limit{};
  CHAR attribute[] = "mail";
  CHAR* name = nullptr;
  UINT count = 0, id = 0;
  CHAR** strings = nullptr;
  COMM_DIR_BERVAL** binaries = nullptr;
  const std::string f = kFacadeSignature;
  const std::vector<Row> rows = {
      {COMM_DIR_FUNC_CHECK_CONNECTION,
       f + "check_connection(velmarosta::COMM_DIR_TEST_MODE, velmarosta::COMM_DIR_TEST_CONNECTION_INFO&)",
       [&](comm_dir_facade& d) { return d.check_connection(COMM_DIR_TEST_MODE_SYNC, test_info); }},
      {COMM_DIR_FUNC_START_OPERATION, kStartSig,
       [&](comm_dir_facade& d) { return d.start_operation(connect_, nullptr, &id); }},
      {COMM_DIR_FUNC_SEARCH,
       f + "search(const velmarosta::COMM_DIR_SEARCH_CONDITION&, UINT, timeval&)",
       [&](comm_dir_facade& d) { return d.search(condition, 10, limit); }},
      // Forwarded for an id without a record, too.
      {COMM_DIR_FUNC_GET_FIRST_ENTRY, f + "get_first_entry(UINT)", [&](comm_dir_facade& d) { return d.get_first_entry(kUnknownOp); }},
      {COMM_DIR_FUNC_GET_NEXT_ENTRY, f + "get_next_entry(UINT)", [&](comm_dir_facade& d) { return d.get_next_entry(kUnknownOp); }},
      {COMM_DIR_FUNC_FREE_MSG, f + "free_msg(UINT)", [&](comm_dir_facade& d) { return d.free_msg(kUnknownOp); }},
      {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, kFirstAttrSig, [&](comm_dir_facade& d) { return d.get_first_attribute(kOp, name); }},
      {COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, kNextAttrSig, [&](comm_dir_facade& d) { return d.get_next_attribute(kOp, name); }},
      {COMM_DIR_FUNC_GET_VALUE_STRING_CNT, kStringSig,
       [&](comm_dir_facade& d) { return d.get_value_string(kOp, attribute, count, strings); }},
      {COMM_DIR_FUNC_GET_VALUE_BINARY_CNT, kBinarySig,
       [&](comm_dir_facade& d) { return d.get_value_binary(kOp, attribute, count, binaries); }},
      {COMM_DIR_FUNC_END_OPERATION, kEndSig, [&](comm_dir_facade& d) { return d.end_operation(kOp); }},
  };
  start();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.signature);
    service_.reply_word(row.function_id, kServiceCode, 0);
    fake::clear_log();
    service_.clear_requests();
    EXPECT_EQ(row.call(*facade_), kServiceCode);
    EXPECT_EQ(service_.function_ids(), std::vector<int>{row.function_id});
    expect_one_facade_trace(kFormatA, row.signature);
  }
}

TEST_F(FacadeTest, StoreFailuresAreTracedAndNeverFreeAHeldRecord) {
  struct Row { const char* failing_fn; bool at_end; };  // at_end: fails end_operation's removal, else start_operation's store
  for (const Row& row : {Row{"emwOSWRequestMutexSem", false}, Row{"emwOSWReleaseMutexSem", false},
                         Row{"emwOSWRequestMutexSem", true}, Row{"emwOSWReleaseMutexSem", true}}) {
    SCOPED_TRACE(std::string(row.failing_fn) + (row.at_end ? " at end" : " at start"));
    CHAR* name = nullptr;
    if (row.at_end) {
      start();
      ASSERT_EQ(facade_->get_first_attribute(kOp, name), 0);
    }
    fail_store_after_exchange(row.failing_fn);
    fake::clear_log();
    UINT id = 0;
    if (row.at_end) {
      EXPECT_EQ(facade_->end_operation(kOp), COMM_DIR_ERR);
      expect_one_facade_trace(kFormatB, kEndSig);
      expect_freed(name, true);  // the second removal succeeded
    } else {
      EXPECT_EQ(facade_->start_operation(connect_, nullptr, &id), COMM_DIR_ERR);
      EXPECT_EQ(id, kOp);  // open at the service, without a record here
      expect_one_facade_trace("[ERROR]set_info_map <%s>(%d) \n", kStartSig);
    }
    fake::set_hook("emwOSWWaitEventSem", {});
    fake::set_hook("emwOSWReleaseMutexSem", {});
    EXPECT_EQ(facade_->get_first_attribute(kOp, name), COMM_DIR_ERR);  // no record either way
  }
  delete facade_;  // a record freed above but still in the store would be freed twice here
}

TEST_F(FacadeTest, PerValueCallsRefuseSilently) {
  start();
  CHAR attribute[] = "mail";
  UINT count = 5, length = 6;
  CHAR* one = reinterpret_cast<CHAR*>(0x10);
  COMM_DIR_BERVAL* bin = reinterpret_cast<COMM_DIR_BERVAL*>(0x20);
  const std::vector<std::function<RETCODE()>> calls = {
      [&] { return facade_->get_value_string_cnt(kOp, attribute, count); },
      [&] { return facade_->get_value_string_len(kOp, attribute, 0, length); },
      [&] { return facade_->get_value_string_one(kOp, attribute, 0, one); },
      [&] { return facade_->get_value_binary_cnt(kOp, nullptr, count); },
      [&] { return facade_->get_value_binary_len(kUnknownOp, attribute, 1, length); },
      [&] { return facade_->get_value_binary_one(kOp, attribute, 2, bin); },
  };
  fake::clear_log();
  std::size_t requests = service_.request_count();
  for (const auto& call : calls) EXPECT_EQ(call(), COMM_DIR_ERR);
  EXPECT_EQ(service_.request_count(), requests);
  EXPECT_TRUE(fake::traces().empty());
  EXPECT_TRUE(fake::calls_of_this_thread().empty());
  EXPECT_TRUE(count == 5u && length == 6u);
  EXPECT_TRUE(one == reinterpret_cast<CHAR*>(0x10) && bin == reinterpret_cast<COMM_DIR_BERVAL*>(0x20));
}

// A full walk: each result lives exactly until the library says it goes.
TEST_F(FacadeTest, ResultsAreFreedExactlyWhenReplacedOrEnded) {
  start();
  ASSERT_EQ(facade_->get_first_entry(kOp), 0);
  CHAR* name = nullptr;
  ASSERT_EQ(facade_->get_first_attribute(kOp, name), 0);
  ASSERT_STREQ(name, "cn");
  CHAR* first = name;
  ASSERT_EQ(facade_->get_next_attribute(kOp, name), 0);
  ASSERT_STREQ(name, "mail");
  expect_freed(first, true);

  UINT count = 0;
  CHAR** strings = nullptr;
  ASSERT_EQ(facade_->get_value_string(kOp, name, count, strings), 0);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(strings[0], "a@x.org");
  EXPECT_EQ(strings[1], nullptr);
  EXPECT_STREQ(strings[2], "b@x.org");
  CHAR* behind_gap = strings[2];

  // A failed list call keeps the list held before; so does a transport
  // failure of an attribute call, which also leaves the caller's pointer.
  service_.reply_word(COMM_DIR_FUNC_GET_VALUE_STRING_CNT, kServiceCode, 0);
  CHAR** kept = strings;
  EXPECT_EQ(facade_->get_value_string(kOp, name, count, strings), kServiceCode);
  expect_freed(kept, false);
  EXPECT_STREQ(kept[2], "b@x.org");
  CHAR* held_name = name;
  fake::fail_nth("emwGENIpcCreateClient", 1, 0x99);
  EXPECT_NE(facade_->get_next_attribute(kOp, name), 0);
  EXPECT_EQ(name, held_name);
  expect_freed(held_name, false);

  ASSERT_EQ(facade_->get_next_attribute(kOp, name), 0);
  ASSERT_STREQ(name, "jpegPhoto");
  expect_freed(held_name, true);
  expect_freed(kept, false);  // a new name frees no list
  COMM_DIR_BERVAL** binaries = nullptr;
  ASSERT_EQ(facade_->get_value_binary(kOp, name, count, binaries), 0);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(binaries[0]->bv_len, 4u);
  EXPECT_EQ(std::memcmp(binaries[0]->bv_val, "\xff\xd8\x00\x01", 4), 0);

  // An answer without a name frees the held one, whatever its code.
  service_.reply_word(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, kServiceCode, 0);
  CHAR* last = name;
  EXPECT_EQ(facade_->get_next_attribute(kOp, name), kServiceCode);
  EXPECT_EQ(name, nullptr);
  expect_freed(last, true);

  // A refused end frees nothing; the retry frees everything, the entry
  // behind the NULL gap included.
  service_.reply_word(COMM_DIR_FUNC_END_OPERATION, kServiceCode, 0);
  EXPECT_EQ(facade_->end_operation(kOp), kServiceCode);
  expect_freed(kept, false);
  service_.reply_word(COMM_DIR_FUNC_END_OPERATION, 0, 0);
  const void* value = binaries[0];
  ASSERT_EQ(facade_->end_operation(kOp), 0);
  for (const void* block : {static_cast<const void*>(kept), static_cast<const void*>(behind_gap),
                            static_cast<const void*>(binaries), value}) expect_freed(block, true);
}

TEST_F(FacadeTest, EmptyListsAndDuplicateIdsAndTheStoreOnDestruction) {
  start();
  CHAR attribute[] = "mail";
  UINT count = 0;
  CHAR** strings = nullptr;
  ASSERT_EQ(facade_->get_value_string(kOp, attribute, count, strings), 0);
  CHAR** previous = strings;
  CHAR missing[] = "telephoneNumber";  // no values: 0, NULL, the previous list freed
  ASSERT_EQ(facade_->get_value_string(kOp, missing, count, strings), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(strings, nullptr);
  expect_freed(previous, true);

  CHAR* name = nullptr;
  ASSERT_EQ(facade_->get_first_attribute(kOp, name), 0);
  start();  // the service hands out the same id again: the held record stays
  expect_freed(name, false);
  ASSERT_EQ(facade_->get_value_string(kOp, attribute, count, strings), 0);
  delete facade_;  // frees every record the store holds
  expect_freed(name, true);
  expect_freed(strings, true);
}

// The callback server's name, from process names of 7, 2 and 0 characters,
// as the endpoint started and in every connection test record.
class FacadeNameTest : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(FacadeNameTest, CallbackServerNameFollowsTheProcessName) {
  fake::reset();
  fake::set_process_name(GetParam().first);
  scripted_service service;
  ASSERT_EQ(service.start(), 0);
  comm_dir_facade* facade = comm_dir_facade::comm_dir_get_instance();
  const std::string name = GetParam().second;
  auto starts = fake::calls_of("emwGENIpcStartServer");
  ASSERT_FALSE(starts.empty());
  EXPECT_EQ(starts.back().args[0].s, "utcp:" + name);

  COMM_DIR_TEST_CONNECTION_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  ASSERT_EQ(facade->check_connection(COMM_DIR_TEST_MODE_CALLBACK, info), 0);
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 1u);
  constexpr std::size_t kRecord = 76;
  constexpr std::size_t kName = offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_server_name);
  for (std::size_t i = 0; i < sizeof info; ++i) {
    unsigned char want = 0xA5;
    if (i >= kName && i < kName + 16) want = i - kName < name.size() ? name[i - kName] : 0;
    ASSERT_EQ(requests[0].byte(kRecord + i), want) << "record byte " << i;
  }
  service.stop();
}

INSTANTIATE_TEST_SUITE_P(ProcessNames, FacadeNameTest,
                         ::testing::Values(std::make_pair("abcdefg", "DIR_SVR_abcde"),
                                           std::make_pair("ab", "DIR_SVR_ab"),
                                           std::make_pair("", "DIR_SVR_")));

TEST(FacadeConcurrencyTest, RacingFirstCallsBuildOneFacade) {
  fake::reset();
  // A slow construction keeps the second caller arriving while the first
  // one builds.
  fake::set_hook("emwOSWGetProcessName", [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
  std::atomic<bool> go{false};
  comm_dir_facade* seen[2] = {nullptr, nullptr};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = comm_dir_facade::comm_dir_get_instance();
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(comm_dir_facade::comm_dir_get_instance(), seen[0]);
  // Each construction asks for the process name once and starts one
  // callback endpoint; nothing else in the library does either before a
  // directory request.
  EXPECT_EQ(fake::count_of("emwOSWGetProcessName"), 1);
  EXPECT_EQ(fake::count_of("emwGENIpcStartServer"), 1);
}

}  // namespace
}  // namespace velmarosta
