#!/usr/bin/env bash
# Installs the build into a private prefix, then builds a tiny C host against that copy twice,
# through the CMake package and through pkg-config, and runs both.
set -euo pipefail
build_dir="$1"
source_dir="$(cd "$(dirname "$0")" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/TolvexOmbriVoice.h"
test -L "$work/prefix/lib/libTolvexOmbriVoice.so"

cmake -S "$source_dir/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
ASAN_OPTIONS="${OMBRIVOICE_PRELOAD:+detect_leaks=0}" LD_PRELOAD="${OMBRIVOICE_PRELOAD:-}" LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake-consumer/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
[ "$(pkg-config --modversion TolvexOmbriVoice)" = "$(head -n 1 "$source_dir/../VERSION")" ]
cc -std=c99 -o "$work/pc-consumer" "$source_dir/c_consumer.c" $(pkg-config --cflags --libs TolvexOmbriVoice)
ASAN_OPTIONS="${OMBRIVOICE_PRELOAD:+detect_leaks=0}" LD_PRELOAD="${OMBRIVOICE_PRELOAD:-}" LD_LIBRARY_PATH="$work/prefix/lib" "$work/pc-consumer"
