// Text from a service, made safe to write on a terminal: control characters and bytes that are
// not UTF-8 are shown as escapes, so a reply cannot move the cursor, recolour or retitle it.
#ifndef OMBRIVOICE_HOST_PRINTABLE_H
#define OMBRIVOICE_HOST_PRINTABLE_H

#include <string>
#include <string_view>

// text with every C0 control (line breaks included), DEL and C1 control written as \xHH (C1
// controls as \u00HH), and every byte that is not part of well-formed UTF-8 as \xHH; all else
// as it was.
std::string Printable(std::string_view text);

#endif
