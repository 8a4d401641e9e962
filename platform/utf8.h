// UTF-8 as the terminal rule, the progress line, the archive, the JSON lines
// and the patterns read names: a name is bytes, and only where they are
// well-formed UTF-8 are they characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at
// s[at], with its code point in code; 0 when none starts there (a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
inline size_t Utf8Sequence(std::string_view s, size_t at, uint32_t& code) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    code = code << 6 | (next & 0x3F);
  }
  return length;
}

inline bool IsUtf8(std::string_view s) {
  uint32_t code;
  for (size_t at = 0; at < s.size();) {
    if (static_cast<uint8_t>(s[at]) < 0x80) {
      ++at;
      continue;
    }
    const size_t length = Utf8Sequence(s, at, code);
    if (length == 0) return false;
    at += length;
  }
  return true;
}
