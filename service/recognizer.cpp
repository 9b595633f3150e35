// The offline recogniser on pocketsphinx: the decoder is configured once with its logging sent
// nowhere, then fed each job's samples as one whole utterance, from the state it was loaded in.
#include "service/recognizer.h"

#include <err.h>
#include <feat.h>
#include <pocketsphinx.h>

#include <sys/stat.h>

namespace ombrivoice::service {

struct Recognizer::Decoder {
  cmd_ln_t* config = nullptr;   // the decoder's settings; freed after the decoder
  ps_decoder_t* decoder = nullptr;
  std::vector<mfcc_t> initialCepstralMean;  // the live cepstral mean as loaded, before any audio

  ~Decoder() {
    if (decoder != nullptr) ps_free(decoder);
    if (config != nullptr) cmd_ln_free_r(config);
  }
};

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Words in the model's dictionary may carry a variant mark ("read(2)"); the text drops it, and
// the filler words ("<sil>", "[noise]") that the hypothesis may hold.
std::string CleanHypothesis(const char* hypothesis) {
  std::string text;
  std::string word;
  for (const char* at = hypothesis;; ++at) {
    if (*at != ' ' && *at != '\0') {
      word.push_back(*at);
      continue;
    }
    std::size_t mark = word.find('(');
    if (mark != std::string::npos) word.erase(mark);
    if (!word.empty() && word.front() != '<' && word.front() != '[') {
      if (!text.empty()) text.push_back(' ');
      text += word;
    }
    word.clear();
    if (*at == '\0') return text;
  }
}

}  // namespace

std::string FindModelProblem(const std::string& modelDir) {
  for (const char* name : {"/en-us", "/en-us.lm.bin", "/cmudict-en-us.dict"}) {
    if (!Exists(modelDir + name)) {
      return "the recognition model file " + modelDir + name + " is missing (Debian package pocketsphinx-en-us)";
    }
  }
  return "";
}

Recognizer::Recognizer(std::unique_ptr<Decoder> decoder) : decoder_(std::move(decoder)) {}
Recognizer::~Recognizer() = default;

std::unique_ptr<Recognizer> Recognizer::Create(const std::string& modelDir, std::string* error) {
  const std::string hmm = modelDir + "/en-us";
  const std::string lm = modelDir + "/en-us.lm.bin";
  const std::string dict = modelDir + "/cmudict-en-us.dict";
  *error = FindModelProblem(modelDir);
  if (!error->empty()) {
    return nullptr;
  }
  err_set_logfp(nullptr);  // the library logs to stderr until told otherwise
  auto decoder = std::make_unique<Decoder>();
  decoder->config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                dict.c_str(), "-logfn", "/dev/null", nullptr);
  if (decoder->config == nullptr) {
    *error = "the recogniser's settings were refused";
    return nullptr;
  }
  decoder->decoder = ps_init(decoder->config);
  if (decoder->decoder == nullptr) {
    *error = "the recogniser could not load its model from " + modelDir;
    return nullptr;
  }
  cmn_t* mean = ps_get_feat(decoder->decoder)->cmn_struct;
  decoder->initialCepstralMean.resize(static_cast<std::size_t>(mean->veclen));
  cmn_live_get(mean, decoder->initialCepstralMean.data());
  return std::unique_ptr<Recognizer>(new Recognizer(std::move(decoder)));
}

bool Recognizer::Recognize(const std::vector<std::int16_t>& samples, std::string* text, std::string* error) {
  ps_decoder_t* ps = decoder_->decoder;
  // The decoder adapts to the channel as it hears it: the front end's noise estimate and the
  // live cepstral mean would carry from one job to the next, so the same audio could give
  // other words after other jobs. Each job starts from the state as loaded: a new stream
  // resets the noise estimate, and the mean is set back.
  ps_start_stream(ps);
  cmn_live_set(ps_get_feat(ps)->cmn_struct, decoder_->initialCepstralMean.data());
  if (ps_start_utt(ps) < 0) {
    *error = "the recogniser could not start an utterance";
    return false;
  }
  if (ps_process_raw(ps, samples.data(), samples.size(), FALSE, TRUE) < 0) {
    ps_end_utt(ps);
    *error = "the recogniser refused the audio";
    return false;
  }
  if (ps_end_utt(ps) < 0) {
    *error = "the recogniser could not finish the utterance";
    return false;
  }
  int32 score = 0;
  const char* hypothesis = ps_get_hyp(ps, &score);
  *text = hypothesis == nullptr ? std::string() : CleanHypothesis(hypothesis);
  return true;
}

}  // namespace ombrivoice::service
