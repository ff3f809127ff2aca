// Sixteen application threads, each walking the sample address book through
// an operation of its own, against one daemon: every walk is exact.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

constexpr int kThreads = 16;

TEST_F(EndToEndTest, SixteenThreadsWalkTheirOwnOperationsExactly) {
  const SearchSpec everything{"dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB, "", ""};
  const LdapSearchResult expected = ldapsearch(*slapd_, Identity::kReader, everything);
  ASSERT_EQ(expected.exit_code, 0) << expected.diagnostic;
  ASSERT_FALSE(expected.entries.empty());
  const std::vector<LdifEntry> expected_entries = without_dns(expected.entries);

  std::vector<FacadeWalk> walks(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { walks[i] = walk(facade_, slapd_->uri(), Identity::kReader, everything); });
  }
  for (std::thread& thread : threads) thread.join();

  for (int i = 0; i < kThreads; ++i) {
    SCOPED_TRACE("thread " + std::to_string(i));
    EXPECT_EQ(walks[i].result, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES) << walks[i].failed_call;
    EXPECT_EQ(walks[i].end_operation_result, 0);
    EXPECT_TRUE(walks[i].entries == expected_entries) << walks[i].entries.size() << " entries";
  }
}

}  // namespace
}  // namespace commdir_testing
