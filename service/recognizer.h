// The offline recogniser: one pocketsphinx decoder with the US English model, turning 16 kHz
// mono samples into words. A decoder is not thread-safe; the job worker owns the only one.
#ifndef OMBRIVOICE_SERVICE_RECOGNIZER_H
#define OMBRIVOICE_SERVICE_RECOGNIZER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ombrivoice::service {

// Where Debian's pocketsphinx-en-us package puts the model.
constexpr const char* kDefaultModelDir = "/usr/share/pocketsphinx/model/en-us";

// What is missing of the model in modelDir, in words; empty when all its files are there.
std::string FindModelProblem(const std::string& modelDir);

class Recognizer {
 public:
  // Loads the acoustic model (modelDir/en-us), language model (modelDir/en-us.lm.bin) and
  // dictionary (modelDir/cmudict-en-us.dict); nullptr with error when any is missing or bad.
  static std::unique_ptr<Recognizer> Create(const std::string& modelDir, std::string* error);
  ~Recognizer();
  Recognizer(const Recognizer&) = delete;
  Recognizer& operator=(const Recognizer&) = delete;

  // The words heard in samples, lower case, separated by single spaces; empty when none.
  // False with error when the decoder refuses the audio. Each call starts from the decoder's
  // state as loaded, so the same samples give the same words whatever came before.
  bool Recognize(const std::vector<std::int16_t>& samples, std::string* text, std::string* error);

 private:
  struct Decoder;
  explicit Recognizer(std::unique_ptr<Decoder> decoder);
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_RECOGNIZER_H
