// What one reply head's lines tell before its body is read: whether it redirects, and the body
// length it declares, when that length can be trusted. A head with Content-Length lines that
// disagree, or one that is no length at all or more than 2^63-1, declares none that can be. A
// transfer coding frames the body itself, and any Content-Length beside it is void.
#ifndef OMBRIVOICE_PLATFORM_REPLY_HEAD_H
#define OMBRIVOICE_PLATFORM_REPLY_HEAD_H

#include <curl/curl.h>

#include <cstddef>

struct ReplyHeadLines {
  bool sawLocation;     // a Location line with a value
  bool sawTransferCoding;  // a Transfer-Encoding line
  bool sawLength;       // at least one Content-Length line
  bool lengthUnusable;  // lines that disagree, or a value that is not a length
  curl_off_t length;    // the length declared, when sawLength and not lengthUnusable
};

// Starts a new head (at its status line): nothing seen yet.
void BeginReplyHead(ReplyHeadLines* head);

// Takes one header line as libcurl hands it over, with its line ending.
void ReadReplyHeadLine(ReplyHeadLines* head, const char* line, size_t length);

// The body length the head declares: -1 for none (a transfer coding, no Content-Length, or
// one that cannot be trusted).
curl_off_t DeclaredBodyLength(const ReplyHeadLines& head);

// True when Content-Length lines declare a length that cannot be trusted.
bool DeclaredLengthUnusable(const ReplyHeadLines& head);

#endif
