// Text from a service, made safe to write on a terminal: control characters and bytes that are
// not UTF-8 are shown as escapes, so a reply cannot move the cursor, recolour or retitle it.
#ifndef OMBRIVOICE_HOST_PRINTABLE_H
#define OMBRIVOICE_HOST_PRINTABLE_H

#include <string>
#include <string_view>

// text with every C0 control (line breaks included) and DEL written as \xHH, every C1 control
// and bidirectional control (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) as
// \uHHHH, and every byte that is not part of well-formed UTF-8 as \xHH; all else as it was.
std::string Printable(std::string_view text);

#endif
