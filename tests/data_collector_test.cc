// The operation result store: its map rules, what its destructor frees (and
// in which order), and every failure of its mutex, each with its trace.
#include "facade/comm_dir_data_collector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/emw_osw.h"
#include "support/expect_trace.h"
#include "support/fake/fake_platform.h"

// Array frees are logged while g_log_frees is set, so that a test can see
// which blocks the store released and in what order. Both array forms are
// replaced together so that every block is allocated and freed by the same
// pair of functions (sanitizers check that pairing): the scalar ones.
namespace {
std::mutex g_free_log_mu;
bool g_log_frees = false;              // guarded by g_free_log_mu
std::vector<const void*> g_freed;      // guarded by g_free_log_mu
}  // namespace

void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete[](void* block) noexcept {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_free_log_mu);
    if (g_log_frees) g_freed.push_back(block);
  }
  ::operator delete(block);
}
void operator delete[](void* block, std::size_t) noexcept { operator delete[](block); }

namespace velmarosta {
namespace {

constexpr char kSet[] =
    "RETCODE velmarosta::comm_dir_data_collector::set_info_map(UINT, velmarosta::COMM_DIR_INFO*)";
constexpr char kGet[] =
    "RETCODE velmarosta::comm_dir_data_collector::get_info_map(UINT, velmarosta::COMM_DIR_INFO*&)";
constexpr char kUnset[] = "RETCODE velmarosta::comm_dir_data_collector::unset_info_map(UINT)";
constexpr char kRequestFormat[] = "[ERROR]emwOSWRequestMutexSem <%s>(%d) \n";
constexpr char kReleaseFormat[] = "[ERROR]emwOSWReleaseMutexSem <%s>(%d) \n";

char* new_string(const char* text) {
  char* copy = new char[std::strlen(text) + 1];
  std::strcpy(copy, text);
  return copy;
}

COMM_DIR_BERVAL* new_berval(const char* bytes, UINT length) {
  char* block = new char[sizeof(UINT) + length];
  std::memcpy(block, &length, sizeof length);
  std::memcpy(block + sizeof length, bytes, length);
  return reinterpret_cast<COMM_DIR_BERVAL*>(block);
}

// A record holding a name, a string list {a, NULL, b} (a gap before its last
// entry, count 3) and a binary list of one value.
comm_dir_info* full_record(const char* name) {
  comm_dir_info* info = new comm_dir_info();
  info->attr_name = new_string(name);
  info->str_values = new char*[4]();
  info->str_values[0] = new_string("a");
  info->str_values[2] = new_string("b");
  info->str_count = 3;
  info->bin_values = new COMM_DIR_BERVAL*[2]();
  info->bin_values[0] = new_berval("\x00\x01", 2);
  info->bin_count = 1;
  return info;
}

void expect_one_trace(const char* format, INT flag, const std::string& signature) {
  commdir_test::only_trace(fake::traces(), format, flag, signature);
}

// The mutex that a failed release left taken (a failure has no effect in the
// fake), released so that the store can be used again.
void release_store_mutex() {
  auto releases = fake::calls_of("emwOSWReleaseMutexSem");
  ASSERT_FALSE(releases.empty());
  ASSERT_EQ(emwOSWReleaseMutexSem(static_cast<UINT>(releases.back().args[0].i)), 0);
}

class DataCollectorTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(DataCollectorTest, MapKeepsFirstRecordAndTreatsEveryIdAsOrdinaryKey) {
  comm_dir_data_collector store;
  comm_dir_info first{}, second{}, at_zero{}, at_max{};
  comm_dir_info* found = &second;

  // Never stored: refused without a trace, reference untouched.
  EXPECT_EQ(store.get_info_map(7, found), COMM_DIR_ERR);
  EXPECT_EQ(found, &second);

  EXPECT_EQ(store.set_info_map(7, &first), 0);
  EXPECT_EQ(store.set_info_map(7, &second), 0);  // already held: first stays
  EXPECT_TRUE(store.get_info_map(7, found) == 0 && found == &first);

  EXPECT_EQ(store.set_info_map(0, &at_zero), 0);
  EXPECT_EQ(store.set_info_map(0xFFFFFFFFu, &at_max), 0);
  EXPECT_TRUE(store.get_info_map(0, found) == 0 && found == &at_zero);
  EXPECT_TRUE(store.get_info_map(0xFFFFFFFFu, found) == 0 && found == &at_max);

  EXPECT_EQ(store.unset_info_map(12345), 0);  // not held: still 0
  EXPECT_EQ(store.unset_info_map(0xFFFFFFFFu), 0);
  EXPECT_EQ(store.get_info_map(0xFFFFFFFFu, found), COMM_DIR_ERR);
  EXPECT_TRUE(store.get_info_map(0, found) == 0 && found == &at_zero);  // neighbours untouched

  // A NULL record is written through and refused.
  EXPECT_EQ(store.set_info_map(9, nullptr), 0);
  EXPECT_EQ(store.get_info_map(9, found), COMM_DIR_ERR);
  EXPECT_EQ(found, nullptr);

  // The stack records must not be freed by the destructor.
  for (UINT id : {7u, 0u, 9u}) EXPECT_EQ(store.unset_info_map(id), 0);
  EXPECT_TRUE(fake::traces().empty());
  // Every call requested and released the mutex it created, waiting forever.
  auto requests = fake::calls_of("emwOSWRequestMutexSem");
  EXPECT_EQ(requests.size(), fake::calls_of("emwOSWReleaseMutexSem").size());
  for (const auto& call : requests) EXPECT_EQ(call.args[1].i, -1);
}

TEST_F(DataCollectorTest, DestructorFreesEveryHoldingInAscendingIdOrder) {
  auto* store = new comm_dir_data_collector;
  comm_dir_info* high = full_record("high");
  comm_dir_info* low = full_record("low");
  comm_dir_info* empty = new comm_dir_info();  // freed alone
  comm_dir_info* gap_first = new comm_dir_info();
  gap_first->str_values = new char*[1]();  // first element NULL: the array alone
  ASSERT_EQ(store->set_info_map(0xFFFFFFFFu, high), 0);
  ASSERT_EQ(store->set_info_map(3, empty), 0);
  ASSERT_EQ(store->set_info_map(0, low), 0);
  ASSERT_EQ(store->set_info_map(5, gap_first), 0);
  ASSERT_EQ(store->set_info_map(8, nullptr), 0);
  const void* low_name = low->attr_name;
  const void* high_name = high->attr_name;
  const void* low_after_gap = low->str_values[2];

  {
    std::lock_guard<std::mutex> lock(g_free_log_mu);
    g_log_frees = true;
  }
  delete store;  // LeakSanitizer sees anything left behind
  std::lock_guard<std::mutex> lock(g_free_log_mu);
  g_log_frees = false;
  // Per full record: name, "a", "b", string array, one value, binary array.
  ASSERT_EQ(g_freed.size(), 6u + 1u + 6u);
  EXPECT_EQ(g_freed[0], low_name);
  EXPECT_EQ(g_freed[2], low_after_gap);  // the entry behind the NULL gap
  EXPECT_EQ(g_freed[7], high_name);
  EXPECT_EQ(fake::count_of("emwOSWDeleteMutexSem"), 1);
  EXPECT_TRUE(fake::traces().empty());
}

// Every trace row of set, get and unset, driven by an injected failure of
// the mutex request (the map is not touched) or of its release (the work is
// done all the same).
TEST_F(DataCollectorTest, EveryMutexFailureIsTracedAndLeavesTheMapConsistent) {
  enum Call { kSetCall, kGetCall, kUnsetCall };
  const char* signatures[] = {kSet, kGet, kUnset};
  comm_dir_info held{}, fresh{};
  for (Call call : {kSetCall, kGetCall, kUnsetCall}) {
    for (bool release : {false, true}) {
      SCOPED_TRACE(std::string(signatures[call]) + (release ? ", release fails" : ", request fails"));
      fake::reset();
      comm_dir_data_collector store;
      ASSERT_EQ(store.set_info_map(1, &held), 0);
      fake::clear_log();
      fake::fail_nth(release ? "emwOSWReleaseMutexSem" : "emwOSWRequestMutexSem", 1, 0x77);
      comm_dir_info* out = &fresh;
      RETCODE result = call == kSetCall   ? store.set_info_map(2, &fresh)
                       : call == kGetCall ? store.get_info_map(1, out)
                                          : store.unset_info_map(1);
      EXPECT_EQ(result, COMM_DIR_ERR);
      expect_one_trace(release ? kReleaseFormat : kRequestFormat, 0, signatures[call]);
      if (release) release_store_mutex();
      bool work_done = release;
      EXPECT_EQ(out, call == kGetCall && work_done ? &held : &fresh);
      EXPECT_EQ(store.get_info_map(2, out) == 0, call == kSetCall && work_done);
      EXPECT_EQ(store.get_info_map(1, out) == 0, !(call == kUnsetCall && work_done));
      store.unset_info_map(1);  // the records live on the stack
      store.unset_info_map(2);
    }
  }
}

TEST_F(DataCollectorTest, MutexCreationAndDeletionFailuresAreTracedWithFlagOne) {
  const std::string constructor = "velmarosta::comm_dir_data_collector::comm_dir_data_collector()";
  const std::string destructor = "velmarosta::comm_dir_data_collector::~comm_dir_data_collector()";
  {
    fake::fail_nth("emwOSWCreateMutexSem", 1, 0x66);
    comm_dir_data_collector store;
    expect_one_trace("[ERROR]emwOSWCreateMutexSem <%s>(%d) \n", 1, constructor);
    // Without a mutex every call still asks the platform, for id 0, and
    // reports what it answers.
    fake::clear_log();
    comm_dir_info record{};
    EXPECT_EQ(store.set_info_map(1, &record), COMM_DIR_ERR);
    auto requests = fake::calls_of("emwOSWRequestMutexSem");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].args[0].i, 0);
    expect_one_trace(kRequestFormat, 0, kSet);
    fake::clear_log();
  }  // no mutex to delete: no call, no trace
  EXPECT_EQ(fake::count_of("emwOSWDeleteMutexSem"), 0);
  EXPECT_TRUE(fake::traces().empty());

  auto* store = new comm_dir_data_collector;
  ASSERT_EQ(store->set_info_map(4, full_record("kept")), 0);
  fake::clear_log();
  fake::fail_nth("emwOSWDeleteMutexSem", 1, 0x65);
  delete store;  // goes on and frees the record (LeakSanitizer checks)
  expect_one_trace("[ERROR]emwOSWDeleteMutexSem <%s>(%d) \n", 1, destructor);
}

}  // namespace
}  // namespace velmarosta
