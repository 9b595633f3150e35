#!/usr/bin/env bash
# Checks the shared library's dynamic symbol table, SONAME and version: it must define the
# library's exported C functions and nothing else of its own, and hold none of the tests' doubles.
set -euo pipefail
lib="$1"
expected="OmbriVoice OmbriVoiceFileDownload OmbriVoiceRecorderStart OmbriVoiceRecorderStop"
defined=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWi]$/ {print $3}' | sed 's/@.*//' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
if [ "$defined" != "$expected" ]; then
  echo "dynamic symbols: '$defined' (expected exactly: '$expected')" >&2
  exit 1
fi
# The tests' doubles (scripted capture device, connection overrides) are not in the library at all.
doubles=$(nm "$lib" 2>/dev/null | grep -E 'ForTesting|Scripted' || true)
if [ -n "$doubles" ]; then
  echo "test doubles in the shipped library:" >&2
  printf '%s\n' "$doubles" >&2
  exit 1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
[ "$soname" = "libTolvexOmbriVoice.so.1" ] || { echo "SONAME is '$soname'" >&2; exit 1; }
real=$(readlink -f "$lib")
case "$real" in *libTolvexOmbriVoice.so.1.0.0.1) ;; *) echo "real file is $real" >&2; exit 1;; esac
echo "exports: $defined"
