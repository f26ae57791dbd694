// Single-instance start-up: the PID file (core/pid_file.h) names a running daemon or is replaced.
//
// The stored process id counts as a running daemon only when that process exists, is a kiv
// daemon (its command is "kiv") and is not this process: a leftover file that names an
// unrelated live process, or the id this daemon happened to receive, is replaced. No process
// list is read through a shell.
#include "daemon/startup.h"

#include <unistd.h>

#include <climits>
#include <string>

#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "core/paths.h"
#include "core/pid_file.h"
#include "platform/platform.h"

void initial_functions() {
  KIV_LOG("Start\n");

  if (!check_if_file_exist(KIV_PID_PATH)) {
    write_pid_file();
  } else {
    const std::string path = kiv_path(KIV_PID_PATH);
    // An unreadable or empty file counts as holding 0 and is written anew with our id.
    const long long stored = read_pid_file();
    bool running = stored > 0 && stored <= INT_MAX && static_cast<pid_t>(stored) != getpid() &&
                   platform_process_is_kiv(static_cast<pid_t>(stored));
    if (running) {
      KIV_LOG("kiv is already running.\n");
      kiv_say("already running as pid %lld (%s); this one ends", stored, path.c_str());
      kiv_exit(0);
    }
    remove_pid_file();
    write_pid_file();
  }

  nvram_set_int("kiv_is_JSON_updated", 0);
  KIV_LOG("End\n");
}
