// A server run as a child process by a test, shared by the library's and the service's tests:
// the project's recognition service (found in the build tree), a script or program that prints
// "listening on 127.0.0.1:PORT" first, or a real server from the system's packages given a
// private configuration on a free loopback port. Its stdout stays on a pipe held open until
// the object goes; it is stopped with a signal and its exit status kept.
#ifndef OMBRIVOICE_TESTS_COMMON_SERVICE_RUNNER_H
#define OMBRIVOICE_TESTS_COMMON_SERVICE_RUNNER_H

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/common/temp_dir.h"

// <build>/service/ombrivoice-service for a test program in <build>/tests/ or
// <build>/service/tests/, or "" when it was not built.
std::string BuiltServiceProgram();

// A loopback port nothing listens on right now, for a server that must be told its port.
int FreeLoopbackPort();

class ServiceRunner {
 public:
  // Runs the built service with args as they are. Without a --data-dir in args it gets a fresh
  // one of its own, removed after it ended; under TSan it gets the service's suppressions.
  explicit ServiceRunner(const std::vector<std::string>& serviceArgs);
  // Runs program --port 0 with args, in this process's environment with the NAME=value entries
  // of environment put over it.
  ServiceRunner(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {});
  // Starts command as it is (a server configured to listen on 127.0.0.1:port) and waits up to
  // 30 s for the port to take a connection; port() is 0 when it did not.
  ServiceRunner(const std::vector<std::string>& command, int port);
  ~ServiceRunner();  // Stop(), then SIGKILL if it has not ended
  ServiceRunner(const ServiceRunner&) = delete;
  ServiceRunner& operator=(const ServiceRunner&) = delete;

  // What the program printed first on stdout (read for up to 30 s; "" when it exited or
  // stayed silent), without its line end. Empty for the command given a port.
  const std::string& firstLine() const { return firstLine_; }
  // The port of "listening on 127.0.0.1:PORT", or the port the command took; 0 when neither.
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Sends signal and waits up to timeoutMs: the exit code, 128 + signal when a signal ended
  // it, or -1 when it did not end in time (or had ended before).
  int StopWith(int signal, int timeoutMs = 20000);
  int Stop(int timeoutMs = 20000) { return StopWith(SIGTERM, timeoutMs); }
  // Waits for the exit, as StopWith without a signal.
  int Wait(int timeoutMs = 20000);

 private:
  // Forks and execs words[0] with its stdout on output_, then reads the first line.
  void Launch(std::vector<std::string> words, const std::vector<std::string>& environment, bool readFirstLine);

  std::unique_ptr<TempDir> dataDir_;  // the service's, when args named none; outlives it
  pid_t pid_ = -1;
  int port_ = 0;
  int output_ = -1;  // the read end of the program's stdout
  std::string firstLine_;
};

#endif
