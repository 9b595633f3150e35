"""The ombrivoice command line against scripted services that misbehave: result URLs that point
elsewhere, polls redirected elsewhere, polls that trickle, replies that are huge, compressed or
full of terminal escapes, an upload answered early, and interruptions during and after a
recording, also one whose capture device hangs. Every service runs on loopback and is reached
as the proxy, as the local service is."""
import glob
import gzip
import http.server
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave
import zlib

BINARY = sys.argv.pop(1)
API_HOST = sys.argv.pop(1)  # the build's API host
SHIM = sys.argv.pop(1)      # a preloadable upload that returns 13
RESULT_URL = "http://" + API_HOST + "/1/api/async/job/j1/result"


class Scripted(http.server.ThreadingHTTPServer):
    """Answers the upload with upload(handler) and each poll with poll(handler); keeps every
    request's method and target."""
    daemon_threads = True

    def __init__(self, upload, poll):
        super().__init__(("127.0.0.1", 0), Handler)
        self.upload, self.poll, self.requests = upload, poll, []


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.requests.append(("POST", self.path, body))
        try:
            self.server.upload(self)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):
        self.server.requests.append(("GET", self.path, b""))
        try:
            self.server.poll(self)
        except (BrokenPipeError, ConnectionResetError):
            pass


def job_reply(result_url=RESULT_URL):
    return json.dumps({"jobid": "j1", "status": "queued", "result_url": result_url}).encode()


def accept(handler, result_url=RESULT_URL):
    handler.answer(202, job_reply(result_url))


def finished(text="one two three"):
    return lambda handler: handler.answer(200, json.dumps({"jobid": "j1", "status": "finished", "text": text}).encode())


def trickle(handler):
    """A result that comes two bytes a second, for a minute."""
    handler.send_response(200)
    handler.send_header("Content-Length", "120")
    handler.end_headers()
    for _ in range(60):
        handler.wfile.write(b"  ")
        handler.wfile.flush()
        time.sleep(1)


def redirected(location, body):
    """Polls of the result URL redirected to location, whose reply is body."""
    def poll(handler):
        if handler.path.startswith(RESULT_URL):
            handler.answer(302, b"", [("Location", location)])
        else:
            handler.answer(200, json.dumps(body).encode())
    return poll


def huge(handler, megabytes=64):
    """A reply far over the command's limit, streamed."""
    handler.send_response(202)
    handler.send_header("Content-Length", str(megabytes << 20))
    handler.end_headers()
    piece = b" " * (1 << 20)
    for _ in range(megabytes):
        handler.wfile.write(piece)


class Transcribe(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = os.path.join(self.dir.name, "tmp")  # the command's TMPDIR, to see what it leaves
        os.mkdir(self.tmp)
        self.wav = os.path.join(self.dir.name, "a.wav")
        with open(self.wav, "wb") as f:
            f.write(b"RIFF" + bytes(40) + bytes(8820))

    def tearDown(self):
        self.dir.cleanup()

    def serve(self, upload=accept, poll=finished()):
        server = Scripted(upload, poll)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server, "http://127.0.0.1:%d" % server.server_address[1]

    def environment(self, **extra):
        env = dict(os.environ, TMPDIR=self.tmp, **extra)
        env.pop("no_proxy", None)
        env.pop("NO_PROXY", None)
        return env

    def start(self, *args, env=None):
        return subprocess.Popen([BINARY, "transcribe", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env or self.environment())

    def transcribe(self, *args, env=None, timeout=60):
        process = self.start(*args, env=env)
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out.decode(errors="replace"), err.decode(errors="replace")

    def assertNothingLeft(self):
        self.assertEqual(os.listdir(self.tmp), [])

    def test_a_result_url_off_the_api_origin_is_never_polled(self):
        for url in ("http://127.0.0.1:1/steal", "http://evil.example/1/api/async/job/j1/result",
                    "http://" + API_HOST + ":8080/1/", "https://" + API_HOST + "/1/",
                    "http://" + API_HOST + "@evil.example/", "file:///etc/passwd", "file://" + self.wav):
            server, proxy = self.serve(upload=lambda handler, url=url: accept(handler, url))
            status, out, err = self.transcribe(self.wav, "--key", "KEY", "--service", proxy)
            self.assertEqual((status, out), (3, ""), url)
            self.assertIn("is not on http://" + API_HOST, err, url)
            self.assertEqual([method for method, _, _ in server.requests], ["POST"], url)
            self.assertNotIn("root:", err)
            self.assertNothingLeft()

    def test_a_redirected_poll_is_read_only_when_it_names_the_uploaded_job(self):
        elsewhere = "http://elsewhere.example/stolen"
        rows = (
            ({"jobid": "other", "status": "finished", "text": "foreign"}, 3, "", "not the uploaded job"),
            ({"status": "finished", "text": "foreign"}, 3, "", "not the uploaded job"),
            ({"jobid": "j1", "status": "finished", "text": "relayed"}, 0, "relayed\n", "job finished"),
        )
        for body, status, printed, said in rows:
            server, proxy = self.serve(poll=redirected(elsewhere, body))
            code, out, err = self.transcribe(self.wav, "--key", "KEY", "--service", proxy)
            self.assertEqual((code, out), (status, printed), err)
            self.assertIn(said, err)
            targets = [target for method, target, _ in server.requests if method == "GET"]
            self.assertEqual(targets, [RESULT_URL + "?apikey=KEY", elsewhere], "the redirect is followed, keyless")
            self.assertNothingLeft()
        server, proxy = self.serve(poll=redirected("file://" + self.wav, {}))
        code, out, err = self.transcribe(self.wav, "--key", "KEY", "--service", proxy)
        self.assertEqual((code, out), (1, ""), err)
        self.assertIn("fetching the result: 2 (", err, "a redirect to a local file is refused")

    def test_the_timeout_holds_inside_a_poll_and_an_upload(self):
        for upload, poll in ((accept, trickle), (trickle, finished())):
            server, proxy = self.serve(upload=upload, poll=poll)
            begun = time.monotonic()
            status, out, err = self.transcribe(self.wav, "--key", "k", "--timeout", "2", "--service", proxy)
            took = time.monotonic() - begun
            self.assertEqual((status, out), (3, ""), err)
            self.assertIn("did not finish within 2 s", err)
            self.assertLess(took, 2 + 2, "the command outlived --timeout by more than 2 s")
            self.assertNothingLeft()

    def test_replies_over_a_mebibyte_are_refused(self):
        for upload, poll in ((huge, finished()), (accept, huge)):
            server, proxy = self.serve(upload=upload, poll=poll)
            status, out, err = self.transcribe(self.wav, "--key", "k", "--service", proxy)
            self.assertEqual((status, out), (3, ""), err)
            self.assertIn("reply too large", err)
            self.assertNothingLeft()

    def test_replies_nested_100000_deep_are_refused_without_a_crash(self):
        deep = "[" * 100000 + "]" * 100000
        nested_upload = ('{"a":' + deep + '}').encode()  # 200 KB, no job named
        nested_poll = ('{"jobid":"j1","status":"finished","text":"x","a":' + deep + '}').encode()
        for upload, poll in ((lambda handler: handler.answer(202, nested_upload), finished()),
                             (accept, lambda handler: handler.answer(200, nested_poll))):
            server, proxy = self.serve(upload=upload, poll=poll)
            status, out, err = self.transcribe(self.wav, "--key", "k", "--service", proxy)
            self.assertEqual((status, out), (3, ""), err)
            self.assertIn("reply is nested more than 32 deep", err)
            self.assertNothingLeft()

    def test_gzip_and_deflate_coded_replies_are_read(self):
        coded = {"gzip": gzip.compress, "deflate": zlib.compress}
        for coding, compress in coded.items():
            def upload(handler, compress=compress, coding=coding):
                handler.answer(202, compress(job_reply()), [("Content-Encoding", coding)])

            def poll(handler, compress=compress, coding=coding):
                body = json.dumps({"jobid": "j1", "status": "finished", "text": "coded " + coding}).encode()
                handler.answer(200, compress(body), [("Content-Encoding", coding)])
            server, proxy = self.serve(upload=upload, poll=poll)
            status, out, err = self.transcribe(self.wav, "--key", "k", "--service", proxy)
            self.assertEqual((status, out), (0, "coded " + coding + "\n"), err)

    def test_terminal_escapes_in_service_text_are_never_written_raw(self):
        hostile = "\x1b]0;owned\x07\x1b[2Jtext\x9b"
        server, proxy = self.serve(poll=finished(hostile))
        process = self.start(self.wav, "--key", "k", "--service", proxy)
        out, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0, err)
        self.assertEqual(out, b"\\x1B]0;owned\\x07\\x1B[2Jtext\\u009B\n")
        refusal = json.dumps({"error": "bad_key", "message": "no \x1b[31mkey"}).encode()
        server, proxy = self.serve(upload=lambda handler: handler.answer(401, refusal))
        process = self.start(self.wav, "--key", "k", "--service", proxy)
        out, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 3)
        self.assertIn(b"no \\x1B[31mkey", err)
        self.assertNotIn(b"\x1b", err)

    def test_an_upload_answered_early_is_read_like_a_whole_one(self):
        refusal = json.dumps({"error": "body_too_large", "message": "the request body is over the limit"})
        env = self.environment(LD_PRELOAD=SHIM, OMBRIVOICE_SHIM_REPLY=refusal,
                               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        status, out, err = self.transcribe(self.wav, "--key", "k", env=env)
        self.assertEqual((status, out), (3, ""), err)
        self.assertIn("upload: 13 (", err)
        self.assertIn("the service refused the upload: the request body is over the limit", err)
        self.assertNothingLeft()

    def test_interrupting_after_the_recording_aborts_cleanly(self):
        for stop, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)):
            server, proxy = self.serve(poll=trickle)
            process = self.start(self.wav, "--key", "k", "--service", proxy)
            deadline = time.monotonic() + 30
            while not any(method == "GET" for method, _, _ in server.requests):
                if process.poll() is not None or time.monotonic() > deadline:
                    process.kill()
                    self.fail("the run never polled: %r" % (process.communicate(),))
                time.sleep(0.05)
            process.send_signal(stop)
            out, err = process.communicate(timeout=10)
            self.assertEqual((process.returncode, out), (status, b""), err)
            self.assertNothingLeft()


class Recording(unittest.TestCase):
    """Records from an ALSA capture device made of a FIFO that is fed a tenth of a second of
    audio every tenth of a second (ALSA's file plugin reads as fast as it is given)."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.fifo = os.path.join(self.dir.name, "audio.fifo")
        os.mkfifo(self.fifo)
        config = os.path.join(self.dir.name, "asound.conf")
        with open(config, "w") as f:
            f.write('pcm.!default {\n type file\n slave.pcm "null"\n file "/dev/null"\n'
                    f' infile "{self.fifo}"\n format "raw"\n}}\n')
        self.env = dict(os.environ, ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + config,
                        PULSE_SERVER="unix:" + self.dir.name + "/no-sound-server", TMPDIR=self.dir.name)
        self.env.pop("no_proxy", None)

    def feed(self):
        """Audio in real time for up to a minute, until the reader goes."""
        tenth = (bytes(range(256)) * 35)[:8820]
        try:
            with open(self.fifo, "wb") as fifo:
                for _ in range(600):
                    fifo.write(tenth)
                    fifo.flush()
                    time.sleep(0.1)
        except BrokenPipeError:
            pass

    def start(self, args):
        return subprocess.Popen([BINARY, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env)

    def wait_for(self, process, pattern, size, what):
        """Waits until a file matching pattern holds more than size bytes; fails the test (and
        ends the process) when the run ends first or a minute passes."""
        deadline = time.monotonic() + 60
        while not any(os.path.getsize(path) > size for path in glob.glob(pattern)):
            if process.poll() is not None or time.monotonic() > deadline:
                process.kill()
                self.fail("%s never came: %r" % (what, process.communicate()))
            time.sleep(0.05)

    def interrupted(self, args, stop, wav):
        """Runs the command on fed audio and sends stop once the WAV file (a glob pattern) holds
        more than a second, however slowly the run started."""
        threading.Thread(target=self.feed, daemon=True).start()
        process = self.start(args)
        self.wait_for(process, wav, 44 + 88200, "a second of recording")
        process.send_signal(stop)
        out, err = process.communicate(timeout=30)
        return process.returncode, out.decode(), err.decode()

    def test_a_signal_ends_a_recording_as_enter_does(self):
        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            path = os.path.join(self.dir.name, stop.name + ".wav")
            status, out, err = self.interrupted(["record", path, "--seconds", "60"], stop, path)
            self.assertEqual(status, 0, err)
            self.assertIn("record: 999 (", out)
            recorded = int(out.split("recorded ")[1].split(" bytes")[0])
            self.assertEqual(os.path.getsize(path), 44 + recorded)
            self.assertGreater(recorded, 88200, "the whole seconds are there")
            self.assertNotEqual(recorded % 88200, 0, "the last partial second is kept")

    def test_a_recording_that_broke_off_fails_and_keeps_its_file(self):
        """A write falls short (the file size limit stands in for a full disk): the command
        says so, names the file it kept, a valid WAV, and exits 1; transcribe sends nothing."""
        limit = 44 + 88200 + 1000

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        path = os.path.join(self.dir.name, "broken.wav")
        for args, kept, stream in (
                (["record", path, "--seconds", "3"], path, 0),
                (["transcribe", "--key", "k", "--seconds", "3", "--service", "http://127.0.0.1:9"],
                 os.path.join(self.dir.name, "ombrivoice-*-recording.wav"), 1)):
            threading.Thread(target=self.feed, daemon=True).start()
            process = subprocess.run([BINARY, *args], stdin=subprocess.DEVNULL, capture_output=True,
                                     env=self.env, preexec_fn=limited, timeout=60)
            said = (process.stdout, process.stderr)[stream].decode()
            self.assertEqual(process.returncode, 1, process.stderr)
            self.assertIn("stop: -2 (the recording broke off", said)
            [found] = glob.glob(kept)
            self.assertIn("recording kept in " + found, said)
            self.assertEqual(os.path.getsize(found), limit)
            with wave.open(found, "rb") as reader:
                self.assertEqual(reader.getnframes() * 2, limit - 44)

    def test_a_second_signal_ends_a_recording_whose_device_hangs(self):
        """Nobody feeds the FIFO, so opening the capture device waits for ever."""
        recorded = os.path.join(self.dir.name, "x.wav")
        for command, wav, stop, status in (
                (["record", recorded], recorded, signal.SIGINT, 130),
                (["transcribe", "--key", "k"], os.path.join(self.dir.name, "ombrivoice-*", "recording.wav"),
                 signal.SIGTERM, 143)):
            process = self.start([*command, "--seconds", "60"])
            self.wait_for(process, wav, -1, "the WAV file")
            process.send_signal(stop)
            time.sleep(0.3)
            process.send_signal(stop)
            try:
                out, err = process.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                self.fail("%s still ran after a second %s" % (command[0], stop.name))
            self.assertEqual(process.returncode, status, err)
            self.assertEqual([name for name in os.listdir(self.dir.name) if name.startswith("ombrivoice-")], [])

    def test_ctrl_c_during_transcribes_recording_goes_on_to_the_text(self):
        uploads = []

        def upload(handler):
            uploads.append(handler.server.requests[-1][2])
            accept(handler)
        server = Scripted(upload, finished())
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        proxy = "http://127.0.0.1:%d" % server.server_address[1]
        status, out, err = self.interrupted(["transcribe", "--key", "k", "--seconds", "60", "--service", proxy],
                                            signal.SIGINT, os.path.join(self.dir.name, "ombrivoice-*", "recording.wav"))
        self.assertEqual((status, out), (0, "one two three\n"), err)
        self.assertGreater(len(uploads[0]), 88200)
        self.assertEqual([name for name in os.listdir(self.dir.name) if name.startswith("ombrivoice-")], [])


if __name__ == "__main__":
    unittest.main()
