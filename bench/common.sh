# Sourced by bench/run.sh and bench/against.sh: building the bench programs and the helpers that
# take and summarise figures. measure needs $bin (the bench programs' folder); start_server and
# the runs need the current folder to be the work folder.

require_bench_tools() {
  local tool
  for tool in curl arecord pulseaudio paplay pactl python3; do
    command -v "$tool" >/dev/null || { echo "bench needs $tool (apt-get install curl alsa-utils pulseaudio pulseaudio-utils)" >&2; exit 1; }
  done
}

# build_bench SOURCE BUILD [TARGET...]: configures and builds the bench programs of the tree at
# SOURCE in BUILD (Release, no tests), all of them or the targets named: through its top level
# when that adds bench/, else bench/ on its own.
build_bench() {
  local source=$1 build=$2 source_dir
  shift 2
  if grep -q 'add_subdirectory(bench)' "$source/CMakeLists.txt"; then source_dir=$source; else source_dir=$source/bench; fi
  if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$source_dir" "$build/CMakeCache.txt"; then
    rm -rf "$build"
  fi
  cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOMBRIVOICE_BUILD_TESTS=OFF \
    -DOMBRIVOICE_BUILD_BENCH=ON --no-warn-unused-cli >/dev/null
  cmake --build "$build" -j"$(nproc)" ${1:+--target "$@"} >/dev/null
}

# measure NAME COMMAND...: runs the command once and appends "wall user sys maxrss_kib status"
# to NAME.txt; a failed run stops the bench.
measure() {
  local name=$1; shift
  if ! "$bin/ombrivoice_bench_measure" "$name.txt" "$@" >"$name.out" 2>&1; then
    echo "run $name failed: $*" >&2; cat "$name.out" >&2; exit 1
  fi
}
# alternate ROUNDS A B: runs functions A and B ROUNDS times each, swapping the order each round.
alternate() {
  local i
  for i in $(seq "$1"); do
    if [ $((i % 2)) = 1 ]; then "$2"; "$3"; else "$3"; "$2"; fi
  done
}
# median NAME AWK_EXPRESSION: the median over NAME.txt's lines of the expression.
median() {
  awk "{ print $2 }" "$1.txt" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# fmt VALUE DIGITS
fmt() { LC_ALL=C printf "%.${2}f" "$1"; }
# ratio A B: A/B to two places.
ratio() { fmt "$(awk "BEGIN{print $1/($2 > 0 ? $2 : 0.001)}")" 2; }
# judge CONDITION: "met" or "MISSED" for an awk condition.
judge() { awk "BEGIN { exit !($1) }" && echo met || echo MISSED; }
rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 | $6 |"); }
wall='$1' cpu='$2 + $3' rss='$4 / 1024'

make_file() { head -c "$2" /dev/urandom > "$1"; }

# Starts the bench server (it ends by itself after 30 minutes) with the given certificate and
# key, or plain without; sets server_pid and port once it has printed its port.
server_pid=""
start_server() {
  "$bin/ombrivoice_bench_server" 1800 "$@" > server-port &
  server_pid=$!
  for _ in $(seq 50); do [ -s server-port ] && break; sleep 0.1; done
  port=$(head -1 server-port)
  rm -f server-port
}
stop_server() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  server_pid=""
}

# The machine line under each table.
machine_line() {
  echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/^Mem:/ {print $2}') GiB RAM, kernel $(uname -r), libcurl $(pkg-config --modversion libcurl), $(curl --version | head -1 | cut -d' ' -f1-2), $(arecord --version | cut -d' ' -f1-3)"
}

# enter_work_folder NAME: makes a private work folder under /tmp, goes into it, and removes it
# on exit with the server and the PulseAudio daemon this run started.
enter_work_folder() {
  work=$(mktemp -d "/tmp/ombrivoice-$1.XXXXXX")
  source "$repo/bench/pulse_daemon.sh"
  trap 'stop_server; stop_pulse; rm -rf "$work"' EXIT
  cd "$work"
}
