// comm-dir's LDIF against what ldapsearch -LLL (OpenLDAP 2.5) printed for
// the same values.
#include "tools/ldif_writer.h"

#include <gtest/gtest.h>

namespace commdir_tools {
namespace {

// Each expected text was taken from ldapsearch's output, or from libldap's
// ldif_put_wrap that it prints with, for values that slapd does not hold.
// What the integration test compares with ldapsearch itself (leading and
// trailing blanks, ':' and '<' first, non-ASCII, passwords, binary values,
// folding at 78 and 20 and none) has no row here.
TEST(LdifWriterTest, WritesValuesAsLdapsearchDoes) {
  const struct Case {
    std::size_t wrap;
    std::string attribute, value, expected;
  } cases[] = {
      {78, "title", "tab\there", "title:: dGFiCWhlcmU=\n"},
      {78, "l",
       "a\x7f"
       "b",
       "l:: YX9i\n"},
      {78, "userpassword;binary", "x", "userpassword;binary:: eA==\n"},
      {78, "2.5.4.35", "x", "2.5.4.35:: eA==\n"},
      {78, "userPassword", "", "userPassword:\n"},
      {78, "photo", std::string("\0\x01\xff\x02", 4), "photo:: AAH/Ag==\n"},
      // A name wider than the line is written whole; the value starts on the next line.
      {3, "dn", "uid=w", "dn: \n ui\n d=\n w\n"},
      // Base64 text folds the same way, counted after "name:: ".
      {10, "cn", " ab", "cn:: IGFi\n"},
      {10, "cn", " abcd", "cn:: IGFiY\n 2Q=\n"},
      {1, "dn", "ui", "dn: \n u\n i\n"},  // widths below the minimum act as the minimum
  };
  for (const Case& c : cases) {
    std::string out;
    ldif_writer(c.wrap).put_value(c.attribute, c.value, &out);
    EXPECT_EQ(out, c.expected) << c.wrap << " " << c.value;
  }
  const ldif_writer writer(kLdifDefaultWrap);
  std::string out;
  writer.put_dn("uid=j\xc3\xbcrgen,ou=people,dc=example,dc=com", &out);
  writer.put_value("sn", "M", &out);
  writer.put_name("cn", &out);
  writer.end_entry(&out);
  EXPECT_EQ(out, "dn:: dWlkPWrDvHJnZW4sb3U9cGVvcGxlLGRjPWV4YW1wbGUsZGM9Y29t\nsn: M\ncn:\n\n");
}

}  // namespace
}  // namespace commdir_tools
