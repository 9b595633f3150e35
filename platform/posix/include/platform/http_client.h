// The HTTP client calls the transfers are written with, in their Win32 internet-client shape,
// on libcurl. Handles are independent: closing a session or connection leaves the handles made
// from it valid, and each handle is closed exactly once by its owner.
#ifndef OMBRIVOICE_PLATFORM_HTTP_CLIENT_H
#define OMBRIVOICE_PLATFORM_HTTP_CLIENT_H

#include "platform/win_types.h"

typedef void* HINTERNET;
typedef WORD INTERNET_PORT;

#define INTERNET_OPEN_TYPE_PROXY 3u       // with no proxy named: the configured one
#define INTERNET_SERVICE_HTTP 3u
#define INTERNET_FLAG_RELOAD 0x80000000u  // always from the origin (this client has no cache)
#define INTERNET_FLAG_PRAGMA_NOCACHE 0x00000100u  // adds "Pragma: no-cache"
#define INTERNET_FLAG_SECURE 0x00800000u  // https: TLS, the certificate and host name checked
#define HTTP_ADDREQ_FLAG_ADD 0x20000000u
#define HSR_INITIATE 0x00000008u
#define HSR_CHUNKED 0x00000020u           // accepted; the body always goes out plain
#define HTTP_QUERY_CONTENT_LENGTH 5u
#define HTTP_QUERY_STATUS_CODE 19u
#define HTTP_QUERY_TRANSFER_ENCODING 63u

typedef struct _INTERNET_BUFFERSW {
  DWORD dwStructSize;
  struct _INTERNET_BUFFERSW* Next;
  LPCWSTR lpcszHeader;
  DWORD dwHeadersLength;
  DWORD dwHeadersTotal;
  void* lpvBuffer;
  DWORD dwBufferLength;
  DWORD dwBufferTotal;  // the request body's length, declared before sending begins
  DWORD dwOffsetLow;
  DWORD dwOffsetHigh;
} INTERNET_BUFFERSW;

// The access type that asks for the proxies the system is configured with: here type 3 with no
// proxy named, which means those of the environment (http_proxy, https_proxy, ftp_proxy,
// all_proxy and no_proxy, read by libcurl for each transfer).
inline DWORD ConfiguredProxyAccessType() { return INTERNET_OPEN_TYPE_PROXY; }

// A session: the agent string (sent as User-Agent). Only ConfiguredProxyAccessType() with no
// proxy or bypass list named is supported.
HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                        DWORD flags);

// A server to talk to, on a port that must be given; nothing is connected yet. Credentials are
// not supported: the user name and password must be empty (or null), which offers none.
HINTERNET InternetConnectW(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort,
                           LPCWSTR userName, LPCWSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context);

// A POST request on that server (no other verb is supported), over TLS with
// INTERNET_FLAG_SECURE. acceptTypes (ending in nullptr) make the Accept line. No referrer (the
// caller's header lines may carry one); flags other than RELOAD, PRAGMA_NOCACHE and SECURE are
// refused.
HINTERNET HttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version,
                           LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags, DWORD_PTR context);

// Adds CR LF-separated header lines, NUL-terminated (length -1), with HTTP_ADDREQ_FLAG_ADD. A
// line whose name the request already carries replaces that line, so every name goes out once.
BOOL HttpAddRequestHeadersW(HINTERNET request, LPCWSTR headers, DWORD headersLength, DWORD modifiers);

// Connects and sends the request head; the body of dwBufferTotal bytes follows through
// InternetWriteFile. FALSE if no connection could be made.
BOOL HttpSendRequestExW(HINTERNET request, INTERNET_BUFFERSW* buffersIn, INTERNET_BUFFERSW* buffersOut,
                        DWORD flags, DWORD_PTR context);

// Sends a piece of the body. FALSE if it would pass the declared length or the connection failed.
BOOL InternetWriteFile(HINTERNET request, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten);

// Ends the body and waits for the reply head. FALSE if the body is incomplete or no reply came.
BOOL HttpEndRequestW(HINTERNET request, INTERNET_BUFFERSW* buffersOut, DWORD flags, DWORD_PTR context);

// Opens an http, https, ftp, ftps or file URL. Returns a handle only once the request has been
// sent and the reply (for HTTP, the final reply's head) has begun; redirects are followed, at
// most 20 and never to file://. Only the User-Agent (the session's agent) is added to the
// request: extra header lines are not supported (headers must be null or empty). nullptr for an
// unknown or disallowed scheme, an unreachable server, or a URL that cannot be fetched.
HINTERNET InternetOpenUrlW(HINTERNET session, LPCWSTR url, LPCWSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR context);

// Reads up to bytesToRead bytes of the reply body, raw (no content decoding). *bytesRead 0 with
// TRUE is the end of the body; FALSE means it broke off.
BOOL InternetReadFile(HINTERNET handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead);

// Reads a reply header's value as NUL-terminated UTF-16 text; *bufferLength is the buffer's size
// in bytes, and then the text's without the NUL. Two are answered: HTTP_QUERY_STATUS_CODE, the
// final reply's status (FALSE before any reply head), and HTTP_QUERY_CONTENT_LENGTH, the
// declared body length (FALSE when the reply declared none: chunked, close-delimited, not
// HTTP). FALSE when the buffer is too small, and for any other header, which includes
// HTTP_QUERY_TRANSFER_ENCODING: libcurl declares no length for a body in a transfer coding.
BOOL HttpQueryInfoW(HINTERNET handle, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* index);

// Releases any internet handle.
BOOL InternetCloseHandle(HINTERNET handle);

#endif
