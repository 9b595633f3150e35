// UTF-8 to UTF-16, as the library takes its strings: the command line and the tests build
// their wide arguments with it.
#ifndef OMBRIVOICE_HOST_UTF16_H
#define OMBRIVOICE_HOST_UTF16_H

#include <string>

// UTF-8 to UTF-16 (c_str() gives it NUL-terminated). A sequence cut short by the end of the
// text keeps the bits it has.
std::u16string Utf16(const std::string& utf8);

#endif
