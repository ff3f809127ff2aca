#include "platform/posix/commdir_posix_text.h"

namespace commdir_posix {
namespace {

// True when text[i] and text[i + 1] are a C1 control character (U+0080 to
// U+009F) in UTF-8, which some terminals obey as they obey ESC.
bool IsC1Control(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
         static_cast<unsigned char>(text[i + 1]) >= 0x80 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

void AppendHexEscape(std::string& out, char byte) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char c = static_cast<unsigned char>(byte);
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

}  // namespace

void AppendVisible(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(out, text[i]);
    } else if (IsC1Control(text, i)) {
      AppendHexEscape(out, text[i]);
      AppendHexEscape(out, text[++i]);
    } else {
      out += text[i];
    }
  }
}

std::string Visible(std::string_view text) {
  std::string out;
  AppendVisible(out, text);
  return out;
}

}  // namespace commdir_posix
