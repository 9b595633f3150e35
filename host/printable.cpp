// Escaping of service text for the terminal: one pass over the bytes, decoding UTF-8 only far
// enough to tell a C1 control (U+0080 to U+009F) or a bidirectional control from a printable
// character.
#include "printable.h"

#include <cstdio>

namespace {

std::string Escape(const char* format, unsigned value) {
  char escaped[8];  // "\u009F" is 6 characters and a NUL
  std::snprintf(escaped, sizeof escaped, format, value);
  return escaped;
}

// The length of the well-formed UTF-8 sequence at text[at] (2 to 4), or 0 when there is none.
std::size_t SequenceLength(std::string_view text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = static_cast<unsigned char>(text[at + 1]);
  const bool overlong = (lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90);
  const bool beyond = (lead == 0xED && second >= 0xA0) || (lead == 0xF4 && second >= 0x90);  // surrogates, > U+10FFFF
  return overlong || beyond ? 0 : length;
}

// The code point of the well-formed sequence of length at text[at].
unsigned CodePoint(std::string_view text, std::size_t at, std::size_t length) {
  static const unsigned kLeadBits[] = {0, 0, 0x1F, 0x0F, 0x07};  // payload bits of a lead byte, by length
  unsigned point = static_cast<unsigned char>(text[at]) & kLeadBits[length];
  for (std::size_t k = 1; k < length; ++k) point = point << 6 | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  return point;
}

// Controls that a terminal does not show but that reorder what follows them on the line, so a
// reply could make its text read otherwise than it is: the C1 controls, and the bidirectional
// marks, embeddings, overrides and isolates (U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069).
bool IsHiddenControl(unsigned point) {
  return (point >= 0x80 && point <= 0x9F) || point == 0x061C || point == 0x200E || point == 0x200F ||
         (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(static_cast<char>(byte));
      ++at;
      continue;
    }
    const std::size_t length = byte < 0x80 ? 0 : SequenceLength(text, at);
    if (length == 0) {
      out += Escape("\\x%02X", byte);
      ++at;
      continue;
    }
    const unsigned point = CodePoint(text, at, length);
    if (IsHiddenControl(point)) {
      out += Escape("\\u%04X", point);
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}
