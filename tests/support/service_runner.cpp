// The service as a child process: fork and exec with its stdout on a pipe, the first line read
// with a deadline, SIGTERM to stop and a bounded wait for the exit.
#include "support/service_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

namespace {

constexpr int kStartMs = 30000;

// Reads one line from descriptor within timeoutMs ("" on timeout, error or end).
std::string ReadLine(int descriptor, int timeoutMs) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.empty() || line.back() != '\n') {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait = {descriptor, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) return "";
    char c;
    if (read(descriptor, &c, 1) != 1) return "";
    line += c;
  }
  return line;
}

// The environment with the NAME=value entries of changes put over it.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    bool replaced = false;
    for (const std::string& change : changes) {
      replaced = replaced || text.compare(0, change.find('=') + 1, change, 0, change.find('=') + 1) == 0;
    }
    if (!replaced) entries.push_back(text);
  }
  entries.insert(entries.end(), changes.begin(), changes.end());
  return entries;
}

// Pointers to the words, ending in nullptr, as exec wants them.
std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(&word[0]);
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::string BuiltServiceProgram() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "";
  std::string path(self, static_cast<size_t>(length));
  path = path.substr(0, path.rfind('/'));                          // <build>/tests
  path = path.substr(0, path.rfind('/')) + "/service/ombrivoice-service";
  struct stat status;
  return stat(path.c_str(), &status) == 0 && (status.st_mode & S_IXUSR) != 0 ? path : "";
}

ServiceRunner::ServiceRunner(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& environment) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> words = {program, "--port", "0"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<std::string> entries = ChangedEnvironment(environment);
  std::vector<char*> argv = Pointers(words);
  std::vector<char*> envp = Pointers(entries);
  pid_ = fork();
  if (pid_ == 0) {  // only async-signal-safe calls until exec: everything was made before fork
    dup2(out[1], STDOUT_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  output_ = out[0];  // kept open: a later line must not meet a closed pipe
  std::string line = pid_ > 0 ? ReadLine(output_, kStartMs) : "";
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + prefix.size());
}

ServiceRunner::~ServiceRunner() {
  if (pid_ > 0 && Stop() == -1 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
}

int ServiceRunner::Stop(int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}
