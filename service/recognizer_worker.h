// The recogniser process: what `ombrivoice-service --worker` runs. It answers each request line
// on stdin with the outcome of that upload on stdout, loading the model once, until stdin ends.
#ifndef OMBRIVOICE_SERVICE_RECOGNIZER_WORKER_H
#define OMBRIVOICE_SERVICE_RECOGNIZER_WORKER_H

#include <string>

namespace ombrivoice::service {

// Serves requests until stdin ends; the exit status. It dies with the service that started it.
int RunRecognizerWorker(const std::string& modelDir);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_RECOGNIZER_WORKER_H
