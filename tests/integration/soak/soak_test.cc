// Load: 32 client processes against one daemon, each walking the sample
// address book COMMDIR_SOAK_WALKS times (default 60) while its callback
// endpoint takes a connection-test callback per walk. Every walk must equal
// ldapsearch's answer, every callback come exactly once, and the daemon's
// resident memory at the end stay within 10% of what it was after the first
// 1,000 walks. Run by `make soak`, not by `make test`.
//
// A full walk of the address book costs about 0.4 s of CPU time (client,
// daemon and slapd together), so the 200 walks per client of the goal
// (6,400 walks) take over 20 minutes on two cores; 60 per client (1,920
// walks) keep the stage near 10 minutes. COMMDIR_SOAK_WALKS=200 runs the
// goal as it stands.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"
#include "integration/soak/soak_digest.h"
#include "support/child_process.h"
#include "support/read_file.h"

namespace commdir_testing {
namespace {

constexpr int kClients = 32;
constexpr int kRssMarkWalks = 1000;

int walks_per_client() {
  const char* text = std::getenv("COMMDIR_SOAK_WALKS");
  const int walks = text != nullptr ? std::atoi(text) : 0;
  return walks > 0 ? walks : 60;
}

using commdir_testing::read_file;

// The daemon serving `ipc_dir`: the comm-dir-service process whose
// environment names that folder; -1 when there is none.
pid_t daemon_pid(const std::string& ipc_dir) {
  const std::string wanted = "COMM_DIR_IPC_DIR=" + ipc_dir + '\0';
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string base = "/proc/" + std::to_string(pid);
    if (read_file(base + "/comm").rfind("comm-dir-servic", 0) != 0) continue;
    if ((read_file(base + "/environ") + '\0').find(wanted) != std::string::npos) found = pid;
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// VmRSS of `pid` in KiB, 0 when unreadable.
long rss_kib(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// "key=value" out of a client's summary line; -1 when missing.
long field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  return at == std::string::npos ? -1 : std::atol(line.c_str() + at + key.size() + 2);
}

class SoakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    ASSERT_TRUE(slapd_->ok()) << slapd_->error();
    service_ = std::make_unique<ServiceProcess>(COMMDIR_SERVICE_BIN, std::vector<std::string>{"--callback-timeout=5000"});
    ASSERT_TRUE(service_->ok()) << service_->error();
    std::string error;
    folder_ = make_private_folder("commdir-soak", error);
    ASSERT_FALSE(folder_.empty()) << error;
  }
  void TearDown() override {
    if (service_ != nullptr) {
      const int status = service_->stop();
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
      if (HasFailure()) std::cerr << "--- comm-dir-service output (end) ---\n" << tail(service_->log()) << "---\n";
    }
    service_.reset();
    slapd_.reset();
    if (!folder_.empty()) std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  static std::string tail(const std::string& text) { return text.size() > 4000 ? text.substr(text.size() - 4000) : text; }

  std::unique_ptr<SlapdFixture> slapd_;
  std::unique_ptr<ServiceProcess> service_;
  std::string folder_;
};

TEST_F(SoakTest, ThirtyTwoClientsWalkAndTakeCallbacksWithoutLossOrGrowth) {
  const int walks = walks_per_client();
  ASSERT_GE(kClients * walks, kRssMarkWalks) << "too few walks to measure after the first 1,000";
  const SearchSpec everything{"dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB, "", ""};
  const LdapSearchResult expected = ldapsearch(*slapd_, Identity::kReader, everything);
  ASSERT_EQ(expected.exit_code, 0) << expected.diagnostic;
  const std::string digest = walk_digest(without_dns(expected.entries));
  const pid_t daemon = daemon_pid(service_->ipc_dir());
  ASSERT_GT(daemon, 0);

  // Word i: the walks client i has done.
  const std::string progress_path = folder_ + "/progress";
  std::ofstream(progress_path) << std::string(4096, '\0');
  const int fd = open(progress_path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(mapped, MAP_FAILED);
  const int* progress = static_cast<const int*>(mapped);

  const auto start = std::chrono::steady_clock::now();
  std::vector<CommandResult> results(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "sk%02d_soak", i);  // the first 5 characters differ
    clients.emplace_back([&, i, name = std::string(name)] {
      results[i] = run_command({COMMDIR_SOAK_CLIENT_BIN, name, slapd_->uri(), std::to_string(i), progress_path,
                                std::to_string(walks)},
                               "", {{"COMM_DIR_IPC_DIR", service_->ipc_dir()}, {"COMM_DIR_TRACE", "off"}},
                               std::chrono::minutes(15));
    });
  }
  long rss_at_mark = 0;
  double seconds_at_mark = 0;
  auto done = [&] {
    long sum = 0;
    for (int i = 0; i < kClients; ++i) sum += __atomic_load_n(&progress[i], __ATOMIC_ACQUIRE);
    return sum;
  };
  while (done() < kClients * walks && rss_at_mark == 0) {
    if (done() >= kRssMarkWalks) {
      rss_at_mark = rss_kib(daemon);
      seconds_at_mark = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (std::thread& client : clients) client.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long rss_at_end = rss_kib(daemon);
  munmap(mapped, 4096);

  long walks_done = 0, exact = 0, callbacks = 0;
  for (int i = 0; i < kClients; ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    const CommandResult& r = results[i];
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err.substr(0, 2000);
    EXPECT_NE(r.out.find("digest=" + digest + " "), std::string::npos) << r.out << "expected digest " << digest;
    EXPECT_EQ(field(r.out, "callbacks_extra"), 0) << r.out;
    walks_done += std::max(0L, field(r.out, "walks"));
    exact += std::max(0L, field(r.out, "exact"));
    callbacks += std::max(0L, field(r.out, "callbacks_once"));
  }
  EXPECT_EQ(exact, static_cast<long>(kClients) * walks);
  EXPECT_EQ(callbacks, static_cast<long>(kClients) * walks);
  EXPECT_TRUE(service_->alive());
  ASSERT_GT(rss_at_mark, 0) << "the first 1,000 walks were never seen";
  EXPECT_LE(rss_at_end * 10, rss_at_mark * 11) << "the daemon grew by more than 10%";
  std::printf("soak: %d clients, %ld walks (%ld exact), %ld callbacks each once, %.0f s; daemon VmRSS %ld KiB after "
              "%d walks (%.0f s), %ld KiB at the end\n",
              kClients, walks_done, exact, callbacks, seconds, rss_at_mark, kRssMarkWalks, seconds_at_mark, rss_at_end);
  RecordProperty("walks", static_cast<int>(walks_done));
  RecordProperty("seconds", static_cast<int>(seconds));
  RecordProperty("rss_kib_after_1000_walks", static_cast<int>(rss_at_mark));
  RecordProperty("rss_kib_at_end", static_cast<int>(rss_at_end));
}

}  // namespace
}  // namespace commdir_testing
