// Helpers of the service tests: WAV and multipart bodies built byte by byte, raw HTTP over a
// loopback socket, and the upload request exactly as the library sends it.
#ifndef OMBRIVOICE_SERVICE_TESTS_SERVICE_TEST_SUPPORT_H
#define OMBRIVOICE_SERVICE_TESTS_SERVICE_TEST_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/common/service_runner.h"
#include "support/common/temp_dir.h"
#include "support/common/upload_target.h"
#include "host/utf16.h"

namespace ombrivoice::service::testing {

// The boundary the library writes: four dashes and 19 digits.
constexpr const char* kLibraryBoundary = "----1234567890123456789";

// A canonical 44-byte-header WAV with the given format around the samples (which are written
// as 16-bit little-endian regardless of bits, so the header may lie on purpose).
std::string MakeWav(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                    const std::vector<std::int16_t>& samples);

// frames of a sine at hz and amplitude (of full scale 1.0), the same on every channel.
std::vector<std::int16_t> Sine(double hz, double amplitude, std::uint32_t rate, std::uint16_t channels,
                               std::size_t frames);

// The multipart body of the library's upload: the "file" part, then the "apikey" part.
std::string UploadBody(const std::string& boundary, const std::string& wav, const std::string& key);

// The whole upload request with the library's header lines; target is origin-form
// ("/1/...") or absolute-form ("http://api.ombrivoice.example/1/...").
std::string UploadRequest(const std::string& target, const std::string& body,
                          const std::string& boundary = kLibraryBoundary);

// A phrase the recogniser gets right when flite speaks it.
constexpr const char* kPhrase = "one two three four five";

// kPhrase spoken by flite's slt voice (16 kHz mono WAV bytes); "" when flite cannot run.
std::string SpeakPhrase();

struct RawReply {
  int status = 0;         // 0 when no status line came back
  std::string headers;    // the header block
  std::string body;
};

// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);
// Sends all of bytes on sock; false when the peer stopped taking them.
bool SendAll(int sock, const std::string& bytes);
// Sends request on sock (-1 gives an empty reply), reads until the server closes the
// connection, and closes sock.
RawReply Exchange(int sock, const std::string& request);
// The status, header block and body of the bytes of a whole reply.
RawReply ParseReply(const std::string& received);
// Sends request to 127.0.0.1:port on a new connection and reads until the server closes it.
RawReply SendRaw(int port, const std::string& request);

// True when sock has something to read (a reply, or the server's close) within limit.
bool ReadableWithin(int sock, std::chrono::milliseconds limit);
// True when the server closes sock within limit, reading and dropping what it sends first.
bool ClosedWithin(int sock, std::chrono::milliseconds limit);

// A GET of target with Connection: close.
RawReply Get(int port, const std::string& target);

// GETs resultUrl (proxy form or a path) with the API key until the job is no longer queued or
// running, or the limit passes; the last reply.
RawReply WaitForResult(int port, const std::string& resultUrl, const std::string& key,
                       std::chrono::milliseconds limit = std::chrono::seconds(30));

// The string value of field in a flat JSON text ("" when absent); enough for the replies'
// fields, which never hold escaped quotes in these tests.
std::string JsonField(const std::string& json, const std::string& field);

}  // namespace ombrivoice::service::testing

#endif  // OMBRIVOICE_SERVICE_TESTS_SERVICE_TEST_SUPPORT_H
