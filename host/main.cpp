// ombrivoice: a host command line for the library. Each subcommand calls the library's exported
// functions as any host would, prints every result code with its meaning, and exits 0 only on
// success.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TolvexOmbriVoice.h"
#include "host_support.h"
#include "run_guard.h"
#include "transcribe_command.h"

namespace {

const char kUsage[] =
    "usage: ombrivoice COMMAND [ARGS] [--service URL]\n"
    "\n"
    "  record FILE [--seconds N]          record the microphone into a WAV file\n"
    "  upload FILE --key KEY --reply FILE send a WAV file for recognition, save the reply\n"
    "  download URL FILE                  save a URL's body into a file\n"
    "  transcribe [FILE] --key KEY        record (or take FILE), upload, wait, print the text\n"
    "\n"
    "--service URL reaches the recognition service through URL as an HTTP proxy (it sets\n"
    "http_proxy for this process); otherwise the http_proxy already set applies.\n"
    "Run 'ombrivoice COMMAND --help' for more. Exit status: 0 done, 1 a call failed, 2 bad\n"
    "command line, 3 the service reported an error or did not finish.\n";

int Usage(const char* text, const std::string& error) {
  if (!error.empty()) fprintf(stderr, "ombrivoice: %s\n\n", error.c_str());
  fputs(text, error.empty() ? stdout : stderr);
  return error.empty() ? kExitOk : kExitUsage;
}

int RunRecord(int argc, char** argv) {
  static const char kHelp[] =
      "usage: ombrivoice record FILE [--seconds N]\n"
      "Records the default capture device into FILE (16-bit mono PCM WAV, 44100 Hz) until N\n"
      "seconds pass (N a positive number, e.g. 2.5), Enter is pressed or the command is\n"
      "interrupted (Ctrl-C or SIGTERM), then prints the byte count and the duration. When the\n"
      "recording broke off (sound server gone, disk full) it says so and exits 1; the file\n"
      "keeps what was saved.\n";
  Options options = ParseOptions(argc, argv, {"seconds", "service"}, {});
  if (options.help || !options.error.empty()) return Usage(kHelp, options.error);
  if (options.positional.size() != 1) return Usage(kHelp, "record takes one FILE");
  double seconds = 0;
  std::string error;
  if (!ReadSeconds(options, "seconds", 0, &seconds, &error)) return Usage(kHelp, error);
  if (seconds == 0 && !isatty(STDIN_FILENO)) {
    return Usage(kHelp, "without a terminal to press Enter in, give --seconds N");
  }
  // Ctrl-C ends the recording as Enter does: the last partial second is kept.
  run_guard::Start();
  run_guard::EndRecordingOnSignal(true);
  int32_t bytes = 0;
  int32_t started = RecordUntilDone(options.positional[0], seconds, &bytes);
  printf("record: %s\n", DescribeRecorderStart(started).c_str());
  if (started != OMBRIVOICE_OK) return kExitCallFailed;
  if (bytes < 0) {
    printf("record: stop: %s\nrecording kept in %s\n", DescribeRecorderStop(bytes).c_str(),
           options.positional[0].c_str());
    return kExitCallFailed;
  }
  printf("recorded %d bytes, %.2f s, into %s\n", bytes, RecordedSeconds(bytes), options.positional[0].c_str());
  return kExitOk;
}

int RunUpload(int argc, char** argv) {
  static const char kHelp[] =
      "usage: ombrivoice upload FILE --key KEY --reply FILE\n"
      "Sends the WAV file and the API key to the recognition API in one POST and saves the\n"
      "reply body, whatever its status, into the reply file.\n";
  Options options = ParseOptions(argc, argv, {"key", "reply", "service"}, {});
  if (options.help || !options.error.empty()) return Usage(kHelp, options.error);
  if (options.positional.size() != 1 || !options.values.count("key") || !options.values.count("reply")) {
    return Usage(kHelp, "upload takes FILE, --key and --reply");
  }
  int32_t code = OmbriVoice(Utf16(options.positional[0]).c_str(), Utf16(options.values["key"]).c_str(),
                            Utf16(options.values["reply"]).c_str());
  printf("upload: %s\n", DescribeUpload(code).c_str());
  return code == OMBRIVOICE_OK ? kExitOk : kExitCallFailed;
}

int RunDownload(int argc, char** argv) {
  static const char kHelp[] =
      "usage: ombrivoice download URL FILE\n"
      "Saves the body of URL (http, https, ftp, ftps or file) into FILE, whatever its status.\n";
  Options options = ParseOptions(argc, argv, {"service"}, {});
  if (options.help || !options.error.empty()) return Usage(kHelp, options.error);
  if (options.positional.size() != 2) return Usage(kHelp, "download takes URL and FILE");
  int32_t code = OmbriVoiceFileDownload(Utf16(options.positional[0]).c_str(),
                                        Utf16(options.positional[1]).c_str());
  printf("download: %s\n", DescribeDownload(code).c_str());
  return code == OMBRIVOICE_OK ? kExitOk : kExitCallFailed;
}

// Applies --service URL (anywhere on the line) as this process's http_proxy.
void ApplyServiceOption(int argc, char** argv) {
  for (int i = 0; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--service") == 0) {
      setenv("http_proxy", argv[i + 1], 1);
      unsetenv("no_proxy");
      unsetenv("NO_PROXY");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(kUsage, "no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(kUsage, "");
  ApplyServiceOption(argc, argv);
  if (command == "record") return RunRecord(argc - 2, argv + 2);
  if (command == "upload") return RunUpload(argc - 2, argv + 2);
  if (command == "download") return RunDownload(argc - 2, argv + 2);
  if (command == "transcribe") return RunTranscribe(argc - 2, argv + 2);
  return Usage(kUsage, "unknown command '" + command + "'");
}
