// UTF-16 to UTF-8, written out by hand so that the result never depends on the host's locale.
#include "platform/text_conversion.h"

namespace {

// Decodes the code point at text[*index], advancing *index. Returns -1 for a lone surrogate.
long NextCodePoint(LPCWSTR text, size_t length, size_t* index) {
  char16_t unit = text[*index];
  *index += 1;
  if (unit < 0xD800 || unit > 0xDFFF) {
    return unit;
  }
  if (unit > 0xDBFF || *index >= length) {
    return -1;
  }
  char16_t low = text[*index];
  if (low < 0xDC00 || low > 0xDFFF) {
    return -1;
  }
  *index += 1;
  return 0x10000 + ((static_cast<long>(unit) - 0xD800) << 10) + (low - 0xDC00);
}

int Utf8Length(long codePoint) {
  if (codePoint < 0x80) return 1;
  if (codePoint < 0x800) return 2;
  if (codePoint < 0x10000) return 3;
  return 4;
}

void PutUtf8(long codePoint, char* out) {
  int length = Utf8Length(codePoint);
  if (length == 1) {
    out[0] = static_cast<char>(codePoint);
    return;
  }
  static const unsigned char kLeadMarks[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (int i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (codePoint & 0x3F));
    codePoint >>= 6;
  }
  out[0] = static_cast<char>(kLeadMarks[length] | codePoint);
}

}  // namespace

size_t WideLength(LPCWSTR text) {
  size_t length = 0;
  while (text[length] != 0) {
    ++length;
  }
  return length;
}

int WideCharToMultiByte(DWORD codePage, DWORD /*flags*/, LPCWSTR wideText, int wideLength,
                        char* narrowText, int narrowCapacity, const char* /*defaultChar*/,
                        BOOL* usedDefaultChar) {
  if (usedDefaultChar != nullptr) {
    *usedDefaultChar = FALSE;
  }
  if ((codePage != CP_ACP && codePage != CP_UTF8) || wideText == nullptr || wideLength < -1 ||
      narrowCapacity < 0) {
    return 0;
  }
  size_t length = wideLength == -1 ? WideLength(wideText) + 1 : static_cast<size_t>(wideLength);
  // First pass: validate and measure, so that nothing is written for text that cannot convert.
  size_t needed = 0;
  for (size_t index = 0; index < length;) {
    long codePoint = NextCodePoint(wideText, length, &index);
    if (codePoint < 0) {
      return 0;
    }
    needed += Utf8Length(codePoint);
  }
  if (needed > 0x7FFFFFFF) {
    return 0;
  }
  if (narrowCapacity == 0) {
    return static_cast<int>(needed);
  }
  if (needed > static_cast<size_t>(narrowCapacity)) {
    return 0;
  }
  char* out = narrowText;
  for (size_t index = 0; index < length;) {
    long codePoint = NextCodePoint(wideText, length, &index);
    PutUtf8(codePoint, out);
    out += Utf8Length(codePoint);
  }
  return static_cast<int>(needed);
}

bool WidePathToUtf8(LPCWSTR path, char* fileName, size_t capacity) {
  if (path == nullptr || path[0] == 0 || capacity == 0 || capacity > 0x7FFFFFFF) {
    return false;
  }
  return WideCharToMultiByte(CP_UTF8, 0, path, -1, fileName, static_cast<int>(capacity), nullptr,
                             nullptr) > 0;
}
