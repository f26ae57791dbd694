// The text of a record, "[KIV][" func ":(" line ")]" and the message, cut to kMaxRecord bytes,
// and its console copy. A record is made on the stack, then held in the walk's buffer
// (core/log_walk.cc) or written at once (core/log_file.cc).
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/kiv_log.h"
#include "core/log_internal.h"
#include "platform/platform.h"

namespace {

// The length of a record whose whole text has `full` bytes, the last one `last`: a longer one
// than kMaxRecord is cut there and keeps the line end its message had.
size_t cut(char* out, size_t full, char last) {
  if (full <= kMaxRecord) return full;
  if (last == '\n') out[kMaxRecord - 1] = '\n';
  return kMaxRecord;
}

// The pieces one after another at `out`, cut as a record is. Returns the record's length.
size_t put_pieces(char* out, std::initializer_list<std::string_view> pieces) {
  size_t at = 0, full = 0;
  char last = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    const size_t k = std::min(piece.size(), kMaxRecord - at);
    memcpy(out + at, piece.data(), k);
    at += k;
    full += piece.size();
    last = piece.back();
  }
  return cut(out, full, last);
}

size_t put_head(char* out, const char* func, int line) {
  char digits[12];
  const char* end = std::to_chars(digits, digits + sizeof digits, line).ptr;
  return put_pieces(out, {"[KIV][", func ? func : "", ":(", {digits, end}, ")]"});
}

// The message behind a head of `head` bytes. Returns the record's length.
size_t put_message(char* out, size_t head, const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  const int body = vsnprintf(out + head, kMaxRecord + 1 - head, fmt, ap);
  size_t full = head;
  char last = head > 0 ? out[head - 1] : 0;
  if (body > 0) {
    full += static_cast<size_t>(body);
    if (full <= kMaxRecord) {
      last = out[full - 1];
    } else {  // too long: the last byte is looked for in the whole message (rare path)
      std::string message(static_cast<size_t>(body) + 1, '\0');
      vsnprintf(message.data(), message.size(), fmt, again);
      last = message[static_cast<size_t>(body) - 1];
    }
  }
  va_end(again);
  return cut(out, full, last);
}

// A record made by make(out), held in the walk's buffer or written at once, and copied to the
// console without its "[KIV]" tag.
template <class Make>
void make_record(Make make) {
  if (log_discarding.load(std::memory_order_relaxed)) return;
  char out[kMaxRecord + 1];
  const std::string_view record(out, make(out));
  if (log_walk_put(&record, 1)) return;
  log_file_write(out, record.size());
  if (record.size() > 5 && nvram_match("kiv_debug_flag", "1"))
    console_write(out + 5, record.size() - 5);
}

}  // namespace

void kiv_log(const char* func, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  make_record([&](char* out) { return put_message(out, put_head(out, func, line), fmt, ap); });
  va_end(ap);
}

std::string kiv_log_head(const char* func, int line) {
  char out[kMaxRecord + 1];
  return std::string(out, put_head(out, func, line));
}

void kiv_log_pieces(std::initializer_list<std::string_view> pieces) {
  make_record([pieces](char* out) { return put_pieces(out, pieces); });
}

std::string kiv_log_made(std::initializer_list<std::string_view> pieces) {
  char out[kMaxRecord + 1];
  return std::string(out, put_pieces(out, pieces));
}

void kiv_log_records(std::span<const std::string_view> made) {
  if (log_walk_put(made.data(), made.size())) return;
  for (std::string_view record : made) kiv_log_pieces({record});  // cut as a record is
}
