// Whether a reply body that ended was whole. Some HTTP clients end a body that broke off after
// its head as if it were complete; a declared Content-Length tells the two apart.
#ifndef OMBRIVOICE_TRANSFER_REPLY_LENGTH_H
#define OMBRIVOICE_TRANSFER_REPLY_LENGTH_H

#include "http_client.h"

// True unless the reply declared a length that bytesRead falls short of (or passes). A reply
// without a declared length (chunked, close-delimited, not HTTP), or with one that is not a
// decimal number, counts as whole.
bool ReplyBodyWasWhole(HINTERNET reply, ULONGLONG bytesRead);

#endif
