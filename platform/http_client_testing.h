// Test-only seams of the HTTP client. They are hidden in the shared library and must be set
// before any transfer starts.
#ifndef OMBRIVOICE_PLATFORM_HTTP_CLIENT_TESTING_H
#define OMBRIVOICE_PLATFORM_HTTP_CLIENT_TESTING_H

// Sends every connection for host:port to address:port instead (libcurl's CONNECT_TO form
// "host:port:address:port"); nullptr or "" ends the override.
void HttpClientConnectToForTesting(const char* connectTo);

// Replaces the 60-second connect and stall time-outs; 0 restores them.
void HttpClientTimeoutsForTesting(long connectSeconds, long stallSeconds);

#endif
