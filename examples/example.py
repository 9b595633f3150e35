"""Each call of the library once, from Python with ctypes:
    python3 example.py LIBRARY NEW_RECORDING WAV_FILE API_KEY REPLY_FILE URL DOWNLOADED_FILE
records 3 s into NEW_RECORDING (if a capture device is there), uploads WAV_FILE with API_KEY and
saves the reply, then downloads URL."""
import ctypes
import sys
import time

library, recording, wav, key, reply, url, local = sys.argv[1:8]
lib = ctypes.CDLL(library)
for name, arguments in (("OmbriVoiceRecorderStart", 1), ("OmbriVoice", 3), ("OmbriVoiceFileDownload", 2)):
    getattr(lib, name).argtypes = [ctypes.c_void_p] * arguments
    getattr(lib, name).restype = ctypes.c_int32
lib.OmbriVoiceRecorderStop.argtypes = []
lib.OmbriVoiceRecorderStop.restype = ctypes.c_int32


def wide(text):
    """A NUL-terminated UTF-16 buffer, as the library takes its strings."""
    return ctypes.create_string_buffer(text.encode("utf-16-le") + b"\0\0")


started = lib.OmbriVoiceRecorderStart(wide(recording))
if started == 999:
    time.sleep(3)  # speak now
    print("recorded", lib.OmbriVoiceRecorderStop(), "audio bytes")
else:
    print("no recording:", started)
uploaded = lib.OmbriVoice(wide(wav), wide(key), wide(reply))
print("upload:", uploaded)
downloaded = lib.OmbriVoiceFileDownload(wide(url), wide(local))
print("download:", downloaded)
sys.exit(0 if uploaded == 999 and downloaded == 999 else 1)
