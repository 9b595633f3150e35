// Uploads one WAV file over and over from several threads for a fixed time and prints the
// total: "uploads failures seconds MiB/s". Each thread saves its replies to its own file.
//   ombrivoice_bench_many WAV REPLY_DIR THREADS SECONDS
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TolvexOmbriVoice.h"

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

struct Totals {
  std::atomic<long> uploads{0};   // calls that returned 999
  std::atomic<long> failures{0};  // calls that returned anything else
};

void UploadUntil(std::chrono::steady_clock::time_point deadline, const std::u16string& wav,
                 const std::u16string& reply, Totals* totals) {
  while (std::chrono::steady_clock::now() < deadline) {
    int32_t code = OmbriVoice(wav.c_str(), u"bench-key", reply.c_str());
    (code == OMBRIVOICE_OK ? totals->uploads : totals->failures).fetch_add(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s WAV REPLY_DIR THREADS SECONDS\n", argv[0]);
    return 2;
  }
  struct stat status;
  if (stat(argv[1], &status) != 0) {
    perror(argv[1]);
    return 2;
  }
  int threads = atoi(argv[3]);
  auto started = std::chrono::steady_clock::now();
  auto deadline = started + std::chrono::seconds(atoi(argv[4]));
  Totals totals;
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    std::string reply = std::string(argv[2]) + "/reply-" + std::to_string(i) + ".json";
    workers.emplace_back(UploadUntil, deadline, Wide(argv[1]), Wide(reply), &totals);
  }
  for (std::thread& worker : workers) worker.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  double mebibytes = static_cast<double>(totals.uploads.load()) * status.st_size / (1024.0 * 1024.0);
  printf("%ld %ld %.3f %.1f\n", totals.uploads.load(), totals.failures.load(), seconds, mebibytes / seconds);
  return totals.failures.load() == 0 ? 0 : 1;
}
