#!/usr/bin/env bash
# The recorder on a real sound server, private to this run, as it fails: PulseAudio (null sink
# monitor, with silence played into the sink at a low latency so that it flows steadily) or PipeWire (a virtual source, through its ALSA
# plugin). Each row records through the shared library with recorder_probe and checks the
# stop's time (loosely: well under the seconds a hang would take), its result, the WAV file
# (Python's wave module: its header matches the file) and the CPU and memory the recording
# used. Rows: a plain recording, the server frozen and resumed, a start while it is frozen,
# the recording process stopped for 3 s, a small tmpfs filled and freed (root only), the
# source removed, the server killed.
#   recorder_server_faults_test.sh pulse|pipewire PROBE WAV_CHECK PYTHON
# Exits 77 (skipped) only when the server is not installed or cannot be started.
set -euo pipefail
server=$1
probe=$2
check=$3
python=$4
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

case "$server" in
  pulse) tools=(pulseaudio pactl pacat) ;;
  pipewire) tools=(pipewire wireplumber pw-cli pw-dump dbus-daemon) ;;
  *) echo "unknown server $server"; exit 2 ;;
esac
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d /tmp/ombrivoice-$server-faults.XXXXXX)
server_pids=()
failures=0
stop_servers() {
  for pid in "${server_pids[@]}"; do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
  for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  server_pids=()
}
cleanup() {
  stop_servers
  if mountpoint -q "$work/disk" 2>/dev/null; then umount "$work/disk" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

source "$here/../scripts/private_pulse.sh"
source "$here/../scripts/private_pipewire.sh"
server_pid=""
# A fresh server in its own folder; sets server_pid (the one to freeze or kill).
start_server() {
  stop_servers
  local folder
  folder=$(mktemp -d "$work/server.XXXXXX")
  if [ "$server" = pulse ]; then
    start_private_pulse "$folder" ombri_rec || { server_pids+=("$private_pulse_pid"); return 1; }
    server_pids+=("$private_pulse_pid")
    server_pid=$private_pulse_pid
    pacat --playback --raw --latency-msec=10 --device=ombri_rec --format=s16le --rate=44100 \
      --channels=1 /dev/zero >/dev/null 2>&1 &
    server_pids+=($!)
    sleep 1  # until the sink runs at the player's latency
  else
    start_private_pipewire "$folder" ombri_src || { server_pids+=("${private_pipewire_pids[@]}"); return 1; }
    server_pids+=("${private_pipewire_pids[@]}")
    server_pid=$private_pipewire_pid
  fi
}

remove_source() {
  if [ "$server" = pulse ]; then
    pactl unload-module module-null-sink
  else
    local id
    id=$(pw-dump | "$python" -c 'import json, sys
print(next(o["id"] for o in json.load(sys.stdin)
           if o.get("info", {}).get("props", {}).get("node.name") == "ombri_src"))')
    pw-cli destroy "$id" >/dev/null
  fi
}

# Records into FILE for SECONDS in the background; record_wait then reads the probe's line
# into code, count, seconds, start_ms, stop_ms, cpu, rss_kib.
record() {
  "$probe" "$1" "$2" > "$work/probe.out" &
  probe_pid=$!
}
record_wait() {
  wait "$probe_pid" || true
  read -r code count seconds start_ms stop_ms cpu rss_kib < "$work/probe.out"
  echo "  start $code in ${start_ms} ms, stop gave $count in ${stop_ms} ms; ${cpu} s CPU, RSS +${rss_kib} KiB"
}

fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }
# The checks every row makes: stop and start within their bounds (loosely), CPU and memory
# flat (a spinning recovery took 65% of a core and 60 MB a second), the file a valid WAV.
check_row() {
  local file=$1
  [ "${stop_ms%.*}" -lt 1500 ] || fail "stop took ${stop_ms} ms"
  [ "${start_ms%.*}" -lt 6000 ] || fail "start took ${start_ms} ms"
  "$python" -c "import sys; sys.exit(float('$cpu') > 1.0)" || fail "${cpu} s of CPU"
  [ "$rss_kib" -lt 32768 ] || fail "resident memory grew by ${rss_kib} KiB"
  if [ "$code" = 999 ]; then
    local size
    size=$(stat -c %s "$file")
    "$python" "$check" "$file" $((size - 44)) || fail "not a valid WAV"
  fi
}
expect_result() {  # ok (a byte count), broke (-2), or either
  if [ "$1" = either ]; then
    [ "$code" = 999 ] && { [ "$count" -ge 0 ] || [ "$count" = -2 ]; } || fail "start $code, stop $count"
  elif [ "$1" = ok ]; then
    [ "$code" = 999 ] && [ "$count" -ge 0 ] || fail "start $code, stop $count; a recording expected"
  else
    [ "$code" = 999 ] && [ "$count" = -2 ] || fail "start $code, stop $count; -2 expected"
  fi
}

echo "== $server"
if ! start_server; then
  echo "skipped: the $server server did not start"; exit 77
fi

echo "plain recording"
record "$work/plain.wav" 1.5
if [ "$server" = pipewire ]; then
  sleep 0.8
  pw-dump > "$work/pw-dump.json"
  grep -q '"application.process.binary": "recorder_probe"' "$work/pw-dump.json" ||
    fail "pw-dump lists no recorder_probe client"
fi
record_wait; expect_result ok; check_row "$work/plain.wav"
[ "$count" -gt 0 ] || fail "no audio in 1.5 s"

echo "server frozen during the recording, resumed after the stop"
record "$work/frozen.wav" 2
sleep 0.7; kill -STOP "$server_pid"
record_wait; kill -CONT "$server_pid"
expect_result ok; check_row "$work/frozen.wav"

echo "start while the server is frozen"
kill -STOP "$server_pid"
record "$work/start-frozen.wav" 0.5
record_wait; kill -CONT "$server_pid"
check_row "$work/start-frozen.wav"
if [ "$code" != 999 ]; then
  [ "$code" = 1 ] || fail "start gave $code"
  [ ! -e "$work/start-frozen.wav" ] || fail "a failed start left its file"
fi

echo "recording process stopped for 3 s"
record "$work/stopped.wav" 5
sleep 1; kill -STOP "$probe_pid"; sleep 3; kill -CONT "$probe_pid"
record_wait; expect_result ok; check_row "$work/stopped.wav"

if [ "$(id -u)" -eq 0 ] && mkdir -p "$work/disk" && mount -t tmpfs -o size=1m tmpfs "$work/disk" 2>/dev/null; then
  echo "disk filled during the recording, freed before the stop"
  record "$work/disk/full.wav" 3
  sleep 0.5; dd if=/dev/zero of="$work/disk/filler" bs=64k 2>/dev/null || true
  sleep 1.3; filled=$(stat -c %s "$work/disk/full.wav"); rm "$work/disk/filler"
  record_wait; expect_result broke; check_row "$work/disk/full.wav"
  [ "$(stat -c %s "$work/disk/full.wav")" = "$filled" ] || fail "written to after the failed write"
else
  echo "disk filled: skipped (needs root to mount a small tmpfs)"
fi

# PulseAudio ends a stream whose source is gone; PipeWire parks it until a source comes back,
# and no error reaches ALSA, so the recording goes on, silent, and keeps what came.
echo "source removed during the recording"
record "$work/removed.wav" 2
sleep 0.7; remove_source
record_wait; check_row "$work/removed.wav"
if [ "$server" = pulse ]; then expect_result broke; else expect_result either; fi

echo "server killed during the recording"
start_server || fail "the server did not start again"
record "$work/killed.wav" 2.5
sleep 0.7; kill -KILL "$server_pid"
record_wait; expect_result broke; check_row "$work/killed.wav"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "every row passed"
