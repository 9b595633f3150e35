/* TolvexOmbriVoice: record speech into a WAV file, send a WAV file to the asynchronous
 * speech-recognition API, and download any URL into a file.
 *
 * Every string argument is a NUL-terminated string of 16-bit UTF-16 code units owned by the
 * caller; the library only reads it during the call. On Linux paths are stored on disk as
 * UTF-8; on Windows they are the system's own UTF-16 names. Every call is synchronous and
 * returns a 32-bit signed result: 999 when the call did its work, otherwise the code of the
 * step that failed (tables below). Passing a null pointer is outside the contract. The library
 * never prints, never changes the locale or signal handling, and starts no thread except the
 * threads of a running recording.
 */
#ifndef TOLVEX_OMBRIVOICE_H
#define TOLVEX_OMBRIVOICE_H

#include <stdint.h>

/* OmbriVoiceChar is a 16-bit UTF-16 code unit on every platform: wchar_t on Windows (the DLL
 * exports the four functions by name and at ordinals 1 to 4), char16_t in C++ and uint16_t in
 * C elsewhere. */
#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t OmbriVoiceChar;
#ifdef __cplusplus
#define OMBRIVOICE_EXPORT extern "C"
#else
#define OMBRIVOICE_EXPORT extern
#endif
#elif defined(__cplusplus)
typedef char16_t OmbriVoiceChar;
#define OMBRIVOICE_EXPORT extern "C" __attribute__((visibility("default")))
#else
typedef uint16_t OmbriVoiceChar;
#define OMBRIVOICE_EXPORT extern __attribute__((visibility("default")))
#endif

/* The call did its work. */
#define OMBRIVOICE_OK 999

/* Each call's result codes are listed once, under the call, as lines
 *   X(code, constant, meaning)
 * of a list macro. The constants are made from these lists (as enumerators, so C and C++
 * programs use them alike), and a program can make its own table from a list, e.g.
 *   #define MY_CASE(code, constant, meaning) case constant: return meaning;
 *   switch (result) { OMBRIVOICE_UPLOAD_RESULTS(MY_CASE) }
 * Each call's OMBRIVOICE_..._OK_MEANING says what 999 means for it. */
#define OMBRIVOICE_ENUMERATOR_(code, constant, meaning) constant = code,

/* ---- Recognition upload ------------------------------------------------------------------
 * Sends the WAV file at wavPath and apiKey as one multipart POST to the recognition API
 * (plain HTTP, port 80; the proxy in http_proxy is used when set, on Windows the machine's
 * configured proxy) and saves the reply body, byte for byte and whatever its HTTP status, into
 * replyPath (created or truncated). API keys may be up to 890 bytes long in UTF-8, and are
 * sent as UTF-8 on every platform. */
OMBRIVOICE_EXPORT int32_t OmbriVoice(const OmbriVoiceChar* wavPath, const OmbriVoiceChar* apiKey,
                                     const OmbriVoiceChar* replyPath);

#define OMBRIVOICE_UPLOAD_OK_MEANING                                                              \
  "the request was sent completely and the reply was saved whole"
#define OMBRIVOICE_UPLOAD_RESULTS(X)                                                              \
  X(1, OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED,                                                         \
    "the WAV file cannot be opened, or is not a regular file whose size is its length (a FIFO, "  \
    "a device, a /proc file); nothing was sent")                                                  \
  X(2, OMBRIVOICE_UPLOAD_SESSION_FAILED, "the internet session cannot be opened")                 \
  X(3, OMBRIVOICE_UPLOAD_CONNECT_FAILED, "the API host cannot be set up for connecting")          \
  X(4, OMBRIVOICE_UPLOAD_REQUEST_FAILED, "the POST request cannot be opened")                     \
  X(52222, OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED,                                                   \
    "sending cannot begin: no connection to the API host or proxy could be made")                 \
  X(51, OMBRIVOICE_UPLOAD_HEAD_WRITE_FAILED, "sending the multipart head failed")                 \
  X(7, OMBRIVOICE_UPLOAD_WAV_READ_FAILED,                                                         \
    "reading the WAV file failed, or it yielded fewer bytes than its size when sending began")    \
  X(8, OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED,                                                      \
    "sending a piece of audio failed (the connection broke or stalled)")                          \
  X(9, OMBRIVOICE_UPLOAD_TAIL_WRITE_FAILED,                                                       \
    "sending the multipart tail, which carries the key, failed")                                  \
  X(10, OMBRIVOICE_UPLOAD_KEY_INVALID,                                                            \
    "the API key is over 890 UTF-8 bytes, is not valid UTF-16 (a lone surrogate), or holds a CR " \
    "or LF, which would end its form field; nothing was opened")                                  \
  X(11, OMBRIVOICE_UPLOAD_WAV_SIZE_INVALID,                                                       \
    "the WAV file's size cannot be read, or the request body (the multipart head, the WAV file "  \
    "and the tail with the key) would exceed 2147483647 bytes; nothing was sent")                 \
  X(12, OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED,                                                        \
    "the request was sent completely, but the reply could not be saved whole: the reply file "    \
    "cannot be created or written, or the reply broke off")                                       \
  X(13, OMBRIVOICE_UPLOAD_ANSWERED_EARLY,                                                         \
    "the service answered before the request was sent completely (a refusal such as 401 or "     \
    "413); its reply was saved whole")
enum { OMBRIVOICE_UPLOAD_RESULTS(OMBRIVOICE_ENUMERATOR_) };

/* ---- URL download -----------------------------------------------------------------------
 * Fetches url (http, https, ftp, ftps or file; redirects followed, at most 20 and never to a
 * file URL; the proxies in http_proxy, https_proxy, ftp_proxy and no_proxy apply; on Windows
 * the schemes and proxies are WinINet's) and writes its body, byte for byte and whatever its
 * HTTP status, into localPath (created or truncated). */
OMBRIVOICE_EXPORT int32_t OmbriVoiceFileDownload(const OmbriVoiceChar* url, const OmbriVoiceChar* localPath);

#define OMBRIVOICE_DOWNLOAD_OK_MEANING "the whole body was saved"
#define OMBRIVOICE_DOWNLOAD_RESULTS(X)                                                            \
  X(1, OMBRIVOICE_DOWNLOAD_SESSION_FAILED, "the internet session cannot be opened")               \
  X(2, OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED,                                                       \
    "the URL cannot be opened: an unknown or disallowed scheme, an unreachable or refusing "      \
    "server, too many redirects or one to a file URL, a missing local file, or a reply whose "    \
    "length cannot be known; no local file is created")                                          \
  X(3, OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED,                                                    \
    "the local file cannot be created; nothing was read")                                         \
  X(4, OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF,                                                        \
    "the body broke off (the connection was lost or stalled, or the body fell short of its "      \
    "declared length); the file keeps what arrived")                                              \
  X(5, OMBRIVOICE_DOWNLOAD_WRITE_FAILED, "writing the local file failed (a full disk)")
enum { OMBRIVOICE_DOWNLOAD_RESULTS(OMBRIVOICE_ENUMERATOR_) };

/* ---- Recording ---------------------------------------------------------------------------
 * Records the default capture device (on Linux ALSA's "default" PCM, which reaches PulseAudio
 * or PipeWire on a desktop; on Windows the wave mapper) as 16-bit mono PCM at 44100 Hz into a
 * WAV file. One recording runs at a time; start and stop may be called from different threads.
 * Unloading the library during a recording stops it and finishes its file on Linux; on Windows
 * the library stays loaded from its first recording on, so the recording goes on and can still
 * be stopped. A process that exits during a recording leaves its file finished. On Linux start
 * returns within five seconds and stop within half a second, whatever the sound server does
 * (frozen, suspended, killed). */

/* The recording format, the same in every file: PCM, 16-bit samples, one channel. */
#define OMBRIVOICE_RECORDING_SAMPLE_RATE 44100        /* samples per second */
#define OMBRIVOICE_RECORDING_CHANNELS 1
#define OMBRIVOICE_RECORDING_BITS_PER_SAMPLE 16
#define OMBRIVOICE_RECORDING_BYTES_PER_SECOND                                               \
  (OMBRIVOICE_RECORDING_SAMPLE_RATE * OMBRIVOICE_RECORDING_CHANNELS *                       \
   OMBRIVOICE_RECORDING_BITS_PER_SAMPLE / 8)          /* 88200 */

/* Creates or truncates wavPath, writes a 44-byte placeholder header (true for 0 audio bytes)
 * and starts capture, which goes on after the call returns. Returns 999 or one of the codes
 * below; after 1, 2, 3 or 4 no device is left open and a regular file it created is removed. */
OMBRIVOICE_EXPORT int32_t OmbriVoiceRecorderStart(const OmbriVoiceChar* wavPath);

#define OMBRIVOICE_RECORDER_START_OK_MEANING "recording"
#define OMBRIVOICE_RECORDER_START_RESULTS(X)                                                      \
  X(1, OMBRIVOICE_RECORDER_DEVICE_OPEN_FAILED,                                                    \
    "the capture device cannot be opened (none present, busy, no 44100 Hz mono, or the sound "    \
    "server did not answer within 2.5 s)")                                                        \
  X(2, OMBRIVOICE_RECORDER_BUFFER_FAILED, "the buffer cannot be handed to the device")            \
  X(3, OMBRIVOICE_RECORDER_CAPTURE_START_FAILED,                                                  \
    "capture cannot be started (or did not start within 1.5 s)")                                  \
  X(4, OMBRIVOICE_RECORDER_FILE_CREATE_FAILED,                                                    \
    "the WAV file cannot be created, or its placeholder header cannot be written (a full disk, "  \
    "/dev/full); no device was opened")                                                           \
  X(5, OMBRIVOICE_RECORDER_ALREADY_RECORDING,                                                     \
    "a recording is already running; it goes on untouched and the WAV file is not created")       \
  X(6, OMBRIVOICE_RECORDER_SETUP_FAILED,                                                          \
    "the recording cannot be set up (out of resources: its thread or events, or on Windows "      \
    "keeping the DLL loaded); no device was opened and the file is removed")
enum { OMBRIVOICE_RECORDER_START_RESULTS(OMBRIVOICE_ENUMERATOR_) };

/* Stops capture, appends the last partial second, writes the finished header and closes the
 * file. Returns the number of audio bytes after the 44-byte header (the file is 44 + that
 * long), or one of the negative codes below. A recording keeps at most 2147483646 audio bytes
 * (about 6 hours 45 minutes); audio beyond that is dropped and the header stays true. */
OMBRIVOICE_EXPORT int32_t OmbriVoiceRecorderStop(void);

#define OMBRIVOICE_RECORDER_STOP_RESULTS(X)                                                       \
  X(-1, OMBRIVOICE_RECORDER_NOT_RECORDING, "no recording was running; nothing was done")          \
  X(-2, OMBRIVOICE_RECORDER_BROKE_OFF,                                                            \
    "the recording broke off before the stop: capture failed (the sound server died, the "        \
    "source was removed) or a write to the file failed (a full disk); the file is closed and "    \
    "holds a valid WAV of the audio saved up to then, its header true, and nothing written "      \
    "after a failed write")
enum { OMBRIVOICE_RECORDER_STOP_RESULTS(OMBRIVOICE_ENUMERATOR_) };
#undef OMBRIVOICE_ENUMERATOR_

#endif /* TOLVEX_OMBRIVOICE_H */
