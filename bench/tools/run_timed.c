// Runs one command with its output discarded and prints its wall time and peak memory:
// "SECONDS PEAK_KIB". Started from this small program, the child's peak resident set is
// its own (a child forked from a large process would first count that process's pages).
//   run_timed COMMAND [ARG...]
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: run_timed COMMAND [ARG...]\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return 1;
  }
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      dup2(null, 2);
    }
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) < 0) {
    perror("wait4");
    return 1;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.6f %ld\n", seconds, usage.ru_maxrss);
  return WIFEXITED(status) && WEXITSTATUS(status) != 127 ? 0 : 1;
}
