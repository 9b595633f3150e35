#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is needed, builds the library, the
# command line and the local recognition service, starts the service, records one utterance,
# transcribes it through the library's four calls and prints the text. With a microphone it
# records you; without one it speaks a phrase with flite into a private PulseAudio null sink and
# records that sink's monitor. Everything it starts is stopped again.
# Only the transcript goes to stdout, so text=$(bash scripts/transcribe.sh) works; installation,
# build and progress go to stderr. The service keeps its jobs in a temporary folder of its own.
#   bash scripts/transcribe.sh [--synthetic] [--seconds N]
# OMBRIVOICE_BUILD_DIR names the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${OMBRIVOICE_BUILD_DIR:-build}"
bash scripts/install-deps.sh >&2
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$build_dir" -j2 --target ombrivoice ombrivoice-service >&2
exec bash scripts/run-pipeline.sh "$build_dir" "$@"
