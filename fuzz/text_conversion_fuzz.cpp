// Fuzzes the UTF-16 to UTF-8 conversions with arbitrary code units and capacities: the result
// must equal the reference codec's, a failure must write nothing, nothing may be written past
// the capacity, and the UTF-8 produced must decode back to the very units given.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "platform/text_conversion.h"

namespace {

constexpr unsigned char kCanary = 0xA5;

// Output space of exactly capacity bytes (at least one, so a pointer always exists), filled
// with the canary.
std::unique_ptr<char[]> Canaried(size_t capacity) {
  std::unique_ptr<char[]> buffer(new char[capacity == 0 ? 1 : capacity]);
  memset(buffer.get(), kCanary, capacity == 0 ? 1 : capacity);
  return buffer;
}

bool Untouched(const char* buffer, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(buffer[i]) != kCanary) return false;
  }
  return true;
}

// WideCharToMultiByte over units (given with their length, NULs included) into capacity bytes.
void CheckCountedConversion(const std::u16string& units, int capacity, DWORD codePage) {
  std::string expected;
  bool valid = ReferenceUtf8(units, &expected);
  ExactWide wide(units);
  std::unique_ptr<char[]> out = Canaried(static_cast<size_t>(capacity));
  BOOL usedDefault = TRUE;
  int result = WideCharToMultiByte(codePage, 0, wide.get(), static_cast<int>(units.size()), out.get(), capacity,
                                   nullptr, &usedDefault);
  FUZZ_CHECK(usedDefault == FALSE);
  if (codePage != CP_UTF8 && codePage != CP_ACP) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(Untouched(out.get(), capacity == 0 ? 1 : capacity));
    return;
  }
  if (!valid) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(Untouched(out.get(), capacity == 0 ? 1 : capacity));
    return;
  }
  if (capacity == 0) {
    FUZZ_CHECK(result == static_cast<int>(expected.size()));
    FUZZ_CHECK(Untouched(out.get(), 1));
    return;
  }
  if (expected.size() > static_cast<size_t>(capacity)) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(Untouched(out.get(), capacity));
    return;
  }
  FUZZ_CHECK(result == static_cast<int>(expected.size()));
  FUZZ_CHECK(memcmp(out.get(), expected.data(), expected.size()) == 0);
  FUZZ_CHECK(Untouched(out.get() + expected.size(), capacity - expected.size()));
  std::u16string back;
  FUZZ_CHECK(ReferenceUtf8ToUtf16(std::string(out.get(), expected.size()), &back));
  FUZZ_CHECK(back == units);
}

// The NUL-terminated forms: length -1 converts up to and including the NUL; the path form
// refuses an empty path and one that does not fit.
void CheckTerminatedConversions(const std::u16string& text, int capacity) {
  std::string expected;
  bool valid = ReferenceUtf8(text, &expected);
  ExactWide wide(text);
  std::unique_ptr<char[]> out = Canaried(static_cast<size_t>(capacity));
  int result = WideCharToMultiByte(CP_UTF8, 0, wide.get(), -1, out.get(), capacity, nullptr, nullptr);
  bool fits = valid && (capacity == 0 || expected.size() + 1 <= static_cast<size_t>(capacity));
  FUZZ_CHECK(result == (fits ? static_cast<int>(expected.size()) + 1 : 0));
  if (fits && capacity > 0) {
    FUZZ_CHECK(memcmp(out.get(), expected.c_str(), expected.size() + 1) == 0);
  }
  FUZZ_CHECK(WideLength(wide.get()) == text.size());

  std::unique_ptr<char[]> path = Canaried(static_cast<size_t>(capacity));
  bool converted = WidePathToUtf8(wide.get(), path.get(), static_cast<size_t>(capacity));
  bool pathFits = valid && !text.empty() && expected.size() + 1 <= static_cast<size_t>(capacity);
  FUZZ_CHECK(converted == pathFits);
  if (converted) {
    FUZZ_CHECK(memcmp(path.get(), expected.c_str(), expected.size() + 1) == 0);
    FUZZ_CHECK(Untouched(path.get() + expected.size() + 1, capacity - expected.size() - 1));
  } else {
    FUZZ_CHECK(Untouched(path.get(), capacity == 0 ? 1 : capacity));
  }
}

}  // namespace

// Input: a code-page choice, a capacity (0 to 4095), then the text as UTF-16 units.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  uint8_t choice = in.Byte();
  int capacity = in.Word() & 0x0FFF;
  std::u16string units = in.RestAsUnits();
  static const DWORD kCodePages[4] = {CP_UTF8, CP_ACP, 1252, 65000};
  CheckCountedConversion(units, capacity, kCodePages[choice & 3]);
  CheckTerminatedConversions(units.substr(0, units.find(u'\0')), capacity);
  return 0;
}
