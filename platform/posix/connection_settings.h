// Where every transfer connects, how long it may wait, and which certificate authorities it
// trusts. The shipped library links libcurl's own choice of address with 60-second time-outs
// and the system's CA store (shipped_defaults.cpp); the tests' copy of the core links its own
// answers, so that a test can send connections to a loopback server, shorten the waits, and
// trust a test CA. No answer turns certificate checks off.
#ifndef OMBRIVOICE_PLATFORM_CONNECTION_SETTINGS_H
#define OMBRIVOICE_PLATFORM_CONNECTION_SETTINGS_H

constexpr long kDefaultConnectSeconds = 60;  // time allowed to make the connection
constexpr long kDefaultStallSeconds = 60;    // a transfer that moves no byte this long fails
constexpr unsigned kConnectToBytes = 512;
constexpr unsigned kCaFileBytes = 4096;      // PATH_MAX, including the NUL

struct ConnectionSettings {
  long connectSeconds;
  long stallSeconds;
  char connectTo[kConnectToBytes];  // a libcurl CONNECT_TO entry "host:port:address:port", or ""
  char caFile[kCaFileBytes];        // PEM file of the only CAs to trust, or "": the system's
};

// The settings for a transfer being set up now.
void GetConnectionSettings(ConnectionSettings* settings);

#endif
