// The main job: one utterance from microphone (or file) to text, using only the library's four
// calls. The upload's reply names the job and its result URL; the download call polls it until
// the job has finished. The download call follows redirects, which this file cannot see or
// stop: a poll's reply is read only when it names the job that the upload's reply named.
// Progress goes to stderr, the text alone to stdout. The run guard bounds the whole exchange
// with the service by --timeout, removes the working folder on every end and turns Ctrl-C
// during the recording into the end of the recording.
#include "transcribe_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "TolvexOmbriVoice.h"
#include "api_origin.h"
#include "host_support.h"
#include "printable.h"
#include "reply_file.h"
#include "run_guard.h"

namespace {

const char kHelp[] =
    "usage: ombrivoice transcribe [FILE] --key KEY [--seconds N] [--timeout S] [--service URL]\n"
    "Records the microphone (until N seconds pass, Enter is pressed or Ctrl-C), or takes the\n"
    "WAV FILE, uploads it for recognition, waits for the job to finish and prints the\n"
    "recognised text on stdout. A recording that broke off (sound server gone, disk full) is\n"
    "not sent: it is kept beside the working folder, its path told, and the status is 1.\n"
    "The upload and the wait together take at most S seconds (default 120). N and S are\n"
    "positive numbers (e.g. 2.5). The job's result URL must be on\n"
    "the API host the upload went to, and its reply must name the uploaded job. Progress and\n"
    "errors go to stderr.\n";

constexpr double kDefaultTimeoutSeconds = 120;
constexpr auto kPollInterval = std::chrono::milliseconds(250);

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
  std::string text, error;
  if (!ReadReply(path, &text, &error)) {
    fprintf(stderr, "transcribe: the %s reply: %s\n", what, error.c_str());
    return nlohmann::json::value_t::discarded;
  }
  if (JsonNestingDepth(text, kMaxReplyDepth) > kMaxReplyDepth) {
    fprintf(stderr, "transcribe: the %s reply is nested more than %zu deep; it is not read\n", what, kMaxReplyDepth);
    return nlohmann::json::value_t::discarded;
  }
  nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
  if (reply.is_discarded() || !reply.is_object()) {
    fprintf(stderr, "transcribe: the %s reply is not JSON: %s\n", what, Printable(text.substr(0, 200)).c_str());
    return nlohmann::json::value_t::discarded;
  }
  return reply;
}

// A string field of a reply, escaped for the terminal ("" when absent).
std::string Field(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? Printable(found->get<std::string>()) : "";
}

// The job id a reply names, as sent ("" when it names none).
std::string JobId(const nlohmann::json& reply) {
  auto found = reply.find("jobid");
  return found != reply.end() && found->is_string() ? found->get<std::string>() : "";
}

std::string Message(const nlohmann::json& reply) {
  return Field(reply, "message").empty() ? Field(reply, "error") : Field(reply, "message");
}

// One fetch of url into path under the guard's watch; the parsed reply, or discarded with the
// reason told. *failed is the exit status when the fetch itself failed.
nlohmann::json Fetch(const std::string& url, const std::string& path, int* failed) {
  run_guard::WatchFile(path, kMaxReplyBytes);
  int32_t code = OmbriVoiceFileDownload(Utf16(url).c_str(), Utf16(path).c_str());
  run_guard::WatchFile("", 0);
  if (code != OMBRIVOICE_OK) {
    fprintf(stderr, "transcribe: fetching the result: %s\n", DescribeDownload(code).c_str());
    *failed = kExitCallFailed;
    return nlohmann::json::value_t::discarded;
  }
  *failed = kExitService;
  return ParseReply(path, "result");
}

// Polls the job's result until it is finished or failed; the run guard's deadline ends a wait
// that takes too long. When jobId is not empty, every reply must name it: one that names
// another job, or none, came from elsewhere (a redirect the download followed) and ends the run.
int WaitForText(const std::string& resultUrl, const std::string& jobId, const std::string& key,
                const std::string& workDir) {
  const std::string problem = ForeignUrlProblem(resultUrl);
  if (!problem.empty()) {
    fprintf(stderr, "transcribe: %s; it is not polled\n", problem.c_str());
    return kExitService;
  }
  std::string url = resultUrl + (resultUrl.find('?') == std::string::npos ? "?" : "&") +
                    "apikey=" + QueryEscape(key);
  std::string lastStatus;
  for (;;) {
    int failed = 0;
    nlohmann::json result = Fetch(url, workDir + "/result.json", &failed);
    if (result.is_discarded()) return failed;
    if (!jobId.empty() && JobId(result) != jobId) {
      fprintf(stderr, "transcribe: the result names the job \"%s\", not the uploaded job \"%s\"; it is not read\n",
              Printable(JobId(result).substr(0, 200)).c_str(), Printable(jobId).c_str());
      return kExitService;
    }
    std::string status = Field(result, "status");
    if (status != lastStatus) fprintf(stderr, "transcribe: job %s\n", status.c_str());
    lastStatus = status;
    if (status == "finished") {
      run_guard::Settle();
      printf("%s\n", Field(result, "text").c_str());
      return kExitOk;
    }
    if (status != "queued" && status != "running") {
      fprintf(stderr, "transcribe: the job ended without text: %s\n", Message(result).c_str());
      return kExitService;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

// Records into workDir until seconds pass (0: until Enter) or Ctrl-C; the path, or "" when
// the recording failed (told on stderr). A recording that broke off is not sent: it is moved
// out of the working folder, which goes at the end, to a file beside it, and its path told.
std::string Record(double seconds, const std::string& workDir) {
  const std::string wavPath = workDir + "/recording.wav";
  int32_t bytes = 0;
  run_guard::EndRecordingOnSignal(true);
  int32_t started = RecordUntilDone(wavPath, seconds, &bytes);
  run_guard::EndRecordingOnSignal(false);  // from here on Ctrl-C ends the run
  if (started != OMBRIVOICE_OK) {
    fprintf(stderr, "transcribe: record: %s\n", DescribeRecorderStart(started).c_str());
    return "";
  }
  if (bytes < 0) {
    const std::string kept = workDir + "-recording.wav";
    std::error_code error;
    std::filesystem::rename(wavPath, kept, error);
    fprintf(stderr, "transcribe: record: stop: %s\ntranscribe: recording kept in %s; nothing was sent\n",
            DescribeRecorderStop(bytes).c_str(), error ? wavPath.c_str() : kept.c_str());
    return "";
  }
  fprintf(stderr, "transcribe: recorded %.2f s\n", RecordedSeconds(bytes));
  return wavPath;
}

// seconds: how long to record (0: until Enter); timeout: how long the service may take.
int Transcribe(Options& options, double seconds, double timeout, const std::string& workDir) {
  std::string key = options.values["key"];
  std::string wavPath = options.positional.empty() ? Record(seconds, workDir) : options.positional[0];
  if (wavPath.empty()) return kExitCallFailed;

  char late[80];
  snprintf(late, sizeof late, "transcribe: the job did not finish within %g s", timeout);
  run_guard::ArmDeadline(timeout, late);
  std::string replyPath = workDir + "/reply.json";
  run_guard::WatchFile(replyPath, kMaxReplyBytes);
  int32_t uploaded = OmbriVoice(Utf16(wavPath).c_str(), Utf16(key).c_str(), Utf16(replyPath).c_str());
  run_guard::WatchFile("", 0);
  fprintf(stderr, "transcribe: upload: %s\n", DescribeUpload(uploaded).c_str());
  if (uploaded != OMBRIVOICE_OK && uploaded != OMBRIVOICE_UPLOAD_ANSWERED_EARLY) return kExitCallFailed;
  nlohmann::json reply = ParseReply(replyPath, "upload");
  if (reply.is_discarded()) return kExitService;
  auto resultUrl = reply.find("result_url");
  if (resultUrl == reply.end() || !resultUrl->is_string() || resultUrl->get<std::string>().empty()) {
    fprintf(stderr, "transcribe: the service refused the upload: %s\n",
            (Message(reply).empty() ? Printable(reply.dump().substr(0, 200)) : Message(reply)).c_str());
    return kExitService;
  }
  fprintf(stderr, "transcribe: job %s queued\n", Field(reply, "jobid").c_str());
  return WaitForText(resultUrl->get<std::string>(), JobId(reply), key, workDir);
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
  if (options.positional.empty() && seconds == 0 && !isatty(STDIN_FILENO)) {
    fprintf(stderr, "transcribe: without a terminal to press Enter in, give --seconds N or a FILE\n");
    return kExitUsage;
  }
  run_guard::Start();
  const std::string workDir = run_guard::MakeTempFolder();
  if (workDir.empty()) {
    fprintf(stderr, "transcribe: cannot make a working folder\n");
    return kExitCallFailed;
  }
  int status = Transcribe(options, seconds, timeout, workDir);
  run_guard::Settle();
  std::error_code ignored;
  std::filesystem::remove_all(workDir, ignored);
  return status;
}
