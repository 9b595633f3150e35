// The recognition upload: one multipart POST of a WAV file and an API key, with the reply body
// saved to a file. Each step that can fail returns its own code, after releasing every file and
// internet handle opened so far.
#include <cstring>

#include "TolvexOmbriVoice.h"
#include "platform/files.h"
#include "platform/http_client.h"
#include "transfer/reply_checks.h"
#include "transfer/request_text.h"

namespace {

const WCHAR kUploadAgent[] = TEXT("Tolvex - Ombri Voice Upload");
const WCHAR kUploadPath[] = TEXT("/1/api/async/recognizespeech/v1");
// A build with OMBRIVOICE_API_TLS sends the same request over TLS to port 443, where the
// client checks the server's certificate and host name; the default build, plain HTTP to 80.
constexpr bool kUploadOverTls = OMBRIVOICE_API_TLS != 0;
constexpr INTERNET_PORT kUploadPort = kUploadOverTls ? 443 : 80;
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | (kUploadOverTls ? INTERNET_FLAG_SECURE : 0);
constexpr DWORD kAudioPieceBytes = 1024;
constexpr DWORD kReplyPieceBytes = 4096;  // filled at most kReplyPieceBytes - 1 at a time
constexpr DWORD kBeginSendFlags = HSR_INITIATE | HSR_CHUNKED;  // 0x28
constexpr LONGLONG kMaxBodyLength = 0x7FFFFFFF;

// The begin-send record has the platform's own layout: 40 bytes where pointers are 32 bits.
static_assert(sizeof(void*) != 4 || sizeof(INTERNET_BUFFERSW) == 40, "INTERNET_BUFFERSW layout");

// Everything one upload opens, released together whichever way the call ends. The reply file
// is opened and closed within SaveReply.
struct UploadHandles {
  HANDLE wavFile = INVALID_HANDLE_VALUE;
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
};

// Closes what is open (WAV file, request, connection, session) and returns code. Internet
// handles go children first: a client that closes a parent's children with it would otherwise
// be handed a child's stale handle, which by then may name another thread's.
int32_t FinishUpload(UploadHandles* handles, int32_t code) {
  if (handles->wavFile != INVALID_HANDLE_VALUE) CloseHandle(handles->wavFile);
  if (handles->request != nullptr) InternetCloseHandle(handles->request);
  if (handles->connection != nullptr) InternetCloseHandle(handles->connection);
  if (handles->session != nullptr) InternetCloseHandle(handles->session);
  return code;
}

// Streams exactly wavSize bytes of the WAV file in pieces of 1024. A read that fails, or a file
// that ends early, gives 7; the declared length is never passed even if the file has grown.
int32_t SendAudio(UploadHandles* handles, LONGLONG wavSize) {
  unsigned char piece[kAudioPieceBytes];
  LONGLONG remaining = wavSize;
  for (;;) {
    DWORD wanted = remaining < kAudioPieceBytes ? static_cast<DWORD>(remaining) : kAudioPieceBytes;
    DWORD got = 0;
    if (!ReadFile(handles->wavFile, piece, wanted, &got, nullptr)) {
      return OMBRIVOICE_UPLOAD_WAV_READ_FAILED;
    }
    DWORD sent = 0;
    if (!InternetWriteFile(handles->request, piece, got, &sent)) {
      return OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED;
    }
    remaining -= got;
    if (got != kAudioPieceBytes) {
      break;
    }
  }
  return remaining == 0 ? OMBRIVOICE_OK : OMBRIVOICE_UPLOAD_WAV_READ_FAILED;
}

// Copies the reply body into the open reply file until a read yields nothing. False for any
// loss: a failed write, or a reply that broke off or fell short of its declared length.
bool CopyReply(HINTERNET request, HANDLE replyFile) {
  unsigned char piece[kReplyPieceBytes];
  ULONGLONG saved = 0;
  for (;;) {
    DWORD got = 0;
    BOOL read = InternetReadFile(request, piece, kReplyPieceBytes - 1, &got);
    if (got == 0) {
      return read && ReplyBodyWasWhole(request, saved);
    }
    saved += got;
    DWORD written = 0;
    if (!WriteFile(replyFile, piece, got, &written, nullptr)) {
      return false;
    }
  }
}

HANDLE CreateReplyFile(LPCWSTR replyPath) {
  return CreateFileW(replyPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Fills the reply file just created and closes it: true only with the reply saved whole (a
// failed final flush is a loss too).
bool FillReplyFile(HINTERNET request, HANDLE replyFile) {
  bool copied = CopyReply(request, replyFile);
  bool closed = CloseHandle(replyFile);
  return copied && closed;
}

// Saves the reply body in a new reply file. Any loss (no file, a failed write, a reply that
// breaks off) gives 12; the request itself was already sent completely.
int32_t SaveReply(HINTERNET request, LPCWSTR replyPath) {
  HANDLE replyFile = CreateReplyFile(replyPath);
  bool saved = replyFile != INVALID_HANDLE_VALUE && FillReplyFile(request, replyFile);
  return saved ? OMBRIVOICE_OK : OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED;
}

// A service that refuses an upload (a wrong key, a body too large) may answer before it has
// read the whole body, then stop reading or close. Sending has failed at stepCode, but the
// answer is what the caller needs: when the client has it, it is saved like any other reply
// and the call gives 13. When it cannot be saved whole, the call keeps stepCode and removes the
// reply file it made, as no other failed step leaves one; a path it could not open (a folder,
// a file another handle holds) is never removed.
int32_t SaveEarlyAnswer(HINTERNET request, LPCWSTR replyPath, int32_t stepCode) {
  if (!HttpEndRequestW(request, nullptr, HSR_INITIATE, 0) || !ReplyHeadArrived(request)) {
    return stepCode;
  }
  HANDLE replyFile = CreateReplyFile(replyPath);
  if (replyFile == INVALID_HANDLE_VALUE) {
    return stepCode;
  }
  if (FillReplyFile(request, replyFile)) {
    return OMBRIVOICE_UPLOAD_ANSWERED_EARLY;
  }
  DeleteFileW(replyPath);
  return stepCode;
}

}  // namespace

OMBRIVOICE_EXPORT int32_t OmbriVoice(const OmbriVoiceChar* wavPath, const OmbriVoiceChar* apiKey,
                                     const OmbriVoiceChar* replyPath) {
  WCHAR token[kBoundaryChars];
  BuildUploadBoundary(token);
  if (!ApiKeyFitsFormTail(apiKey)) {
    return OMBRIVOICE_UPLOAD_KEY_INVALID;
  }

  UploadHandles handles;
  handles.wavFile = CreateFileW(wavPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handles.wavFile == INVALID_HANDLE_VALUE) {
    return FinishUpload(&handles, OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  }
  handles.session = InternetOpenW(kUploadAgent, ConfiguredProxyAccessType(), nullptr, nullptr, 0);
  if (handles.session == nullptr) {
    return FinishUpload(&handles, OMBRIVOICE_UPLOAD_SESSION_FAILED);
  }
  handles.connection = InternetConnectW(handles.session, kUploadApiHost, kUploadPort, TEXT(""), TEXT(""),
                                        INTERNET_SERVICE_HTTP, 0, 1);
  if (handles.connection == nullptr) {
    return FinishUpload(&handles, OMBRIVOICE_UPLOAD_CONNECT_FAILED);
  }
  handles.request = HttpOpenRequestW(handles.connection, TEXT("POST"), kUploadPath, nullptr, nullptr,
                                     kAcceptedReplyTypes, kRequestFlags, 0);
  if (handles.request == nullptr) {
    return FinishUpload(&handles, OMBRIVOICE_UPLOAD_REQUEST_FAILED);
  }

  WCHAR headWide[kFilePartHeadChars];
  char head[kNarrowPartBytes];
  WCHAR tailWide[kFormTailChars];
  char tail[kNarrowPartBytes];
  FilePartHead(token, headWide, head);
  FormTail(token, apiKey, tailWide, tail);  // the key was checked above, so the tail fits
  DWORD headLength = static_cast<DWORD>(strlen(head));
  DWORD tailLength = static_cast<DWORD>(strlen(tail));

  LARGE_INTEGER wavSize;
  if (!GetFileSizeEx(handles.wavFile, &wavSize) ||
      wavSize.QuadPart > kMaxBodyLength - headLength - tailLength) {
    return FinishUpload(&handles, OMBRIVOICE_UPLOAD_WAV_SIZE_INVALID);
  }
  int32_t bodyLength = static_cast<int32_t>(headLength + wavSize.QuadPart + tailLength);

  WCHAR headerBlock[kUploadHeaderBlockChars];
  UploadHeaderBlock(bodyLength, token, headerBlock);
  HttpAddRequestHeadersW(handles.request, headerBlock, static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD);

  INTERNET_BUFFERSW beginSend = {};
  beginSend.dwStructSize = sizeof beginSend;
  beginSend.dwBufferTotal = static_cast<DWORD>(bodyLength);
  if (!HttpSendRequestExW(handles.request, &beginSend, nullptr, kBeginSendFlags, 0)) {
    return FinishUpload(&handles, OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED);
  }
  DWORD sent = 0;
  if (!InternetWriteFile(handles.request, head, headLength, &sent)) {
    int32_t code = SaveEarlyAnswer(handles.request, replyPath, OMBRIVOICE_UPLOAD_HEAD_WRITE_FAILED);
    return FinishUpload(&handles, code);
  }
  int32_t audio = SendAudio(&handles, wavSize.QuadPart);
  if (audio == OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED) {
    audio = SaveEarlyAnswer(handles.request, replyPath, audio);
  }
  if (audio != OMBRIVOICE_OK) {
    return FinishUpload(&handles, audio);
  }
  if (!InternetWriteFile(handles.request, tail, tailLength, &sent)) {
    int32_t code = SaveEarlyAnswer(handles.request, replyPath, OMBRIVOICE_UPLOAD_TAIL_WRITE_FAILED);
    return FinishUpload(&handles, code);
  }
  // The reply head is awaited here. Some clients answer the reads after a reply that never
  // came with an empty body, as if it were whole, so the loss is kept for the result; the
  // reply file is created and filled either way.
  bool replyBegun = HttpEndRequestW(handles.request, nullptr, HSR_INITIATE, 0) &&
                    ReplyHeadArrived(handles.request);
  int32_t saved = SaveReply(handles.request, replyPath);
  return FinishUpload(&handles, replyBegun ? saved : OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
}
