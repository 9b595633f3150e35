// Runs one command and appends its cost to a file: wall seconds, user and system CPU seconds,
// peak resident set (KiB) and exit status, all of that one child, taken from wait4.
//   ombrivoice_bench_measure RESULT_FILE COMMAND [ARG...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

double Seconds(const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; }

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s RESULT_FILE COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  double started = Now();
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) {
    perror("run");
    return 1;
  }
  double wall = Now() - started;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = fopen(argv[1], "a");
  if (out == nullptr) {
    perror(argv[1]);
    return 1;
  }
  fprintf(out, "%.4f %.4f %.4f %ld %d\n", wall, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
          usage.ru_maxrss, code);
  fclose(out);
  return code;
}
