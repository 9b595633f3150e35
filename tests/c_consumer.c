/* A C host that links the shared library: the header compiles as C, and the exported names
 * resolve and answer with their documented codes. */
#include <stdio.h>
#include <TolvexOmbriVoice.h>

static const uint16_t kMissingWav[] = {'/', 'n', 'o', '/', 'a', '.', 'w', 'a', 'v', 0};
static const uint16_t kKey[] = {'k', 0};
static const uint16_t kReply[] = {'/', 'n', 'o', '/', 'r', 0};
static const uint16_t kMissingUrl[] = {'f', 'i', 'l', 'e', ':', '/', '/', '/', 'n', 'o', '/', 'x', 0};

int main(void) {
  int32_t upload = OmbriVoice(kMissingWav, kKey, kReply);
  int32_t download = OmbriVoiceFileDownload(kMissingUrl, kReply);
  printf("upload %d, download %d\n", upload, download);
  return upload == OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED && download == OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED ? 0 : 1;
}
