// The shipped library's answers where the tests' copy of the core links test doubles instead:
// audio from ALSA, connections as libcurl makes them with the default time-outs, and the
// system's certificate authorities.
#include "connection_settings.h"
#include "wave_in_source.h"

void GetConnectionSettings(ConnectionSettings* settings) {
  settings->connectSeconds = kDefaultConnectSeconds;
  settings->stallSeconds = kDefaultStallSeconds;
  settings->connectTo[0] = 0;
  settings->caFile[0] = 0;
}

const CaptureSource* ChosenCaptureSource() { return &kAlsaCaptureSource; }
