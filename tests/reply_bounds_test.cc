// Every length and count that the directory service sends in a value list,
// at its boundaries: 0, the largest a reply can carry, one more, and the
// words that overflow a signed or a size computation. Each gives its defined
// outcome, the library asks for no buffer beyond what the value may need, and
// the next well-formed request is answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "client/comm_dir_facade_client.h"
#include "client/comm_dir_messages.h"
#include "support/expect_trace.h"
#include "support/fake/fake_platform.h"
#include "support/scripted_service.h"

// The library takes every buffer with nothrow new; the containers of the
// tests and of the fake platform use the throwing forms. So the nothrow forms
// on the calling thread are the library's own requests, and the largest is
// recorded, leaving out the transport's two envelope records whose size is
// fixed (the request form, and the reply record with its bookkeeping).
namespace {
thread_local bool t_watching = false;
thread_local std::size_t t_largest = 0;

bool envelope_record(std::size_t n) {
  return n == sizeof(velmarosta::COMM_DIR_IPC_MULTI_REQUEST) ||
         (n >= sizeof(velmarosta::COMM_DIR_IPC_MULTI_REPLY) && n < sizeof(velmarosta::COMM_DIR_IPC_MULTI_REPLY) + 16);
}
void* watched(std::size_t n) {
  if (t_watching && !envelope_record(n)) t_largest = std::max(t_largest, n);
  return std::malloc(n == 0 ? 1 : n);
}
}  // namespace

void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return watched(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return watched(n); }
void* operator new(std::size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using commdir_test::scripted_reply;
using commdir_test::scripted_service;
using commdir_test::service_request;
using namespace velmarosta;

struct Kind {
  bool binary;
  int length_id;
  UINT max_length;
  std::size_t reply_extra, entry_extra;  // value reply: 1948 + L + extra; entry: L + extra
  const char* signature;
};
const Kind kKinds[] = {
    {false, COMM_DIR_FUNC_GET_VALUE_STRING_LEN, COMM_DIR_MAX_STRING_VALUE, 1, 1,
     "RETCODE velmarosta::comm_dir_facade_client::get_value_string(UINT, CHAR*, UINT&, CHAR**&)"},
    {true, COMM_DIR_FUNC_GET_VALUE_BINARY_LEN, COMM_DIR_MAX_BINARY_VALUE, 0, 4,
     "RETCODE velmarosta::comm_dir_facade_client::get_value_binary(UINT, CHAR*, UINT&, "
     "velmarosta::COMM_DIR_BERVAL**&)"},
};

// What one retrieval of "attr" gave: its code, count and the first value
// (nullopt for none), the list freed.
struct Outcome {
  RETCODE rc;
  UINT count;
  bool list;
  std::optional<std::string> first;
};

template <typename Entry>
Outcome take(RETCODE rc, UINT count, Entry** list, bool binary) {
  Outcome out{rc, count, list != nullptr, std::nullopt};
  for (UINT i = 0; list != nullptr && i < count; ++i) {
    const char* block = reinterpret_cast<const char*>(list[i]);
    if (i == 0 && block != nullptr) {
      out.first = binary ? std::string(block + 4, reinterpret_cast<const COMM_DIR_BERVAL*>(block)->bv_len)
                         : std::string(block);
    }
    delete[] block;
  }
  delete[] list;
  return out;
}

Outcome retrieve(comm_dir_facade_client& client, bool binary) {
  char attribute[] = "attr";
  UINT count = 0;
  t_largest = 0;
  t_watching = true;
  Outcome out{};
  if (binary) {
    COMM_DIR_BERVAL** list = nullptr;
    RETCODE rc = client.get_value_binary(9, attribute, count, list);
    t_watching = false;
    out = take(rc, count, list, true);
  } else {
    CHAR** list = nullptr;
    RETCODE rc = client.get_value_string(9, attribute, count, list);
    t_watching = false;
    out = take(rc, count, list, false);
  }
  return out;
}

class ReplyBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(service_.start(), 0); }
  void TearDown() override { service_.stop(); }

  // The next well-formed exchange on the same client is answered.
  void expect_next_request_answered() {
    service_.reply_word(COMM_DIR_FUNC_GET_NEXT_ENTRY, 0x5A5A, 0);
    EXPECT_EQ(client_.get_next_entry(9), 0x5A5A);
  }

  comm_dir_facade_client client_;
  scripted_service service_;
};

constexpr UINT kFailAtFirstLength = 0x3409100B;  // what the service answers to the first length request

TEST_F(ReplyBoundsTest, ValueLengthsAndCountsAtTheirBoundaries) {
  constexpr std::size_t kFixed = COMM_DIR_REPLY_SIZE;  // the reply buffer, the largest fixed one
  struct Row {
    const char* what;
    bool is_count;  // the word is the count (else the length of value 0)
    UINT word;      // 0 and the largest allowed are given per kind below
    RETCODE rc;
  };
  const UINT kMaxCount = COMM_DIR_MAX_VALUE_COUNT;
  const Row rows[] = {
      {"length 0", false, 0, 0},
      {"largest length", false, 1, 0},  // word 1 stands for the kind's largest
      {"length one beyond", false, 2, COMM_DIR_ERR_BAD_REPLY},  // word 2: largest + 1
      {"length 0x7FFFFFFF", false, 0x7FFFFFFF, COMM_DIR_ERR_BAD_REPLY},
      {"length 0x80000000", false, 0x80000000u, COMM_DIR_ERR_BAD_REPLY},
      {"length 0xFFFFFFFF", false, 0xFFFFFFFFu, COMM_DIR_ERR_BAD_REPLY},
      {"count 0", true, 0, 0},
      {"largest count", true, kMaxCount, kFailAtFirstLength},
      {"count one beyond", true, kMaxCount + 1, COMM_DIR_ERR_BAD_REPLY},
      {"count 0x7FFFFFFF", true, 0x7FFFFFFF, COMM_DIR_ERR_BAD_REPLY},
      {"count 0x80000000", true, 0x80000000u, COMM_DIR_ERR_BAD_REPLY},
      {"count 0xFFFFFFFF", true, 0xFFFFFFFFu, COMM_DIR_ERR_BAD_REPLY},
  };
  for (const Kind& kind : kKinds) {
    for (const Row& row : rows) {
      UINT word = row.word;
      if (!row.is_count && (word == 1 || word == 2)) word = kind.max_length + (word - 1);
      SCOPED_TRACE(std::string(row.what) + (kind.binary ? " (binary)" : " (string)") + ", word " + std::to_string(word));
      // What the library may ask for: a value's reply buffer and entry, a
      // list of count + 1 pointers; nothing for a word it refuses.
      std::size_t may_take = kFixed;
      if (row.rc == 0 && !row.is_count) may_take = COMM_DIR_REPLY_SIZE + word + kind.reply_extra;
      if (row.rc == kFailAtFirstLength) may_take = (static_cast<std::size_t>(word) + 1) * sizeof(void*);

      for (int id = COMM_DIR_FUNC_GET_VALUE_STRING_CNT; id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE; ++id) service_.on(id, nullptr);
      if (row.is_count) {
        service_.reply_word(kind.length_id - 1, 0, word);
        service_.reply(kind.length_id, scripted_reply::words(kFailAtFirstLength, 0));
      } else if (row.rc == 0) {
        service_.serve_values("attr", {std::string(word, 'v')});
      } else {
        service_.serve_values("attr", {std::string("v")});
        service_.reply_word(kind.length_id, 0, word);
      }
      fake::clear_log();
      Outcome out = retrieve(client_, kind.binary);
      EXPECT_EQ(out.rc, row.rc) << std::hex << out.rc;
      EXPECT_EQ(out.count, row.is_count ? word : 1u);
      EXPECT_LE(t_largest, may_take);
      if (row.rc == 0 && !row.is_count) {
        ASSERT_TRUE(out.first.has_value());
        EXPECT_EQ(*out.first, std::string(word, 'v'));
      } else {
        EXPECT_FALSE(out.list);
      }
      const std::size_t traced = commdir_test::traces_from(kind.signature).size();
      EXPECT_EQ(traced, row.rc != 0 ? 1u : 0u);
      expect_next_request_answered();
    }
  }
}

}  // namespace
