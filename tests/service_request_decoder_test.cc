// The daemon's receive path, byte by byte: what it drops, what it refuses
// with which code, and what it serves; the operation ids; the result codes.
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commdir/comm_dir_result_codes.h"
#include "service/comm_dir_operation_ids.h"
#include "service/comm_dir_request_decoder.h"

namespace velmarosta {
namespace {

constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);

void put_word(std::vector<char>& message, std::size_t offset, UINT word) {
  std::memcpy(message.data() + offset, &word, sizeof word);
}

// A well-formed request form of `function_id` as the library sends it.
std::vector<char> well_formed(int function_id) {
  std::vector<char> message(COMM_DIR_IPC_REQUEST_SIZE, 0);
  put_word(message, GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REQUEST_SIZE);
  put_word(message, 72, 0x11223344);  // event_sem_id
  put_word(message, 80, static_cast<UINT>(function_id));
  std::strcpy(message.data() + 84, "utcp:DIR_CS_app");
  put_word(message, 116, 0xCAFEF00D);  // reply_buffer
  put_word(message, 120, COMM_DIR_IPC_REPLY_SIZE);
  char* payload = message.data() + kHead;
  switch (function_id) {
    case COMM_DIR_FUNC_CHECK_CONNECTION: {
      auto* request = reinterpret_cast<COMM_DIR_CHECK_CONNECTION_REQUEST*>(payload);
      std::strcpy(request->info.connect.uri, "ldap://127.0.0.1:1/");
      std::strcpy(request->info.callback_server_name, "DIR_SVR_app");
      request->info.callback_object = 0xABCD0001;
      break;
    }
    case COMM_DIR_FUNC_START_OPERATION: {
      auto* request = reinterpret_cast<COMM_DIR_START_OPERATION_REQUEST*>(payload);
      std::strcpy(request->connect.uri, "ldap://127.0.0.1:1/");
      request->bind_present = 1;
      request->bind.method = COMM_DIR_BIND_SIMPLE;
      std::strcpy(request->bind.bind_dn, "cn=admin,dc=example,dc=com");
      break;
    }
    case COMM_DIR_FUNC_SEARCH: {
      auto* request = reinterpret_cast<COMM_DIR_SEARCH_REQUEST*>(payload);
      std::strcpy(request->condition.filter, "(cn=*)");
      request->condition.operation_id = 0x0BADCAFE;
      request->time_limit_sec = 5;
      request->time_limit_usec = 250000;
      break;
    }
    case COMM_DIR_FUNC_DAEMON_STATUS:
      put_word(message, kHead + 72, COMM_DIR_STATUS_JSON);
      break;
    default:
      put_word(message, kHead + 72, 0x0BADCAFE);  // operation id
      if (function_id >= COMM_DIR_FUNC_GET_VALUE_STRING_CNT && function_id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE)
        std::strcpy(payload + 76, "mail");
      break;
  }
  return message;
}

// Decodes `message` twice: as a whole, and as the daemon does, told how much
// travelled in a datagram without the trailing zeros (the rest being the
// platform's zeros). Both must come to the same verdict and code.
comm_dir_verdict decode(const std::vector<char>& message, comm_dir_request* out) {
  UINT length;
  std::memcpy(&length, message.data() + GEN_IPC_HDR_LENGTH_OFFSET, sizeof length);
  std::size_t travelled = message.size();
  while (travelled > 128 && message[travelled - 1] == 0) --travelled;
  auto whole = std::make_unique<comm_dir_request>();
  const comm_dir_verdict verdict = comm_dir_decode_request(message.data(), length, whole.get());
  EXPECT_EQ(comm_dir_decode_request(message.data(), length, out, travelled), verdict) << travelled;
  EXPECT_EQ(out->refusal, whole->refusal) << travelled;
  return verdict;
}

TEST(ServiceRequestDecoder, ServesEveryFunctionIdAndKeepsTheRoute) {
  std::vector<int> ids = {COMM_DIR_FUNC_DAEMON_STATUS};
  for (int id = 0; id < COMM_DIR_FUNC_COUNT; ++id) ids.push_back(id);
  for (int id : ids) {
    SCOPED_TRACE(id);
    std::vector<char> message = well_formed(id);
    message[0] = 0x55;  // the platform's header bytes never reach the reply
    auto request = std::make_unique<comm_dir_request>();
    ASSERT_EQ(decode(message, request.get()), comm_dir_verdict::kServe);
    EXPECT_EQ(request->function_id, id);
    EXPECT_EQ(request->route.event_sem_id, 0x11223344u);
    EXPECT_EQ(request->route.reply_buffer, 0xCAFEF00Du);
    EXPECT_EQ(request->route.reply_buffer_size, static_cast<UINT>(COMM_DIR_IPC_REPLY_SIZE));
    EXPECT_STREQ(request->route.reply_server_name, "utcp:DIR_CS_app");
    EXPECT_EQ(request->route.ipc_header[0], 0);
    EXPECT_EQ(request->operation_id, id >= COMM_DIR_FUNC_SEARCH && id < COMM_DIR_FUNC_COUNT ? 0x0BADCAFEu : 0u);
    EXPECT_EQ(std::memcmp(request->record.bytes, message.data() + kHead, comm_dir_request_size(id)), 0);
  }
}

using Change = std::function<void(std::vector<char>&)>;

Change word_at(std::size_t offset, UINT word) {
  return [=](std::vector<char>& m) { put_word(m, offset, word); };
}
Change text_at(std::size_t offset, const char* text) {
  return [=](std::vector<char>& m) { std::memcpy(m.data() + offset, text, std::strlen(text) + 1); };
}
Change fill_at(std::size_t offset, char byte, std::size_t count) {
  return [=](std::vector<char>& m) { std::memset(m.data() + offset, byte, count); };
}
Change both(Change a, Change b) {
  return [=](std::vector<char>& m) {
    a(m);
    b(m);
  };
}

TEST(ServiceRequestDecoder, DropsRefusesOrServesEachMessage) {
  struct Row {
    const char* what;
    int function_id;
    Change change;
    comm_dir_verdict verdict;
    RETCODE code;  // kRefuse only
  };
  using V = comm_dir_verdict;
  const std::size_t p = kHead;      // payload
  const std::size_t t = kHead + 76; // the test record of a connection test
  const Change callback = word_at(p + 72, COMM_DIR_TEST_MODE_CALLBACK);
  const Row rows[] = {
      // The limits that the library itself sends are served.
      {"reply server name of 31 characters", 3, text_at(84, "utcp:abcdefghijklmnopqrstuvwxyz"), V::kServe, 0},
      {"attribute of 384 characters", 5, fill_at(p + 76, 'a', 384), V::kServe, 0},
      {"message cut right after its record", 3, word_at(4, p + 76), V::kServe, 0},
      {"no bind record, whatever its bytes", 1, both(word_at(p + 352, 0), fill_at(p + 360, 'x', 512)), V::kServe, 0},
      {"callback with a name", 0, callback, V::kServe, 0},
      // Nothing to route an answer by: dropped.
      {"shorter than the head", 12, word_at(4, p - 1), V::kDrop, 0},
      {"length word 0", 12, word_at(4, 0), V::kDrop, 0},
      {"a reply (kind 1)", 12, word_at(GEN_IPC_HDR_KIND_OFFSET, 1), V::kDrop, 0},
      {"replied set", 12, word_at(76, 1), V::kDrop, 0},
      {"name without its NUL", 12, fill_at(84, 'a', 32), V::kDrop, 0},
      {"empty name", 12, fill_at(84, 0, 32), V::kDrop, 0},
      {"name without the prefix", 12, text_at(84, "DIR_CS_app"), V::kDrop, 0},
      {"the prefix alone", 12, text_at(84, "utcp:"), V::kDrop, 0},
      {"a path in the name", 12, text_at(84, "utcp:../etc/x"), V::kDrop, 0},
      {"a blank in the name", 12, text_at(84, "utcp:a b"), V::kDrop, 0},
      {"the daemon's own endpoint", 12, text_at(84, "utcp:COMM_DIR_SRV"), V::kDrop, 0},
      {"the daemon's callback answers", 12, text_at(84, "utcp:COMM_DIR_SRV_CB"), V::kDrop, 0},
      // Routable but not servable: refused with its code.
      {"function id 15", 3, word_at(80, 15), V::kRefuse, COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"function id beside the status's", 3, word_at(80, COMM_DIR_FUNC_DAEMON_STATUS + 1), V::kRefuse,
       COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"status format 2", COMM_DIR_FUNC_DAEMON_STATUS, word_at(p + 72, 2), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"a byte after the status record", COMM_DIR_FUNC_DAEMON_STATUS, fill_at(p + 76, 1, 1), V::kRefuse,
       COMM_DIR_SVC_WRONG_SIZE},
      {"function id 0xFFFFFFFF", 3, word_at(80, 0xFFFFFFFFu), V::kRefuse, COMM_DIR_SVC_UNKNOWN_FUNCTION},
      {"record one byte short", 3, word_at(4, p + 75), V::kRefuse, COMM_DIR_SVC_WRONG_SIZE},
      {"head only", 2, word_at(4, p), V::kRefuse, COMM_DIR_SVC_WRONG_SIZE},
      {"longer than a request form", 3,
       [](std::vector<char>& m) {
         m.resize(COMM_DIR_IPC_REPLY_SIZE, 0);
         put_word(m, 4, COMM_DIR_IPC_REPLY_SIZE);
       },
       V::kRefuse, COMM_DIR_SVC_WRONG_SIZE},
      {"a byte after the record", 3, fill_at(p + 76, 1, 1), V::kRefuse, COMM_DIR_SVC_WRONG_SIZE},
      {"a byte where a block of the zeros begins", 12, fill_at(p + 76 + 1024, 1, 1), V::kRefuse,
       COMM_DIR_SVC_WRONG_SIZE},
      {"a byte where a block of the zeros ends", 12, fill_at(p + 76 + 1023, 1, 1), V::kRefuse,
       COMM_DIR_SVC_WRONG_SIZE},
      {"the last byte of the form", 12, fill_at(COMM_DIR_IPC_REQUEST_SIZE - 1, 1, 1), V::kRefuse,
       COMM_DIR_SVC_WRONG_SIZE},
      {"attribute without its NUL", 7, fill_at(p + 76, 'a', 385), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"empty attribute", 5, fill_at(p + 76, 0, 1), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"URI without its NUL", 1, fill_at(p + 72, 'u', 176), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"CA file without its NUL", 1, fill_at(p + 248, 'c', 88), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"empty URI", 1, fill_at(p + 72, 0, 1), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"security 3", 1, word_at(p + 72 + 264, 3), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"TLS check 4", 1, word_at(p + 72 + 272, 4), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"bind flag 2", 1, word_at(p + 352, 2), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"bind method 3", 1, word_at(p + 356, 3), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"bind DN without its NUL", 1, fill_at(p + 360, 'd', 512), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"password without its NUL", 1, fill_at(p + 872, 'w', 512), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"base without its NUL", 2, fill_at(p + 72, 'b', 512), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"filter without its NUL", 2, fill_at(p + 596, 'f', 1024), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"attributes without their NUL", 2, fill_at(p + 1620, 'a', 412), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"scope 4", 2, word_at(p + 584, 4), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"deref 4", 2, word_at(p + 588, 4), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"types only 2", 2, word_at(p + 592, 2), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"negative seconds", 2, word_at(p + 2040, 0xFFFFFFFFu), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"a million microseconds", 2, word_at(p + 2044, 1000000), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"test mode 2", 0, word_at(p + 72, 2), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"callback without a name", 0, both(callback, fill_at(t + 1912, 0, 16)), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"callback name with a slash", 0, both(callback, text_at(t + 1912, "../x")), V::kRefuse, COMM_DIR_SVC_BAD_FIELD},
      {"callback to the daemon", 0, both(callback, text_at(t + 1912, "COMM_DIR_SRV_CB")), V::kRefuse,
       COMM_DIR_SVC_BAD_FIELD},
      {"callback name without its NUL", 0, fill_at(t + 1912, 'n', 16), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
      {"test's URI without its NUL", 0, fill_at(t + 4, 'u', 176), V::kRefuse, COMM_DIR_SVC_UNTERMINATED_STRING},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<char> message = well_formed(row.function_id);
    row.change(message);
    auto request = std::make_unique<comm_dir_request>();
    ASSERT_EQ(decode(message, request.get()), row.verdict);
    if (row.verdict == V::kDrop) {
      EXPECT_NE(request->drop_reason, nullptr);
    }
    if (row.verdict != V::kRefuse) continue;
    EXPECT_EQ(request->refusal, row.code);
    EXPECT_STREQ(request->route.reply_server_name, "utcp:DIR_CS_app");
    if (row.function_id == COMM_DIR_FUNC_CHECK_CONNECTION) {  // kept, so that the reply echoes the record
      EXPECT_EQ(request->record.check_connection.info.callback_object, 0xABCD0001u);
    }
  }
}

TEST(ServiceOperationIds, NeverZeroNeverRepeatedAndKeyed) {
  const std::uint32_t keys_a[comm_dir_operation_ids::kRounds] = {1, 2, 3, 4};
  const std::uint32_t keys_b[comm_dir_operation_ids::kRounds] = {1, 2, 3, 5};
  comm_dir_operation_ids a(keys_a);
  comm_dir_operation_ids b(keys_b);
  std::set<UINT> seen;
  int same_as_b = 0;
  int consecutive = 0;
  UINT previous = 0;
  for (int i = 0; i < 100000; ++i) {
    UINT id = a.next();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(seen.insert(id).second) << "id issued twice: " << id;
    if (id == b.next()) ++same_as_b;
    if (id == previous + 1) ++consecutive;
    previous = id;
  }
  EXPECT_LT(same_as_b, 5);
  EXPECT_LT(consecutive, 5);
}

TEST(ServiceResultCodes, MapsEveryLdapCodeIntoItsRangeAndBack) {
  struct Row {
    int ldap_code;
    RETCODE code;
  };
  const Row rows[] = {
      {0, 0},
      {32, 0x34091020},
      {49, 0x34091031},
      {0xFFF, 0x34091FFF},
      {0x1000, 0x34094000},
      {0x410E, 0x3409710E},
      {0x4FFF, 0x34097FFF},
      {-1, 0x34092001},
      {-18, 0x34092012},
      {-0xFF, 0x340920FF},
      {0x5000, COMM_DIR_SVC_LDAP_CODE_UNKNOWN},
      {-0x100, COMM_DIR_SVC_LDAP_CODE_UNKNOWN},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.ldap_code);
    EXPECT_EQ(comm_dir_code_from_ldap(row.ldap_code), row.code);
    int back = 0;
    const bool mapped = row.code != 0 && row.code != COMM_DIR_SVC_LDAP_CODE_UNKNOWN;
    EXPECT_EQ(comm_dir_ldap_code_of(row.code, &back), mapped);
    if (mapped) {
      EXPECT_EQ(back, row.ldap_code);
    }
  }
  int ignored = 0;
  EXPECT_FALSE(comm_dir_ldap_code_of(COMM_DIR_SVC_BUSY, &ignored));
}

TEST(ServiceResultCodes, EveryCodeHasItsOwnMessageAndNoneIsReserved) {
  std::set<RETCODE> codes;
  for (const auto& row : result_codes_internal::kMessages) {
    EXPECT_TRUE(codes.insert(row.code).second) << "code listed twice: " << std::hex << row.code;
    EXPECT_STRNE(row.message, "");
    EXPECT_STREQ(comm_dir_result_message(row.code), row.message);
    const bool library_own = row.code == 0 || row.code == -1 || row.code == COMM_DIR_ERR ||
                             (row.code & ~0xFF) == 0x3409F000;
    const bool in_service_range = row.code > COMM_DIR_ERR && row.code < 0x3409F000;
    EXPECT_TRUE(library_own || in_service_range) << std::hex << row.code;
  }
  EXPECT_STRNE(comm_dir_result_message(0x34091063), "unknown result code");  // an LDAP code without a row
  EXPECT_STREQ(comm_dir_result_message(0x12345678), "unknown result code");
}

}  // namespace
}  // namespace velmarosta
