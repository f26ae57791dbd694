// The router platform seam: every effect of the daemon outside its own memory goes through here.
//
// Two implementations exist behind this one header, chosen at build time (KIV_PLATFORM):
//   platform/host/   the host platform used on a PC, in CI and by the tests. Fixed paths are
//                    taken below $KIV_ROOT, pauses are scaled by $KIV_TIME_SCALE, the settings
//                    store is a file, service events and reboot are recorded, never carried out.
//   platform/router/ the router variant, which forwards to the firmware's own C libraries.
//
// The daemon's code never touches the settings store, the console, the system log, the service
// controller or reboot in any other way.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#define KIV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// ---- Settings store ------------------------------------------------------------------------
// Every read goes to the store afresh (the host store costs a stat when nothing changed).
// nvram_get gives none (std::nullopt) for an unset key.
std::optional<std::string> nvram_get(const char* key);
// The value of the key, with none read as the empty text (what most callers want).
std::string nvram_safe_get(const char* key);
// True when the key is set and its value is exactly `value`.
bool nvram_match(const char* key, const char* value);
void nvram_set(const char* key, const char* value);
// Integer value by the atoi rule; an unset key gives 0.
int nvram_get_int(const char* key);
void nvram_set_int(const char* key, int value);
// Removes a key (the nvram tool's "unset").
void nvram_unset(const char* key);
// Every KEY=VALUE pair, sorted by key (the nvram tool's "show").
std::vector<std::pair<std::string, std::string>> nvram_show();

// ---- Shared utility library ----------------------------------------------------------------
// One line in the router's system log, "MMM dd HH:MM:SS TAG: MESSAGE".
void logmessage_normal(const char* tag, const char* fmt, ...) KIV_PRINTF(2, 3);
// Prints on the router console whatever the debug settings are.
void cprintf(const char* fmt, ...) KIV_PRINTF(1, 2);
// Writes bytes to the router console (stderr when the console cannot be opened).
void console_write(const char* data, size_t len);
// Hands a service event to the router's service controller and waits at most two minutes.
void notify_rc_and_wait_2min(const char* event);
// The action "reboot".
void platform_reboot();
// Non-zero when the (logical) path exists; a dangling symbolic link counts as existing.
int check_if_file_exist(const char* path);
// Removes the line end at the end of the text in place; returns the text.
char* trimNL(char* text);

// ---- Paths, time and processes -------------------------------------------------------------
// The real path of one of the daemon's fixed absolute paths (below $KIV_ROOT on the host).
// Relative paths are returned unchanged.
std::string kiv_path(const char* logical_path);
// How much longer than the design's pauses the platform's pauses last: $KIV_TIME_SCALE on the
// host, 1 on the router. Fixed for the life of the process; safe in a signal handler once read.
double platform_time_scale();
// Sleeps for the design's `seconds`, scaled. Returns early when a signal arrives.
void kiv_sleep(double seconds);
// Waits for the design's `seconds` (scaled) or until `fd` becomes readable, whichever comes
// first, without waking in between. True when the descriptor became readable.
bool kiv_wait_readable(int fd, double seconds);
// Arms the process alarm (SIGALRM) for the design's `seconds`, scaled. Async-signal-safe: the
// SIGALRM handler re-arms through it.
void kiv_alarm(double seconds);
// Path of the file that holds the uptime ("%f %*f").
std::string uptime_path();
// Current wall-clock time in seconds since 1970 (the update scheduler's source of time), right
// past 2038-01-19 with a 32-bit time_t as well (the router's C library may have one).
int64_t platform_time();
// A reading of a time_t `bits` wide in seconds since 1970: a 32-bit clock past 2038-01-19 wraps to
// before 1970, and a router's clock never stands there, so a 32-bit reading is taken unsigned
// (good to 2106).
int64_t seconds_since_1970(int64_t reading, int bits);
// The local calendar time of `seconds` since 1970 (from platform_time()) in *out, years past what
// a 32-bit time_t holds included (to 2099). False when the C library cannot say.
bool local_calendar(int64_t seconds, struct tm* out);
// A PEM file the download request trusts instead of the TLS library's default store; empty for
// the default (the router always uses the default; the host honours $KIV_CA_BUNDLE).
std::string platform_ca_bundle();

// A child process the daemon started, and its one owner: whoever holds it stops and reaps it,
// and a child still running when its holder goes is stopped then. A child also gets SIGKILL
// when the thread that started it ends, so none outlives a daemon that ends without its
// orderly stop.
struct child_process {
  pid_t pid = -1;
  int fd = -1;  // read end of the child's standard output, when it was asked for

  child_process() = default;
  child_process(child_process&& other) noexcept;
  child_process& operator=(child_process&& other) noexcept;
  ~child_process();

  // Waits at most `seconds` (real time) for the child to end by itself: its exit status, or -1
  // when it had to be killed or could not be waited for. Reaped either way.
  int wait(double seconds);
  // SIGTERM, `grace` seconds (real time) to go, then SIGKILL; reaped either way.
  void stop(double grace);
};
// Starts argv[0] (looked up in PATH) with the given arguments, no shell, default signal mask
// and dispositions, standard output to a pipe (fd). pid -1 when it cannot be started.
child_process spawn_reader(const std::vector<std::string>& argv);
// Runs argv without a shell and waits at most `timeout_seconds` (then kills it); exit status,
// or -1 when it could not be run or was killed.
int run_and_wait(const std::vector<std::string>& argv, double timeout_seconds);
// True when the process exists and is a kiv daemon (its command is "kiv").
bool platform_process_is_kiv(pid_t pid);
