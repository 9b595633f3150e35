// The replies transcribe reads: the files the library saved, read whole only when small, and
// decoded when a front end compressed them (the upload says it accepts gzip and deflate, and
// the library saves the body as it came).
#ifndef OMBRIVOICE_HOST_REPLY_FILE_H
#define OMBRIVOICE_HOST_REPLY_FILE_H

#include <cstddef>
#include <string>

// Replies are small JSON documents; anything larger, before or after decoding, is refused.
constexpr std::size_t kMaxReplyBytes = 1 << 20;  // 1 MiB

// What a refused reply is called in messages.
constexpr const char* kReplyTooLarge = "reply too large";

// Replies are flat: an object or two deep. A reply nested deeper is refused before it is
// parsed, as the parser and the writer of the JSON library recurse once per level.
constexpr std::size_t kMaxReplyDepth = 32;

// How deeply the arrays and objects in the JSON text are nested (0 for a scalar), counted
// without recursion and stopping once past limit; brackets inside strings do not count. Text
// that is not JSON gives some count, which the parser then refuses anyway.
std::size_t JsonNestingDepth(const std::string& text, std::size_t limit);

// The body in the file at path, decoded when it is gzip (RFC 1952), zlib (RFC 1950) or raw
// deflate (RFC 1951) data; a body that is none of these is given as it is. False with the
// reason when the file cannot be read, holds or decodes to more than kMaxReplyBytes, or is
// gzip or zlib data that does not decode.
bool ReadReply(const std::string& path, std::string* body, std::string* error);

#endif
