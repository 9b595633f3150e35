#!/usr/bin/env bash
# Installs what is needed, builds the library and its tests, and runs every test.
#   bash scripts/test.sh                 plain build in build/
#   OMBRIVOICE_SANITIZE=address bash scripts/test.sh   ASan+UBSan build in build-address/
#   OMBRIVOICE_SANITIZE=thread  bash scripts/test.sh   TSan build in build-thread/
#   OMBRIVOICE_API_TLS=ON bash scripts/test.sh         the build that uploads over TLS, in build-tls/
#   OMBRIVOICE_CROSS=arm64 bash scripts/test.sh        cross build for 64-bit ARM in build-arm64/,
#   OMBRIVOICE_CROSS=armhf bash scripts/test.sh        or 32-bit ARM in build-armhf/, against the
#       sysroot in OMBRIVOICE_SYSROOT (sysroots/ARCH unless set; made when missing), its tests
#       run under qemu-user. Prints how long the sysroot, the build and the tests took.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize="${OMBRIVOICE_SANITIZE:-}"
tls="${OMBRIVOICE_API_TLS:-OFF}"
cross="${OMBRIVOICE_CROSS:-}"
bash scripts/install-deps.sh $cross
build_dir="build${sanitize:+-$sanitize}${cross:+-$cross}"
if [ "$tls" = ON ]; then build_dir="$build_dir-tls"; fi
build_type=Release
if [ -n "$sanitize" ]; then build_type=RelWithDebInfo; fi
cmake_args=()
if [ -n "$cross" ]; then
  if [ -n "$sanitize" ]; then
    echo "test.sh: the sanitizers do not run under qemu-user; OMBRIVOICE_CROSS takes no OMBRIVOICE_SANITIZE" >&2
    exit 2
  fi
  sysroot="${OMBRIVOICE_SYSROOT:-$PWD/sysroots/$cross}"
  SECONDS=0
  bash scripts/make-sysroot.sh "$cross" "$sysroot"
  sysroot_seconds=$SECONDS
  cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/debian-$cross.cmake" -DOMBRIVOICE_SYSROOT="$sysroot")
fi
SECONDS=0
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DOMBRIVOICE_SANITIZE="$sanitize" \
  -DOMBRIVOICE_API_TLS="$tls" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j2
build_seconds=$SECONDS
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
SECONDS=0
ctest --test-dir "$build_dir" --output-on-failure -j2 ${OMBRIVOICE_CTEST_ARGS:-}
if [ -n "$cross" ]; then
  echo "$cross: sysroot ${sysroot_seconds} s, build ${build_seconds} s, tests ${SECONDS} s"
fi
