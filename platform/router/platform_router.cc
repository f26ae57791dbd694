// The router variant of the platform seam: forwards to the firmware's own C libraries (the
// settings library and the shared utility library) and uses the real paths, unscaled pauses
// and the router's own programs. KIV_PLATFORM=router links it against the firmware's libraries.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/text_lines.h"

// The firmware's C interfaces. Declared inside a namespace so that they do not clash with the
// C++ names of the seam, which share their spelling but not their types.
namespace firmware {
extern "C" {
char* nvram_get(const char* name);
int nvram_set(const char* name, const char* value);
int nvram_get_int(const char* name);
int nvram_set_int(const char* name, int value);
int nvram_unset(const char* name);
void logmessage_normal(const char* logheader, const char* fmt, ...);
void cprintf(const char* fmt, ...);
int notify_rc_and_wait_2min(const char* event_name);
int check_if_file_exist(const char* path);
char* trimNL(char* text);
}
}  // namespace firmware

// ---- Settings store ------------------------------------------------------------------------

std::optional<std::string> nvram_get(const char* key) {
  if (!key) return std::nullopt;
  const char* value = firmware::nvram_get(key);
  if (!value) return std::nullopt;
  return std::string(value);  // the store's text is copied at once
}

std::string nvram_safe_get(const char* key) {
  return nvram_get(key).value_or(std::string());
}

bool nvram_match(const char* key, const char* value) {
  if (!key || !value) return false;
  const char* stored = firmware::nvram_get(key);
  return stored && strcmp(stored, value) == 0;
}

void nvram_set(const char* key, const char* value) {
  if (!key) return;
  firmware::nvram_set(key, value ? value : "");
}

int nvram_get_int(const char* key) {
  return key ? firmware::nvram_get_int(key) : 0;
}

void nvram_set_int(const char* key, int value) {
  if (key) firmware::nvram_set_int(key, value);
}

void nvram_unset(const char* key) {
  if (key) firmware::nvram_unset(key);
}

// The router's own tool lists the store; its output is read directly, never through a shell.
std::vector<std::pair<std::string, std::string>> nvram_show() {
  std::vector<std::pair<std::string, std::string>> pairs;
  child_process reader = spawn_reader({"nvram", "show"});
  if (reader.pid < 0) return pairs;
  std::string text;
  char chunk[512];
  for (;;) {
    ssize_t n = read(reader.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  reader.wait(10);
  for_each_line(text, [&pairs](const std::string& line) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0)
      pairs.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  });
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

// ---- Shared utility library ----------------------------------------------------------------

void logmessage_normal(const char* tag, const char* fmt, ...) {
  char message[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  // The formatted text goes on as an argument, never as a format.
  firmware::logmessage_normal(tag ? tag : "kiv", "%s", message);
}

void cprintf(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  firmware::cprintf("%s", buf);
}

void notify_rc_and_wait_2min(const char* event) {
  if (event) firmware::notify_rc_and_wait_2min(event);
}

// The router's reboot, through the shell with a fixed command text (no outside input).
void platform_reboot() {
  run_and_wait({"/bin/sh", "-c", "reboot"}, 120.0);
}

int check_if_file_exist(const char* path) {
  return path ? firmware::check_if_file_exist(path) : 0;
}

char* trimNL(char* text) {
  return text ? firmware::trimNL(text) : text;
}

// ---- Paths, time and processes -------------------------------------------------------------

std::string kiv_path(const char* logical_path) {
  return logical_path ? logical_path : "";
}

double platform_time_scale() {
  return 1.0;
}

std::string uptime_path() {
  return "/proc/uptime";
}

std::string platform_ca_bundle() {
  return std::string();
}
