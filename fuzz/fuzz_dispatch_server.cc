// The request server's dispatch function with the callback dispatch behind
// it, over the fake platform: every accepted message runs on a task, which is
// joined before the next input.
//
// Input: byte 0 steers the message (bit 0: the word of a registered callback
// object; bit 1: function id 0; bit 2: a reply server that runs; bit 3: a
// request form's length word; bit 4: not yet replied), the rest is the
// message as sent. Either dispatch_server refuses the message, or a task
// answers it with one all-zero reply to the reply server it names and calls
// the named callback object only when the message is a connection test for
// a registered object.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "fuzz/fuzz_delivery.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "server/comm_dir_operation_server.h"
#include "support/fake/fake_platform.h"

namespace {

using commdir_fuzz::put_word;
using commdir_fuzz::word_at;
using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;

constexpr char kEndpoint[] = "utcp:DIR_SVR_fuzz";
constexpr char kReplyServer[] = "utcp:DIR_CS_fuzz";
constexpr std::size_t kRepliedOffset = offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, replied);
constexpr std::size_t kTypeOffset = offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type);
constexpr std::size_t kNameOffset = offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_server_name);
constexpr std::size_t kArgumentOffset = 196;  // the callback's argument word
constexpr std::size_t kObjectOffset = 200;    // the callback object's word

RETCODE keep_reply(char*, char*, int* size) {
  *size = 0;
  return 0;
}

// Counts its calls. Called on the dispatch tasks, which are joined before
// the counters are read.
class counting_callback : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override {
    ++calls;
    last_argument = argument;
  }
  int calls = 0;
  UINT last_argument = 0;
};

class harness {
 public:
  harness() : server_(const_cast<char*>(kEndpoint + 5)) {
    FUZZ_CHECK(fake::server_running(kEndpoint));
    FUZZ_CHECK(emwGENIpcStartServer(kReplyServer, velmarosta::COMM_DIR_IPC_ID_REPLY, 0, keep_reply) == 0);
    fake::hold(kReplyServer, true);  // replies stay queued for the checks
    object_word_ = velmarosta::comm_dir_register_callback(&callback_);
    FUZZ_CHECK(object_word_ != 0);
  }

  void run(const std::uint8_t* data, std::size_t size) {
    std::vector<char> message = commdir_fuzz::steered_delivery(
        data, size, [this](std::uint8_t how, std::vector<char>& bytes) { steer(how, bytes); });
    if (message.empty()) return;  // no datagram, or the platform refuses it
    const int calls_before = callback_.calls;
    RETCODE rc = fake::inject(kEndpoint, message);
    fake::join_tasks();
    if (!acceptable(message)) {
      FUZZ_CHECK(rc == -1);
      FUZZ_CHECK(fake::count_of("emwOSWCreateJoinTask") == 0);
    } else {
      FUZZ_CHECK(rc == 0);
      check_reply(message);
      check_callback(message, calls_before);
    }
    while (fake::drop(kReplyServer)) {
    }
    fake::clear_log();
  }

 private:
  void steer(std::uint8_t how, std::vector<char>& bytes) const {
    if (bytes.size() < commdir_fuzz::kMinMessage + 80) return;  // up to the callback words
    if (how & 1) put_word(bytes, kObjectOffset, object_word_);
    if (how & 2) put_word(bytes, kTypeOffset, velmarosta::COMM_DIR_FUNC_CHECK_CONNECTION);
    if (how & 4) std::memcpy(bytes.data() + kNameOffset, kReplyServer, sizeof kReplyServer);
    if (how & 8) put_word(bytes, GEN_IPC_HDR_LENGTH_OFFSET, velmarosta::COMM_DIR_IPC_REQUEST_SIZE);
    if (how & 16) put_word(bytes, kRepliedOffset, 0);
  }

  static bool acceptable(const std::vector<char>& message) {
    const std::size_t length = message.size();
    return length >= sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) &&
           length <= static_cast<std::size_t>(velmarosta::COMM_DIR_IPC_REQUEST_SIZE) &&
           std::memchr(message.data() + kNameOffset, '\0', velmarosta::COMM_DIR_IPC_NAME_SIZE) != nullptr;
  }

  // A request not yet replied to, naming the running reply server, gets
  // exactly one reply there: the routing words copied, replied set, result 0
  // and an all-zero COMM_DIR_REPLY.
  static void check_reply(const std::vector<char>& request) {
    const bool answerable = word_at(request, kRepliedOffset) == 0 &&
                            std::strcmp(request.data() + kNameOffset, kReplyServer) == 0;
    if (!answerable) {
      FUZZ_CHECK(fake::pending(kReplyServer) == 0);
      return;
    }
    FUZZ_CHECK(fake::pending(kReplyServer) == 1);
    const std::vector<char> reply = fake::peek(kReplyServer).bytes;
    FUZZ_CHECK(reply.size() == static_cast<std::size_t>(velmarosta::COMM_DIR_IPC_REPLY_SIZE));
    FUZZ_CHECK(word_at(reply, GEN_IPC_HDR_KIND_OFFSET) == GEN_IPC_KIND_REPLY);
    FUZZ_CHECK(word_at(reply, kRepliedOffset) == 1);
    for (std::size_t offset : {offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, event_sem_id), kTypeOffset,
                               offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer),
                               offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer_size)}) {
      FUZZ_CHECK(word_at(reply, offset) == word_at(request, offset));
    }
    for (std::size_t i = velmarosta::COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET; i < reply.size(); ++i) {
      FUZZ_CHECK(reply[i] == 0);
    }
  }

  void check_callback(const std::vector<char>& request, int calls_before) const {
    const bool calls_object = word_at(request, kTypeOffset) == velmarosta::COMM_DIR_FUNC_CHECK_CONNECTION &&
                              word_at(request, kObjectOffset) == object_word_;
    FUZZ_CHECK(callback_.calls == calls_before + (calls_object ? 1 : 0));
    if (calls_object) FUZZ_CHECK(callback_.last_argument == word_at(request, kArgumentOffset));
  }

  velmarosta::comm_dir_operation_server server_;
  counting_callback callback_;
  UINT object_word_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static harness* h = new harness;  // lives as long as the process
  h->run(data, size);
  return 0;
}
