"""The Python package against the library (the installed one, or OMBRIVOICE_LIBRARY): each
call's success and a failure, the error's fields, and paths and keys beyond ASCII."""

import gzip
import http.server
import resource
import signal
import threading
import time
import wave
import zlib

import pytest

import ombrivoice

NON_ASCII = "ключ é 🎤"  # a character beyond U+FFFF goes out as a surrogate pair


class Recording(http.server.BaseHTTPRequestHandler):
    """Answers every POST with 202 and a fixed body, and keeps what it received."""

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.received.append((self.path, body))
        reply = b'{"jobid":"j1"}'
        self.send_response(202)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


@pytest.fixture
def service(monkeypatch):
    """A loopback server reached as the proxy, as the library reaches the local service."""
    server = http.server.HTTPServer(("127.0.0.1", 0), Recording)
    server.received = []
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{server.server_address[1]}")
    monkeypatch.delenv("no_proxy", raising=False)
    yield server
    server.shutdown()
    server.server_close()


@pytest.fixture
def alsa(tmp_path, monkeypatch):
    """Points ALSA's "default" at a capture device made from a file, or at nothing."""
    def use(infile=None):
        config = tmp_path / "asound.conf"
        config.write_text("" if infile is None else
                          'pcm.!default {\n type file\n slave.pcm "null"\n file "/dev/null"\n'
                          f' infile "{infile}"\n format "raw"\n}}\n')
        monkeypatch.setenv("ALSA_CONFIG_PATH", f"/usr/share/alsa/alsa.conf:{config}")
        monkeypatch.setenv("PULSE_SERVER", f"unix:{tmp_path}/no-sound-server")
    return use


def test_upload_sends_the_file_and_key_and_saves_the_reply(service, tmp_path):
    wav = tmp_path / f"{NON_ASCII}.wav"
    wav.write_bytes(b"RIFF-audio-bytes")
    ombrivoice.upload(wav, NON_ASCII, str(tmp_path / "reply.json"))
    assert (tmp_path / "reply.json").read_bytes() == b'{"jobid":"j1"}'
    ((target, body),) = service.received
    assert target.endswith("/1/api/async/recognizespeech/v1")
    assert b"RIFF-audio-bytes" in body
    assert f"\r\n\r\n{NON_ASCII}\r\n".encode() in body


def test_a_failed_upload_raises_with_the_call_code_and_meaning(service, tmp_path):
    with pytest.raises(ombrivoice.OmbriVoiceError) as failure:
        ombrivoice.upload(tmp_path / "missing.wav", "KEY", tmp_path / "reply.json")
    assert (failure.value.call, failure.value.code) == ("OmbriVoice", 1)
    meaning = ("the WAV file cannot be opened, or is not a regular file whose size is its length "
               "(a FIFO, a device, a /proc file); nothing was sent")
    assert failure.value.meaning == meaning
    assert str(failure.value) == f"OmbriVoice: 1 ({meaning})"
    with pytest.raises(ombrivoice.OmbriVoiceError) as failure:
        ombrivoice.upload(tmp_path / "missing.wav", "lone \ud800", tmp_path / "reply.json")
    assert failure.value.code == 10
    assert service.received == []


def test_download_saves_the_body_and_fails_with_its_code(tmp_path):
    source = tmp_path / f"source {NON_ASCII}.txt"
    source.write_bytes(b"source bytes\n")
    copy = tmp_path / f"copy {NON_ASCII}.txt"
    ombrivoice.download(source.as_uri(), copy)
    assert copy.read_bytes() == b"source bytes\n"
    with pytest.raises(ombrivoice.OmbriVoiceError) as failure:
        ombrivoice.download("gopher://127.0.0.1/", copy)
    assert (failure.value.call, failure.value.code) == ("OmbriVoiceFileDownload", 2)
    with pytest.raises(ValueError):  # the library would stop reading at the NUL: another file
        ombrivoice.download(source.as_uri(), f"{copy}\0.tail")


def test_recorder_records_through_a_context_manager(alsa, tmp_path):
    pattern = bytes(range(256)) * 400
    (tmp_path / "pattern.raw").write_bytes(pattern)
    alsa(tmp_path / "pattern.raw")
    path = tmp_path / f"{NON_ASCII}.wav"
    deadline = time.monotonic() + 10
    with ombrivoice.Recorder(path) as recorder:
        while (not path.exists() or path.stat().st_size < 44 + 88200) and time.monotonic() < deadline:
            time.sleep(0.01)
    assert recorder.audio_bytes >= 88200
    recorded = path.read_bytes()
    assert len(recorded) == 44 + recorder.audio_bytes
    assert recorded[:4] == b"RIFF" and recorded[44:44 + len(pattern)] == pattern[:len(recorded) - 44]


def test_recorder_failures_raise(alsa, tmp_path):
    alsa(None)
    recorder = ombrivoice.Recorder()
    with pytest.raises(ombrivoice.OmbriVoiceError) as failure:
        recorder.start(tmp_path / "none.wav")
    assert (failure.value.call, failure.value.code) == ("OmbriVoiceRecorderStart", 1)
    assert not (tmp_path / "none.wav").exists()
    with pytest.raises(ombrivoice.OmbriVoiceError) as failure:
        recorder.stop()
    assert (failure.value.call, failure.value.code) == ("OmbriVoiceRecorderStop", -1)


def test_a_recording_that_broke_off_raises_with_its_path(alsa, tmp_path):
    """A write falls short (the file size limit stands in for a full disk): the stop raises,
    and the file it names is a valid WAV of what was saved."""
    (tmp_path / "pattern.raw").write_bytes(bytes(range(256)) * 2000)
    alsa(tmp_path / "pattern.raw")
    path = tmp_path / "broken.wav"
    limit = 44 + 88200 + 1000
    before = resource.getrlimit(resource.RLIMIT_FSIZE)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, before[1]))
    try:
        recorder = ombrivoice.Recorder(path)
        recorder.start()
        deadline = time.monotonic() + 10
        while path.stat().st_size < limit and time.monotonic() < deadline:
            time.sleep(0.01)
        with pytest.raises(ombrivoice.RecordingBrokeOff) as failure:
            recorder.stop()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, before)
        signal.signal(signal.SIGXFSZ, previous)
    assert (failure.value.code, failure.value.path) == (-2, path)
    with wave.open(str(path), "rb") as reader:
        assert reader.getnframes() * 2 == path.stat().st_size - 44 == limit - 44


@pytest.mark.parametrize("name, coded", [
    ("plain", lambda body: body),
    ("gzip", gzip.compress),
    ("zlib deflate", zlib.compress),
    ("raw deflate", lambda body: zlib.compress(body, wbits=-zlib.MAX_WBITS)),
])
def test_read_reply_decodes_what_a_front_end_coded(tmp_path, name, coded):
    body = b'{"jobid":"j1","status":"queued"}'
    (tmp_path / "reply.json").write_bytes(coded(body))
    assert ombrivoice.read_reply(tmp_path / "reply.json") == body, name


@pytest.mark.parametrize("name, coded, max_bytes", [
    ("plain, a byte over the limit", lambda: b" " * ((1 << 20) + 1), None),
    ("gzip of 8 MiB", lambda: gzip.compress(b" " * (8 << 20)), None),
    ("zlib deflate of 8 MiB", lambda: zlib.compress(b" " * (8 << 20)), None),
    ("raw deflate of 8 MiB", lambda: zlib.compress(b" " * (8 << 20), wbits=-zlib.MAX_WBITS), None),
    ("gzip, a byte over a limit given", lambda: gzip.compress(b"{" + b" " * 99 + b"}"), 100),
])
def test_read_reply_refuses_replies_over_its_limit_before_reading_them_whole(tmp_path, name, coded, max_bytes):
    (tmp_path / "reply").write_bytes(coded())
    limit = {} if max_bytes is None else {"max_bytes": max_bytes}
    with pytest.raises(ValueError, match="over"):
        ombrivoice.read_reply(tmp_path / "reply", **limit)


def test_read_reply_takes_a_reply_of_exactly_its_limit(tmp_path):
    body = b"{" + b" " * ((1 << 20) - 2) + b"}"
    (tmp_path / "reply").write_bytes(gzip.compress(body))
    assert ombrivoice.read_reply(tmp_path / "reply") == body


def test_read_reply_keeps_other_bodies_and_refuses_broken_coding(tmp_path):
    (tmp_path / "page").write_bytes(b"<html>busy</html>")
    assert ombrivoice.read_reply(tmp_path / "page") == b"<html>busy</html>"
    (tmp_path / "cut").write_bytes(gzip.compress(b'{"jobid":"j1"}')[:12])
    with pytest.raises(ValueError):
        ombrivoice.read_reply(tmp_path / "cut")
