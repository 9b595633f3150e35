// One libcurl transfer driven step by step from the caller's thread: the request body is pushed
// in pieces, the reply body is pulled in pieces. The HTTP and URL client calls are built on it.
#ifndef OMBRIVOICE_PLATFORM_CURL_TRANSFER_H
#define OMBRIVOICE_PLATFORM_CURL_TRANSFER_H

#include <curl/curl.h>

#include <cstddef>

#include "platform/reply_head.h"

constexpr size_t kStagingBytes = 64 * 1024;  // request body gathered before libcurl sends it
// libcurl reads the socket up to 512 KiB at a time, the most it allows: an eighth of the recv()
// calls of 64 KiB, which measurably cuts a large download's system time.
constexpr size_t kReceiveBufferBytes = 512 * 1024;
// Reply bytes libcurl delivered and the caller has not pulled: room for two whole reads.
constexpr size_t kReplyBufferBytes = 2 * kReceiveBufferBytes;

// Scalars start as below; the two buffers are left as they are, since only the bytes between
// their start and end marks are ever read.
struct CurlTransfer {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;  // request header lines handed to libcurl
  bool added = false;            // easy handle is in the multi handle
  bool connected = false;        // libcurl has a connection and is about to send the request
  bool followsRedirects = false;  // libcurl follows 3xx replies that carry a Location
  ReplyHeadLines head;           // what the reply head being read has said so far
  bool headersDone = false;      // the final reply head has arrived (not 1xx, not a followed 3xx)
  bool answeredEarly = false;    // it arrived before the whole request body had gone out, so
                                 // no more of the body is sent
  bool lengthUnusable = false;   // the final head's declared length cannot be trusted
  curl_off_t replyLength = -1;   // the length the final head declared, or -1
  curl_off_t replyReceived = 0;  // reply-body bytes libcurl has delivered
  bool done = false;             // the transfer has ended; result says how
  CURLcode result = CURLE_OK;
  // Request body: pieces the caller pushed that libcurl has not yet taken.
  curl_off_t declaredLength = -1;  // -1: no request body
  curl_off_t bytesAccepted = 0;  // bytes the caller has pushed so far
  bool sendPaused = false;       // the read callback paused for want of data
  size_t stagingStart = 0;
  size_t stagingEnd = 0;
  unsigned char staging[kStagingBytes];
  // Reply body: bytes libcurl delivered that the caller has not yet pulled.
  bool receivePaused = false;    // receiving waits until the caller has pulled every byte
  size_t replyStart = 0;
  size_t replyEnd = 0;
  unsigned char reply[kReplyBufferBytes];
};

// Initialises libcurl for the process, once, safely from any thread. False if it failed.
bool EnsureCurlInitialised();

// Allocates a transfer with its easy and multi handles and the options every transfer shares:
// no signals, 60-second connect and stall time-outs, no content decoding, certificates checked.
// Returns nullptr on failure.
CurlTransfer* CreateCurlTransfer();

// Releases everything the transfer holds. Accepts nullptr.
void DestroyCurlTransfer(CurlTransfer* transfer);

// Adds the transfer to its multi handle and drives it until the connection is made (true), or
// the transfer has failed (false).
bool StartCurlTransfer(CurlTransfer* transfer);

// Queues a piece of request body. Staged bytes are sent when the staging buffer is full or the
// declared length is reached, and the last piece only counts as sent once libcurl has written
// every byte. False if the piece would pass the declared length, sending failed, or the server
// answered first (answeredEarly: its reply can then be read as usual).
bool PushCurlBody(CurlTransfer* transfer, const void* bytes, size_t length);

// Sends every staged byte. False if the transfer failed first.
bool FlushCurlBody(CurlTransfer* transfer);

// Drives the transfer until the final reply head has arrived. False if it ended without one,
// if the body is incomplete and the server has not answered, or if the head declares a length
// that cannot be trusted.
bool WaitForCurlReplyHead(CurlTransfer* transfer);

// Copies up to capacity reply-body bytes into out, waiting for them if needed. *length 0 with
// true means the body has ended: the transfer ended cleanly, or every byte the head declared
// has arrived (a server that answered early may reset the connection after its reply). False
// means it broke off (or the transfer failed).
bool PullCurlReply(CurlTransfer* transfer, void* out, size_t capacity, size_t* length);

#endif
