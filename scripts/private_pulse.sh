# Sourced by the scripts that record without a microphone: starts a private PulseAudio daemon
# with one 44100 Hz mono null sink, and points ALSA's "default" capture at that sink's monitor
# through the pulse plugin. Everything lives in a folder the caller owns and removes; the
# user's own sound set-up is not touched.
#   start_private_pulse FOLDER SINK_NAME
# Sets private_pulse_pid (the caller stops it); returns non-zero if the daemon did not come up.
start_private_pulse() {
  local folder=$1 sink=$2
  export HOME="$folder" XDG_RUNTIME_DIR="$folder/run" PULSE_RUNTIME_PATH="$folder/run/pulse"
  mkdir -m 700 -p "$folder/run"
  local socket="$folder/run/native"
  export PULSE_SERVER="unix:$socket"
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --realtime=no \
    --high-priority=no --log-target="file:$folder/pulseaudio.log" \
    --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
    --load="module-null-sink sink_name=$sink rate=44100 channels=1" &
  private_pulse_pid=$!
  for _ in $(seq 100); do
    if pactl info >/dev/null 2>&1; then break; fi
    sleep 0.1
  done
  pactl info >/dev/null 2>&1 || return 1
  printf 'pcm.!default {\n  type pulse\n  device "%s.monitor"\n}\n' "$sink" > "$folder/asound.conf"
  export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$folder/asound.conf"
}
