// The command line of ombrivoice-service: what it accepts, where its jobs are kept by default,
// and its usage text.
#ifndef OMBRIVOICE_SERVICE_SERVICE_OPTIONS_H
#define OMBRIVOICE_SERVICE_SERVICE_OPTIONS_H

#include <string>
#include <vector>

#include "service/api_routes.h"
#include "service/job_store.h"
#include "service/tls_server.h"

namespace ombrivoice::service {

struct ServiceOptions {
  int port = 0;                   // 0: the system picks a free port
  ApiSettings api;
  JobLimits limits;
  std::string dataDir;            // the jobs' database and uploads; see DefaultDataDir
  std::string modelDir;           // the recogniser's model folder
  TlsFiles tls;                   // --tls-cert and --tls-key, both or neither: HTTPS instead of HTTP
  bool help = false;              // --help was given: print the usage and exit 0
  bool worker = false;            // --worker: run as the recogniser process the service starts
};

struct OptionsResult {
  bool ok = false;
  std::string error;              // what is wrong with the command line when !ok
  ServiceOptions options;
};

// Reads the arguments after the program name. At least one --key is required unless --help or
// --worker, and --tls-cert and --tls-key come together (the files are read when the server is
// made). Without --data-dir the folder is DefaultDataDir of the environment.
OptionsResult ParseOptions(const std::vector<std::string>& args);

// xdgStateHome + "/ombrivoice-service" when it is an absolute path, else home +
// "/.local/state/ombrivoice-service"; "" when neither is usable. Either may be null.
std::string DefaultDataDir(const char* xdgStateHome, const char* home);

// The usage text printed by --help and after a command-line error.
std::string UsageText();

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_SERVICE_OPTIONS_H
