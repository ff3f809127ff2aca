// The library and the daemon with more than 1,024 descriptors open: every
// socket either of them opens has a number above FD_SETSIZE, so a wait built
// on select() would break here. The descriptors are opened before slapd, the
// daemon and the facade start, and are inherited by the daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <vector>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

constexpr int kDescriptors = 1100;

class ManyDescriptorsTest : public EndToEndTest {
 protected:
  void SetUp() override {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < kDescriptors + 100) {
      if (limit.rlim_max < kDescriptors + 100) {
        GTEST_SKIP() << "the hard limit of open files (" << limit.rlim_max << ") is below " << kDescriptors + 100;
      }
      limit.rlim_cur = limit.rlim_max;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    // Not close-on-exec: the daemon inherits them, and its sockets too are
    // numbered beyond FD_SETSIZE.
    while (descriptors_.size() < kDescriptors) {
      const int fd = open("/dev/null", O_RDONLY);
      ASSERT_GE(fd, 0);
      descriptors_.push_back(fd);
    }
    ASSERT_GT(descriptors_.back(), FD_SETSIZE);
    EndToEndTest::SetUp();
  }
  void TearDown() override {
    EndToEndTest::TearDown();
    for (int fd : descriptors_) close(fd);
  }

  std::vector<int> descriptors_;
};

TEST_F(ManyDescriptorsTest, AWalkThroughTheDaemonIsExact) {
  const SearchSpec everything{"dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB, "", ""};
  const LdapSearchResult expected = ldapsearch(*slapd_, Identity::kReader, everything);
  ASSERT_EQ(expected.exit_code, 0) << expected.diagnostic;
  const FacadeWalk walked = walk(facade_, slapd_->uri(), Identity::kReader, everything);
  EXPECT_EQ(walked.result, velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES) << walked.failed_call;
  EXPECT_EQ(walked.end_operation_result, 0);
  EXPECT_EQ(walked.entries.size(), expected.entries.size());
  EXPECT_TRUE(walked.entries == without_dns(expected.entries));
}

}  // namespace
}  // namespace commdir_testing
