// The command line of ombrivoice-service: what it accepts and its usage text.
#ifndef OMBRIVOICE_SERVICE_SERVICE_OPTIONS_H
#define OMBRIVOICE_SERVICE_SERVICE_OPTIONS_H

#include <string>
#include <vector>

#include "service/api_routes.h"
#include "service/job_store.h"

namespace ombrivoice::service {

struct ServiceOptions {
  int port = 0;                   // 0: the system picks a free port
  ApiSettings api;
  JobLimits limits;
  std::string modelDir;           // the recogniser's model folder
  bool help = false;              // --help was given: print the usage and exit 0
};

struct OptionsResult {
  bool ok = false;
  std::string error;              // what is wrong with the command line when !ok
  ServiceOptions options;
};

// Reads the arguments after the program name. At least one --key is required unless --help.
OptionsResult ParseOptions(const std::vector<std::string>& args);

// The usage text printed by --help and after a command-line error.
std::string UsageText();

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_SERVICE_OPTIONS_H
