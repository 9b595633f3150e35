// ALSA test configurations for the recorder tests: the system alsa.conf first, then a private
// file that redefines "default"; PULSE_SERVER points at nothing so that a running sound
// server's hook cannot take "default" over.
#ifndef OMBRIVOICE_TESTS_RECORDER_ALSA_CONFIG_H
#define OMBRIVOICE_TESTS_RECORDER_ALSA_CONFIG_H

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_files.h"

constexpr const char* kSystemAlsaConf = "/usr/share/alsa/alsa.conf";

// "default" is the file plugin over "null": it captures infile's bytes as fast as it is read.
inline std::string FilePluginDefault(const std::string& infile) {
  return "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n"
         "  infile \"" + infile + "\"\n  format \"raw\"\n}\n";
}

// Makes ALSA read config after its system configuration, for every later open.
inline void UseAlsaDefault(const TempDir& dir, const std::string& config) {
  WriteBytes(dir.File("asound.conf"), config);
  std::string path = std::string(kSystemAlsaConf) + ":" + dir.File("asound.conf");
  setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + dir.File("no-sound-server")).c_str(), 1);
}

// Waits until the file at path holds at least size bytes; false after ten seconds.
inline bool WaitForFileSize(const std::string& path, size_t size) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::error_code error;
  while (std::filesystem::file_size(path, error) < size || error) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

#endif
