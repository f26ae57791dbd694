// Bytes as lowercase hexadecimal text, two digits a byte: the digest of the label MAC in a
// request, a signature in the flash record of the installed rule set.
#pragma once

#include <string>
#include <string_view>

inline std::string hex_text(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (const unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0f];
  }
  return out;
}
