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
export HOME="$work" XDG_RUNTIME_DIR="$work/run" PULSE_RUNTIME_PATH="$work/run/pulse"
mkdir -m 700 -p "$work/run"
socket="$work/run/native"
export PULSE_SERVER="unix:$socket"
pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --realtime=no \
  --high-priority=no --log-target="file:$work/pulseaudio.log" \
  --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
  --load="module-null-sink sink_name=ombri_rec rate=44100 channels=1" &
daemon_pid=$!
for _ in $(seq 100); do
  if pactl info >/dev/null 2>&1; then break; fi
  sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
  echo "skipped: the PulseAudio daemon did not start"; cat "$work/pulseaudio.log" 2>/dev/null || true
  exit 77
fi

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
printf 'pcm.!default {\n  type pulse\n  device "ombri_rec.monitor"\n}\n' > "$work/asound.conf"
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$work/asound.conf"
read -r code count seconds < <("$probe" "$work/tone-recorded.wav" "$record_seconds")
echo "start $code, $count bytes over $seconds s"
[ "$code" = 999 ] || { echo "start gave $code"; exit 1; }
"$python" "$check" "$work/tone-recorded.wav" "$count" --tone 1000 --seconds "$seconds" --tolerance 0.3
echo "tone recorded in real time"
