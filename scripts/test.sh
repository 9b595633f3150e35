#!/usr/bin/env bash
# Installs what is needed, builds the library and its tests, and runs every test.
#   bash scripts/test.sh                 plain build in build/
#   OMBRIVOICE_SANITIZE=address bash scripts/test.sh   ASan+UBSan build in build-address/
#   OMBRIVOICE_SANITIZE=thread  bash scripts/test.sh   TSan build in build-thread/
#   OMBRIVOICE_API_TLS=ON bash scripts/test.sh         the build that uploads over TLS, in build-tls/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sanitize="${OMBRIVOICE_SANITIZE:-}"
tls="${OMBRIVOICE_API_TLS:-OFF}"
build_dir="build${sanitize:+-$sanitize}"
if [ "$tls" = ON ]; then build_dir="$build_dir-tls"; fi
build_type=Release
if [ -n "$sanitize" ]; then build_type=RelWithDebInfo; fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DOMBRIVOICE_SANITIZE="$sanitize" \
  -DOMBRIVOICE_API_TLS="$tls" >/dev/null
cmake --build "$build_dir" -j2
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
ctest --test-dir "$build_dir" --output-on-failure -j2 ${OMBRIVOICE_CTEST_ARGS:-}
