// The service program as a child process: fork and exec with stdout on a pipe, a bounded
// wait for its exit.
#include "support/service_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace ombrivoice::service::testing {

ServiceProcess::ServiceProcess(const std::vector<std::string>& args) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return;
  std::vector<char*> argv;
  std::string program = OMBRIVOICE_SERVICE_PROGRAM;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execv(argv[0], argv.data());
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
