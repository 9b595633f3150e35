#!/usr/bin/env bash
# Runs the C and Python examples against a stand-in service on loopback (reached as a proxy)
# and a file URL, with no capture device, and checks what each call saved.
#   examples_test.sh C_EXAMPLE PY_EXAMPLE LIBRARY PYTHON [TARGET_PYTHON]
# PYTHON runs the stand-in service, TARGET_PYTHON (PYTHON unless given) the Python example.
set -euo pipefail
c_example=$1 py_example=$2 library=$3 python=$4 target_python=${5:-$4}
work=$(mktemp -d)
server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
"$python" - >port.txt 2>/dev/null <<'PY' &
import http.server, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args): pass
    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        body = b'{"jobid":"j1"}'
        self.send_response(202); self.send_header("Content-Length", str(len(body))); self.end_headers()
        self.wfile.write(body)
server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
server_pid=$!
for _ in $(seq 50); do [ -s port.txt ] && break; sleep 0.1; done
export http_proxy="http://127.0.0.1:$(cat port.txt)"
unset no_proxy NO_PROXY
export ALSA_CONFIG_PATH="$work/no-devices.conf" PULSE_SERVER="unix:$work/none"  # no capture device
: >"$work/no-devices.conf"
printf 'RIFF-not-really' >given.wav
echo "source bytes" >source.txt
runs=("$c_example" "$target_python $py_example $library")
# Python cannot load a library built with ThreadSanitizer; the C example still runs there.
if [ "${OMBRIVOICE_SANITIZE:-}" = thread ]; then runs=("$c_example"); fi
for run in "${runs[@]}"; do
  rm -f reply.json copy.txt
  ASAN_OPTIONS="${OMBRIVOICE_PRELOAD:+detect_leaks=0}" LD_PRELOAD="${OMBRIVOICE_PRELOAD:-}" $run new.wav given.wav KEY reply.json "file://$work/source.txt" copy.txt
  [ "$(cat reply.json)" = '{"jobid":"j1"}' ]
  cmp source.txt copy.txt
  [ ! -e new.wav ]  # no capture device: the placeholder is removed
done
echo "the examples made every call"
