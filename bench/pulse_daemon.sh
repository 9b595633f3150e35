# Sourced by bench/run.sh: a private PulseAudio daemon with a 44100 Hz mono null sink, a tone
# played into it, and ALSA's "default" PCM pointed at the sink's monitor through the pulse
# plugin (the set-up of tests/recorder_pulse_test.sh). Needs $work; sets pulse_pid, tone_pid.

pulse_pid=""
tone_pid=""

# Starts the daemon and a tone of $1 seconds; false if the daemon does not come up.
start_pulse() {
  local tone_seconds=$1
  export HOME="$work" XDG_RUNTIME_DIR="$work/run" PULSE_RUNTIME_PATH="$work/run/pulse"
  mkdir -m 700 -p "$work/run"
  local socket="$work/run/native"
  export PULSE_SERVER="unix:$socket"
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --realtime=no \
    --high-priority=no --log-target="file:$work/pulseaudio.log" \
    --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
    --load="module-null-sink sink_name=ombri_bench rate=44100 channels=1" &
  pulse_pid=$!
  for _ in $(seq 100); do
    if pactl info >/dev/null 2>&1; then break; fi
    sleep 0.1
  done
  pactl info >/dev/null 2>&1 || return 1
  # One second of a 1 kHz sine (exactly 1000 periods) repeated: seamless for any length.
  python3 - "$work/tone.wav" "$tone_seconds" <<'PY'
import math, struct, sys, wave
second = b"".join(struct.pack("<h", int(16383 * math.sin(2 * math.pi * 1000 * i / 44100)))
                  for i in range(44100))
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1); out.setsampwidth(2); out.setframerate(44100)
    out.writeframes(second * int(sys.argv[2]))
PY
  paplay --latency-msec=10 --device=ombri_bench "$work/tone.wav" &
  tone_pid=$!
  printf 'pcm.!default {\n  type pulse\n  device "ombri_bench.monitor"\n}\n' > "$work/asound.conf"
  export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$work/asound.conf"
  sleep 1
}

# Stops what start_pulse started, by process id.
stop_pulse() {
  if [ -n "$tone_pid" ]; then kill "$tone_pid" 2>/dev/null || true; wait "$tone_pid" 2>/dev/null || true; fi
  if [ -n "$pulse_pid" ]; then kill "$pulse_pid" 2>/dev/null || true; wait "$pulse_pid" 2>/dev/null || true; fi
  tone_pid=""
  pulse_pid=""
  unset ALSA_CONFIG_PATH PULSE_SERVER
}
