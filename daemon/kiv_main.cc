// The daemon's spine: start-up, the worker threads, the signal flags and the main loop.
//
// What runs where:
//   main thread     waits for the router, single-instance start-up, loads the cached rule set
//                   (when kept), starts the two workers, installs the handlers, then every 5 s
//                   serves the flags in a fixed order: the command request (handle_kiv_event,
//                   which runs and joins the command thread), the dump request (dump_mp), the
//                   tick (process_json, monitor_jffs, settle_reboot_record).
//   syslog monitor  detect/monitor_syslog, started with the address of json_path.
//   trigger thread  trigger/monitor_statistics, runs the healing executor.
// The handlers only set a flag (SIGALRM also re-arms the alarm, SIGTERM also writes one byte to
// the wake pipe; SIGHUP's does nothing); all work happens in the loop or in the threads. The
// workers block the daemon's signals, so a delivery always lands on the main thread and cuts its
// pause short.
#include "daemon/kiv_main.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "commands/handle_kiv_event.h"
#include "core/flash_files.h"
#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "core/paths.h"
#include "core/pid_file.h"
#include "core/stop.h"
#include "core/syslog_lines.h"
#include "daemon/startup.h"
#include "detect/monitor_syslog.h"
#include "heal/reboot_budget.h"
#include "report/fleet_counts.h"
#include "rules/dump_mp.h"
#include "rules/rule_set.h"
#include "storage/monitor_jffs.h"
#include "trigger/monitor_statistics.h"
#include "update/install_rules.h"
#include "update/process_json.h"

std::atomic<int> event_flag{0};
std::atomic<int> dump_flag{0};
std::atomic<int> tick_flag{0};

namespace {

void on_alarm(int) {
  int saved = errno;
  tick_flag.store(1);
  kiv_alarm(30);
  errno = saved;
}

void on_usr1(int) {
  event_flag.store(1);
}

void on_usr2(int) {
  dump_flag.store(1);
}

void on_term(int) {
  request_stop();
}

// SIGHUP, which init scripts and tools send a daemon to make it reopen its logs, does nothing. A
// handler rather than SIG_IGN: exec puts a caught signal back to its default, so no program kiv
// starts (the follower, the hooks, reboot, what the firmware's calls start) inherits it ignored.
void on_hangup(int) {}

void install(int sig, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

void daemon_signal_set(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGALRM);
  sigaddset(set, SIGUSR1);
  sigaddset(set, SIGUSR2);
  sigaddset(set, SIGTERM);
}

// The records of this file carry the name of the daemon's entry, "main", which is what the
// daemon's log has always shown for them.
#define MAIN_LOG(fmt, ...) kiv_log("main", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

const char* exit_text(void* value) {
  return value ? static_cast<const char*>(value) : "";
}

}  // namespace

int kiv_main() {
  // A daemon has no terminal: a hangup never ends it, from the first step on (and mid-heal).
  install(SIGHUP, on_hangup);
  // A file size limit makes a write beyond it fail with EFBIG like a full disk; its signal
  // would end the daemon over one log record.
  signal(SIGXFSZ, SIG_IGN);
  // A crash of the daemon still leaves the records of the walk in progress in its log.
  kiv_log_flush_on_fatal_signals();
  char json_path[24] = {0};
  strncpy(json_path, KIV_JSON_PATH, sizeof json_path - 1);

  MAIN_LOG("[kiv]\nkiv self-healing daemon, (c) 2026 the kiv authors\n\n");
  // Without its log the daemon goes on all the same; whoever started it learns so at once.
  if (int why = kiv_log_error())
    kiv_say("cannot write its log %s: %s", kiv_path(KIV_LOG_PATH).c_str(), strerror(why));

  // The router sets success_start_service to "1" once its services run; an unset key means
  // there is nobody to wait for. The value is read again after a short pause rather than in a
  // busy loop, so the wait does not take a whole core from the router it waits for.
  for (;;) {
    std::optional<std::string> started = nvram_get("success_start_service");
    if (!started || *started == "1") break;
    kiv_sleep(0.2);
  }

  initial_functions();
  // The only daemon now: no NAME.tmp below /jffs/kiv is a write in progress.
  flash_remove_leftovers();
  // The fleet report's counts start now, with those kept over the reboot kiv made.
  load_kept_counts();
  // The last good rule set, when kept, is live before the first log line is walked.
  load_rule_cache();

  // Broken pipes (a console FIFO whose reader went away) are write errors, not a reason to die.
  signal(SIGPIPE, SIG_IGN);
  make_stop_pipe();

  // The workers inherit this mask and so never take the daemon's signals.
  sigset_t daemon_signals, previous;
  daemon_signal_set(&daemon_signals);
  pthread_sigmask(SIG_BLOCK, &daemon_signals, &previous);

  pthread_t syslog_thread, statistics_thread;
  if (int rc = pthread_create(&syslog_thread, nullptr, monitor_syslog, nullptr)) {
    MAIN_LOG("Create monitor syslog thread error\n");
    kiv_say("cannot start the syslog monitor thread: %s", strerror(rc));
    kiv_exit(1);
  }
  if (int rc = pthread_create(&statistics_thread, nullptr, monitor_Statistics, nullptr)) {
    MAIN_LOG("Create monitor statistics thread error\n");
    kiv_say("cannot start the trigger thread: %s", strerror(rc));
    kiv_exit(1);
  }

  // A signal that came during the thread start takes its default action here, as it would
  // have without the mask: the handlers are not installed yet.
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  install(SIGALRM, on_alarm);
  install(SIGUSR1, on_usr1);
  install(SIGUSR2, on_usr2);
  install(SIGTERM, on_term);

  kiv_alarm(10);

  while (terminate_flag.load() != 1) {
    if (event_flag.load() == 1) {
      event_flag.store(0);
      handle_kiv_event();
    }
    if (dump_flag.load() == 1) {
      dump_flag.store(0);
      dump_mp();
    }
    if (tick_flag.load() == 1) {
      tick_flag.store(0);
      process_json(json_path);
      monitor_jffs();
      settle_reboot_record();
    }
    // A SIGTERM that came during the work above has already ended its pause: stop now.
    if (terminate_flag.load() == 1) break;
    kiv_sleep(5);
  }

  MAIN_LOG("%s\n", "===Terminate kiv daemon===");
  logmessage_normal(KIV_SYSLOG_TAG, "%s\n", KIV_LINE_TERMINATE);
  MAIN_LOG("end\n");

  void* syslog_exit = nullptr;
  pthread_join(syslog_thread, &syslog_exit);
  MAIN_LOG("[%s]\n", exit_text(syslog_exit));
  void* statistics_exit = nullptr;
  pthread_join(statistics_thread, &statistics_exit);
  MAIN_LOG("[%s]\n", exit_text(statistics_exit));

  release_rule_set();

  remove_pid_file();

  MAIN_LOG("kiv:quit process...\n\n");
  return 0;
}
