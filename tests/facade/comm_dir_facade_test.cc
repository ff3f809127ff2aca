// The facade over the facade client and the scripted service: its
// refusals and traces, its result store's failures, and who frees each
// result when.
#include "commdir/comm_dir_facade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "ipc/comm_dir_ipc_multi_client.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "support/fake/faults.h"
#include "support/served_values.h"
#include "support/tracked_new.h"

namespace velmarosta {
namespace {

using namespace commdir_test;
constexpr UINT kHeld = 0x2a;
constexpr RETCODE kServiceCode = 0x34091234;

// A trace line of the facade's own for `call`: a refusal's format ends in a
// blank, that of a failure passed up from below does not.
bool facade_traced(const std::string& call, bool refusal) {
  for (const std::string& line : faults::traces()) {
    const bool blank = line.rfind(") \n") + 3 == line.size();
    if (line.find("comm_dir_facade::" + call) != std::string::npos && blank == refusal) return true;
  }
  return false;
}

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(service_.start(), 0);
    service_.reply_word(COMM_DIR_FUNC_START_OPERATION, 0, kHeld);
    // Ids 3 and 4 walk the names, round and round.
    auto walk = [this](const service_request& request) {
      static const char* const kNames[] = {"cn", "mail", "jpegPhoto"};
      next_name_ = request.function_id == COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE ? 0 : next_name_;
      return scripted_reply::words(0, COMM_DIR_REPLY_WORD_PRESENT, kNames[next_name_++ % 3] + std::string(1, '\0'));
    };
    service_.on(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, walk);
    service_.on(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, walk);
    serve_values(service_, {{"mail", {std::string("a@x.org"), std::nullopt, std::string("b@x.org")}},
                            {"jpegPhoto", {std::string("\xff\xd8\x00\x01", 4)}}});
  }
  void start() {
    UINT id = 0;
    EXPECT_TRUE(facade_->start_operation(connect_, nullptr, &id) == 0 && id == kHeld);
  }
  scripted_service service_;
  comm_dir_facade* facade_ = comm_dir_facade::comm_dir_get_instance();
  COMM_DIR_CONNECT_INFO connect_{};
  std::size_t next_name_ = 0;  // on the service's thread
};

// Without a record (an id never started, then one ended), with a NULL where
// the facade needs an argument, or a per-value call: COMM_DIR_ERR, nothing
// sent, nothing touched. A failure from below comes back as it is.
TEST_F(FacadeTest, ARefusalSendsNothingAndTouchesNothingAndAFailureFromBelowIsPassedUp) {
  CHAR attribute[] = "mail", *name = reinterpret_cast<CHAR*>(0x1111), *one = name;
  UINT count = 0x2222;
  CHAR** strings = reinterpret_cast<CHAR**>(0x3333);
  COMM_DIR_BERVAL **binaries = reinterpret_cast<COMM_DIR_BERVAL**>(0x4444), **unset_binaries = binaries;
  COMM_DIR_TEST_CONNECTION_INFO test{};
  COMM_DIR_SEARCH_CONDITION condition{};
  timeval limit{};
  comm_dir_facade& f = *facade_;
  // id: the function the service fails when the call is forwarded; -1: always refused
  const struct Row {
    int id;
    const char* call;
    std::function<RETCODE(UINT)> act;
  } rows[] = {
      {-1, "start_operation", [&](UINT) { return f.start_operation(connect_, nullptr, nullptr); }},
      {-1, "get_value_string", [&](UINT op) { return f.get_value_string(op, nullptr, count, strings); }},
      {-1, "get_value_binary", [&](UINT op) { return f.get_value_binary(op, nullptr, count, binaries); }},
      {3, "get_first_attribute", [&](UINT op) { return f.get_first_attribute(op, name); }},
      {4, "get_next_attribute", [&](UINT op) { return f.get_next_attribute(op, name); }},
      {5, "get_value_string", [&](UINT op) { return f.get_value_string(op, attribute, count, strings); }},
      {8, "get_value_binary", [&](UINT op) { return f.get_value_binary(op, attribute, count, binaries); }},
      {11, "end_operation", [&](UINT op) { return f.end_operation(op); }},
      {0, "check_connection", [&](UINT) { return f.check_connection(COMM_DIR_TEST_MODE_SYNC, test); }},
      {1, "start_operation",
       [&](UINT) {
         UINT id = 0;
         return f.start_operation(connect_, nullptr, &id);
       }},
      {2, "search", [&](UINT) { return f.search(condition, 10, limit); }},
      {12, "get_first_entry", [&](UINT) { return f.get_first_entry(77); }},  // forwarded without a record too
      {13, "get_next_entry", [&](UINT) { return f.get_next_entry(77); }},
      {14, "free_msg", [&](UINT) { return f.free_msg(77); }},
  };
  for (int pass = 0; pass < 3; ++pass) {  // no record yet; a record ended; a record, and the service failing
    for (const Row& row : rows) {
      const bool refused = pass < 2 || row.id < 0;  // a NULL is refused also when a record is held
      if (refused && row.id >= 0 && (row.id < 3 || row.id >= 12)) continue;
      if (!refused) service_.reply_word(row.id, kServiceCode, 0);
      faults::clear();
      const std::size_t requests = service_.requests().size();
      EXPECT_EQ(row.act(kHeld), refused ? COMM_DIR_ERR : kServiceCode) << row.call;
      EXPECT_EQ(service_.requests().size() - requests, refused ? 0u : 1u) << row.call;
      EXPECT_TRUE(facade_traced(row.call, refused) || faults::traced("id is NULL"));
      EXPECT_TRUE(!refused || (name == one && count == 0x2222u && strings == reinterpret_cast<CHAR**>(0x3333)));
      EXPECT_TRUE(!refused || binaries == unset_binaries);
    }
    if (pass < 2) start();
    ASSERT_TRUE(pass != 0 || facade_->end_operation(kHeld) == 0);
  }
}

// The store's mutex is taken once by the lookup before an exchange and once
// by the exchange's send; the failing call is the store's next one. An ended
// operation whose removal failed keeps its record, and nothing is freed. (A
// failed release there is no row: the store has dropped the record, and the
// facade, which cannot tell, leaves it unfreed.)
TEST_F(FacadeTest, AFailedStoreIsTracedAndNeverFreesARecordItMayHold) {
  const struct Row {
    const char* fn;
    bool at_end;
  } rows[] = {{"emwOSWRequestMutexSem", false}, {"emwOSWReleaseMutexSem", false}, {"emwOSWRequestMutexSem", true}};
  for (const Row& row : rows) {
    CHAR* name = nullptr;
    if (row.at_end) start();
    ASSERT_TRUE(!row.at_end || facade_->get_first_attribute(kHeld, name) == 0);
    faults::fail(row.fn, row.at_end ? 3 : 2);
    faults::clear();
    UINT id = 0;
    EXPECT_EQ(row.at_end ? facade_->end_operation(kHeld) : facade_->start_operation(connect_, {}, &id), COMM_DIR_ERR);
    EXPECT_TRUE(row.at_end ? facade_traced("end_operation", true) && !freed(name) : faults::traced("]set_info_map <"));
    EXPECT_EQ(facade_->get_first_attribute(kHeld, name), row.at_end ? 0 : COMM_DIR_ERR);  // still held, or never
  }
  delete facade_;  // a record both freed and still stored would be freed twice here
}

TEST_F(FacadeTest, EachResultLivesUntilTheNextOfItsKindOrTheEnd) {
  start();
  CHAR *name = nullptr, **strings = nullptr, missing[] = "telephoneNumber";
  UINT count = 0;
  ASSERT_EQ(facade_->get_first_attribute(kHeld, name), 0);
  ASSERT_STREQ(name, "cn");
  CHAR* first = name;
  ASSERT_EQ(facade_->get_next_attribute(kHeld, name), 0);
  EXPECT_TRUE(std::string(name) == "mail" && freed(first));
  ASSERT_EQ(facade_->get_value_string(kHeld, name, count, strings), 0);
  ASSERT_EQ(count, 3u);
  EXPECT_TRUE(std::string(strings[0]) == "a@x.org" && strings[1] == nullptr && std::string(strings[2]) == "b@x.org");
  CHAR **held = strings, *behind_gap = strings[2], *held_name = name;
  ASSERT_EQ(facade_->get_value_string(kHeld, missing, count, strings), 0);  // no values: NULL, the list before freed
  EXPECT_TRUE(count == 0 && strings == nullptr && freed(held) && freed(behind_gap));
  ASSERT_EQ(facade_->get_value_string(kHeld, name, count, strings), 0);
  held = strings;
  // A failed list call keeps the list; an attribute call without an answer keeps the name and the caller's pointer.
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
  EXPECT_TRUE(freed(held_name) && !freed(held));                           // a new name frees no list
  service_.reply_word(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, kServiceCode, 0);  // an answer without a name
  CHAR* last = name;
  EXPECT_EQ(facade_->get_next_attribute(kHeld, name), kServiceCode);
  EXPECT_TRUE(name == nullptr && freed(last));
  ASSERT_EQ(facade_->get_first_attribute(kHeld, name), 0);
  start();  // the service hands out the same id again: the record held stays
  EXPECT_FALSE(freed(name));
  service_.reply_word(COMM_DIR_FUNC_END_OPERATION, kServiceCode, 0);
  EXPECT_EQ(facade_->end_operation(kHeld), kServiceCode);  // a refused end frees nothing
  EXPECT_FALSE(freed(held) || freed(name) || freed(binaries));
  service_.reply_word(COMM_DIR_FUNC_END_OPERATION, 0, 0);
  const void* value = binaries[0];
  ASSERT_EQ(facade_->end_operation(kHeld), 0);
  EXPECT_TRUE(freed(held) && freed(name) && freed(binaries) && freed(value));
  start();
  ASSERT_EQ(facade_->get_first_attribute(kHeld, name), 0);
  delete facade_;  // its store frees what is still held
  EXPECT_TRUE(freed(name));
}

TEST_F(FacadeTest, TheCallbackServerIsNamedAfterTheProcessInEveryConnectionTest) {
  for (std::string process : {"abcdefg", "ab", ""}) {
    faults::name_process(process);
    comm_dir_facade facade;
    const std::string server = "DIR_SVR_" + process.substr(0, 5);
    EXPECT_TRUE(std::filesystem::exists(std::string(std::getenv("COMM_DIR_IPC_DIR")) + "/" + server)) << server;
    COMM_DIR_TEST_CONNECTION_INFO info;
    std::memset(&info, 0xA5, sizeof info);
    std::string expected = bytes(info);
    const std::string field = server + std::string(16 - server.size(), 0);
    expected.replace(offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_server_name), 16, field);
    ASSERT_EQ(facade.check_connection(COMM_DIR_TEST_MODE_CALLBACK, info), 0);
    EXPECT_EQ(at(service_.requests().back(), 76, sizeof info), expected);
  }
}

// Each singleton is built once, however many threads ask for it first.
TEST(SingletonConcurrencyTest, RacingFirstCallsBuildOneOfEach) {
  std::atomic<bool> go{false};
  std::vector<std::vector<void*>> seen(8);
  std::vector<std::thread> threads;
  for (auto& mine : seen) {
    threads.emplace_back([&go, &mine] {
      while (!go) std::this_thread::yield();
      mine = {comm_dir_facade::comm_dir_get_instance(), comm_dir_ipc_multi_client::get_instance(),
              comm_dir_ipc_multi_server::get_instance()};
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  for (auto& mine : seen) EXPECT_EQ(mine, seen[0]);
  EXPECT_EQ(std::count(seen[0].begin(), seen[0].end(), nullptr), 0);
  EXPECT_EQ(faults::calls("emwGENIpcStartServer"), 2);  // the reply server and the callback endpoint
}

}  // namespace
}  // namespace velmarosta
