#!/usr/bin/env python3
"""What an idle connection costs ombrivoice-service in memory, over plain HTTP and over TLS.

Starts the service (plain, then with a test certificate), opens COUNT connections to it from
five loopback addresses (the service takes 128 at most from one), completes the TLS handshake
on each where there is one, sends nothing more, and reads the growth of the service's resident
memory. Everything is on 127.0.0.1, and the service is stopped at the end; the connections are
counted well within the 10 s in which the service waits for a head.
usage: idle_connection_memory.py SERVICE_PROGRAM [COUNT]   (COUNT 500 by default)"""

import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAKER = os.path.join(HERE, "..", "tests", "tls", "make_certificates.py")


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def settled_kib(pid):
    """Resident memory once it stops changing (by under 64 KiB in 200 ms)."""
    last = resident_kib(pid)
    for _ in range(10):
        time.sleep(0.2)
        now = resident_kib(pid)
        if abs(now - last) < 64:
            return now
        last = now
    return last


def measure(program, folder, count, tls):
    args = [program, "--key", "k", "--port", "0", "--data-dir", os.path.join(folder, "data-%s" % tls)]
    context = None
    if tls:
        args += ["--tls-cert", os.path.join(folder, "server.pem"), "--tls-key", os.path.join(folder, "server.key")]
        context = ssl.create_default_context(cafile=os.path.join(folder, "ca.pem"))
    service = subprocess.Popen(args, stdout=subprocess.PIPE)
    try:
        port = int(service.stdout.readline().decode().rsplit(":", 1)[1])
        before = settled_kib(service.pid)
        began = time.monotonic()
        held = []
        for i in range(count):
            sock = socket.socket()
            sock.bind(("127.0.0.%d" % (2 + i % 5), 0))
            sock.connect(("127.0.0.1", port))
            if context is not None:
                sock = context.wrap_socket(sock, server_hostname="127.0.0.1")
            held.append(sock)
        holding = settled_kib(service.pid)
        taken = time.monotonic() - began
        for sock in held:
            sock.close()
        if taken > 9:
            print("  (counted %.1f s after the first connection: the head deadline may have cut some)" % taken)
        return before, holding
    finally:
        service.terminate()
        service.wait(timeout=10)


def main():
    program = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([sys.executable, MAKER, folder, "api.ombrivoice.example"], check=True,
                       stdout=subprocess.DEVNULL)
        for tls in (False, True):
            before, holding = measure(program, folder, count, tls)
            print("%-5s %d idle connections: service resident memory %d KiB before, %d KiB holding them, "
                  "%.1f KiB each" % ("TLS" if tls else "plain", count, before, holding, (holding - before) / count))


if __name__ == "__main__":
    main()
