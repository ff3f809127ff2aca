// The reply server's dispatch function with a real call waiting for its
// reply, over the fake platform.
//
// One call_client waits on a thread of its own. Input: byte 0 steers the
// message towards that call (bit 0: its reply_buffer and event words; bit 1:
// the reply marker; bit 2: a reply form's length word), the rest is the
// message as sent. Either the message is the call's reply, and the call
// wakes with exactly the reply's payload (then the next call starts), or it
// is dropped and the call keeps waiting.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "client/comm_dir_messages.h"
#include "fuzz/fuzz_delivery.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "support/fake/fake_platform.h"

namespace {

using commdir_fuzz::put_word;
using commdir_fuzz::word_at;
using velmarosta::comm_dir_ipc_multi_client;

constexpr char kService[] = "utcp:COMM_DIR_SRV";
constexpr std::size_t kEventOffset = offsetof(velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD, event_sem_id);
constexpr std::size_t kWordOffset = offsetof(velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer);

RETCODE ignore_request(char*, char*, int* size) {
  *size = 0;
  return 0;
}

// The call that waits for its reply. Lifetime: one per call, joined before
// the next starts; `done` is released by the waiting thread after it has
// written `result` and `reply`.
struct live_call {
  std::thread waiter;
  std::atomic<bool> done{false};
  RETCODE result = -2;
  char reply[velmarosta::COMM_DIR_REPLY_SIZE] = {};
  UINT word = 0;   // the reply_buffer word its request carried
  UINT event = 0;  // its event
};

class harness {
 public:
  harness() {
    client_ = comm_dir_ipc_multi_client::get_instance();
    FUZZ_CHECK(client_ != nullptr);
    FUZZ_CHECK(emwGENIpcStartServer(kService, velmarosta::COMM_DIR_IPC_ID_SERVICE, 0, ignore_request) == 0);
    fake::hold(kService, true);  // requests stay queued: the harness reads and drops them
    FUZZ_CHECK(client_->create_client(velmarosta::COMM_DIR_SERVICE_CLIENT_NAME, kService, 0, 0,
                                      velmarosta::COMM_DIR_IPC_ID_SERVICE, connection_) == 0);
    start_call();
  }

  void run(const std::uint8_t* data, std::size_t size) {
    std::vector<char> message = commdir_fuzz::steered_delivery(
        data, size, [this](std::uint8_t how, std::vector<char>& bytes) { steer(how, bytes); });
    if (message.empty()) return;  // no datagram, or the platform refuses it
    const bool for_the_call = is_reply_of_the_call(message);
    std::vector<char> send_buffer(commdir_fuzz::kMaxMessage, 0);
    int size_word = -1;
    RETCODE rc = comm_dir_ipc_multi_client::dispatch_client(message.data(), send_buffer.data(), &size_word);
    FUZZ_CHECK(size_word == 0);
    if (for_the_call) {
      check_completed(rc, message);
      start_call();
    } else {
      // A message that is not a reply is refused with 0, a reply for no
      // waiting call with -1; neither may wake the call.
      FUZZ_CHECK(rc == (word_at(message, GEN_IPC_HDR_KIND_OFFSET) == GEN_IPC_KIND_REPLY ? -1 : 0));
      FUZZ_CHECK(!call_.done.load(std::memory_order_acquire));
    }
    fake::clear_log();
  }

  // Answers the waiting call, so that the process ends with no call under
  // way (the leak check at exit would count its buffers as lost).
  void finish() {
    std::vector<char> reply(velmarosta::COMM_DIR_IPC_REPLY_SIZE, 0);
    put_word(reply, GEN_IPC_HDR_LENGTH_OFFSET, velmarosta::COMM_DIR_IPC_REPLY_SIZE);
    put_word(reply, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REPLY);
    put_word(reply, kWordOffset, call_.word);
    put_word(reply, kEventOffset, call_.event);
    int size_word = -1;
    check_completed(comm_dir_ipc_multi_client::dispatch_client(reply.data(), nullptr, &size_word), reply);
  }

 private:
  void steer(std::uint8_t how, std::vector<char>& bytes) const {
    if (bytes.size() < commdir_fuzz::kMinMessage) return;
    if (how & 1) {
      put_word(bytes, kWordOffset, call_.word);
      put_word(bytes, kEventOffset, call_.event);
    }
    if (how & 2) put_word(bytes, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REPLY);
    if (how & 4) put_word(bytes, GEN_IPC_HDR_LENGTH_OFFSET, velmarosta::COMM_DIR_IPC_REPLY_SIZE);
  }

  bool is_reply_of_the_call(const std::vector<char>& message) const {
    return word_at(message, GEN_IPC_HDR_KIND_OFFSET) == GEN_IPC_KIND_REPLY &&
           message.size() >= static_cast<std::size_t>(velmarosta::COMM_DIR_IPC_REPLY_SIZE) &&
           word_at(message, kWordOffset) == call_.word && word_at(message, kEventOffset) == call_.event;
  }

  void check_completed(RETCODE rc, const std::vector<char>& message) {
    FUZZ_CHECK(rc == 0);
    call_.waiter.join();
    FUZZ_CHECK(call_.result == 0);
    FUZZ_CHECK(std::memcmp(call_.reply, message.data() + velmarosta::COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET,
                           sizeof call_.reply) == 0);
  }

  // Starts a get_first_entry-sized call and learns the words its request
  // carries from the held queue.
  void start_call() {
    call_.done.store(false, std::memory_order_relaxed);
    call_.result = -2;
    call_.waiter = std::thread([this] {
      char request[76] = {};
      call_.result = client_->call_client(connection_, velmarosta::COMM_DIR_FUNC_GET_FIRST_ENTRY, 0, 0, request,
                                          sizeof request, call_.reply, sizeof call_.reply, nullptr, ~0UL);
      call_.done.store(true, std::memory_order_release);
    });
    FUZZ_CHECK(fake::wait_until([] { return fake::pending(kService) == 1; }));
    fake::Message request = fake::peek(kService);
    call_.word = word_at(request.bytes, kWordOffset);
    call_.event = word_at(request.bytes, kEventOffset);
    FUZZ_CHECK(fake::drop(kService));
  }

  comm_dir_ipc_multi_client* client_ = nullptr;
  velmarosta::COMM_DIR_MULTI_IPC_CLNT connection_{};
  live_call call_;
};

harness* the_harness = nullptr;

void finish_at_exit() { the_harness->finish(); }

}  // namespace

// Registered after the sanitizer's own exit handlers, so it runs before the
// leak check.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (the_harness == nullptr) {
    the_harness = new harness;  // lives as long as the process
    std::atexit(finish_at_exit);
  }
  the_harness->run(data, size);
  return 0;
}
