#!/usr/bin/env bash
# Records a 1 kHz tone in real time through ALSA's pulse plugin: starts a private PulseAudio
# daemon with a 44100 Hz mono null sink, plays the tone into it with paplay, records the sink's
# monitor through the library, checks the file, and stops everything it started.
#   recorder_pulse_test.sh PROBE WAV_CHECK PYTHON
# Exits 77 (skipped) only when PulseAudio is not installed or its daemon cannot be started.
set -euo pipefail
probe=$1
check=$2
python=$3
record_seconds=2.5

for tool in pulseaudio paplay pactl; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d /tmp/ombrivoice-pulse.XXXXXX)
daemon_pid=""
player_pid=""
cleanup() {
  if [ -n "$player_pid" ]; then kill "$player_pid" 2>/dev/null || true; wait "$player_pid" 2>/dev/null || true; fi
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null || true; wait "$daemon_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A daemon of our own: private home and runtime folders, no default script, only our modules.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/private_pulse.sh"
if ! start_private_pulse "$work" ombri_rec; then
  daemon_pid=$private_pulse_pid
  echo "skipped: the PulseAudio daemon did not start"; cat "$work/pulseaudio.log" 2>/dev/null || true
  exit 77
fi
daemon_pid=$private_pulse_pid

# Ten seconds of a 1 kHz sine at half scale, started two seconds early: a recording opened
# soon after playback starts may be served late.
"$python" - "$work/tone.wav" <<'PY'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1); out.setsampwidth(2); out.setframerate(44100)
    out.writeframes(b"".join(struct.pack("<h", int(16383 * math.sin(2 * math.pi * 1000 * i / 44100)))
                             for i in range(441000)))
PY
paplay --latency-msec=10 --device=ombri_rec "$work/tone.wav" &
player_pid=$!
sleep 2

# "default" is the null sink's monitor through the pulse plugin.
read -r code count seconds _ < <("$probe" "$work/tone-recorded.wav" "$record_seconds")
echo "start $code, $count bytes over $seconds s"
[ "$code" = 999 ] || { echo "start gave $code"; exit 1; }
"$python" "$check" "$work/tone-recorded.wav" "$count" --tone 1000 --seconds "$seconds" --tolerance 0.3
echo "tone recorded in real time"
