// One client process of the soak test. Under its own process name (the reply
// server and the callback endpoint are named after it), it walks the sample
// address book again and again through the facade, and beside the walks it
// starts asynchronous connection tests, one per walk, each answered by a
// callback into an object of its own.
//
//   soak-client NAME URI SLOT PROGRESS_FILE WALKS
//
// After each walk it stores the number of walks done in word SLOT of
// PROGRESS_FILE. At the end it prints one line,
//   digest=D walks=N exact=E tests=T callbacks_once=C callbacks_extra=X failures=F
// and exits 0 when every walk equalled the first, and every connection test
// was started and called back exactly once, with success.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"
#include "integration/soak/soak_digest.h"

namespace {

using namespace commdir_testing;

// One connection test's callback object. Thread-safe: the callback task
// writes atomics, the main thread reads them once the test is over.
class TestCallback : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override {
    argument_ = argument;
    calls_.fetch_add(1);
  }
  int calls() const { return calls_.load(); }
  UINT argument() const { return argument_.load(); }

 private:
  std::atomic<int> calls_{0};
  std::atomic<UINT> argument_{0xFFFFFFFF};
};

// Walks done, posted by the walking thread, taken by the testing thread: one
// connection test per walk, so that both run side by side all along.
class Pacer {
 public:
  void post() {
    std::lock_guard<std::mutex> lock(mu_);
    ++posted_;
    cv_.notify_one();
  }
  void take() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return posted_ > 0; });
    --posted_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int posted_ = 0;  // guarded by mu_
};

struct Tally {
  std::string digest;
  int walks = 0, exact = 0, tests = 0, once = 0, extra = 0, failures = 0;
};

// Starts `count` connection tests, one per posted walk; each object is kept
// until the end so that a late or repeated callback is still counted.
void run_connection_tests(velmarosta::comm_dir_facade* facade, const std::string& uri, int count, Pacer& pacer,
                          std::vector<std::unique_ptr<TestCallback>>& objects, Tally& tally) {
  for (int i = 0; i < count; ++i) {
    pacer.take();
    auto object = std::make_unique<TestCallback>();
    velmarosta::COMM_DIR_TEST_CONNECTION_INFO info{};
    info.callback_object = velmarosta::comm_dir_register_callback(object.get());
    info.connect = connect_record(uri);
    info.bind_present = 1;
    info.bind = bind_record(Identity::kReader);
    if (facade->check_connection(velmarosta::COMM_DIR_TEST_MODE_CALLBACK, info) != 0) {
      std::fprintf(stderr, "connection test %d: result %#x\n", i, static_cast<unsigned>(info.result));
      ++tally.failures;
    }
    ++tally.tests;
    objects.push_back(std::move(object));
  }
}

// Waits (bounded) for every callback, then counts them.
void count_callbacks(const std::vector<std::unique_ptr<TestCallback>>& objects, Tally& tally) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (const auto& object : objects) {
    while (object->calls() == 0 && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a repeat
  for (const auto& object : objects) {
    if (object->calls() == 1 && object->argument() == 0) ++tally.once;
    if (object->calls() > 1) ++tally.extra;
  }
}

int* map_progress(const char* path) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  void* words = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return words == MAP_FAILED ? nullptr : static_cast<int*>(words);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: soak-client NAME URI SLOT PROGRESS_FILE WALKS\n");
    return 2;
  }
  // Before the facade exists: its endpoints are named after the process.
  prctl(PR_SET_NAME, argv[1]);
  const std::string uri = argv[2];
  const int slot = std::atoi(argv[3]);
  int* progress = map_progress(argv[4]);
  const int walks = std::atoi(argv[5]);
  if (progress == nullptr || slot < 0 || slot >= 1024 || walks <= 0) {
    std::fprintf(stderr, "soak-client: bad arguments\n");
    return 2;
  }
  alarm(900);  // a lost reply ends the process instead of hanging the test
  velmarosta::comm_dir_facade* facade = velmarosta::comm_dir_facade::comm_dir_get_instance();
  if (facade == nullptr) return 2;

  Tally tally;
  Pacer pacer;
  std::vector<std::unique_ptr<TestCallback>> objects;
  std::thread tester([&] { run_connection_tests(facade, uri, walks, pacer, objects, tally); });
  const SearchSpec everything{"dc=example,dc=com", velmarosta::COMM_DIR_SCOPE_SUB, "", ""};
  std::vector<LdifEntry> first;
  for (int i = 0; i < walks; ++i) {
    FacadeWalk walked = walk(facade, uri, Identity::kReader, everything);
    const bool complete = walked.result == velmarosta::COMM_DIR_SVC_NO_MORE_ENTRIES && walked.end_operation_result == 0;
    if (i == 0) {
      first = walked.entries;
      tally.digest = walk_digest(first);
    }
    if (complete && walked.entries == first) {
      ++tally.exact;
    } else {
      std::fprintf(stderr, "walk %d: %s %#x, %zu entries\n", i, walked.failed_call.c_str(),
                   static_cast<unsigned>(walked.result), walked.entries.size());
    }
    ++tally.walks;
    __atomic_store_n(&progress[slot], i + 1, __ATOMIC_RELEASE);
    pacer.post();
  }
  tester.join();
  count_callbacks(objects, tally);
  std::printf("digest=%s walks=%d exact=%d tests=%d callbacks_once=%d callbacks_extra=%d failures=%d\n",
              tally.digest.c_str(), tally.walks, tally.exact, tally.tests, tally.once, tally.extra, tally.failures);
  const bool ok = tally.exact == walks && tally.tests == walks && tally.once == walks && tally.extra == 0 &&
                  tally.failures == 0;
  // The objects stay registered: the process ends here, and no callback can
  // outlive it.
  std::fflush(stdout);
  _exit(ok ? 0 : 1);
}
