// Test double of the router's settings library (libnvram.so): the same C interface, with the
// settings kept as KEY=VALUE lines in /tmp/.nvram. Never installed; only the router build's
// tests link it.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STORE "/tmp/.nvram"

static pthread_mutex_t store_lock = PTHREAD_MUTEX_INITIALIZER;

static int is_key(const char* line, const char* name) {
  size_t n = strlen(name);
  return strncmp(line, name, n) == 0 && line[n] == '=';
}

// Like the firmware's, the text stays valid until this thread's next read.
char* nvram_get(const char* name) {
  static _Thread_local char line[4096];
  FILE* f = name ? fopen(STORE, "r") : NULL;
  char* value = NULL;
  while (f && !value && fgets(line, sizeof line, f))
    if (is_key(line, name)) value = line + strlen(name) + 1;
  if (f) fclose(f);
  if (value) value[strcspn(value, "\n")] = '\0';
  return value;
}

// Rewrites the store without `name`, plus "name=value" when value is not NULL.
static int rewrite(const char* name, const char* value) {
  char line[4096];
  int rc = -1;
  pthread_mutex_lock(&store_lock);
  FILE* in = fopen(STORE, "r");
  FILE* out = fopen(STORE ".tmp", "w");
  if (out) {
    while (in && fgets(line, sizeof line, in))
      if (!is_key(line, name)) fputs(line, out);
    if (value) fprintf(out, "%s=%s\n", name, value);
    rc = (fclose(out) == 0 && rename(STORE ".tmp", STORE) == 0) ? 0 : -1;
  }
  if (in) fclose(in);
  pthread_mutex_unlock(&store_lock);
  return rc;
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
