// hold_kiv: on the emulated router, stops kiv (SIGSTOP, every thread at once) at a chosen step of
// a write of one of its flash files, so that the harness can cut the power right there rather
// than only at random moments. kiv replaces a file NAME by writing NAME.tmp, syncing it and
// renaming it over NAME; the steps are seen through inotify on the folder:
//   open     NAME.tmp was just made (its bytes may not all be written yet)
//   written  NAME.tmp was written, synced and closed; the rename has not been made
//   renamed  NAME.tmp was renamed over NAME; the folder is not synced yet
//
//   hold_kiv DIR NAME open|written|renamed PIDFILE SECONDS
//
// Prints "kivvm: held kiv at STEP of NAME.tmp" on standard output once kiv is stopped, or
// "kivvm: no STEP of NAME.tmp within SECONDS s" and exits 1. kiv's pid is the first line of
// PIDFILE, read when the step comes (kiv may start after this program).
//
// The router has one CPU. This program runs at the highest real-time priority, so the event's
// wake-up preempts kiv on its way back from the call that made the step, and kiv is stopped
// before it makes the next one.
#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

static long kiv_pid(const char* pidfile) {
  FILE* f = fopen(pidfile, "r");
  long pid = 0;
  if (f) {
    if (fscanf(f, "%ld", &pid) != 1) pid = 0;
    fclose(f);
  }
  return pid;
}

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static unsigned step_mask(const char* step) {
  if (strcmp(step, "open") == 0) return IN_CREATE;
  if (strcmp(step, "written") == 0) return IN_CLOSE_WRITE;
  if (strcmp(step, "renamed") == 0) return IN_MOVED_FROM;
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 6 || step_mask(argv[3]) == 0) {
    fprintf(stderr, "usage: hold_kiv DIR NAME open|written|renamed PIDFILE SECONDS\n");
    return 2;
  }
  struct sched_param rt = {.sched_priority = sched_get_priority_max(SCHED_FIFO)};
  if (sched_setscheduler(0, SCHED_FIFO, &rt) != 0)
    fprintf(stderr, "hold_kiv: no real-time priority: %s\n", strerror(errno));
  const unsigned mask = step_mask(argv[3]);
  char tmp[256];
  snprintf(tmp, sizeof tmp, "%s.tmp", argv[2]);
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, argv[1], mask) < 0) {
    fprintf(stderr, "hold_kiv: cannot watch %s: %s\n", argv[1], strerror(errno));
    return 2;
  }
  const double deadline = now_s() + atof(argv[5]);
  char buf[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  for (;;) {
    const double left = deadline - now_s();
    if (left <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, (int)(left * 1000) + 1) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    for (char* at = buf; n > 0 && at < buf + n;) {
      const struct inotify_event* e = (const struct inotify_event*)at;
      at += sizeof *e + e->len;
      if (!(e->mask & mask) || e->len == 0 || strcmp(e->name, tmp) != 0) continue;
      const long pid = kiv_pid(argv[4]);
      if (pid <= 0 || kill((pid_t)pid, SIGSTOP) != 0) {
        printf("kivvm: %s of %s, but no kiv to stop (pid %ld)\n", argv[3], tmp, pid);
        return 1;
      }
      printf("kivvm: held kiv at %s of %s\n", argv[3], tmp);
      fflush(stdout);
      return 0;
    }
  }
  printf("kivvm: no %s of %s within %s s\n", argv[3], tmp, argv[5]);
  return 1;
}
