// The daemon's decoding of a request, for every function id.
//
// Input: byte 0 steers the message (bit 0: the request marker; bit 1: not yet
// replied; bit 2: a valid reply server name; bits 3-6: the function id, when
// bit 7 is set), the rest is the message as sent. A drop has a reason, a
// refusal a code, and a served request a known function id, a reply server
// name that the platform takes, and exactly the record that was received.
#include <memory>

#include "fuzz/fuzz_delivery.h"
#include "service/comm_dir_request_decoder.h"

namespace {

using commdir_fuzz::put_word;
using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;
constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD), kName = 84;  // the reply server's name

void steer(std::uint8_t how, std::vector<char>& bytes) {
  if (how & 1) put_word(bytes, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REQUEST);
  if (how & 2) put_word(bytes, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, replied), 0);
  if (how & 4) std::strncpy(&bytes[kName], "utcp:DIR_CS_fuzz", velmarosta::COMM_DIR_IPC_NAME_SIZE);
  if (how & 128) put_word(bytes, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, type), (how >> 3) & 15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> sent;
  const std::vector<char> message = commdir_fuzz::steered_delivery(data, size, steer, &sent);
  if (message.empty()) return 0;
  auto request = std::make_unique<velmarosta::comm_dir_request>();  // on the heap, as the daemon's
  // The decoder checks the zeros only as far as the datagram went; the rest are the platform's.
  switch (velmarosta::comm_dir_decode_request(message.data(), message.size(), request.get(), sent.size())) {
    case velmarosta::comm_dir_verdict::kDrop:
      FUZZ_CHECK(request->drop_reason != nullptr && request->drop_reason[0] != '\0');
      break;
    case velmarosta::comm_dir_verdict::kRefuse:
      FUZZ_CHECK(request->refusal != 0);
      break;
    case velmarosta::comm_dir_verdict::kServe: {
      const std::size_t record = velmarosta::comm_dir_request_size(request->function_id);
      FUZZ_CHECK(velmarosta::comm_dir_known_function(static_cast<UINT>(request->function_id)));
      FUZZ_CHECK(message.size() >= kHead + record && message.size() <= velmarosta::COMM_DIR_IPC_REQUEST_SIZE);
      FUZZ_CHECK(std::memcmp(request->record.bytes, &message[kHead], record) == 0);
      FUZZ_CHECK(velmarosta::valid_endpoint_name(request->route.reply_server_name) &&
                 std::strncmp(request->route.reply_server_name, "utcp:", 5) == 0);
      for (char byte : request->route.ipc_header) FUZZ_CHECK(byte == 0);
      // The library's one request form: nothing but zeros behind the record.
      for (std::size_t i = kHead + record; i < message.size(); ++i) FUZZ_CHECK(message[i] == 0);
    }
  }
  return 0;
}
