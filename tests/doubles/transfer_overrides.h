// The tests' hold on how transfers connect: built only into the tests' copy of the core, never
// into the shipped library. Each setting applies to transfers set up after it.
#ifndef OMBRIVOICE_TESTS_TRANSFER_OVERRIDES_H
#define OMBRIVOICE_TESTS_TRANSFER_OVERRIDES_H

// Sends every connection for host:port to address:port instead (libcurl's CONNECT_TO form
// "host:port:address:port"); nullptr or "" ends the override.
void HttpClientConnectToForTesting(const char* connectTo);

// Replaces the 60-second connect and stall time-outs; 0 keeps the library's own.
void HttpClientTimeoutsForTesting(long connectSeconds, long stallSeconds);

// Trusts only the CA certificates in this PEM file (a test CA) instead of the system's store;
// nullptr or "" restores the system's. Certificates are checked either way.
void HttpClientTrustForTesting(const char* caFile);

#endif
