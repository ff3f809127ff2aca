#include "tools/ldif_writer.h"

#include <strings.h>

namespace commdir_tools {

namespace {

bool printable_ascii(unsigned char byte) { return byte >= 0x20 && byte <= 0x7e; }

// Printable and not blank: what may start and end a plain value.
bool graphic_ascii(unsigned char byte) { return byte > 0x20 && byte <= 0x7e; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool ldif_safe_string(std::string_view value) {
  if (value.empty()) return true;
  const auto first = static_cast<unsigned char>(value.front());
  const auto last = static_cast<unsigned char>(value.back());
  if (!graphic_ascii(first) || first == ':' || first == '<' || !graphic_ascii(last)) return false;
  for (char c : value) {
    if (!printable_ascii(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool ldif_always_base64(std::string_view attribute) {
  // Options ("userPassword;binary") do not change the attribute type.
  const std::string_view type = attribute.substr(0, attribute.find(';'));
  return equals_ignoring_case(type, "userPassword") || type == "2.5.4.35";
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; bytes.size() - i >= 3; i += 3) {
    const unsigned long group = (static_cast<unsigned char>(bytes[i]) << 16) |
                                (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                                static_cast<unsigned char>(bytes[i + 2]);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += kAlphabet[(group >> 6) & 63];
    text += kAlphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned long group = static_cast<unsigned long>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) group |= static_cast<unsigned long>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

ldif_writer::ldif_writer(std::size_t wrap)
    : wrap_(wrap == kLdifNoWrap || wrap >= kLdifMinimumWrap ? wrap : kLdifMinimumWrap) {}

void ldif_writer::put_value(std::string_view attribute, std::string_view value, std::string* out) const {
  if (value.empty()) {
    put_name(attribute, out);
    return;
  }
  out->append(attribute);
  if (ldif_safe_string(value) && !ldif_always_base64(attribute)) {
    out->append(": ");
    append_folded(value, attribute.size() + 2, out);
    return;
  }
  out->append(":: ");
  append_folded(base64_encode(value), attribute.size() + 3, out);
}

void ldif_writer::put_name(std::string_view attribute, std::string* out) const {
  out->append(attribute);
  out->append(":\n");
}

void ldif_writer::append_folded(std::string_view text, std::size_t line_length, std::string* out) const {
  for (char c : text) {
    if (wrap_ != kLdifNoWrap && line_length >= wrap_) {
      out->append("\n ");
      line_length = 1;
    }
    out->push_back(c);
    ++line_length;
  }
  out->push_back('\n');
}

}  // namespace commdir_tools
