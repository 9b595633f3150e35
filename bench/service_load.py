#!/usr/bin/env python3
"""Loads an ombrivoice-service on 127.0.0.1 and prints what its clients see.

  python3 bench/service_load.py SERVICE_PROGRAM [--rounds N]

Starts SERVICE_PROGRAM (a private data folder, key "k") and takes two figures:
  - GET latency: small job-status GETs, one after another, while 4 clients upload 24 MiB WAV
    files at once, N rounds each; p50 / p95 / max of the GETs made during the uploads, beside
    the same GETs with nothing else going on.
  - Memory of a keyless form of tiny parts: the service's peak resident memory (VmHWM) before
    and after one 60 MiB body of 1.3 million 47-byte parts, then four 46 MiB ones at once.
The service is stopped with SIGTERM at the end. Loopback only."""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

KEY = "k"
BOUNDARY = "b"
UPLOAD = "/1/api/async/recognizespeech/v1"


def exchange(port, request):
    """Sends request on a fresh connection and returns the reply's bytes (until close)."""
    with socket.create_connection(("127.0.0.1", port)) as sock:
        try:
            sock.sendall(request)
        except OSError:
            pass  # answered and closed before the whole body went: the reply is read all the same
        chunks = []
        while True:
            try:
                chunk = sock.recv(65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks)


def status_of(reply):
    return int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/") else 0


def form_request(body):
    head = (f"POST {UPLOAD} HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    return head + body


def wav_upload(data_bytes):
    """A 44.1 kHz mono 16-bit WAV of data_bytes of silence (24 MiB: 285 s), as the library's form."""
    header = b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 1, 1, 44100, 88200, 2, 16) + b"data" + struct.pack("<I", data_bytes)
    body = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\n"
            "Content-Type: audio/wav\r\n\r\n").encode() + header + bytes(data_bytes) + (
            f"\r\n--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\n{KEY}\r\n"
            f"--{BOUNDARY}--\r\n").encode()
    return form_request(body)


def tiny_parts(total_bytes):
    part = f"--{BOUNDARY}\r\nContent-Disposition:form-data;name=x\r\n\r\n\r\n".encode()
    count = (total_bytes - 16) // len(part)
    return form_request(part * count + f"--{BOUNDARY}--\r\n".encode()), count


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def get_latencies(port, target, keep_going, at_least):
    times = []
    request = f"GET {target} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
    while keep_going() or len(times) < at_least:
        began = time.perf_counter()
        exchange(port, request)
        times.append((time.perf_counter() - began) * 1000)
    return times


def main():
    program = sys.argv[1]
    rounds = int(sys.argv[sys.argv.index("--rounds") + 1]) if "--rounds" in sys.argv else 3
    data = tempfile.mkdtemp(prefix="ombrivoice-bench-")
    command = [program, "--key", KEY, "--port", "0", "--data-dir", data, "--max-jobs", "1000"]
    if b"--max-jobs-per-key" in subprocess.run([program, "--help"], capture_output=True).stdout:
        command += ["--max-jobs-per-key", "1000"]  # a program from before the option takes none
    service = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        port = int(service.stdout.readline().decode().rsplit(":", 1)[1])
        upload = wav_upload(24 << 20)
        job = exchange(port, wav_upload(3200)).split(b'"jobid":"', 1)[1].split(b'"', 1)[0].decode()
        target = f"/1/api/async/job/{job}?apikey={KEY}"
        idle = get_latencies(port, target, lambda: False, 200)
        uploading = [True]
        statuses = []

        def uploader():
            for _ in range(rounds):
                statuses.append(status_of(exchange(port, upload)))

        threads = [threading.Thread(target=uploader) for _ in range(4)]
        for thread in threads:
            thread.start()
        watcher = threading.Thread(target=lambda: ([t.join() for t in threads], uploading.__setitem__(0, False)))
        watcher.start()
        busy = get_latencies(port, target, lambda: uploading[0], 1)
        watcher.join()
        print(f"GET idle ({len(idle)}): p50 {percentile(idle, .5):.1f} ms, p95 {percentile(idle, .95):.1f} ms, "
              f"max {max(idle):.1f} ms")
        print(f"GET beside 4 x {rounds} uploads of 24 MiB ({len(busy)}; uploads answered "
              f"{sorted(set(statuses))}): p50 {percentile(busy, .5):.1f} ms, p95 {percentile(busy, .95):.1f} ms, "
              f"max {max(busy):.1f} ms")

        before = peak_kib(service.pid)
        request, count = tiny_parts(60 << 20)
        status = status_of(exchange(port, request))
        after_one = peak_kib(service.pid)
        request, count4 = tiny_parts(46 << 20)
        replies = []
        four = [threading.Thread(target=lambda: replies.append(status_of(exchange(port, request)))) for _ in range(4)]
        for thread in four:
            thread.start()
        for thread in four:
            thread.join()
        time.sleep(0.5)
        after_four = peak_kib(service.pid)
        print(f"keyless form of {count} parts (60 MiB): answered {status}; peak RSS {before} -> {after_one} KiB "
              f"(+{(after_one - before) / 1024:.1f} MiB)")
        print(f"four keyless forms of {count4} parts (46 MiB) at once: answered {sorted(set(replies))}; peak RSS "
              f"{after_one} -> {after_four} KiB (+{(after_four - after_one) / 1024:.1f} MiB)")
    finally:
        service.terminate()
        service.wait(timeout=10)
        subprocess.run(["rm", "-rf", data], check=False)


if __name__ == "__main__":
    main()
