// Failover and failback through the facade and the daemon: a record with
// two URIs is served by the second while the first is down, by the first
// again once it answers and the daemon's --failback-after has passed, and a
// first server that never completes a connect costs its connect attempt once
// per failback window, not once per operation.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr auto kFailbackAfter = std::chrono::seconds(2);
// What the machine may add to an operation beyond its connect attempts.
constexpr auto kMargin = milliseconds(1500);
constexpr char kMarkerDn[] = "cn=served-by,dc=example,dc=com";

// Adds the entry that tells which server answered.
bool mark(SlapdFixture& slapd, const std::string& name) {
  return slapd.add(std::string("dn: ") + kMarkerDn + "\nobjectClass: organizationalRole\ncn: served-by\n" +
                   "description: " + name + "\n");
}

class EndToEndFailoverTest : public EndToEndTest {
 protected:
  std::vector<std::string> daemon_args() const override {
    return {"-d", "--failback-after=" + std::to_string(kFailbackAfter.count())};
  }

  void SetUp() override {
    EndToEndTest::SetUp();
    if (HasFatalFailure()) return;
    backup_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    ASSERT_TRUE(backup_->ok()) << backup_->error();
    ASSERT_TRUE(mark(*slapd_, "first")) << slapd_->error();
    ASSERT_TRUE(mark(*backup_, "backup")) << backup_->error();
  }

  void TearDown() override {
    EndToEndTest::TearDown();
    backup_.reset();
  }

  // Which server served an operation on `uris` ("first" or "backup"), or the
  // code that it failed with.
  std::string served_by(const std::string& uris, UINT network_timeout_ms = 5000) {
    velmarosta::COMM_DIR_CONNECT_INFO connect = connect_record(uris);
    connect.network_timeout_ms = network_timeout_ms;
    const FacadeWalk got =
        walk(facade_, connect, Identity::kAnonymous, {kMarkerDn, velmarosta::COMM_DIR_SCOPE_BASE, "", "description"});
    if (got.result != velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES || got.entries.size() != 1 ||
        got.entries[0].attributes.size() != 1) {
      std::ostringstream failure;
      failure << "failed in " << got.failed_call << ": " << std::hex << got.result;
      return failure.str();
    }
    return got.entries[0].attributes[0].second.at(0);
  }

  // served_by, and how long it took.
  milliseconds timed_served_by(const std::string& uris, UINT network_timeout_ms, std::string* server) {
    const auto start = steady_clock::now();
    *server = served_by(uris, network_timeout_ms);
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
  }

  std::unique_ptr<SlapdFixture> backup_;
};

TEST_F(EndToEndFailoverTest, FailsOverWhileTheFirstIsDownAndBackOnceItAnswers) {
  const std::string uris = slapd_->uri() + " " + backup_->uri();
  EXPECT_EQ(served_by(uris), "first");
  ASSERT_TRUE(slapd_->halt()) << slapd_->error();
  // The connection test that fails over succeeds, and says why.
  velmarosta::COMM_DIR_TEST_CONNECTION_INFO test{};
  test.connect = connect_record(uris);
  EXPECT_EQ(facade_->check_connection(velmarosta::COMM_DIR_TEST_MODE_SYNC, test), 0) << test.diagnostic;
  EXPECT_EQ(test.ldap_result, 0);
  EXPECT_NE(std::string(test.diagnostic).find("failed over to " + backup_->uri()), std::string::npos)
      << test.diagnostic;
  EXPECT_EQ(served_by(uris), "backup");
  EXPECT_EQ(served_by(uris), "backup");
  ASSERT_TRUE(slapd_->resume()) << slapd_->error();
  const auto deadline = steady_clock::now() + kFailbackAfter + kMargin;
  std::string server = served_by(uris);
  while (server != "first" && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(100));
    server = served_by(uris);
  }
  EXPECT_EQ(server, "first") << "still not back on the first URI "
                             << milliseconds(kFailbackAfter + kMargin).count() << " ms after it answered again";
}

TEST_F(EndToEndFailoverTest, ADeadFirstServerCostsOneConnectAttemptPerFailbackWindow) {
  UnreachableServer dead;
  ASSERT_TRUE(dead.ok());
  const std::string uris = dead.uri() + " " + backup_->uri();
  constexpr milliseconds kConnectTimeout(1500);
  const UINT timeout_ms = static_cast<UINT>(kConnectTimeout.count());
  std::string server;

  milliseconds took = timed_served_by(uris, timeout_ms, &server);
  EXPECT_EQ(server, "backup");
  EXPECT_GE(took.count(), (kConnectTimeout - milliseconds(100)).count()) << "the first URI was not tried";
  EXPECT_LT(took.count(), (kConnectTimeout + kMargin).count()) << "the failover cost more than one connect attempt";
  const auto failed_over = steady_clock::now();

  took = timed_served_by(uris, timeout_ms, &server);
  EXPECT_EQ(server, "backup");
  EXPECT_LT(took.count(), (kConnectTimeout / 2).count())
      << "the dead first URI was tried again within the failback window";

  std::this_thread::sleep_until(failed_over + kFailbackAfter + milliseconds(200));
  took = timed_served_by(uris, timeout_ms, &server);
  EXPECT_EQ(server, "backup");
  EXPECT_GE(took.count(), (kConnectTimeout - milliseconds(100)).count())
      << "the first URI was not tried again after the window";
}

}  // namespace
}  // namespace commdir_testing
