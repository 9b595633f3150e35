// The ombrivoice-service program run as a child process by a test: started with arguments,
// its "listening on" line read for the port, stopped with a signal and its exit status kept.
#ifndef OMBRIVOICE_SERVICE_TESTS_SERVICE_PROCESS_H
#define OMBRIVOICE_SERVICE_TESTS_SERVICE_PROCESS_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/service_test_support.h"

namespace ombrivoice::service::testing {

class ServiceProcess {
 public:
  // Runs the program with args; firstLine() is what it printed first on stdout ("" when it
  // exited without printing). Without a --data-dir in args it gets a fresh one of its own.
  explicit ServiceProcess(const std::vector<std::string>& args);
  ~ServiceProcess();  // SIGKILL and reap when still running
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::string& firstLine() const { return firstLine_; }
  // The port of "listening on 127.0.0.1:PORT", or 0.
  int port() const;
  pid_t pid() const { return pid_; }
  // Sends signal and waits up to five seconds; the exit code, 128 + signal when killed by one,
  // or -1 when it did not end in time.
  int StopWith(int signal);
  // Waits for the exit, as StopWith without a signal.
  int Wait();

 private:
  pid_t pid_ = -1;
  std::string firstLine_;
  std::unique_ptr<TempFolder> dataDir_;  // when args named none; removed after the program ended
};

}  // namespace ombrivoice::service::testing

#endif  // OMBRIVOICE_SERVICE_TESTS_SERVICE_PROCESS_H
