// What the subcommands share: UTF-16 arguments for the library, a small option parser, the
// plain-English meaning of every result code, and recording until a time or a key press.
#ifndef OMBRIVOICE_HOST_SUPPORT_H
#define OMBRIVOICE_HOST_SUPPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/utf16.h"

// Exit statuses of the command line.
constexpr int kExitOk = 0;
constexpr int kExitCallFailed = 1;   // a library call returned a failure code
constexpr int kExitUsage = 2;        // the command line was wrong
constexpr int kExitService = 3;      // the service answered with an error, or never finished

// Options as given: "--name value" pairs, "--flag" switches, and positional words.
struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  bool help = false;
  std::string error;  // empty when the command line parsed
};
// valueNames: options that take a value; flagNames: switches without one.
Options ParseOptions(int argc, char** argv, const std::vector<std::string>& valueNames,
                     const std::vector<std::string>& flagNames);

// The value of the option name as a positive number of seconds, digits with at most one
// decimal point ("5", "2.5"), or fallback when the option is absent. False with error when it
// is anything else ("abc", "-3", "0", "1e3").
bool ReadSeconds(const Options& options, const std::string& name, double fallback, double* seconds,
                 std::string* error);

// "999 (done)" style descriptions of the library's result codes.
std::string DescribeUpload(int32_t code);
std::string DescribeDownload(int32_t code);
std::string DescribeRecorderStart(int32_t code);
// The stop's results other than a byte count.
std::string DescribeRecorderStop(int32_t code);

// Seconds of audio in a recording of audioBytes.
double RecordedSeconds(int32_t audioBytes);

// Records into path until maxSeconds pass (0: no limit), Enter is pressed or the run guard was
// asked to end the recording (SIGINT or SIGTERM), showing the
// elapsed time on one updating line of stderr. Returns the recorder's start code; on success
// *audioBytes holds what the stop returned: the byte count, or -2 when the recording broke off.
int32_t RecordUntilDone(const std::string& path, double maxSeconds, int32_t* audioBytes);

#endif
