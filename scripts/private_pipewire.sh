# Sourced by the scripts that record through PipeWire without a desktop: starts a private
# session D-Bus, a PipeWire daemon and WirePlumber, headless, in a folder the caller owns and
# removes; adds one 44100 Hz mono virtual source; and points ALSA's "default" capture at it
# through PipeWire's ALSA plugin, taken from an unpacked pipewire-alsa package (that package
# conflicts with pulseaudio, so it is not installed: scripts/install-deps.sh unpacks it).
#   start_private_pipewire FOLDER SOURCE_NAME
# Sets private_pipewire_pids (the caller stops them: D-Bus, PipeWire, WirePlumber) and
# private_pipewire_pid (the daemon); returns non-zero if the server did not come up.
pipewire_alsa_dir() {
  echo "${OMBRIVOICE_PIPEWIRE_ALSA:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.deps/pipewire-alsa}"
}

start_private_pipewire() {
  local folder=$1 source=$2
  local plugin
  plugin=$(find "$(pipewire_alsa_dir)" -name libasound_module_pcm_pipewire.so 2>/dev/null | head -n 1)
  [ -n "$plugin" ] || { echo "no unpacked pipewire-alsa in $(pipewire_alsa_dir)"; return 1; }
  export HOME="$folder" XDG_RUNTIME_DIR="$folder/run" XDG_CONFIG_HOME="$folder/config"
  export XDG_STATE_HOME="$folder/state" PULSE_SERVER="unix:$folder/no-pulse" PIPEWIRE_RUNTIME_DIR="$folder/run"
  mkdir -m 700 -p "$folder/run"
  private_pipewire_pids=()
  dbus-daemon --session --nofork --print-address=3 3>"$folder/dbus.address" >/dev/null 2>&1 &
  private_pipewire_pids+=($!)
  for _ in $(seq 50); do [ -s "$folder/dbus.address" ] && break; sleep 0.1; done
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$folder/dbus.address")
  export DBUS_SESSION_BUS_ADDRESS
  pipewire >"$folder/pipewire.log" 2>&1 &
  private_pipewire_pid=$!
  private_pipewire_pids+=($!)
  for _ in $(seq 50); do pw-cli info 0 >/dev/null 2>&1 && break; sleep 0.1; done
  wireplumber >"$folder/wireplumber.log" 2>&1 &
  private_pipewire_pids+=($!)
  pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=$source
      media.class=Audio/Source/Virtual audio.position=[MONO] audio.rate=44100 object.linger=true }" \
    >/dev/null 2>&1 || return 1
  printf 'pcm_type.pipewire { lib "%s" }\npcm.!default {\n  type pipewire\n  capture_node "%s"\n  playback_node "-1"\n}\n' \
    "$plugin" "$source" > "$folder/asound.conf"
  export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$folder/asound.conf"
  # The session manager links a new stream to the source; wait until it is there to link.
  for _ in $(seq 50); do pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$source\"" && return 0; sleep 0.1; done
  return 1
}
