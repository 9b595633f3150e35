# Sourced by bench/run.sh: a private PulseAudio daemon with a 44100 Hz mono null sink, a tone
# played into it, and ALSA's "default" PCM pointed at the sink's monitor through the pulse
# plugin (the set-up of tests/recorder_pulse_test.sh). Needs $work; sets pulse_pid, tone_pid.

pulse_pid=""
tone_pid=""

# Starts the daemon and a tone of $1 seconds; false if the daemon does not come up.
start_pulse() {
  local tone_seconds=$1
  source "$(dirname "${BASH_SOURCE[0]}")/../scripts/private_pulse.sh"
  start_private_pulse "$work" ombri_bench || { pulse_pid=$private_pulse_pid; return 1; }
  pulse_pid=$private_pulse_pid
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
