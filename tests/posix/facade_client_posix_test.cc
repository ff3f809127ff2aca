// The facade client over the POSIX platform's sockets, against the scripted
// service, in a private IPC folder per test.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/comm_dir_facade_client.h"
#include "client/comm_dir_messages.h"
#include "support/private_ipc_folder.h"
#include "support/scripted_service.h"

namespace {

using commdir_test::scripted_reply;
using commdir_test::scripted_service;
using commdir_test::service_request;
using namespace velmarosta;

class FacadeClientPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.make("fclient", commdir_testing::private_ipc_folder::trace::kOff));
    ASSERT_EQ(service_.start(), 0);
  }
  void TearDown() override {
    service_.stop();
  }

  // The values of `attribute` as strings or as binary values, the list freed;
  // {"<rc>"} when the call fails.
  std::vector<std::string> fetch(const std::string& attribute, bool binary) {
    std::string name = attribute;
    UINT count = 0;
    std::vector<std::string> values;
    RETCODE rc;
    if (binary) {
      COMM_DIR_BERVAL** list = nullptr;
      rc = client_.get_value_binary(1, &name[0], count, list);
      for (UINT i = 0; rc == 0 && i < count; ++i) {
        values.emplace_back(list[i]->bv_val, list[i]->bv_len);
        delete[] reinterpret_cast<char*>(list[i]);
      }
      delete[] list;
    } else {
      CHAR** list = nullptr;
      rc = client_.get_value_string(1, &name[0], count, list);
      for (UINT i = 0; rc == 0 && i < count; ++i) {
        values.emplace_back(list[i]);
        delete[] list[i];
      }
      delete[] list;
    }
    return rc == 0 ? values : std::vector<std::string>{"<" + std::to_string(rc) + ">"};
  }

  commdir_testing::private_ipc_folder folder_;
  comm_dir_facade_client client_;
  scripted_service service_;
};

// The largest values fill whole messages; a value whose terminator is not at
// its announced length is refused, and the next retrieval works again.
TEST_F(FacadeClientPosixTest, FullSizeValuesAndABrokenOneOverSockets) {
  service_.serve_values("big", {std::string(COMM_DIR_MAX_STRING_VALUE, 's')});
  EXPECT_EQ(fetch("big", false), std::vector<std::string>{std::string(COMM_DIR_MAX_STRING_VALUE, 's')});
  service_.serve_values("big", {std::string(COMM_DIR_MAX_BINARY_VALUE, '\x80')});
  EXPECT_EQ(fetch("big", true), std::vector<std::string>{std::string(COMM_DIR_MAX_BINARY_VALUE, '\x80')});

  service_.serve_values("bad", {std::string("0123456789")});
  service_.on(COMM_DIR_FUNC_GET_VALUE_STRING_LEN, [](const service_request&) { return scripted_reply::words(0, 4); });
  EXPECT_EQ(fetch("bad", false), std::vector<std::string>{"<" + std::to_string(COMM_DIR_ERR_BAD_REPLY) + ">"});
  service_.on(COMM_DIR_FUNC_GET_VALUE_STRING_LEN, nullptr);
  service_.serve_values("bad", {std::string("0123456789")});
  EXPECT_EQ(fetch("bad", false), std::vector<std::string>{"0123456789"});
}

class FacadeClientConcurrencyTest : public FacadeClientPosixTest {};

// 16 threads, each retrieving lists of 50 values of an attribute of its own
// while the others do the same: every list exact.
TEST_F(FacadeClientConcurrencyTest, ValueListsOfSixteenThreadsAreExact) {
  constexpr int kThreads = 16, kValues = 50;
  std::vector<std::vector<std::string>> expected(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    std::vector<scripted_service::value> values;
    for (int v = 0; v < kValues; ++v) {
      expected[t].push_back("t" + std::to_string(t) + "v" + std::to_string(v) + std::string(v * 3, 'x'));
      values.emplace_back(expected[t].back());
    }
    service_.serve_values("attr" + std::to_string(t), values);
  }
  std::vector<std::vector<std::string>> got(kThreads * 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      got[2 * t] = fetch("attr" + std::to_string(t), t % 2 == 0);
      got[2 * t + 1] = fetch("attr" + std::to_string(t), t % 2 != 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < 2 * kThreads; ++i) EXPECT_EQ(got[i], expected[i / 2]) << "thread " << i / 2;
  EXPECT_EQ(service_.request_count(), static_cast<std::size_t>(kThreads * 2 * (1 + 2 * kValues)));
}

}  // namespace
