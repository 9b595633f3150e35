// Reads Content-Length and Location lines. A Content-Length value may be a comma-separated list
// (lines folded together by a proxy); every element must be the same decimal number.
#include "platform/reply_head.h"

#include <cstring>
#include <strings.h>

namespace {

constexpr curl_off_t kMaxLength = 0x7FFFFFFFFFFFFFFF;
const char kLengthName[] = "Content-Length:";
const char kLocationName[] = "Location:";
const char kTransferCodingName[] = "Transfer-Encoding:";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWithName(const char* line, size_t length, const char* name) {
  size_t nameLength = strlen(name);
  return length >= nameLength && strncasecmp(line, name, nameLength) == 0;
}

// One list element, spaces around it trimmed: its number, or false if it is none or too big.
bool ParseLength(const char* begin, const char* end, curl_off_t* value) {
  while (begin < end && IsSpace(*begin)) ++begin;
  while (end > begin && IsSpace(end[-1])) --end;
  if (begin == end) {
    return false;
  }
  curl_off_t number = 0;
  for (const char* at = begin; at < end; ++at) {
    if (*at < '0' || *at > '9') {
      return false;
    }
    int digit = *at - '0';
    if (number > (kMaxLength - digit) / 10) {
      return false;
    }
    number = number * 10 + digit;
  }
  *value = number;
  return true;
}

void ReadLengthValue(ReplyHeadLines* head, const char* value, const char* end) {
  for (const char* element = value; element <= end;) {
    const char* comma = static_cast<const char*>(memchr(element, ',', static_cast<size_t>(end - element)));
    const char* elementEnd = comma != nullptr ? comma : end;
    curl_off_t length = 0;
    if (!ParseLength(element, elementEnd, &length) || (head->sawLength && length != head->length)) {
      head->lengthUnusable = true;
    }
    head->sawLength = true;
    head->length = length;
    element = elementEnd + 1;
  }
}

}  // namespace

void BeginReplyHead(ReplyHeadLines* head) {
  head->sawLocation = false;
  head->sawTransferCoding = false;
  head->sawLength = false;
  head->lengthUnusable = false;
  head->length = -1;
}

void ReadReplyHeadLine(ReplyHeadLines* head, const char* line, size_t length) {
  const char* end = line + length;
  if (StartsWithName(line, length, kLengthName)) {
    ReadLengthValue(head, line + strlen(kLengthName), end);
  } else if (StartsWithName(line, length, kLocationName)) {
    const char* value = line + strlen(kLocationName);
    while (value < end && IsSpace(*value)) ++value;
    head->sawLocation = value < end;
  } else if (StartsWithName(line, length, kTransferCodingName)) {
    head->sawTransferCoding = true;
  }
}

curl_off_t DeclaredBodyLength(const ReplyHeadLines& head) {
  bool usable = head.sawLength && !head.sawTransferCoding && !head.lengthUnusable;
  return usable ? head.length : -1;
}

bool DeclaredLengthUnusable(const ReplyHeadLines& head) { return head.lengthUnusable && !head.sawTransferCoding; }
