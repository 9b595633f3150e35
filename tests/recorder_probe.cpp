// Records through the shared library for a given time, as a host would, and prints the start
// code, the byte count and the seconds between start's return and the stop call.
//   recorder_probe WAV SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "TolvexOmbriVoice.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s WAV SECONDS\n", argv[0]);
    return 2;
  }
  std::u16string path;
  for (const char* c = argv[1]; *c != 0; ++c) path += static_cast<char16_t>(*c);  // ASCII paths
  int32_t started = OmbriVoiceRecorderStart(path.c_str());
  auto begun = std::chrono::steady_clock::now();
  if (started != OMBRIVOICE_OK) {
    std::printf("%d 0 0\n", started);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
  auto ended = std::chrono::steady_clock::now();
  int32_t count = OmbriVoiceRecorderStop();
  std::printf("%d %d %.3f\n", started, count, std::chrono::duration<double>(ended - begun).count());
  return 0;
}
