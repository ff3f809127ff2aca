// Request forms as a peer sends them to a server of the threaded request
// server, the reply forms that answer them, and the server's free task slots.
#ifndef COMMDIR_TESTS_SERVER_TEST_REQUESTS_H_
#define COMMDIR_TESTS_SERVER_TEST_REQUESTS_H_

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_server.h"

namespace server_test {

using velmarosta::COMM_DIR_IPC_MULTI_REQUEST;
constexpr char kReplyServer[] = "utcp:TREPLY";

// A request form of `length` bytes (its length word says so) with the
// payload words at byte 124, to be answered to `reply_server`.
inline std::vector<char> request_form(UINT type, UINT event, std::vector<UINT> payload = {},
                                      std::size_t length = velmarosta::COMM_DIR_IPC_REQUEST_SIZE,
                                      const char* reply_server = kReplyServer) {
  std::vector<char> bytes(std::max(length, sizeof(COMM_DIR_IPC_MULTI_REQUEST)), 0);
  auto* form = reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(bytes.data());
  form->head.event_sem_id = event;
  form->head.type = type;
  std::strcpy(form->head.reply_server_name, reply_server);
  form->head.reply_buffer = 0xB0000000u + event;
  form->head.reply_buffer_size = velmarosta::COMM_DIR_IPC_REPLY_SIZE;
  std::copy(payload.begin(), payload.end(), reinterpret_cast<UINT*>(form->payload));
  const UINT length_word = static_cast<UINT>(length);
  std::memcpy(&bytes[GEN_IPC_HDR_LENGTH_OFFSET], &length_word, sizeof length_word);
  bytes.resize(length);
  return bytes;
}

// The reply form, as the reply server receives it, that answers `request`
// with `payload`: the routing words echoed, replied 1, result 0.
inline std::vector<char> expected_reply(const std::vector<char>& request, const std::string& payload) {
  std::vector<char> reply(velmarosta::COMM_DIR_IPC_REPLY_SIZE, 0);
  std::memcpy(&reply[72], &request[72], 124 - 72);
  const UINT length = velmarosta::COMM_DIR_IPC_REPLY_SIZE, one = 1;
  std::memcpy(&reply[GEN_IPC_HDR_LENGTH_OFFSET], &length, 4);
  std::memcpy(&reply[GEN_IPC_HDR_KIND_OFFSET], &one, 4);
  std::memcpy(&reply[76], &one, 4);
  std::memcpy(&reply[128], payload.data(), payload.size());
  return reply;
}

// Slots of the task table free now; found by taking them.
inline int free_slots() {
  using velmarosta::comm_dir_ipc_multi_server;
  std::vector<int> taken;
  for (int i = 0; comm_dir_ipc_multi_server::thread_check_empty(i) == 0; taken.push_back(i)) {
    comm_dir_ipc_multi_server::thread_regist("probe", i);
  }
  for (int i : taken) comm_dir_ipc_multi_server::thread_delete(i);
  return static_cast<int>(taken.size());
}

}  // namespace server_test

#endif  // COMMDIR_TESTS_SERVER_TEST_REQUESTS_H_
