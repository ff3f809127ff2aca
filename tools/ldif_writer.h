// LDIF as `ldapsearch -LLL` writes it, so that the output of comm-dir can be
// compared byte for byte with ldapsearch's and fed to the same tools.
//
// What ldapsearch does, measured against OpenLDAP 2.5 (and kept here because
// RFC 2849 leaves it open):
//   - A line is "name: value", or "name:: base64" for a value that is not a
//     safe string, or "name:" alone for an empty value and for a name
//     without values (types only).
//   - Folding: the "name: " part is written whole; before each further
//     character, a line that already holds `wrap` characters is ended and
//     continued with a line that starts with one blank. The default width
//     is 78 (ldapsearch's "ldif-wrap=0" means the default too); 0 here
//     means no folding at all (ldapsearch's "ldif-wrap=no").
//   - A value is written as it stands only if its first byte is a printable
//     ASCII character other than blank, ':' and '<', its last byte is a
//     printable ASCII character other than blank, and every byte is
//     printable ASCII (blanks inside are fine). Everything else, and every
//     value of userPassword, is written in base64.
//   - Each entry ends with an empty line.
#ifndef COMMDIR_TOOLS_LDIF_WRITER_H_
#define COMMDIR_TOOLS_LDIF_WRITER_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace commdir_tools {

constexpr std::size_t kLdifDefaultWrap = 78;
constexpr std::size_t kLdifNoWrap = 0;
// Narrower widths leave no room for a character after the continuation
// blank (ldapsearch crashes on 1).
constexpr std::size_t kLdifMinimumWrap = 2;

// True when `value` may be written after "name: " as it stands.
bool ldif_safe_string(std::string_view value);

// True for the attributes whose values ldapsearch always writes in base64
// (userPassword, by name or OID, with or without options).
bool ldif_always_base64(std::string_view attribute);

// Standard base64 (RFC 4648) with padding, no line breaks.
std::string base64_encode(std::string_view bytes);

// Appends LDIF lines to a string. Not thread-safe; one writer per output.
class ldif_writer {
 public:
  // `wrap`: line width, or kLdifNoWrap. Widths below kLdifMinimumWrap (other
  // than kLdifNoWrap) are the caller's error; they are raised to the minimum.
  explicit ldif_writer(std::size_t wrap);

  // "dn: ..." line of an entry.
  void put_dn(std::string_view dn, std::string* out) const { put_value("dn", dn, out); }
  // One value of an attribute.
  void put_value(std::string_view attribute, std::string_view value, std::string* out) const;
  // An attribute name without values (types only).
  void put_name(std::string_view attribute, std::string* out) const;
  // The empty line that ends every entry.
  void end_entry(std::string* out) const { out->push_back('\n'); }

 private:
  // Appends `text` after a line that already holds `line_length`
  // characters, folding as described above, and ends the line.
  void append_folded(std::string_view text, std::size_t line_length, std::string* out) const;

  std::size_t wrap_;
};

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_LDIF_WRITER_H_
