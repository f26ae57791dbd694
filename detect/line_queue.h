// The pieces of log lines that come from the follower while another thread holds the rule set (a
// heal holds it for minutes): kept in order, each with the uptime at which it came, and walked
// once the set is free, so that a line's match time is when it came, not when the heal ended.
//
// What waits is bounded: the pieces' text and their bookkeeping together take at most
// KIV_LINE_QUEUE_MAX bytes. Once a piece does not fit, it and every piece after it are dropped
// until the queue is drained, and the lines they belong to are counted as lost. Only the syslog
// monitor thread touches a queue; the count of lost lines is read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "rules/monitor_profile.h"

inline constexpr size_t KIV_LINE_QUEUE_MAX = size_t{1} << 20;

struct queued_piece {
  std::string text;
  line_place place;
  uint64_t line = 0;    // the line's number, as the walk counts lines
  double received = 0;  // the uptime at which the follower's output brought it
  bool logged = false;  // its "pBuf" record is written already
};

struct line_queue {
  std::deque<queued_piece> pieces;
  size_t bytes = 0;            // what the waiting pieces take, against KIV_LINE_QUEUE_MAX
  bool full = false;           // a piece did not fit: drop until drained
  uint64_t dropped_lines = 0;  // lines lost since the queue was last drained
  uint64_t last_dropped = 0;   // the line of the piece dropped last (a line is counted once)
};

// Queues a copy of the piece; false when it is dropped (the queue is full).
bool queue_piece(line_queue& q, const char* text, line_place place, uint64_t line, double received,
                 bool logged);
// The oldest piece, taken out of the queue.
queued_piece take_queued(line_queue& q);
// Empties the queue; the lines dropped since the last drain are returned and forgotten.
uint64_t drain_queue(line_queue& q);

// Lines lost since the daemon started because too much waited during a heal.
uint64_t syslog_lines_lost();
