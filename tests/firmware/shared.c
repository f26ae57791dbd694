// Test double of the router's shared utility library (libshared.so): the same C interface,
// writing where the router does. Never installed; only the router build's tests link it.
#define _POSIX_C_SOURCE 200809L  // localtime_r, lstat
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

static void vappend(const char* path, const char* fmt, va_list ap) {
  FILE* f = fopen(path, "a");
  if (!f) return;
  vfprintf(f, fmt, ap);
  fclose(f);
}

static void append(const char* path, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vappend(path, fmt, ap);
  va_end(ap);
}

char* trimNL(char* text) {
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = '\0';
  return text;
}

// One system log line "MMM dd HH:MM:SS TAG: MESSAGE", as the router's syslog daemon writes it.
void logmessage_normal(const char* logheader, const char* fmt, ...) {
  char message[1024], stamp[32];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  time_t now = time(NULL);
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", localtime_r(&now, &(struct tm){0}));
  append("/tmp/syslog.log", "%s %s: %s\n", stamp, logheader, trimNL(message));  // one line a call
}

void cprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vappend("/dev/console", fmt, ap);
  va_end(ap);
}

// The router hands the event to its service controller; the double records it.
int notify_rc_and_wait_2min(const char* event_name) {
  append("/tmp/service_events.log", "%s\n", event_name);
  return 0;
}

int check_if_file_exist(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}
