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
#   OMBRIVOICE_CROSS=windows-arm64 bash scripts/test.sh   the Windows DLL for ARM64 in
#       build-windows-arm64/, built with the toolchain of make-windows-arm-toolchain.sh, its Wine
#       tests run under Debian's arm64 Wine on qemu-user (the tree in OMBRIVOICE_SYSROOT,
#       sysroots/windows-arm64 unless set), its tables compared with the x86-64 DLL's;
#   OMBRIVOICE_CROSS=windows-armv7 bash scripts/test.sh   the DLL for 32-bit ARM, built and its
#       tables compared only. Both print how long the toolchain, the Wine tree, the build and
#       the tests took.
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
build_target=()
test_filter=()
if [ -n "$cross" ] && [ -n "$sanitize" ]; then
  echo "test.sh: the sanitizers do not run under qemu-user; OMBRIVOICE_CROSS takes no OMBRIVOICE_SANITIZE" >&2
  exit 2
fi
timings=""
case "$cross" in
  "") ;;
  windows-arm64|windows-armv7)
    # The tests are Linux programs that drive Wine, so this build is native; only the Windows
    # trees and the Wine tests are built and run.
    windows_arch=aarch64
    if [ "$cross" = windows-armv7 ]; then windows_arch=armv7; fi
    SECONDS=0
    toolchain=$(bash scripts/make-windows-arm-toolchain.sh "$windows_arch")
    timings="toolchain ${SECONDS} s, "
    cmake_args+=(-DOMBRIVOICE_WINDOWS_ARCH="$windows_arch" -DOMBRIVOICE_WINDOWS_TOOLCHAIN="$toolchain"
      -DOMBRIVOICE_TEST_WINDOWS=ON -DOMBRIVOICE_BUILD_SERVICE=OFF -DOMBRIVOICE_BUILD_BENCH=OFF)
    if [ "$cross" = windows-arm64 ]; then
      sysroot="${OMBRIVOICE_SYSROOT:-$PWD/sysroots/$cross}"
      SECONDS=0
      bash scripts/make-sysroot.sh "$cross" "$sysroot"
      timings+="Wine tree ${SECONDS} s, "
      cmake_args+=(-DOMBRIVOICE_WINE_SYSROOT="$sysroot")
    fi
    build_target=(--target ombrivoice_windows_arm)
    test_filter=(-R '^Windows')
    ;;
  *)
    sysroot="${OMBRIVOICE_SYSROOT:-$PWD/sysroots/$cross}"
    SECONDS=0
    bash scripts/make-sysroot.sh "$cross" "$sysroot"
    timings="sysroot ${SECONDS} s, "
    cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/debian-$cross.cmake" -DOMBRIVOICE_SYSROOT="$sysroot")
    ;;
esac
SECONDS=0
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DOMBRIVOICE_SANITIZE="$sanitize" \
  -DOMBRIVOICE_API_TLS="$tls" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j2 "${build_target[@]}"
build_seconds=$SECONDS
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
SECONDS=0
ctest --test-dir "$build_dir" --output-on-failure -j2 "${test_filter[@]}" ${OMBRIVOICE_CTEST_ARGS:-}
if [ -n "$cross" ]; then
  echo "$cross: ${timings}build ${build_seconds} s, tests ${SECONDS} s"
fi
