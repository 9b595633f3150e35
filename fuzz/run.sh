#!/usr/bin/env bash
# Builds the fuzz targets with clang 14 (libFuzzer, ASan, UBSan) in build-fuzz/ and runs each for
# FUZZ_SECONDS seconds (default 60), starting from a temporary copy of its committed corpus, which
# is neither used in place nor grown. Exits non-zero when any target crashed or failed a
# property; the crashing input is kept under build-fuzz/artifacts/.
#   bash fuzz/run.sh                         every target, 60 s each
#   FUZZ_SECONDS=10 bash fuzz/run.sh multipart_fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
build_dir="build-fuzz"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(request_text_fuzz text_conversion_fuzz wide_format_fuzz multipart_fuzz request_parser_fuzz)
fi

cmake -S fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j2 --target "${targets[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build_dir/artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  corpus="$work/${target%_fuzz}"
  cp -r "fuzz/corpus/${target%_fuzz}" "$corpus"
  log="$work/$target.log"
  status=0
  "$build_dir/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build_dir/artifacts/$target-" "$corpus" >"$log" 2>&1 || status=$?
  summary="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | sed -E 's/^#([0-9]+)[[:space:]]+DONE[[:space:]]+/\1 runs, /' || true)"
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "$target: FAILED (exit $status)"
    grep -E 'ERROR|property failed|runtime error|SUMMARY|Test unit written' "$log" | head -n 20 || true
  else
    echo "$target: ${seconds} s, $summary"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}" >&2
  exit 1
fi
