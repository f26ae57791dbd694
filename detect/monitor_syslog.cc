// The syslog monitor thread: follows the router's system log through a log follower
// ("tail -F -n 1 /tmp/syslog.log", started without a shell) and walks every line over the live
// rule set, recording a match time in the ring of every active profile that matches.
//
// What runs where: this thread alone reads the follower's output and owns the follower process.
// It holds mp_mutex for the whole walk of one line (debug dump, pause test, all profiles) and
// never while it waits for the log. It waits in poll() on the follower's pipe and on the wake
// pipe of the SIGTERM handler, so a stop is served even while the log is quiet; a line read
// after SIGTERM is still not matched.
//
// While another thread holds the rule set (a heal, for minutes), the thread reads on: it looks
// for the lock again after every read and at least every kHeldPollMs, and queues each piece with
// the uptime read just before the read that brought it (detect/line_queue.h). Once the set is
// free the queued pieces are walked in order, each with its own records and its own time, so a
// fault's lines that came 30 s apart during a heal are not counted as one burst at its end.
//
// The follower is stopped by signalling the very process this thread started, then reaped, so
// the signal can never reach another process. When its output ends or cannot be read, the
// follower is reaped and started again after a pause, and its new id is appended to the PID
// file.
#include "detect/monitor_syslog.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <mutex>
#include <string>

#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "core/paths.h"
#include "core/pid_file.h"
#include "core/stop.h"
#include "core/syslog_lines.h"
#include "detect/freq_window.h"
#include "detect/line_queue.h"
#include "detect/match_func.h"
#include "platform/platform.h"
#include "report/fleet_counts.h"

namespace {

// The records of the thread's helpers carry the name of the thread's body, as one function.
#define SYSLOG_LOG(fmt, ...) kiv_log("_monitor_syslog", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
// The same for the records of every piece ("pBuf", "gArraylen"), put together without a format,
// which would cost more than the rest of the record; the head is made once.
#define SYSLOG_PIECES(...)                                                     \
  do {                                                                         \
    static const std::string head = kiv_log_head("_monitor_syslog", __LINE__); \
    kiv_log_pieces({head, __VA_ARGS__});                                       \
  } while (0)

constexpr double kRestartPause = 2;  // seconds between a lost follower and its successor
// How long a read waits, while another thread holds the rule set, before the lock is tried again.
constexpr int kHeldPollMs = 50;

// The follower this thread started; touched by this thread only.
child_process follower;

enum class read_result { piece, terminated, ended, timeout };

// The next piece of the follower's output (detect/log_pieces.h) when one is complete; none
// otherwise. The rest the input ends with counts as a line's end.
char* next_taken(piece_buffer& r, bool at_end, line_place* place) {
  const cut_piece piece = take_piece(r, at_end);
  if (piece.text) *place = piece.place;
  return piece.text;
}

// Waits for the next piece. A complete piece already buffered is handed out first; otherwise the
// wait ends with the next data, with a stop request, with the end of the follower's output, or
// after timeout_ms (-1: no limit). With `stamp`, the uptime is read into it before every read,
// as the time at which what that read brings came. The piece stays valid until the next call.
read_result read_piece(piece_buffer& r, int fd, char** out, line_place* place, int timeout_ms = -1,
                       double* stamp = nullptr) {
  for (;;) {
    if ((*out = next_taken(r, false, place))) return read_result::piece;
    if (terminate_flag.load() == 1) return read_result::terminated;
    size_t room = 0;
    char* into = piece_room(r, &room);
    struct pollfd fds[2];
    fds[0] = {fd, POLLIN, 0};
    fds[1] = {terminate_wake_fd(), POLLIN, 0};  // a negative descriptor is ignored by poll
    // Without a wake pipe the stop request is looked for once a second.
    int wait_ms = fds[1].fd >= 0 ? -1 : 1000;
    if (timeout_ms >= 0 && (wait_ms < 0 || timeout_ms < wait_ms)) wait_ms = timeout_ms;
    int rc = poll(fds, 2, wait_ms);
    if (rc < 0 && errno != EINTR) return read_result::ended;
    if (fds[1].revents & POLLIN) return read_result::terminated;
    if (rc == 0 && timeout_ms >= 0) return read_result::timeout;
    if (rc <= 0 || fds[0].revents == 0) continue;
    if (stamp) *stamp = read_uptime();
    ssize_t n = read(fd, into, room);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0)
      return (*out = next_taken(r, true, place)) ? read_result::piece : read_result::ended;
    pieces_read(r, static_cast<size_t>(n));
  }
}

child_process start_follower(const char* lines) {
  return spawn_reader({"tail", "-F", "-n", lines, kiv_path(KIV_SYSLOG_PATH)});
}

// Ends and reaps the follower: it has a second (scaled) to go after SIGTERM, then SIGKILL. Only
// the child this thread started and has not reaped is signalled, so the signal cannot reach
// another process that took its id.
void end_follower() {
  follower.stop(1.0 * platform_time_scale());
}

// The rule set on the console, while kiv_debug_flag is "1". Caller holds mp_mutex.
void debug_dump(const rule_set* set) {
  if (!kiv_log_console()) return;
  cprintf("gArraylen=%d\n", set ? static_cast<int>(set->count) : 0);
  if (set) {
    for_each_rule(*set, [](int32_t i, const monitor_profile* p) {
      int index = static_cast<int>(i);
      cprintf("monitor_profile[%d].isActive=[%d]\n", index, p ? 1 : 0);
      cprintf("kiv_keyword=[%s]\n", p ? text_or_none(p->kiv_keyword) : KIV_NONE_TEXT);
      cprintf("re_pattern=[%s]\n", p ? text_or_none(p->re_pattern) : KIV_NONE_TEXT);
      for (int32_t a = 0; p && a < p->action_num(); ++a)
        cprintf("action[%d]=[%s]\n", index, p->actions[static_cast<size_t>(a)].text.c_str());
      cprintf("--------\n");
    });
  }
  cprintf("\n");
}

double slot_time(const monitor_profile& p, int32_t slot) {
  return p.timestamp[static_cast<size_t>(slot)];
}

// The records of a match: which profile, and its ring after the new time went in.
void record_match(monitor_profile& p, int32_t i, double now) {
  int index = static_cast<int>(i);
  SYSLOG_LOG("MATCH::monitor_profile[%d].kiv_keyword=[%s]\n", index, text_or_none(p.kiv_keyword));
  SYSLOG_LOG("MATCH::monitor_profile[%d].re_pattern=[%s]\n", index, text_or_none(p.re_pattern));
  record_timestamp(&p, now);
  for (int32_t j = 0; ring_slot_valid(&p, j); ++j)
    SYSLOG_LOG("monitor_profile[%d].timestamp[%d]=[%f]\n", index, static_cast<int>(j),
               slot_time(p, j));
  SYSLOG_LOG("monitor_profile[%d].front=[%d]\n", index, static_cast<int>(p.front));
  SYSLOG_LOG("monitor_profile[%d].rear=[%d]\n", index, static_cast<int>(p.rear));
  // A profile without a ring has no slot to show.
  if (ring_slot_valid(&p, p.front)) SYSLOG_LOG("front[%d] = [%f]\n", index, slot_time(p, p.front));
  if (ring_slot_valid(&p, p.rear)) SYSLOG_LOG("rear[%d] = [%f]\n", index, slot_time(p, p.rear));
}

}  // namespace

void walk_profiles(rule_set& set, const log_piece& piece, std::optional<double> now,
                   const std::function<void(int32_t)>& matched) {
  const size_t length = strlen(piece.text);
  // The literals of the whole set in one pass: a profile that lacks one is turned away at once.
  static thread_local prefilter_scan scan;
  scan_shared_prefilter(set.prefilter, set.profiles.size(), {piece.text, length}, &scan);
  static thread_local no_match_records turned_away;  // its record's storage kept from walk to walk
  turned_away.piece = {piece.text, length};
  turned_away.reason.clear();
  const std::span<monitor_profile> profiles(set.profiles);
  size_t away = 0;  // the profiles from here on are turned away, up to the next one searched
  for (size_t k = 0; k < profiles.size(); ++k) {
    if (!scan_may_match(scan, k)) continue;
    match_func_turned_away(profiles.subspan(away, k - away), turned_away);
    away = k + 1;
    monitor_profile& p = profiles[k];
    if (match_func(&p, piece.text, length, piece.place) == 0) continue;
    // One line adds at most one match to a ring, however many of its pieces match.
    if (p.credited_line == piece.line) continue;
    p.credited_line = piece.line;
    if (!now) now = read_uptime();
    record_match(p, p.index, *now);
    count_match(p.tally);
    if (matched) matched(p.index);
  }
  match_func_turned_away(profiles.subspan(away), turned_away);
}

namespace {

// Walks one piece over the set the caller holds, at `now` when given (else the uptime at the
// first match); false when the rule set is paused and the piece dropped.
bool walk_held(rule_set_hold& hold, const log_piece& piece, std::optional<double> now,
               int* pause_logged) {
  kiv_log_walk walk;  // the piece's records go to the file together when it ends
  debug_dump(hold.set);
  if (global_pause.load() == 1) {
    if (*pause_logged == 0) {
      SYSLOG_LOG("global_pause=[%d]\n", static_cast<int>(global_pause.load()));
      *pause_logged = 1;
    }
    return false;
  }
  if (*pause_logged == 1) {
    SYSLOG_LOG("global_pause=[%d]\n", static_cast<int>(global_pause.load()));
    *pause_logged = 0;
  }
  char count[12];
  const char* end = std::to_chars(count, count + 12, hold.set ? hold.set->count : 0).ptr;
  SYSLOG_PIECES("gArraylen=[", {count, end}, "]\n");
  if (piece.place.at_start) count_walked_line();
  if (hold.set) walk_profiles(*hold.set, piece, now);
  return true;
}

}  // namespace

bool walk_log_line(const log_piece& piece, int* pause_logged) {
  rule_set_hold hold = try_hold_rule_set();
  if (!hold.lock.owns_lock()) {
    kiv_log_walk_write();  // a heal can hold the rule set for minutes: nothing waits with it
    hold = hold_rule_set();
  }
  return walk_held(hold, piece, std::nullopt, pause_logged);
}

namespace {

// After the follower's output ended: reap it, pause, start a new one and note its id. The new
// follower starts at the end of the log, so that no line already walked is counted again.
// False when a stop request came meanwhile.
bool restart_follower() {
  SYSLOG_LOG("Log follower output ended, restart it.\n");
  end_follower();
  for (;;) {
    pause_unless_terminated(kRestartPause);
    if (terminate_flag.load() == 1) return false;
    follower = start_follower("0");
    if (follower.pid > 0) break;
    SYSLOG_LOG("Cannot restart the log follower, retry.\n");
  }
  append_tail_pid(follower.pid);
  SYSLOG_LOG("Log follower restarted, pid=[%ld].\n", static_cast<long>(follower.pid));
  return true;
}

// While another thread holds the rule set: reads on, queueing every piece with the uptime read
// before the read that brought it (`received` for what was read before the wait began), and
// tries the lock after every piece and every kHeldPollMs. The hold once the set is free; an
// unowned one after a stop request.
rule_set_hold queue_while_held(piece_buffer& r, line_queue& q, double received) {
  for (;;) {
    rule_set_hold hold = try_hold_rule_set();
    if (hold.lock.owns_lock()) return hold;
    char* piece = nullptr;
    line_place place;
    const read_result got = read_piece(r, follower.fd, &piece, &place, kHeldPollMs, &received);
    if (got == read_result::terminated) return {};
    if (got == read_result::ended) {
      forget_pieces(r);
      if (!restart_follower()) return {};
    }
    if (got == read_result::piece) queue_piece(q, trimNL(piece), place, r.line, received, false);
  }
}

// Walks what waited, in order, each piece with its own records ("pBuf" first, unless it was
// written when the piece came) and its own time; then says how many lines were dropped. A stop
// request ends it: the pieces left are not matched. The caller holds the set.
void walk_queued(rule_set_hold& hold, line_queue& q, int* pause_logged) {
  while (!q.pieces.empty() && terminate_flag.load() != 1) {
    const queued_piece p = take_queued(q);
    kiv_log_walk walk;
    if (!p.logged) SYSLOG_LOG("pBuf=[%s]\n", p.text.c_str());
    walk_held(hold, log_piece{p.text.c_str(), p.place, p.line}, p.received, pause_logged);
  }
  if (terminate_flag.load() == 1) return;
  if (const uint64_t dropped = drain_queue(q))
    SYSLOG_LOG(
        "%llu lines that came while the rule set was held were not matched: more than %zu "
        "bytes waited\n",
        static_cast<unsigned long long>(dropped), KIV_LINE_QUEUE_MAX);
}

// One piece from the follower: walked at once while the set is free; otherwise queued, with what
// comes after it, until the set is free, and walked then. False after a stop request (what is in
// hand is not matched).
bool serve_piece(piece_buffer& r, char* piece, line_place place, line_queue& q, int* pause_logged) {
  char* line = trimNL(piece);
  const bool stop = terminate_flag.load() == 1;
  double received = 0;
  {
    rule_set_hold hold = stop ? rule_set_hold{} : try_hold_rule_set();
    kiv_log_walk walk;  // the line's records, from "pBuf" on, go to the file together
    SYSLOG_PIECES("pBuf=[", line, "]\n");
    if (stop) return false;
    if (hold.lock.owns_lock()) {
      walk_held(hold, log_piece{line, place, r.line}, std::nullopt, pause_logged);
      return true;
    }
    received = read_uptime();
    queue_piece(q, line, place, r.line, received, true);
  }  // "pBuf" is in the file before the walker waits for the set
  rule_set_hold hold = queue_while_held(r, q, received);
  if (hold.lock.owns_lock()) walk_queued(hold, q, pause_logged);
  if (terminate_flag.load() != 1) return true;
  drain_queue(q);
  return false;
}

}  // namespace

void* monitor_syslog(void*) {
  _monitor_syslog();
  return const_cast<char*>("End of monitor_syslog thread");
}

void _monitor_syslog() {
  // The thread's one buffer of the follower's output, kept from follower to follower.
  static piece_buffer reader;
  forget_pieces(reader);

  SYSLOG_LOG("START\n");
  logmessage_normal(KIV_SYSLOG_TAG, "%s\n", KIV_LINE_SYSLOG_START);
  follower = start_follower("1");
  if (follower.pid < 0) {
    SYSLOG_LOG("Cannot find syslog.log!\n");
    kiv_say("cannot start the log follower (tail -F on %s)", kiv_path(KIV_SYSLOG_PATH).c_str());
    kiv_exit(1);
  }
  kiv_sleep(2);
  append_tail_pid(follower.pid);
  int pause_logged = 0;
  line_queue queue;

  for (;;) {
    char* piece = nullptr;
    line_place place;
    read_result got = read_piece(reader, follower.fd, &piece, &place);
    if (got == read_result::ended) {
      forget_pieces(reader);
      if (restart_follower()) continue;
      got = read_result::terminated;
    }
    if (got == read_result::piece && serve_piece(reader, piece, place, queue, &pause_logged))
      continue;
    SYSLOG_LOG("Get terminate signal, stop_tail_cmd().\n");
    stop_tail_cmd();
    SYSLOG_LOG("END\n");
    return;
  }
}

// The follower gets its second to end inside end_follower, which returns as soon as it is gone.
void stop_tail_cmd() {
  end_follower();
}
