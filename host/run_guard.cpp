// The guard thread: sigtimedwait on the three signals with a short tick, so that one loop serves
// the signals, the deadline and the watched file. All of its state is under one mutex, which
// the guard holds from the moment it decides to end the process until _exit, so the main
// thread cannot finish a run that the guard is ending.
#include "run_guard.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "host_support.h"

namespace run_guard {
namespace {

using Clock = std::chrono::steady_clock;

// How often the guard looks at the clock and the watched file.
constexpr long kTickNanoseconds = 100 * 1000 * 1000;

struct GuardState {
  std::mutex mutex;                      // guards every field below
  sigset_t signals;                      // SIGINT, SIGTERM and SIGHUP, blocked everywhere but taken here
  std::string tempFolder;                // removed when the guard ends the process
  bool recording = false;                // a signal ends the recording rather than the process
  bool recordingEndAsked = false;        // a signal came while recording, which has yet to end
  bool armed = false;                    // the deadline below is in force
  Clock::time_point deadline;
  std::string deadlineMessage;
  std::string watchedFile;               // "" when none
  unsigned long watchedMaxBytes = 0;
  bool settled = false;                  // the run ends by itself: take no action
};

// Never destroyed: the guard thread may still look at it while the process exits.
GuardState& State() {
  static GuardState* state = new GuardState;
  return *state;
}

// Called with the state locked, which stays locked: the process ends here.
[[noreturn]] void EndProcess(GuardState& state, int status, const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
  if (!state.tempFolder.empty()) {
    // Moved aside first, so that a library call still running cannot make a file in it while
    // it is being removed.
    const std::string aside = state.tempFolder + ".ending";
    std::error_code failed;
    std::filesystem::rename(state.tempFolder, aside, failed);
    std::filesystem::remove_all(failed ? state.tempFolder : aside, failed);
  }
  std::fflush(stderr);
  std::fflush(stdout);
  _exit(status);
}

bool FileTooLarge(const GuardState& state) {
  struct stat info;
  return !state.watchedFile.empty() && stat(state.watchedFile.c_str(), &info) == 0 &&
         static_cast<unsigned long>(info.st_size) > state.watchedMaxBytes;
}

void GuardLoop() {
  GuardState& state = State();
  for (;;) {
    const timespec tick = {0, kTickNanoseconds};
    const int signal = sigtimedwait(&state.signals, nullptr, &tick);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.settled) continue;
    if (signal > 0 && state.recording && !state.recordingEndAsked) {
      state.recordingEndAsked = true;
    } else if (signal > 0) {  // also a second one while the recording has yet to end: it may hang
      EndProcess(state, 128 + signal, "\nombrivoice: interrupted");
    } else if (state.armed && Clock::now() >= state.deadline) {
      EndProcess(state, kExitService, state.deadlineMessage);
    } else if (FileTooLarge(state)) {
      EndProcess(state, kExitService, std::string("ombrivoice: ") + "reply too large: over " +
                                          std::to_string(state.watchedMaxBytes) + " bytes");
    }
  }
}

}  // namespace

void Start() {
  GuardState& state = State();
  sigemptyset(&state.signals);
  sigaddset(&state.signals, SIGINT);
  sigaddset(&state.signals, SIGTERM);
  sigaddset(&state.signals, SIGHUP);  // the terminal closed
  pthread_sigmask(SIG_BLOCK, &state.signals, nullptr);
  std::thread(GuardLoop).detach();
}

std::string MakeTempFolder() {
  GuardState& state = State();
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = std::string(tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp") + "/ombrivoice-XXXXXX";
  std::lock_guard<std::mutex> lock(state.mutex);  // made and noted at once, so a signal cannot leave it
  if (mkdtemp(&pattern[0]) == nullptr) return "";
  state.tempFolder = pattern;
  return pattern;
}

void EndRecordingOnSignal(bool on) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().recording = on;
}

bool RecordingEndAsked() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().recordingEndAsked;
}

void ArmDeadline(double seconds, const std::string& message) {
  GuardState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.armed = true;
  state.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  state.deadlineMessage = message;
}

void WatchFile(const std::string& path, unsigned long maxBytes) {
  GuardState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.watchedFile = path;
  state.watchedMaxBytes = maxBytes;
}

void Settle() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().settled = true;
}

}  // namespace run_guard
