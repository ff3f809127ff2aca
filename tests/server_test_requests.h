// Request forms as a peer sends them to a server of the threaded request
// server, the replies that come back, and checks on trace lines, for the
// tests over the fake platform.
#ifndef COMMDIR_TESTS_SERVER_TEST_REQUESTS_H_
#define COMMDIR_TESTS_SERVER_TEST_REQUESTS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "support/expect_trace.h"
#include "support/fake/fake_platform.h"

namespace server_test {

using velmarosta::COMM_DIR_IPC_MULTI_REQUEST;
constexpr char kReplyServer[] = "utcp:TREPLY";

inline RETCODE ignore_message(char*, char*, int*) { return 0; }

// A reply server of the test's own; held, so replies queue there.
inline void start_reply_server() {
  ASSERT_EQ(0, emwGENIpcStartServer(kReplyServer, velmarosta::COMM_DIR_IPC_ID_REPLY,
                                    velmarosta::COMM_DIR_IPC_STACK_SIZE, ignore_message));
  fake::hold(kReplyServer, true);
}

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
  if (!payload.empty()) std::memcpy(form->payload, payload.data(), payload.size() * sizeof(UINT));
  UINT length_word = static_cast<UINT>(length);
  std::memcpy(bytes.data() + GEN_IPC_HDR_LENGTH_OFFSET, &length_word, sizeof length_word);
  bytes.resize(length);
  return bytes;
}

// The reply form, as the reply server receives it, that answers `request`
// with `payload`: routing words echoed, replied = 1, result 0.
inline std::vector<char> expected_reply(const std::vector<char>& request, const std::string& payload) {
  std::vector<char> reply(velmarosta::COMM_DIR_IPC_REPLY_SIZE, 0);
  std::memcpy(reply.data() + 72, request.data() + 72, 124 - 72);
  const UINT length = velmarosta::COMM_DIR_IPC_REPLY_SIZE, one = 1;
  std::memcpy(reply.data() + GEN_IPC_HDR_LENGTH_OFFSET, &length, 4);
  std::memcpy(reply.data() + GEN_IPC_HDR_KIND_OFFSET, &one, 4);
  std::memcpy(reply.data() + 76, &one, 4);
  std::memcpy(reply.data() + 128, payload.data(), payload.size());
  return reply;
}

inline std::vector<fake::Message> replies() {
  std::vector<fake::Message> out = fake::sent();
  out.erase(std::remove_if(out.begin(), out.end(), [](auto& m) { return m.server != kReplyServer; }), out.end());
  return out;
}

inline UINT word_at(const std::vector<char>& bytes, int offset) {
  return velmarosta::read_word(bytes.data(), offset);
}

// Slots of the task table that are free now; probes by taking them.
inline int free_slots() {
  using velmarosta::comm_dir_ipc_multi_server;
  std::vector<int> taken;
  for (int i = 0; comm_dir_ipc_multi_server::thread_check_empty(i) == 0; taken.push_back(i)) {
    comm_dir_ipc_multi_server::thread_regist("probe", i);
  }
  for (int i : taken) comm_dir_ipc_multi_server::thread_delete(i);
  return static_cast<int>(taken.size());
}

// An expected extra trace argument.
inline fake::Value Int(long long v) { fake::Value x; x.i = v; return x; }
inline fake::Value Str(const std::string& s) { fake::Value x; x.kind = fake::Value::kString; x.s = s; return x; }
inline fake::Value Null() { fake::Value x; x.kind = fake::Value::kPointer; return x; }
inline fake::Value None() { fake::Value x; x.kind = fake::Value::kPointer; x.i = -1; return x; }

// Exactly one trace line has `format`; it came with `flag`, `sig`, a source
// line and `extra` (None(): nothing further).
inline void expect_one_trace(const std::string& format, const std::string& sig, fake::Value extra,
                             int flag = 0) {
  std::vector<fake::Trace> found;
  for (auto& t : fake::traces()) {
    if (t.format == format) found.push_back(t);
  }
  fake::Trace t = commdir_test::only_trace(found, format, flag, sig);
  bool no_extra = extra.kind == fake::Value::kPointer && extra.i == -1;
  ASSERT_EQ(no_extra ? 2u : 3u, t.args.size()) << format;
  if (!no_extra) {
    EXPECT_TRUE(extra.kind == t.args[2].kind && extra.i == t.args[2].i && extra.s == t.args[2].s) << t.text;
  }
}

}  // namespace server_test

#endif  // COMMDIR_TESTS_SERVER_TEST_REQUESTS_H_
