// Runs one command with its output discarded and prints its wall time, peak memory and
// page faults: "SECONDS PEAK_KIB FAULTS". Faults (minor and major) are a count, so unlike
// the time they hold on a busy machine. Started from this small program, the child's peak resident set is
// its own (a child forked from a large process would first count that process's pages).
// The command runs twice and only the second run counts: right after the first, with
// nothing in between, the processors are awake (on a virtual machine, waking idle ones
// costs most the commands that start and stop many threads), as in back-to-back runs.
//   run_timed COMMAND [ARG...]
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// One run; false when the command could not be started.
static int run(char **argv, double *seconds, long *peak_kib, long *faults) {
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return 0;
  }
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      dup2(null, 2);
    }
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) < 0) {
    perror("wait4");
    return 0;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  *seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  *peak_kib = usage.ru_maxrss;
  *faults = usage.ru_minflt + usage.ru_majflt;
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: run_timed COMMAND [ARG...]\n");
    return 2;
  }
  double seconds = 0;
  long peak_kib = 0, faults = 0;
  if (!run(argv + 1, &seconds, &peak_kib, &faults) || !run(argv + 1, &seconds, &peak_kib, &faults))
    return 1;
  printf("%.6f %ld %ld\n", seconds, peak_kib, faults);
  return 0;
}
