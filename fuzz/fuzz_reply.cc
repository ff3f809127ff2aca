// What reaches the reply server of a process whose call waits: the POSIX
// platform's checks of a datagram and what came with it, then the library's
// dispatch (dispatch_client) of what they let through.
//
// One call_client waits on a thread of its own. Input: byte 0 says what came
// with the datagram (control); byte 1 steers the datagram
// towards that call (bit 0: its reply_buffer and event words; bit 1: the
// reply marker; bit 2: a reply form's length word); the rest is the datagram.
// Either the message is the call's reply, and the call wakes with exactly the
// reply's payload (then the next call starts), or it is dropped and the call
// keeps waiting.
#include <atomic>
#include <thread>

#include "client/comm_dir_messages.h"
#include "fuzz/fuzz_delivery.h"
#include "ipc/comm_dir_ipc_multi_client.h"

namespace {

using namespace velmarosta;
using namespace commdir_fuzz;
constexpr std::size_t kEvent = 72, kWord = 116;  // event_sem_id, reply_buffer

std::atomic<UINT> g_event{0}, g_word{0};  // of the last request the service received
RETCODE note_request(char* rcvbuf, char*, int* size) {
  g_event = read_word(rcvbuf, kEvent);
  g_word = read_word(rcvbuf, kWord);
  return *size = 0;
}

struct harness {
  harness() {
    FUZZ_CHECK(emwGENIpcStartServer(COMM_DIR_SERVICE_SERVER_NAME, 1, COMM_DIR_IPC_STACK_SIZE, note_request) == 0);
    FUZZ_CHECK(client_->create_client(COMM_DIR_SERVICE_CLIENT_NAME, COMM_DIR_SERVICE_SERVER_NAME, 0, 0, 0, clnt_) == 0);
    start_call();
    // Registered after the sanitizer's own exit handlers, so it runs before the leak check.
    std::atexit([] { the_harness<harness>().finish(); });
  }

  void steer(std::uint8_t how, std::vector<char>& bytes) const {
    if (how & 1) put_word(bytes, kWord, word_);
    if (how & 1) put_word(bytes, kEvent, event_);
    if (how & 2) put_word(bytes, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REPLY);
    if (how & 4) put_word(bytes, GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REPLY_SIZE);
  }

  // Dispatches `message`; once it was the call's reply, a new call waits if `next`.
  void dispatch(std::vector<char> message, bool next = true) {
    const bool a_reply = word_at(message, GEN_IPC_HDR_KIND_OFFSET) == GEN_IPC_KIND_REPLY;
    const bool for_the_call = a_reply && message.size() >= COMM_DIR_IPC_REPLY_SIZE &&
                              word_at(message, kWord) == word_ && word_at(message, kEvent) == event_;
    int size_word = -1;
    const RETCODE rc = comm_dir_ipc_multi_client::dispatch_client(message.data(), nullptr, &size_word);
    FUZZ_CHECK(size_word == 0);
    if (!for_the_call) {
      FUZZ_CHECK(rc == (a_reply ? -1 : 0) && !done_);  // not a reply: refused with 0; no waiting call's: -1
      return;
    }
    FUZZ_CHECK(rc == 0);
    waiter_.join();
    FUZZ_CHECK(result_ == 0 && std::memcmp(reply_, &message[COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET], sizeof reply_) == 0);
    if (next) start_call();
  }

  // Answers the waiting call, so that no call is under way at exit (the
  // leak check would count its buffers as lost).
  //
  // Open: twice in long runs of this harness's predecessor (after about
  // 1,100 and 1,800 s) the leak check that libFuzzer makes between inputs
  // reported the waiting call's request envelope (49,280 bytes, allocated in
  // call_client on the waiting thread) as a direct leak, though the call's
  // own record beside it, which the table of waiting calls points to, was not
  // reported; the saved inputs did not reproduce it alone, and two other
  // 31-minute runs found nothing. Only the waiting thread's frame points to
  // the envelope while it blocks: the likelier reading is a check that did
  // not see that frame, not a lost envelope. Not proved.
  void finish() {
    std::vector<char> reply(COMM_DIR_IPC_REPLY_SIZE, 0);
    steer(7, reply);
    dispatch(reply, false);
  }

  // A get_first_entry-sized call; the words its request carries come from the service.
  void start_call() {
    done_ = false;
    g_word = 0;
    waiter_ = std::thread([this] {
      char request[76] = {};
      result_ = client_->call_client(clnt_, COMM_DIR_FUNC_GET_FIRST_ENTRY, 0, 0, request, sizeof request, reply_,
                                     sizeof reply_, nullptr, ~0UL);
      done_ = true;
    });
    FUZZ_CHECK(wait_until([] { return g_word != 0; }));
    word_ = g_word;
    event_ = g_event;
  }

  comm_dir_ipc_multi_client* client_ = comm_dir_ipc_multi_client::get_instance();
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
  std::thread waiter_;
  std::atomic<bool> done_{false};
  RETCODE result_ = -2;
  char reply_[COMM_DIR_REPLY_SIZE] = {};
  UINT word_ = 0, event_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  harness& h = the_harness<harness>();
  if (size < 1) return 0;
  const std::vector<char> message = delivered(steered(data + 1, size - 1, h), data[0]);
  if (!message.empty()) h.dispatch(message);
  return 0;
}
