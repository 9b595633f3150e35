// Asks the client for the reply's status code and declared length. Both are read as the
// header's text, which every client gives (not all of them give it as a number).
#include "transfer/reply_checks.h"

namespace {

constexpr DWORD kLengthChars = 32;  // 20 digits of a 64-bit length, with room to spare

}  // namespace

bool ReplyHeadArrived(HINTERNET reply) {
  WCHAR text[kLengthChars];
  DWORD size = sizeof text;
  return HttpQueryInfoW(reply, HTTP_QUERY_STATUS_CODE, text, &size, nullptr) && text[0] >= TEXT('1') &&
         text[0] <= TEXT('9');
}

bool ReplyBodyWasWhole(HINTERNET reply, ULONGLONG bytesRead) {
  WCHAR text[kLengthChars];
  DWORD size = sizeof text;
  if (HttpQueryInfoW(reply, HTTP_QUERY_TRANSFER_ENCODING, text, &size, nullptr)) {
    return true;  // a transfer coding frames the body, and a Content-Length beside it is void
  }
  size = sizeof text;
  if (!HttpQueryInfoW(reply, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    return true;  // no declared length to hold the body to
  }
  ULONGLONG declared = 0;
  DWORD digits = 0;
  for (const WCHAR* at = text; *at >= TEXT('0') && *at <= TEXT('9'); ++at, ++digits) {
    if (digits == 19) {
      return true;  // longer than any body this side of 2^63: nothing to judge by
    }
    declared = declared * 10 + static_cast<ULONGLONG>(*at - TEXT('0'));
  }
  return digits == 0 || declared == bytesRead;
}
