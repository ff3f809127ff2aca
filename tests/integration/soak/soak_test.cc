// Load: 32 client processes against one daemon, each walking the sample
// address book COMMDIR_SOAK_WALKS times (default 60) while a thread of it
// starts a connection test per walk, called back into an object of its own.
// Every walk must equal ldapsearch's answer, every callback come exactly
// once, and the daemon's resident memory at the end stay within 10% of what
// it was after the first 1,000 walks. Run by `make soak`, not `make test`.
//
// A full walk of the address book costs about 0.4 s of CPU time (client,
// daemon and slapd together), so the 200 walks per client of the goal
// (6,400 walks) take over 20 minutes on two cores; 60 per client (1,920
// walks) keep the stage near 10 minutes. COMMDIR_SOAK_WALKS=200 runs the
// goal as it stands.
#include <sys/mman.h>

#include <new>

#include "integration/harness.h"

namespace commdir_testing {
namespace {

constexpr int kClients = 32, kMarkWalks = 1000;

// What a client counts, in memory that it shares with the test.
struct Tally {
  std::atomic<int> walks, exact, tests, called_once, called_again;
};

// Counts its callbacks and keeps the last argument; they come on the
// callback server's threads.
struct CountingCallback : comm_dir_callback {
  void on_callback(UINT last) override {
    argument = last;
    ++calls;
  }
  std::atomic<int> calls{0};
  std::atomic<UINT> argument{~0u};
};

// One client process: walks, and beside them a connection test per walk
// done, each object kept so that a late or repeated callback still counts.
void run_client(const std::string& uri, const std::vector<Entry>& expected, int walks, Tally& tally) {
  std::vector<CountingCallback> objects(static_cast<std::size_t>(walks));
  std::thread tester([&] {
    for (CountingCallback& object : objects) {
      while (tally.tests >= tally.walks) std::this_thread::sleep_for(ms(1));
      COMM_DIR_TEST_CONNECTION_INFO info = connecting(connect_to(uri), &kReader);
      info.callback_object = comm_dir_register_callback(&object);
      tally.tests += facade()->check_connection(COMM_DIR_TEST_MODE_CALLBACK, info) == 0;
    }
  });
  for (int i = 0; i < walks; ++i, ++tally.walks) {
    const Walk walked = walk(connect_to(uri), &kReader, {kRoot});
    tally.exact += walked.result == COMM_DIR_SVC_NO_MORE_ENTRIES && walked.ended == 0 && walked.entries == expected;
  }
  tester.join();
  eventually(
      [&] {
        return std::all_of(objects.begin(), objects.end(), [](const CountingCallback& o) { return o.calls > 0; });
      },
      ms(60000));
  std::this_thread::sleep_for(ms(200));  // room for a repeat
  for (const CountingCallback& object : objects) {
    tally.called_once += object.calls == 1 && object.argument == 0;
    tally.called_again += object.calls > 1;
  }
}

long rss_kib(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  return std::atol(status.c_str() + status.find("VmRSS:") + 6);
}

class Soak : public IntegrationTest {};

TEST_F(Soak, ThirtyTwoClientsWalkAndTakeCallbacksWithoutLossOrGrowth) {
  const int walks = std::getenv("COMMDIR_SOAK_WALKS") != nullptr ? std::atoi(std::getenv("COMMDIR_SOAK_WALKS")) : 60;
  ASSERT_GE(kClients * walks, kMarkWalks) << "too few walks to measure after the first 1,000";
  start_slapd(false);
  ASSERT_EQ(start_daemon({"--callback-timeout=5000"}, {{"COMM_DIR_TRACE", "off"}}), "");
  const std::vector<Entry> expected = slapd->search({kRoot});
  ASSERT_FALSE(expected.empty());
  // Shared with the clients, which are forked before this process uses the library.
  auto* tallies = static_cast<Tally*>(
      mmap(nullptr, sizeof(Tally) * kClients, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(tallies, MAP_FAILED);
  new (tallies) Tally[kClients]();
  std::vector<pid_t> clients;
  for (int i = 0; i < kClients; ++i) {
    if (clients.emplace_back(fork()) == 0) {
      const std::string name = "sk" + std::to_string(10 + i) + "_soak";  // endpoints are named after 5 characters
      prctl(PR_SET_NAME, name.c_str());
      alarm(900);  // a lost reply ends the client instead of hanging the test
      run_client(slapd->uri, expected, walks, tallies[i]);
      _exit(0);
    }
  }
  const auto sum = [&](std::atomic<int> Tally::*field) {
    int total = 0;
    for (int i = 0; i < kClients; ++i) total += tallies[i].*field;
    return total;
  };
  ASSERT_TRUE(eventually([&] { return sum(&Tally::walks) >= kMarkWalks; }, ms(900000)));
  const long rss_at_mark = rss_kib(daemon->pid());
  int failed = 0;
  for (pid_t client : clients) {
    int status = 0;
    failed += waitpid(client, &status, 0) != client || status != 0;
  }
  const long rss_at_end = rss_kib(daemon->pid());
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(sum(&Tally::walks), kClients * walks);
  EXPECT_EQ(sum(&Tally::exact), kClients * walks);
  EXPECT_EQ(sum(&Tally::tests), kClients * walks);
  EXPECT_EQ(sum(&Tally::called_once), kClients * walks);
  EXPECT_EQ(sum(&Tally::called_again), 0);
  EXPECT_LE(rss_at_end * 10, rss_at_mark * 11) << "the daemon grew by more than 10%";
  std::printf("soak: %d walks, daemon VmRSS %ld KiB after %d walks, %ld KiB at the end\n", sum(&Tally::walks),
              rss_at_mark, kMarkWalks, rss_at_end);
  munmap(tallies, sizeof(Tally) * kClients);
}

}  // namespace
}  // namespace commdir_testing
