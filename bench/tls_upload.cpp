// The TLS build's upload for the bench: the tests' copy of the core, told to trust the bench's
// test CA and to reach the API host's port 443 at the loopback TLS server, then one upload.
//   ombrivoice_bench_tls_upload CA_PEM PORT WAV KEY REPLY
// Prints the call's result; exits 0 when the call did its work.
#include <cstdio>
#include <string>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s CA_PEM PORT WAV KEY REPLY\n", argv[0]);
    return 2;
  }
  HttpClientTrustForTesting(argv[1]);
  std::string connectTo = std::string(OMBRIVOICE_API_HOST) + ":443:127.0.0.1:" + argv[2];
  HttpClientConnectToForTesting(connectTo.c_str());
  std::u16string wav(argv[3], argv[3] + std::string(argv[3]).size());
  std::u16string key(argv[4], argv[4] + std::string(argv[4]).size());
  std::u16string reply(argv[5], argv[5] + std::string(argv[5]).size());
  int32_t code = OmbriVoice(wav.c_str(), key.c_str(), reply.c_str());
  printf("%d\n", code);
  return code == OMBRIVOICE_OK ? 0 : 1;
}
