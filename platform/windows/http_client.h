// WinINet's own calls, with one mapping: the module opens its sessions with access type
// INTERNET_OPEN_TYPE_PROXY and no proxy name, which WinINet refuses (ERROR_INVALID_PARAMETER),
// so every upload and download would fail. Such a session asks for the machine's configured
// proxy instead (INTERNET_OPEN_TYPE_PRECONFIG), which is what the module means by it.
#ifndef OMBRIVOICE_PLATFORM_HTTP_CLIENT_H
#define OMBRIVOICE_PLATFORM_HTTP_CLIENT_H

#include <windows.h>

#include <wininet.h>

inline HINTERNET InternetOpenWithConfiguredProxy(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName,
                                                 LPCWSTR proxyBypass, DWORD flags) {
  if (accessType == INTERNET_OPEN_TYPE_PROXY && (proxyName == nullptr || proxyName[0] == 0)) {
    return InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, flags);
  }
  return InternetOpenW(agent, accessType, proxyName, proxyBypass, flags);
}
#define InternetOpenW InternetOpenWithConfiguredProxy

#endif
