// Test double of the router's shared utility library (libshared.so): the same C interface,
// writing where the router does. Never installed; only the router build's tests link it.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

static void append(const char* path, const char* text) {
  FILE* f = fopen(path, "a");
  if (!f) return;
  fputs(text, f);
  fclose(f);
}

// One system log line "MMM dd HH:MM:SS TAG: MESSAGE", as the router's syslog daemon writes it.
void logmessage_normal(const char* logheader, const char* fmt, ...) {
  char message[1024], stamp[32], line[1100];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  size_t n = strlen(message);
  if (n > 0 && message[n - 1] == '\n') message[n - 1] = '\0';  // one line per call
  time_t now = time(NULL);
  struct tm tm_local;
  localtime_r(&now, &tm_local);
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm_local);
  snprintf(line, sizeof line, "%s %s: %s\n", stamp, logheader, message);
  append("/tmp/syslog.log", line);
}

void cprintf(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  append("/dev/console", text);
}

// The router hands the event to its service controller; the double records it.
int notify_rc_and_wait_2min(const char* event_name) {
  char line[256];
  snprintf(line, sizeof line, "%s\n", event_name);
  append("/tmp/service_events.log", line);
  return 0;
}

int check_if_file_exist(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

char* trimNL(char* text) {
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = '\0';
  return text;
}
