#!/usr/bin/env bash
# Builds the bench programs in build-bench/ (Release) and prints the benchmark table: each of
# our figures beside its peer's from the same run, runs alternating, medians.
#   bash bench/run.sh            full: 5 rounds each, 60 s recordings
#   bash bench/run.sh --quick    3 rounds each, 10 s recordings
#   bash bench/run.sh --against REV [--quick]   this tree's library beside REV's (bench/against.sh)
# Everything talks to 127.0.0.1 only, to a server this script starts and stops (it also ends
# by itself), and to a private PulseAudio daemon it starts and stops.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--against" ]; then shift; exec bash bench/against.sh "$@"; fi
# The runs set their own proxy where they need one; none from the caller's environment applies.
unset http_proxy https_proxy HTTPS_PROXY ftp_proxy FTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
repo=$(pwd)
mode=full rounds=5 record_seconds=60
if [ "${1:-}" = "--quick" ]; then mode=quick rounds=3 record_seconds=10; fi
many_seconds=10
handback_buffers=10000

# ---- Build
source "$repo/bench/common.sh"
require_bench_tools
build_bench "$repo" build-bench
bin=$(cd build-bench/bench && pwd)
# The build that uploads over TLS, for the TLS row (its upload program links the tests' core,
# which can be told to trust the bench's test CA).
tls_build=build-bench-tls
cmake -S "$repo" -B "$tls_build" -DCMAKE_BUILD_TYPE=Release -DOMBRIVOICE_API_TLS=ON -DOMBRIVOICE_BUILD_TESTS=OFF \
  -DOMBRIVOICE_BUILD_HOST=OFF -DOMBRIVOICE_BUILD_SERVICE=OFF -DOMBRIVOICE_BUILD_BENCH=ON --no-warn-unused-cli >/dev/null
cmake --build "$tls_build" -j"$(nproc)" --target ombrivoice_bench_tls_upload >/dev/null
tls_bin=$(cd "$tls_build/bench" && pwd)

enter_work_folder bench

make_file upload-256.wav $((256 * 1024 * 1024))
make_file upload-1.wav $((1024 * 1024))
make_file upload-4.wav $((4 * 1024 * 1024))

# ---- The loopback server; the library reaches it as its proxy, and so does curl.
start_server
proxy="http://127.0.0.1:$port"  # for the upload only; downloads go straight to the server
upload_url="http://api.ombrivoice.example/1/api/async/recognizespeech/v1"

# ---- Upload
for size in 256 1; do
  eval "ours_up_$size() { measure ours-up-$size env http_proxy=$proxy '$bin/ombrivoice_bench_driver' upload upload-$size.wav bench-key reply.json; }"
  eval "curl_up_$size() { measure curl-up-$size env http_proxy=$proxy curl -sS -o reply.json -H 'Expect:' -F file=@upload-$size.wav -F apikey=bench-key '$upload_url'; }"
  alternate "$rounds" "ours_up_$size" "curl_up_$size"
done
ours=$(median ours-up-256 "$wall") peer=$(median curl-up-256 "$wall")
row "Upload 256 MiB: wall time (s)" "$(fmt "$ours" 3)" "$(fmt "$peer" 3)" "$(fmt "$(awk "BEGIN{print $ours/$peer}")" 2)x" "<= 1.10x curl" "$(judge "$ours <= 1.1 * $peer")"
ours_cpu=$(median ours-up-256 "$cpu") peer_cpu=$(median curl-up-256 "$cpu")
row "Upload 256 MiB: CPU user+sys (s)" "$(fmt "$ours_cpu" 3)" "$(fmt "$peer_cpu" 3)" "$(fmt "$(awk "BEGIN{print $ours_cpu/$peer_cpu}")" 2)x" "(context)" ""
big=$(median ours-up-256 "$rss") small=$(median ours-up-1 "$rss")
row "Upload 256 MiB: peak RSS (MiB)" "$(fmt "$big" 1)" "$(fmt "$(median curl-up-256 "$rss")" 1)" "" "<= 16 MiB" "$(judge "$big <= 16")"
row "Upload 1 MiB: peak RSS (MiB)" "$(fmt "$small" 1)" "$(fmt "$(median curl-up-1 "$rss")" 1)" "" "flat: 256 MiB within 1 MiB of it" "$(judge "$big - $small <= 1")"

# ---- Download (the output file is removed before each run, outside the timing)
for size in $((1024 * 1024 * 1024)) $((1024 * 1024)); do
  eval "ours_down_$size() { rm -f down.bin; measure ours-down-$size '$bin/ombrivoice_bench_driver' download 'http://127.0.0.1:$port/bytes/$size' down.bin; }"
  eval "curl_down_$size() { rm -f down.bin; measure curl-down-$size curl -sS -o down.bin 'http://127.0.0.1:$port/bytes/$size'; }"
  alternate "$rounds" "ours_down_$size" "curl_down_$size"
done
rm -f down.bin
gib=$((1024 * 1024 * 1024)) mib=$((1024 * 1024))
ours=$(median ours-down-$gib "$wall") peer=$(median curl-down-$gib "$wall")
row "Download 1 GiB: wall time (s)" "$(fmt "$ours" 3)" "$(fmt "$peer" 3)" "$(fmt "$(awk "BEGIN{print $ours/$peer}")" 2)x" "<= 1.10x curl" "$(judge "$ours <= 1.1 * $peer")"
ours_cpu=$(median ours-down-$gib "$cpu") peer_cpu=$(median curl-down-$gib "$cpu")
row "Download 1 GiB: CPU user+sys (s)" "$(fmt "$ours_cpu" 3)" "$(fmt "$peer_cpu" 3)" "$(fmt "$(awk "BEGIN{print $ours_cpu/$peer_cpu}")" 2)x" "(context)" ""
big=$(median ours-down-$gib "$rss") small=$(median ours-down-$mib "$rss")
row "Download 1 GiB: peak RSS (MiB)" "$(fmt "$big" 1)" "$(fmt "$(median curl-down-$gib "$rss")" 1)" "" "<= 16 MiB" "$(judge "$big <= 16")"
row "Download 1 MiB: peak RSS (MiB)" "$(fmt "$small" 1)" "$(fmt "$(median curl-down-$mib "$rss")" 1)" "" "flat: 1 GiB within 1 MiB of it" "$(judge "$big - $small <= 1")"

# ---- Many at once: 8 threads against 1, 4 MiB uploads for $many_seconds s each.
many_8() { env http_proxy="$proxy" "$bin/ombrivoice_bench_many" upload-4.wav "$work" 8 "$many_seconds" >> many-8.txt; }
many_1() { env http_proxy="$proxy" "$bin/ombrivoice_bench_many" upload-4.wav "$work" 1 "$many_seconds" >> many-1.txt; }
alternate "$rounds" many_8 many_1
eight=$(median many-8 '$4') one=$(median many-1 '$4')
row "Uploads of 4 MiB, ${many_seconds} s: 8 threads vs 1 (MiB/s)" "$(fmt "$eight" 0)" "$(fmt "$one" 0)" "$(fmt "$(awk "BEGIN{print $eight/$one}")" 2)x" "(scaling; no goal)" ""
stop_server

# ---- Upload over TLS: the TLS build and curl, each trusting the test CA, to the same server
# speaking TLS; the API host's port 443 is mapped to it.
/usr/bin/python3 "$repo/tests/tls/make_certificates.py" certs api.ombrivoice.example
start_server certs/server.pem certs/server.key
tls_port=$port
tls_url="https://api.ombrivoice.example/1/api/async/recognizespeech/v1"
for size in 256 1; do
  eval "ours_tls_$size() { measure ours-tls-$size '$tls_bin/ombrivoice_bench_tls_upload' certs/ca.pem $tls_port upload-$size.wav bench-key reply.json; }"
  eval "curl_tls_$size() { measure curl-tls-$size curl -sS -o reply.json -H 'Expect:' --cacert certs/ca.pem --connect-to api.ombrivoice.example:443:127.0.0.1:$tls_port -F file=@upload-$size.wav -F apikey=bench-key '$tls_url'; }"
  alternate "$rounds" "ours_tls_$size" "curl_tls_$size"
done
ours=$(median ours-tls-256 "$wall") peer=$(median curl-tls-256 "$wall")
row "TLS upload 256 MiB: wall time (s)" "$(fmt "$ours" 3)" "$(fmt "$peer" 3)" "$(fmt "$(awk "BEGIN{print $ours/$peer}")" 2)x" "<= 1.10x curl" "$(judge "$ours <= 1.1 * $peer")"
big=$(median ours-tls-256 "$rss") small=$(median ours-tls-1 "$rss")
row "TLS upload 256 MiB / 1 MiB: peak RSS (MiB)" "$(fmt "$big" 1) / $(fmt "$small" 1)" "$(fmt "$(median curl-tls-256 "$rss")" 1) / $(fmt "$(median curl-tls-1 "$rss")" 1)" "" "flat: within 1 MiB" "$(judge "$big - $small <= 1")"
stop_server

# ---- Hand-back on the scripted device
for _ in $(seq "$rounds"); do
  "$bin/ombrivoice_bench_handback" "$handback_buffers" handback.wav >> handback.txt
  rm -f handback.wav
done
p50=$(median handback '$2') p99=$(median handback '$3') max=$(median handback '$4')
row "Hand-back, $handback_buffers buffers: p50 / p99 / max (us)" "$p50 / $p99 / $max" "" "" "p99 < 50 us" "$(judge "$p99 < 50")"

# ---- Start-up: loading the library (and libcurl's dependencies) against loading arecord.
ours_load() { measure ours-load "$bin/ombrivoice_bench_driver" load; }
arecord_load() { measure arecord-load arecord --version; }
alternate "$rounds" ours_load arecord_load
row "Start-up only (no call): CPU user+sys (s)" "$(fmt "$(median ours-load "$cpu")" 3)" "$(fmt "$(median arecord-load "$cpu")" 3)" "" "(context)" ""
row "Start-up only (no call): peak RSS (MiB)" "$(fmt "$(median ours-load "$rss")" 1)" "$(fmt "$(median arecord-load "$rss")" 1)" "" "(context)" ""

# ---- Recording through PulseAudio: CPU of our process against arecord's.
if start_pulse $((rounds * 2 * (record_seconds + 3) + 30)); then
  ours_rec() { measure ours-rec "$bin/ombrivoice_bench_driver" record rec.wav "$record_seconds"; }
  arecord_rec() { measure arecord-rec arecord -q -f S16_LE -r 44100 -c 1 -d "$record_seconds" rec.wav; }
  alternate "$rounds" ours_rec arecord_rec
  stop_pulse
  ours=$(median ours-rec "$cpu") peer=$(median arecord-rec "$cpu")
  row "Recording ${record_seconds} s: CPU user+sys (s)" "$(fmt "$ours" 3)" "$(fmt "$peer" 3)" "$(fmt "$(awk "BEGIN{print $ours/($peer > 0 ? $peer : 0.001)}")" 2)x" "<= arecord" "$(judge "$ours <= $peer")"
  row "Recording ${record_seconds} s: peak RSS (MiB)" "$(fmt "$(median ours-rec "$rss")" 1)" "$(fmt "$(median arecord-rec "$rss")" 1)" "" "(context)" ""
else
  row "Recording ${record_seconds} s: CPU user+sys (s)" "not run" "not run" "" "<= arecord" "PulseAudio did not start"
fi

# ---- The table
echo "Mode: $mode ($rounds rounds per figure, runs alternating; recordings of $record_seconds s)"
machine_line
echo
echo "| Figure (median) | TolvexOmbriVoice | peer | ratio | goal | result |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"

# ---- The service: small GETs beside four 24 MiB uploads at once, and its memory for keyless
# forms of tiny parts (bench/service_load.py; its own lines, as it has no peer).
service=$(find "$repo/build-bench" -name ombrivoice-service -type f | head -1)
if [ -n "$service" ]; then
  echo
  echo "Service ($rounds rounds of uploads):"
  python3 "$repo/bench/service_load.py" "$service" --rounds "$rounds"
fi
