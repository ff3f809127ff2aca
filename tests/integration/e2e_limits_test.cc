// The longest values that one reply can carry: 47,207 characters for a
// string value (it travels with its terminator), 47,208 bytes for a binary
// value. One more is refused with the daemon's own code, never cut.
#include <gtest/gtest.h>

#include "commdir/comm_dir_result_codes.h"
#include "integration/e2e_walk.h"

namespace commdir_testing {
namespace {

using velmarosta::COMM_DIR_SCOPE_BASE;
using velmarosta::COMM_DIR_SVC_VALUE_TOO_LARGE;

constexpr size_t kLongestString = 47207;
constexpr size_t kLongestBinary = 47208;

// A value whose every position differs from its neighbours' in a pattern
// that does not repeat within the length, so that a value shifted, cut or
// padded by one byte anywhere cannot compare equal.
std::string long_value(size_t length) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string value(length, ' ');
  for (size_t i = 0; i < length; ++i) value[i] = kDigits[(i * 7 + i / 36) % 36];
  return value;
}

std::string entry_dn(size_t length) { return "cn=long" + std::to_string(length) + ",dc=example,dc=com"; }

std::string entry_ldif(size_t length) {
  return "dn: " + entry_dn(length) + "\nobjectClass: organizationalRole\ncn: long" +
         std::to_string(length) + "\ndescription: " + long_value(length) + "\n\n";
}

class EndToEndLimitsTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (HasFatalFailure()) return;
    for (size_t length : {kLongestString, kLongestBinary, kLongestBinary + 1}) {
      ASSERT_TRUE(slapd_->add(entry_ldif(length))) << slapd_->error();
    }
  }

  // Opens an operation whose current entry is the one holding a value of
  // `length` and whose current attribute is its description.
  void open_at_description(size_t length, UINT& operation, CHAR*& attribute) {
    const auto connect = connect_record(slapd_->uri());
    const auto bind = bind_record(Identity::kReader);
    ASSERT_EQ(facade_->start_operation(connect, &bind, &operation), 0);
    timeval no_limit{0, 0};
    ASSERT_EQ(facade_->search(search_record({entry_dn(length), COMM_DIR_SCOPE_BASE, "", "description"}, operation),
                              0, no_limit),
              0);
    ASSERT_EQ(facade_->get_first_entry(operation), 0);
    ASSERT_EQ(facade_->get_first_attribute(operation, attribute), 0);
    ASSERT_STREQ(attribute, "description");
  }
};

struct LimitRow {
  size_t length;
  bool binary;
  RETCODE expected;
};

const LimitRow kLimitRows[] = {
    {kLongestString, false, 0},
    {kLongestString + 1, false, COMM_DIR_SVC_VALUE_TOO_LARGE},
    {kLongestBinary, true, 0},
    {kLongestBinary + 1, true, COMM_DIR_SVC_VALUE_TOO_LARGE},
};

TEST_F(EndToEndLimitsTest, LongestValuesGoThroughAndOneMoreIsRefused) {
  for (const LimitRow& row : kLimitRows) {
    SCOPED_TRACE(std::to_string(row.length) + (row.binary ? " bytes" : " characters"));
    UINT operation = 0;
    CHAR* attribute = nullptr;
    open_at_description(row.length, operation, attribute);
    UINT count = 0;
    std::string got;
    RETCODE rc;
    if (row.binary) {
      velmarosta::COMM_DIR_BERVAL** values = nullptr;
      rc = facade_->get_value_binary(operation, attribute, count, values);
      if (rc == 0 && count == 1) got.assign(values[0]->bv_val, values[0]->bv_len);
    } else {
      CHAR** values = nullptr;
      rc = facade_->get_value_string(operation, attribute, count, values);
      if (rc == 0 && count == 1) got = values[0];
    }
    EXPECT_EQ(rc, row.expected) << std::hex << rc;
    if (row.expected == 0) {
      EXPECT_EQ(count, 1u);
      EXPECT_TRUE(got == long_value(row.length)) << "value differs, " << got.size() << " bytes";
    }
    EXPECT_EQ(facade_->end_operation(operation), 0);
  }
}

// A refused value costs nothing else: the same operation still reads the
// value as binary (which has room for one byte more) and walks on.
TEST_F(EndToEndLimitsTest, RefusedStringLeavesTheOperationUsable) {
  UINT operation = 0;
  CHAR* attribute = nullptr;
  open_at_description(kLongestString + 1, operation, attribute);
  UINT count = 0;
  CHAR** strings = nullptr;
  ASSERT_EQ(facade_->get_value_string(operation, attribute, count, strings),
            COMM_DIR_SVC_VALUE_TOO_LARGE);
  velmarosta::COMM_DIR_BERVAL** values = nullptr;
  ASSERT_EQ(facade_->get_value_binary(operation, attribute, count, values), 0);
  ASSERT_EQ(count, 1u);
  EXPECT_TRUE(std::string(values[0]->bv_val, values[0]->bv_len) == long_value(kLongestString + 1));
  CHAR* next = nullptr;
  EXPECT_EQ(facade_->get_next_attribute(operation, next), 0);
  EXPECT_EQ(next, nullptr);
  EXPECT_EQ(facade_->end_operation(operation), 0);
}

}  // namespace
}  // namespace commdir_testing
