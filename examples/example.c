/* Each call of the library once, from C:
 *   example NEW_RECORDING WAV_FILE API_KEY REPLY_FILE URL DOWNLOADED_FILE
 * records 3 s into NEW_RECORDING (if a capture device is there), uploads WAV_FILE with API_KEY
 * and saves the reply, then downloads URL. Strings are passed as UTF-16. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <TolvexOmbriVoice.h>

/* ASCII command-line text as a NUL-terminated UTF-16 string (enough for this example). */
static const uint16_t* Wide(const char* text, uint16_t* out, size_t capacity) {
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < capacity; ++i) out[i] = (unsigned char)text[i];
  out[i] = 0;
  return out;
}

int main(int argc, char** argv) {
  uint16_t recording[1024], wav[1024], key[1024], reply[1024], url[1024], local[1024];
  if (argc != 7) {
    fprintf(stderr, "usage: example NEW_RECORDING WAV_FILE API_KEY REPLY_FILE URL DOWNLOADED_FILE\n");
    return 2;
  }
  int32_t started = OmbriVoiceRecorderStart(Wide(argv[1], recording, 1024));
  if (started == OMBRIVOICE_OK) {
    sleep(3); /* speak now */
    printf("recorded %d audio bytes\n", OmbriVoiceRecorderStop());
  } else {
    printf("no recording: %d\n", started);
  }
  int32_t uploaded = OmbriVoice(Wide(argv[2], wav, 1024), Wide(argv[3], key, 1024), Wide(argv[4], reply, 1024));
  printf("upload: %d\n", uploaded);
  int32_t downloaded = OmbriVoiceFileDownload(Wide(argv[5], url, 1024), Wide(argv[6], local, 1024));
  printf("download: %d\n", downloaded);
  return uploaded == OMBRIVOICE_OK && downloaded == OMBRIVOICE_OK ? 0 : 1;
}
