// The service program as a child process: fork and exec with stdout on a pipe, a bounded
// wait for its exit.
#include "support/service_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace ombrivoice::service::testing {
namespace {

// The environment for the program: the test's own, with the service's TSan suppressions added
// under TSan.
std::vector<std::string> ProgramEnvironment() {
  const std::string name = "TSAN_OPTIONS=";
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind(name, 0) != 0) entries.push_back(*entry);
  }
  const char* given = std::getenv("TSAN_OPTIONS");
  std::string options = given != nullptr ? given : "";
#if defined(__SANITIZE_THREAD__)
  options += ":suppressions=" OMBRIVOICE_SERVICE_TSAN_SUPPRESSIONS;
#endif
  if (!options.empty()) entries.push_back(name + options);
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::vector<std::string>& args) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return;
  std::vector<std::string> words = {OMBRIVOICE_SERVICE_PROGRAM};
  words.insert(words.end(), args.begin(), args.end());
  if (std::find(args.begin(), args.end(), "--data-dir") == args.end()) {
    dataDir_ = std::make_unique<TempFolder>();
    words.insert(words.end(), {"--data-dir", dataDir_->path()});
  }
  std::vector<std::string> environment = ProgramEnvironment();
  std::vector<char*> argv = Pointers(words);
  std::vector<char*> envp = Pointers(environment);
  pid_ = fork();
  if (pid_ == 0) {  // only async-signal-safe calls until exec: everything was made before fork
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  char c;
  while (read(pipeEnds[0], &c, 1) == 1 && c != '\n') {
    firstLine_.push_back(c);
  }
  close(pipeEnds[0]);  // the service's later output, if any, goes nowhere
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int ServiceProcess::port() const {
  const std::string prefix = "listening on 127.0.0.1:";
  if (firstLine_.rfind(prefix, 0) != 0) return 0;
  return std::stoi(firstLine_.substr(prefix.size()));
}

int ServiceProcess::StopWith(int signal) {
  if (pid_ > 0) kill(pid_, signal);
  return Wait();
}

int ServiceProcess::Wait() {
  for (int i = 0; i < 500 && pid_ > 0; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace ombrivoice::service::testing
