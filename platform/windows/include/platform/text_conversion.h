// WideCharToMultiByte: kernel32's own. The module converts with CP_UTF8 and
// WC_ERR_INVALID_CHARS, so a lone surrogate fails instead of becoming '?'.
#ifndef OMBRIVOICE_PLATFORM_TEXT_CONVERSION_H
#define OMBRIVOICE_PLATFORM_TEXT_CONVERSION_H

#include <windows.h>

#endif
