// The main job: one utterance from microphone (or file) to text, using only the library's four
// calls. The upload's reply names the job's result URL; the download call polls it until the
// job has finished. Progress goes to stderr, the text alone to stdout.
#include "transcribe_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "TolvexOmbriVoice.h"
#include "host_support.h"

namespace {

const char kHelp[] =
    "usage: ombrivoice transcribe [FILE] --key KEY [--seconds N] [--timeout S] [--service URL]\n"
    "Records the microphone (until N seconds pass or Enter is pressed), or takes the WAV FILE,\n"
    "uploads it for recognition, waits up to S seconds (default 120) for the job to finish\n"
    "and prints the recognised text on stdout. N and S are positive numbers (e.g. 2.5).\n"
    "Progress and errors go to stderr.\n";

constexpr double kDefaultTimeoutSeconds = 120;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Percent-encodes a query value.
std::string QueryEscape(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Parses a saved reply; on failure explains it on stderr and returns a discarded value.
nlohmann::json ParseReply(const std::string& path, const char* what) {
  std::string text = ReadWhole(path);
  nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
  if (reply.is_discarded() || !reply.is_object()) {
    fprintf(stderr, "transcribe: the %s reply is not JSON: %.200s\n", what, text.c_str());
    return nlohmann::json::value_t::discarded;
  }
  return reply;
}

std::string Field(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// Polls the job's result until it is finished or failed, or the time runs out.
int WaitForText(const std::string& resultUrl, const std::string& key, double timeoutSeconds,
                const std::string& workDir) {
  std::string url = resultUrl + (resultUrl.find('?') == std::string::npos ? "?" : "&") +
                    "apikey=" + QueryEscape(key);
  std::string resultPath = workDir + "/result.json";
  auto begin = std::chrono::steady_clock::now();
  std::string lastStatus;
  for (;;) {
    int32_t code = OmbriVoiceFileDownload(Utf16(url).c_str(), Utf16(resultPath).c_str());
    if (code != OMBRIVOICE_OK) {
      fprintf(stderr, "transcribe: fetching the result: %s\n", DescribeDownload(code).c_str());
      return kExitCallFailed;
    }
    nlohmann::json result = ParseReply(resultPath, "result");
    if (result.is_discarded()) return kExitService;
    std::string status = Field(result, "status");
    if (status != lastStatus) fprintf(stderr, "transcribe: job %s\n", status.c_str());
    lastStatus = status;
    if (status == "finished") {
      printf("%s\n", Field(result, "text").c_str());
      return kExitOk;
    }
    if (status != "queued" && status != "running") {
      std::string message = Field(result, "message").empty() ? Field(result, "error") : Field(result, "message");
      fprintf(stderr, "transcribe: the job ended without text: %s\n", message.c_str());
      return kExitService;
    }
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (waited > timeoutSeconds) {
      fprintf(stderr, "transcribe: the job did not finish within %.0f s\n", timeoutSeconds);
      return kExitService;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

// seconds: how long to record (0: until Enter); timeout: how long to wait for the job.
int Transcribe(Options& options, double seconds, double timeout, const std::string& workDir) {
  std::string key = options.values["key"];
  std::string wavPath;
  if (options.positional.empty()) {
    if (seconds == 0 && !isatty(STDIN_FILENO)) {
      fprintf(stderr, "transcribe: without a terminal to press Enter in, give --seconds N or a FILE\n");
      return kExitUsage;
    }
    wavPath = workDir + "/recording.wav";
    int32_t bytes = 0;
    int32_t started = RecordUntilDone(wavPath, seconds, &bytes);
    if (started != OMBRIVOICE_OK) {
      fprintf(stderr, "transcribe: record: %s\n", DescribeRecorderStart(started).c_str());
      return kExitCallFailed;
    }
    fprintf(stderr, "transcribe: recorded %.2f s\n", bytes / 88200.0);
  } else {
    wavPath = options.positional[0];
  }

  std::string replyPath = workDir + "/reply.json";
  int32_t uploaded = OmbriVoice(Utf16(wavPath).c_str(), Utf16(key).c_str(), Utf16(replyPath).c_str());
  fprintf(stderr, "transcribe: upload: %s\n", DescribeUpload(uploaded).c_str());
  if (uploaded != OMBRIVOICE_OK) return kExitCallFailed;
  nlohmann::json reply = ParseReply(replyPath, "upload");
  if (reply.is_discarded()) return kExitService;
  std::string resultUrl = Field(reply, "result_url");
  if (resultUrl.empty()) {
    fprintf(stderr, "transcribe: the service refused the upload: %s\n",
            (Field(reply, "message").empty() ? reply.dump() : Field(reply, "message")).c_str());
    return kExitService;
  }
  fprintf(stderr, "transcribe: job %s queued\n", Field(reply, "jobid").c_str());
  return WaitForText(resultUrl, key, timeout, workDir);
}

}  // namespace

int RunTranscribe(int argc, char** argv) {
  Options options = ParseOptions(argc, argv, {"key", "seconds", "timeout", "service"}, {});
  if (options.help) {
    fputs(kHelp, stdout);
    return kExitOk;
  }
  std::string error = options.error;
  if (error.empty() && (!options.values.count("key") || options.positional.size() > 1)) {
    error = "transcribe takes [FILE] and --key";
  }
  double seconds = 0;
  double timeout = 0;
  const bool usable = error.empty() && ReadSeconds(options, "seconds", 0, &seconds, &error) &&
                      ReadSeconds(options, "timeout", kDefaultTimeoutSeconds, &timeout, &error);
  if (!usable) {
    fprintf(stderr, "ombrivoice: %s\n\n%s", error.c_str(), kHelp);
    return kExitUsage;
  }
  char pattern[] = "/tmp/ombrivoice-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    fprintf(stderr, "transcribe: cannot make a working folder in /tmp\n");
    return kExitCallFailed;
  }
  int status = Transcribe(options, seconds, timeout, pattern);
  std::string cleanup = std::string("rm -rf '") + pattern + "'";
  (void)!system(cleanup.c_str());
  return status;
}
