// Shared pieces of the command line.
#include "host_support.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "TolvexOmbriVoice.h"
#include "run_guard.h"

Options ParseOptions(int argc, char** argv, const std::vector<std::string>& valueNames,
                     const std::vector<std::string>& flagNames) {
  Options options;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      options.help = true;
    } else if (word.rfind("--", 0) == 0) {
      std::string name = word.substr(2);
      bool takesValue = false, isFlag = false;
      for (const std::string& known : valueNames) takesValue |= known == name;
      for (const std::string& known : flagNames) isFlag |= known == name;
      if (isFlag) {
        options.values[name] = "1";
      } else if (!takesValue) {
        options.error = "unknown option " + word;
      } else if (i + 1 >= argc) {
        options.error = word + " needs a value";
      } else {
        options.values[name] = argv[++i];
      }
    } else {
      options.positional.push_back(word);
    }
  }
  return options;
}

bool ReadSeconds(const Options& options, const std::string& name, double fallback, double* seconds,
                 std::string* error) {
  auto given = options.values.find(name);
  if (given == options.values.end()) {
    *seconds = fallback;
    return true;
  }
  const std::string& text = given->second;
  const bool plain = text.find_first_not_of("0123456789.") == std::string::npos &&
                     text.find_first_of("0123456789") != std::string::npos && text.find('.') == text.rfind('.');
  const double value = plain ? strtod(text.c_str(), nullptr) : 0;
  if (!plain || !std::isfinite(value) || value <= 0) {
    *error = "--" + name + " takes a positive number of seconds, not \"" + text + "\"";
    return false;
  }
  *seconds = value;
  return true;
}

namespace {

std::string Described(int32_t code, const char* meaning) {
  return std::to_string(code) + " (" + meaning + ")";
}

}  // namespace

// The meanings are the header's own lists, so the command line cannot drift from them.
#define OMBRIVOICE_HOST_DESCRIBED_(value, constant, meaning) \
  case constant:                                           \
    return Described(code, meaning);

std::string DescribeUpload(int32_t code) {
  switch (code) {
    case OMBRIVOICE_OK: return Described(code, OMBRIVOICE_UPLOAD_OK_MEANING);
    OMBRIVOICE_UPLOAD_RESULTS(OMBRIVOICE_HOST_DESCRIBED_)
    default: return Described(code, "unknown result");
  }
}

std::string DescribeDownload(int32_t code) {
  switch (code) {
    case OMBRIVOICE_OK: return Described(code, OMBRIVOICE_DOWNLOAD_OK_MEANING);
    OMBRIVOICE_DOWNLOAD_RESULTS(OMBRIVOICE_HOST_DESCRIBED_)
    default: return Described(code, "unknown result");
  }
}

std::string DescribeRecorderStart(int32_t code) {
  switch (code) {
    case OMBRIVOICE_OK: return Described(code, OMBRIVOICE_RECORDER_START_OK_MEANING);
    OMBRIVOICE_RECORDER_START_RESULTS(OMBRIVOICE_HOST_DESCRIBED_)
    default: return Described(code, "unknown result");
  }
}

std::string DescribeRecorderStop(int32_t code) {
  switch (code) {
    OMBRIVOICE_RECORDER_STOP_RESULTS(OMBRIVOICE_HOST_DESCRIBED_)
    default: return Described(code, "unknown result");
  }
}

#undef OMBRIVOICE_HOST_DESCRIBED_

double RecordedSeconds(int32_t audioBytes) {
  return audioBytes / static_cast<double>(OMBRIVOICE_RECORDING_BYTES_PER_SECOND);
}

int32_t RecordUntilDone(const std::string& path, double maxSeconds, int32_t* audioBytes) {
  int32_t started = OmbriVoiceRecorderStart(Utf16(path).c_str());
  if (started != OMBRIVOICE_OK) {
    return started;
  }
  bool interactive = isatty(STDIN_FILENO) != 0;
  bool updatingLine = isatty(STDERR_FILENO) != 0;  // a log gets one line, not a hundred
  if (!updatingLine) fprintf(stderr, "recording");
  auto begin = std::chrono::steady_clock::now();
  for (;;) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if ((maxSeconds > 0 && elapsed >= maxSeconds) || run_guard::RecordingEndAsked()) break;
    if (updatingLine) {
      fprintf(stderr, "\rrecording %5.1f s%s", elapsed, interactive ? " (press Enter to stop)" : "");
      fflush(stderr);
    }
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (interactive && poll(&input, 1, 100) > 0) {
      char line[256];
      (void)!read(STDIN_FILENO, line, sizeof line);
      break;
    }
    if (!interactive) usleep(100000);
  }
  *audioBytes = OmbriVoiceRecorderStop();
  fprintf(stderr, "\n");
  return OMBRIVOICE_OK;
}
