// Where every transfer connects and how long it may wait. The shipped library links libcurl's
// own choice of address with 60-second time-outs (shipped_defaults.cpp); the tests' copy of
// the core links its own answers, so that a test can send connections to a loopback server
// and shorten the waits.
#ifndef OMBRIVOICE_PLATFORM_CONNECTION_SETTINGS_H
#define OMBRIVOICE_PLATFORM_CONNECTION_SETTINGS_H

constexpr long kDefaultConnectSeconds = 60;  // time allowed to make the connection
constexpr long kDefaultStallSeconds = 60;    // a transfer that moves no byte this long fails
constexpr unsigned kConnectToBytes = 512;

struct ConnectionSettings {
  long connectSeconds;
  long stallSeconds;
  char connectTo[kConnectToBytes];  // a libcurl CONNECT_TO entry "host:port:address:port", or ""
};

// The settings for a transfer being set up now.
void GetConnectionSettings(ConnectionSettings* settings);

#endif
