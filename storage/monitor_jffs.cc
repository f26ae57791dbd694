// Storage usage report of the flash file system, one record per tick.
//
// The size and the used space come from the system's `df`, started without a shell; the
// second line of its output is the file system's own line.
#include "storage/monitor_jffs.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/kiv_log.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "rules/rule_set.h"

namespace {

// The report's records carry the name of the operation the main loop calls.
#define JFFS_LOG(fmt, ...) kiv_log("monitor_jffs", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// How long df may take in all (scaled on the host, but never below a second, which a df that is
// not stuck always makes, even on a loaded machine): a df stuck on a dead mount holds the main
// loop no longer than that.
constexpr double kDfSeconds = 10;
constexpr double kDfLeastSeconds = 1;

// Reads the child's whole output (bounded in size and in time) and returns its second line, at
// most 63 characters.
bool read_second_line(int fd, char* line, size_t size) {
  char buf[4096];
  size_t len = 0;
  const auto give_up =
      std::chrono::steady_clock::now() +
      std::chrono::duration<double>(std::max(kDfSeconds * platform_time_scale(), kDfLeastSeconds));
  for (;;) {
    if (len == sizeof buf) break;
    const double left =
        std::chrono::duration<double>(give_up - std::chrono::steady_clock::now()).count();
    struct pollfd p = {fd, POLLIN, 0};
    const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left * 1000) + 1) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = read(fd, buf + len, sizeof buf - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<size_t>(n);
  }
  const char* end = buf + len;
  const char* first_nl = static_cast<const char*>(memchr(buf, '\n', len));
  if (!first_nl || first_nl + 1 >= end) return false;
  const char* start = first_nl + 1;
  const char* stop =
      static_cast<const char*>(memchr(start, '\n', static_cast<size_t>(end - start)));
  size_t n = static_cast<size_t>((stop ? stop + 1 : end) - start);  // line end kept, as read
  if (n > size - 1) n = size - 1;
  memset(line, 0, size);
  memcpy(line, start, n);
  return true;
}

}  // namespace

void report_jffs_usage(char* df_line) {
  // `df`'s line reads "DEVICE SIZE USED ...": the size and used space are its second and third
  // fields.
  char* text = trimNL(df_line);
  int32_t total = 0, used = 0;
  char device[64];
  if (sscanf(text, "%63s %" SCNd32 " %" SCNd32, device, &total, &used) == 3) {
    double rate = static_cast<double>(static_cast<uint32_t>(used)) * 100.0 /
                  static_cast<double>(static_cast<uint32_t>(total));
    JFFS_LOG("[monitor_jffs] used=[%ld], total=[%ld], rate=[%.2f%%]\n", static_cast<long>(used),
             static_cast<long>(total), rate);
  } else {
    JFFS_LOG("[monitor_jffs] Parse error!\n");
  }
}

void monitor_jffs() {
  if (global_pause.load() == 1) return;
  child_process df = spawn_reader({"df", kiv_path(KIV_JFFS_PATH)});
  if (df.pid < 0) return;
  char line[64];
  bool have_line = read_second_line(df.fd, line, sizeof line);
  df.wait(have_line ? kDfSeconds : 0);  // one that gave no line in time is stopped at once
  if (have_line) report_jffs_usage(line);
}
