// WinINet's own calls, and the proxy choice of this platform: the module opens its sessions
// with the access type that asks for the machine's configured proxy. WinINet refuses
// INTERNET_OPEN_TYPE_PROXY without a proxy name (ERROR_INVALID_PARAMETER); its own type for the
// configured proxy is INTERNET_OPEN_TYPE_PRECONFIG.
#ifndef OMBRIVOICE_PLATFORM_HTTP_CLIENT_H
#define OMBRIVOICE_PLATFORM_HTTP_CLIENT_H

#include <windows.h>

#include <wininet.h>

inline DWORD ConfiguredProxyAccessType() { return INTERNET_OPEN_TYPE_PRECONFIG; }

#endif
