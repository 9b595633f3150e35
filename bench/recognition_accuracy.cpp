// Word error rate and time per job of the service's recogniser on a list of WAV files, each
// with the words it says: every file is transcribed by one recogniser in the list's order (as
// the service's worker does, one job after another), then each again on a fresh recogniser,
// so a recogniser whose text depends on the jobs before shows it as a difference.
//   ombrivoice_bench_recognition MODEL_DIR LIST
// LIST has one line per file: "PATH<TAB>NOISE<TAB>WORDS", where NOISE is "-" for the file as it
// is, or how many decibels the speech stands above the white noise mixed into it (the same
// pseudo-random noise on every run).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "service/audio_prep.h"
#include "service/recognizer.h"
#include "service/wav_reader.h"

namespace {

using namespace ombrivoice::service;

struct Item {
  std::string path;
  std::string snr;    // "-" or dB
  std::string words;  // the reference, lower case
  std::vector<std::int16_t> samples;
};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
}

// Substitutions, deletions and insertions that turn reference into hypothesis (Levenshtein
// distance over words).
std::size_t WordErrors(const std::string& reference, const std::string& hypothesis) {
  const std::vector<std::string> ref = Words(reference), hyp = Words(hypothesis);
  std::vector<std::size_t> row(hyp.size() + 1);
  for (std::size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= ref.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= hyp.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[hyp.size()];
}

// The file's samples at 16 kHz mono, with white noise at snr dB when snr is a number.
bool Load(Item* item) {
  std::ifstream file(item->path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  WavReadResult wav = ReadWav(bytes);
  std::string error;
  if (!wav.ok || !ResampleForRecognizer(MixToMono(wav.audio), wav.audio.sampleRate, &item->samples, &error)) {
    std::fprintf(stderr, "%s: cannot be read: %s%s\n", item->path.c_str(), wav.error.c_str(), error.c_str());
    return false;
  }
  if (item->snr == "-") return true;
  double power = 0;
  for (std::int16_t s : item->samples) power += double(s) * s;
  power /= std::max<std::size_t>(item->samples.size(), 1);
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, std::sqrt(power / std::pow(10, std::stod(item->snr) / 10)));
  for (std::int16_t& s : item->samples) s = static_cast<std::int16_t>(std::clamp(s + noise(random), -32768.0, 32767.0));
  return true;
}

struct Totals {
  std::size_t errors = 0, words = 0;
  double seconds = 0;
};

std::string Transcribe(Recognizer& recognizer, const Item& item, Totals* totals) {
  std::string text, error;
  const auto begun = std::chrono::steady_clock::now();
  if (!recognizer.Recognize(item.samples, &text, &error)) text = "(" + error + ")";
  totals->seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  totals->errors += WordErrors(item.words, text);
  totals->words += Words(item.words).size();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MODEL_DIR LIST\n", argv[0]);
    return 2;
  }
  std::vector<Item> items;
  std::ifstream list(argv[2]);
  for (std::string line; std::getline(list, line);) {
    const std::size_t first = line.find('\t'), second = line.find('\t', first + 1);
    if (second == std::string::npos) continue;
    items.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1), {}});
    if (!Load(&items.back())) return 1;
  }
  std::string error;
  std::unique_ptr<Recognizer> inOrder = Recognizer::Create(argv[1], &error);
  if (inOrder == nullptr) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  Totals ordered, fresh;
  std::size_t differing = 0;
  double loadSeconds = 0;  // making the fresh recognisers
  std::printf("%-40s %-5s | %-30s | %-30s | %s\n", "file", "snr", "in order", "fresh", "said");
  for (const Item& item : items) {
    const std::string afterOthers = Transcribe(*inOrder, item, &ordered);
    const auto loading = std::chrono::steady_clock::now();
    std::unique_ptr<Recognizer> own = Recognizer::Create(argv[1], &error);
    loadSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - loading).count();
    const std::string onItsOwn = Transcribe(*own, item, &fresh);
    differing += afterOthers != onItsOwn;
    const std::string name = item.path.substr(item.path.rfind('/') + 1);
    std::printf("%-40s %-5s | %-30s | %-30s | %s\n", name.c_str(), item.snr.c_str(), afterOthers.c_str(),
                onItsOwn.c_str(), item.words.c_str());
  }
  const auto rate = [](const Totals& t) { return 100.0 * t.errors / std::max<std::size_t>(t.words, 1); };
  std::printf("word errors in order: %zu of %zu (%.1f%%); fresh: %zu of %zu (%.1f%%); texts that differ: %zu of %zu\n",
              ordered.errors, ordered.words, rate(ordered), fresh.errors, fresh.words, rate(fresh), differing,
              items.size());
  std::printf("recognition per job in order: %.1f ms; loading a fresh recogniser: %.1f ms (means of %zu)\n",
              1000 * ordered.seconds / items.size(), 1000 * loadSeconds / items.size(), items.size());
  return 0;
}
