// The process's own messages on standard error and its immediate exit.
#include "core/kiv_say.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

void kiv_say(const char* fmt, ...) {
  char line[512] = "kiv: ";
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line + 5, sizeof line - 6, fmt, ap);
  va_end(ap);
  size_t len = 5 + (n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof line - 7));
  line[len++] = '\n';
  // One write, so the line never mixes with another writer's output.
  ssize_t w = write(2, line, len);
  (void)w;
}

void kiv_exit(int status) {
  fflush(nullptr);
  _exit(status);
}
