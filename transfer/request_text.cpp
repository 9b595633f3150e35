// Builds the recognition request's texts with the wide formatted print, and their UTF-8 forms.
#include "transfer/request_text.h"

#include <cstring>

#include "platform/text_conversion.h"
#include "platform/wide_format.h"

namespace {

// Every %ls is a wide string: wide formatted prints read a plain %s as a narrow one.
const WCHAR kBoundaryFormat[] = TEXT("%04d%02d%02d%02d%02d%02d%02d%03d");

const WCHAR kFilePartHeadFormat[] =
    TEXT("------%ls\r\n")
    TEXT("Content-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\n")
    TEXT("Content-Type: audio/wav\r\n")
    TEXT("\r\n");

const WCHAR kFormTailFormat[] =
    TEXT("\r\n------%ls\r\n")
    TEXT("Content-Disposition: form-data; name=\"apikey\"\r\n")
    TEXT("\r\n")
    TEXT("%ls\r\n")
    TEXT("------%ls--\r\n");

const WCHAR kUploadHeaderBlockFormat[] =
    TEXT("Host: %ls\r\n")
    TEXT("Connection: keep-alive\r\n")
    TEXT("Content-Length: %d\r\n")
    TEXT("Accept: application/json, text/javascript, */*; q=0.01\r\n")
    TEXT("Origin: https://%ls\r\n")
    TEXT("User-Agent: Mozilla/5.0 (Windows NT 5.1) AppleWebKit/537.36 (KHTML, like Gecko) ")
    TEXT("Chrome/43.0.2357.124 Safari/537.36\r\n")
    TEXT("Content-Type: multipart/form-data; boundary=----%ls\r\n")
    TEXT("Referer: https://%ls/developer/apis/recognizespeech\r\n")
    TEXT("Accept-Encoding: gzip, deflate\r\n")
    TEXT("Accept-Language: en-US,en;q=0.8\r\n");

const WCHAR kSiteHost[] = TEXT(OMBRIVOICE_SITE_HOST);

// UTF-8 needs at most 3 bytes for each UTF-16 code unit (a surrogate pair takes 4 for 2).
constexpr int kScratchBytes = 3 * kFormTailChars;

// Converts wide text to UTF-8 (never the machine's code page, so that a key gives the same
// bytes everywhere) through a scratch area, then copies it, NUL included, into the part's
// narrow buffer. False (and empty text) when it does not convert or fit.
bool ToNarrowPart(const WCHAR* wide, char narrow[kNarrowPartBytes]) {
  char scratch[kScratchBytes];
  narrow[0] = 0;
  int converted = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, scratch,
                                      kScratchBytes, nullptr, nullptr);
  if (converted <= 0 || converted > static_cast<int>(kNarrowPartBytes)) {
    return false;  // a failed conversion leaves the scratch undefined: nothing of it is kept
  }
  memcpy(narrow, scratch, static_cast<size_t>(converted));  // the count includes the NUL
  return true;
}

}  // namespace

const WCHAR kUploadApiHost[] = TEXT(OMBRIVOICE_API_HOST);
LPCWSTR kAcceptedReplyTypes[4] = {TEXT("*/*"), TEXT("application/json"), TEXT("text/javascript"), nullptr};

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
  // A line break would end the apikey field early, and what followed would be read as more
  // of the form: fields of the key's own choosing.
  for (LPCWSTR unit = apiKey; *unit != 0; ++unit) {
    if (*unit == TEXT('\r') || *unit == TEXT('\n')) {
      return false;
    }
  }
  char narrow[kMaxApiKeyBytes + 1];  // the key and its NUL
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, apiKey, -1, narrow, sizeof narrow,
                             nullptr, nullptr) > 0;
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
