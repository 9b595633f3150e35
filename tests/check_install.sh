#!/usr/bin/env bash
# Installs the build into a private prefix, then builds a tiny C host against that copy twice,
# through the CMake package and through pkg-config, and runs both. In a cross build the hosts
# are built for the target (OMBRIVOICE_CROSS_CMAKE_ARGS name its toolchain, OMBRIVOICE_CROSS_CC
# its C compiler) and run under OMBRIVOICE_EMULATOR.
set -euo pipefail
build_dir="$1"
source_dir="$(cd "$(dirname "$0")" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/TolvexOmbriVoice.h"
test -L "$work/prefix/lib/libTolvexOmbriVoice.so"

# A cross toolchain searches packages only inside its sysroot, so the package is named directly.
cmake_args=(-DCMAKE_PREFIX_PATH="$work/prefix")
if [ -n "${OMBRIVOICE_CROSS_CMAKE_ARGS:-}" ]; then
  cmake_args+=(${OMBRIVOICE_CROSS_CMAKE_ARGS} -DTolvexOmbriVoice_DIR="$work/prefix/lib/cmake/TolvexOmbriVoice")
fi
cmake -S "$source_dir/consumer" -B "$work/cmake-consumer" "${cmake_args[@]}" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
run() {
  ASAN_OPTIONS="${OMBRIVOICE_PRELOAD:+detect_leaks=0}" LD_PRELOAD="${OMBRIVOICE_PRELOAD:-}" \
    LD_LIBRARY_PATH="$work/prefix/lib" ${OMBRIVOICE_EMULATOR:-} "$@"
}
run "$work/cmake-consumer/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
[ "$(pkg-config --modversion TolvexOmbriVoice)" = "$(head -n 1 "$source_dir/../VERSION")" ]
${OMBRIVOICE_CROSS_CC:-cc} -std=c99 -o "$work/pc-consumer" "$source_dir/c_consumer.c" $(pkg-config --cflags --libs TolvexOmbriVoice)
run "$work/pc-consumer"
