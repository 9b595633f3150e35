"""The ombrivoice command line: exit statuses, the meaning printed with each result code, and
the transcribe flow against a scripted stand-in service on loopback (reached as a proxy)."""
import http.server
import json
import os
import pty
import subprocess
import sys
import tempfile
import threading
import unittest

BINARY = sys.argv.pop(1)
API_HOST = sys.argv.pop(1)  # the build's API host


def run(*args, env=None, stdin=subprocess.DEVNULL):
    return subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=60,
                          stdin=stdin, env=env)


def run_on_terminal(*args):
    """Runs with a terminal as stdin, where a recording would wait for Enter."""
    controller, terminal = pty.openpty()
    try:
        return run(*args, stdin=terminal)
    finally:
        os.close(terminal)
        os.close(controller)


class ScriptedService(http.server.ThreadingHTTPServer):
    """Answers the upload with a job reference, then reports the job queued, running and
    finished (or failed) on successive result fetches."""

    def __init__(self, final_status="finished"):
        super().__init__(("127.0.0.1", 0), ScriptedHandler)
        self.final_status = final_status
        self.requests = []
        self.polls = 0


class ScriptedHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        length = int(self.headers["Content-Length"])
        self.server.requests.append(("POST", self.path, self.rfile.read(length)))
        self.answer(202, {"jobid": "j1", "status": "queued",
                          "result_url": "http://" + API_HOST + "/1/api/async/job/j1/result"})

    def do_GET(self):
        self.server.requests.append(("GET", self.path, b""))
        self.server.polls += 1
        steps = ["queued", "running", self.server.final_status]
        status = steps[min(self.server.polls - 1, 2)]
        body = {"jobid": "j1", "status": status}
        if status == "finished":
            body["text"] = "one two three"
        if status == "failed":
            body["error"] = "no speech found"
        self.answer(200 if status in ("finished", "failed") else 202, body)


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.wav = os.path.join(self.dir.name, "a.wav")
        with open(self.wav, "wb") as f:
            f.write(b"RIFF" + bytes(40) + bytes(8820))

    def tearDown(self):
        self.dir.cleanup()

    def service(self, final_status="finished"):
        server = ScriptedService(final_status)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server, "http://127.0.0.1:%d" % server.server_address[1]

    def test_help_and_usage_errors(self):
        self.assertEqual(run("--help").returncode, 0)
        for command in ("record", "upload", "download", "transcribe"):
            result = run(command, "--help")
            self.assertEqual(result.returncode, 0, command)
            self.assertIn("usage: ombrivoice " + command, result.stdout)
        for args in (["bogus"], ["upload", self.wav], ["download", "only-url"],
                     ["upload", self.wav, "--key"], ["record", "x.wav", "--colour", "red"],
                     ["record", os.path.join(self.dir.name, "r.wav")]):
            result = run(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("ombrivoice: ", result.stderr)
        recording = os.path.join(self.dir.name, "r.wav")
        for args in (["record", recording, "--seconds", "abc"], ["record", recording, "--seconds", "-3"],
                     ["record", recording, "--seconds", "0"], ["record", recording, "--seconds", "1e3"],
                     ["transcribe", "--key", "k", "--seconds", "2.5.1"],
                     ["transcribe", self.wav, "--key", "k", "--timeout", "soon"]):
            for result in (run(*args), run_on_terminal(*args)):
                self.assertEqual(result.returncode, 2, args)
                self.assertIn("takes a positive number of seconds", result.stderr, args)
                self.assertFalse(os.path.exists(recording), args)

    def test_every_call_prints_its_code_with_its_meaning(self):
        missing = os.path.join(self.dir.name, "missing.wav")
        result = run("upload", missing, "--key", "k", "--reply", os.path.join(self.dir.name, "r"))
        self.assertEqual((result.returncode, result.stdout.strip()),
                         (1, "upload: 1 (the WAV file cannot be opened, or is not a regular file whose size "
                             "is its length (a FIFO, a device, a /proc file); nothing was sent)"))
        result = run("upload", self.wav, "--key", "k" * 891, "--reply", os.path.join(self.dir.name, "r"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("upload: 10 (", result.stdout)
        copy = os.path.join(self.dir.name, "copy.wav")
        result = run("download", "file://" + self.wav, copy)
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "download: 999 (the whole body was saved)"))
        with open(copy, "rb") as a, open(self.wav, "rb") as b:
            self.assertEqual(a.read(), b.read())
        result = run("download", "gopher://127.0.0.1/", copy)
        self.assertEqual(result.returncode, 1)
        self.assertIn("download: 2 (", result.stdout)

    def test_upload_reaches_the_service_given_with_service(self):
        server, url = self.service()
        reply = os.path.join(self.dir.name, "reply.json")
        result = run("upload", self.wav, "--key", "KEY", "--reply", reply, "--service", url)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        method, target, body = server.requests[0]
        self.assertEqual((method, target), ("POST", "http://" + API_HOST + "/1/api/async/recognizespeech/v1"))
        self.assertIn(b'name="apikey"\r\n\r\nKEY\r\n', body)
        with open(reply) as f:
            self.assertEqual(json.load(f)["jobid"], "j1")

    def test_transcribe_prints_only_the_text_on_stdout(self):
        server, url = self.service()
        result = run("transcribe", self.wav, "--key", "a b&c", "--service", url)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "one two three\n")
        self.assertIn("transcribe: job running", result.stderr)
        polls = [target for method, target, _ in server.requests if method == "GET"]
        self.assertEqual(polls[0], "http://" + API_HOST + "/1/api/async/job/j1/result?apikey=a%20b%26c")
        self.assertEqual(len(polls), 3)

    def test_transcribe_reports_a_failed_job_and_an_unreachable_service(self):
        server, url = self.service("failed")
        result = run("transcribe", self.wav, "--key", "k", "--service", url)
        self.assertEqual((result.returncode, result.stdout), (3, ""))
        self.assertIn("no speech found", result.stderr)
        server.shutdown()
        server.server_close()
        result = run("transcribe", self.wav, "--key", "k", "--service", url)
        self.assertEqual(result.returncode, 1)
        self.assertIn("upload: 52222 (", result.stderr)


if __name__ == "__main__":
    unittest.main()
