// ombrivoice-service: the local stand-in for the recognition API. Parses the command line,
// loads any TLS certificate, opens the job store, binds 127.0.0.1, prints the port it listens
// on, serves until SIGTERM or SIGINT. Run with --worker it is the recogniser process instead.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
#include "service/tls_server.h"

namespace {

using namespace ombrivoice::service;
using Clock = std::chrono::steady_clock;

constexpr auto kStopRetry = std::chrono::milliseconds(50);
// How long requests in flight get to be answered after a stop signal. Clients that stall past
// it are left: the process exits, which closes their connections, well within 2 seconds.
constexpr auto kShutdownGrace = std::chrono::milliseconds(1500);

// Waits for SIGTERM or SIGINT (blocked in every thread, so only this one takes them), stops
// the server, and cancels the job being processed, which goes back to the queue. A signal may
// come before the server has started listening, when stop() does nothing yet, so stop is
// repeated until listening has ended.
void StopOnSignal(const sigset_t* signals, httplib::Server* server, JobStore* store,
                  const std::atomic<bool>* listenEnded) {
  int received = 0;
  sigwait(signals, &received);
  if (listenEnded->load()) {
    return;  // the wake-up sent after the server ended by itself
  }
  const Clock::time_point deadline = Clock::now() + kShutdownGrace;
  server->stop();
  store->Stop();
  while (!listenEnded->load()) {
    if (Clock::now() >= deadline) {
      std::fprintf(stderr, "ombrivoice-service: requests still open at shutdown were dropped\n");
      std::fflush(stderr);
      std::_Exit(0);  // every job is committed, and a queued job has its upload on disk
    }
    server->stop();
    std::this_thread::sleep_for(kStopRetry);
  }
}

int Serve(const ServiceOptions& options) {
  const std::string modelProblem = FindModelProblem(options.modelDir);
  if (!modelProblem.empty()) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", modelProblem.c_str());
    return 1;
  }
  // Before the store: a certificate that cannot be used must not take the data folder first.
  std::string error;
  std::unique_ptr<httplib::Server> server = MakeServer(options.tls, &error);
  if (server == nullptr) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", error.c_str());
    return 1;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts, so all inherit it
  signal(SIGPIPE, SIG_IGN);  // a peer gone mid-reply, or a recogniser killed, is an error code

  umask(077);  // the database holds API keys and the uploads users' audio: for the owner alone
  RecognizerProcess recognizer(kOwnProgram, options.modelDir);
  std::unique_ptr<JobStore> store = JobStore::Open(options.dataDir, options.limits, recognizer, &error);
  if (store == nullptr) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", error.c_str());
    return 1;
  }
  ConfigureHttpServer(*server);
  InstallApiRoutes(*server, options.api, *store);
  const int port = BindLoopback(*server, options.port, &error);
  if (port <= 0) {
    std::fprintf(stderr, "ombrivoice-service: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%d\n", kLoopback, port);
  std::fflush(stdout);

  std::atomic<bool> listenEnded{false};
  std::thread stopper(StopOnSignal, &signals, server.get(), store.get(), &listenEnded);
  bool served = server->listen_after_bind();
  listenEnded = true;
  kill(getpid(), SIGTERM);  // wakes the stopper when the server ended without a signal; still blocked, so harmless
  stopper.join();
  store->Stop();
  return served ? 0 : 1;
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
