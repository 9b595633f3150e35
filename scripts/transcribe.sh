#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is needed, builds the library, the
# command line and the local recognition service, starts the service, records one utterance,
# transcribes it through the library's four calls and prints the text. With a microphone it
# records you; without one it speaks a phrase with flite into a private PulseAudio null sink and
# records that sink's monitor. Everything it starts is stopped again.
#   bash scripts/transcribe.sh [--synthetic] [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target ombrivoice ombrivoice-service >/dev/null
exec bash scripts/run-pipeline.sh build "$@"
