// The 32-bit words that name objects of this process in messages: random
// words from the kernel on every host, never 0, never two live entries with
// one word, never the object's address; a word that names nothing finds
// nothing. Run natively and cross-built for the device.
#include <gtest/gtest.h>

#include <algorithm>
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

UINT address_of(const void* p) { return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(p)); }

// Words that come again: 0 and the words of live entries must be skipped.
void repeating_words(UINT* words, std::size_t count) {
  static const UINT kScript[] = {0, 5, 5, 0, 7};
  for (std::size_t i = 0; i < count; ++i) words[i] = kScript[i % 5];
}

TEST(HostWordsTest, AWordIsNeitherZeroNorTheWordOfALiveEntry) {
  comm_dir_word_table<int> table(repeating_words);
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(table.add(&a), 5u);
  EXPECT_EQ(table.add(&b), 7u);
  EXPECT_EQ(table.remove(5), &a);
  EXPECT_EQ(table.add(&c), 5u);  // free again
}

TEST(HostWordsTest, KernelWordsAreNeitherAddressesNorACountAndForgedWordsFindNothing) {
  comm_dir_word_table<int> table;
  std::vector<int> objects(256);  // four draws from the kernel
  std::set<UINT> live;
  UINT previous = 0, highest = 0;
  int steps_of_one = 0;
  for (int& object : objects) {
    const UINT word = table.add(&object);
    EXPECT_NE(word, 0u);
    EXPECT_NE(word, address_of(&object));
    EXPECT_TRUE(live.insert(word).second) << "two live entries share " << word;
    steps_of_one += word == previous + 1 ? 1 : 0;
    previous = word;
    highest = std::max(highest, word);
  }
  EXPECT_GT(highest, 0x10000u);
  EXPECT_LT(steps_of_one, 2) << "words that count up";
  const UINT word = *live.begin();
  for (UINT forged : {word + 1, word - 1, word ^ 0x40u, 0u, 0xFFFFFFFFu}) {
    if (live.count(forged) != 0) continue;
    EXPECT_FALSE(table.with(forged, [](int&) { ADD_FAILURE(); })) << forged;
  }
  EXPECT_TRUE(table.with(word, [](int&) {}));
  EXPECT_NE(table.remove(word), nullptr);
  EXPECT_EQ(table.remove(word), nullptr);  // stale
  EXPECT_FALSE(table.with(word, [](int&) { ADD_FAILURE(); }));
}

class Recorder : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override { last = argument; }
  std::atomic<UINT> last{0};
};

TEST(HostWordsTest, CallbackObjectWordIsNotTheObjectsAddress) {
  Recorder object;
  UINT word = velmarosta::comm_dir_register_callback(&object);
  ASSERT_NE(word, 0u);
  EXPECT_NE(word, address_of(&object));
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

TEST(HostWordsTest, TaskArgumentWordNamesTheRequestCopyWithoutItsAddress) {
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
  EXPECT_NE(request_word, 0u);
  EXPECT_NE(request_word, address_of(g_copy.load()));
  EXPECT_EQ(velmarosta::read_word(g_copy.load(), 124), 7u);  // the copy holds the payload
  g_release = true;
  fake::join_tasks();
  EXPECT_EQ(server_test::replies().size(), 1u);
  fake::reset();
}

}  // namespace
