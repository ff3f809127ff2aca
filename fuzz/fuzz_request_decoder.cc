// The daemon's decoding of a request, for every function id.
//
// Input: byte 0 steers the message (bit 0: the request marker; bit 1: not
// yet replied; bit 2: a valid reply server name; bits 3-6: the function id,
// when bit 7 is set), the rest is the message as sent. Each outcome is
// checked for what the daemon relies on: a drop has a reason, a refusal a
// code, and a served request a known function id, a reply server name that
// the platform takes and exactly the record that was received.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_delivery.h"
#include "service/comm_dir_request_decoder.h"

namespace {

using commdir_fuzz::put_word;
using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;

constexpr char kReplyServer[] = "utcp:DIR_CS_fuzz";

void steer(std::uint8_t how, std::vector<char>& bytes) {
  if (bytes.size() < sizeof(COMM_DIR_IPC_ENVELOPE_HEAD)) return;
  if (how & 1) put_word(bytes, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REQUEST);
  if (how & 2) put_word(bytes, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, replied), 0);
  if (how & 4) {
    std::memset(bytes.data() + offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_server_name), 0,
                velmarosta::COMM_DIR_IPC_NAME_SIZE);
    std::memcpy(bytes.data() + offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_server_name), kReplyServer,
                sizeof kReplyServer);
  }
  if (how & 128) put_word(bytes, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type), (how >> 3) & 15);
}

void check_served(const std::vector<char>& message, const velmarosta::comm_dir_request& request) {
  FUZZ_CHECK(velmarosta::comm_dir_known_function(static_cast<UINT>(request.function_id)));
  const std::size_t record_size = velmarosta::comm_dir_request_size(request.function_id);
  FUZZ_CHECK(message.size() >= sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) + record_size);
  FUZZ_CHECK(message.size() <= static_cast<std::size_t>(velmarosta::COMM_DIR_IPC_REQUEST_SIZE));
  FUZZ_CHECK(std::memcmp(request.record.bytes, message.data() + sizeof(COMM_DIR_IPC_ENVELOPE_HEAD), record_size) == 0);
  FUZZ_CHECK(velmarosta::valid_endpoint_name(request.route.reply_server_name));
  FUZZ_CHECK(std::strncmp(request.route.reply_server_name, "utcp:", 5) == 0);
  for (char byte : request.route.ipc_header) FUZZ_CHECK(byte == 0);
  // The library's one request form: nothing but zeros behind the record.
  for (std::size_t i = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD) + record_size; i < message.size(); ++i)
    FUZZ_CHECK(message[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::vector<char> sent(data + 1, data + size);
  steer(data[0], sent);
  std::vector<char> message = commdir_fuzz::delivered(sent);
  if (message.empty()) return 0;  // the platform refuses it
  // On the heap, like the daemon's, so that the sanitizer sees every byte.
  auto request = std::make_unique<velmarosta::comm_dir_request>();
  // What travelled is what the sender did not leave out; the daemon's
  // decoder checks zeros only that far, the rest being the platform's.
  switch (velmarosta::comm_dir_decode_request(message.data(), message.size(), request.get(), sent.size())) {
    case velmarosta::comm_dir_verdict::kDrop:
      FUZZ_CHECK(request->drop_reason != nullptr && request->drop_reason[0] != '\0');
      break;
    case velmarosta::comm_dir_verdict::kRefuse:
      FUZZ_CHECK(request->refusal != 0);
      break;
    case velmarosta::comm_dir_verdict::kServe:
      check_served(message, *request);
      break;
  }
  return 0;
}
