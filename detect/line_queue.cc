#include "detect/line_queue.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "report/fleet_counts.h"

namespace {

std::atomic<uint64_t> lines_lost{0};

// A piece's share of the bound: its text and its entry in the queue.
size_t cost_of(size_t text_length) {
  return text_length + sizeof(queued_piece);
}

}  // namespace

bool queue_piece(line_queue& q, const char* text, line_place place, uint64_t line, double received,
                 bool logged) {
  const size_t length = std::strlen(text);
  if (!q.full && q.bytes + cost_of(length) > KIV_LINE_QUEUE_MAX) q.full = true;
  if (q.full) {
    if (line != q.last_dropped) {
      q.last_dropped = line;
      ++q.dropped_lines;
      lines_lost.fetch_add(1);
      add_lost_lines(1);  // the fleet report tells the rule server
    }
    return false;
  }
  q.pieces.push_back({std::string(text, length), place, line, received, logged});
  q.bytes += cost_of(length);
  return true;
}

queued_piece take_queued(line_queue& q) {
  queued_piece p = std::move(q.pieces.front());
  q.pieces.pop_front();
  q.bytes -= cost_of(p.text.size());
  return p;
}

uint64_t drain_queue(line_queue& q) {
  const uint64_t dropped = q.dropped_lines;
  q.pieces.clear();
  q.bytes = 0;
  q.full = false;
  q.dropped_lines = 0;
  return dropped;
}

uint64_t syslog_lines_lost() {
  return lines_lost.load();
}
