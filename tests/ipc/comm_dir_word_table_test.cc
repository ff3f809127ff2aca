// The table of the words that name objects in messages.
#include "ipc/comm_dir_word_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

namespace velmarosta {
namespace {

TEST(HostWordsTest, AWordIsRandomNeverZeroAndNeverShared) {
  comm_dir_word_table<int> scripted([](UINT* words, std::size_t count) {
    static const UINT kScript[] = {0, 5, 5, 0, 7, 5, 9};
    for (std::size_t i = 0; i < count; ++i) words[i] = kScript[i % 7];
  });
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(scripted.add(&a), 5u);
  EXPECT_EQ(scripted.add(&b), 7u);
  EXPECT_EQ(scripted.remove(5), &a);
  EXPECT_EQ(scripted.add(&c), 5u);

  comm_dir_word_table<int> table;
  std::vector<int> objects(256);  // four draws from the kernel
  std::set<UINT> live;
  int steps_of_one = 0;
  UINT previous = 0;
  for (int& object : objects) {
    const UINT word = table.add(&object);
    EXPECT_NE(word, static_cast<UINT>(reinterpret_cast<std::uintptr_t>(&object)));
    steps_of_one += word == previous + 1 ? 1 : 0;
    live.insert(previous = word);
  }
  EXPECT_TRUE(live.size() == 256u && live.count(0) == 0 && *live.rbegin() > 0x10000u);
  EXPECT_LT(steps_of_one, 2) << "words that count up";
}

}  // namespace
}  // namespace velmarosta
