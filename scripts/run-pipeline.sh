#!/usr/bin/env bash
# Runs one utterance through an already built tree: service up, record, upload, wait, text.
#   bash scripts/run-pipeline.sh BUILD_DIR [--synthetic] [--seconds N]
# The transcript alone goes to stdout; what the script does goes to stderr.
set -euo pipefail
build=$1
shift
synthetic=no
seconds=5
while [ $# -gt 0 ]; do
  case "$1" in
    --synthetic) synthetic=yes ;;
    --seconds) seconds=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
phrase="${OMBRIVOICE_PHRASE:-one two three four five}"
key="local-demo-key"
host_command="$build/host/ombrivoice"
service_command="$build/service/ombrivoice-service"

work=$(mktemp -d /tmp/ombrivoice-pipeline.XXXXXX)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do  # newest first: the player before its daemon
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The local recognition service on a free loopback port, with jobs of its own in the work folder.
"$service_command" --port 0 --key "$key" --data-dir "$work/service-data" >"$work/service.out" 2>"$work/service.log" &
pids+=($!)
for _ in $(seq 100); do
  grep -q "listening on" "$work/service.out" 2>/dev/null && break
  sleep 0.1
done
address=$(sed -n 's/^listening on //p' "$work/service.out")
[ -n "$address" ] || { echo "the service did not start:" >&2; cat "$work/service.log" >&2; exit 1; }
echo "service listening on $address" >&2

has_microphone() {
  arecord -l 2>/dev/null | grep -q '^card' && return 0
  pactl list short sources 2>/dev/null | grep -v '\.monitor' | grep -q . && return 0
  return 1
}

if [ "$synthetic" = no ] && has_microphone; then
  echo "recording from the microphone for $seconds s: speak now" >&2
  "$host_command" transcribe --key "$key" --seconds "$seconds" --service "http://$address"
  exit $?
fi

echo "no microphone in use: speaking \"$phrase\" with flite into a private PulseAudio null sink" \
     "and recording its monitor" >&2
source "$(dirname "${BASH_SOURCE[0]}")/private_pulse.sh"
pulse_started=yes
start_private_pulse "$work" ombri_voice >&2 || pulse_started=no
pids+=("$private_pulse_pid")
[ "$pulse_started" = yes ] || { echo "PulseAudio did not start" >&2; cat "$work/pulseaudio.log" >&2; exit 1; }

# The phrase with silence around it: playback starts early, since a recording opened just
# after playback begins may be served late.
flite -voice slt -t "$phrase" -o "$work/phrase.wav" >&2
speech_seconds=$(python3 - "$work/phrase.wav" "$work/padded.wav" <<'PY'
import sys, wave
with wave.open(sys.argv[1], "rb") as spoken:
    params, frames = spoken.getparams(), spoken.readframes(spoken.getnframes())
rate, width = params.framerate, params.sampwidth * params.nchannels
with wave.open(sys.argv[2], "wb") as padded:
    padded.setparams(params)
    padded.writeframes(bytes(int(2.5 * rate) * width) + frames + bytes(int(4.0 * rate) * width))
print("%.2f" % (len(frames) / width / rate))
PY
)
paplay --latency-msec=10 --device=ombri_voice "$work/padded.wav" >&2 &
pids+=($!)
sleep 2

# Room for playback served up to a second or so late on a busy machine.
record_seconds=$(python3 -c "print($speech_seconds + 3.0)")
"$host_command" transcribe --key "$key" --seconds "$record_seconds" --service "http://$address"
