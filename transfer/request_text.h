// Every text the recognition request carries: the boundary token, the multipart head sent
// before the audio, the multipart tail that carries the key, and the extra header lines.
#ifndef OMBRIVOICE_TRANSFER_REQUEST_TEXT_H
#define OMBRIVOICE_TRANSFER_REQUEST_TEXT_H

#include <cstdint>

#include "platform/clock.h"
#include "platform/win_types.h"

constexpr size_t kBoundaryChars = 100;          // 19 digits + NUL, with room to spare
constexpr size_t kFilePartHeadChars = 1000;     // always 119 characters + NUL
constexpr size_t kFormTailChars = 1000;         // 109 fixed characters + up to 890 of key + NUL
constexpr size_t kNarrowPartBytes = 1000;       // either part as UTF-8, with its NUL
constexpr size_t kUploadHeaderBlockChars = 2000;  // ten lines, with the host names
constexpr int kMaxApiKeyBytes = 890;            // the key's UTF-8 form that still fits the tail

// The host the upload connects to and names in its Host line (fixed when the library is built).
extern const WCHAR kUploadApiHost[];

// "*/*", "application/json", "text/javascript", then nullptr.
extern LPCWSTR kAcceptedReplyTypes[4];

// The 19-digit token for a clock reading: year, month, day of week, day, hour, minute,
// second, milliseconds, zero-padded to 4, 2, 2, 2, 2, 2, 2 and 3 digits.
void FormatUploadBoundary(const SYSTEMTIME& time, WCHAR token[kBoundaryChars]);

// Reads the local clock once and formats its token.
void BuildUploadBoundary(WCHAR token[kBoundaryChars]);

// True when the key holds no CR or LF and converts to UTF-8 (no lone surrogate) in at most
// kMaxApiKeyBytes bytes.
bool ApiKeyFitsFormTail(LPCWSTR apiKey);

// The multipart head for the "file" field, as wide text and as UTF-8 (NUL-terminated).
// False if it cannot be built (a token that is not the 19 digits would be the only cause).
bool FilePartHead(LPCWSTR token, WCHAR wide[kFilePartHeadChars], char narrow[kNarrowPartBytes]);

// The multipart tail: end of the file part, the "apikey" field, the closing delimiter.
// False when the key does not fit (see ApiKeyFitsFormTail).
bool FormTail(LPCWSTR token, LPCWSTR apiKey, WCHAR wide[kFormTailChars], char narrow[kNarrowPartBytes]);

// The ten extra request header lines, each ending in CR LF.
bool UploadHeaderBlock(int32_t bodyLength, LPCWSTR token, WCHAR block[kUploadHeaderBlockChars]);

#endif
