// Fuzzes the recognition request's text builders with arbitrary UTF-16 tokens and keys: the
// key check must agree with the 890-byte UTF-8 rule, each builder must succeed exactly when its
// text fits, what it builds must be the expected text in both forms, and a failure must leave
// empty text. The output arrays are heap arrays of exactly their declared sizes.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "transfer/request_text.h"

namespace {

const std::u16string kApiHost = u"" OMBRIVOICE_API_HOST;
const std::u16string kSiteHost = u"" OMBRIVOICE_SITE_HOST;

std::u16string ExpectedFilePartHead(const std::u16string& token) {
  return u"------" + token +
         u"\r\nContent-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\nContent-Type: audio/wav\r\n\r\n";
}

std::u16string ExpectedFormTail(const std::u16string& token, const std::u16string& key) {
  return u"\r\n------" + token + u"\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\n" + key +
         u"\r\n------" + token + u"--\r\n";
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string ExpectedHeaderBlock(int32_t bodyLength, const std::u16string& token) {
  return u"Host: " + kApiHost + u"\r\nConnection: keep-alive\r\nContent-Length: " + Wide(std::to_string(bodyLength)) +
         u"\r\nAccept: application/json, text/javascript, */*; q=0.01\r\nOrigin: https://" + kSiteHost +
         u"\r\nUser-Agent: Mozilla/5.0 (Windows NT 5.1) AppleWebKit/537.36 (KHTML, like Gecko) "
         u"Chrome/43.0.2357.124 Safari/537.36\r\nContent-Type: multipart/form-data; boundary=----" +
         token + u"\r\nReferer: https://" + kSiteHost +
         u"/developer/apis/recognizespeech\r\nAccept-Encoding: gzip, deflate\r\nAccept-Language: en-US,en;q=0.8\r\n";
}

// Whether a builder that made wide text (or failed) agrees with the expected text: it succeeds
// exactly when the text fits its wide array and its UTF-8 form (valid) fits the narrow one.
void CheckPart(bool built, const std::u16string& expected, size_t wideChars, const WCHAR* wide, const char* narrow) {
  std::string utf8;
  bool valid = ReferenceUtf8(expected, &utf8);
  bool fits = expected.size() < wideChars && valid && utf8.size() < kNarrowPartBytes;
  FUZZ_CHECK(built == fits);
  if (!built) {
    FUZZ_CHECK(narrow[0] == 0);
    return;
  }
  FUZZ_CHECK(std::u16string(wide) == expected);
  FUZZ_CHECK(std::string(narrow) == utf8);
}

}  // namespace

// Input: eight clock fields, a body length, then UTF-16 text split at NULs into token and key.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  SYSTEMTIME time;
  WORD* fields[8] = {&time.wYear, &time.wMonth, &time.wDayOfWeek, &time.wDay,
                     &time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds};
  for (WORD* field : fields) *field = in.Word();
  int32_t bodyLength = static_cast<int32_t>(in.Dword());
  std::vector<std::u16string> pieces = SplitAtNul(in.RestAsUnits(), 2);
  ExactWide token(pieces[0]);
  ExactWide key(pieces[1]);

  // The boundary token: the eight fields zero-padded to 4, 2, 2, 2, 2, 2, 2 and 3 digits.
  std::unique_ptr<WCHAR[]> boundary(new WCHAR[kBoundaryChars]);
  FormatUploadBoundary(time, boundary.get());
  static const size_t kWidths[8] = {4, 2, 2, 2, 2, 2, 2, 3};
  std::u16string expectedBoundary;
  for (int i = 0; i < 8; ++i) {
    std::string digits = std::to_string(*fields[i]);
    expectedBoundary += Wide(std::string(digits.size() < kWidths[i] ? kWidths[i] - digits.size() : 0, '0') + digits);
  }
  FUZZ_CHECK(std::u16string(boundary.get()) == expectedBoundary);

  std::string keyUtf8;
  bool keyFits = ReferenceUtf8(pieces[1], &keyUtf8) && keyUtf8.size() <= static_cast<size_t>(kMaxApiKeyBytes) &&
                 keyUtf8.find_first_of("\r\n") == std::string::npos;  // a line break would end the field
  FUZZ_CHECK(ApiKeyFitsFormTail(key.get()) == keyFits);

  std::unique_ptr<WCHAR[]> wide(new WCHAR[kFormTailChars]);
  std::unique_ptr<char[]> narrow(new char[kNarrowPartBytes]);
  bool tail = FormTail(token.get(), key.get(), wide.get(), narrow.get());
  if (!keyFits) {
    FUZZ_CHECK(!tail && wide[0] == 0 && narrow[0] == 0);
  } else {
    CheckPart(tail, ExpectedFormTail(pieces[0], pieces[1]), kFormTailChars, wide.get(), narrow.get());
  }

  std::unique_ptr<WCHAR[]> headWide(new WCHAR[kFilePartHeadChars]);
  bool head = FilePartHead(token.get(), headWide.get(), narrow.get());
  CheckPart(head, ExpectedFilePartHead(pieces[0]), kFilePartHeadChars, headWide.get(), narrow.get());

  std::unique_ptr<WCHAR[]> block(new WCHAR[kUploadHeaderBlockChars]);
  std::u16string expectedBlock = ExpectedHeaderBlock(bodyLength, pieces[0]);
  bool built = UploadHeaderBlock(bodyLength, token.get(), block.get());
  FUZZ_CHECK(built == (expectedBlock.size() < kUploadHeaderBlockChars));
  FUZZ_CHECK(built ? std::u16string(block.get()) == expectedBlock : block[0] == 0);
  return 0;
}
