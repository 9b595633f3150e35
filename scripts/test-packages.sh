#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh, with lintian), installs them on this machine,
# checks what each gives its user, and removes them again:
#   - a C host builds against the installed -dev package, through pkg-config and through CMake;
#   - ombrivoice --help runs;
#   - the installed unit's command line serves with a key file and transcribes an upload;
#   - the Python package's tests pass against the installed library and module, and the
#     package also installs with pip from python/.
# Needs root (apt-get install); CI runs it after the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sudo_cmd=""
if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
packages=(libtolvexombrivoice1 libtolvexombrivoice-dev ombrivoice ombrivoice-service python3-ombrivoice)

# It ends by purging the packages, key file and data folder included: never on a machine that
# uses them.
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null | awk 'substr($1, 2, 1) != "n" {print $2}' || true)
if [ -n "$installed" ]; then
  echo "test-packages: these packages are installed already, and the test would purge them:" $installed >&2
  echo "remove them first (apt-get purge ...)" >&2
  exit 1
fi

work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
if ! bash scripts/package.sh >"$work/package.log" 2>&1; then
  cat "$work/package.log" >&2
  exit 1
fi
sed -n '/^lintian:/,$p' "$work/package.log" | grep -v 'root privileges'
$sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$root"/dist/*.deb >/dev/null
echo "installed: $(dpkg-query -W -f='${Package} ${Version}, ' "${packages[@]}")"

# The C host, against the installed header, library, pkg-config file and CMake package.
cc -std=c99 -o "$work/pc-consumer" tests/c_consumer.c $(pkg-config --cflags --libs TolvexOmbriVoice)
"$work/pc-consumer" >/dev/null
cmake -S tests/consumer -B "$work/cmake-consumer" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/consumer" >/dev/null
echo "C host built with pkg-config and with find_package(TolvexOmbriVoice)"

ombrivoice --help >/dev/null
test -f /usr/share/man/man1/ombrivoice.1.gz
test -f /usr/share/man/man1/ombrivoice-service.1.gz
echo "ombrivoice --help runs; both man pages are installed"

# The unit's own command line, as its user, with a key in its key file.
unit=$(dpkg -L ombrivoice-service | grep '/ombrivoice-service\.service$')
command=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
key_file=$(printf '%s\n' "$command" | sed -n 's/.*--key-file \([^ ]*\).*/\1/p')
port=$(printf '%s\n' "$command" | sed -n 's/.*--port \([0-9]*\).*/\1/p')
printf 'package-test-key\n' | $sudo_cmd tee "$key_file" >/dev/null
$sudo_cmd install -d -o "$user" -g "$user" -m 0750 /var/lib/ombrivoice-service
$sudo_cmd runuser -u "$user" -- $command >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/service.log" 2>/dev/null && break; sleep 0.1; done
grep -q "listening on 127.0.0.1:$port" "$work/service.log"
flite -t "one two three four five" -o "$work/speech.wav"
text=$(ombrivoice transcribe "$work/speech.wav" --key package-test-key --service "http://127.0.0.1:$port")
echo "the installed service transcribed: $text"
[ -n "$text" ]

# The Python package's tests against the installed library and module (not the sources'),
# with Debian's Python, whose module folder the package installs into.
python=/usr/bin/python3
cp -r python/tests "$work/python-tests"
(cd "$work" && env -u OMBRIVOICE_LIBRARY -u PYTHONPATH $python -c \
  'import ombrivoice, sys; sys.exit(not ombrivoice.__file__.startswith("/usr/lib/python3/"))')
(cd "$work" && env -u OMBRIVOICE_LIBRARY -u PYTHONPATH $python -m pytest -q -p no:cacheprovider python-tests)
$python -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-build-isolation "$root/python"
"$work/venv/bin/python" -c 'import ombrivoice, sys; print("pip installed ombrivoice", ombrivoice.__file__); sys.exit(not ombrivoice.__file__.startswith(sys.prefix))'
echo "the packages work"
