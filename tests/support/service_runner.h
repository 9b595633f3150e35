// A server run as a child process by a test and stopped with SIGTERM when the object goes: the
// stand-in recognition service (found next to the test program in the build tree, started with
// --port 0, its port read from its first line), or a real server from the system's packages
// given a private configuration on a free loopback port.
#ifndef OMBRIVOICE_TESTS_SERVICE_RUNNER_H
#define OMBRIVOICE_TESTS_SERVICE_RUNNER_H

#include <sys/types.h>

#include <string>
#include <vector>

// <build>/service/ombrivoice-service for a test program in <build>/tests/, or "" when it was
// not built.
std::string BuiltServiceProgram();

// A loopback port nothing listens on right now, for a server that must be told its port.
int FreeLoopbackPort();

class ServiceRunner {
 public:
  // Starts program --port 0 with args, in this process's environment with the NAME=value
  // entries of environment put over it, and waits up to 30 s for "listening on
  // 127.0.0.1:PORT"; port() is 0 when it did not come.
  ServiceRunner(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {});
  // Starts command as it is (a server configured to listen on 127.0.0.1:port) and waits up to
  // 30 s for the port to take a connection; port() is 0 when it did not.
  ServiceRunner(const std::vector<std::string>& command, int port);
  ~ServiceRunner();  // Stop(), then SIGKILL if it has not ended
  ServiceRunner(const ServiceRunner&) = delete;
  ServiceRunner& operator=(const ServiceRunner&) = delete;

  int port() const { return port_; }
  // Sends SIGTERM and waits up to timeoutMs: the exit status as waitpid gives it, or -1 when
  // it did not end in time (or was stopped before).
  int Stop(int timeoutMs = 20000);

 private:
  // Forks and execs words[0] with its stdout on output_.
  void Launch(std::vector<std::string> words, const std::vector<std::string>& environment);

  pid_t pid_ = -1;
  int port_ = 0;
  int output_ = -1;  // the read end of the service's stdout
};

#endif
