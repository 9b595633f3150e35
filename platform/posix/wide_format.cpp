// A small wide formatted print over UTF-16 buffers. Only the conversions the module's formats
// use are known; anything else is refused rather than guessed at. A plain %s is refused too:
// in a wide format it names a narrow string, as the C and Windows runtimes read it.
#include "platform/wide_format.h"

#include <cstdarg>

namespace {

constexpr int kMaxWidth = 9999;  // a wider field is refused, so the width cannot overflow

struct WideWriter {
  WCHAR* buffer;
  size_t count;    // capacity in code units, including the NUL
  size_t written;  // code units written so far
  bool overflow;

  void Put(WCHAR unit) {
    if (written + 1 >= count) {
      overflow = true;
      return;
    }
    buffer[written++] = unit;
  }
};

void PutDecimal(WideWriter* writer, long long value, int width, bool zeroPad) {
  char digits[24];
  int length = 0;
  bool negative = value < 0;
  unsigned long long magnitude =
      negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  do {
    digits[length++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int total = length + (negative ? 1 : 0);
  if (!zeroPad) {
    for (int i = total; i < width; ++i) writer->Put(u' ');
  }
  if (negative) writer->Put(u'-');
  if (zeroPad) {
    for (int i = total; i < width; ++i) writer->Put(u'0');
  }
  while (length > 0) writer->Put(static_cast<WCHAR>(digits[--length]));
}

}  // namespace

int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  if (buffer == nullptr || count == 0) {
    return -1;
  }
  WideWriter writer{buffer, count, 0, false};
  bool understood = true;
  va_list arguments;
  va_start(arguments, format);
  for (const WCHAR* at = format; *at != 0 && understood; ++at) {
    if (*at != u'%') {
      writer.Put(*at);
      continue;
    }
    ++at;
    bool zeroPad = false;
    int width = 0;
    if (*at == u'0') {
      zeroPad = true;
      ++at;
    }
    while (*at >= u'0' && *at <= u'9' && width <= kMaxWidth) {
      width = width * 10 + (*at - u'0');
      ++at;
    }
    if (width > kMaxWidth) {
      understood = false;
      break;
    }
    if (*at == u'd') {
      PutDecimal(&writer, va_arg(arguments, int), width, zeroPad);
    } else if (*at == u'l' && at[1] == u's' && width == 0 && !zeroPad) {
      ++at;
      for (const WCHAR* text = va_arg(arguments, const WCHAR*); *text != 0; ++text) {
        writer.Put(*text);
      }
    } else if (*at == u'%' && width == 0 && !zeroPad) {
      writer.Put(u'%');
    } else {
      understood = false;  // also a format that ends inside a conversion: never read past it
      break;
    }
  }
  va_end(arguments);
  if (!understood || writer.overflow) {
    buffer[0] = 0;
    return -1;
  }
  buffer[writer.written] = 0;
  return static_cast<int>(writer.written);
}
