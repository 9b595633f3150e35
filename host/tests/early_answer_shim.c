/* Stands in for the library's upload when preloaded into the command line: it saves a refusal
 * as the reply and returns 13, the upload's result when the service answered before the whole
 * request was sent. The command line must read that reply as it reads one after 999. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* The reply path arrives as UTF-16; the tests use ASCII paths only. */
static void Narrow(const uint16_t* wide, char* out, size_t size) {
  size_t i = 0;
  for (; wide[i] != 0 && i + 1 < size; ++i) out[i] = (char)wide[i];
  out[i] = '\0';
}

int32_t OmbriVoice(const uint16_t* wavPath, const uint16_t* apiKey, const uint16_t* replyPath) {
  (void)wavPath;
  (void)apiKey;
  char path[4096];
  Narrow(replyPath, path, sizeof path);
  FILE* reply = fopen(path, "wb");
  if (reply == NULL) return 12;
  const char* body = getenv("OMBRIVOICE_SHIM_REPLY");
  fputs(body != NULL ? body : "{}", reply);
  fclose(reply);
  return 13;
}
