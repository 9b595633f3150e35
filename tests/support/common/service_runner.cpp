// A server as a child process: fork and exec with its stdout on a pipe, the first line read
// with a deadline, a signal to stop and a bounded wait for the exit.
#include "support/common/service_runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

namespace {

constexpr int kStartMs = 30000;

// Reads one line from descriptor within timeoutMs, without its line end: what came before a
// time-out, an error or the end.
std::string ReadLine(int descriptor, int timeoutMs) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait = {descriptor, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) return line;
    char c;
    if (read(descriptor, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

// The exit code, or 128 + the signal that ended the process.
int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// TSAN_OPTIONS for the service: the test's own, with the service's suppressions under TSan.
std::vector<std::string> ServiceEnvironment() {
  const char* given = std::getenv("TSAN_OPTIONS");
  std::string options = given != nullptr ? given : "";
#if defined(__SANITIZE_THREAD__)
  options += ":suppressions=" OMBRIVOICE_SERVICE_TSAN_SUPPRESSIONS;
#endif
  if (options.empty()) return {};
  return {"TSAN_OPTIONS=" + options};
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

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Whether a connection to the loopback port is taken.
bool Accepts(int port) {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  bool accepted = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (probe >= 0) close(probe);
  return accepted;
}

}  // namespace

int FreeLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  bool bound = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (probe >= 0) close(probe);
  return bound ? ntohs(address.sin_port) : 0;
}

std::string BuiltServiceProgram() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "";
  std::string path(self, static_cast<size_t>(length));
  path = path.substr(0, path.rfind('/'));  // <build>/tests or <build>/service/tests
  path = path.substr(0, path.rfind('/'));  // <build> or <build>/service
  for (const std::string& candidate : {path + "/service/ombrivoice-service", path + "/ombrivoice-service"}) {
    struct stat status;
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_IXUSR) != 0) {
      return candidate;
    }
  }
  return "";
}

ServiceRunner::ServiceRunner(const std::vector<std::string>& serviceArgs) {
  std::vector<std::string> words = {BuiltServiceProgram()};
  words.insert(words.end(), serviceArgs.begin(), serviceArgs.end());
  if (std::find(serviceArgs.begin(), serviceArgs.end(), "--data-dir") == serviceArgs.end()) {
    dataDir_ = std::make_unique<TempDir>();
    words.insert(words.end(), {"--data-dir", dataDir_->path()});
  }
  Launch(words, ServiceEnvironment(), true);
}

ServiceRunner::ServiceRunner(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& environment) {
  std::vector<std::string> words = {program, "--port", "0"};
  words.insert(words.end(), args.begin(), args.end());
  Launch(words, environment, true);
}

ServiceRunner::ServiceRunner(const std::vector<std::string>& command, int port) {
  Launch(command, {}, false);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMs);
  while (pid_ > 0 && port_ == 0 && std::chrono::steady_clock::now() < deadline &&
         waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (Accepts(port)) port_ = port;
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ServiceRunner::Launch(std::vector<std::string> words, const std::vector<std::string>& environment,
                           bool readFirstLine) {
  int out[2];
  if (words[0].empty() || pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> entries = ChangedEnvironment(environment);
  std::vector<char*> argv = Pointers(words);
  std::vector<char*> envp = Pointers(entries);
  pid_ = fork();
  if (pid_ == 0) {  // only async-signal-safe calls until exec: everything was made before fork
    dup2(out[1], STDOUT_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  output_ = out[0];  // kept open: a later line must not meet a closed pipe
  if (!readFirstLine || pid_ <= 0) return;
  firstLine_ = ReadLine(output_, kStartMs);
  const std::string prefix = "listening on 127.0.0.1:";
  if (firstLine_.rfind(prefix, 0) == 0) port_ = std::atoi(firstLine_.c_str() + prefix.size());
}

ServiceRunner::~ServiceRunner() {
  if (pid_ > 0 && Stop() == -1 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
}

int ServiceRunner::StopWith(int signal, int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  return Wait(timeoutMs);
}

int ServiceRunner::Wait(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return ExitCode(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}
