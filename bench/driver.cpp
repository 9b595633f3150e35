// Calls one export of the shared library and exits, so that a run's time, CPU and peak memory
// are those of the call (plus loading the library).
//   ombrivoice_bench_driver upload WAV KEY REPLY
//   ombrivoice_bench_driver download URL FILE
//   ombrivoice_bench_driver record WAV SECONDS
//   ombrivoice_bench_driver load      (calls nothing: the cost of loading the library)
// Prints the call's result; exits 0 when the call did its work.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "TolvexOmbriVoice.h"

namespace {

// ASCII arguments as UTF-16 (the bench's paths and URLs are ASCII).
std::u16string Wide(const char* text) {
  std::u16string wide;
  for (const char* c = text; *c != 0; ++c) wide += static_cast<char16_t>(static_cast<unsigned char>(*c));
  return wide;
}

int Usage(const char* self) {
  fprintf(stderr, "usage: %s upload WAV KEY REPLY | download URL FILE | record WAV SECONDS | load\n", self);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return Usage(argv[0]);
  }
  std::string mode = argv[1];
  if (mode == "load" && argc == 2) {
    return 0;
  }
  if (mode == "upload" && argc == 5) {
    int32_t code = OmbriVoice(Wide(argv[2]).c_str(), Wide(argv[3]).c_str(), Wide(argv[4]).c_str());
    printf("%d\n", code);
    return code == OMBRIVOICE_OK ? 0 : 1;
  }
  if (mode == "download" && argc == 4) {
    int32_t code = OmbriVoiceFileDownload(Wide(argv[2]).c_str(), Wide(argv[3]).c_str());
    printf("%d\n", code);
    return code == OMBRIVOICE_OK ? 0 : 1;
  }
  if (mode == "record" && argc == 4) {
    int32_t code = OmbriVoiceRecorderStart(Wide(argv[2]).c_str());
    if (code != OMBRIVOICE_OK) {
      printf("start %d\n", code);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(atof(argv[3])));
    printf("%d\n", OmbriVoiceRecorderStop());
    return 0;
  }
  return Usage(argv[0]);
}
