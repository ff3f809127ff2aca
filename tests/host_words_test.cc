// The 32-bit words that name objects of this process in messages: on a host
// whose addresses fit (the device), each is the object's address, as the wire
// contract has it; on a wider host it is a handle. Both kinds are checked on
// the host where they run, and on both a word that names nothing finds
// nothing. Run natively and cross-built for the device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "commdir/comm_dir_facade.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "ipc/comm_dir_word_table.h"
#include "server_test_requests.h"
#include "support/fake/fake_platform.h"

namespace {

using velmarosta::comm_dir_word_table;
using velmarosta::kWordIsAddress;

UINT address_of(const void* p) { return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(p)); }

TEST(HostWordsTest, TableWordIsTheAddressOnANarrowHostAndAHandleOtherwise) {
  comm_dir_word_table<int> table;
  int a = 1, b = 2;
  UINT wa = table.add(&a), wb = table.add(&b);
  EXPECT_NE(wa, 0u);
  EXPECT_NE(wa, wb);
  if (kWordIsAddress) {
    EXPECT_EQ(wa, address_of(&a));
    EXPECT_EQ(wb, address_of(&b));
  } else {
    EXPECT_LT(wa, 0x10000u);  // a counter, not bits of an address
  }
  int seen = 0;
  EXPECT_TRUE(table.with(wa, [&](int& v) { seen = v; }));
  EXPECT_EQ(seen, 1);
  // Forged neighbours of a live word, and a removed word, find nothing.
  for (UINT forged : {wa + 1, wa - 1, wa + 4, 0u, 0xFFFFFFFFu}) {
    if (forged == wb) continue;
    EXPECT_FALSE(table.with(forged, [](int&) { ADD_FAILURE(); })) << forged;
  }
  EXPECT_EQ(table.remove(wa), &a);
  EXPECT_EQ(table.remove(wa), nullptr);
  EXPECT_FALSE(table.with(wa, [](int&) { ADD_FAILURE(); }));
}

TEST(HostWordsTest, HandlesWrapWithoutZeroAndWithoutIssuingAWordInUse) {
  if (kWordIsAddress) GTEST_SKIP() << "words are addresses on this host";
  comm_dir_word_table<int> table(0xFFFFFFF0u);
  int held[3] = {};
  std::set<UINT> live;
  for (int& h : held) live.insert(table.add(&h));  // 0xFFFFFFF0..F2 stay in use
  int churn = 0;
  for (int i = 0; i < 1000000; ++i) {
    UINT w = table.add(&churn);
    ASSERT_NE(w, 0u);
    ASSERT_EQ(live.count(w), 0u) << "word in use issued again: " << w;
    ASSERT_EQ(table.remove(w), &churn);
  }
  for (UINT w : live) EXPECT_NE(table.remove(w), nullptr);
}

class Recorder : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override { last = argument; }
  std::atomic<UINT> last{0};
};

TEST(HostWordsTest, CallbackObjectWordIsTheObjectsAddressOnANarrowHost) {
  Recorder object;
  UINT word = velmarosta::comm_dir_register_callback(&object);
  ASSERT_NE(word, 0u);
  if (kWordIsAddress) {
    EXPECT_EQ(word, address_of(&object));
  }
  EXPECT_EQ(velmarosta::comm_dir_unregister_callback(word), 0);
  EXPECT_NE(velmarosta::comm_dir_unregister_callback(word), 0);
}

// A dispatch function that reports the request copy it was handed and
// then holds its task until released, so the task's words can be compared
// with the copy while both are alive.
std::atomic<char*> g_copy{nullptr};
std::atomic<bool> g_release{false};
RETCODE hold_task(char* rcvbuf, char*, int* size) {
  *size = 0;
  g_copy = rcvbuf;
  while (!g_release) std::this_thread::yield();
  return 0;
}

TEST(HostWordsTest, TaskArgumentWordNamesTheRequestCopy) {
  using velmarosta::comm_dir_ipc_multi_server;
  fake::reset();
  server_test::start_reply_server();
  comm_dir_ipc_multi_server* server = comm_dir_ipc_multi_server::get_instance();
  ASSERT_EQ(server->start_server("utcp:WORDS", velmarosta::COMM_DIR_IPC_ID_CALLBACK,
                                 velmarosta::COMM_DIR_IPC_STACK_SIZE, hold_task),
            0);
  ASSERT_EQ(fake::inject("utcp:WORDS", server_test::request_form(0, 42, {7})), 0);
  ASSERT_TRUE(fake::wait_until([] { return g_copy.load() != nullptr; }));
  auto tasks = fake::calls_of("emwOSWCreateJoinTask");
  ASSERT_EQ(tasks.size(), 1u);
  UINT request_word = static_cast<UINT>(tasks[0].args[6].i);
  if (kWordIsAddress) {
    EXPECT_EQ(request_word, address_of(g_copy.load()));
  } else {
    EXPECT_LT(request_word, 0x10000u);
  }
  EXPECT_EQ(velmarosta::read_word(g_copy.load(), 124), 7u);  // the copy holds the payload
  g_release = true;
  fake::join_tasks();
  EXPECT_EQ(server_test::replies().size(), 1u);
  fake::reset();
}

}  // namespace
