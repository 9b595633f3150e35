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

/* ---- Recognition upload ------------------------------------------------------------------
 * Sends the WAV file at wavPath and apiKey as one multipart POST to the recognition API
 * (plain HTTP, port 80; the proxy in http_proxy is used when set, on Windows the machine's
 * configured proxy) and saves the reply body, byte for byte and whatever its HTTP status, into
 * replyPath (created or truncated). API keys may be up to 890 bytes long in UTF-8, and are
 * sent as UTF-8 on every platform. */
OMBRIVOICE_EXPORT int32_t OmbriVoice(const OmbriVoiceChar* wavPath, const OmbriVoiceChar* apiKey,
                                     const OmbriVoiceChar* replyPath);

#define OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED 1          /* The WAV file cannot be opened, or is not a
                                                        regular file whose size is its length (a
                                                        FIFO, a device, a /proc file). */
#define OMBRIVOICE_UPLOAD_SESSION_FAILED 2           /* The internet session cannot be opened. */
#define OMBRIVOICE_UPLOAD_CONNECT_FAILED 3           /* The API host cannot be set up for connecting. */
#define OMBRIVOICE_UPLOAD_REQUEST_FAILED 4           /* The POST request cannot be opened. */
#define OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED 52222    /* Sending cannot begin: no connection to the
                                                        API host or proxy could be made. */
#define OMBRIVOICE_UPLOAD_HEAD_WRITE_FAILED 51       /* Sending the multipart head fails. */
#define OMBRIVOICE_UPLOAD_WAV_READ_FAILED 7          /* Reading the WAV file fails, or it yields fewer
                                                        bytes than its size when sending began. */
#define OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED 8       /* Sending a piece of audio fails. */
#define OMBRIVOICE_UPLOAD_TAIL_WRITE_FAILED 9        /* Sending the multipart tail (the key) fails. */
#define OMBRIVOICE_UPLOAD_KEY_INVALID 10             /* The key is over 890 UTF-8 bytes, is not valid
                                                        UTF-16 (a lone surrogate), or holds a CR or
                                                        LF, which would end its form field; nothing
                                                        was opened. */
#define OMBRIVOICE_UPLOAD_WAV_SIZE_INVALID 11        /* The WAV size cannot be read, or the request
                                                        body would exceed 2147483647 bytes. */
#define OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED 12         /* The request was sent completely, but the
                                                        reply could not be saved whole: the reply
                                                        file cannot be created or written, or the
                                                        reply broke off. */
#define OMBRIVOICE_UPLOAD_ANSWERED_EARLY 13          /* The service answered before the request
                                                        was sent completely (a refusal such as 401
                                                        or 413); its reply was saved whole. */

/* ---- URL download -----------------------------------------------------------------------
 * Fetches url (http, https, ftp, ftps or file; redirects followed, at most 20 and never to a
 * file URL; the proxies in http_proxy, https_proxy, ftp_proxy and no_proxy apply; on Windows
 * the schemes and proxies are WinINet's) and writes its body, byte for byte and whatever its
 * HTTP status, into localPath (created or truncated). */
OMBRIVOICE_EXPORT int32_t OmbriVoiceFileDownload(const OmbriVoiceChar* url, const OmbriVoiceChar* localPath);

#define OMBRIVOICE_DOWNLOAD_SESSION_FAILED 1         /* The internet session cannot be opened. */
#define OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED 2        /* The URL cannot be opened: unknown or disallowed
                                                        scheme, unreachable server, too many
                                                        redirects; no local file is created. */
#define OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED 3     /* The local file cannot be created; nothing
                                                        was read. */
#define OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF 4         /* The body broke off (or fell short of its
                                                        declared length); the file keeps what
                                                        arrived. */
#define OMBRIVOICE_DOWNLOAD_WRITE_FAILED 5           /* Writing the local file failed (disk full). */

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

#define OMBRIVOICE_RECORDER_DEVICE_OPEN_FAILED 1     /* The capture device cannot be opened (none
                                                        present, busy, no 44100 Hz mono, or the
                                                        sound server did not answer within 2.5 s). */
#define OMBRIVOICE_RECORDER_BUFFER_FAILED 2          /* The buffer cannot be handed to the device. */
#define OMBRIVOICE_RECORDER_CAPTURE_START_FAILED 3   /* Capture cannot be started (or did not
                                                        start within 1.5 s). */
#define OMBRIVOICE_RECORDER_FILE_CREATE_FAILED 4     /* wavPath cannot be created, or its
                                                        placeholder header cannot be written (a
                                                        full disk, /dev/full); no device was
                                                        opened. */
#define OMBRIVOICE_RECORDER_ALREADY_RECORDING 5      /* A recording is running; it goes on
                                                        untouched and wavPath is not created. */
#define OMBRIVOICE_RECORDER_SETUP_FAILED 6           /* The recording cannot be set up (out of
                                                        resources: its thread or events, or on
                                                        Windows keeping the DLL loaded); no
                                                        device was opened and the file is
                                                        removed. */

/* Stops capture, appends the last partial second, writes the finished header and closes the
 * file. Returns the number of audio bytes after the 44-byte header (the file is 44 + that
 * long), or one of the codes below. A recording keeps at most 2147483646 audio bytes (about
 * 6 hours 45 minutes); audio beyond that is dropped and the header stays true. */
OMBRIVOICE_EXPORT int32_t OmbriVoiceRecorderStop(void);

#define OMBRIVOICE_RECORDER_NOT_RECORDING (-1)       /* Stop found no recording; nothing done. */
#define OMBRIVOICE_RECORDER_BROKE_OFF (-2)           /* The recording broke off before the stop:
                                                        capture failed (the sound server died,
                                                        the source was removed) or a write to
                                                        the file failed (disk full). The file is
                                                        closed and holds a valid WAV of the
                                                        audio saved up to then, its header true;
                                                        nothing was written after a failed write. */

#endif /* TOLVEX_OMBRIVOICE_H */
