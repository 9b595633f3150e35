// Records through the shared library for a given time, as a host would, and prints on one
// line: the start code, the stop's result, the seconds between start's return and the stop
// call, how long start and stop took (ms), the CPU seconds the process used while recording,
// and how much its resident memory grew meanwhile (KiB).
//   recorder_probe WAV SECONDS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "TolvexOmbriVoice.h"

namespace {

double Milliseconds(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = 0;
  while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
  }
  if (status != nullptr) std::fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s WAV SECONDS\n", argv[0]);
    return 2;
  }
  std::u16string path;
  for (const char* c = argv[1]; *c != 0; ++c) path += static_cast<char16_t>(*c);  // ASCII paths
  auto starting = std::chrono::steady_clock::now();
  int32_t started = OmbriVoiceRecorderStart(path.c_str());
  auto begun = std::chrono::steady_clock::now();
  if (started != OMBRIVOICE_OK) {
    std::printf("%d 0 0 %.0f 0 0 0\n", started, Milliseconds(starting, begun));
    return 1;
  }
  double cpu = CpuSeconds();
  long resident = ResidentKiB();
  std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
  auto ended = std::chrono::steady_clock::now();
  cpu = CpuSeconds() - cpu;
  resident = ResidentKiB() - resident;
  int32_t count = OmbriVoiceRecorderStop();
  auto stopped = std::chrono::steady_clock::now();
  std::printf("%d %d %.3f %.0f %.0f %.2f %ld\n", started, count,
              std::chrono::duration<double>(ended - begun).count(), Milliseconds(starting, begun),
              Milliseconds(ended, stopped), cpu, resident);
  return 0;
}
