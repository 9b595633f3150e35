// Runs the Windows test programs under Wine, in the test run's private prefix, and collects
// what they print. Paths given to them are Linux paths seen through Wine's Z: drive.
#ifndef OMBRIVOICE_TESTS_WINE_RUNNER_H
#define OMBRIVOICE_TESTS_WINE_RUNNER_H

#include <string>
#include <vector>

struct WineRun {
  int status = -1;                 // the program's exit status; -1 if it was killed or never ran
  bool timedOut = false;
  std::vector<std::string> lines;  // its standard output, one entry per line
};

// The Wine path of a Linux path: "/tmp/a b.wav" is "Z:\tmp\a b.wav".
std::string WinePath(const std::string& linuxPath);

// Runs program (a Windows .exe) with args under Wine. The environment is this process's without
// any proxy variable, plus the prefix, quiet debugging, and extra ("NAME=value" each, applied
// last). The program is killed after timeoutSeconds.
WineRun RunUnderWine(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& extra = {}, int timeoutSeconds = 60);

#endif
