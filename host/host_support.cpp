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

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    unsigned long code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) code = (code << 6) | (utf8[i + k] & 0x3F);
    i += 1 + extra;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

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

std::string DescribeUpload(int32_t code) {
  switch (code) {
    case OMBRIVOICE_OK: return Described(code, "sent; the reply was saved");
    case 1: return Described(code, "the WAV file cannot be opened");
    case 2: return Described(code, "the internet session cannot be opened");
    case 3: return Described(code, "the connection to the API host cannot be set up");
    case 4: return Described(code, "the POST request cannot be opened");
    case 52222: return Described(code, "no connection to the API host or proxy could be made");
    case 51: return Described(code, "sending the request head failed");
    case 7: return Described(code, "reading the WAV file failed or it ended early");
    case 8: return Described(code, "sending the audio failed: the connection broke or stalled");
    case 9: return Described(code, "sending the API key failed");
    case 10: return Described(code, "the API key is over 890 bytes, not valid text, or holds a line break");
    case 11: return Described(code, "the WAV file's size cannot be read or is 2 GiB or more");
    case 12: return Described(code, "the request was sent, but the reply could not be saved whole");
    case 13: return Described(code, "the service answered before the request was sent completely; its reply was saved");
    default: return Described(code, "unknown result");
  }
}

std::string DescribeDownload(int32_t code) {
  switch (code) {
    case OMBRIVOICE_OK: return Described(code, "the whole body was saved");
    case 1: return Described(code, "the internet session cannot be opened");
    case 2: return Described(code, "the URL cannot be opened: bad scheme, unreachable server or redirect loop");
    case 3: return Described(code, "the local file cannot be created");
    case 4: return Described(code, "the body broke off; the file keeps what arrived");
    case 5: return Described(code, "writing the local file failed (disk full?)");
    default: return Described(code, "unknown result");
  }
}

std::string DescribeRecorderStart(int32_t code) {
  switch (code) {
    case OMBRIVOICE_OK: return Described(code, "recording");
    case 1: return Described(code, "no capture device can be opened");
    case 2: return Described(code, "the capture buffer cannot be handed to the device");
    case 3: return Described(code, "capture cannot be started");
    case 4: return Described(code, "the WAV file cannot be created");
    case 5: return Described(code, "a recording is already running");
    case 6: return Described(code, "the recording cannot be set up (out of resources)");
    default: return Described(code, "unknown result");
  }
}

std::string DescribeRecorderStop(int32_t code) {
  switch (code) {
    case -1: return Described(code, "no recording was running");
    case -2: return Described(code, "the recording broke off: capture failed (sound server gone, source removed) or writing the file failed (disk full); the file holds a valid WAV of what was saved");
    default: return Described(code, "unknown result");
  }
}

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
