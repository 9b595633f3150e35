// Whether a reply arrived whole: a head at all, and a body as long as it declared. Some HTTP
// clients answer a reply that never came, or broke off, as if it were whole; these tell.
#ifndef OMBRIVOICE_TRANSFER_REPLY_CHECKS_H
#define OMBRIVOICE_TRANSFER_REPLY_CHECKS_H

#include "platform/http_client.h"

// True when a reply head with a status code has arrived.
bool ReplyHeadArrived(HINTERNET reply);

// True unless the reply declared a length that bytesRead falls short of (or passes). A reply
// without a declared length (chunked, close-delimited, not HTTP), or with one that is not a
// decimal number, counts as whole.
bool ReplyBodyWasWhole(HINTERNET reply, ULONGLONG bytesRead);

#endif
