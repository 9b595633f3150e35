// ombrivoice-service: the local stand-in for the recognition API. Parses the command line,
// binds 127.0.0.1, prints the port it listens on, serves until SIGTERM or SIGINT.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "service/api_routes.h"
#include "service/job_store.h"
#include "service/service_options.h"
#include "service/transcription.h"

namespace {

using namespace ombrivoice::service;

constexpr const char* kLoopback = "127.0.0.1";
constexpr auto kStopRetry = std::chrono::milliseconds(50);

// Waits for SIGTERM or SIGINT (blocked in every thread, so only this one takes them) and stops
// the server. A signal may come before the server has started listening, when stop() does
// nothing yet, so stop is repeated until listening has ended.
void StopOnSignal(const sigset_t* signals, httplib::Server* server, const std::atomic<bool>* listenEnded) {
  int received = 0;
  sigwait(signals, &received);
  while (!listenEnded->load()) {
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
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts, so all inherit it

  auto transcriber = std::make_shared<Transcriber>(options.modelDir);
  JobStore store(options.limits, [transcriber](const std::string& wav) { return (*transcriber)(wav); });
  httplib::Server server;
  InstallApiRoutes(server, options.api, store);
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(kLoopback);
  } else if (!server.bind_to_port(kLoopback, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "ombrivoice-service: cannot listen on %s:%d\n", kLoopback, options.port);
    return 1;
  }
  std::printf("listening on %s:%d\n", kLoopback, port);
  std::fflush(stdout);

  std::atomic<bool> listenEnded{false};
  std::thread stopper(StopOnSignal, &signals, &server, &listenEnded);
  bool served = server.listen_after_bind();
  listenEnded = true;
  kill(getpid(), SIGTERM);  // wakes the stopper when the server ended without a signal; still blocked, so harmless
  stopper.join();
  store.Stop();
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
  return Serve(parsed.options);
}
