// The URL download: copies one URL's body, byte for byte, into a local file. Each step that can
// fail returns its own code after releasing what it opened.
#include "TolvexOmbriVoice.h"
#include "platform/files.h"
#include "platform/http_client.h"
#include "transfer/reply_checks.h"

namespace {

const WCHAR kDownloadAgent[] = TEXT("FTP_to_AIX");
constexpr DWORD kDownloadPieceBytes = 512;

// Everything one download opens, released together whichever way the call ends.
struct DownloadHandles {
  HINTERNET session = nullptr;
  HINTERNET url = nullptr;
  HANDLE localFile = INVALID_HANDLE_VALUE;
};

// Closes the local file (a failed final flush means the body was not saved whole), then the
// URL and the session: the child first, as the upload does.
int32_t FinishDownload(DownloadHandles* handles, int32_t code) {
  if (handles->localFile != INVALID_HANDLE_VALUE && !CloseHandle(handles->localFile) &&
      code == OMBRIVOICE_OK) {
    code = OMBRIVOICE_DOWNLOAD_WRITE_FAILED;
  }
  if (handles->url != nullptr) InternetCloseHandle(handles->url);
  if (handles->session != nullptr) InternetCloseHandle(handles->session);
  return code;
}

// Copies the body in pieces of up to 512 bytes until a read yields none; a body short of its
// declared length broke off, even if the client ended it quietly.
int32_t CopyBody(DownloadHandles* handles) {
  unsigned char piece[kDownloadPieceBytes];
  ULONGLONG saved = 0;
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(handles->url, piece, kDownloadPieceBytes, &got)) {
      return OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF;
    }
    if (got == 0) {
      bool whole = ReplyBodyWasWhole(handles->url, saved);
      return whole ? OMBRIVOICE_OK : OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF;
    }
    saved += got;
    DWORD written = 0;
    if (!WriteFile(handles->localFile, piece, got, &written, nullptr)) {
      return OMBRIVOICE_DOWNLOAD_WRITE_FAILED;
    }
  }
}

}  // namespace

OMBRIVOICE_EXPORT int32_t OmbriVoiceFileDownload(const OmbriVoiceChar* url, const OmbriVoiceChar* localPath) {
  DownloadHandles handles;
  handles.session = InternetOpenW(kDownloadAgent, ConfiguredProxyAccessType(), nullptr, nullptr, 0);
  if (handles.session == nullptr) {
    return FinishDownload(&handles, OMBRIVOICE_DOWNLOAD_SESSION_FAILED);
  }
  handles.url = InternetOpenUrlW(handles.session, url, nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  if (handles.url == nullptr) {
    return FinishDownload(&handles, OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  }
  handles.localFile = CreateFileW(localPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handles.localFile == INVALID_HANDLE_VALUE) {
    return FinishDownload(&handles, OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED);
  }
  return FinishDownload(&handles, CopyBody(&handles));
}
