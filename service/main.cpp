// ombrivoice-service: the local stand-in for the recognition API. Parses the command line,
// loads any TLS certificate, opens the job store, binds 127.0.0.1, prints the port it listens
// on, serves until SIGTERM or SIGINT. Run with --worker it is the recogniser process instead.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "service/api_routes.h"
#include "service/http_server.h"
#include "service/job_store.h"
#include "service/recognizer.h"
#include "service/recognizer_process.h"
#include "service/recognizer_worker.h"
#include "service/service_options.h"

namespace {

using namespace ombrivoice::service;

// Lets this process open as many descriptors as its hard limit allows, up to what the server's
// connections can use. Done here, at the program's start, because the limit is the whole
// process's: the server only reads it, so that a program embedding it keeps its own limits.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, kMaxConnections + kDescriptorsKeptFree);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

int Serve(const ServiceOptions& options) {
  const std::string modelProblem = FindModelProblem(options.modelDir);
  if (!modelProblem.empty()) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", modelProblem.c_str());
    return 1;
  }
  // Before the store: a certificate that cannot be used must not take the data folder first.
  std::string error;
  RaiseDescriptorLimit();  // before the server, which sizes its connection cap by the limit
  HttpLimits limits;
  limits.maxBodyBytes = options.api.maxBodyBytes;
  std::unique_ptr<HttpServer> server = HttpServer::Make(options.tls, limits, &error);
  if (server == nullptr) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", error.c_str());
    return 1;
  }
  // Serving ends only so. A signal set does not unblock what the parent left blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  server->StopOnSignals({SIGTERM, SIGINT});
  signal(SIGPIPE, SIG_IGN);  // a peer gone mid-reply, or a recogniser killed, is an error code

  umask(077);  // the database holds key digests and the uploads users' audio: for the owner alone
  RecognizerProcess recognizer(kOwnProgram, options.modelDir);
  std::unique_ptr<JobStore> store = JobStore::Open(options.dataDir, options.limits, recognizer, &error);
  if (store == nullptr) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", error.c_str());
    return 1;
  }
  const int port = server->Bind(options.port, &error);
  if (port <= 0) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%d\n", kLoopback, port);
  std::fflush(stdout);

  // Stopping the store cancels the job being processed, which goes back to the queue: once it
  // is done every job is committed, and a queued job has its upload on disk. It starts as soon
  // as a signal stops the server, alongside the requests' drain, so the exit does not wait for
  // a recognition to run on through the drain's grace.
  std::thread storeStop;
  server->OnStopBegun([&storeStop, &store] { storeStop = std::thread([&store] { store->Stop(); }); });
  const bool allAnswered = server->Serve(MakeApiHandlers(options.api, *store));
  if (storeStop.joinable()) {
    storeStop.join();
  } else {
    store->Stop();
  }
  if (!allAnswered) {
    std::fprintf(stderr, "ombrivoice-service: requests still open at shutdown were dropped\n");
    std::fflush(stderr);
    std::_Exit(0);  // the process's end closes the stalled connections
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  OptionsResult parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.ok) {
    std::fprintf(stderr, "ombrivoice-service: %s\n%s", parsed.error.c_str(), UsageText().c_str());
    return 2;
  }
  if (parsed.options.help) {
    std::printf("%s", UsageText().c_str());
    return 0;
  }
  if (parsed.options.worker) {
    return RunRecognizerWorker(parsed.options.modelDir);
  }
  return Serve(parsed.options);
}
