// Test double of the router's settings library (libnvram.so): the same C interface, with the
// settings kept as KEY=VALUE lines in /tmp/.nvram. Never installed; only the router build's
// tests link it.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STORE "/tmp/.nvram"
#define STORE_TMP "/tmp/.nvram.tmp"

static pthread_mutex_t store_lock = PTHREAD_MUTEX_INITIALIZER;

// The line "KEY=VALUE" of `name` in the store, copied into `line`; NULL when unset.
static char* find(const char* name, char* line, size_t size) {
  FILE* f = fopen(STORE, "r");
  if (!f) return NULL;
  size_t n = strlen(name);
  char* hit = NULL;
  while (!hit && fgets(line, (int)size, f))
    if (strncmp(line, name, n) == 0 && line[n] == '=') hit = line;
  fclose(f);
  if (hit) line[strcspn(line, "\n")] = '\0';
  return hit;
}

// Rewrites the store without `name`, plus "name=value" when value is not NULL.
static int rewrite(const char* name, const char* value) {
  pthread_mutex_lock(&store_lock);
  FILE* in = fopen(STORE, "r");
  FILE* out = fopen(STORE_TMP, "w");
  int rc = -1;
  if (out) {
    char line[4096];
    size_t n = strlen(name);
    while (in && fgets(line, sizeof line, in))
      if (!(strncmp(line, name, n) == 0 && line[n] == '=')) fputs(line, out);
    if (value) fprintf(out, "%s=%s\n", name, value);
    rc = (fclose(out) == 0 && rename(STORE_TMP, STORE) == 0) ? 0 : -1;
  }
  if (in) fclose(in);
  pthread_mutex_unlock(&store_lock);
  return rc;
}

// Like the firmware's, the text stays valid until this thread's next read.
char* nvram_get(const char* name) {
  static _Thread_local char line[4096];
  char* hit = name ? find(name, line, sizeof line) : NULL;
  return hit ? hit + strlen(name) + 1 : NULL;
}

int nvram_set(const char* name, const char* value) {
  return name ? rewrite(name, value ? value : "") : -1;
}

int nvram_unset(const char* name) {
  return name ? rewrite(name, NULL) : -1;
}

int nvram_get_int(const char* name) {
  const char* value = nvram_get(name);
  return value ? atoi(value) : 0;
}

int nvram_set_int(const char* name, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return nvram_set(name, text);
}
