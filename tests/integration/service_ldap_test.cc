// The daemon against a real slapd, over the raw wire: walks return what
// ldapsearch returns, positions and lifetimes behave, every failure carries
// its code, values up to what one reply carries go through and longer ones
// are refused whole, and operations are served at once.
#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "integration/service_wire.h"
#include "support/slapd_fixture.h"

namespace velmarosta {
namespace {

using namespace service_wire;
using commdir_testing::LdifEntry;
using commdir_testing::SlapdFixture;

constexpr char kPeople[] = "ou=people,dc=example,dc=com";
using Attributes = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct Search {
  const char* base;
  UINT scope;
  const char* filter;
  const char* attributes;  // blank-separated, as the record takes them
  UINT size_limit;
};

class ServiceLdap : public daemon_test {
 protected:
  void SetUp() override {
    slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
    ASSERT_TRUE(slapd_->ok()) << slapd_->error();
    start_daemon(daemon_args());
  }

  virtual std::vector<std::string> daemon_args() const { return {}; }

  void TearDown() override {
    daemon_test::TearDown();
    slapd_.reset();
  }

  // Opens an operation bound as `dn`; *code gets the result.
  UINT open(const char* dn, const char* password, RETCODE* code) {
    COMM_DIR_START_OPERATION_REQUEST request{};
    std::strcpy(request.connect.uri, slapd_->uri().c_str());
    request.bind_present = 1;
    request.bind.method = COMM_DIR_BIND_SIMPLE;
    std::strcpy(request.bind.bind_dn, dn);
    std::strcpy(request.bind.password, password);
    arrived reply = call(COMM_DIR_FUNC_START_OPERATION, request);
    *code = reply.result();
    return reply.word();
  }

  UINT open_reader() {
    RETCODE code = -1;
    UINT id = open(SlapdFixture::kReaderDn, SlapdFixture::kReaderPassword, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(id, 0u);
    return id;
  }

  RETCODE search(UINT operation, const Search& spec) {
    COMM_DIR_SEARCH_REQUEST request{};
    std::strcpy(request.condition.base_dn, spec.base);
    request.condition.scope = spec.scope;
    std::strcpy(request.condition.filter, spec.filter);
    std::strcpy(request.condition.attributes, spec.attributes);
    request.condition.operation_id = operation;
    request.size_limit = spec.size_limit;
    return call(COMM_DIR_FUNC_SEARCH, request).result();
  }

  arrived on(UINT function_id, UINT operation) {
    COMM_DIR_OPERATION_REQUEST request{};
    request.operation_id = operation;
    return call(function_id, request);
  }

  // A count request goes out as a value request with index 0: the same
  // record and zero bytes after it.
  arrived value_request(UINT function_id, UINT operation, const std::string& attribute, UINT index) {
    COMM_DIR_VALUE_REQUEST request{};
    request.operation_id = operation;
    std::strcpy(request.attribute, attribute.c_str());
    request.value_index = index;
    return call(function_id, request);
  }

  // The values of `attribute`, read both as strings and as binary values,
  // which must agree.
  std::vector<std::string> values(UINT operation, const std::string& attribute) {
    arrived count = value_request(COMM_DIR_FUNC_GET_VALUE_BINARY_CNT, operation, attribute, 0);
    EXPECT_EQ(count.result(), 0);
    EXPECT_EQ(value_request(COMM_DIR_FUNC_GET_VALUE_STRING_CNT, operation, attribute, 0).word(), count.word());
    std::vector<std::string> list;
    for (UINT i = 0; i < count.word(); ++i) {
      const UINT length = value_request(COMM_DIR_FUNC_GET_VALUE_BINARY_LEN, operation, attribute, i).word();
      arrived binary = value_request(COMM_DIR_FUNC_GET_VALUE_BINARY_ONE, operation, attribute, i);
      EXPECT_EQ(binary.word(), COMM_DIR_REPLY_WORD_PRESENT);
      UINT carried;
      std::memcpy(&carried, binary.data(), sizeof carried);
      EXPECT_EQ(carried, length);
      list.emplace_back(binary.data() + 4, length);
      EXPECT_EQ(value_request(COMM_DIR_FUNC_GET_VALUE_STRING_LEN, operation, attribute, i).word(), length);
      arrived text = value_request(COMM_DIR_FUNC_GET_VALUE_STRING_ONE, operation, attribute, i);
      EXPECT_EQ(std::string(text.data(), length), list.back());
      EXPECT_EQ(text.data()[length], '\0');
    }
    return list;
  }

  Attributes read_entry(UINT operation) {
    Attributes attributes;
    for (arrived name = on(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, operation); name.word() == COMM_DIR_REPLY_WORD_PRESENT;
         name = on(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, operation)) {
      EXPECT_EQ(name.result(), 0);
      attributes.emplace_back(name.data(), values(operation, name.data()));
    }
    return attributes;
  }

  // Walks the search result; *end gets the code that ended the walk.
  std::vector<Attributes> walk(UINT operation, RETCODE* end) {
    std::vector<Attributes> entries;
    RETCODE code = on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result();
    for (; code == 0; code = on(COMM_DIR_FUNC_GET_NEXT_ENTRY, operation).result()) entries.push_back(read_entry(operation));
    *end = code;
    return entries;
  }

  std::vector<Attributes> ldapsearch(const Search& spec) {
    static const char* const kScopes[] = {"base", "one", "sub", "children"};
    std::vector<std::string> args = {"-D", SlapdFixture::kReaderDn, "-w", SlapdFixture::kReaderPassword,
                                     "-b", spec.base, "-s", kScopes[spec.scope], spec.filter};
    std::istringstream names(spec.attributes);
    for (std::string name; names >> name;) args.push_back(name);
    commdir_testing::LdapSearchResult result = slapd_->search(args);
    EXPECT_EQ(result.exit_code, 0) << result.diagnostic;
    std::vector<Attributes> entries;
    for (const LdifEntry& entry : result.entries) entries.push_back(entry.attributes);
    return entries;
  }

  std::unique_ptr<SlapdFixture> slapd_;
};

TEST_F(ServiceLdap, WalksReturnWhatLdapsearchReturns) {
  const Search searches[] = {
      {kPeople, COMM_DIR_SCOPE_SUB, "(objectClass=inetOrgPerson)", "", 0},
      {kPeople, COMM_DIR_SCOPE_ONE, "(&(sn=L*)(mail=*))", "cn mail", 0},
      {kPeople, COMM_DIR_SCOPE_SUB, "(|(uid=aturing)(uid=alovelace))", "*", 0},
      {kPeople, COMM_DIR_SCOPE_SUB, "(!(ou=Engineering))", "cn telephoneNumber jpegPhoto", 0},
      {"dc=example,dc=com", COMM_DIR_SCOPE_ONE, "(objectClass=*)", "", 0},
      {"uid=alovelace,ou=people,dc=example,dc=com", COMM_DIR_SCOPE_BASE, "(objectClass=*)", "", 0},
      {"dc=example,dc=com", COMM_DIR_SCOPE_CHILDREN, "(cn=*a*)", "1.1", 0},
  };
  const UINT operation = open_reader();
  for (const Search& spec : searches) {
    SCOPED_TRACE(std::string(spec.filter) + " " + spec.attributes);
    ASSERT_EQ(search(operation, spec), 0);
    RETCODE end = 0;
    std::vector<Attributes> entries = walk(operation, &end);
    EXPECT_EQ(end, COMM_DIR_SVC_NO_MORE_ENTRIES);
    EXPECT_FALSE(entries.empty());
    EXPECT_EQ(entries, ldapsearch(spec));
  }
}

TEST_F(ServiceLdap, PositionsAndLifetimes) {
  const UINT operation = open_reader();
  const UINT other = open_reader();
  EXPECT_NE(operation, other);
  // Before any search or entry.
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), COMM_DIR_SVC_NO_SEARCH);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, operation).result(), COMM_DIR_SVC_NO_ENTRY);

  const Search people{kPeople, COMM_DIR_SCOPE_SUB, "(uid=*)", "uid", 0};
  ASSERT_EQ(search(operation, people), 0);
  ASSERT_EQ(search(other, people), 0);
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), 0);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, operation).result(), COMM_DIR_SVC_NO_ATTRIBUTE_WALK);
  const Attributes first = read_entry(operation);
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_NEXT_ENTRY, operation).result(), 0);
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_NEXT_ENTRY, operation).result(), 0);
  EXPECT_NE(read_entry(operation), first);
  // get_first_entry goes back to the first entry; the other operation's walk is its own.
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), 0);
  EXPECT_EQ(read_entry(operation), first);
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, other).result(), 0);
  EXPECT_EQ(read_entry(other), first);

  EXPECT_EQ(on(COMM_DIR_FUNC_FREE_MSG, operation).result(), 0);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_NEXT_ENTRY, operation).result(), COMM_DIR_SVC_NO_SEARCH);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, operation).result(), COMM_DIR_SVC_NO_ENTRY);
  ASSERT_EQ(search(operation, people), 0);  // the connection outlives free_msg

  EXPECT_EQ(on(COMM_DIR_FUNC_END_OPERATION, operation).result(), 0);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_NEXT_ENTRY, operation).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
  EXPECT_EQ(on(COMM_DIR_FUNC_END_OPERATION, operation).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_NEXT_ENTRY, other).result(), 0);
}

// Requests sent one after the other without waiting: the daemon answers
// those that need no LDAP round trip at once, but never ahead of an earlier
// request of the same operation, so each sees the state its predecessors left.
TEST_F(ServiceLdap, RequestsSentAtOnceAreServedInTheirOrder) {
  const UINT operation = open_reader();
  COMM_DIR_SEARCH_REQUEST search{};
  std::strcpy(search.condition.base_dn, kPeople);
  search.condition.scope = COMM_DIR_SCOPE_SUB;
  std::strcpy(search.condition.filter, "(|(uid=aturing)(uid=alovelace))");
  std::strcpy(search.condition.attributes, "uid");
  search.condition.operation_id = operation;
  COMM_DIR_VALUE_REQUEST value{};
  value.operation_id = operation;
  std::strcpy(value.attribute, "uid");
  struct Step {
    UINT function_id;
    const void* record;
    std::size_t size;
    RETCODE result;
    UINT word;
  };
  const UINT present = COMM_DIR_REPLY_WORD_PRESENT;
  const std::vector<Step> steps = {
      {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, &value, sizeof(COMM_DIR_OPERATION_REQUEST), COMM_DIR_SVC_NO_ENTRY, 0},
      {COMM_DIR_FUNC_SEARCH, &search, sizeof search, 0, 0},
      {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, &value, sizeof(COMM_DIR_OPERATION_REQUEST), COMM_DIR_SVC_NO_ENTRY, 0},
      {COMM_DIR_FUNC_GET_FIRST_ENTRY, &value, sizeof(COMM_DIR_OPERATION_REQUEST), 0, 0},
      {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, &value, sizeof(COMM_DIR_OPERATION_REQUEST), 0, present},
      {COMM_DIR_FUNC_GET_VALUE_STRING_CNT, &value, sizeof(COMM_DIR_VALUE_COUNT_REQUEST), 0, 1},
      {COMM_DIR_FUNC_GET_VALUE_STRING_ONE, &value, sizeof value, 0, present},
      {COMM_DIR_FUNC_GET_NEXT_ENTRY, &value, sizeof(COMM_DIR_OPERATION_REQUEST), 0, 0},
      {COMM_DIR_FUNC_GET_VALUE_STRING_ONE, &value, sizeof value, 0, present},
      {COMM_DIR_FUNC_GET_NEXT_ENTRY, &value, sizeof(COMM_DIR_OPERATION_REQUEST), COMM_DIR_SVC_NO_MORE_ENTRIES, 0},
      {COMM_DIR_FUNC_GET_VALUE_STRING_CNT, &value, sizeof(COMM_DIR_VALUE_COUNT_REQUEST), COMM_DIR_SVC_NO_ENTRY, 0},
      {COMM_DIR_FUNC_END_OPERATION, &value, sizeof(COMM_DIR_OPERATION_REQUEST), 0, 0},
      {COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, &value, sizeof(COMM_DIR_OPERATION_REQUEST),
       COMM_DIR_SVC_UNKNOWN_OPERATION, 0},
  };
  const UINT first_tag = next_tag_.fetch_add(static_cast<UINT>(steps.size()));
  for (std::size_t i = 0; i < steps.size(); ++i)
    send_raw(request_form(steps[i].function_id, first_tag + static_cast<UINT>(i), steps[i].record, steps[i].size));
  std::vector<std::string> uids;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const arrived reply = expect_reply(first_tag + static_cast<UINT>(i));
    EXPECT_EQ(reply.result(), steps[i].result) << "step " << i;
    EXPECT_EQ(reply.word(), steps[i].word) << "step " << i;
    if (steps[i].function_id == COMM_DIR_FUNC_GET_VALUE_STRING_ONE) uids.emplace_back(reply.data());
  }
  // Each value came from the entry current when it was asked for.
  std::sort(uids.begin(), uids.end());
  EXPECT_EQ(uids, (std::vector<std::string>{"alovelace", "aturing"}));
}

TEST_F(ServiceLdap, FailuresCarryTheirCodes) {
  struct Row {
    const char* what;
    std::function<RETCODE()> run;
    RETCODE code;
  };
  const UINT operation = open_reader();
  RETCODE code = 0;
  const Row rows[] = {
      {"wrong password", [&] { open(SlapdFixture::kReaderDn, "wrong", &code); return code; },
       comm_dir_code_from_ldap(49)},
      {"bind DN of nobody", [&] { open("uid=nobody,dc=example,dc=com", "x", &code); return code; },
       comm_dir_code_from_ldap(49)},
      {"no such object", [&] { return search(operation, {"ou=nowhere,dc=example,dc=com", 2, "(cn=*)", "", 0}); },
       comm_dir_code_from_ldap(32)},
      {"bad filter", [&] { return search(operation, {kPeople, 2, "(cn=", "", 0}); }, comm_dir_code_from_ldap(-7)},
      {"size limit at the end of the walk",
       [&] {
         EXPECT_EQ(search(operation, {kPeople, 2, "(uid=*)", "uid", 2}), 0);
         RETCODE end = 0;
         EXPECT_EQ(walk(operation, &end).size(), 2u);
         return end;
       },
       comm_dir_code_from_ldap(4)},
      {"length past the last value",
       [&] {
         EXPECT_EQ(search(operation, {kPeople, 2, "(uid=aturing)", "uid", 0}), 0);
         EXPECT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), 0);
         return value_request(COMM_DIR_FUNC_GET_VALUE_STRING_LEN, operation, "uid", 1).result();
       },
       COMM_DIR_SVC_NO_SUCH_VALUE},
      {"value past the last value: no value, no failure",
       [&] {
         arrived reply = value_request(COMM_DIR_FUNC_GET_VALUE_BINARY_ONE, operation, "uid", 1);
         EXPECT_NE(reply.word(), COMM_DIR_REPLY_WORD_PRESENT);
         return reply.result();
       },
       0},
      {"an attribute the entry lacks has no values",
       [&] {
         arrived reply = value_request(COMM_DIR_FUNC_GET_VALUE_STRING_CNT, operation, "street", 0);
         EXPECT_EQ(reply.word(), 0u);
         return reply.result();
       },
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.run(), row.code);
  }
}

TEST_F(ServiceLdap, ValuesUpToWhatOneReplyCarriesAndNoLonger) {
  std::string ldif;
  for (int length : {3000, 47207, 47208, 47209}) {
    ldif += "dn: cn=v" + std::to_string(length) + ",dc=example,dc=com\nobjectClass: device\ncn: v" +
            std::to_string(length) + "\ndescription: " + std::string(length, 'x') + "\n\n";
  }
  ASSERT_TRUE(slapd_->add(ldif)) << slapd_->error();
  const UINT operation = open_reader();
  struct Row {
    int length;
    RETCODE as_string;
    RETCODE as_binary;
  };
  const Row rows[] = {
      {47207, 0, 0},
      {47208, COMM_DIR_SVC_VALUE_TOO_LARGE, 0},
      {47209, COMM_DIR_SVC_VALUE_TOO_LARGE, COMM_DIR_SVC_VALUE_TOO_LARGE},
  };
  // Each reply is zero behind what it carries, also right after a reply
  // that filled the payload (the daemon reuses its envelopes).
  const auto zero_behind = [](const arrived& reply, std::size_t carried) {
    const std::size_t from = COMM_DIR_REPLY_DATA_OFFSET + carried;
    if (reply.payload.size() < from) return false;
    return std::all_of(reply.payload.begin() + static_cast<std::ptrdiff_t>(from), reply.payload.end(),
                       [](char c) { return c == 0; });
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    const std::string base = "cn=v" + std::to_string(row.length) + ",dc=example,dc=com";
    ASSERT_EQ(search(operation, {base.c_str(), COMM_DIR_SCOPE_BASE, "(objectClass=*)", "description", 0}), 0);
    ASSERT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), 0);
    for (UINT id : {COMM_DIR_FUNC_GET_VALUE_STRING_LEN, COMM_DIR_FUNC_GET_VALUE_STRING_ONE}) {
      arrived reply = value_request(id, operation, "description", 0);
      EXPECT_EQ(reply.result(), row.as_string);
      if (row.as_string == 0 && id == COMM_DIR_FUNC_GET_VALUE_STRING_ONE) {
        EXPECT_EQ(std::string(reply.data()), std::string(row.length, 'x'));
        EXPECT_TRUE(zero_behind(reply, static_cast<std::size_t>(row.length)));
      }
      if (row.as_string != 0) {
        EXPECT_TRUE(zero_behind(reply, 0)) << "refused, yet data in the reply";
      }
    }
    for (UINT id : {COMM_DIR_FUNC_GET_VALUE_BINARY_LEN, COMM_DIR_FUNC_GET_VALUE_BINARY_ONE}) {
      arrived reply = value_request(id, operation, "description", 0);
      EXPECT_EQ(reply.result(), row.as_binary);
      if (row.as_binary == 0 && id == COMM_DIR_FUNC_GET_VALUE_BINARY_ONE) {
        EXPECT_EQ(std::string(reply.data() + 4, row.length), std::string(row.length, 'x'));
        EXPECT_TRUE(zero_behind(reply, 4 + static_cast<std::size_t>(row.length)));
      }
    }
  }
  // A shorter value after the longest ones: nothing of them stays behind it.
  const std::string shorter(3000, 'x');
  ASSERT_EQ(search(operation, {"cn=v3000,dc=example,dc=com", COMM_DIR_SCOPE_BASE, "(objectClass=*)", "description", 0}),
            0);
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), 0);
  arrived as_string = value_request(COMM_DIR_FUNC_GET_VALUE_STRING_ONE, operation, "description", 0);
  ASSERT_EQ(as_string.result(), 0);
  EXPECT_EQ(std::string(as_string.data()), shorter);
  EXPECT_TRUE(zero_behind(as_string, shorter.size()));
  arrived as_binary = value_request(COMM_DIR_FUNC_GET_VALUE_BINARY_ONE, operation, "description", 0);
  ASSERT_EQ(as_binary.result(), 0);
  EXPECT_EQ(std::string(as_binary.data() + 4, shorter.size()), shorter);
  EXPECT_TRUE(zero_behind(as_binary, 4 + shorter.size()));
}

// The words of a request that count: a value index and a size limit, at
// their boundaries, against an entry with one value.
TEST_F(ServiceLdap, IndexAndSizeLimitWordsAtTheirBoundaries) {
  const UINT operation = open_reader();
  ASSERT_EQ(search(operation, {kPeople, COMM_DIR_SCOPE_SUB, "(uid=aturing)", "uid", 0}), 0);
  ASSERT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, operation).result(), 0);
  for (UINT index : {1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(index);
    for (UINT id : {COMM_DIR_FUNC_GET_VALUE_STRING_LEN, COMM_DIR_FUNC_GET_VALUE_BINARY_LEN}) {
      EXPECT_EQ(value_request(id, operation, "uid", index).result(), COMM_DIR_SVC_NO_SUCH_VALUE);
    }
    for (UINT id : {COMM_DIR_FUNC_GET_VALUE_STRING_ONE, COMM_DIR_FUNC_GET_VALUE_BINARY_ONE}) {
      arrived reply = value_request(id, operation, "uid", index);
      EXPECT_EQ(reply.result(), 0);
      EXPECT_NE(reply.word(), COMM_DIR_REPLY_WORD_PRESENT);
    }
  }
  EXPECT_EQ(values(operation, "uid"), std::vector<std::string>{"aturing"});
  // A size limit of 0 is none; any other word limits the walk, never wraps
  // into a negative or unlimited one.
  for (UINT limit : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(limit);
    ASSERT_EQ(search(operation, {kPeople, COMM_DIR_SCOPE_SUB, "(uid=*)", "uid", limit}), 0);
    RETCODE end = 0;
    const std::size_t entries = walk(operation, &end).size();
    if (limit == 1) {
      EXPECT_EQ(entries, 1u);
      EXPECT_EQ(end, comm_dir_code_from_ldap(4));
    } else {
      EXPECT_GT(entries, 1u);
      EXPECT_EQ(end, COMM_DIR_SVC_NO_MORE_ENTRIES);
    }
  }
}

class ServiceLdapIdle : public ServiceLdap {
  std::vector<std::string> daemon_args() const override { return {"--idle-timeout=1", "--reclaim-interval=250"}; }
};

TEST_F(ServiceLdapIdle, IdleOperationsAreEndedAndBusyOnesKept) {
  const UINT busy = open_reader();
  const UINT idle = open_reader();
  const Search people{kPeople, COMM_DIR_SCOPE_SUB, "(uid=*)", "uid", 0};
  ASSERT_EQ(search(idle, people), 0);
  for (int i = 0; i < 8; ++i) {  // about 3 s of requests on one of them
    EXPECT_EQ(search(busy, people), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, idle).result(), COMM_DIR_SVC_UNKNOWN_OPERATION);
  EXPECT_EQ(on(COMM_DIR_FUNC_GET_FIRST_ENTRY, busy).result(), 0);
}

// Also run under ThreadSanitizer in CI (the suite's name says so), with the
// daemon built the same way.
class ServiceLdapConcurrency : public ServiceLdap {};

TEST_F(ServiceLdapConcurrency, OperationsEachWalkTheirOwnAtOnce) {
  const Search people{kPeople, COMM_DIR_SCOPE_SUB, "(objectClass=inetOrgPerson)", "uid cn mail", 0};
  const std::vector<Attributes> expected = ldapsearch(people);
  ASSERT_FALSE(expected.empty());
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      const UINT operation = open_reader();
      EXPECT_EQ(search(operation, people), 0);
      RETCODE end = 0;
      EXPECT_EQ(walk(operation, &end), expected);
      EXPECT_EQ(end, COMM_DIR_SVC_NO_MORE_ENTRIES);
      EXPECT_EQ(on(COMM_DIR_FUNC_END_OPERATION, operation).result(), 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace velmarosta
