// An echo peer for the request client, over whichever platform the program
// links: it answers a request envelope with a reply form whose payload is the
// request's payload, sent as the threaded server sends its replies (a
// "DIR_SC_" client to the reply server named in the request, kind 1).
#ifndef COMMDIR_TESTS_SUPPORT_REPLY_ECHO_H_
#define COMMDIR_TESTS_SUPPORT_REPLY_ECHO_H_

#include <cstring>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "platform/emw_gen_ipc.h"

namespace commdir_test {

// The reply form answering `request` (a request form): the routing words
// echoed, replied = 1, the request payload as the reply payload. The header
// words are filled as the platform fills them, so that the bytes can also be
// handed straight to a dispatch function or sent raw.
inline std::vector<char> reply_to(const char* request) {
  using namespace velmarosta;
  std::vector<char> reply(COMM_DIR_IPC_REPLY_SIZE, 0);
  auto* form = reinterpret_cast<COMM_DIR_IPC_MULTI_REPLY*>(reply.data());
  std::memcpy(&form->head.event_sem_id, request + 72, sizeof form->head - 72);
  form->head.replied = 1;
  std::memcpy(form->payload, request + COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET, COMM_DIR_IPC_MAX_PAYLOAD);
  const UINT words[] = {COMM_DIR_IPC_REPLY_SIZE, GEN_IPC_KIND_REPLY};
  std::memcpy(reply.data() + GEN_IPC_HDR_LENGTH_OFFSET, &words[0], sizeof words[0]);
  std::memcpy(reply.data() + GEN_IPC_HDR_KIND_OFFSET, &words[1], sizeof words[1]);
  return reply;
}

// Sends `reply` (a reply form) to the reply server that it names.
inline RETCODE send_reply_form(std::vector<char>& reply) {
  using namespace velmarosta;
  const auto* head = reinterpret_cast<const COMM_DIR_IPC_ENVELOPE_HEAD*>(reply.data());
  UINT clnt[8] = {};
  RETCODE rc =
      emwGENIpcCreateClient(COMM_DIR_REPLY_CLIENT_NAME, head->reply_server_name, 0, 0, COMM_DIR_IPC_ID_REPLY, clnt);
  if (rc == 0)
    rc = emwGENIpcCallClient(clnt[0], GEN_IPC_KIND_REPLY, 0, 0, reply.data(), COMM_DIR_IPC_REPLY_SIZE, 0, 0, 0, ~0UL);
  emwGENIpcDestroyClient(clnt[0]);
  return rc;
}

// A server dispatch function that echoes every request it receives.
inline RETCODE echo_dispatch(char* rcvbuf, char* /*sndbuf*/, int* size) {
  std::vector<char> reply = reply_to(rcvbuf);
  return *size = 0, send_reply_form(reply);
}

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_REPLY_ECHO_H_
