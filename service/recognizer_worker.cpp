// The recogniser process's loop. Its replies go out on a private copy of stdout, and stdout
// itself is pointed at stderr, so that nothing a library prints can be taken for a reply.
#include "service/recognizer_worker.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>

#include "service/transcription.h"
#include "service/worker_protocol.h"

namespace ombrivoice::service {
namespace {

JobOutcome ProcessFile(Transcriber& transcriber, const std::optional<std::string>& path) {
  JobOutcome outcome;
  std::ifstream file(path.value_or(""), std::ios::binary);
  if (!path || !file) {
    outcome.error = "the uploaded audio cannot be read";
    return outcome;
  }
  try {
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return transcriber(bytes);
  } catch (const std::exception& failure) {  // memory for a long upload's samples, mostly
    outcome.error = std::string("processing failed: ") + failure.what();
    return outcome;
  }
}

}  // namespace

int RunRecognizerWorker(const std::string& modelDir) {
  // Killed with the service even when the service is killed itself; a service that died before
  // this line leaves this process to init, which it notices.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1) return 1;
  // A Ctrl-C in a terminal, or a service manager stopping the whole group, signals this process
  // too. Only the service decides a job's end: it cancels a job (SIGKILL) and queues it again,
  // whereas a recogniser ended by a stop signal of its own would fail the job for good.
  signal(SIGTERM, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  const int replies = dup(STDOUT_FILENO);
  if (replies < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;
  Transcriber transcriber(modelDir);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!WriteWhole(replies, OutcomeLine(ProcessFile(transcriber, AudioPathOf(line))))) return 1;
  }
  close(replies);
  return 0;
}

}  // namespace ombrivoice::service
