// Starts wine64 with posix_spawn, reads the program's output through a pipe until it ends or its
// time is up, and reaps it.
#include "wine/wine_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace {

const char* const kDroppedVariables[] = {"http_proxy=", "HTTP_PROXY=", "https_proxy=", "HTTPS_PROXY=",
                                         "no_proxy=",   "NO_PROXY=",   "all_proxy=",   "ALL_PROXY=",
                                         "WINEPREFIX=", "WINEDEBUG=",  "WINEDLLOVERRIDES="};

bool Dropped(const char* entry) {
  for (const char* prefix : kDroppedVariables) {
    if (strncmp(entry, prefix, strlen(prefix)) == 0) return true;
  }
  return false;
}

std::vector<std::string> WineEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!Dropped(*entry)) variables.push_back(*entry);
  }
  variables.push_back("WINEPREFIX=" OMBRIVOICE_WINE_PREFIX);
  variables.push_back("WINEDEBUG=-all");
  // No Mono or Gecko: they would be offered for download at the first start.
  variables.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
  for (const std::string& variable : extra) {
    std::string name = variable.substr(0, variable.find('=') + 1);
    for (auto it = variables.begin(); it != variables.end();) {
      it = it->compare(0, name.size(), name) == 0 ? variables.erase(it) : it + 1;
    }
    variables.push_back(variable);
  }
  return variables;
}

double Seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string WinePath(const std::string& linuxPath) {
  std::string path = "Z:" + linuxPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

WineRun RunUnderWine(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& extra, int timeoutSeconds) {
  WineRun run;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argvText = {OMBRIVOICE_WINE, program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envText = WineEnvironment(extra);
  std::vector<char*> envp;
  for (std::string& variable : envText) envp.push_back(&variable[0]);
  envp.push_back(nullptr);
  pid_t child = -1;
  int spawned = posix_spawn(&child, OMBRIVOICE_WINE, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  if (spawned != 0) {
    close(output[0]);
    return run;
  }
  std::string text;
  double deadline = Seconds() + timeoutSeconds;
  for (;;) {
    int left = static_cast<int>((deadline - Seconds()) * 1000);
    pollfd ready = {output[0], POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, left) == 0) {
      run.timedOut = true;
      kill(child, SIGKILL);
      break;
    }
    char piece[4096];
    ssize_t got = read(output[0], piece, sizeof piece);
    if (got <= 0) break;
    text.append(piece, static_cast<size_t>(got));
  }
  close(output[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.status = !run.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.lines = SplitLines(text);
  return run;
}
