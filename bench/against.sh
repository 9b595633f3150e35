#!/usr/bin/env bash
# Compares this tree's library with the library of an earlier revision, figure by figure, in
# one run, so that a change that costs speed shows before it lands:
#   bash bench/run.sh --against REV [--quick]      (REV: anything git names, e.g. origin/main)
# REV's library is built from `git archive REV` in build-bench-against/SHA/ (kept for the next
# run). Both libraries are driven by this tree's bench programs, which call only the four
# exports: each run loads one or the other through LD_LIBRARY_PATH. Runs alternate, medians,
# and each figure's ratio is this tree over REV.
set -euo pipefail
cd "$(dirname "$0")/.."
unset http_proxy https_proxy HTTPS_PROXY ftp_proxy FTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
repo=$(pwd)
rev=${1:?usage: bench/run.sh --against REV [--quick]}
mode=full rounds=5 record_seconds=60
if [ "${2:-}" = "--quick" ]; then mode=quick rounds=3 record_seconds=10; fi
sha=$(git rev-parse --verify "$rev^{commit}")
source "$repo/bench/common.sh"
require_bench_tools

# ---- Build: this tree's bench programs and library, and REV's library alone.
build_bench "$repo" build-bench
bin=$(cd build-bench/bench && pwd)
this_lib=$(dirname "$(find "$repo/build-bench" -maxdepth 2 -name 'libTolvexOmbriVoice.so.*' | head -1)")
rev_root=$repo/build-bench-against/$sha
if [ ! -f "$rev_root/src/CMakeLists.txt" ]; then
  rm -rf "$rev_root/src"
  mkdir -p "$rev_root/src"
  git archive "$sha" | tar -x -C "$rev_root/src"
fi
build_bench "$rev_root/src" "$rev_root/build" TolvexOmbriVoice
rev_lib=$(dirname "$(find "$rev_root/build" -name 'libTolvexOmbriVoice.so.*' | head -1)")

enter_work_folder against
make_file upload-256.wav $((256 * 1024 * 1024))
make_file upload-4.wav $((4 * 1024 * 1024))

# figure LABEL NAME EXPRESSION DIGITS: a row of this tree's median beside REV's, and the ratio;
# a goal of "<= 1.10x REV" where lower is better.
figure() {
  local this rev
  this=$(median "this-$2" "$3") rev=$(median "rev-$2" "$3")
  row "$1" "$(fmt "$this" "$4")" "$(fmt "$rev" "$4")" "$(ratio "$this" "$rev")x" "${5:-<= 1.10x REV}" \
    "$(if [ -n "${5:-}" ]; then echo; else judge "$this <= 1.1 * $rev"; fi)"
}

start_server
proxy="http://127.0.0.1:$port"
gib=$((1024 * 1024 * 1024))
for side in this rev; do
  lib_var=${side}_lib
  eval "${side}_up() { measure $side-up env LD_LIBRARY_PATH='${!lib_var}' http_proxy=$proxy '$bin/ombrivoice_bench_driver' upload upload-256.wav bench-key reply.json; }"
  eval "${side}_down() { rm -f down.bin; measure $side-down env LD_LIBRARY_PATH='${!lib_var}' '$bin/ombrivoice_bench_driver' download 'http://127.0.0.1:$port/bytes/$gib' down.bin; }"
  eval "${side}_many() { env LD_LIBRARY_PATH='${!lib_var}' http_proxy=$proxy '$bin/ombrivoice_bench_many' upload-4.wav '$work' 8 10 >> $side-many.txt; }"
  eval "${side}_rec() { measure $side-rec env LD_LIBRARY_PATH='${!lib_var}' '$bin/ombrivoice_bench_driver' record rec.wav $record_seconds; }"
done
alternate "$rounds" this_up rev_up
alternate "$rounds" this_down rev_down
rm -f down.bin
alternate "$rounds" this_many rev_many
stop_server
figure "Upload 256 MiB: wall time (s)" up "$wall" 3
figure "Upload 256 MiB: CPU user+sys (s)" up "$cpu" 3
figure "Upload 256 MiB: peak RSS (MiB)" up "$rss" 1
figure "Download 1 GiB: wall time (s)" down "$wall" 3
figure "Download 1 GiB: CPU user+sys (s)" down "$cpu" 3
figure "Download 1 GiB: peak RSS (MiB)" down "$rss" 1
figure "Uploads of 4 MiB, 8 threads, 10 s (MiB/s)" many '$4' 0 "(higher is better)"
if start_pulse $((rounds * 2 * (record_seconds + 3) + 30)); then
  alternate "$rounds" this_rec rev_rec
  stop_pulse
  figure "Recording ${record_seconds} s: CPU user+sys (s)" rec "$cpu" 3
else
  row "Recording ${record_seconds} s: CPU user+sys (s)" "not run" "not run" "" "" "PulseAudio did not start"
fi

echo "Mode: $mode against $rev ($sha): $rounds rounds per figure, runs alternating; recordings of $record_seconds s"
machine_line
echo
echo "| Figure (median) | this tree | $rev | ratio | goal | result |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
