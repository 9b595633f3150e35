#!/usr/bin/python3
"""A loopback FTP server for the download tests: serves one folder read-only to the anonymous
user on 127.0.0.1 at a free port, and prints "listening on 127.0.0.1:PORT" once it listens.
Given a certificate and its key it speaks explicit TLS (AUTH TLS) and requires it on the
control connection and on every data connection, so a client that skips either is refused.
It ends on SIGTERM, or by itself once the test program that started it has gone.
usage: ftp_server.py --port 0 FOLDER [CERTIFICATE KEY]"""

import logging
import os
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def watch_parent():
    # A test program that is killed cannot stop its server: the server stops itself.
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


class HandshakingDataHandler(TLS_DTPHandler):
    # pyftpdlib drops a data connection that turns readable before the transfer command has
    # come; a client that starts the TLS handshake at once (libcurl does) has not gone away.
    def readable(self):
        return self._ssl_accepting or super().readable()


def handler_for(folder, tls_files):
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(folder)  # list and read only
    if not tls_files:
        return type("PlainHandler", (FTPHandler,), {"authorizer": authorizer})
    certificate, key = tls_files
    return type("TlsHandler", (TLS_FTPHandler,), {
        "authorizer": authorizer, "certfile": certificate, "keyfile": key,
        "tls_control_required": True, "tls_data_required": True,
        "dtp_handler": HandshakingDataHandler})


def main():
    if len(sys.argv) not in (4, 6) or sys.argv[1:3] != ["--port", "0"]:
        sys.exit(__doc__)
    logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())  # no log on stderr
    logging.getLogger("pyftpdlib").propagate = False
    server = FTPServer(("127.0.0.1", 0), handler_for(sys.argv[3], sys.argv[4:]))
    print(f"listening on 127.0.0.1:{server.address[1]}", flush=True)
    threading.Thread(target=watch_parent, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
