#!/usr/bin/env bash
# The main job end to end without a microphone: flite speaks a phrase into a private PulseAudio
# null sink, the recorder records its monitor, the upload reaches the local service, and the
# transcript printed on stdout holds the phrase's words.
#   pipeline_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build_dir=$2
phrase="one two three four five"
transcript=$(OMBRIVOICE_PHRASE="$phrase" bash "$source_dir/scripts/run-pipeline.sh" "$build_dir" --synthetic)
echo "transcript: $transcript"
for word in $phrase; do
  grep -qw "$word" <<<"$transcript" || { echo "missing word: $word"; exit 1; }
done
