#!/usr/bin/env bash
# Checks that the shipped library and the tests' copy of the core differ only in their seams:
# each source other than the seams is compiled once, into the very objects both are made of;
# each seam is compiled twice, with its hooks only in the tests' copy; and no other source
# includes the hooks, since it would be compiled once, without them, and a test would step
# into nothing.
#   check_seams.sh SOURCE_DIR NM AR HOOKED_ARCHIVE SEAM_NAMES SHIPPED_OBJECT...
# SEAM_NAMES is comma-separated (clock,curl_transfer,wave_in); SHIPPED_OBJECT are the objects
# the shared library is linked from.
set -euo pipefail
source_dir=$1 nm=$2 ar=$3 archive=$4
IFS=, read -r -a seams <<< "$5"
shift 5
failed=0
fail() { echo "$*" >&2; failed=1; }
is_seam() { local seam; for seam in "${seams[@]}"; do [ "$1" = "$seam.cpp.o" ] && return 0; done; return 1; }
hooks='ApplyTestConnectionOptions|TestCaptureSource|TestAdmitBuffer|TestBeforeFullBufferReturn|TestStoppedClock'

# The files that include the hooks or test for them are exactly the seams (and the hooks' own
# header): a header that did would bring them into sources compiled once.
expected=$(for seam in "${seams[@]}"; do echo "platform/posix/$seam.cpp"; done | LC_ALL=C sort)
found=$(cd "$source_dir" && grep -rlE '^ *# *(include|if).*(test_hooks\.h|OMBRIVOICE_TEST_HOOKS)' module platform transfer recorder \
  | grep -v '/test_hooks\.h$' | LC_ALL=C sort || true)  # none found: the comparison says so
[ "$found" = "$expected" ] || fail "sources using the test hooks: $(echo $found) (expected: $(echo $expected))"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
members=$("$ar" t "$archive")
shipped_names=""
seams_seen=0
for object in "$@"; do
  name=$(basename "$object")
  shipped_names+="$name"$'\n'
  if ! grep -qxF "$name" <<< "$members"; then
    fail "$name is in the shipped library but not in the tests' core"
    continue
  fi
  "$ar" p "$archive" "$name" > "$work/$name"
  if is_seam "$name"; then
    seams_seen=$((seams_seen + 1))
    if cmp -s "$object" "$work/$name"; then fail "seam $name is the same object in both"; fi
    if grep -qE "$hooks" <<< "$("$nm" -u "$object")"; then fail "shipped seam $name calls a test hook"; fi
    if ! grep -qE "$hooks" <<< "$("$nm" -u "$work/$name")"; then fail "the tests' seam $name calls no test hook"; fi
  elif ! cmp -s "$object" "$work/$name"; then
    fail "$name differs between the shipped library and the tests' core"
  fi
done
[ "$seams_seen" = "${#seams[@]}" ] || fail "the shipped library has $seams_seen of the ${#seams[@]} seams"

# What the tests' core holds beyond the shipped objects is the hooks' definitions, all of them.
extras=$(grep -vxF -f <(printf '%s' "$shipped_names") <<< "$members" | LC_ALL=C sort || true)
doubles=$(cd "$source_dir/tests/doubles" && for source in *.cpp; do echo "$source.o"; done | LC_ALL=C sort)
[ "$extras" = "$doubles" ] || fail "the tests' core adds: $(echo $extras) (expected the doubles: $(echo $doubles))"

[ "$failed" = 0 ] || exit 1
echo "shipped and test builds share $(($# - ${#seams[@]})) objects; seams: ${seams[*]}"
