// The daemon dies while an application's call waits for its answer: the
// call fails instead of waiting for good, and a daemon started in its place
// answers the calls made afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"
#include "support/read_file.h"

namespace commdir_testing {
namespace {

using Clock = std::chrono::steady_clock;

using commdir_testing::read_file;

// Stopped (SIGSTOP) first, the daemon is alive and the call keeps waiting;
// killed, the call returns -1 within 2 s with the trace of the failed wait.
TEST_F(EndToEndTest, CallWaitingOnADaemonThatDiesFailsInTimeAndANewDaemonAnswers) {
  const std::string trace_path = service_->ipc_dir() + "/trace.log";
  ::setenv("COMM_DIR_TRACE", trace_path.c_str(), 1);
  const SearchSpec people{"ou=people,dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB,
                          "(objectClass=inetOrgPerson)", "cn mail"};
  const LdapSearchResult expected = ldapsearch(*slapd_, Identity::kReader, people);
  ASSERT_EQ(expected.exit_code, 0) << expected.diagnostic;
  const velmarosta::COMM_DIR_CONNECT_INFO connect = connect_record(slapd_->uri());
  const velmarosta::COMM_DIR_BIND_INFO bind = bind_record(Identity::kReader);
  UINT operation = 0;
  ASSERT_EQ(facade_->start_operation(connect, &bind, &operation), 0);

  ASSERT_EQ(::kill(service_->pid(), SIGSTOP), 0);
  std::atomic<bool> returned{false};
  RETCODE rc = 0;
  Clock::time_point returned_at;
  std::thread caller([&] {
    timeval no_time_limit{0, 0};
    rc = facade_->search(search_record(people, operation), 0, no_time_limit);
    returned_at = Clock::now();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // several checks of the stopped daemon
  EXPECT_FALSE(returned) << "a stopped daemon was taken for dead";
  EXPECT_EQ(::kill(service_->pid(), SIGKILL), 0);
  while (service_->alive()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const Clock::time_point killed_at = Clock::now();
  for (const auto deadline = killed_at + std::chrono::seconds(20); !returned && Clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!returned) {  // nothing would ever wake it: fail rather than hang
    ADD_FAILURE() << "the call still waits 20 s after the daemon died";
    std::_Exit(1);
  }
  caller.join();
  EXPECT_EQ(rc, -1);
  EXPECT_LT(returned_at - killed_at, std::chrono::seconds(2));
  const std::string traces = read_file(trace_path);
  EXPECT_NE(traces.find("function failed : emwOSWWaitEventSem ret=[0x68]"), std::string::npos) << traces;

  ASSERT_TRUE(service_->restart()) << service_->error();
  const FacadeWalk after = walk(facade_, slapd_->uri(), Identity::kReader, people);
  EXPECT_EQ(after.result, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES) << after.failed_call;
  EXPECT_EQ(after.end_operation_result, 0);
  EXPECT_TRUE(after.entries == without_dns(expected.entries)) << after.entries.size() << " entries";
}

}  // namespace
}  // namespace commdir_testing
