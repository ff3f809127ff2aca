// The daemon's request decoder, byte by byte (service/comm_dir_request_decoder.h).
#include "service/comm_dir_request_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmarosta {
namespace {

constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
using Change = std::function<void(std::vector<char>&)>;
Change word_at(std::size_t at, UINT word) {
  return [=](std::vector<char>& m) { std::memcpy(&m[at], &word, 4); };
}
Change text_at(std::size_t at, const char* text) {
  return [=](auto& m) { std::strcpy(&m[at], text); };
}
Change fill_at(std::size_t at, char byte, std::size_t n) {
  return [=](auto& m) { std::memset(&m[at], byte, n); };
}
Change both(Change a, Change b) {
  return [=](auto& m) {
    a(m);
    b(m);
  };
}

// A well-formed request form of `function_id` as the library sends it.
std::vector<char> well_formed(int function_id) {
  std::vector<char> m(COMM_DIR_IPC_REQUEST_SIZE, 0);
  const std::size_t p = kHead;
  std::vector<Change> fields = {word_at(GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REQUEST_SIZE),
                                word_at(72, 0x11223344),
                                word_at(80, static_cast<UINT>(function_id)),
                                text_at(84, "utcp:DIR_CS_app"),
                                word_at(116, 0xCAFEF00D),
                                word_at(120, COMM_DIR_IPC_REPLY_SIZE)};
  if (function_id == COMM_DIR_FUNC_CHECK_CONNECTION) {
    fields.insert(fields.end(),
                  {text_at(p + 80, "ldap://1/"), text_at(p + 1988, "DIR_SVR_a"), word_at(p + 76, 0xABCD0001)});
  } else if (function_id == COMM_DIR_FUNC_START_OPERATION) {
    fields.insert(fields.end(), {text_at(p + 72, "ldap://1/"), word_at(p + 352, 1), word_at(p + 356, 1),
                                 text_at(p + 360, "cn=admin")});
  } else if (function_id == COMM_DIR_FUNC_SEARCH) {
    fields.insert(fields.end(), {text_at(p + 596, "(cn=*)"), word_at(p + 2032, 0x0BADCAFE), word_at(p + 2040, 5),
                                 word_at(p + 2044, 250000)});
  } else {
    fields.push_back(word_at(p + 72, function_id == COMM_DIR_FUNC_DAEMON_STATUS ? 1u : 0x0BADCAFEu));  // status: JSON
    if (function_id >= COMM_DIR_FUNC_GET_VALUE_STRING_CNT && function_id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE) {
      fields.push_back(text_at(p + 76, "mail"));
    }
  }
  for (const Change& field : fields) field(m);
  return m;
}

// Decodes `message` as a whole, and as the daemon does, told how much
// travelled without the trailing zeros: both come to the same verdict.
comm_dir_verdict decode(const std::vector<char>& message, comm_dir_request* out) {
  const UINT length = read_word(message.data(), GEN_IPC_HDR_LENGTH_OFFSET);
  std::size_t travelled = message.size();
  while (travelled > 128 && message[travelled - 1] == 0) --travelled;
  auto whole = std::make_unique<comm_dir_request>();
  const comm_dir_verdict verdict = comm_dir_decode_request(message.data(), length, whole.get());
  EXPECT_EQ(comm_dir_decode_request(message.data(), length, out, travelled), verdict);
  EXPECT_EQ(out->refusal, whole->refusal);
  return verdict;
}

TEST(ServiceRequestDecoder, ServesEveryFunctionIdAndKeepsTheRoute) {
  for (int id = 0; id <= COMM_DIR_FUNC_COUNT; ++id) {
    const int function_id = id < COMM_DIR_FUNC_COUNT ? id : COMM_DIR_FUNC_DAEMON_STATUS;
    std::vector<char> message = well_formed(function_id);
    message[0] = 0x55;  // the platform's header bytes never reach the reply
    auto request = std::make_unique<comm_dir_request>();
    ASSERT_EQ(decode(message, request.get()), comm_dir_verdict::kServe) << function_id;
    const COMM_DIR_IPC_ENVELOPE_HEAD& route = request->route;
    EXPECT_TRUE(request->function_id == function_id && route.event_sem_id == 0x11223344u && route.ipc_header[0] == 0);
    EXPECT_TRUE(route.reply_buffer == 0xCAFEF00Du && route.reply_buffer_size == COMM_DIR_IPC_REPLY_SIZE);
    EXPECT_STREQ(route.reply_server_name, "utcp:DIR_CS_app");
    EXPECT_EQ(request->operation_id, id >= COMM_DIR_FUNC_SEARCH && id < COMM_DIR_FUNC_COUNT ? 0x0BADCAFEu : 0u);
    EXPECT_EQ(std::memcmp(request->record.bytes, &message[kHead], comm_dir_request_size(function_id)), 0);
  }
}

TEST(ServiceRequestDecoder, DropsRefusesOrServesEachMessage) {
  using V = comm_dir_verdict;
  constexpr V Serve = V::kServe, Drop = V::kDrop, Refuse = V::kRefuse;
  const std::size_t p = kHead, t = kHead + 76;  // the payload; a connection test's record
  const Change callback = word_at(p + 72, COMM_DIR_TEST_MODE_CALLBACK);
  constexpr RETCODE kSize = COMM_DIR_SVC_WRONG_SIZE, kField = COMM_DIR_SVC_BAD_FIELD;
  constexpr RETCODE kNul = COMM_DIR_SVC_UNTERMINATED_STRING, kUnknown = COMM_DIR_SVC_UNKNOWN_FUNCTION;
  const struct Row {
    const char* what;
    int function_id;
    Change change;
    V verdict;
    RETCODE code;
  } rows[] = {
      // The limits the library itself sends are served.
      {"reply server of 31", 3, text_at(84, "utcp:abcdefghijklmnopqrstuvwxyz"), Serve, 0},
      {"attribute of 384", 5, fill_at(p + 76, 'a', 384), Serve, 0},
      {"cut right after its record", 3, word_at(4, p + 76), Serve, 0},
      {"no bind, whatever its bytes", 1, both(word_at(p + 352, 0), fill_at(p + 360, 'x', 512)), Serve, 0},
      {"callback with a name", 0, callback, Serve, 0},
      // Nothing to route an answer by: dropped.
      {"shorter than the head", 12, word_at(4, p - 1), Drop, 0},
      {"a reply", 12, word_at(24, 1), Drop, 0},
      {"replied set", 12, word_at(76, 1), Drop, 0},
      {"name without NUL", 12, fill_at(84, 'a', 32), Drop, 0},
      {"empty name", 12, fill_at(84, 0, 32), Drop, 0},
      {"no prefix", 12, text_at(84, "DIR_CS_app"), Drop, 0},
      {"the prefix alone", 12, text_at(84, "utcp:"), Drop, 0},
      {"dot-dot", 12, text_at(84, "utcp:.."), Drop, 0},
      {"the daemon's endpoint", 12, text_at(84, "utcp:COMM_DIR_SRV"), Drop, 0},
      {"the daemon's callback answers", 12, text_at(84, "utcp:COMM_DIR_SRV_CB"), Drop, 0},
      // Routable but not servable: refused with its code.
      {"id 15", 3, word_at(80, 15), Refuse, kUnknown},
      {"id beside the status's", 3, word_at(80, COMM_DIR_FUNC_DAEMON_STATUS + 1), Refuse, kUnknown},
      {"status format 2", COMM_DIR_FUNC_DAEMON_STATUS, word_at(p + 72, 2), Refuse, kField},
      {"a byte after the status", COMM_DIR_FUNC_DAEMON_STATUS, fill_at(p + 76, 1, 1), Refuse, kSize},
      {"record one byte short", 3, word_at(4, p + 75), Refuse, kSize},
      {"head only", 2, word_at(4, p), Refuse, kSize},
      {"longer than a form", 3, both([](auto& m) { m.resize(p + 49160); }, word_at(4, p + 49160)), Refuse, kSize},
      {"a byte after the record", 3, fill_at(p + 76, 1, 1), Refuse, kSize},
      {"where a block of zeros begins", 12, fill_at(p + 76 + 1024, 1, 1), Refuse, kSize},
      {"where a block of zeros ends", 12, fill_at(p + 76 + 1023, 1, 1), Refuse, kSize},
      {"the form's last byte", 12, fill_at(COMM_DIR_IPC_REQUEST_SIZE - 1, 1, 1), Refuse, kSize},
      {"attribute without NUL", 7, fill_at(p + 76, 'a', 385), Refuse, kNul},
      {"no attribute", 5, fill_at(p + 76, 0, 1), Refuse, kField},
      {"URI without NUL", 1, fill_at(p + 72, 'u', 176), Refuse, kNul},
      {"CA file without NUL", 1, fill_at(p + 248, 'c', 88), Refuse, kNul},
      {"empty URI", 1, fill_at(p + 72, 0, 1), Refuse, kField},
      {"security 3", 1, word_at(p + 336, 3), Refuse, kField},
      {"TLS check 4", 1, word_at(p + 344, 4), Refuse, kField},
      {"bind flag 2", 1, word_at(p + 352, 2), Refuse, kField},
      {"bind method 3", 1, word_at(p + 356, 3), Refuse, kField},
      {"bind DN without NUL", 1, fill_at(p + 360, 'd', 512), Refuse, kNul},
      {"password without NUL", 1, fill_at(p + 872, 'w', 512), Refuse, kNul},
      {"base without NUL", 2, fill_at(p + 72, 'b', 512), Refuse, kNul},
      {"filter without NUL", 2, fill_at(p + 596, 'f', 1024), Refuse, kNul},
      {"attributes without NUL", 2, fill_at(p + 1620, 'a', 412), Refuse, kNul},
      {"scope 4", 2, word_at(p + 584, 4), Refuse, kField},
      {"deref 4", 2, word_at(p + 588, 4), Refuse, kField},
      {"types only 2", 2, word_at(p + 592, 2), Refuse, kField},
      {"-1 s", 2, word_at(p + 2040, ~0u), Refuse, kField},
      {"10^6 us", 2, word_at(p + 2044, 1000000), Refuse, kField},
      {"mode 2", 0, word_at(p + 72, 2), Refuse, kField},
      {"callback, no name", 0, both(callback, fill_at(t + 1912, 0, 16)), Refuse, kField},
      {"callback name with a slash", 0, both(callback, text_at(t + 1912, "../x")), Refuse, kField},
      {"callback to the daemon", 0, both(callback, text_at(t + 1912, "COMM_DIR_SRV_CB")), Refuse, kField},
      {"callback name without NUL", 0, fill_at(t + 1912, 'n', 16), Refuse, kNul},
      {"test's URI without NUL", 0, fill_at(t + 4, 'u', 176), Refuse, kNul},
  };
  for (const Row& row : rows) {
    std::vector<char> message = well_formed(row.function_id);
    row.change(message);
    auto request = std::make_unique<comm_dir_request>();
    ASSERT_EQ(decode(message, request.get()), row.verdict) << row.what;
    EXPECT_TRUE(row.verdict != V::kDrop || request->drop_reason != nullptr) << row.what;
    if (row.verdict != V::kRefuse) continue;
    EXPECT_EQ(request->refusal, row.code) << row.what;
    EXPECT_STREQ(request->route.reply_server_name, "utcp:DIR_CS_app") << row.what;
    // Kept, so that the reply echoes the record.
    EXPECT_TRUE(row.function_id != 0 || request->record.check_connection.info.callback_object == 0xABCD0001u);
  }
}

}  // namespace
}  // namespace velmarosta
