"""Record speech into WAV files, send them to the speech-recognition API, download URLs.

A thin interface over the TolvexOmbriVoice library's four C functions. Every call blocks until
its work is done. A call that fails raises OmbriVoiceError, which carries the C function's
name, its result code and the code's meaning::

    import ombrivoice

    with ombrivoice.Recorder("speech.wav") as recorder:
        input("speak, then press Enter")
    ombrivoice.upload("speech.wav", "MY-KEY", "reply.json")
    ombrivoice.download("http://127.0.0.1:8080/1/api/async/job/ID/result?apikey=MY-KEY", "result.json")
    job = json.loads(ombrivoice.read_reply("reply.json"))

The library is the installed libTolvexOmbriVoice.so.1 (TolvexOmbriVoice.dll on Windows), or
the file named by the environment variable OMBRIVOICE_LIBRARY.
"""

import ctypes
import os
import sys
import threading
import zlib
from typing import Optional, Union

__all__ = ["OK", "OmbriVoiceError", "Recorder", "RecordingBrokeOff", "download", "read_reply", "upload"]

OK = 999
"""The result of a call that did its work."""

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# The meanings of the result codes, word for word those of the C header's lists
# (OMBRIVOICE_UPLOAD_RESULTS and the others), which the command line prints too; the source
# tree's tests/check_result_codes.py holds them to the header.
_UPLOAD_MEANINGS = {
    1: "the WAV file cannot be opened, or is not a regular file whose size is its length (a FIFO, "
       "a device, a /proc file); nothing was sent",
    2: "the internet session cannot be opened",
    3: "the API host cannot be set up for connecting",
    4: "the POST request cannot be opened",
    52222: "sending cannot begin: no connection to the API host or proxy could be made",
    51: "sending the multipart head failed",
    7: "reading the WAV file failed, or it yielded fewer bytes than its size when sending began",
    8: "sending a piece of audio failed (the connection broke or stalled)",
    9: "sending the multipart tail, which carries the key, failed",
    10: "the API key is over 890 UTF-8 bytes, is not valid UTF-16 (a lone surrogate), or holds a CR "
        "or LF, which would end its form field; nothing was opened",
    11: "the WAV file's size cannot be read, or the request body (the multipart head, the WAV file "
        "and the tail with the key) would exceed 2147483647 bytes; nothing was sent",
    12: "the request was sent completely, but the reply could not be saved whole: the reply file "
        "cannot be created or written, or the reply broke off",
    13: "the service answered before the request was sent completely (a refusal such as 401 or "
        "413); its reply was saved whole",
}
_DOWNLOAD_MEANINGS = {
    1: "the internet session cannot be opened",
    2: "the URL cannot be opened: an unknown or disallowed scheme, an unreachable or refusing "
       "server, too many redirects or one to a file URL, a missing local file, or a reply whose "
       "length cannot be known; no local file is created",
    3: "the local file cannot be created; nothing was read",
    4: "the body broke off (the connection was lost or stalled, or the body fell short of its "
       "declared length); the file keeps what arrived",
    5: "writing the local file failed (a full disk)",
}
_START_MEANINGS = {
    1: "the capture device cannot be opened (none present, busy, no 44100 Hz mono, or the sound "
       "server did not answer within 2.5 s)",
    2: "the buffer cannot be handed to the device",
    3: "capture cannot be started (or did not start within 1.5 s)",
    4: "the WAV file cannot be created, or its placeholder header cannot be written (a full disk, "
       "/dev/full); no device was opened",
    5: "a recording is already running; it goes on untouched and the WAV file is not created",
    6: "the recording cannot be set up (out of resources: its thread or events, or on Windows "
       "keeping the DLL loaded); no device was opened and the file is removed",
}
_STOP_MEANINGS = {
    -1: "no recording was running; nothing was done",
    -2: "the recording broke off before the stop: capture failed (the sound server died, the "
        "source was removed) or a write to the file failed (a full disk); the file is closed and "
        "holds a valid WAV of the audio saved up to then, its header true, and nothing written "
        "after a failed write",
}
_NOT_RECORDING = -1
_BROKE_OFF = -2


class OmbriVoiceError(Exception):
    """A library call that did not do its work.

    Attributes:
        call: the C function's name, e.g. "OmbriVoice".
        code: its result code, e.g. 1.
        meaning: what the code means, in words.
    """

    def __init__(self, call: str, code: int, meaning: str) -> None:
        super().__init__(f"{call}: {code} ({meaning})")
        self.call = call
        self.code = code
        self.meaning = meaning


class RecordingBrokeOff(OmbriVoiceError):
    """A recording that broke off before its stop: capture failed (the sound server died, the
    source was removed) or a write to the file failed (disk full). Nothing captured is lost:
    the file is closed and holds a valid WAV of the audio saved up to then.

    Attributes (besides OmbriVoiceError's, with code -2):
        path: the recording's file.
    """

    def __init__(self, path: Path) -> None:
        super().__init__("OmbriVoiceRecorderStop", _BROKE_OFF, _STOP_MEANINGS[_BROKE_OFF])
        self.path = path


def _library_name() -> str:
    named = os.environ.get("OMBRIVOICE_LIBRARY")
    if named:
        return named
    if sys.platform == "win32":
        return "TolvexOmbriVoice.dll"
    return "libTolvexOmbriVoice.so.1"


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _load() -> ctypes.CDLL:
    """The library, loaded at the first call and given its four signatures."""
    global _library
    with _lock:
        if _library is None:
            library = ctypes.CDLL(_library_name())
            text = ctypes.c_char_p  # a NUL-terminated UTF-16 buffer, see _wide
            for name, arguments in (("OmbriVoice", 3), ("OmbriVoiceFileDownload", 2),
                                    ("OmbriVoiceRecorderStart", 1), ("OmbriVoiceRecorderStop", 0)):
                function = getattr(library, name)
                function.argtypes = [text] * arguments
                function.restype = ctypes.c_int32
            _library = library
        return _library


_UTF16 = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"


def _wide(text: str) -> bytes:
    """The library's string form: UTF-16 code units in the machine's byte order (characters
    beyond U+FFFF as surrogate pairs) and a NUL. A lone surrogate passes through, for the
    library to refuse; a NUL inside the text would cut it short, so it is refused here."""
    if "\0" in text:
        raise ValueError("embedded null character")
    return text.encode(_UTF16, "surrogatepass") + b"\0\0"


def _path(path: Path) -> bytes:
    return _wide(os.fsdecode(os.fspath(path)))


def _check(call: str, code: int, meanings: dict) -> None:
    if code != OK:
        raise OmbriVoiceError(call, code, meanings.get(code, "unknown result"))


def upload(wav: Path, key: str, reply: Path) -> None:
    """Sends the WAV file and the API key to the recognition API as one multipart POST and
    saves the reply body, whatever its HTTP status, in the reply file (created or truncated).
    The proxy in http_proxy is used when set."""
    code = _load().OmbriVoice(_path(wav), _wide(key), _path(reply))
    _check("OmbriVoice", code, _UPLOAD_MEANINGS)


def download(url: str, path: Path) -> None:
    """Fetches the URL (http, https, ftp, ftps or file) and saves its body, byte for byte and
    whatever its HTTP status, in the file (created or truncated)."""
    code = _load().OmbriVoiceFileDownload(_wide(url), _path(path))
    _check("OmbriVoiceFileDownload", code, _DOWNLOAD_MEANINGS)


# zlib's window arguments: +16 for a gzip wrapper, negative for raw deflate with none.
_GZIP_WINDOW = 16 + zlib.MAX_WBITS
_RAW_WINDOW = -zlib.MAX_WBITS


def _is_zlib(data: bytes) -> bool:
    """A zlib header: deflate method, and a check that makes the first two bytes a multiple of 31."""
    return len(data) >= 2 and data[0] & 0x0F == 8 and (data[0] * 256 + data[1]) % 31 == 0


_MAX_REPLY_BYTES = 1 << 20
"""The largest reply read_reply returns by default, as saved or decoded: the command line's."""


class _TooLarge(ValueError):
    """A reply over the size read_reply takes."""


def read_reply(path: Path, max_bytes: int = _MAX_REPLY_BYTES) -> bytes:
    """The body of a reply file that upload or download saved, decoded when it is coded.

    The calls save the body as it came, without its headers, and the upload says it accepts
    gzip and deflate, so a compressing front end may code the reply. The coding is told from
    the bytes: gzip (RFC 1952), deflate in its zlib wrapper (RFC 1950), or raw deflate (RFC
    1951) for a body that does not look like JSON. Anything else is returned as it is. Raises
    ValueError when gzip or zlib data does not decode, and when the file or what it decodes to
    is over max_bytes (1 MiB unless given): neither is read further, so a small file that
    decodes to gigabytes costs no more than max_bytes of memory."""
    with open(path, "rb") as reply:
        data = reply.read(max_bytes + 1)
    if len(data) > max_bytes:
        raise _TooLarge(f"the reply is over {max_bytes} bytes")
    if data[:2] == b"\x1f\x8b":
        return _inflate(data, _GZIP_WINDOW, "gzip", max_bytes)
    if _is_zlib(data):
        return _inflate(data, zlib.MAX_WBITS, "zlib", max_bytes)
    if data.lstrip()[:1] in (b"", b"{", b"["):
        return data
    try:
        return _inflate(data, _RAW_WINDOW, "deflate", max_bytes)
    except _TooLarge:
        raise
    except ValueError:
        return data  # not deflate either


def _inflate(data: bytes, window: int, coding: str, max_bytes: int) -> bytes:
    inflater = zlib.decompressobj(window)
    try:
        decoded = inflater.decompress(data, max_bytes + 1)  # one byte past the limit tells it is passed
        if len(decoded) <= max_bytes:
            decoded += inflater.flush()
    except zlib.error as failure:
        raise ValueError(f"the reply is {coding} data that does not decode: {failure}") from None
    if len(decoded) > max_bytes:
        raise _TooLarge(f"the reply is {coding} data that decodes to over {max_bytes} bytes")
    if not inflater.eof:
        raise ValueError(f"the reply is {coding} data that ends early")
    return decoded


class Recorder:
    """Records the default capture device into a WAV file (16-bit mono PCM at 44100 Hz).

    Either call start() and stop(), or use it as a context manager, which starts on entry and
    stops on exit (unless stop() was called inside)::

        with Recorder("speech.wav") as recorder:
            time.sleep(3)
        print(recorder.audio_bytes)

    One recording runs at a time in a process.
    """

    def __init__(self, path: Optional[Path] = None) -> None:
        self.path = path
        self.audio_bytes: Optional[int] = None
        """The audio bytes of the last stopped recording (the file is 44 bytes more)."""
        self._recording = False

    def start(self, path: Optional[Path] = None) -> None:
        """Creates (or truncates) the file, writes a placeholder header and starts capture,
        which goes on until stop()."""
        if path is not None:
            self.path = path
        if self.path is None:
            raise ValueError("Recorder.start needs a path")
        code = _load().OmbriVoiceRecorderStart(_path(self.path))
        _check("OmbriVoiceRecorderStart", code, _START_MEANINGS)
        self._recording = True

    def stop(self) -> int:
        """Stops capture, finishes the file and returns its number of audio bytes. Raises
        RecordingBrokeOff, which carries the path, when the recording broke off before the
        stop (its file still holds a valid WAV of what was saved)."""
        count = _load().OmbriVoiceRecorderStop()
        self._recording = False
        if count == _BROKE_OFF:
            self.audio_bytes = None
            raise RecordingBrokeOff(self.path)
        if count < 0:
            raise OmbriVoiceError("OmbriVoiceRecorderStop", count, _STOP_MEANINGS.get(count, "unknown result"))
        self.audio_bytes = count
        return count

    def __enter__(self) -> "Recorder":
        self.start()
        return self

    def __exit__(self, *exception_info: object) -> None:
        if self._recording:
            self.stop()
