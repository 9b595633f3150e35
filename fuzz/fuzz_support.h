// Shared by the fuzz targets: a reader that takes fields off the fuzzer's bytes, a reference
// UTF-16/UTF-8 codec written independently of the module's, and a check that aborts loudly.
#ifndef OMBRIVOICE_FUZZ_FUZZ_SUPPORT_H
#define OMBRIVOICE_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A property that must hold; a failure is a crash the fuzzer keeps as an artifact.
#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

// Fields taken from the front of the input; an exhausted input gives zeros.
class FuzzReader {
 public:
  FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t Dword() { return static_cast<uint32_t>(Word()) | (static_cast<uint32_t>(Word()) << 16); }
  // The rest as UTF-16 code units, little-endian (an odd last byte is dropped).
  std::u16string RestAsUnits() {
    std::u16string units;
    while (size_ - at_ >= 2) units.push_back(static_cast<char16_t>(Word()));
    at_ = size_;
    return units;
  }
  // The rest as bytes.
  std::string RestAsBytes() {
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Splits text at each NUL unit into at most count pieces (the last keeps any further NULs
// out: it ends at the next one); missing pieces are empty.
inline std::vector<std::u16string> SplitAtNul(const std::u16string& text, size_t count) {
  std::vector<std::u16string> pieces(count);
  size_t start = 0;
  for (size_t i = 0; i < count && start <= text.size(); ++i) {
    size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) end = text.size();
    pieces[i] = text.substr(start, end - start);
    start = end + 1;
  }
  return pieces;
}

// Code points of UTF-16 text; false when a surrogate has no partner.
inline bool ReferenceDecodeUtf16(const std::u16string& units, std::vector<char32_t>* points) {
  points->clear();
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t unit = units[i];
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (low) return false;
    if (!high) {
      points->push_back(unit);
      continue;
    }
    if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
    points->push_back(0x10000 + ((unit & 0x3FF) << 10) + (units[i + 1] & 0x3FF));
    ++i;
  }
  return true;
}

inline std::string ReferenceEncodeUtf8(const std::vector<char32_t>& points) {
  std::string out;
  for (char32_t point : points) {
    if (point <= 0x7F) {
      out += static_cast<char>(point);
    } else if (point <= 0x7FF) {
      out += static_cast<char>(0xC0 | (point >> 6));
      out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point <= 0xFFFF) {
      out += static_cast<char>(0xE0 | (point >> 12));
      out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (point >> 18));
      out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return out;
}

// UTF-8 of UTF-16 text, or false for a lone surrogate.
inline bool ReferenceUtf8(const std::u16string& units, std::string* utf8) {
  std::vector<char32_t> points;
  if (!ReferenceDecodeUtf16(units, &points)) return false;
  *utf8 = ReferenceEncodeUtf8(points);
  return true;
}

// Strict UTF-8 decoding (shortest forms only, no surrogates, at most U+10FFFF) back to UTF-16;
// false for anything else.
inline bool ReferenceUtf8ToUtf16(const std::string& bytes, std::u16string* units) {
  units->clear();
  for (size_t i = 0; i < bytes.size();) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 9;
    if (extra == 9 || i + extra >= bytes.size()) return false;
    char32_t point = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static const char32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    if (point >= 0x10000) {
      units->push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      units->push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      units->push_back(static_cast<char16_t>(point));
    }
    i += 1 + extra;
  }
  return true;
}

// A heap copy of text with its NUL and nothing more, so that any read past the NUL is caught.
class ExactWide {
 public:
  explicit ExactWide(const std::u16string& text) : units_(new char16_t[text.size() + 1]) {
    text.copy(units_, text.size());
    units_[text.size()] = 0;
  }
  ~ExactWide() { delete[] units_; }
  ExactWide(const ExactWide&) = delete;
  ExactWide& operator=(const ExactWide&) = delete;
  const char16_t* get() const { return units_; }

 private:
  char16_t* units_;
};

#endif
