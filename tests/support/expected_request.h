// What every recognition upload must put on the wire, shared by the Linux build's tests and the
// Windows DLL's: the header block's ten lines, each once, Pragma, and the body (multipart head,
// the WAV file's bytes, multipart tail with the key) at exactly its declared length.
#ifndef OMBRIVOICE_TESTS_EXPECTED_REQUEST_H
#define OMBRIVOICE_TESTS_EXPECTED_REQUEST_H

#include <string>

#include "support/loopback_server.h"

// The build's host names (its definitions), and the path the upload posts to.
extern const std::string kApiHost;
extern const std::string kSiteHost;
extern const std::string kUploadPath;
// The User-Agent line's value that the header block gives every upload.
extern const std::string kUploadUserAgent;

// Where a platform's HTTP client may differ on the wire without harm to the request.
struct ClientAllowance {
  // The client also sends its own Accept line made from the accepted-type list.
  bool ownAcceptLine = false;
};

// The 19-digit boundary token from the Content-Type line; empty if there is none.
std::string TokenOf(const RecordedRequest& request);

// Multipart head + WAV bytes + tail carrying the key (as UTF-8).
std::string ExpectedBody(const std::string& token, const std::string& wav, const std::string& keyUtf8);

// Checks every header line the request must carry, each exactly once, and the body.
void ExpectUploadRequest(const RecordedRequest& request, const std::string& wav,
                           const std::string& keyUtf8, ClientAllowance allowance = ClientAllowance());

#endif
