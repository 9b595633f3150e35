// Builds the recognition request's texts with the wide formatted print, and their UTF-8 forms.
#include "transfer/request_text.h"

#include <cstring>

#include "platform/text_conversion.h"
#include "platform/wide_format.h"

namespace {

const WCHAR kBoundaryFormat[] = u"%04d%02d%02d%02d%02d%02d%02d%03d";

const WCHAR kFilePartHeadFormat[] =
    u"------%s\r\n"
    u"Content-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\n"
    u"Content-Type: audio/wav\r\n"
    u"\r\n";

const WCHAR kFormTailFormat[] =
    u"\r\n------%s\r\n"
    u"Content-Disposition: form-data; name=\"apikey\"\r\n"
    u"\r\n"
    u"%s\r\n"
    u"------%s--\r\n";

const WCHAR kUploadHeaderBlockFormat[] =
    u"Host: %s\r\n"
    u"Connection: keep-alive\r\n"
    u"Content-Length: %d\r\n"
    u"Accept: application/json, text/javascript, */*; q=0.01\r\n"
    u"Origin: https://%s\r\n"
    u"User-Agent: Mozilla/5.0 (Windows NT 5.1) AppleWebKit/537.36 (KHTML, like Gecko) "
    u"Chrome/43.0.2357.124 Safari/537.36\r\n"
    u"Content-Type: multipart/form-data; boundary=----%s\r\n"
    u"Referer: https://%s/developer/apis/recognizespeech\r\n"
    u"Accept-Encoding: gzip, deflate\r\n"
    u"Accept-Language: en-US,en;q=0.8\r\n";

const WCHAR kSiteHost[] = u"" OMBRIVOICE_SITE_HOST;

// UTF-8 needs at most 3 bytes for each UTF-16 code unit (a surrogate pair takes 4 for 2).
constexpr size_t kScratchBytes = 3 * kFormTailChars;

// Converts wide text to UTF-8 through a scratch area cleared beforehand, then copies it, NUL
// included, into the part's narrow buffer. False (and empty text) when it does not convert or fit.
bool ToNarrowPart(const WCHAR* wide, char narrow[kNarrowPartBytes]) {
  char scratch[kScratchBytes];
  scratch[0] = 0;
  size_t capacity = 3 * (WideLength(wide) + 1);
  if (capacity > kScratchBytes) capacity = kScratchBytes;
  WideCharToMultiByte(CP_ACP, 0, wide, -1, scratch, static_cast<int>(capacity), nullptr, nullptr);
  size_t length = strlen(scratch);
  narrow[0] = 0;
  if (length >= kNarrowPartBytes || (length == 0 && wide[0] != 0)) {
    return false;
  }
  memcpy(narrow, scratch, length + 1);
  return true;
}

}  // namespace

const WCHAR kUploadApiHost[] = u"" OMBRIVOICE_API_HOST;
LPCWSTR kAcceptedReplyTypes[4] = {u"*/*", u"application/json", u"text/javascript", nullptr};

void FormatUploadBoundary(const SYSTEMTIME& time, WCHAR token[kBoundaryChars]) {
  swprintf(token, kBoundaryChars, kBoundaryFormat, time.wYear, time.wMonth, time.wDayOfWeek,
           time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
}

void BuildUploadBoundary(WCHAR token[kBoundaryChars]) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FormatUploadBoundary(now, token);
}

bool ApiKeyFitsFormTail(LPCWSTR apiKey) {
  char narrow[kMaxApiKeyBytes + 1];  // the key and its NUL
  return WideCharToMultiByte(CP_ACP, 0, apiKey, -1, narrow, sizeof narrow, nullptr, nullptr) > 0;
}

bool FilePartHead(LPCWSTR token, WCHAR wide[kFilePartHeadChars], char narrow[kNarrowPartBytes]) {
  narrow[0] = 0;
  return swprintf(wide, kFilePartHeadChars, kFilePartHeadFormat, token) >= 0 && ToNarrowPart(wide, narrow);
}

bool FormTail(LPCWSTR token, LPCWSTR apiKey, WCHAR wide[kFormTailChars], char narrow[kNarrowPartBytes]) {
  narrow[0] = 0;
  if (!ApiKeyFitsFormTail(apiKey)) {
    wide[0] = 0;
    return false;
  }
  return swprintf(wide, kFormTailChars, kFormTailFormat, token, apiKey, token) >= 0 &&
         ToNarrowPart(wide, narrow);
}

bool UploadHeaderBlock(int32_t bodyLength, LPCWSTR token, WCHAR block[kUploadHeaderBlockChars]) {
  return swprintf(block, kUploadHeaderBlockChars, kUploadHeaderBlockFormat, kUploadApiHost,
                  static_cast<int>(bodyLength), kSiteHost, token, kSiteHost) >= 0;
}
