// A libcurl transfer driven from the caller's thread through the multi interface. The request
// body goes out through a read callback that pauses when no piece is staged; the reply body
// comes in through a write callback that pauses receiving while the reply buffer could not take
// another whole read. Each wait drives curl_multi_perform, checks its condition, and only then
// polls, so no step waits needlessly.
#include "platform/curl_transfer.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/test_hooks.h"

namespace {

constexpr int kPollMilliseconds = 1000;
constexpr long kConnectSeconds = 60;  // time allowed to make the connection
constexpr long kStallSeconds = 60;    // a transfer that moves no byte this long fails

std::once_flag gCurlInitOnce;
bool gCurlInitialised = false;

size_t OnReadBody(char* buffer, size_t size, size_t count, void* user) {
  CurlTransfer* transfer = static_cast<CurlTransfer*>(user);
  if (transfer->answeredEarly) {
    return 0;  // the server has answered: the body ends here and libcurl stops sending
  }
  size_t available = transfer->stagingEnd - transfer->stagingStart;
  if (available == 0) {
    transfer->sendPaused = true;
    return CURL_READFUNC_PAUSE;
  }
  size_t length = size * count < available ? size * count : available;
  memcpy(buffer, transfer->staging + transfer->stagingStart, length);
  transfer->stagingStart += length;
  return length;
}

// Tells libcurl which directions are paused now; allowed from within its callbacks too.
void ApplyPauses(CurlTransfer* transfer) {
  curl_easy_pause(transfer->easy, (transfer->sendPaused ? CURLPAUSE_SEND : 0) |
                                      (transfer->receivePaused ? CURLPAUSE_RECV : 0));
}

size_t OnReplyBytes(char* data, size_t size, size_t count, void* user) {
  CurlTransfer* transfer = static_cast<CurlTransfer*>(user);
  size_t length = size * count;
  if (transfer->replyStart == transfer->replyEnd) {
    transfer->replyStart = 0;
    transfer->replyEnd = 0;
  }
  if (kReplyBufferBytes - transfer->replyEnd < length && transfer->replyStart > 0) {
    memmove(transfer->reply, transfer->reply + transfer->replyStart,
            transfer->replyEnd - transfer->replyStart);
    transfer->replyEnd -= transfer->replyStart;
    transfer->replyStart = 0;
  }
  if (kReplyBufferBytes - transfer->replyEnd < length) {
    transfer->receivePaused = true;  // libcurl keeps the chunk and offers it again on resume
    return CURL_WRITEFUNC_PAUSE;
  }
  memcpy(transfer->reply + transfer->replyEnd, data, length);
  transfer->replyEnd += length;
  transfer->replyReceived += static_cast<curl_off_t>(length);
  // Reading stops while another whole read might not fit. A refused chunk, and the rest of its
  // read, would be copied by libcurl into memory it allocates and offered again later: one
  // more copy of every byte that did not fit.
  if (kReplyBufferBytes - transfer->replyEnd < kReceiveBufferBytes && !transfer->receivePaused) {
    transfer->receivePaused = true;
    ApplyPauses(transfer);
  }
  return length;
}

// Watches reply heads for the one that is final: interim 1xx heads and the 3xx heads of
// redirects that libcurl follows end with the same blank line and are passed over. A final head
// that comes while the request body is still going out is an early answer.
size_t OnHeaderLine(char* line, size_t size, size_t count, void* user) {
  CurlTransfer* transfer = static_cast<CurlTransfer*>(user);
  size_t length = size * count;
  if (length >= 5 && strncmp(line, "HTTP/", 5) == 0) {
    BeginReplyHead(&transfer->head);
  } else {
    ReadReplyHeadLine(&transfer->head, line, length);
  }
  bool blank = (length == 2 && line[0] == '\r') || (length == 1 && line[0] == '\n');
  if (!blank) {
    return length;
  }
  long status = 0;
  curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
  bool followed = transfer->followsRedirects && transfer->head.sawLocation && status >= 300 && status < 400;
  if (status >= 200 && !followed) {
    curl_off_t sent = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    transfer->headersDone = true;
    transfer->answeredEarly = transfer->declaredLength >= 0 && sent < transfer->declaredLength;
    transfer->lengthUnusable = DeclaredLengthUnusable(transfer->head);
    transfer->replyLength = DeclaredBodyLength(transfer->head);
  }
  return length;
}

int OnConnected(void* user, char*, char*, int, int) {
  static_cast<CurlTransfer*>(user)->connected = true;
  return CURL_PREREQFUNC_OK;
}

void CollectFinishedTransfer(CurlTransfer* transfer) {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(transfer->multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == transfer->easy) {
      transfer->done = true;
      transfer->result = message->data.result;
    }
  }
}

// Lifts the pauses named, keeping any other pause in force.
void Resume(CurlTransfer* transfer, bool send, bool receive) {
  if (send) transfer->sendPaused = false;
  if (receive) transfer->receivePaused = false;
  ApplyPauses(transfer);
}

// Drives the transfer until condition holds (true) or the transfer ends without it (false).
template <typename Condition>
bool DriveUntil(CurlTransfer* transfer, Condition condition) {
  for (;;) {
    int running = 0;
    CURLMcode code = curl_multi_perform(transfer->multi, &running);
    if (code != CURLM_OK && !transfer->done) {
      transfer->done = true;
      transfer->result = CURLE_FAILED_INIT;
    }
    CollectFinishedTransfer(transfer);
    if (transfer->answeredEarly && transfer->sendPaused) {
      Resume(transfer, true, false);  // the read callback then ends the body
    }
    if (condition()) {
      return true;
    }
    if (transfer->done) {
      return false;
    }
    curl_multi_poll(transfer->multi, nullptr, 0, kPollMilliseconds, nullptr);
  }
}

bool ApplySharedOptions(CurlTransfer* transfer) {
  CURL* easy = transfer->easy;
  return curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectSeconds) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBufferBytes)) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnReadBody) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_READDATA, transfer) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnReplyBytes) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeaderLine) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQDATA, transfer) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
         ApplyTestConnectionOptions(easy);
}

// Every byte the final head declared has arrived, however libcurl ends the transfer after it.
bool DeclaredBodyArrived(const CurlTransfer* transfer) {
  return transfer->headersDone && transfer->replyLength >= 0 && transfer->replyReceived == transfer->replyLength;
}

}  // namespace

bool EnsureCurlInitialised() {
  std::call_once(gCurlInitOnce, [] { gCurlInitialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return gCurlInitialised;
}

CurlTransfer* CreateCurlTransfer() {
  if (!EnsureCurlInitialised()) {
    return nullptr;
  }
  CurlTransfer* transfer = new (std::nothrow) CurlTransfer;  // not zeroed: 576 KiB of buffers
  if (transfer == nullptr) {
    return nullptr;
  }
  BeginReplyHead(&transfer->head);
  transfer->easy = curl_easy_init();
  transfer->multi = curl_multi_init();
  if (transfer->easy == nullptr || transfer->multi == nullptr || !ApplySharedOptions(transfer)) {
    DestroyCurlTransfer(transfer);
    return nullptr;
  }
  return transfer;
}

void DestroyCurlTransfer(CurlTransfer* transfer) {
  if (transfer == nullptr) {
    return;
  }
  if (transfer->added) {
    curl_multi_remove_handle(transfer->multi, transfer->easy);
  }
  if (transfer->easy != nullptr) curl_easy_cleanup(transfer->easy);
  if (transfer->multi != nullptr) curl_multi_cleanup(transfer->multi);
  curl_slist_free_all(transfer->headers);
  delete transfer;
}

bool StartCurlTransfer(CurlTransfer* transfer) {
  if (transfer->added || curl_multi_add_handle(transfer->multi, transfer->easy) != CURLM_OK) {
    return false;
  }
  transfer->added = true;
  DriveUntil(transfer, [transfer] { return transfer->connected; });
  return transfer->connected || (transfer->done && transfer->result == CURLE_OK);
}

bool FlushCurlBody(CurlTransfer* transfer) {
  if (transfer->answeredEarly) {
    return false;
  }
  if (transfer->sendPaused && transfer->stagingStart != transfer->stagingEnd) {
    Resume(transfer, true, false);
  }
  // The last piece counts as sent only once libcurl has written it all: until then an answer
  // can still come first, and the request was not sent completely.
  bool last = transfer->bytesAccepted == transfer->declaredLength;
  auto sent = [transfer, last] {
    curl_off_t written = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_SIZE_UPLOAD_T, &written);
    return transfer->answeredEarly || (transfer->stagingStart == transfer->stagingEnd &&
                                       (!last || written >= transfer->declaredLength));
  };
  bool flushed = DriveUntil(transfer, sent) && !transfer->answeredEarly;
  if (flushed) {
    transfer->stagingStart = transfer->stagingEnd = 0;
  }
  return flushed;
}

bool PushCurlBody(CurlTransfer* transfer, const void* bytes, size_t length) {
  if (length == 0) {
    return true;
  }
  if (!transfer->added || transfer->done || transfer->answeredEarly || transfer->declaredLength < 0 ||
      static_cast<curl_off_t>(length) > transfer->declaredLength - transfer->bytesAccepted) {
    return false;
  }
  const unsigned char* next = static_cast<const unsigned char*>(bytes);
  while (length > 0) {
    if (transfer->stagingEnd == kStagingBytes && !FlushCurlBody(transfer)) {
      return false;
    }
    size_t room = kStagingBytes - transfer->stagingEnd;
    size_t piece = length < room ? length : room;
    memcpy(transfer->staging + transfer->stagingEnd, next, piece);
    transfer->stagingEnd += piece;
    transfer->bytesAccepted += static_cast<curl_off_t>(piece);
    next += piece;
    length -= piece;
  }
  if (transfer->bytesAccepted == transfer->declaredLength) {
    return FlushCurlBody(transfer);
  }
  return true;
}

bool WaitForCurlReplyHead(CurlTransfer* transfer) {
  if (!transfer->added) {
    return false;
  }
  // A body short of its declared length would leave the server waiting, and this wait with it,
  // unless the server has answered already.
  if (transfer->declaredLength >= 0 && !transfer->answeredEarly &&
      (transfer->bytesAccepted != transfer->declaredLength || !FlushCurlBody(transfer))) {
    return false;
  }
  auto replyBegun = [transfer] {
    return transfer->headersDone || transfer->replyEnd > transfer->replyStart ||
           (transfer->done && transfer->result == CURLE_OK);
  };
  DriveUntil(transfer, replyBegun);
  return replyBegun() && !transfer->lengthUnusable;
}

bool PullCurlReply(CurlTransfer* transfer, void* out, size_t capacity, size_t* length) {
  *length = 0;
  if (!transfer->added) {
    return false;
  }
  auto pending = [transfer] { return transfer->replyEnd > transfer->replyStart; };
  if (!pending() && !transfer->done && !DeclaredBodyArrived(transfer)) {
    if (transfer->receivePaused) {
      Resume(transfer, false, true);
    }
    DriveUntil(transfer, [transfer, pending] { return pending() || DeclaredBodyArrived(transfer); });
  }
  size_t available = transfer->replyEnd - transfer->replyStart;
  if (available > 0) {
    size_t piece = available < capacity ? available : capacity;
    memcpy(out, transfer->reply + transfer->replyStart, piece);
    transfer->replyStart += piece;
    *length = piece;
    return true;
  }
  return DeclaredBodyArrived(transfer) || (transfer->done && transfer->result == CURLE_OK);
}
