#!/usr/bin/env bash
# The recogniser's word error rate and time per job (bench/recognition_accuracy.cpp) on real
# recorded speech, the eight channel-test voices that alsa-utils installs, and on synthetic
# speech: ten sentences spoken by flite, clean and with white noise at 20 dB SNR.
#   bash bench/recognition.sh [BUILD_DIR]     (default build-bench; built there when missing)
# Needs alsa-utils, flite and pocketsphinx-en-us (scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-bench}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DOMBRIVOICE_BUILD_TESTS=OFF -DOMBRIVOICE_BUILD_BENCH=ON \
    -DOMBRIVOICE_BUILD_SERVICE=ON >/dev/null
fi
cmake --build "$build" -j2 --target ombrivoice_bench_recognition >/dev/null
program=$(find "$build" -name ombrivoice_bench_recognition -type f | head -1)
work=$(mktemp -d /tmp/ombrivoice-recognition.XXXXXX)
trap 'rm -rf "$work"' EXIT

for channel in Front_Center Front_Left Front_Right Rear_Center Rear_Left Rear_Right Side_Left Side_Right; do
  printf '%s\t-\t%s\n' "/usr/share/sounds/alsa/$channel.wav" "$(echo "$channel" | tr '_A-Z' ' a-z')"
done >"$work/list"
sentences=(
  "the birch canoe slid on the smooth planks"
  "glue the sheet to the dark blue background"
  "it's easy to tell the depth of a well"
  "these days a chicken leg is a rare dish"
  "rice is often served in round bowls"
  "the juice of lemons makes fine punch"
  "the box was thrown beside the parked truck"
  "the hogs were fed chopped corn and garbage"
  "four hours of steady work faced us"
  "a large size in stockings is hard to sell"
)
for voice in slt rms; do
  for i in "${!sentences[@]}"; do
    flite -voice "$voice" -t "${sentences[$i]}" -o "$work/$voice-$i.wav"
    if [ "$voice" = slt ]; then printf '%s\t-\t%s\n' "$work/$voice-$i.wav" "${sentences[$i]}" >>"$work/list"; fi
    printf '%s\t20\t%s\n' "$work/$voice-$i.wav" "${sentences[$i]}" >>"$work/list"
  done
done
echo "== real recorded speech (alsa-utils' channel-test voices)"
head -8 "$work/list" >"$work/real"
"$program" /usr/share/pocketsphinx/model/en-us "$work/real"
echo "== flite, clean (slt)"
grep -P '\t-\t' "$work/list" | tail -n +9 >"$work/clean"
"$program" /usr/share/pocketsphinx/model/en-us "$work/clean"
echo "== flite with white noise at 20 dB SNR (slt and rms)"
grep -P '\t20\t' "$work/list" >"$work/noisy"
"$program" /usr/share/pocketsphinx/model/en-us "$work/noisy"
