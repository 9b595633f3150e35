// The job processor: WAV check, mono mix, level, resampling and recognition, in that order;
// the first step that fails names the failure.
#include "service/transcription.h"

#include "service/audio_prep.h"
#include "service/wav_reader.h"

namespace ombrivoice::service {

JobOutcome Transcriber::operator()(const std::string& wavBytes) {
  JobOutcome outcome;
  WavReadResult wav = ReadWav(wavBytes);
  if (!wav.ok) {
    outcome.error = wav.error;  // the upload was checked already; kept for safety
    return outcome;
  }
  std::vector<float> mono = MixToMono(wav.audio);
  outcome.facts = MeasureAudio(wav.audio, mono);
  outcome.haveFacts = true;
  std::vector<std::int16_t> samples;
  if (!ResampleForRecognizer(mono, wav.audio.sampleRate, &samples, &outcome.error)) {
    return outcome;
  }
  mono = std::vector<float>();
  if (recognizer_ == nullptr) {
    recognizer_ = Recognizer::Create(modelDir_, &outcome.error);
    if (recognizer_ == nullptr) {
      return outcome;
    }
  }
  outcome.ok = recognizer_->Recognize(samples, &outcome.text, &outcome.error);
  return outcome;
}

}  // namespace ombrivoice::service
