// Text that leaves kiv as JSON (the fleet report) must be UTF-8, and a rule's keyword is
// whatever bytes the rule file held: every byte that is not part of a well-formed UTF-8
// character (a stray continuation byte, a cut or overlong sequence, a surrogate, a code point
// above U+10FFFF) becomes '?', one for one, so that the length stays and the rest is kept.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 character at text[at] (1 to 4), or 0 when there is none.
inline size_t utf8_char_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b = byte(at);
  if (b < 0x80) return 1;
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong form
    if (b == 0xED) high = 0x9F;  // no surrogate
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;   // no overlong form
    if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < n || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  return n;
}

// The text with every byte outside a well-formed UTF-8 character as '?'.
inline std::string utf8_or_question_marks(std::string_view text) {
  std::string out(text);
  for (size_t at = 0; at < text.size();) {
    const size_t n = utf8_char_length(text, at);
    if (n == 0)
      out[at++] = '?';
    else
      at += n;
  }
  return out;
}
