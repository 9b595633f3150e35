// Fuzzes the wide formatted print: a format built from the input (conversions %ls and %d with
// the 0 flag and widths, %%, and anything else), four string and four integer arguments, and a
// buffer of any size. The result must equal a reference formatter's, the buffer must never be
// written past its count, and text that does not fit leaves an empty string.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/wide_format.h"

namespace {

constexpr int kArguments = 8;  // slots 0, 2, 4, 6 take strings; 1, 3, 5, 7 take integers

// Formats the way the module's print is documented to: a conversion is '%', an optional '0',
// decimal width digits (at most 9999) and one of d, ls (no flag or width) or % (no flag or
// width); anything else, a plain s among it, is not understood (false), as is a format that
// wants more arguments.
bool ReferenceFormat(const std::u16string& format, const std::u16string strings[4], const int32_t numbers[4],
                     std::u16string* out) {
  int slot = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') {
      out->push_back(format[i]);
      continue;
    }
    ++i;
    bool zero = i < format.size() && format[i] == u'0';
    if (zero) ++i;
    size_t widthStart = i;
    long long width = 0;
    while (i < format.size() && format[i] >= u'0' && format[i] <= u'9') {
      if (width < 1000000000) width = width * 10 + (format[i] - u'0');
      ++i;
    }
    if (width > 9999) return false;  // wider would overflow int; the print refuses it
    bool plain = !zero && i == widthStart;
    char16_t conversion = i < format.size() ? format[i] : 0;
    if (conversion == u'%' && plain) {
      out->push_back(u'%');
    } else if (conversion == u'l' && i + 1 < format.size() && format[i + 1] == u's' && plain &&
               slot % 2 == 0 && slot < kArguments) {
      ++i;
      *out += strings[slot++ / 2];
    } else if (conversion == u'd' && slot % 2 == 1 && slot < kArguments) {
      std::string digits = std::to_string(numbers[slot++ / 2]);
      bool negative = digits[0] == '-';
      std::string magnitude = negative ? digits.substr(1) : digits;
      long long pad = width - static_cast<long long>(digits.size());
      if (pad > 2048) pad = 2048;  // wider fits no count this target gives (at most 1023) either
      std::string text = zero ? (negative ? "-" : "") + std::string(pad > 0 ? pad : 0, '0') + magnitude
                              : std::string(pad > 0 ? pad : 0, ' ') + digits;
      out->append(text.begin(), text.end());
    } else {
      return false;
    }
  }
  return true;
}

// Gives each consuming conversion (s, ls or d) the kind its argument slot holds (ls for even
// slots, d for odd), so that the arguments passed always match. False when the format wants
// more than kArguments.
bool MatchConversionsToSlots(std::u16string* format) {
  int slot = 0;
  for (size_t i = 0; i < format->size(); ++i) {
    if ((*format)[i] != u'%') continue;
    ++i;
    while (i < format->size() && (*format)[i] >= u'0' && (*format)[i] <= u'9') {
      ++i;
    }
    if (i == format->size()) return true;
    size_t length = 0;
    if ((*format)[i] == u's' || (*format)[i] == u'd') {
      length = 1;
    } else if ((*format)[i] == u'l' && i + 1 < format->size() && (*format)[i + 1] == u's') {
      length = 2;
    }
    if (length == 0) continue;
    if (slot == kArguments) return false;
    std::u16string kind = slot++ % 2 == 0 ? u"ls" : u"d";
    format->replace(i, length, kind);
    i += kind.size() - 1;
  }
  return true;
}

}  // namespace

// Input: the count (0 to 1023), four integers, then UTF-16 text split at NULs into the format
// and four string arguments.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  size_t count = in.Word() & 0x3FF;
  int32_t numbers[4];
  for (int32_t& number : numbers) number = static_cast<int32_t>(in.Dword());
  std::vector<std::u16string> pieces = SplitAtNul(in.RestAsUnits(), 5);
  std::u16string format = pieces[0];
  if (!MatchConversionsToSlots(&format)) return 0;
  const std::u16string strings[4] = {pieces[1], pieces[2], pieces[3], pieces[4]};
  std::u16string expected;
  bool understood = ReferenceFormat(format, strings, numbers, &expected);

  ExactWide exactFormat(format);
  ExactWide s0(strings[0]), s1(strings[1]), s2(strings[2]), s3(strings[3]);
  std::unique_ptr<WCHAR[]> buffer(new WCHAR[count == 0 ? 1 : count]);
  for (size_t i = 0; i < (count == 0 ? 1 : count); ++i) buffer[i] = 0xBEEF;
  int result = swprintf(buffer.get(), count, exactFormat.get(), s0.get(), numbers[0],
                        s1.get(), numbers[1], s2.get(), numbers[2], s3.get(), numbers[3]);
  if (count == 0) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(buffer[0] == 0xBEEF);
    return 0;
  }
  if (!understood || expected.size() + 1 > count) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(buffer[0] == 0);
    return 0;
  }
  FUZZ_CHECK(result == static_cast<int>(expected.size()));
  FUZZ_CHECK(std::u16string(buffer.get(), expected.size()) == expected);
  FUZZ_CHECK(buffer[expected.size()] == 0);
  return 0;
}
