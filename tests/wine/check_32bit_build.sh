#!/usr/bin/env bash
# The 32-bit DLL (built with the i686 compiler, which also checks that the begin-send record
# is 40 bytes there) exports the same four names at the same ordinals and imports only system
# DLLs.
#   check_32bit_build.sh DLL
set -euo pipefail
expected=$'[   2] OmbriVoice\n[   3] OmbriVoiceFileDownload\n[   0] OmbriVoiceRecorderStart\n[   1] OmbriVoiceRecorderStop'
table=$(i686-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep '^[[:space:]]*\[ ')
if [ "$(printf '%s\n' "$table" | sed 's/^[[:space:]]*//')" != "$expected" ]; then
  echo "unexpected export table:" >&2
  printf '%s\n' "$table" >&2
  exit 1
fi
imports=$(i686-w64-mingw32-objdump -p "$1" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
if [ "$imports" != "kernel32.dll msvcrt.dll wininet.dll winmm.dll " ]; then
  echo "unexpected imports: $imports" >&2
  exit 1
fi
echo "32-bit DLL exports the four names at ordinals 1 to 4 and imports $imports"
