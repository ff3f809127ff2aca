// The LDIF writer against what ldapsearch -LLL (OpenLDAP 2.5) printed for the
// same values: every expected text below was taken from its output, or from
// libldap's ldif_put_wrap, which it prints with, for values that slapd does
// not hold.
#include "tools/ldif_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace commdir_tools {
namespace {

std::string value_line(std::size_t wrap, const std::string& attribute, const std::string& value) {
  std::string out;
  ldif_writer(wrap).put_value(attribute, value, &out);
  return out;
}

TEST(LdifWriterTest, ChoosesBase64AsLdapsearchDoes) {
  struct Case {
    std::string attribute;
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {"cn", "Ada Lovelace", "cn: Ada Lovelace\n"},
      {"st", "mid:dle <ok> x", "st: mid:dle <ok> x\n"},
      {"description", "-dash", "description: -dash\n"},
      {"st", "#hash", "st: #hash\n"},
      {"cn", " leading space", "cn:: IGxlYWRpbmcgc3BhY2U=\n"},
      {"description", "trailing space ", "description:: dHJhaWxpbmcgc3BhY2Ug\n"},
      {"title", ":colon", "title:: OmNvbG9u\n"},
      {"l", "<less", "l:: PGxlc3M=\n"},
      {"title", "tab\there", "title:: dGFiCWhlcmU=\n"},
      {"l", "a\x7f" "b", "l:: YX9i\n"},
      {"description", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
       "description:: w6nDqcOpw6nDqcOpw6nDqcOpw6k=\n"},
      {"uid", "j\xc3\xbcrgen", "uid:: asO8cmdlbg==\n"},
      {"userPassword", "reader-secret", "userPassword:: cmVhZGVyLXNlY3JldA==\n"},
      {"userpassword;binary", "x", "userpassword;binary:: eA==\n"},
      {"2.5.4.35", "x", "2.5.4.35:: eA==\n"},
      {"audio", "", "audio:\n"},
      {"userPassword", "", "userPassword:\n"},
      {"photo", std::string("\0\x01\xff", 3), "photo:: AAH/\n"},
      {"cn", "line\nbreak", "cn:: bGluZQpicmVhaw==\n"},
      {"cn", "cr\r", "cn:: Y3IN\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(value_line(kLdifDefaultWrap, c.attribute, c.value), c.expected) << c.attribute << "=" << c.value;
  }
}

TEST(LdifWriterTest, FoldsLinesAtTheWidth) {
  struct Case {
    std::size_t wrap;
    std::string attribute;
    std::string value;
    std::string expected;
  };
  const std::string a74(74, 'a');
  const Case cases[] = {
      // The first line holds 78 characters, continuation lines a blank and 77.
      {kLdifDefaultWrap, "cn", a74, "cn: " + a74 + "\n"},
      {kLdifDefaultWrap, "cn", a74 + "a", "cn: " + a74 + "\n a\n"},
      {kLdifDefaultWrap, "cn", std::string(200, 'x'),
       "cn: " + std::string(74, 'x') + "\n " + std::string(77, 'x') + "\n " + std::string(49, 'x') + "\n"},
      {10, "dn", "uid=w60,ou=people,dc=example,dc=com", "dn: uid=w6\n 0,ou=peop\n le,dc=exa\n mple,dc=c\n om\n"},
      // A name wider than the line is written whole; the value starts on the next line.
      {2, "dn", "uid", "dn: \n u\n i\n d\n"},
      {3, "dn", "uid=w", "dn: \n ui\n d=\n w\n"},
      {kLdifNoWrap, "cn", std::string(200, 'x'), "cn: " + std::string(200, 'x') + "\n"},
      // Base64 text folds the same way, counted after "name:: ".
      {10, "cn", " ab", "cn:: IGFi\n"},
      {10, "cn", " abcd", "cn:: IGFiY\n 2Q=\n"},
      // Widths below the minimum act as the minimum.
      {1, "dn", "ui", "dn: \n u\n i\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(value_line(c.wrap, c.attribute, c.value), c.expected) << "wrap " << c.wrap << " " << c.value;
  }
}

TEST(LdifWriterTest, WritesWholeEntries) {
  const ldif_writer writer(kLdifDefaultWrap);
  std::string out;
  writer.put_dn("uid=j\xc3\xbcrgen,ou=people,dc=example,dc=com", &out);
  writer.put_value("sn", "M", &out);
  writer.put_name("cn", &out);
  writer.end_entry(&out);
  writer.put_dn("ou=system,dc=example,dc=com", &out);
  writer.end_entry(&out);
  EXPECT_EQ(out,
            "dn:: dWlkPWrDvHJnZW4sb3U9cGVvcGxlLGRjPWV4YW1wbGUsZGM9Y29t\n"
            "sn: M\n"
            "cn:\n"
            "\n"
            "dn: ou=system,dc=example,dc=com\n"
            "\n");
}

}  // namespace
}  // namespace commdir_tools
