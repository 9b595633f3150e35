// UTF-8 to UTF-16, for building the library's wide arguments in tests.
#ifndef OMBRIVOICE_TESTS_COMMON_UTF16_H
#define OMBRIVOICE_TESTS_COMMON_UTF16_H

#include <string>

// UTF-8 to UTF-16; invalid input is the caller's mistake and aborts the test program.
std::u16string U16(const std::string& utf8);

#endif
