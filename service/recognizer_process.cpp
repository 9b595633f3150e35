// The recogniser process from the service's side: posix_spawn with the pipes as its stdin and
// stdout and no other descriptor of ours (a client socket held open by the child would never
// close for its client), one request and one reply line per job, SIGKILL to cancel.
#include "service/recognizer_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "service/worker_protocol.h"

namespace ombrivoice::service {
namespace {

constexpr std::size_t kReadPieceBytes = 4096;

JobOutcome Failed(std::string error) {
  JobOutcome outcome;
  outcome.error = std::move(error);
  return outcome;
}

JobOutcome Cancelled() {
  JobOutcome outcome = Failed("cancelled by the service's shutdown");
  outcome.cancelled = true;
  return outcome;
}

bool MakePipe(int ends[2], std::string* error) {
  if (pipe2(ends, O_CLOEXEC) == 0) return true;
  *error = std::string("cannot make a pipe for the recogniser: ") + std::strerror(errno);
  return false;
}

void CloseIfOpen(int* descriptor) {
  if (*descriptor >= 0) close(*descriptor);
  *descriptor = -1;
}

// The child's file actions and attributes: the pipes on 0 and 1, everything above 2 closed,
// and a plain signal set (the service catches SIGTERM and SIGINT through its event loop).
int Spawn(const std::string& program, const std::vector<char*>& argv, int stdinEnd, int stdoutEnd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdinEnd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stdoutEnd, STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int status = posix_spawn(pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return status;
}

}  // namespace

RecognizerProcess::~RecognizerProcess() {
  std::lock_guard<std::mutex> lock(mutex_);
  EndChildLocked();
}

void RecognizerProcess::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  if (child_ > 0) kill(child_, SIGKILL);  // reaped by Process or the destructor, so never a reused pid
}

bool RecognizerProcess::StartLocked(std::string* error) {
  int request[2];
  int reply[2];
  if (!MakePipe(request, error)) {
    return false;
  }
  if (!MakePipe(reply, error)) {
    close(request[0]);
    close(request[1]);
    return false;
  }
  // Named as the service in ps, whatever path runs it.
  std::vector<std::string> words = {"ombrivoice-service", "--worker", "--model-dir", modelDir_};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int status = Spawn(program_, argv, request[0], reply[1], &child_);
  close(request[0]);
  close(reply[1]);
  toChild_ = request[1];
  fromChild_ = reply[0];
  unread_.clear();
  if (status != 0) {
    child_ = -1;
    CloseIfOpen(&toChild_);
    CloseIfOpen(&fromChild_);
    *error = "cannot start the recogniser " + program_ + ": " + std::strerror(status);
    return false;
  }
  return true;
}

// Kills and reaps the child; how it ended, in words.
std::string RecognizerProcess::EndChildLocked() {
  CloseIfOpen(&toChild_);
  CloseIfOpen(&fromChild_);
  if (child_ <= 0) return "was not running";
  kill(child_, SIGKILL);  // harmless when it has ended already: it is a zombie until reaped
  int status = 0;
  while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
  }
  child_ = -1;
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended by signal " + std::to_string(WTERMSIG(status));
}

bool RecognizerProcess::ReadReply(std::string* line) {
  char piece[kReadPieceBytes];
  std::size_t end = unread_.find('\n');
  while (end == std::string::npos) {
    const ssize_t n = read(fromChild_, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the child ended
    unread_.append(piece, static_cast<std::size_t>(n));
    end = unread_.find('\n');
  }
  *line = unread_.substr(0, end);
  unread_.erase(0, end + 1);
  return true;
}

JobOutcome RecognizerProcess::Process(const std::string& audioPath) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return Cancelled();
    std::string error;
    if (child_ <= 0 && !StartLocked(&error)) return Failed(error);
  }
  std::string line;
  if (WriteWhole(toChild_, RequestLine(audioPath)) && ReadReply(&line)) {
    std::optional<JobOutcome> outcome = OutcomeOf(line);
    if (outcome) return *outcome;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string ending = EndChildLocked();  // the next job starts a fresh one
  if (cancelled_) return Cancelled();
  return Failed("the recogniser process " + ending + " during the job");
}

}  // namespace ombrivoice::service
