// Connection tests through the facade against slapd and against a server
// that is down: answered at once with the findings, or reported later by a
// callback that reaches the application's registered object.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

using velmarosta::comm_dir_code_from_ldap;
using velmarosta::COMM_DIR_TEST_CONNECTION_INFO;

constexpr auto kCallbackWait = std::chrono::seconds(15);

// Records the argument of every callback. Thread-safe: callbacks run on the
// callback server's tasks while the test thread waits.
class RecordingCallback : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override {
    std::lock_guard<std::mutex> lock(mutex_);
    arguments_.push_back(argument);
    arrived_.notify_all();
  }

  // The arguments once `count` callbacks arrived, or what came in time.
  std::vector<UINT> wait_for(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, kCallbackWait, [&] { return arguments_.size() >= count; });
    return arguments_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<UINT> arguments_;  // guarded by mutex_
};

enum class Server { kSlapd, kDown, kSilent };

struct ConnectionRow {
  const char* name;
  Server server;
  Identity identity;
  RETCODE result;        // the test's result, in the record and the callback
  UINT reachable;
  UINT bind_accepted;
  INT ldap_result;
};

const ConnectionRow kConnectionRows[] = {
    {"reader", Server::kSlapd, Identity::kReader, 0, 1, 1, 0},
    {"anonymous", Server::kSlapd, Identity::kAnonymous, 0, 1, 1, 0},
    {"wrong password", Server::kSlapd, Identity::kReaderWrongPassword, comm_dir_code_from_ldap(49), 1, 0, 49},
    {"server down", Server::kDown, Identity::kReader, comm_dir_code_from_ldap(-1), 0, 0, -1},
    {"server never answers", Server::kSilent, Identity::kReader, velmarosta::COMM_DIR_SVC_BIND_TIMEOUT, 1, 0, -5},
};

constexpr UINT kShortTimeoutMs = 500;  // for the server that never answers

class EndToEndConnectionTest : public EndToEndTest {
 protected:
  std::string uri_of(Server server) {
    switch (server) {
      case Server::kSlapd:
        return slapd_->uri();
      case Server::kDown:
        return closed_port_uri();
      case Server::kSilent:
        return silent_.uri();
    }
    return "";
  }

  SilentServer silent_;

  COMM_DIR_TEST_CONNECTION_INFO record_for(const ConnectionRow& row) {
    COMM_DIR_TEST_CONNECTION_INFO record{};
    record.connect = connect_record(uri_of(row.server));
    if (row.server == Server::kSilent) record.connect.network_timeout_ms = kShortTimeoutMs;
    record.bind_present = 1;
    record.bind = bind_record(row.identity);
    return record;
  }
};

TEST_F(EndToEndConnectionTest, SynchronousTestReportsWhatItFound) {
  for (const ConnectionRow& row : kConnectionRows) {
    SCOPED_TRACE(row.name);
    COMM_DIR_TEST_CONNECTION_INFO record = record_for(row);
    const RETCODE rc = facade_->check_connection(velmarosta::COMM_DIR_TEST_MODE_SYNC, record);
    EXPECT_EQ(rc, row.result) << std::hex << rc << " " << record.diagnostic;
    EXPECT_EQ(record.result, row.result) << std::hex << record.result;
    EXPECT_EQ(record.reachable, row.reachable);
    EXPECT_EQ(record.bind_accepted, row.bind_accepted);
    EXPECT_EQ(record.ldap_result, row.ldap_result);
    EXPECT_EQ(record.diagnostic[sizeof record.diagnostic - 1], '\0');
  }
}

// In callback mode the test is answered at once; its result arrives later as
// the argument of a callback on the object that the record names.
TEST_F(EndToEndConnectionTest, CallbackCarriesTheResultToTheRegisteredObject) {
  RecordingCallback callback;
  const UINT word = velmarosta::comm_dir_register_callback(&callback);
  ASSERT_NE(word, 0u);
  std::vector<UINT> expected;
  for (const ConnectionRow& row : kConnectionRows) {
    SCOPED_TRACE(row.name);
    COMM_DIR_TEST_CONNECTION_INFO record = record_for(row);
    record.callback_object = word;
    ASSERT_EQ(facade_->check_connection(velmarosta::COMM_DIR_TEST_MODE_CALLBACK, record), 0);
    expected.push_back(static_cast<UINT>(row.result));
    // One at a time, so that the order of the arguments is the rows' order.
    EXPECT_EQ(callback.wait_for(expected.size()), expected);
  }
  EXPECT_EQ(velmarosta::comm_dir_unregister_callback(word), 0);
  // The daemon's trace of every request (-d) names no password.
  for (const char* password : {SlapdFixture::kReaderPassword, "not-the-password"})
    EXPECT_EQ(service_->log().find(password), std::string::npos) << service_->log();
}

}  // namespace
}  // namespace commdir_testing
