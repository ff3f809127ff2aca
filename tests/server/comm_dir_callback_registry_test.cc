// The callback registry: an unregistration and a callback under way.
#include "server/comm_dir_callback_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "commdir/comm_dir_facade.h"

namespace velmarosta {
namespace {

TEST(CallbackConcurrencyTest, UnregisterWaitsForTheCallbackUnderWayAndNoneStartsAfter) {
  struct Blocking : comm_dir_callback {
    void on_callback(UINT) override {
      if (++calls > 1) return;
      entered.set_value();
      release.get_future().wait();
      finished = true;
    }
    std::promise<void> entered, release;
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
  } object;
  const UINT word = comm_dir_register_callback(&object);
  std::thread callback([&] { comm_dir_invoke_callback(word, 1); });
  object.entered.get_future().wait();
  std::thread unregister([&] {
    EXPECT_EQ(comm_dir_unregister_callback(word), 0);
    EXPECT_TRUE(object.finished);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach its wait
  object.release.set_value();
  unregister.join();
  callback.join();
  EXPECT_FALSE(comm_dir_invoke_callback(word, 1));
  EXPECT_EQ(object.calls, 1);
}

}  // namespace
}  // namespace velmarosta
